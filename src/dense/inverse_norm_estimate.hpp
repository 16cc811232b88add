// Estimate of ||A^-1||_1 from solves with A and A^T alone, by Hager's method as refined by
// Higham (the estimator behind LAPACK's condition estimates). Shared by the factorisations whose
// factors LAPACK's own estimators cannot read: the classical dense LU and the sparse LU.
//
// The estimate is a lower bound of the true norm, exact for many matrices and rarely more than a
// factor 3 too small; it costs a handful of solves (at most kMaxSweeps + 1 with A and kMaxSweeps
// with A^T, plus one with A for the alternating-sign test vector).
#ifndef ORVO_SRC_DENSE_INVERSE_NORM_ESTIMATE_HPP
#define ORVO_SRC_DENSE_INVERSE_NORM_ESTIMATE_HPP

#include <cmath>

#include "orvo/memory.hpp"

namespace Orvo::detail {

// Sweeps of the power-like iteration; Higham's choice.
constexpr int kMaxSweeps = 5;

// solve(v) overwrites the n values at v by A^-1 v; solveTransposed(v) by A^-T v. Returns the
// estimate, or NaN if a solve produced a non-finite value.
template <class Solve, class SolveTransposed>
double estimateInverseOneNorm(int n, Solve solve, SolveTransposed solveTransposed) {
  if (n <= 0) return 0.0;
  mvlarray<double> x(n), signs(n);
  const auto oneNorm = [&](const mvlarray<double>& v) {
    double sum = 0.0;
    for (int i = 0; i < n; ++i) sum += std::fabs(v[i]);
    return sum;
  };
  for (int i = 0; i < n; ++i) x[i] = 1.0 / n;
  solve(x.Array());
  double estimate = oneNorm(x);
  if (!std::isfinite(estimate)) return std::nan("");
  if (n == 1) return estimate;

  for (int i = 0; i < n; ++i) signs[i] = x[i] >= 0.0 ? 1.0 : -1.0;
  for (int i = 0; i < n; ++i) x[i] = signs[i];
  solveTransposed(x.Array());
  int previousIndex = -1;
  for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
    int index = 0;
    for (int i = 1; i < n; ++i)
      if (std::fabs(x[i]) > std::fabs(x[index])) index = i;
    // The largest gradient component at the vertex already tried: a local maximum.
    if (index == previousIndex) break;
    previousIndex = index;
    for (int i = 0; i < n; ++i) x[i] = i == index ? 1.0 : 0.0;
    solve(x.Array());
    const double previous = estimate;
    estimate = oneNorm(x);
    if (!std::isfinite(estimate)) return std::nan("");
    bool signsRepeat = true;
    for (int i = 0; i < n && signsRepeat; ++i) signsRepeat = (x[i] >= 0.0 ? 1.0 : -1.0) == signs[i];
    if (signsRepeat || estimate <= previous) {
      estimate = std::fmax(estimate, previous);
      break;
    }
    for (int i = 0; i < n; ++i) signs[i] = x[i] >= 0.0 ? 1.0 : -1.0;
    for (int i = 0; i < n; ++i) x[i] = signs[i];
    solveTransposed(x.Array());
  }
  // A vector of alternating signs and growing size guards against the rare matrices whose
  // structure the iteration misses.
  for (int i = 0; i < n; ++i) x[i] = (i % 2 == 0 ? 1.0 : -1.0) * (1.0 + double(i) / (n - 1));
  solve(x.Array());
  const double alternative = 2.0 * oneNorm(x) / (3.0 * n);
  if (!std::isfinite(alternative)) return std::nan("");
  return std::fmax(estimate, alternative);
}

// ||A||_1 of a dense column-major matrix: the largest column sum of absolute values.
inline double denseOneNorm(int m, int n, const double* a, long lda) {
  double norm = 0.0;
  for (int j = 0; j < n; ++j) {
    double sum = 0.0;
    for (int i = 0; i < m; ++i) sum += std::fabs(a[i + j * lda]);
    if (!(sum <= norm)) norm = sum;  // a NaN column makes the norm NaN
  }
  return norm;
}

}  // namespace Orvo::detail

#endif
