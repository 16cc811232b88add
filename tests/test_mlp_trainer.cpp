// Perceptron trainer: stopping rules, best record, seeding, resets and copies, the three callback
// functions against independent references, and training quality on a smooth regression.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "orvo/nnet.hpp"
#include "orvo/random.hpp"

using namespace Orvo;

namespace {

const MLPTrainer::trainerType kAllSolvers[] = {MLPTrainer::lmderChol, MLPTrainer::lmder,
                                               MLPTrainer::vf13};

double frac(double v) {
  return v - std::floor(v);
}

// Samples of y = sin(x1) cos(x2) + x1 x2 / 4 on [-2, 2]^2, spread by two irrational rotations;
// with two outputs the second is x1^2 / 4 - x2 / 2.
struct Regression {
  RMatrix X, Y;
  Regression(int n, int outputs = 1) : X(n, 2), Y(n, outputs) {
    for (int i = 0; i < n; ++i) {
      const double x1 = -2.0 + 4.0 * frac(0.5 + i * 0.6180339887498949);
      const double x2 = -2.0 + 4.0 * frac(0.5 + i * 0.7548776662466927);
      X(i, 0) = x1;
      X(i, 1) = x2;
      Y(i, 0) = std::sin(x1) * std::cos(x2) + x1 * x2 / 4.0;
      if (outputs > 1) Y(i, 1) = x1 * x1 / 4.0 - x2 / 2.0;
    }
  }
};

// The network's outputs computed directly from its weight vector (Weights1 column-major, bias1,
// Weights2 column-major, bias2), with no library arithmetic involved.
RMatrix forward(MLP& net, const RMatrix& X) {
  const int ni = net.ninputs(), nh = net.nhidden(), no = net.noutputs(), n = X.Height();
  mvlarray<double> w(net.nwts());
  net.GetWeights(w);
  const double* w1 = w.Array();
  const double* b1 = w1 + ni * nh;
  const double* w2 = b1 + nh;
  const double* b2 = w2 + nh * no;
  RMatrix out(n, no);
  for (int i = 0; i < n; ++i)
    for (int k = 0; k < no; ++k) {
      double y = b2[k];
      for (int j = 0; j < nh; ++j) {
        double z = b1[j];
        for (int l = 0; l < ni; ++l) z += X(i, l) * w1[l + j * ni];
        y += w2[j + k * nh] / (1.0 + std::exp(-z));
      }
      out(i, k) = y;
    }
  return out;
}

double networkError(MLP& net, const RMatrix& X, const RMatrix& Y) {
  RMatrix out = forward(net, X);
  double e = 0.0;
  for (int i = 0; i < Y.Height(); ++i)
    for (int k = 0; k < Y.Width(); ++k) e += (out(i, k) - Y(i, k)) * (out(i, k) - Y(i, k));
  return e;
}

std::vector<double> hiddenWeights(MLP& net, int count) {
  mvlarray<double> w(net.nwts());
  net.GetWeights(w);
  return std::vector<double>(w.Array(), w.Array() + count);
}

mvlarray<double> pointFrom(std::initializer_list<double> values) {
  mvlarray<double> x(static_cast<int>(values.size()));
  int i = 0;
  for (double v : values) x[i++] = v;
  return x;
}

struct Recorder : FunctorBase_RRretI {
  int answer;
  std::vector<double> errors, changes;
  explicit Recorder(int a) : answer(a) {}
  int operator()(double e, double r) override {
    errors.push_back(e);
    changes.push_back(r);
    return answer;
  }
};

}  // namespace

TEST(MLPTrainer, RejectsUnknownSolverAndStartsDefined) {
  Regression data(10);
  EXPECT_THROW(MLPTrainer(3, data.X, data.Y, static_cast<MLPTrainer::trainerType>(3)),
               std::invalid_argument);
  EXPECT_THROW(MLPTrainer(3, data.X, data.Y, static_cast<MLPTrainer::trainerType>(-1)),
               std::invalid_argument);
  MLPTrainer trainer(3, data.X, data.Y, MLPTrainer::lmder);
  EXPECT_TRUE(std::isnan(trainer.Err()));
  EXPECT_EQ(trainer.Iters(), 0);
  MLP& net = trainer.getMLP();
  EXPECT_EQ(net.ninputs(), 2);
  EXPECT_EQ(net.nhidden(), 3);
  EXPECT_EQ(net.noutputs(), 1);
  for (double w : hiddenWeights(net, net.nwts())) EXPECT_EQ(w, 0.0);
  trainer.restoreBest();  // nothing recorded yet: must not load anything
  EXPECT_TRUE(std::isnan(trainer.Err()));
}

TEST(MLPTrainer, RandomStartIsScaledNormalDrawsOfTheSeed) {
  Regression data(30);
  RMatrix X4(30, 4);
  for (int i = 0; i < 30; ++i)
    for (int l = 0; l < 4; ++l) X4(i, l) = data.X(i, l % 2) * (l + 1);
  // lmder evaluates its starting point first, so the network then holds the random start.
  MLPTrainer trainer(5, X4, data.Y, MLPTrainer::lmder);
  trainer.Seed(4242);
  trainer.Cycle();
  MTRng reference(4242);
  const std::vector<double> start = hiddenWeights(trainer.getMLP(), 5 * 5);
  for (int i = 0; i < 25; ++i) EXPECT_EQ(start[i], reference.nRand() * 0.5) << i;
  EXPECT_DOUBLE_EQ(trainer.Err(), networkError(trainer.getMLP(), X4, data.Y));
}

TEST(MLPTrainer, SameSeedSameSteps) {
  Regression data(40);
  for (auto type : kAllSolvers) {
    MLPTrainer a(4, data.X, data.Y, type), b(4, data.X, data.Y, type);
    a.Seed(11);
    b.Seed(11);
    for (int step = 0; step < 15; ++step) {
      ASSERT_EQ(a.Cycle(), b.Cycle());
      ASSERT_EQ(a.Err(), b.Err()) << "solver " << type << " step " << step;
    }
    EXPECT_EQ(hiddenWeights(a.getMLP(), 13), hiddenWeights(b.getMLP(), 13));
  }
}

TEST(MLPTrainer, ThresholdsAndIterationLimit) {
  Regression data(20);
  {  // an error threshold above the starting error converges at once
    MLPTrainer t(3, data.X, data.Y, MLPTrainer::lmderChol);
    t.Seed(3);
    t.SetStoppingCriteria(1e9, 0.0, 200);
    EXPECT_EQ(t.Cycle(), 0);
  }
  {  // limit 0: the first step already exceeds it
    MLPTrainer t(3, data.X, data.Y, MLPTrainer::lmder);
    t.Seed(3);
    t.SetStoppingCriteria(0.0, 0.0, 0);
    EXPECT_EQ(t.Cycle(), -1);
    EXPECT_EQ(t.Iters(), 1);
  }
  {  // default limit 200: steps 1-200 go on, 201 and later report the limit
    MLPTrainer t(3, data.X, data.Y, MLPTrainer::lmderChol);
    t.Seed(3);
    t.SetStoppingCriteria(0.0, 0.0, MLPTrainer::kDefaultIterationLimit);
    for (int step = 1; step <= 200; ++step) ASSERT_EQ(t.Cycle(), 1) << step;
    EXPECT_EQ(t.Cycle(), -1);
    EXPECT_EQ(t.Cycle(), -1);
    EXPECT_EQ(t.Iters(), 202);
  }
}

TEST(MLPTrainer, SolveReportsEveryStepAndObeysTheCallback) {
  Regression data(20);
  MLPTrainer once(3, data.X, data.Y, MLPTrainer::lmder);
  once.Seed(5);
  Recorder stop(0);
  EXPECT_EQ(once.Solve(stop), -2);
  EXPECT_EQ(once.Iters(), 1);
  ASSERT_EQ(stop.errors.size(), 1u);
  EXPECT_EQ(stop.changes[0], 0.0);  // no previous error on the first step

  for (auto type : kAllSolvers) {
    MLPTrainer t(3, data.X, data.Y, type);
    t.Seed(5);
    t.SetStoppingCriteria(0.0, 1e-3, 30);
    Recorder go(1);
    const int status = t.Solve(go);
    EXPECT_TRUE(status == 0 || status == -1) << status;
    ASSERT_EQ(static_cast<int>(go.errors.size()), t.Iters());
    for (size_t s = 1; s < go.errors.size(); ++s) {
      const double previous = go.errors[s - 1];
      EXPECT_DOUBLE_EQ(go.changes[s], std::fabs((previous - go.errors[s]) / previous));
    }
    // A second Solve restarts the count.
    Recorder stopAgain(0);
    EXPECT_EQ(t.Solve(stopAgain), -2);
    EXPECT_EQ(t.Iters(), 1);
  }
}

TEST(MLPTrainer, ResidualsAreColumnOrderedAndLeastSquaresOptimal) {
  Regression data(4, 2);
  MLPTrainer t(2, data.X, data.Y, MLPTrainer::lmder);
  mvlarray<double> x = pointFrom({0.3, -0.7, 0.5, 0.2, 0.1, -0.4});
  mvlarray<double> f(8);
  t.ComputeRHS(x, f);
  MLP& net = t.getMLP();
  EXPECT_EQ(hiddenWeights(net, 6), std::vector<double>(x.Array(), x.Array() + 6));
  RMatrix out = forward(net, data.X);
  double sum = 0.0;
  for (int k = 0; k < 2; ++k)
    for (int i = 0; i < 4; ++i) {
      EXPECT_NEAR(f[k * 4 + i], out(i, k) - data.Y(i, k), 1e-12) << i << "," << k;
      sum += f[k * 4 + i] * f[k * 4 + i];
    }
  EXPECT_NEAR(t.Err(), sum, 1e-14 * (1 + sum));
  // The refitted output layer solves the least-squares problem: the residuals of each output are
  // orthogonal to the constant column and to every hidden column.
  for (int k = 0; k < 2; ++k) {
    double ones = 0.0;
    for (int i = 0; i < 4; ++i) ones += f[k * 4 + i];
    EXPECT_NEAR(ones, 0.0, 1e-8);
    for (int j = 0; j < 2; ++j) {
      double dot = 0.0;
      for (int i = 0; i < 4; ++i) {
        const double z = x[4 + j] + data.X(i, 0) * x[2 * j] + data.X(i, 1) * x[2 * j + 1];
        dot += f[k * 4 + i] / (1.0 + std::exp(-z));
      }
      EXPECT_NEAR(dot, 0.0, 1e-8);
    }
  }
}

TEST(MLPTrainer, GradientIsJacobianTransposeResidualAndMatchesDifferences) {
  Regression data(25, 2);
  MLPTrainer t(3, data.X, data.Y, MLPTrainer::vf13);
  const int n = 9, m = 50;
  mvlarray<double> x = pointFrom({0.8, -0.3, 0.4, 1.1, -0.6, 0.2, 0.1, -0.5, 0.3});
  mvlarray<double> f(m), g(n);
  RMatrix J(m, n);

  // The Jacobian is asked at a point other than that of the last residual evaluation: it must
  // still be the Jacobian at the point asked for.
  mvlarray<double> elsewhere = pointFrom({-1, 1, -1, 1, -1, 1, -1, 1, -1});
  t.ComputeRHS(elsewhere, f);
  t.ComputeJacobian(x, J);
  t.ComputeRHS(x, f);
  const double errRhs = t.Err();
  // Same error up to rounding (the gradient's forward pass takes another exponential path).
  EXPECT_NEAR(t.ComputeGradient(x, g), errRhs, 1e-13 * errRhs);

  double scale = 0.0;
  for (int p = 0; p < n; ++p) scale = std::max(scale, std::fabs(g[p]));
  for (int p = 0; p < n; ++p) {
    double jtf = 0.0;
    for (int r = 0; r < m; ++r) jtf += J(r, p) * f[r];
    EXPECT_NEAR(g[p], jtf, 1e-12 * (1 + scale)) << p;
  }
  // g is the gradient of E/2 also with the output layer refitted at every point.
  for (int p = 0; p < n; ++p) {
    const double h = 1e-6;
    mvlarray<double> xp(x), xm(x);
    xp[p] += h;
    xm[p] -= h;
    t.ComputeRHS(xp, f);
    const double ep = t.Err();
    t.ComputeRHS(xm, f);
    const double em = t.Err();
    EXPECT_NEAR(g[p], (ep - em) / (4 * h), 1e-6 * (1 + scale)) << p;
  }
}

TEST(MLPTrainer, BestRecordAndRestoreBest) {
  Regression data(30);
  for (auto type : {MLPTrainer::lmderChol, MLPTrainer::lmder}) {
    MLPTrainer t(4, data.X, data.Y, type);
    t.Seed(21);
    t.SetStoppingCriteria(0.0, 0.0, 1000);
    double best = std::numeric_limits<double>::infinity();
    bool rose = false;
    for (int step = 0; step < 200 && !rose; ++step) {
      ASSERT_EQ(t.Cycle(), 1);
      rose = t.Err() > best;  // a rejected trial point
      best = std::min(best, t.Err());
    }
    ASSERT_TRUE(rose) << "no rejected trial step for solver " << type;
    const double risen = t.Err();
    t.restoreBest();
    EXPECT_EQ(t.Err(), best);
    EXPECT_NEAR(networkError(t.getMLP(), data.X, data.Y), best, 1e-10 * (1 + best));
    EXPECT_LT(t.Err(), risen);
    // Nothing better exists: a second call changes nothing.
    const std::vector<double> weights = hiddenWeights(t.getMLP(), 16);
    t.restoreBest();
    EXPECT_EQ(t.Err(), best);
    EXPECT_EQ(hiddenWeights(t.getMLP(), 16), weights);
    // Training continues correctly from the restored network (the next Jacobian is taken at the
    // solver's point, not at the restored weights): the error keeps falling.
    for (int step = 0; step < 20; ++step) t.Cycle();
    t.restoreBest();
    EXPECT_LE(t.Err(), best);
  }
}

TEST(MLPTrainer, ConvergedStepNeverLeavesAWorseNetwork) {
  // With a huge relative threshold any decrease converges, also a decrease from a rejected trial
  // point that is still above the best one: the step must then put the best weights back.
  Regression data(30);
  int restored = 0;
  for (int s = 1; s <= 40; ++s) {
    MLPTrainer t(4, data.X, data.Y, MLPTrainer::lmderChol);
    t.Seed(s);
    t.SetStoppingCriteria(0.0, 1e300, 1000);
    double best = std::numeric_limits<double>::infinity(), last = best;
    int status = 1;
    for (int step = 0; step < 100 && status == 1; ++step) {
      status = t.Cycle();
      if (status == 1) {
        best = std::min(best, t.Err());
        last = t.Err();
      }
    }
    ASSERT_EQ(status, 0);
    EXPECT_LE(t.Err(), best);
    EXPECT_NEAR(networkError(t.getMLP(), data.X, data.Y), t.Err(), 1e-10 * (1 + t.Err()));
    if (t.Err() == best && best < last) ++restored;
  }
  EXPECT_GT(restored, 0) << "the restoring path was never exercised";
}

TEST(MLPTrainer, SeedAndResetKeepTheStart) {
  Regression data(30);
  {  // lmderChol never writes back: after Reset it starts again from the first random point
    MLPTrainer t(4, data.X, data.Y, MLPTrainer::lmderChol);
    t.Seed(7);
    t.Cycle();
    const double first = t.Err();
    for (int step = 0; step < 10; ++step) t.Cycle();
    t.Seed(8);  // too late: ignored
    t.Reset();
    EXPECT_EQ(t.Iters(), 0);
    t.Cycle();
    EXPECT_EQ(t.Err(), first);
  }
  {  // lmder carries on from the last point it accepted, one of the points evaluated so far
    MLPTrainer t(4, data.X, data.Y, MLPTrainer::lmder);
    t.Seed(7);
    std::vector<double> seen;
    for (int step = 0; step < 12; ++step) {
      t.Cycle();
      seen.push_back(t.Err());
    }
    t.Seed(8);
    t.Reset();
    t.Cycle();
    EXPECT_NE(std::find(seen.begin(), seen.end(), t.Err()), seen.end());
    EXPECT_LT(t.Err(), seen.front());
  }
}

TEST(MLPTrainer, CopiesTrainIndependently) {
  Regression data(30);
  MLPTrainer source(4, data.X, data.Y, MLPTrainer::lmder);
  source.Seed(9);
  MLPTrainer fresh(source);  // random start still pending in both: same start
  source.Cycle();
  fresh.Cycle();
  EXPECT_EQ(fresh.Err(), source.Err());

  for (int step = 0; step < 5; ++step) source.Cycle();
  const double sourceErr = source.Err();
  const std::vector<double> sourceWeights = hiddenWeights(source.getMLP(), 16);
  MLPTrainer copy(source);
  EXPECT_EQ(copy.Iters(), 0);
  EXPECT_EQ(copy.Err(), sourceErr);
  for (int step = 0; step < 5; ++step) copy.Cycle();
  EXPECT_NE(copy.Err(), sourceErr);
  EXPECT_EQ(source.Err(), sourceErr);
  EXPECT_EQ(hiddenWeights(source.getMLP(), 16), sourceWeights);
  // And the source still steps on its own solver after the copy went its way.
  MLPTrainer twin(4, data.X, data.Y, MLPTrainer::lmder);
  twin.Seed(9);
  for (int step = 0; step < 7; ++step) twin.Cycle();
  source.Cycle();
  EXPECT_EQ(source.Err(), twin.Err());
}

TEST(MLPTrainer, StepWithoutPossibleEvaluationDoesNotSpin) {
  // 3 residuals, 8 hidden-layer weights: the trust-region solver cannot run such a problem.
  Regression data(3);
  RMatrix X1(3, 1);
  for (int i = 0; i < 3; ++i) X1(i, 0) = data.X(i, 0);
  MLPTrainer t(4, X1, data.Y, MLPTrainer::lmder);
  t.Seed(1);
  EXPECT_EQ(t.Cycle(), -1);
  EXPECT_EQ(t.Iters(), 0);
  Recorder go(1);
  EXPECT_EQ(t.Solve(go), -1);
  // The normal-equation solver damps the singular system and trains it.
  MLPTrainer chol(4, X1, data.Y, MLPTrainer::lmderChol);
  chol.Seed(1);
  EXPECT_GE(chol.Cycle(), 0);  // converged (an exact fit) or going on
  EXPECT_TRUE(std::isfinite(chol.Err()));

  // A target that is not a number poisons every evaluation: each solver must still end with the
  // iteration limit rather than hang, and nothing counts as converged.
  Regression bad(30);
  bad.Y(7, 0) = std::numeric_limits<double>::quiet_NaN();
  for (auto type : kAllSolvers) {
    MLPTrainer poisoned(3, bad.X, bad.Y, type);
    poisoned.Seed(1);
    poisoned.SetStoppingCriteria(1.0, 1e-5, 20);
    int status = 1, steps = 0;
    while (status == 1 && steps < 30) {
      status = poisoned.Cycle();
      ++steps;
    }
    EXPECT_EQ(status, -1) << "solver " << type;
    EXPECT_LE(steps, 21) << "solver " << type;
  }
}

TEST(MLPTrainer, EachSolverFitsASmoothSurface) {
  Regression data(200);
  for (auto type : kAllSolvers) {
    MLPTrainer t(8, data.X, data.Y, type);
    t.Seed(2024);
    t.Cycle();
    const double start = t.Err();
    int status = 1;
    while (status == 1) status = t.Cycle();
    t.restoreBest();
    EXPECT_LE(t.Err(), start / 100) << "solver " << type << " status " << status;
    EXPECT_NEAR(networkError(t.getMLP(), data.X, data.Y), t.Err(), 1e-9 * (1 + t.Err()));
  }
}

// X and Y with different row counts: no step is taken for any solver, no residual is read past
// Y, and the callbacks report NaN rather than numbers from beyond the targets.
TEST(MLPTrainer, SampleCountsThatDisagreeAreAShapeError) {
  Regression data(100);
  RMatrix shortY(90, 1);
  for (int i = 0; i < 90; ++i) shortY(i, 0) = data.Y(i, 0);
  for (const auto type : {MLPTrainer::lmderChol, MLPTrainer::lmder, MLPTrainer::vf13}) {
    MLPTrainer trainer(3, data.X, shortY, type);
    trainer.Seed(5);
    EXPECT_EQ(trainer.Cycle(), -1);
    Recorder progress(1);
    EXPECT_EQ(trainer.Solve(progress), -1);
    EXPECT_EQ(trainer.Iters(), 0);
    mvlarray<double> x(3 * 3), f(100);
    for (int i = 0; i < x.Length(); ++i) x[i] = 0.1 * i;
    trainer.ComputeRHS(x, f);
    EXPECT_TRUE(std::isnan(f[0]));
    EXPECT_TRUE(std::isnan(trainer.Err()));
  }
}
