// C-style and reference-style faces of the LAPACK routines in OpenBLAS. The C-style ones take
// sizes by value and return info; both forward to the Fortran entry points.
//
// Each face first checks the arguments LAPACK would reject, in LAPACK's order and with its codes,
// and returns that code itself: the library writes nothing anywhere, and LAPACK's own error
// handler prints a message to standard output before returning the same code.
#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <utility>

#include "kernel/dense/dense_kernels.hpp"
#include "kernel/dense/fortran_blas_lapack.hpp"

namespace {

bool isOneOf(const char* option, const char* accepted) {
  const char upper = static_cast<char>(*option & ~0x20);
  for (; *accepted != '\0'; ++accepted)
    if (upper == *accepted) return true;
  return false;
}

// The first rejected argument, as -(its position); 0 when the whole list is acceptable.
int firstRejected(std::initializer_list<std::pair<bool, int>> rejections) {
  for (const auto& [rejected, position] : rejections)
    if (rejected) return -position;
  return 0;
}

}  // namespace

int CLapack_DGETRF(int m, int n, double* a, int lda, int* ipiv) {
  if (const int bad = firstRejected({{m < 0, 1}, {n < 0, 2}, {lda < std::max(1, m), 4}}))
    return bad;
  int info = 0;
  dgetrf_(&m, &n, a, &lda, ipiv, &info);
  return info;
}

int CLapack_DGETRS(const char* trans, int n, int nrhs, const double* a, int lda, const int* ipiv,
                   double* b, int ldb) {
  if (const int bad = firstRejected({{!isOneOf(trans, "NTC"), 1},
                                     {n < 0, 2},
                                     {nrhs < 0, 3},
                                     {lda < std::max(1, n), 5},
                                     {ldb < std::max(1, n), 8}}))
    return bad;
  int info = 0;
  dgetrs_(trans, &n, &nrhs, a, &lda, ipiv, b, &ldb, &info, 1);
  return info;
}

int CLapack_DGESV(int n, int nrhs, double* a, int lda, int* ipiv, double* b, int ldb) {
  if (const int bad = firstRejected(
          {{n < 0, 1}, {nrhs < 0, 2}, {lda < std::max(1, n), 4}, {ldb < std::max(1, n), 7}}))
    return bad;
  int info = 0;
  dgesv_(&n, &nrhs, a, &lda, ipiv, b, &ldb, &info);
  return info;
}

int CLapack_DPOTRF(const char* uplo, int n, double* a, int lda) {
  if (const int bad =
          firstRejected({{!isOneOf(uplo, "UL"), 1}, {n < 0, 2}, {lda < std::max(1, n), 4}}))
    return bad;
  int info = 0;
  dpotrf_(uplo, &n, a, &lda, &info, 1);
  if (info != 0) return info;
  // OpenBLAS passes NaN and infinite entries through without a word, and every such entry of
  // the referenced triangle reaches the diagonal of the factor. Report the first non-finite
  // pivot as a failed leading minor, so callers never take a NaN factor for success.
  for (int j = 0; j < n; ++j)
    if (!std::isfinite(a[j + static_cast<long>(j) * lda])) return j + 1;
  return 0;
}

int CLapack_DPOTRS(const char* uplo, int n, int nrhs, const double* a, int lda, double* b,
                   int ldb) {
  if (const int bad = firstRejected({{!isOneOf(uplo, "UL"), 1},
                                     {n < 0, 2},
                                     {nrhs < 0, 3},
                                     {lda < std::max(1, n), 5},
                                     {ldb < std::max(1, n), 7}}))
    return bad;
  int info = 0;
  dpotrs_(uplo, &n, &nrhs, a, &lda, b, &ldb, &info, 1);
  return info;
}

int CLapack_DGECON(const char* norm, int n, const double* a, int lda, double anorm, double* rcond,
                   double* work, int* iwork) {
  if (const int bad = firstRejected({{!isOneOf(norm, "1OI") && *norm != '1', 1},
                                     {n < 0, 2},
                                     {lda < std::max(1, n), 4},
                                     {!(anorm >= 0.0), 5}}))
    return bad;
  int info = 0;
  dgecon_(norm, &n, a, &lda, &anorm, rcond, work, iwork, &info, 1);
  return info;
}

int CLapack_DPOCON(const char* uplo, int n, const double* a, int lda, double anorm, double* rcond,
                   double* work, int* iwork) {
  if (const int bad = firstRejected(
          {{!isOneOf(uplo, "UL"), 1}, {n < 0, 2}, {lda < std::max(1, n), 4}, {!(anorm >= 0.0), 5}}))
    return bad;
  int info = 0;
  dpocon_(uplo, &n, a, &lda, &anorm, rcond, work, iwork, &info, 1);
  return info;
}

int CLapack_DGESDD(const char* jobz, int m, int n, double* a, int lda, double* s, double* u,
                   int ldu, double* vt, int ldvt, double* work, int lwork, int* iwork) {
  const bool all = isOneOf(jobz, "A"), thin = isOneOf(jobz, "S"), over = isOneOf(jobz, "O");
  const int smaller = std::min(m, n);
  if (const int bad = firstRejected({{!isOneOf(jobz, "ASON"), 1},
                                     {m < 0, 2},
                                     {n < 0, 3},
                                     {lda < std::max(1, m), 5},
                                     {ldu < 1 || ((all || thin || (over && m < n)) && ldu < m), 8},
                                     {ldvt < 1 || (all && ldvt < n) || (thin && ldvt < smaller) ||
                                          (over && m >= n && ldvt < n),
                                      10}}))
    return bad;
  int info = 0;
  dgesdd_(jobz, &m, &n, a, &lda, s, u, &ldu, vt, &ldvt, work, &lwork, iwork, &info, 1);
  return info;
}

void Lapack_DGBTRF(const int* m, const int* n, const int* kl, const int* ku, double* ab,
                   const int* ldab, int* ipiv, int* info) {
  if ((*info = firstRejected(
           {{*m < 0, 1}, {*n < 0, 2}, {*kl < 0, 3}, {*ku < 0, 4}, {*ldab < 2 * *kl + *ku + 1, 6}})))
    return;
  dgbtrf_(m, n, kl, ku, ab, ldab, ipiv, info);
}

void Lapack_DGBTRS(const char* trans, const int* n, const int* kl, const int* ku, const int* nrhs,
                   const double* ab, const int* ldab, const int* ipiv, double* b, const int* ldb,
                   int* info) {
  if ((*info = firstRejected({{!isOneOf(trans, "NTC"), 1},
                              {*n < 0, 2},
                              {*kl < 0, 3},
                              {*ku < 0, 4},
                              {*nrhs < 0, 5},
                              {*ldab < 2 * *kl + *ku + 1, 7},
                              {*ldb < std::max(1, *n), 10}})))
    return;
  dgbtrs_(trans, n, kl, ku, nrhs, ab, ldab, ipiv, b, ldb, info, 1);
}
