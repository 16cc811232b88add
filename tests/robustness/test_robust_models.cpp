// Hostile input to the networks, the trainer and the grid interpolator: default and one-unit
// networks, non-conforming blocks, non-finite data, and callbacks that throw; the radial basis
// networks, the table interpolator and the saved-model records likewise.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <sstream>
#include <string>

#include "orvo/interp.hpp"
#include "orvo/model_io.hpp"
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

// --- radial basis networks, the table interpolator and saved models ----------------------------

namespace {
// n samples of the line x -> (x, 2x) in d = 1, targets sin x.
void lineSamples(int n, RMatrix& X, RMatrix& T) {
  X.Resize(n, 1);
  T.Resize(n, 1);
  for (int i = 0; i < n; ++i) {
    X(i, 0) = 0.1 * i;
    T(i, 0) = std::sin(0.1 * i);
  }
}
}  // namespace

TEST(RobustRBF, EmptyOneSampleAndNonConformingTrainingChangeNothing) {
  StorageBalance balance;
  RBF net(1, 3, 1);
  RMatrix X, T;
  lineSamples(8, X, T);
  ASSERT_LT(net.Train(X, T), 1.0);
  mvlarray<double> before(net.nwts());
  net.GetWeights(before);
  RMatrix none(0, 1), noTargets(0, 1), shortT = filledMatrix(7, 1, 0.0),
                                       wideX = filledMatrix(8, 0, 0.0);
  EXPECT_TRUE(std::isnan(net.Train(none, noTargets)));
  EXPECT_TRUE(std::isnan(net.Train(X, shortT)));
  EXPECT_TRUE(std::isnan(net.Train(X, shortT, 4)));
  EXPECT_TRUE(std::isnan(net.Train(wideX, T)));
  ASSERT_EQ(net.nwts(), before.Length());
  mvlarray<double> after(net.nwts());
  net.GetWeights(after);
  for (int p = 0; p < after.Length(); ++p) EXPECT_EQ(after[p], before[p]);
  // One sample: one centre with the no-neighbour width, the fit exact at the sample.
  RBF single(1, 3, 1);
  RMatrix X1 = filledMatrix(1, 1, 0.5), T1 = filledMatrix(1, 1, 2.0), Y1;
  EXPECT_LT(single.Train(X1, T1), 1e-8);
  EXPECT_EQ(single.nhidden(), 1);
  single.ForwardPropagate(X1, Y1);
  ASSERT_TRUE(Y1.isOK());
  EXPECT_NEAR(Y1(0, 0), 2.0, 1e-8);
}

TEST(RobustRBF, NonFiniteSamplesNeverTrainSilently) {
  StorageBalance balance;
  for (const double bad : {kNaN, kInf, -kInf}) {
    for (const bool inInputs : {true, false}) {
      RBF net(1, 3, 1);
      RMatrix X, T;
      lineSamples(8, X, T);
      (inInputs ? X : T)(3, 0) = bad;
      const double error = net.Train(X, T);
      EXPECT_FALSE(std::isfinite(error)) << bad << " " << inInputs;
    }
  }
}

TEST(RobustRBF, PropagatingIntoItsOwnInputIsRefused) {
  StorageBalance balance;
  RBF net(1, 3, 1);
  RMatrix X, T;
  lineSamples(8, X, T);
  net.Train(X, T);
  RMatrix copy(X);
  net.ForwardPropagate(X, X);
  EXPECT_FALSE(X.isOK());
  for (int i = 0; i < 8; ++i) EXPECT_EQ(X(i, 0), copy(i, 0));
  RMatrix wrongWidth = filledMatrix(3, 2, 0.0), Y;
  net.ForwardPropagate(wrongWidth, Y);
  EXPECT_EQ(Y.getInfo(), -1);
}

TEST(RobustTableInterpolator, NonConformingTablesTrainNothing) {
  StorageBalance balance;
  RMatrix I = filledMatrix(6, 3, 1.0), X = filledMatrix(6, 1, 1.0), Y = filledMatrix(6, 1, 1.0);
  TableInterpolator threeColumns(I, X, Y, 2);
  double e1 = 0, e2 = 0;
  threeColumns.GetErrors(e1, e2);
  EXPECT_TRUE(std::isnan(e1) && std::isnan(e2));
  EXPECT_EQ(I(0, 0), 1.0);  // not standardised
  RMatrix I2 = filledMatrix(2, 2, 0.0), out;
  threeColumns.PredictI(I2, out);
  EXPECT_EQ(out.getInfo(), -1);
  EXPECT_EQ(I2(0, 0), 0.0);
  RMatrix Ishort = filledMatrix(5, 2, 1.0);
  TableInterpolator shortTable(Ishort, X, Y, 2);
  shortTable.GetErrors(e1, e2);
  EXPECT_TRUE(std::isnan(e1));
  RMatrix Iempty(0, 2), Xempty(0, 1), Yempty(0, 1);
  TableInterpolator empty(Iempty, Xempty, Yempty, 2);
  empty.GetErrors(e1, e2);
  EXPECT_TRUE(std::isnan(e2));
  // A saved untrained interpolator is a record of its NaN errors: loading it is refused.
  std::stringstream record;
  SaveModel(record, empty);
  TableInterpolator other(I, X, Y, 2);
  EXPECT_THROW(LoadModel(record, other), mvlException);
}

TEST(RobustTableInterpolator, NonFiniteTablesAndAliasedPredictions) {
  StorageBalance balance;
  constexpr int n = 12;
  auto table = [](RMatrix& I, RMatrix& X, RMatrix& Y) {
    I.Resize(n, 2);
    X.Resize(n, 1);
    Y.Resize(n, 1);
    for (int i = 0; i < n; ++i) {
      I(i, 0) = i % 4;
      I(i, 1) = i / 4;
      X(i, 0) = I(i, 0) + 2.0 * I(i, 1);
      Y(i, 0) = 0.5 * X(i, 0);
    }
  };
  for (const double bad : {kNaN, kInf}) {
    RMatrix I, X, Y;
    table(I, X, Y);
    I(2, 1) = bad;
    TableInterpolator poisoned(I, X, Y, 4);
    double e1 = 0, e2 = 0;
    poisoned.GetErrors(e1, e2);
    EXPECT_FALSE(std::isfinite(e1)) << bad;
  }
  RMatrix I, X, Y;
  table(I, X, Y);
  TableInterpolator interpolator(I, X, Y, n);
  // Predictions into their own input are refused and leave the input as it was.
  RMatrix X2 = filledMatrix(3, 1, 1.0);
  interpolator.PredictX(X2, X2);
  EXPECT_FALSE(X2.isOK());
  RMatrix I2 = filledMatrix(3, 2, 1.0);
  interpolator.PredictI(I2, I2);
  EXPECT_FALSE(I2.isOK());
  // A NaN query gives NaN, not a number that looks like an estimate.
  RMatrix I3 = filledMatrix(1, 2, 1.0), out;
  I3(0, 0) = kNaN;
  interpolator.PredictI(I3, out);
  EXPECT_TRUE(std::isnan(out(0, 0)));
}

TEST(RobustModelRecords, CorruptTruncatedAndOverflowingRecordsLeaveTheTargetUntouched) {
  StorageBalance balance;
  RBF net(1, 3, 1);
  RMatrix X, T;
  lineSamples(8, X, T);
  net.Train(X, T);
  std::stringstream saved;
  SaveModel(saved, net);
  const std::string good = saved.str();
  mvlarray<double> before(net.nwts());
  net.GetWeights(before);
  const std::string bad[] = {
      "",
      good.substr(0, good.size() / 2),
      "orvo-model 2\n" + good.substr(good.find('\n') + 1),
      "orvo-model 1\nkind MLP\n" + good.substr(good.find("sizes")),
      "orvo-model 1\nkind RBF\nsizes 65536 65536 65536\nvalues 1\n0x0p+0\nend\n",
      "orvo-model 1\nkind RBF\nsizes -1 3 1\nvalues 0\nend\n",
      "orvo-model 1\nkind RBF\nsizes 1 1 1\nvalues 5\nnan\nnan\nnan\nnan\nnan\nend\n",
      "orvo-model 1\nkind RBF\nsizes 1 1 1\nvalues 5\ninf\n1\n1\n1\n1\nend\n",
  };
  for (const std::string& text : bad) {
    std::istringstream in(text);
    EXPECT_THROW(LoadModel(in, net), mvlException) << text;
    ASSERT_EQ(net.nwts(), before.Length());
    mvlarray<double> after(net.nwts());
    net.GetWeights(after);
    for (int p = 0; p < after.Length(); ++p) EXPECT_EQ(after[p], before[p]);
  }
  // The record of a default (zero-sized) network has sizes that are not positive: refused too.
  MLP empty;
  std::stringstream emptyRecord;
  SaveModel(emptyRecord, empty);
  MLP target(2, 2, 1);
  EXPECT_THROW(LoadModel(emptyRecord, target), mvlException);
  EXPECT_EQ(target.nwts(), 9);
}

TEST(RobustRBF, SizesWhoseProductsOverflowAreRefused) {
  StorageBalance balance;
  EXPECT_THROW(RBF(1 << 16, 1 << 16, 1), mvlException);
  EXPECT_THROW(RBF(1, 1 << 16, 1 << 16), mvlException);
  EXPECT_THROW(RBF(1, -1, 1), mvlException);
  EXPECT_THROW(RBF(-1, 1, 1), mvlException);
  EXPECT_THROW(RBF(40000, 40000, 40000), mvlException);  // every block fits, nwts() does not
  RMatrix I = filledMatrix(6, 2, 1.0), X = filledMatrix(6, 1, 1.0), Y = filledMatrix(6, 1, 1.0);
  EXPECT_THROW(TableInterpolator(I, X, Y, INT_MAX), mvlException);
  EXPECT_EQ(I(0, 0), 1.0);
  for (const int centres : {0, -1}) {
    TableInterpolator none(I, X, Y, centres);
    double e1 = 0, e2 = 0;
    none.GetErrors(e1, e2);
    EXPECT_TRUE(std::isnan(e1) && std::isnan(e2)) << centres;
  }
}

namespace {
// A surface that is not finite on the line x = 1.
struct PoleSurface : FunctorBase_pTableInterpolator {
  double value = kNaN;
  double operator()(double x, double y) override { return x == 1.0 ? value : x + y; }
};
}  // namespace

TEST(RobustGridInterpolator, NonFiniteTabulatedValuesAreNotInterpolatedAway) {
  for (const double bad : {kNaN, kInf}) {
    PoleSurface f;
    f.value = bad;
    pTableInterpolator table(f);
    table.Initialize(0.0, 1.0, 4, 0.0, 1.0, 2);
    EXPECT_FALSE(std::isfinite(table.Interpolate(0.5, 0.5)));
    EXPECT_FALSE(std::isfinite(table.Interpolate(1.5, 0.5)));
    EXPECT_DOUBLE_EQ(table.Interpolate(2.5, 0.5), 3.0);  // a cell clear of x = 1
  }
}
