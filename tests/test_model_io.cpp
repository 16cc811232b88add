// Saved models: every parameter comes back bit for bit, predictions are identical after a
// reload, and every kind of damaged record is refused with its line named and the target left
// as it was.
#include <cmath>
#include <cstring>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "orvo/model_io.hpp"

using namespace Orvo;

namespace {

// Weights whose last bits matter: thirds, tiny and huge magnitudes, negative zero.
void fillAwkward(mvlarray<double>& w) {
  for (int k = 0; k < w.Length(); ++k)
    w[k] = (k % 2 ? -1.0 : 1.0) * std::ldexp(1.0 / 3.0 + k, (k % 7) * 150 - 450);
  if (w.Length() > 2) w[2] = -0.0;
}

template <class Net>
mvlarray<double> weightsOf(Net& net) {
  mvlarray<double> w(net.nwts());
  net.GetWeights(w);
  return w;
}

bool sameBits(const mvlarray<double>& a, const mvlarray<double>& b) {
  return a.Length() == b.Length() &&
         std::memcmp(a.Array(), b.Array(), sizeof(double) * a.Length()) == 0;
}

RMatrix inputs(int n, int width) {
  RMatrix X(n, width);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < width; ++j) X(i, j) = std::sin(1.7 * i + 0.3 * j);
  return X;
}

}  // namespace

TEST(ModelRecord, PerceptronRoundTripIsExact) {
  MLP net(3, 5, 2);
  mvlarray<double> w(net.nwts());
  fillAwkward(w);
  net.SetWeights(w);
  std::stringstream record;
  record.precision(3);  // the caller's formatting must not matter
  SaveModel(record, net);
  MLP loaded(1, 1, 1);
  LoadModel(record, loaded);
  EXPECT_EQ(loaded.ninputs(), 3);
  EXPECT_EQ(loaded.nhidden(), 5);
  EXPECT_EQ(loaded.noutputs(), 2);
  EXPECT_TRUE(sameBits(weightsOf(loaded), w));
  EXPECT_EQ(record.precision(), 3);
  // A second save of the loaded model is the same text.
  std::stringstream again;
  SaveModel(again, loaded);
  std::stringstream first;
  SaveModel(first, net);
  EXPECT_EQ(again.str(), first.str());
}

TEST(ModelRecord, TrainedRadialBasisNetworkPredictsIdenticallyAfterReload) {
  RMatrix X = inputs(60, 2), Y(60, 1);
  for (int i = 0; i < 60; ++i) Y(i, 0) = X(i, 0) * X(i, 1) + std::cos(X(i, 0));
  RBF net(2, 12, 1);
  net.Seed(5);
  net.Train(X, Y);
  std::stringstream record;
  SaveModel(record, net);
  RBF loaded(1, 1, 1);
  LoadModel(record, loaded);
  EXPECT_TRUE(sameBits(weightsOf(loaded), weightsOf(net)));
  RMatrix Xq = inputs(25, 2), a, b;
  for (int i = 0; i < 25; ++i) Xq(i, 0) += 0.05;
  net.ForwardPropagate(Xq, a);
  loaded.ForwardPropagate(Xq, b);
  ASSERT_EQ(a.Height(), b.Height());
  EXPECT_EQ(std::memcmp(a.Array(), b.Array(), sizeof(double) * 25), 0);
}

TEST(ModelRecord, TableInterpolatorPredictsIdenticallyAfterReload) {
  const int n = 100;
  RMatrix I(n, 2), X(n, 2), Y(n, 1);
  for (int i = 0; i < n; ++i) {
    const double p = 1.0 + (i % 10), T = 300.0 + 20.0 * (i / 10);
    I(i, 0) = p, I(i, 1) = T;
    X(i, 0) = p / T, X(i, 1) = std::log(p);
    Y(i, 0) = T * std::log(1.0 + p);
  }
  TableInterpolator source(I, X, Y, 20);
  std::stringstream record;
  SaveModel(record, source);

  RMatrix I2 = I, X2 = X, Y2 = Y;
  for (int i = 0; i < n; ++i) Y2(i, 0) = 0.0;  // a different table: the loaded state must win
  TableInterpolator loaded(I2, X2, Y2, 5);
  LoadModel(record, loaded);
  double e1, e2, f1, f2;
  source.GetErrors(e1, e2);
  loaded.GetErrors(f1, f2);
  EXPECT_EQ(e1, f1);
  EXPECT_EQ(e2, f2);
  RMatrix q1(3, 2), q2, out1, out2;
  q1(0, 0) = 2.5, q1(0, 1) = 333.0, q1(1, 0) = 7.2, q1(1, 1) = 410.0, q1(2, 0) = 4.0,
        q1(2, 1) = 350.0;
  q2 = q1;
  source.PredictI(q1, out1);
  loaded.PredictI(q2, out2);
  EXPECT_EQ(std::memcmp(out1.Array(), out2.Array(), sizeof(double) * 6), 0);
  RMatrix x1 = X, x2 = X, y1, y2;
  source.PredictX(x1, y1);
  loaded.PredictX(x2, y2);
  EXPECT_EQ(std::memcmp(y1.Array(), y2.Array(), sizeof(double) * n), 0);
}

TEST(ModelRecord, DamagedRecordsAreRefusedAndLeaveTheTargetUntouched) {
  MLP net(2, 3, 1);
  mvlarray<double> w(net.nwts());
  fillAwkward(w);
  net.SetWeights(w);
  std::stringstream good;
  SaveModel(good, net);
  const std::string text = good.str();
  const auto lineStart = [&](int line) {  // offset of 1-based line `line`
    std::size_t at = 0;
    for (int k = 1; k < line; ++k) at = text.find('\n', at) + 1;
    return at;
  };
  const auto replaceLine = [&](int line, const std::string& with) {
    const std::size_t b = lineStart(line), e = text.find('\n', b);
    return text.substr(0, b) + with + text.substr(e);
  };
  struct Damage {
    std::string record, reason;
  } damages[] = {
      {"", "line 1: the record ends early"},
      {text.substr(0, text.size() / 2), "ends early"},
      {replaceLine(1, "orvo-model 2"), "line 1: format version 2"},
      {replaceLine(1, "something else"), "line 1: not a model record"},
      {replaceLine(2, "kind RBF"), "line 2: the record holds a RBF, not a MLP"},
      {replaceLine(3, "sizes 2 3"), "line 3: 'sizes' takes 3"},
      {replaceLine(3, "sizes 2 -3 1"), "line 3: '-3' is not a positive size"},
      {replaceLine(3, "sizes 2 99999999 99999999"), "line 3: the sizes give more weights"},
      {replaceLine(4, "values 12"), "line 4: 'values' must be 13"},
      {replaceLine(6, "0x1.8p+0junk"), "line 6: '0x1.8p+0junk' is not a number"},
      {replaceLine(6, "nan"), "line 6: 'nan' is not a finite number"},
      {replaceLine(6, "1 2"), "line 6: expected one value per line"},
      {replaceLine(18, "fin"), "line 18: expected 'end'"},
  };
  for (const Damage& d : damages) {
    std::istringstream in(d.record);
    MLP target(1, 1, 1);
    mvlarray<double> before(target.nwts());
    before[0] = 1.5, before[1] = 2.5, before[2] = 3.5, before[3] = 4.5;
    target.SetWeights(before);
    try {
      LoadModel(in, target);
      ADD_FAILURE() << "accepted: " << d.reason;
    } catch (const mvlException& e) {
      EXPECT_NE(std::string(e.what()).find(d.reason), std::string::npos)
          << "message '" << e.what() << "' lacks '" << d.reason << "'";
    }
    EXPECT_EQ(target.nwts(), 4);
    EXPECT_TRUE(sameBits(weightsOf(target), before)) << d.reason;
  }
  // A perceptron record is no radial basis network, and no interpolator.
  std::istringstream asRbf(text);
  RBF rbf(1, 1, 1);
  EXPECT_THROW(LoadModel(asRbf, rbf), mvlException);
}
