// Dense kernel routines: BLAS product, LAPACK and LINPACK factorisations.
//
// C-style routines (CLapack_*, CLinpack_*) take integers by value and options as one-letter
// strings and return info (0 = success). Reference-style routines (BLAS_*, Lapack_*) take every
// argument by address in the published order. All matrices are column-major with the height as
// leading dimension. Internal to the library: nothing here is exported.
//
// The LAPACK faces check the arguments LAPACK would reject and return its code (minus the position
// of the first bad argument, in the published order) without calling it, so nothing is printed.
#ifndef ORVO_SRC_KERNEL_DENSE_DENSE_KERNELS_HPP
#define ORVO_SRC_KERNEL_DENSE_DENSE_KERNELS_HPP

// C = alpha*op(A)*op(B) + beta*C; op(X) = X for "N"/"n", X^T for "T"/"t". OpenBLAS dgemm.
void BLAS_DGEMM(const char* transa, const char* transb, const int* m, const int* n, const int* k,
                const double* alpha, const double* a, const int* lda, const double* b,
                const int* ldb, const double* beta, double* c, const int* ldc);

// x = op(A)^-1 x for a triangular n x n A (uplo "U"/"L", trans "N"/"T", diag "U" for a unit
// diagonal). OpenBLAS dtrsv: no scaling, so a nearly singular A may overflow x to inf.
void BLAS_DTRSV(const char* uplo, const char* trans, const char* diag, const int* n,
                const double* a, const int* lda, double* x, const int* incx);

// LU with partial pivoting of an m x n matrix in place; ipiv gets min(m, n) 1-based pivots.
int CLapack_DGETRF(int m, int n, double* a, int lda, int* ipiv);
// Solves op(A) X = B with the factors of CLapack_DGETRF; B (n x nrhs) is overwritten by X.
int CLapack_DGETRS(const char* trans, int n, int nrhs, const double* a, int lda, const int* ipiv,
                   double* b, int ldb);
// Factorises A (overwritten by its LU factors) and solves A X = B (B overwritten by X).
int CLapack_DGESV(int n, int nrhs, double* a, int lda, int* ipiv, double* b, int ldb);
// Cholesky factorisation A = U^T U (uplo "U") or L L^T ("L") in place.
int CLapack_DPOTRF(const char* uplo, int n, double* a, int lda);
// Solves A X = B with the Cholesky factor from CLapack_DPOTRF; B overwritten by X.
int CLapack_DPOTRS(const char* uplo, int n, int nrhs, const double* a, int lda, double* b, int ldb);
// Reciprocal condition number estimate in the 1-norm ("1"/"O") or infinity-norm ("I") of a
// matrix from its CLapack_DGETRF factors and the norm anorm of the matrix itself; work holds 4n
// doubles and iwork n ints. rcond is 0 for a singular matrix.
int CLapack_DGECON(const char* norm, int n, const double* a, int lda, double anorm, double* rcond,
                   double* work, int* iwork);
// The same from a Cholesky factor of CLapack_DPOTRF; work holds 3n doubles and iwork n ints.
int CLapack_DPOCON(const char* uplo, int n, const double* a, int lda, double anorm, double* rcond,
                   double* work, int* iwork);
// Divide-and-conquer SVD. lwork = -1 is a workspace query (optimal length returned in work[0]).
int CLapack_DGESDD(const char* jobz, int m, int n, double* a, int lda, double* s, double* u,
                   int ldu, double* vt, int ldvt, double* work, int lwork, int* iwork);

// LINPACK LU factorisation with partial pivoting (column-oriented elimination). Returns info:
// 0, the 1-based index k of the last zero pivot U(k, k) found, or -2 (lda < max(1, n)) / -3
// (n < 0) for an illegal argument. Below the diagonal the factors hold the negated multipliers.
int CLinpack_DGEFA(double* a, int lda, int n, int* ipvt);
// Solves A x = b (job 0) or A^T x = b (job != 0) with the factors of CLinpack_DGEFA; b is
// overwritten by x. Returns 0, or -2 / -3 for an illegal lda / n (as CLinpack_DGEFA).
int CLinpack_DGESL(const double* a, int lda, int n, const int* ipvt, double* b, int job);

// Banded LU (LAPACK dgbtrf) and solve (dgbtrs), reference style.
void Lapack_DGBTRF(const int* m, const int* n, const int* kl, const int* ku, double* ab,
                   const int* ldab, int* ipiv, int* info);
void Lapack_DGBTRS(const char* trans, const int* n, const int* kl, const int* ku, const int* nrhs,
                   const double* ab, const int* ldab, const int* ipiv, double* b, const int* ldb,
                   int* info);

#endif
