// The Levenberg-Marquardt pieces are cminpack's double-precision C routines; Debian's build
// keeps MINPACK's 1-based pivot indices in the C interface, which is what the callers expect.
#include "kernel/minpack/minpack_kernels.hpp"

#include <cminpack.h>

double Lmder_DPMPAR(const int* i) {
  return dpmpar(*i);
}

double Lmder_ENORM(const int* n, const double* x) {
  return enorm(*n, x);
}

void Lmder_QRFAC(const int* m, const int* n, double* a, const int* lda, const int* pivot, int* ipvt,
                 const int* lipvt, double* rdiag, double* acnorm, double* wa) {
  qrfac(*m, *n, a, *lda, *pivot, ipvt, *lipvt, rdiag, acnorm, wa);
}

void Lmder_LMPAR(const int* n, double* r, const int* ldr, const int* ipvt, const double* diag,
                 const double* qtb, const double* delta, double* par, double* x, double* sdiag,
                 double* wa1, double* wa2) {
  lmpar(*n, r, *ldr, ipvt, diag, qtb, *delta, par, x, sdiag, wa1, wa2);
}
