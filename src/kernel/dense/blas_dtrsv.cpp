// BLAS_DTRSV: one triangular solve, passed straight to the single-threaded OpenBLAS dtrsv. The
// condition estimators use it for their repeated solves with the factors.
#include "kernel/dense/dense_kernels.hpp"
#include "kernel/dense/fortran_blas_lapack.hpp"

void BLAS_DTRSV(const char* uplo, const char* trans, const char* diag, const int* n,
                const double* a, const int* lda, double* x, const int* incx) {
  dtrsv_(uplo, trans, diag, n, a, lda, x, incx, 1, 1, 1);
}
