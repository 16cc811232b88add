// Banded matrices: LU factorisation with partial pivoting in LAPACK's band storage, solves with
// the kept factors and the residual check. Separate from the general dense solvers because the
// storage layout, and so every index, differs.
#include <cmath>
#include <cstdint>

#include "kernel/dense/dense_kernels.hpp"
#include "orvo/dense_solvers.hpp"

namespace Orvo {

namespace {
// The band's leading dimension 2 kl + ku + 1, and with it n times that, must be ints.
int checkedLeadingDimension(int n, int kl, int ku) {
  if (kl < 0 || ku < 0) throw mvlException("BandedMatrix: negative band width");
  const int ldab = checkedLength(2 * std::int64_t{kl} + ku + 1, "BandedMatrix band");
  checkedElementCount(n, ldab, "BandedMatrix storage");
  return ldab;
}
}  // namespace

BandedMatrix::BandedMatrix(int n, int kl, int ku)
    : n_(n),
      kl_(kl),
      ku_(ku),
      ldab_(checkedLeadingDimension(n, kl, ku)),
      band_(n * ldab_),
      pivots_(n) {}

void BandedMatrix::Factorize() {
  if (factorised_) return;
  Lapack_DGBTRF(&n_, &n_, &kl_, &ku_, band_.Array(), &ldab_, pivots_.Array(), &info_);
  factorised_ = true;
}

void BandedMatrix::Solve(double* b) {
  Factorize();
  const int oneRightHandSide = 1;
  int info = 0;
  Lapack_DGBTRS("n", &n_, &kl_, &ku_, &oneRightHandSide, band_.Array(), &ldab_, pivots_.Array(), b,
                &n_, &info);
  if (info != 0) info_ = info;
}

void BandedMatrix::Reset() {
  factorised_ = false;
  info_ = 0;
}

double BandedMatrix::test(const double* x, const double* b) const {
  double sumOfSquares = 0.0;
  for (int j = 0; j < n_; ++j) {
    double residual = -b[j];
    for (int k = rowStart(j); k < rowEnd(j); ++k) residual += (*this)(j, k) * x[k];
    sumOfSquares += residual * residual;
  }
  return std::sqrt(sumOfSquares / n_);
}

}  // namespace Orvo
