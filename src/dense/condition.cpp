// Reciprocal condition numbers in the 1-norm from dense factors, all by the Hager-Higham estimator.
//
// For LAPACK's factor layouts the estimator first runs over plain triangular solves (dtrsv).
// LAPACK's own estimators (dgecon, dpocon) solve with overflow-guarding scaling, which at n in the
// hundreds and beyond nearly always drops to a column-by-column level-1 path several times slower
// than the solve itself; the plain solves give the same estimate unless an intermediate overflows,
// and only then is LAPACK's careful estimator run instead. The classical LU factors have their own
// solves.
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
  mvlarray<double> columnSumStore(n > 0 ? n : 1);
  double* __restrict columnSums = columnSumStore.Array();
  for (int j = 0; j < n; ++j) columnSums[j] = 0.0;
  for (int j = 0; j < n; ++j) {
    const double* __restrict column = a + static_cast<long>(j) * n;
    // Column j above the diagonal adds to the sums of the columns its mirror a(j, i) lies in,
    // then to its own; two plain loops, each of which the compiler vectorises (one serial
    // chain of additions would not), so the norm runs at the speed of reading the triangle.
    for (int i = 0; i < j; ++i) columnSums[i] += std::fabs(column[i]);
    double partial[4] = {0.0, 0.0, 0.0, 0.0};
    int i = 0;
    for (; i + 4 <= j; i += 4)
      for (int lane = 0; lane < 4; ++lane) partial[lane] += std::fabs(column[i + lane]);
    for (; i < j; ++i) partial[0] += std::fabs(column[i]);
    columnSums[j] +=
        (partial[0] + partial[1]) + (partial[2] + partial[3]) + std::fabs(column[j] + lambda);
  }
  double norm = 0.0;
  for (int j = 0; j < n; ++j)
    if (!(columnSums[j] <= norm)) norm = columnSums[j];
  return norm;
}

namespace {
// 1 / (||A||_1 ||A^-1||_1) from an estimate of ||A^-1||_1; an exactly zero inverse norm cannot
// come from a non-singular matrix, so it reads as singular.
double reciprocalFrom(double oneNorm, double inverseNorm) {
  return inverseNorm > 0.0 ? 1.0 / (oneNorm * inverseNorm) : 0.0;
}
}  // namespace

double luRCond(int n, const double* factors, double oneNorm) {
  if (!usableNorm(oneNorm)) return kNaN;
  if (n == 0) return 1.0;
  if (oneNorm == 0.0) return 0.0;
  // A = P L U and a row permutation leaves the 1-norm of A^-1 = U^-1 L^-1 P^T unchanged.
  const int one = 1;
  const double inverseNorm = estimateInverseOneNorm(
      n,
      [&](double* v) {
        BLAS_DTRSV("L", "N", "U", &n, factors, &n, v, &one);
        BLAS_DTRSV("U", "N", "N", &n, factors, &n, v, &one);
      },
      [&](double* v) {
        BLAS_DTRSV("U", "T", "N", &n, factors, &n, v, &one);
        BLAS_DTRSV("L", "T", "U", &n, factors, &n, v, &one);
      });
  // A non-finite estimate means a plain solve overflowed: only then the scaled estimator.
  if (std::isfinite(inverseNorm)) return reciprocalFrom(oneNorm, inverseNorm);
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
  return reciprocalFrom(oneNorm, inverseNorm);
}

double choleskyRCond(int n, const double* factor, double oneNorm) {
  if (!usableNorm(oneNorm)) return kNaN;
  if (n == 0) return 1.0;
  if (oneNorm == 0.0) return 0.0;
  // A = U^T U: A^-1 is symmetric, so one solve serves both directions.
  const int one = 1;
  const auto solve = [&](double* v) {
    BLAS_DTRSV("U", "T", "N", &n, factor, &n, v, &one);
    BLAS_DTRSV("U", "N", "N", &n, factor, &n, v, &one);
  };
  const double inverseNorm = estimateInverseOneNorm(n, solve, solve);
  // A non-finite estimate means a plain solve overflowed: only then the scaled estimator.
  if (std::isfinite(inverseNorm)) return reciprocalFrom(oneNorm, inverseNorm);
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
