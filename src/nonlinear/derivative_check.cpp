// Derivative checkers: central-difference estimates compared entry by entry with the
// derivatives a caller's callback supplies. Kept apart from the solvers, which never call it.
#include "orvo/derivative_check.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "common/array_helpers.hpp"
#include "orvo/matrix.hpp"

namespace Orvo {

namespace {

using detail::kEpsilon;

using Entries = DerivativeCheckReport::Entries;

// Puts x_j back however the evaluation between ends.
class RestoreOnExit {
 public:
  RestoreOnExit(double& slot) : slot_(slot), saved_(slot) {}
  ~RestoreOnExit() { slot_ = saved_; }
  RestoreOnExit(const RestoreOnExit&) = delete;
  RestoreOnExit& operator=(const RestoreOnExit&) = delete;

 private:
  double& slot_;
  double saved_;
};

// Step for variable j: cube root of eps times the variable's scale, rounded so that x_j + h is
// representable exactly and the difference quotient divides by the step actually taken.
double differenceStep(double xj, const double* typicalX, int j) {
  double scale = std::fabs(xj);
  if (typicalX != nullptr && std::fabs(typicalX[j]) > scale) scale = std::fabs(typicalX[j]);
  if (scale == 0.0) scale = 1.0;
  const volatile double shifted = xj + std::cbrt(kEpsilon) * scale;
  return shifted - xj;
}

// Collects the comparisons of one check and turns them into a report.
class Comparison {
 public:
  explicit Comparison(const DerivativeCheckOptions& options) : options_(options) {}

  // Compares one entry; plus and minus are f_row at x +- h e_column.
  void compare(int row, int column, double supplied, double plus, double minus, double h,
               bool missing) {
    const double estimated = (plus - minus) / (2.0 * h);
    const double noise = kNoiseFactor * kEpsilon * (std::fabs(plus) + std::fabs(minus)) / (2 * h);
    const double scale = std::max(std::fabs(supplied), std::fabs(estimated));
    const double difference = std::fabs(supplied - estimated);
    const double tol = options_.tolerance;
    DerivativeCheckEntry entry{row, column, supplied, estimated, 0.0, true};
    if (!std::isfinite(supplied) || !std::isfinite(estimated) || !std::isfinite(noise)) {
      entry.relativeError = std::numeric_limits<double>::infinity();
      entry.passed = false;
    } else {
      const double denominator = scale + noise / tol;
      entry.relativeError = denominator > 0.0 ? difference / denominator : 0.0;
      entry.passed = difference <= tol * scale + noise;
    }
    if (missing) {
      if (!entry.passed) missing_.push_back(entry);
      return;
    }
    ++report_.entriesChecked;
    if (!entry.passed) ++report_.entriesFailed;
    report_.worstRelativeError = std::max(report_.worstRelativeError, entry.relativeError);
    all_.push_back(entry);
  }

  DerivativeCheckReport finish(int functionEvaluations, int derivativeEvaluations) {
    const auto larger = [](const DerivativeCheckEntry& a, const DerivativeCheckEntry& b) {
      return a.relativeError > b.relativeError;
    };
    keepLargest(all_, report_.worst, larger);
    keepLargest(missing_, report_.missingFromPattern, larger);
    report_.passed = report_.entriesFailed == 0 && missing_.empty();
    report_.functionEvaluations = functionEvaluations;
    report_.derivativeEvaluations = derivativeEvaluations;
    return std::move(report_);
  }

 private:
  template <class Order>
  void keepLargest(Entries& from, Entries& to, Order order) const {
    const std::size_t keep =
        std::min(from.size(), static_cast<std::size_t>(std::max(options_.maxReported, 0)));
    std::partial_sort(from.begin(), from.begin() + keep, from.end(), order);
    to.assign(from.begin(), from.begin() + keep);
  }

  const DerivativeCheckOptions& options_;
  DerivativeCheckReport report_;
  Entries all_, missing_;
};

// Values set through SetValue, for the callbacks that report derivatives that way. The dense
// form stores into a matrix; the sparse form records triples; the discarding form serves the
// difference evaluations, whose derivatives are not wanted.
class DenseSink : public IMatrix {
 public:
  explicit DenseSink(RMatrix& target) : target_(target) {}
  void SetValue(int row, int col, double value) override { target_(row, col) = value; }

 private:
  RMatrix& target_;
};

struct Triple {
  int row, column;
  double value;
};
using Triples = std::vector<Triple, OrvoAllocator<Triple>>;

class TripleSink : public IMatrix {
 public:
  explicit TripleSink(Triples& triples) : triples_(triples) {}
  void SetValue(int row, int col, double value) override { triples_.push_back({row, col, value}); }

 private:
  Triples& triples_;
};

class DiscardingSink : public IMatrix {
 public:
  void SetValue(int, int, double) override {}
};

// Sorts by column, then row, and adds up duplicates.
void mergeDuplicates(Triples& triples) {
  std::sort(triples.begin(), triples.end(), [](const Triple& a, const Triple& b) {
    return a.column != b.column ? a.column < b.column : a.row < b.row;
  });
  std::size_t out = 0;
  for (std::size_t k = 0; k < triples.size(); ++k) {
    if (out > 0 && triples[out - 1].row == triples[k].row &&
        triples[out - 1].column == triples[k].column)
      triples[out - 1].value += triples[k].value;
    else
      triples[out++] = triples[k];
  }
  triples.resize(out);
}

// Evaluates `values` (a callable filling an m-element array at x) at x +- h e_j.
template <class Evaluate>
double evaluatePair(mvlarray<double>& x, int j, const double* typicalX, Evaluate evaluate,
                    mvlarray<double>& plus, mvlarray<double>& minus) {
  const double h = differenceStep(x[j], typicalX, j);
  RestoreOnExit restore(x[j]);
  const double xj = x[j];
  x[j] = xj + h;
  evaluate(plus);
  x[j] = xj - h;
  evaluate(minus);
  return h;
}

// A negative count of rows describes nothing; without variables there is nothing to compare and
// the callbacks are not asked to work on an empty x.
void checkRows(int m) {
  if (m < 0) throw mvlException("derivative check: negative number of functions");
}
DerivativeCheckReport nothingToCompare(const DerivativeCheckOptions& options) {
  return Comparison(options).finish(0, 0);
}

}  // namespace

DerivativeCheckReport CheckJacobian(FunctorBase_AA& f, FunctorBase_AM& jac, mvlarray<double>& x,
                                    int m, const DerivativeCheckOptions& options) {
  const int n = x.Length();
  checkRows(m);
  if (n == 0) return nothingToCompare(options);
  RMatrix J(m, n);
  J = 0.0;
  jac(x, J);
  mvlarray<double> plus(m), minus(m);
  Comparison comparison(options);
  for (int j = 0; j < n; ++j) {
    const double h = evaluatePair(
        x, j, options.typicalX, [&](mvlarray<double>& y) { f(x, y); }, plus, minus);
    for (int i = 0; i < m; ++i) comparison.compare(i, j, J(i, j), plus[i], minus[i], h, false);
  }
  return comparison.finish(2 * n, 1);
}

DerivativeCheckReport CheckGradient(FunctorBase_AAretR& obj, mvlarray<double>& x,
                                    const DerivativeCheckOptions& options) {
  const int n = x.Length();
  if (n == 0) return nothingToCompare(options);
  mvlarray<double> g(n), scratch(n), plus(1), minus(1);
  for (int j = 0; j < n; ++j) g[j] = 0.0;
  obj(x, g);
  Comparison comparison(options);
  for (int j = 0; j < n; ++j) {
    const double h = evaluatePair(
        x, j, options.typicalX, [&](mvlarray<double>& y) { y[0] = obj(x, scratch); }, plus, minus);
    comparison.compare(0, j, g[j], plus[0], minus[0], h, false);
  }
  return comparison.finish(2 * n, 1);
}

DerivativeCheckReport CheckConstraintGradients(FunctorBase_AAI& cons, mvlarray<double>& x, int m,
                                               const DerivativeCheckOptions& options) {
  const int n = x.Length();
  checkRows(m);
  if (n == 0) return nothingToCompare(options);
  RMatrix gradients(n, std::max(m, 1));
  gradients = 0.0;
  mvlarray<double> c(std::max(m, 1)), plus(std::max(m, 1)), minus(std::max(m, 1));
  DenseSink sink(gradients);
  cons(x, c, sink);
  DiscardingSink discard;
  Comparison comparison(options);
  for (int j = 0; j < n; ++j) {
    const double h = evaluatePair(
        x, j, options.typicalX, [&](mvlarray<double>& y) { cons(x, y, discard); }, plus, minus);
    for (int k = 0; k < m; ++k)
      comparison.compare(k, j, gradients(j, k), plus[k], minus[k], h, false);
  }
  return comparison.finish(2 * n, 1);
}

DerivativeCheckReport CheckSparseJacobian(FunctorBase_AAI& fj, mvlarray<double>& x, int m,
                                          const DerivativeCheckOptions& options) {
  const int n = x.Length();
  checkRows(m);
  if (n == 0) return nothingToCompare(options);
  Triples supplied;
  mvlarray<double> f(std::max(m, 1)), plus(std::max(m, 1)), minus(std::max(m, 1));
  TripleSink sink(supplied);
  fj(x, f, sink);
  mergeDuplicates(supplied);
  DiscardingSink discard;
  Comparison comparison(options);
  std::size_t next = 0;  // first supplied entry of the current column
  for (int j = 0; j < n; ++j) {
    const double h = evaluatePair(
        x, j, options.typicalX, [&](mvlarray<double>& y) { fj(x, y, discard); }, plus, minus);
    while (next < supplied.size() && supplied[next].column < j) ++next;
    for (int i = 0; i < m; ++i) {
      // Entries set outside 0..m-1 x 0..n-1 are skipped by the column walk and never compared.
      while (next < supplied.size() && supplied[next].column == j && supplied[next].row < i) ++next;
      const bool set =
          next < supplied.size() && supplied[next].column == j && supplied[next].row == i;
      comparison.compare(i, j, set ? supplied[next].value : 0.0, plus[i], minus[i], h, !set);
    }
    while (next < supplied.size() && supplied[next].column <= j) ++next;
  }
  return comparison.finish(2 * n, 1);
}

}  // namespace Orvo
