// The multilayer perceptron: forward evaluation in blocks (vector exponential for the logistic
// layer), the flat weight layout, gradients, and the linear least-squares fit of the output layer.
#include <algorithm>
#include <cstdint>
#include <limits>

#include "common/array_helpers.hpp"
#include "kernel/vml/vml_kernels.hpp"
#include "orvo/dense_solvers.hpp"
#include "orvo/nnet.hpp"

namespace Orvo {

namespace {

using detail::elementCount;

bool hasShape(const RMatrix& m, int height, int width) {
  return m.Height() == height && m.Width() == width;
}

// s(z) = 1 / (1 + e^-z) over a whole block: one vector exponential and one vector reciprocal,
// both in place, instead of a scalar exp per element.
void logisticInPlace(RMatrix& block) {
  const long count = elementCount(block);
  double* z = block.Array();
  for (long k = 0; k < count; ++k) z[k] = -z[k];
  VML_vdExp(static_cast<int>(count), z, z);
  for (long k = 0; k < count; ++k) z[k] += 1.0;
  VML_vdInv(static_cast<int>(count), z, z);
}

double* column(RMatrix& m, int j) {
  return m.Array() + static_cast<long>(j) * m.Height();
}
const double* column(const RMatrix& m, int j) {
  return m.Array() + static_cast<long>(j) * m.Height();
}

// Sum of column j in index order.
double columnSum(const RMatrix& m, int j) {
  const double* c = column(m, j);
  double total = 0.0;
  for (int i = 0; i < m.Height(); ++i) total += c[i];
  return total;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Expressions

MLP::MLPFunc::MLPFunc(MLP& network, RMatrix& X)
    : lazyMatrix(X.Height(), network.noutputs()), network_(network), X_(X) {}

void MLP::MLPFunc::KickAss(RMatrix& target) const {
  network_.ForwardPropagate(X_, target);
}

MLP::DesignMatrix::DesignMatrix(const RMatrix& W1, const RMatrix& X, RMatrix& hidden,
                                const mvlarray<double>& bias1, int nhidden)
    : lazyMatrix(X.Height(), nhidden + 1),
      W1_(W1),
      X_(X),
      hidden_(hidden),
      bias1_(bias1),
      nhidden_(nhidden) {}

void MLP::DesignMatrix::KickAss(RMatrix& target) const {
  const int n = X_.Height();
  if (X_.Width() != W1_.Height()) {
    target.markFailed(-1);
    return;
  }
  hidden_ = Vals<0>(n, nhidden_);
  fillRows(hidden_, bias1_);
  MatrixMultiply inputs(X_, W1_, 1.0, 0.0, false, false);
  hidden_ = MatrixMultiplyAndAdd(hidden_, inputs);
  hidden_ = Apply<matLogistic>(hidden_.Height(), hidden_.Width());

  std::fill(target.Array(), target.Array() + n, 1.0);
  for (int j = 0; j < nhidden_; ++j) {
    const double* from = column(hidden_, j);
    std::copy(from, from + n, column(target, j + 1));
  }
}

// ---------------------------------------------------------------------------------------------
// Construction and weights

MLP::MLP() : bias1_(), bias2_() {}

namespace {
// The weight count must be an int for the flat weight vector: checked once, in 64 bits.
int checkedInputs(int ninputs, int nhidden, int noutputs) {
  if (ninputs < 0 || nhidden < 0 || noutputs < 0) throw mvlException("MLP: negative size");
  checkedLength((std::int64_t{ninputs} + 1) * nhidden + (std::int64_t{nhidden} + 1) * noutputs,
                "MLP weight count");
  return ninputs;
}
}  // namespace

MLP::MLP(int ninputs, int nhidden, int noutputs)
    : FeedForwardNeuralNet(checkedInputs(ninputs, nhidden, noutputs), nhidden, noutputs),
      weights1_(ninputs, nhidden),
      weights2_(nhidden, noutputs),
      bias1_(nhidden),
      bias2_(noutputs) {}

MLP::MLP(const MLP& other)
    : FeedForwardNeuralNet(other),
      weights1_(other.weights1_),
      weights2_(other.weights2_),
      bias1_(other.bias1_),
      bias2_(other.bias2_) {}

MLP& MLP::operator=(const MLP& other) {
  if (this == &other) return *this;
  FeedForwardNeuralNet::operator=(other);
  weights1_ = other.weights1_;
  weights2_ = other.weights2_;
  bias1_ = other.bias1_;
  bias2_ = other.bias2_;
  design_ = other.design_;
  hidden_ = other.hidden_;
  solution_ = other.solution_;
  gradient1_ = other.gradient1_;
  gradient2_ = other.gradient2_;
  delta_ = other.delta_;
  return *this;
}

MLP::~MLP() = default;

// The blocks of the weight vector hold what the sizes imply (a default network's 1 x 1 weight
// matrices carry no weight); a block re-shaped through Weights1()/Weights2() is read or written
// only as far as it reaches, and the layout stays that of the sizes.
void MLP::SetWeights(mvlarray<double>& w) {
  const double* p = w.Array();
  const long first = static_cast<long>(ninputs_) * nhidden_;
  const long second = static_cast<long>(nhidden_) * noutputs_;
  std::copy(p, p + std::min(first, elementCount(weights1_)), weights1_.Array());
  p += first;
  for (int j = 0; j < nhidden_; ++j) bias1_[j] = *p++;
  std::copy(p, p + std::min(second, elementCount(weights2_)), weights2_.Array());
  p += second;
  for (int k = 0; k < noutputs_; ++k) bias2_[k] = *p++;
}

void MLP::GetWeights(mvlarray<double>& w) {
  double* p = w.Array();
  const long first = static_cast<long>(ninputs_) * nhidden_;
  const long second = static_cast<long>(nhidden_) * noutputs_;
  std::copy(weights1_.Array(), weights1_.Array() + std::min(first, elementCount(weights1_)), p);
  p += first;
  for (int j = 0; j < nhidden_; ++j) *p++ = bias1_[j];
  std::copy(weights2_.Array(), weights2_.Array() + std::min(second, elementCount(weights2_)), p);
  p += second;
  for (int k = 0; k < noutputs_; ++k) *p++ = bias2_[k];
}

// ---------------------------------------------------------------------------------------------
// Evaluation

void MLP::fillRows(RMatrix& M, const mvlarray<double>& values) {
  for (int j = 0; j < values.Length(); ++j) std::fill_n(column(M, j), M.Height(), values[j]);
}

void MLP::hiddenLayer(const RMatrix& X, RMatrix& H) {
  fillRows(H, bias1_);
  MatrixMultiply inputs(X, weights1_, 1.0, 0.0, false, false);
  H = MatrixMultiplyAndAdd(H, inputs);
  logisticInPlace(H);
}

void MLP::ForwardPropagate(RMatrix& X, RMatrix& Y) {
  hidden_ = ShapeShifter(X.Height(), nhidden_);
  Y = ShapeShifter(X.Height(), noutputs_);
  ForwardPropagate(X, hidden_, Y);
}

void MLP::ForwardPropagate(const RMatrix& X, RMatrix& H, RMatrix& Y) {
  const int n = X.Height();
  if (X.Width() != ninputs_ || !hasShape(H, n, nhidden_) || !hasShape(Y, n, noutputs_)) {
    Y.markFailed(-1);
    return;
  }
  hiddenLayer(X, H);
  fillRows(Y, bias2_);
  MatrixMultiply hiddenToOutput(H, weights2_, 1.0, 0.0, false, false);
  Y = MatrixMultiplyAndAdd(Y, hiddenToOutput);
}

lazyMatrix& MLP::operator()(RMatrix& X) {
  expression_ = std::make_unique<MLPFunc>(*this, X);
  return *expression_;
}

// ---------------------------------------------------------------------------------------------
// Derivatives

void MLP::BackPropagate(const RMatrix& X, const RMatrix& H, const RMatrix& D, mvlarray<double>& g) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  const int hiddenCount = hiddenWeightCount();
  const bool wholeNetwork = g.Length() >= nwts();
  if (g.Length() < hiddenCount) {
    std::fill_n(g.Array(), g.Length(), kNaN);
    return;
  }
  const int n = D.Height();
  if (D.Width() != noutputs_ || !hasShape(H, n, nhidden_) || !hasShape(X, n, ninputs_)) {
    std::fill_n(g.Array(), wholeNetwork ? nwts() : hiddenCount, kNaN);
    return;
  }

  gradient2_ = MatrixMultiply(H, D, 1.0, 0.0, true, false);
  delta_ = MatrixMultiply(D, weights2_, 1.0, 0.0, false, true);
  // Through the logistic: s'(z) = s(z) (1 - s(z)).
  for (int j = 0; j < nhidden_; ++j) {
    double* d = column(delta_, j);
    const double* h = column(H, j);
    for (int i = 0; i < n; ++i) d[i] = h[i] * d[i] * (1.0 - h[i]);
  }
  gradient1_ = MatrixMultiply(X, delta_, 1.0, 0.0, true, false);

  double* p = g.Array();
  p = std::copy(gradient1_.Array(), gradient1_.Array() + elementCount(gradient1_), p);
  for (int j = 0; j < nhidden_; ++j) *p++ = columnSum(delta_, j);
  if (!wholeNetwork) return;
  p = std::copy(gradient2_.Array(), gradient2_.Array() + elementCount(gradient2_), p);
  for (int k = 0; k < noutputs_; ++k) *p++ = columnSum(D, k);
}

void MLP::ComputeJacobian(const RMatrix& X, RMatrix& J) {
  const int n = X.Height();
  const int hiddenCount = hiddenWeightCount();
  const bool wholeNetwork = J.Width() >= nwts();
  if (X.Width() != ninputs_ || J.Height() != n * noutputs_ ||
      (J.Width() != hiddenCount && !wholeNetwork)) {
    J.markFailed(-1);
    return;
  }
  J.setOK();
  hidden_ = ShapeShifter(n, nhidden_);
  hiddenLayer(X, hidden_);
  delta_ = ShapeShifter(n, nhidden_);

  const int outputColumns = (nhidden_ + 1) * noutputs_;
  for (int k = 0; k < noutputs_; ++k) {
    const long firstRow = static_cast<long>(k) * n;
    // S(i, j) = d output k / d input of hidden unit j.
    for (int j = 0; j < nhidden_; ++j) {
      const double w = weights2_(j, k);
      const double* h = column(hidden_, j);
      double* s = column(delta_, j);
      for (int i = 0; i < n; ++i) s[i] = w * h[i] * (1.0 - h[i]);
    }
    for (int j = 0; j < nhidden_; ++j) {
      const double* s = column(delta_, j);
      for (int l = 0; l < ninputs_; ++l) {
        const double* x = column(X, l);
        double* target = column(J, j * ninputs_ + l) + firstRow;
        for (int i = 0; i < n; ++i) target[i] = s[i] * x[i];
      }
      std::copy(s, s + n, column(J, nhidden_ * ninputs_ + j) + firstRow);
    }
    if (!wholeNetwork) continue;
    for (int c = 0; c < outputColumns; ++c)
      std::fill_n(column(J, hiddenCount + c) + firstRow, n, 0.0);
    for (int j = 0; j < nhidden_; ++j) {
      const double* h = column(hidden_, j);
      std::copy(h, h + n, column(J, hiddenCount + k * nhidden_ + j) + firstRow);
    }
    std::fill_n(column(J, hiddenCount + noutputs_ * nhidden_ + k) + firstRow, n, 1.0);
  }
}

// ---------------------------------------------------------------------------------------------
// Output-layer fit

void MLP::ComputeOutputWeights(const RMatrix& X, const RMatrix& T, RMatrix& Y) {
  // Targets of another width would re-shape the output layer behind noutputs().
  if (T.Width() != noutputs_) {
    Y.markFailed(-1);
    return;
  }
  design_.setOK();
  design_ = DesignMatrix(weights1_, X, hidden_, bias1_, nhidden_);
  if (!design_.isOK()) {
    Y.markFailed(design_.getInfo());
    return;
  }
  // A successful solve leaves the target's status as it was, so start from a clean one.
  solution_.setOK();
  solution_ = LsqSolve(design_, T, OutputRidge);
  const bool solved = solution_.isOK();
  const int solveInfo = solution_.getInfo();
  if (solved) {
    for (int k = 0; k < noutputs_; ++k) bias2_[k] = solution_(0, k);
    weights2_ = rowRange(solution_, 1, nhidden_);
  } else {
    // Keep the output layer: a failed solve leaves nothing meaningful in the solution, and the
    // outputs below are then those of the network as it stands.
    solution_ = ShapeShifter(nhidden_ + 1, noutputs_);
    for (int k = 0; k < noutputs_; ++k) {
      solution_(0, k) = bias2_[k];
      for (int j = 0; j < nhidden_; ++j) solution_(j + 1, k) = weights2_(j, k);
    }
  }
  Y = MatrixMultiply(design_, solution_, 1.0, 0.0, false, false);
  if (!solved) Y.markFailed(solveInfo);
}

}  // namespace Orvo
