// Network table interpolator: standardisation of the first input block, training of the two
// radial basis networks at construction, and the deferred and direct predictions.
#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "orvo/interp.hpp"

namespace Orvo {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr int kInputColumns = 2;

bool allEqual(const double* values, int n) {
  for (int i = 1; i < n; ++i)
    if (values[i] != values[0]) return false;
  return true;
}

}  // namespace

TableInterpolator::RBFRun::RBFRun(RBF* network, RMatrix& input)
    : lazyMatrix(input.Height(), network ? network->noutputs() : 0),
      network_(network),
      input_(input) {}

void TableInterpolator::RBFRun::KickAss(RMatrix& target) const {
  if (!network_) {
    target.markFailed(-1);
    return;
  }
  network_->ForwardPropagate(input_, target);
}

TableInterpolator::TableInterpolator(RMatrix& I, RMatrix& X, RMatrix& Y, int ncentres)
    : I_(I),
      X_(X),
      Y_(Y),
      // A count below 1 is refused below (nothing trained); the networks take no negative size.
      first_(kInputColumns, std::max(ncentres, 0), kInputColumns),
      second_(kInputColumns, std::max(ncentres, 0), Y.Width()),
      firstError_(kNaN),
      secondError_(kNaN),
      mean_(kInputColumns),
      scale_(kInputColumns) {
  const int n = I.Height();
  if (I.Width() != kInputColumns || n < 1 || X.Height() != n || Y.Height() != n || X.Width() < 1 ||
      Y.Width() < 1 || ncentres < 1) {
    for (int c = 0; c < kInputColumns; ++c) mean_[c] = scale_[c] = kNaN;
    return;
  }
  for (int c = 0; c < kInputColumns; ++c) mean_[c] = I.Column(c).Sum() / n;
  for (int c = 0; c < kInputColumns; ++c) {
    double* values = I.Array() + static_cast<long>(c) * n;
    const bool constant = allEqual(values, n);
    for (int i = 0; i < n; ++i) values[i] -= mean_[c];
    // A column without spread keeps its unit: dividing by its (zero or rounding-sized) deviation
    // would blow every other value up.
    scale_[c] = constant ? 1.0 : std::sqrt(I.Column(c).SumSquares() / n);
  }
  for (int c = 0; c < kInputColumns; ++c) {
    const double factor = 1.0 / scale_[c];
    double* values = I.Array() + static_cast<long>(c) * n;
    for (int i = 0; i < n; ++i) values[i] *= factor;
  }
  firstError_ = first_.Train(I, X, ClusterSubsample);
  secondError_ = second_.Train(X, Y, ClusterSubsample);
  trained_ = true;
}

TableInterpolator::TableInterpolator(const TableInterpolator& other)
    : I_(other.I_),
      X_(other.X_),
      Y_(other.Y_),
      first_(other.first_),
      second_(other.second_),
      firstError_(other.firstError_),
      secondError_(other.secondError_),
      mean_(other.mean_),
      scale_(other.scale_),
      trained_(other.trained_) {}

TableInterpolator::~TableInterpolator() = default;

bool TableInterpolator::standardise(RMatrix& inputs) const {
  if (inputs.Width() != kInputColumns) return false;
  const int n = inputs.Height();
  for (int c = 0; c < kInputColumns; ++c) {
    double* values = inputs.Array() + static_cast<long>(c) * n;
    for (int i = 0; i < n; ++i) values[i] -= mean_[c];
  }
  for (int c = 0; c < kInputColumns; ++c) {
    const double factor = 1.0 / scale_[c];
    double* values = inputs.Array() + static_cast<long>(c) * n;
    for (int i = 0; i < n; ++i) values[i] *= factor;
  }
  return true;
}

lazyMatrix& TableInterpolator::PredictI(RMatrix& I2) {
  const bool usable = trained_ && standardise(I2);
  expression_ = std::make_unique<RBFRun>(usable ? &first_ : nullptr, I2);
  return *expression_;
}

void TableInterpolator::PredictI(RMatrix& I2, RMatrix& out) {
  if (!trained_ || !standardise(I2)) {
    out.markFailed(-1);
    return;
  }
  first_.ForwardPropagate(I2, out);
}

lazyMatrix& TableInterpolator::PredictX(RMatrix& X2) {
  expression_ = std::make_unique<RBFRun>(trained_ ? &second_ : nullptr, X2);
  return *expression_;
}

void TableInterpolator::PredictX(RMatrix& X2, RMatrix& out) {
  if (!trained_) {
    out.markFailed(-1);
    return;
  }
  second_.ForwardPropagate(X2, out);
}

}  // namespace Orvo
