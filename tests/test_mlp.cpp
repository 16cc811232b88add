// Multilayer perceptron: weight layout, evaluation against a direct scalar evaluation, and the
// derivatives against central finite differences.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "orvo/nnet.hpp"

using namespace Orvo;

namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();

RMatrix randomMatrix(int height, int width, std::mt19937& engine, double spread = 1.0) {
  std::uniform_real_distribution<double> uniform(-spread, spread);
  RMatrix m(height, width);
  for (long k = 0; k < static_cast<long>(height) * width; ++k) m(k) = uniform(engine);
  return m;
}

mvlarray<double> randomWeights(const MLP& net, std::mt19937& engine) {
  std::normal_distribution<double> normal(0.0, 0.7);
  mvlarray<double> w(net.nwts());
  for (int p = 0; p < w.Length(); ++p) w[p] = normal(engine);
  return w;
}

// The network function written out sample by sample from the weight vector alone, as a
// reference that shares no code with the library.
std::vector<double> referenceOutputs(const mvlarray<double>& w, const RMatrix& X, int nhidden,
                                     int noutputs) {
  const int n = X.Height(), ninputs = X.Width();
  const int b1 = ninputs * nhidden, w2 = b1 + nhidden, b2 = w2 + nhidden * noutputs;
  std::vector<double> Y(static_cast<std::size_t>(n) * noutputs);
  for (int i = 0; i < n; ++i) {
    std::vector<double> h(nhidden);
    for (int j = 0; j < nhidden; ++j) {
      double z = w[b1 + j];
      for (int l = 0; l < ninputs; ++l) z += X(i, l) * w[l + j * ninputs];
      h[j] = 1.0 / (1.0 + std::exp(-z));
    }
    for (int k = 0; k < noutputs; ++k) {
      double y = w[b2 + k];
      for (int j = 0; j < nhidden; ++j) y += h[j] * w[w2 + j + k * nhidden];
      Y[i + static_cast<std::size_t>(k) * n] = y;
    }
  }
  return Y;
}

// A 4-input, 5-hidden, 2-output network on 7 samples with random weights.
class SmallNetwork : public ::testing::Test {
 protected:
  static constexpr int kInputs = 4, kHidden = 5, kOutputs = 2, kSamples = 7;
  SmallNetwork() : net(kInputs, kHidden, kOutputs), engine(20261208) {
    X = randomMatrix(kSamples, kInputs, engine, 2.0);
    T = randomMatrix(kSamples, kOutputs, engine);
    weights = randomWeights(net, engine);
    net.SetWeights(weights);
  }

  // E(w) = 1/2 sum (Y - T)^2 with the network loaded from w.
  double halfSquaredError(mvlarray<double>& w) {
    MLP probe(kInputs, kHidden, kOutputs);
    probe.SetWeights(w);
    RMatrix Y(kSamples, kOutputs);
    probe.ForwardPropagate(X, Y);
    double e = 0.0;
    for (int k = 0; k < kSamples * kOutputs; ++k) e += 0.5 * (Y(k) - T(k)) * (Y(k) - T(k));
    return e;
  }

  // Central difference of the flattened outputs with respect to weight p.
  std::vector<double> outputDerivative(int p) {
    const double step = 1e-6;
    mvlarray<double> w = weights;
    w[p] = weights[p] + step;
    const std::vector<double> up = referenceOutputs(w, X, kHidden, kOutputs);
    w[p] = weights[p] - step;
    const std::vector<double> down = referenceOutputs(w, X, kHidden, kOutputs);
    std::vector<double> d(up.size());
    for (std::size_t r = 0; r < up.size(); ++r) d[r] = (up[r] - down[r]) / (2 * step);
    return d;
  }

  MLP net;
  std::mt19937 engine;
  RMatrix X, T;
  mvlarray<double> weights;
};

TEST(MlpLayout, WeightCountsAndTheFixedOrderOfTheFourBlocks) {
  EXPECT_EQ(MLP(2, 3, 1).nwts(), 13);
  EXPECT_EQ(MLP(1, 1, 1).nwts(), 4);
  EXPECT_EQ(MLP(10, 32, 3).hiddenWeightCount(), 352);

  MLP net(2, 3, 1);
  mvlarray<double> w(15);  // longer than nwts(): the tail must stay as it is
  for (int p = 0; p < 15; ++p) w[p] = 100.0 + p;
  net.SetWeights(w);
  const int expected[6][2] = {{0, 0}, {1, 0}, {0, 1}, {1, 1}, {0, 2}, {1, 2}};
  for (int p = 0; p < 6; ++p)
    EXPECT_EQ(net.Weights1()(expected[p][0], expected[p][1]), 100.0 + p) << p;
  for (int j = 0; j < 3; ++j) EXPECT_EQ(net.Weights2()(j, 0), 109.0 + j);

  mvlarray<double> back(15);
  for (int p = 0; p < 15; ++p) back[p] = -1.0;
  net.GetWeights(back);
  EXPECT_EQ(back.Length(), 15);
  for (int p = 0; p < 13; ++p) EXPECT_EQ(back[p], 100.0 + p) << p;
  EXPECT_EQ(back[13], -1.0);
  EXPECT_EQ(back[14], -1.0);

  // Weights reached through the accessors land in the layout positions.
  net.Weights2()(2, 0) = -4.0;
  net.GetWeights(back);
  EXPECT_EQ(back[11], -4.0);
}

TEST(MlpForward, HandComputedValues) {
  MLP net(2, 3, 1);
  RMatrix X(2, 2);
  X(0, 0) = 1.0, X(0, 1) = -2.0, X(1, 0) = 0.5, X(1, 1) = 3.0;
  mvlarray<double> w(13);
  for (int p = 0; p < 13; ++p) w[p] = 0.0;
  net.SetWeights(w);
  RMatrix H(2, 3), Y(2, 1);
  net.ForwardPropagate(X, H, Y);
  for (int k = 0; k < 6; ++k) EXPECT_EQ(H(k), 0.5);
  EXPECT_EQ(Y(0), 0.0);
  EXPECT_EQ(Y(1), 0.0);

  for (int p = 9; p < 12; ++p) w[p] = 1.0;  // Weights2 all 1: three halves
  w[12] = 0.25;
  net.SetWeights(w);
  net.ForwardPropagate(X, H, Y);
  EXPECT_EQ(Y(0), 1.75);
  EXPECT_EQ(Y(1), 1.75);

  // One input weight and one bias: output = 0.25 + s(2 x1 - 1) + 1.0.
  w[0] = 2.0;
  w[6] = -1.0;
  net.SetWeights(w);
  net.ForwardPropagate(X, H, Y);
  EXPECT_NEAR(Y(0), 0.25 + 1.0 / (1.0 + std::exp(-1.0)) + 1.0, 4 * kEps);
  EXPECT_NEAR(Y(1), 0.25 + 0.5 + 1.0, 4 * kEps);
  EXPECT_NEAR(H(0, 0), 1.0 / (1.0 + std::exp(-1.0)), 2 * kEps);
}

TEST_F(SmallNetwork, AllEvaluationRoutesAgreeWithTheScalarReference) {
  const std::vector<double> reference = referenceOutputs(weights, X, kHidden, kOutputs);

  RMatrix H(kSamples, kHidden), Y3(kSamples, kOutputs);
  Y3.markFailed(7);  // a stale failure must not survive a successful evaluation
  net.ForwardPropagate(X, H, Y3);
  EXPECT_TRUE(Y3.isOK());
  RMatrix Y2;  // 1 x 1: the two-argument form gives it the output shape
  net.ForwardPropagate(X, Y2);
  ASSERT_EQ(Y2.Height(), kSamples);
  ASSERT_EQ(Y2.Width(), kOutputs);
  RMatrix Yexpr = net(X);
  ASSERT_EQ(Yexpr.Height(), kSamples);
  ASSERT_EQ(Yexpr.Width(), kOutputs);

  for (int r = 0; r < kSamples * kOutputs; ++r) {
    const double tol = 16 * kEps * (1.0 + std::fabs(reference[r]));
    EXPECT_NEAR(Y3(r), reference[r], tol) << r;
    EXPECT_EQ(Y2(r), Y3(r)) << r;
    EXPECT_EQ(Yexpr(r), Y3(r)) << r;
  }
  for (int i = 0; i < kSamples; ++i)
    for (int j = 0; j < kHidden; ++j) {
      EXPECT_GT(H(i, j), 0.0);
      EXPECT_LT(H(i, j), 1.0);
    }
}

TEST_F(SmallNetwork, ExpressionsAreOwnedAndReadTheirOperandsWhenEvaluated) {
  lazyMatrix& first = net(X);
  EXPECT_EQ(first.Height(), kSamples);
  EXPECT_EQ(first.Width(), kOutputs);
  RMatrix X2 = randomMatrix(3, kInputs, engine);
  lazyMatrix& second = net(X2);  // releases the first (the sanitizer build checks no leak)
  RMatrix Y = second;
  ASSERT_EQ(Y.Height(), 3);
  RMatrix direct(3, kOutputs);
  net.ForwardPropagate(X2, direct);
  for (int r = 0; r < 3 * kOutputs; ++r) EXPECT_EQ(Y(r), direct(r));

  // New weights loaded after the expression was made are the ones it uses.
  mvlarray<double> other = randomWeights(net, engine);
  net.SetWeights(other);
  Y = second;
  const std::vector<double> reference = referenceOutputs(other, X2, kHidden, kOutputs);
  for (int r = 0; r < 3 * kOutputs; ++r) EXPECT_NEAR(Y(r), reference[r], 1e-14) << r;
}

TEST_F(SmallNetwork, CopiesEvaluateLikeTheirSource) {
  MLP copy(net);
  RMatrix a(kSamples, kOutputs), b(kSamples, kOutputs);
  net.ForwardPropagate(X, a);
  copy.ForwardPropagate(X, b);
  for (int r = 0; r < kSamples * kOutputs; ++r) EXPECT_EQ(a(r), b(r));

  // Assignment copies weights; the target's outstanding expression stays usable.
  MLP target(1, 1, 1);
  mvlarray<double> tiny(4);
  for (int p = 0; p < 4; ++p) tiny[p] = 1.0;
  target.SetWeights(tiny);
  lazyMatrix& before = target(X);
  target = net;
  EXPECT_EQ(target.nwts(), net.nwts());
  RMatrix c = before;
  for (int r = 0; r < kSamples * kOutputs; ++r) EXPECT_EQ(c(r), a(r));

  // The copy is independent of later changes to its source.
  net.Weights2()(0, 0) += 1.0;
  copy.ForwardPropagate(X, b);
  for (int r = 0; r < kSamples * kOutputs; ++r) EXPECT_EQ(a(r), b(r));
}

TEST_F(SmallNetwork, ShapeMismatchesAreReportedInTheResult) {
  RMatrix wrongX = randomMatrix(kSamples, kInputs + 1, engine);
  RMatrix H(kSamples, kHidden), Y(kSamples, kOutputs);
  Y = 3.0;
  net.ForwardPropagate(wrongX, H, Y);
  EXPECT_FALSE(Y.isOK());
  EXPECT_EQ(Y.getInfo(), -1);
  EXPECT_EQ(Y(0), 3.0);

  RMatrix shortH(kSamples - 1, kHidden), fresh(kSamples, kOutputs);
  net.ForwardPropagate(X, shortH, fresh);
  EXPECT_FALSE(fresh.isOK());

  RMatrix viaExpression = net(wrongX);
  EXPECT_FALSE(viaExpression.isOK());
  EXPECT_EQ(viaExpression.getInfo(), -1);
}

TEST_F(SmallNetwork, DesignMatrixIsOnesBesideTheHiddenValues) {
  RMatrix H(kSamples, kHidden), Y(kSamples, kOutputs), hidden;
  net.ForwardPropagate(X, H, Y);
  mvlarray<double> bias1(kHidden);
  for (int j = 0; j < kHidden; ++j) bias1[j] = weights[kInputs * kHidden + j];
  RMatrix F = MLP::DesignMatrix(net.Weights1(), X, hidden, bias1, kHidden);
  ASSERT_EQ(F.Height(), kSamples);
  ASSERT_EQ(F.Width(), kHidden + 1);
  ASSERT_EQ(hidden.Height(), kSamples);
  ASSERT_EQ(hidden.Width(), kHidden);
  for (int i = 0; i < kSamples; ++i) {
    EXPECT_EQ(F(i, 0), 1.0);
    for (int j = 0; j < kHidden; ++j) {
      EXPECT_NEAR(F(i, j + 1), H(i, j), 4 * kEps) << i << ", " << j;
      EXPECT_EQ(hidden(i, j), F(i, j + 1));
    }
  }
  RMatrix wrongX = randomMatrix(kSamples, kInputs - 1, engine);
  RMatrix G = MLP::DesignMatrix(net.Weights1(), wrongX, hidden, bias1, kHidden);
  EXPECT_FALSE(G.isOK());
  EXPECT_EQ(G.getInfo(), -1);
}

TEST_F(SmallNetwork, BackPropagationIsTheGradientOfHalfTheSquaredError) {
  RMatrix H(kSamples, kHidden), Y(kSamples, kOutputs);
  net.ForwardPropagate(X, H, Y);
  RMatrix D = MSub(Y, T);

  mvlarray<double> full(net.nwts());
  net.BackPropagate(X, H, D, full);
  double scale = 0.0;
  for (int p = 0; p < full.Length(); ++p) scale = std::max(scale, std::fabs(full[p]));
  const double step = 1e-6;
  for (int p = 0; p < net.nwts(); ++p) {
    mvlarray<double> w = weights;
    w[p] = weights[p] + step;
    const double up = halfSquaredError(w);
    w[p] = weights[p] - step;
    const double down = halfSquaredError(w);
    EXPECT_NEAR(full[p], (up - down) / (2 * step), 1e-7 * (1.0 + scale)) << "weight " << p;
  }

  // A hidden-layer array receives the same leading values and nothing more; so does a longer
  // array that still falls short of the whole network (its tail stays untouched).
  const int hiddenCount = net.hiddenWeightCount();
  mvlarray<double> hidden(hiddenCount), between(net.nwts() - 1);
  for (int p = 0; p < between.Length(); ++p) between[p] = -99.0;
  net.BackPropagate(X, H, D, hidden);
  net.BackPropagate(X, H, D, between);
  for (int p = 0; p < hiddenCount; ++p) {
    EXPECT_EQ(hidden[p], full[p]) << p;
    EXPECT_EQ(between[p], full[p]) << p;
  }
  for (int p = hiddenCount; p < between.Length(); ++p) EXPECT_EQ(between[p], -99.0) << p;
}

TEST_F(SmallNetwork, BackPropagationRefusesShortArraysAndMismatchedBlocks) {
  RMatrix H(kSamples, kHidden), Y(kSamples, kOutputs);
  net.ForwardPropagate(X, H, Y);
  RMatrix D = MSub(Y, T);
  mvlarray<double> tooShort(net.hiddenWeightCount() - 1);
  net.BackPropagate(X, H, D, tooShort);
  for (int p = 0; p < tooShort.Length(); ++p) EXPECT_TRUE(std::isnan(tooShort[p])) << p;

  RMatrix shortD(kSamples - 2, kOutputs);
  shortD = 1.0;
  mvlarray<double> g(net.nwts() + 1);
  g[net.nwts()] = 5.0;
  net.BackPropagate(X, H, shortD, g);
  for (int p = 0; p < net.nwts(); ++p) EXPECT_TRUE(std::isnan(g[p])) << p;
  EXPECT_EQ(g[net.nwts()], 5.0);
}

TEST_F(SmallNetwork, JacobianColumnsAreFiniteDifferenceDerivatives) {
  const int rows = kSamples * kOutputs;
  RMatrix full(rows, net.nwts());
  full.markFailed(3);
  net.ComputeJacobian(X, full);
  EXPECT_TRUE(full.isOK());
  for (int p = 0; p < net.nwts(); ++p) {
    const std::vector<double> d = outputDerivative(p);
    for (int r = 0; r < rows; ++r)
      EXPECT_NEAR(full(r, p), d[r], 1e-8 * (1.0 + std::fabs(d[r])))
          << "row " << r << " weight " << p;
  }
  // bias2(k) moves output k of every sample by exactly 1 and nothing else.
  const int firstBias2 = net.nwts() - kOutputs;
  for (int k = 0; k < kOutputs; ++k)
    for (int r = 0; r < rows; ++r)
      EXPECT_EQ(full(r, firstBias2 + k), r / kSamples == k ? 1.0 : 0.0) << r;

  // The hidden-layer form has the same leading columns.
  RMatrix hiddenOnly(rows, net.hiddenWeightCount());
  net.ComputeJacobian(X, hiddenOnly);
  EXPECT_TRUE(hiddenOnly.isOK());
  for (int p = 0; p < net.hiddenWeightCount(); ++p)
    for (int r = 0; r < rows; ++r) EXPECT_EQ(hiddenOnly(r, p), full(r, p));

  // Jacobian-transpose times residual is the back-propagated gradient.
  RMatrix H(kSamples, kHidden), Y(kSamples, kOutputs);
  net.ForwardPropagate(X, H, Y);
  RMatrix D = MSub(Y, T);
  mvlarray<double> g(net.nwts());
  net.BackPropagate(X, H, D, g);
  for (int p = 0; p < net.nwts(); ++p) {
    double jtr = 0.0;
    for (int r = 0; r < rows; ++r) jtr += full(r, p) * D(r);
    EXPECT_NEAR(jtr, g[p], 64 * kEps * (1.0 + std::fabs(g[p]))) << p;
  }
}

TEST_F(SmallNetwork, JacobianOfAnyOtherShapeIsRefusedUntouched) {
  const int rows = kSamples * kOutputs;
  for (auto shape :
       {std::pair<int, int>(rows, net.hiddenWeightCount() + 1),
        std::pair<int, int>(rows, net.nwts() - 1), std::pair<int, int>(rows - 1, net.nwts())}) {
    RMatrix J(shape.first, shape.second);
    J = 8.0;
    net.ComputeJacobian(X, J);
    EXPECT_FALSE(J.isOK());
    EXPECT_EQ(J.getInfo(), -1);
    for (long k = 0; k < static_cast<long>(J.Height()) * J.Width(); ++k) ASSERT_EQ(J(k), 8.0);
  }
}

// Targets that are exactly an affine function of the hidden values: the fit must find it.
class OutputFit : public ::testing::Test {
 protected:
  static constexpr int kInputs = 3, kHidden = 4, kOutputs = 2, kSamples = 60;
  OutputFit() : net(kInputs, kHidden, kOutputs), engine(42) {
    X = randomMatrix(kSamples, kInputs, engine, 3.0);
    truth = randomWeights(net, engine);
    const std::vector<double> t = referenceOutputs(truth, X, kHidden, kOutputs);
    T = RMatrix(kSamples, kOutputs);
    for (int r = 0; r < kSamples * kOutputs; ++r) T(r) = t[r];
    // Same hidden layer, an output layer unrelated to the truth.
    mvlarray<double> start = truth;
    for (int p = net.hiddenWeightCount(); p < net.nwts(); ++p) start[p] = 5.0;
    net.SetWeights(start);
  }

  mvlarray<double> currentWeights() {
    mvlarray<double> w(net.nwts());
    net.GetWeights(w);
    return w;
  }

  MLP net;
  std::mt19937 engine;
  RMatrix X, T;
  mvlarray<double> truth;
};

TEST_F(OutputFit, RecoversAnAffineMapOfTheHiddenValues) {
  RMatrix Y(kSamples, kOutputs);
  Y.markFailed(2);
  net.ComputeOutputWeights(X, T, Y);
  EXPECT_TRUE(Y.isOK());
  const mvlarray<double> fitted = currentWeights();
  for (int p = 0; p < net.nwts(); ++p) EXPECT_NEAR(fitted[p], truth[p], 1e-6) << "weight " << p;
  for (int r = 0; r < kSamples * kOutputs; ++r) EXPECT_NEAR(Y(r), T(r), 1e-9) << r;

  // Y is the output of the refitted network itself.
  RMatrix again(kSamples, kOutputs);
  net.ForwardPropagate(X, again);
  for (int r = 0; r < kSamples * kOutputs; ++r) EXPECT_NEAR(Y(r), again(r), 1e-13) << r;
}

TEST_F(OutputFit, ResidualIsOrthogonalToTheDesignForNoisyTargets) {
  std::normal_distribution<double> noise(0.0, 0.3);
  for (int r = 0; r < kSamples * kOutputs; ++r) T(r) += noise(engine);
  RMatrix Y(1, 1);
  net.ComputeOutputWeights(X, T, Y);
  ASSERT_EQ(Y.Height(), kSamples);
  ASSERT_EQ(Y.Width(), kOutputs);
  // Normal equations: [1 | H]^T (T - Y) = 0 up to the tiny ridge and rounding.
  RMatrix H(kSamples, kHidden), unused(kSamples, kOutputs);
  net.ForwardPropagate(X, H, unused);
  for (int k = 0; k < kOutputs; ++k) {
    double sum = 0.0, scale = 0.0;
    for (int i = 0; i < kSamples; ++i) {
      sum += T(i, k) - Y(i, k);
      scale += std::fabs(T(i, k));
    }
    EXPECT_NEAR(sum, 0.0, 1e-8 * scale);
    for (int j = 0; j < kHidden; ++j) {
      double dot = 0.0;
      for (int i = 0; i < kSamples; ++i) dot += H(i, j) * (T(i, k) - Y(i, k));
      EXPECT_NEAR(dot, 0.0, 1e-8 * scale) << j;
    }
  }
}

TEST_F(OutputFit, AFailedSolveKeepsTheOutputLayerAndSaysSo) {
  const mvlarray<double> before = currentWeights();
  RMatrix unchanged(kSamples, kOutputs);
  net.ForwardPropagate(X, unchanged);

  RMatrix shortT(kSamples - 1, kOutputs), Y(kSamples, kOutputs);
  shortT = 1.0;
  net.ComputeOutputWeights(X, shortT, Y);
  EXPECT_FALSE(Y.isOK());
  EXPECT_EQ(Y.getInfo(), -1);
  mvlarray<double> after = currentWeights();
  for (int p = 0; p < net.nwts(); ++p) EXPECT_EQ(after[p], before[p]) << p;
  for (int r = 0; r < kSamples * kOutputs; ++r) EXPECT_NEAR(Y(r), unchanged(r), 1e-13) << r;

  RMatrix wrongX = randomMatrix(kSamples, kInputs + 2, engine);
  Y = 4.0;
  Y.setOK();
  net.ComputeOutputWeights(wrongX, T, Y);
  EXPECT_FALSE(Y.isOK());
  EXPECT_EQ(Y.getInfo(), -1);
  EXPECT_EQ(Y(0), 4.0);
  after = currentWeights();
  for (int p = 0; p < net.nwts(); ++p) EXPECT_EQ(after[p], before[p]) << p;
}

}  // namespace

// A default network has no weights: the weight vector operations touch nothing (run under the
// address sanitizer, a write of the 1 x 1 working matrices into an empty array is caught).
TEST(MLP, DefaultNetworkHasAnEmptyWeightVector) {
  MLP net;
  ASSERT_EQ(net.nwts(), 0);
  mvlarray<double> none(0);
  net.GetWeights(none);
  net.SetWeights(none);
  EXPECT_THROW(MLP(-1, 2, 1), mvlException);
  EXPECT_THROW(MLP(1 << 20, 1 << 12, 1), mvlException);
}

// Targets of the wrong width are a shape error that leaves the network as it was.
TEST(MLP, OutputFitWithTargetsOfTheWrongWidthChangesNothing) {
  std::mt19937 engine(41);
  MLP net(3, 4, 2);
  mvlarray<double> w = randomWeights(net, engine);
  net.SetWeights(w);
  RMatrix X = randomMatrix(20, 3, engine), T = randomMatrix(20, 3, engine), Y(20, 2);
  net.ComputeOutputWeights(X, T, Y);
  EXPECT_FALSE(Y.isOK());
  EXPECT_EQ(Y.getInfo(), -1);
  EXPECT_EQ(net.Weights2().Size(), mSize(4, 2));
  mvlarray<double> after(net.nwts());
  net.GetWeights(after);
  for (int p = 0; p < net.nwts(); ++p) EXPECT_EQ(after[p], w[p]);
}
