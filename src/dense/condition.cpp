// Reciprocal condition numbers in the 1-norm from dense factors: LAPACK's estimators for its own
// factor layouts, the Hager-Higham estimator over the classical LU solves for the other.
#include "dense/condition.hpp"

#include <cmath>
#include <limits>

#include "dense/inverse_norm_estimate.hpp"
#include "kernel/dense/dense_kernels.hpp"
#include "orvo/dense_solvers.hpp"

namespace Orvo {

namespace detail {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// LAPACK's estimators assume finite data; a non-finite norm has no meaningful condition.
bool usableNorm(double oneNorm) {
  return std::isfinite(oneNorm);
}
}  // namespace

double symmetricOneNorm(int n, const double* a, double lambda) {
  mvlarray<double> columnSums(n > 0 ? n : 1);
  for (int j = 0; j < n; ++j) columnSums[j] = 0.0;
  for (int j = 0; j < n; ++j) {
    const double* column = a + static_cast<long>(j) * n;
    for (int i = 0; i < j; ++i) {
      const double magnitude = std::fabs(column[i]);
      columnSums[j] += magnitude;  // a(i, j)
      columnSums[i] += magnitude;  // its mirror a(j, i)
    }
    columnSums[j] += std::fabs(column[j] + lambda);
  }
  double norm = 0.0;
  for (int j = 0; j < n; ++j)
    if (!(columnSums[j] <= norm)) norm = columnSums[j];
  return norm;
}

double luRCond(int n, const double* factors, double oneNorm) {
  if (!usableNorm(oneNorm)) return kNaN;
  if (n == 0) return 1.0;
  mvlarray<double> work(4 * n);
  mvlarray<int> iwork(n);
  double rcond = 0.0;
  if (CLapack_DGECON("1", n, factors, n, oneNorm, &rcond, work.Array(), iwork.Array()) != 0)
    return kNaN;
  return rcond;
}

double classicalLuRCond(int n, const double* factors, const int* pivots, double oneNorm) {
  if (!usableNorm(oneNorm)) return kNaN;
  if (n == 0) return 1.0;
  if (oneNorm == 0.0) return 0.0;
  const double inverseNorm = estimateInverseOneNorm(
      n, [&](double* v) { CLinpack_DGESL(factors, n, n, pivots, v, 0); },
      [&](double* v) { CLinpack_DGESL(factors, n, n, pivots, v, 1); });
  if (!std::isfinite(inverseNorm)) return kNaN;
  return inverseNorm > 0.0 ? 1.0 / (oneNorm * inverseNorm) : 0.0;
}

double choleskyRCond(int n, const double* factor, double oneNorm) {
  if (!usableNorm(oneNorm)) return kNaN;
  if (n == 0) return 1.0;
  mvlarray<double> work(3 * n);
  mvlarray<int> iwork(n);
  double rcond = 0.0;
  if (CLapack_DPOCON("U", n, factor, n, oneNorm, &rcond, work.Array(), iwork.Array()) != 0)
    return kNaN;
  return rcond;
}

}  // namespace detail

double LUDecomp::RCond() const {
  if (!factors_.isOK()) return 0.0;
  const int n = factors_.Height();
  if (factors_.Width() != n) return std::numeric_limits<double>::quiet_NaN();
  return detail::luRCond(n, factors_.Array(), oneNorm_);
}

double CholRCond(const RMatrix& A, const RMatrix& F, double lambda) {
  const int n = A.Height();
  if (A.Width() != n || F.Height() != n || F.Width() != n)
    return std::numeric_limits<double>::quiet_NaN();
  if (!F.isOK()) return 0.0;
  return detail::choleskyRCond(n, F.Array(), detail::symmetricOneNorm(n, A.Array(), lambda));
}

}  // namespace Orvo
