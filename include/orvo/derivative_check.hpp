/// @file
/// Checking the derivatives a caller supplies against central differences.
///
/// The commonest reason a least-squares or optimisation run fails is a wrong derivative in the
/// caller's callback. Each checker below evaluates the caller's derivatives once at x, estimates
/// every entry by central differences, and compares them:
///
///   estimate(i, j) = (f_i(x + h_j e_j) - f_i(x - h_j e_j)) / (2 h_j),
///   h_j = cbrt(eps) * s_j with s_j = |x_j| (1 where x_j = 0), rounded so that x_j +- h_j is exact.
///
/// The step follows each variable's own scale, so badly scaled variables are differenced on
/// their own scale. An entry passes when
///
///   |supplied - estimate| <= tol * max(|supplied|, |estimate|) + noise(i, j),
///   noise(i, j) = kNoiseFactor * eps * (|f_i(x + h_j e_j)| + |f_i(x - h_j e_j)|) / (2 h_j),
///
/// the second term being the rounding error of the difference itself, so that an entry that is
/// zero in exact arithmetic is not flagged because the difference is tiny but not zero. Its
/// relative error is |supplied - estimate| / (max(|supplied|, |estimate|) + noise / tol), which
/// is at most tol exactly when the entry passes (0 when both are 0).
///
/// Cost: 2n evaluations of the function for the differences plus one evaluation of the supplied
/// derivatives (two for the sparse and constraint forms, whose one callback gives both). x is
/// restored exactly before return. The callbacks are called on the calling thread; an exception
/// they throw reaches the caller with x restored. Non-finite supplied or estimated entries fail.
/// An empty x has nothing to compare: the report is empty (passed) and no callback is called. A
/// negative m throws mvlException before any callback, as do sizes whose storage (m x n for the
/// dense forms) exceeds the int range.
#ifndef ORVO_DERIVATIVE_CHECK_HPP
#define ORVO_DERIVATIVE_CHECK_HPP

#include <vector>

#include "orvo/config.hpp"
#include "orvo/memory.hpp"
#include "orvo/nonlinear.hpp"

namespace Orvo {

/// One compared entry: d f_row / d x_column. For a gradient row is 0; for constraints row is
/// the constraint's index.
struct DerivativeCheckEntry {
  int row = 0;
  int column = 0;
  double supplied = 0.0;
  double estimated = 0.0;
  double relativeError = 0.0;
  bool passed = true;
};

/// The outcome of one check. Storage comes from the tracked allocator.
struct ORVO_API DerivativeCheckReport {
  using Entries = std::vector<DerivativeCheckEntry, OrvoAllocator<DerivativeCheckEntry>>;

  /// @{
  /// Totals of the check: verdict, counts and the worst relative error.
  bool passed = true;      // every entry passed and none is missing from the pattern
  int entriesChecked = 0;  // entries compared (m * n for the dense forms)
  int entriesFailed = 0;   // entries that failed the test above
  double worstRelativeError = 0.0;
  int functionEvaluations = 0;  // evaluations of the function (or constraints) for differences
  int derivativeEvaluations = 0;
  /// @}
  /// Up to maxReported entries with the largest relative errors, largest first (failed or not).
  Entries worst;
  /// Sparse form only: positions whose estimate is clearly non-zero (it fails the test against a
  /// supplied value of 0) but that the callback never set, at most maxReported, largest first.
  Entries missingFromPattern;
};

/// Settings shared by the checkers.
struct DerivativeCheckOptions {
  double tolerance = 1e-6;  // relative tolerance of the test above
  int maxReported = 10;     // length limit of the worst and missing lists
  /// Optional typical magnitude of each variable (n values), used instead of |x_j| for the step
  /// when given; for variables at or near 0 whose natural scale is known.
  const double* typicalX = nullptr;
};

/// Multiplier of the rounding-error term.
constexpr double kNoiseFactor = 10.0;

/// Residual vector f (m values, written by f into its second argument) and its m x n Jacobian
/// (jac writes every element of J). x: n values, read, perturbed during the check and restored.
/// Reads nothing else; returns the report by value.
ORVO_API DerivativeCheckReport CheckJacobian(FunctorBase_AA& f, FunctorBase_AM& jac,
                                             mvlarray<double>& x, int m,
                                             const DerivativeCheckOptions& options = {});

/// Scalar objective with its gradient (obj returns f(x) and writes all n components into g).
ORVO_API DerivativeCheckReport CheckGradient(FunctorBase_AAretR& obj, mvlarray<double>& x,
                                             const DerivativeCheckOptions& options = {});

/// Constraints in the constrained optimiser's form: cons writes c (m values) and the gradient of
/// c_k into column k of an n x m matrix through SetValue. Entries report row = k, column = j.
ORVO_API DerivativeCheckReport CheckConstraintGradients(FunctorBase_AAI& cons, mvlarray<double>& x,
                                                        int m,
                                                        const DerivativeCheckOptions& options = {});

/// Sparse Jacobian in the sparse equation solver's form: fj writes f (m values) and adds each
/// non-zero d f_i / d x_j with SetValue(i, j, value) into an empty m x n sparse matrix
/// (duplicates add up). Besides the comparison of every supplied entry, every position the
/// callback did not set is compared with 0 and reported in missingFromPattern when it fails.
ORVO_API DerivativeCheckReport CheckSparseJacobian(FunctorBase_AAI& fj, mvlarray<double>& x, int m,
                                                   const DerivativeCheckOptions& options = {});

}  // namespace Orvo

#endif  // ORVO_DERIVATIVE_CHECK_HPP
