// Levenberg-Marquardt building blocks: machine constants, Euclidean norm, pivoted QR and the
// Levenberg-Marquardt parameter. Reference style: every argument by address, in the published
// order. Index arrays (ipvt) are 1-based: column j of R belongs to variable ipvt[j] - 1.
// Internal to the library: nothing here is exported.
#ifndef ORVO_SRC_KERNEL_MINPACK_MINPACK_KERNELS_HPP
#define ORVO_SRC_KERNEL_MINPACK_MINPACK_KERNELS_HPP

// i = 1: the machine precision; i = 2: the smallest positive magnitude; i = 3: the largest.
double Lmder_DPMPAR(const int* i);

// Euclidean norm of the first n elements of x, guarded against overflow and underflow.
double Lmder_ENORM(const int* n, const double* x);

// Householder QR of the m x n matrix a (leading dimension lda), with column pivoting when
// pivot != 0. On return the strict upper triangle of a holds R without its diagonal, column j
// holds the j-th Householder vector from row j down, rdiag the diagonal of R, acnorm the norms
// of the columns of a as given, ipvt (lipvt >= n entries when pivoting) the 1-based
// permutation. wa: n doubles of work.
void Lmder_QRFAC(const int* m, const int* n, double* a, const int* lda, const int* pivot, int* ipvt,
                 const int* lipvt, double* rdiag, double* acnorm, double* wa);

// Given the upper triangular R of a pivoted QR (leading dimension ldr, permutation ipvt), the
// scaling diag, the first n elements qtb of Q^T b and a radius delta > 0, finds par >= 0 (par
// holds the initial estimate on entry) and x solving A x = b, sqrt(par) D x = 0 in the least
// squares sense with |D x| within 10% of delta, or par = 0 and |D x| <= 1.1 delta. The upper
// triangle of r is kept; its strict lower triangle receives the factor S of the augmented
// problem, sdiag its diagonal. wa1, wa2: n doubles of work.
void Lmder_LMPAR(const int* n, double* r, const int* ldr, const int* ipvt, const double* diag,
                 const double* qtb, const double* delta, double* par, double* x, double* sdiag,
                 double* wa1, double* wa2);

#endif
