// Radial basis function network: the design matrix of its inverse-quadratic basis, blocked
// evaluation, the flat parameter layout, and one-pass training (centres by k-means or the samples
// themselves, widths from the distances between centres, output layer by regularised least
// squares).
#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <limits>

#include "common/array_helpers.hpp"
#include "kernel/vml/vml_kernels.hpp"
#include "orvo/dense_solvers.hpp"
#include "orvo/nnet.hpp"
#include "orvo/random.hpp"

namespace Orvo {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Samples per block in ForwardPropagate: a block of the design matrix of about this many
// numbers (1 MiB) stays in the second-level cache between its forming and its product with W.
constexpr long kDesignBlockNumbers = 1L << 17;
constexpr int kMinBlockRows = 64;

// The output-layer fit is repeated with the ridge this much larger, at most this many times, if
// the normal equations are not numerically positive definite. Entries of the design matrix lie
// in [0, 1], so a ridge of 1e14 makes the normal equations of any representable problem
// comfortably positive definite: only non-finite data runs out of attempts.
constexpr double kRidgeGrowth = 100.0;
constexpr int kRidgeAttempts = 13;

// Smallest squared distance between two centres that counts as non-zero.
constexpr double kDistinctSquared = std::numeric_limits<double>::min();

double* column(RMatrix& m, int j) {
  return m.Array() + static_cast<long>(j) * m.Height();
}
const double* column(const RMatrix& m, int j) {
  return m.Array() + static_cast<long>(j) * m.Height();
}

// Rows first .. first + to.Height() - 1 of `from` into `to` (same width).
void copyRows(const RMatrix& from, int first, RMatrix& to) {
  for (int l = 0; l < to.Width(); ++l) {
    const double* source = column(from, l) + first;
    std::copy(source, source + to.Height(), column(to, l));
  }
}

// `from` into rows first .. first + from.Height() - 1 of `to` (same width).
void placeRows(const RMatrix& from, RMatrix& to, int first) {
  for (int l = 0; l < from.Width(); ++l) {
    const double* source = column(from, l);
    std::copy(source, source + from.Height(), column(to, l) + first);
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Design matrix

RBF::DesignMatrix::DesignMatrix(const RMatrix& centres, const Vector<double>& widths,
                                const RMatrix& X)
    : lazyMatrix(X.Height(), centres.Height() + 1), centres_(centres), widths_(widths), X_(X) {}

void RBF::DesignMatrix::KickAss(RMatrix& target) const {
  const int n = X_.Height(), m = centres_.Height();
  if (X_.Width() != centres_.Width() || widths_.Length() != m ||
      (n > 0 && target.Array() == X_.Array())) {
    target.markFailed(-1);
    return;
  }
  assert(target.Height() == n && target.Width() == m + 1);
  target.setOK();
  std::fill_n(target.Array(), n, 1.0);
  if (n == 0 || m == 0) return;

  // The squared distances go straight into columns 1 .. m, then become the basis values there.
  RMatrix distances(n, m, target.Array() + n);
  distances = Euclidean2(X_, centres_);
  // phi = 1 / (1 - d * (1 / (-2 s))); the reciprocals go through the vector kernel, which
  // divides exactly as the scalar expression would.
  for (int k = 0; k < m; ++k) {
    const double scale = 1.0 / (widths_[k] * -2.0);
    double* phi = column(distances, k);
    for (int i = 0; i < n; ++i) phi[i] = 1.0 - phi[i] * scale;
    VML_vdInv(n, phi, phi);
  }
}

// ---------------------------------------------------------------------------------------------
// Construction and parameters

namespace {
// The weight count must be an int for the flat weight vector: checked once, in 64 bits, before
// any parameter storage is obtained.
int checkedInputs(int ninputs, int nhidden, int noutputs) {
  if (ninputs < 0 || nhidden < 0 || noutputs < 0) throw mvlException("RBF: negative size");
  checkedLength((std::int64_t{ninputs} + 1) * nhidden + (std::int64_t{nhidden} + 1) * noutputs,
                "RBF weight count");
  return ninputs;
}
}  // namespace

RBF::RBF(int ninputs, int nhidden, int noutputs)
    : FeedForwardNeuralNet(checkedInputs(ninputs, nhidden, noutputs), nhidden, noutputs),
      centres_(nhidden, ninputs),
      widths_(nhidden),
      outputWeights_(nhidden + 1, noutputs),
      requestedCentres_(nhidden) {}

RBF::RBF(const RBF& other)
    : FeedForwardNeuralNet(other),
      centres_(other.centres_),
      widths_(other.widths_),
      outputWeights_(other.outputWeights_),
      seed_(other.seed_),
      requestedCentres_(other.requestedCentres_) {}

RBF& RBF::operator=(const RBF& other) {
  if (this == &other) return *this;
  FeedForwardNeuralNet::operator=(other);
  centres_ = other.centres_;
  widths_ = other.widths_;
  outputWeights_ = other.outputWeights_;
  seed_ = other.seed_;
  requestedCentres_ = other.requestedCentres_;
  return *this;
}

RBF::~RBF() = default;

void RBF::SetWeights(mvlarray<double>& w) {
  const double* p = w.Array();
  for (int k = 0; k < centres_.Height(); ++k)
    for (int l = 0; l < centres_.Width(); ++l) centres_(k, l) = *p++;
  for (int k = 0; k < widths_.Length(); ++k) widths_[k] = *p++;
  for (int r = 0; r < outputWeights_.Height(); ++r)
    for (int o = 0; o < outputWeights_.Width(); ++o) outputWeights_(r, o) = *p++;
}

void RBF::GetWeights(mvlarray<double>& w) {
  double* p = w.Array();
  for (int k = 0; k < centres_.Height(); ++k)
    for (int l = 0; l < centres_.Width(); ++l) *p++ = centres_(k, l);
  for (int k = 0; k < widths_.Length(); ++k) *p++ = widths_[k];
  for (int r = 0; r < outputWeights_.Height(); ++r)
    for (int o = 0; o < outputWeights_.Width(); ++o) *p++ = outputWeights_(r, o);
}

// ---------------------------------------------------------------------------------------------
// Evaluation

void RBF::ForwardPropagate(RMatrix& X, RMatrix& Y) {
  const int n = X.Height();
  if (&X == &Y || (n > 0 && X.Array() == Y.Array())) {
    Y.markFailed(-1);  // shaping Y would destroy the samples
    return;
  }
  Y = ShapeShifter(n, outputWeights_.Width());
  if (X.Width() != centres_.Width()) {
    Y.markFailed(-1);
    return;
  }
  Y.setOK();
  const long perBlock = kDesignBlockNumbers / (centres_.Height() + 1);
  const int blockRows = static_cast<int>(std::max<long>(kMinBlockRows, perBlock));
  if (n <= blockRows) {
    const RMatrix design = DesignMatrix(centres_, widths_, X);
    Y = MatrixMultiply(design, outputWeights_, 1.0, 0.0, false, false);
    return;
  }
  // Row blocks of X through a small design matrix; the block's outputs are placed into Y.
  RMatrix samples(blockRows, X.Width()), design(blockRows, centres_.Height() + 1);
  RMatrix outputs(blockRows, outputWeights_.Width());
  for (int first = 0; first < n; first += blockRows) {
    const int rows = std::min(blockRows, n - first);
    if (rows != samples.Height()) samples = ShapeShifter(rows, X.Width());
    copyRows(X, first, samples);
    design = DesignMatrix(centres_, widths_, samples);
    outputs = MatrixMultiply(design, outputWeights_, 1.0, 0.0, false, false);
    placeRows(outputs, Y, first);
  }
}

// ---------------------------------------------------------------------------------------------
// Training

bool RBF::trainable(const RMatrix& X, const RMatrix& T) const {
  return X.Height() >= 1 && T.Height() == X.Height() && X.Width() >= 1 && T.Width() >= 1 &&
         requestedCentres_ >= 1;
}

double RBF::Train(RMatrix& X, RMatrix& T) {
  if (!trainable(X, T)) return kNaN;
  MTRng generator(static_cast<unsigned int>(seed_));
  const int n = X.Height();
  if (requestedCentres_ < n) {
    const int clusteringSeed = generator.iRand(0, 0);
    centres_.setOK();
    centres_ = KMeans(X, requestedCentres_, clusteringSeed);
  } else {
    centres_ = X;
  }
  assert(centres_.isOK());
  return fitAfterCentres(X, T, WidthRule::NearestTimesFour);
}

double RBF::Train(RMatrix& X, RMatrix& T, int nsub) {
  if (!trainable(X, T)) return kNaN;
  MTRng generator(static_cast<unsigned int>(seed_));
  const int n = X.Height(), k = requestedCentres_;
  centres_.setOK();
  if (k > n) {
    centres_ = X;
  } else if (nsub < k || nsub >= n) {
    const int clusteringSeed = generator.iRand(0, 0);
    centres_ = KMeans(X, k, clusteringSeed);
  } else {
    const int permutationSeed = generator.iRand(0, 0);
    Vector<int> order(n);
    order = RandPerm(n, 0, permutationSeed);
    RMatrix subsample(nsub, X.Width());
    for (int l = 0; l < X.Width(); ++l)
      for (int i = 0; i < nsub; ++i) subsample(i, l) = X(order[i], l);
    const int clusteringSeed = generator.iRand(0, 0);
    centres_ = KMeans(subsample, k, clusteringSeed);
  }
  assert(centres_.isOK());
  return fitAfterCentres(X, T, WidthRule::Farthest);
}

void RBF::computeWidths(WidthRule rule) {
  const int m = centres_.Height(), d = centres_.Width();
  if (widths_.Length() != m) widths_ = Vector<double>(m);
  const double noNeighbourWidth = NearestWidthFactor * NoNeighbourDistance;
  mvlarray<double> squared(m);
  for (int k = 0; k < m; ++k) {
    // Squared distances from centre k to every centre, from coordinate differences.
    detail::fill(squared, 0.0);
    for (int l = 0; l < d; ++l) {
      const double* coordinate = column(centres_, l);
      const double own = coordinate[k];
      for (int j = 0; j < m; ++j) {
        const double difference = coordinate[j] - own;
        squared[j] += difference * difference;
      }
    }
    // Squared distances below the smallest normal number count as coinciding centres: a width
    // that small would overflow the reciprocal the basis values are formed with.
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    double nearest = kInfinity, nearestDistinct = kInfinity, farthest = 0.0;
    for (int j = 0; j < m; ++j) {
      if (j == k) continue;
      const double distance = squared[j] < kDistinctSquared ? 0.0 : squared[j];
      nearest = std::min(nearest, distance);
      farthest = std::max(farthest, distance);
      if (distance > 0.0) nearestDistinct = std::min(nearestDistinct, distance);
    }
    double width;
    if (rule == WidthRule::NearestTimesFour)
      width = NearestWidthFactor * (nearest > 0.0 ? nearest : nearestDistinct);
    else
      width = farthest;  // 0 only if every other centre coincides with this one
    // No other centre at a non-zero distance: the basis function is flat over the data.
    if (width == 0.0 || width == kInfinity) width = noNeighbourWidth;
    widths_[k] = width;
  }
}

double RBF::fitAfterCentres(const RMatrix& X, const RMatrix& T, WidthRule rule) {
  ninputs_ = X.Width();
  nhidden_ = centres_.Height();
  noutputs_ = T.Width();
  computeWidths(rule);

  const RMatrix design = DesignMatrix(centres_, widths_, X);
  assert(design.isOK());
  outputWeights_ = ShapeShifter(nhidden_ + 1, noutputs_);
  double ridge = OutputRidge;
  bool solved = false;
  for (int attempt = 0; attempt < kRidgeAttempts && !solved; ++attempt, ridge *= kRidgeGrowth) {
    outputWeights_.setOK();
    outputWeights_.setInfo(0);
    outputWeights_ = LsqSolve(design, T, ridge);
    solved = outputWeights_.isOK();
  }
  outputWeights_.setOK();
  outputWeights_.setInfo(0);
  if (!solved) {
    // Only non-finite data gets here; say so rather than leave unset weights.
    outputWeights_ = kNaN;
    return kNaN;
  }

  const RMatrix fitted = MatrixMultiply(design, outputWeights_, 1.0, 0.0, false, false);
  const int n = T.Height();
  double sumSquares = 0.0;
  for (int i = 0; i < n; ++i) {
    double row = 0.0;
    for (int o = 0; o < noutputs_; ++o) {
      const double residual = T(i, o) - fitted(i, o);
      row += residual * residual;
    }
    sumSquares += row;
  }
  return std::sqrt(sumSquares / (static_cast<double>(n) * noutputs_));
}

}  // namespace Orvo
