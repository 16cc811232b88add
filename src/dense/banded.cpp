// Banded matrices: LU factorisation with partial pivoting in LAPACK's band storage, solves with
// the kept factors and the residual check. Separate from the general dense solvers because the
// storage layout, and so every index, differs.
#include <cmath>

#include "kernel/dense/dense_kernels.hpp"
#include "orvo/dense_solvers.hpp"

namespace Orvo {

BandedMatrix::BandedMatrix(int n, int kl, int ku)
    : n_(n), kl_(kl), ku_(ku), ldab_(2 * kl + ku + 1), band_(n * (2 * kl + ku + 1)), pivots_(n) {}

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
