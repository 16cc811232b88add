// Hostile input to the networks, the trainer and the grid interpolator: default and one-unit
// networks, non-conforming blocks, non-finite data, and callbacks that throw.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "orvo/interp.hpp"
#include "orvo/nnet.hpp"
#include "robustness_support.hpp"

using namespace Orvo;
using namespace robustness;

TEST(RobustNetworks, DefaultOneUnitAndOverflowingNetworks) {
  StorageBalance balance;
  MLP empty;
  mvlarray<double> none(0);
  empty.GetWeights(none);
  empty.SetWeights(none);
  EXPECT_THROW(MLP(1 << 16, 1 << 16, 1), mvlException);
  EXPECT_THROW(MLP(1, -1, 1), mvlException);
  MLP tiny(1, 1, 1);
  mvlarray<double> w = filledArray(tiny.nwts(), 0.5);
  tiny.SetWeights(w);
  RMatrix X = filledMatrix(1, 1, 0.0), Y(1, 1);
  tiny.ForwardPropagate(X, Y);
  ASSERT_TRUE(Y.isOK());
  EXPECT_DOUBLE_EQ(Y(0, 0), 0.5 / (1.0 + std::exp(-0.5)) + 0.5);  // 0.5 s(0 * 0.5 + 0.5) + 0.5
}

TEST(RobustNetworks, NonConformingBlocksChangeNothing) {
  StorageBalance balance;
  MLP net(2, 3, 1);
  mvlarray<double> w = filledArray(net.nwts(), 0.1);
  net.SetWeights(w);
  RMatrix X = filledMatrix(5, 3, 1.0), Y(5, 1), T = filledMatrix(5, 2, 1.0);
  net.ForwardPropagate(X, Y);
  EXPECT_FALSE(Y.isOK());
  RMatrix X2 = filledMatrix(5, 2, 1.0);
  net.ComputeOutputWeights(X2, T, Y);
  EXPECT_EQ(Y.getInfo(), -1);
  mvlarray<double> after(net.nwts());
  net.GetWeights(after);
  for (int p = 0; p < net.nwts(); ++p) EXPECT_EQ(after[p], 0.1);
  RMatrix J(3, net.nwts());
  net.ComputeJacobian(X2, J);
  EXPECT_FALSE(J.isOK());
}

TEST(RobustTrainer, MismatchedSamplesAndNonFiniteTargets) {
  StorageBalance balance;
  RMatrix X = filledMatrix(10, 2, 0.5), Y = filledMatrix(9, 1, 1.0);
  for (const auto type : {MLPTrainer::lmderChol, MLPTrainer::lmder, MLPTrainer::vf13}) {
    MLPTrainer trainer(2, X, Y, type);
    EXPECT_EQ(trainer.Cycle(), -1);
  }
  RMatrix Y2 = filledMatrix(10, 1, 1.0);
  Y2(3, 0) = kNaN;
  for (const auto type : {MLPTrainer::lmderChol, MLPTrainer::lmder, MLPTrainer::vf13}) {
    MLPTrainer trainer(2, X, Y2, type);
    trainer.Seed(3);
    int status = 1;
    for (int step = 0; step < 30 && status == 1; ++step) status = trainer.Cycle();
    EXPECT_NE(status, 0) << "a NaN target never converges";  // -1 or still going
  }
}

namespace {
struct Surface : FunctorBase_pTableInterpolator {
  int calls = 0, throwAt = -1;
  double operator()(double x, double y) override {
    if (++calls == throwAt) throw CallbackFailure();
    return x + 2.0 * y;
  }
};
}  // namespace

TEST(RobustGridInterpolator, QueriesOutsideEmptyAndNonFinite) {
  Surface f;
  pTableInterpolator table(f);
  EXPECT_EQ(table.Interpolate(0.0, 0.0), pTableInterpolator::OutOfRange);
  std::ostringstream empty;
  table.Write2Stream(empty);
  EXPECT_NE(empty.str().find("0 x 0"), std::string::npos);
  table.Initialize(0.0, 1.0, 3, 0.0, 1.0, 1);  // one y value: no interval on that axis
  EXPECT_EQ(table.Interpolate(0.5, 0.0), pTableInterpolator::OutOfRange);
  table.AddYvar(1.0);
  EXPECT_DOUBLE_EQ(table.Interpolate(0.5, 0.5), 1.5);
  EXPECT_EQ(table.Interpolate(kNaN, 0.5), pTableInterpolator::OutOfRange);
  EXPECT_EQ(table.Interpolate(0.5, kInf), pTableInterpolator::OutOfRange);
  EXPECT_EQ(table.Interpolate(-1.0, 0.5), pTableInterpolator::OutOfRange);
}

TEST(RobustGridInterpolator, ACallbackThatThrowsLeavesTheTableAsItWas) {
  Surface f;
  pTableInterpolator table(f);
  table.Initialize(0.0, 1.0, 2, 0.0, 1.0, 2);
  f.throwAt = f.calls + 3;
  EXPECT_THROW(table.Initialize(0.0, 0.5, 5, 0.0, 0.5, 5), CallbackFailure);
  EXPECT_EQ(table.nX(), 2);
  EXPECT_EQ(table.nY(), 2);
  EXPECT_DOUBLE_EQ(table.Interpolate(0.5, 0.5), 1.5);
  pTableInterpolator copy(table);
  EXPECT_DOUBLE_EQ(copy.Interpolate(1.0, 1.0), 3.0);
}
