// BLAS_DGEMM: the matrix product, passed straight to the single-threaded OpenBLAS dgemm. A file of
// its own because the products of every subsystem go through it.
#include "kernel/dense/dense_kernels.hpp"
#include "kernel/dense/fortran_blas_lapack.hpp"

void BLAS_DGEMM(const char* transa, const char* transb, const int* m, const int* n, const int* k,
                const double* alpha, const double* a, const int* lda, const double* b,
                const int* ldb, const double* beta, double* c, const int* ldc) {
  dgemm_(transa, transb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc, 1, 1);
}
