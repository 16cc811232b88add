// Reverse-communication kernels for sparse nonlinear equations, one-dimensional root finding and
// bound-constrained derivative-free minimisation. Reference style: every argument by address in
// the published order (BQA_OPTBQA's text length excepted).
//
// Declared here so that their drivers have a fixed contract; none is implemented yet, and no
// code of the library calls them.
#ifndef ORVO_SRC_KERNEL_NONLINEAR_KERNELS_HPP
#define ORVO_SRC_KERNEL_NONLINEAR_KERNELS_HPP

#include <cstdint>

// Sparse nonlinear equations: defaults for the controls and save areas.
void HSL_NS23ID(int* icntl, double* cntl, int* isave, double* rsave, int* lsave);
// Sparse nonlinear equations, one reverse-communication step. On return iflag > 0 asks for the
// residuals f and the Jacobian values at x; 0 = converged; negative = end or workspace request
// (-2: iw too short, -3: iw or w too short, sizes in info(4), info(5)).
void HSL_NS23AD(const int* m, const int* n, const double* stopReal1, const double* stopReal2,
                const int* stopInt, int* kernelInt, int* jacobianRows, int* jacobianColumnStarts,
                double* auxValues, int* auxRows, int* auxColumnStarts, double* kernelReal, int* liw,
                int* iw, int* lw, double* w, double* x, double* f, double* jacobianValues,
                int* iflag, int* icntl, double* cntl, int* info, double* rinfo, int* isave,
                double* rsave, int* lsave);

// One-dimensional root finding from two abscissae a and b. state 0 on entry starts a search;
// state 1 on return asks for f(x) in val; a value above 1 ends the search with the result in x.
void HSL_NB01AD(int* state, double* a, double* b, double* tol, double* x, double* val, int* maxit);

// Bound-constrained derivative-free minimisation by quadratic interpolation models.
// 1 x, 2 f, 3 n, 4 xl, 5 xu, 6 npt, 7 w, 8 lw, 9 iw, 10 task, 11 liw, 12 maxfun,
// 13-26 save areas and history (alternating arrays and their lengths), 27 rhobeg,
// 28-35 integer controls, 36 rhoend, 37 message buffer, 38 its length.
void BQA_OPTBQA(double* x, double* f, int* n, double* xl, double* xu, int* npt, double* w, int* lw,
                int* iw, int* task, int* liw, int* maxfun, double* save13, int* len14, int* save15,
                int* len16, double* save17, int* len18, int* save19, int* len20, double* save21,
                int* len22, int* save23, int* len24, double* save25, double* save26, double* rhobeg,
                int* control28, int* control29, int* control30, int* control31, int* control32,
                int* control33, int* control34, int* control35, double* rhoend, char* message,
                std::uint64_t messageLength);

#endif
