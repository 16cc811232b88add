// C-style and reference-style faces of the LAPACK routines in OpenBLAS. The C-style ones take
// sizes by value and return info; both simply forward to the Fortran entry points.
#include "kernel/dense_kernels.hpp"
#include "kernel/fortran_blas_lapack.hpp"

int CLapack_DGETRF(int m, int n, double* a, int lda, int* ipiv) {
  int info = 0;
  dgetrf_(&m, &n, a, &lda, ipiv, &info);
  return info;
}

int CLapack_DGETRS(const char* trans, int n, int nrhs, const double* a, int lda, const int* ipiv,
                   double* b, int ldb) {
  int info = 0;
  dgetrs_(trans, &n, &nrhs, a, &lda, ipiv, b, &ldb, &info, 1);
  return info;
}

int CLapack_DGESV(int n, int nrhs, double* a, int lda, int* ipiv, double* b, int ldb) {
  int info = 0;
  dgesv_(&n, &nrhs, a, &lda, ipiv, b, &ldb, &info);
  return info;
}

int CLapack_DPOTRF(const char* uplo, int n, double* a, int lda) {
  int info = 0;
  dpotrf_(uplo, &n, a, &lda, &info, 1);
  return info;
}

int CLapack_DPOTRS(const char* uplo, int n, int nrhs, const double* a, int lda, double* b,
                   int ldb) {
  int info = 0;
  dpotrs_(uplo, &n, &nrhs, a, &lda, b, &ldb, &info, 1);
  return info;
}

int CLapack_DGESDD(const char* jobz, int m, int n, double* a, int lda, double* s, double* u,
                   int ldu, double* vt, int ldvt, double* work, int lwork, int* iwork) {
  int info = 0;
  dgesdd_(jobz, &m, &n, a, &lda, s, u, &ldu, vt, &ldvt, work, &lwork, iwork, &info, 1);
  return info;
}

void Lapack_DGBTRF(const int* m, const int* n, const int* kl, const int* ku, double* ab,
                   const int* ldab, int* ipiv, int* info) {
  dgbtrf_(m, n, kl, ku, ab, ldab, ipiv, info);
}

void Lapack_DGBTRS(const char* trans, const int* n, const int* kl, const int* ku, const int* nrhs,
                   const double* ab, const int* ldab, const int* ipiv, double* b, const int* ldb,
                   int* info) {
  dgbtrs_(trans, n, kl, ku, nrhs, ab, ldab, ipiv, b, ldb, info, 1);
}
