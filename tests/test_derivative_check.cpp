// Derivative checkers: correct analytic derivatives pass on the Moré-Garbow-Hillstrom set at
// their starts and at scaled starts; a single wrong entry is found and named; badly scaled
// variables and exact zeros raise no false alarm; the sparse form finds entries missing from
// the pattern; x comes back bit for bit, also when a callback throws.
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "mgh_problems.hpp"
#include "orvo/derivative_check.hpp"
#include "orvo/matrix.hpp"

using namespace Orvo;

namespace {

// An MGH problem behind the residual/Jacobian callbacks; optionally one Jacobian entry is
// corrupted by a relative amount.
struct MghCallbacks : FunctorBase_AA, FunctorBase_AM {
  const mgh::Problem& problem;
  int badRow = -1, badColumn = -1;
  double badFactor = 1.0;
  explicit MghCallbacks(const mgh::Problem& p) : problem(p) {}
  void operator()(mvlarray<double>& x, mvlarray<double>& f) override {
    problem.residuals(problem.m, problem.n, x.Array(), f.Array());
  }
  void operator()(mvlarray<double>& x, RMatrix& J) override {
    problem.jacobian(problem.m, problem.n, x.Array(), J.Array());
    if (badRow >= 0) J(badRow, badColumn) *= badFactor;
  }
};

mvlarray<double> point(const std::vector<double>& values, double factor = 1.0) {
  mvlarray<double> x(static_cast<int>(values.size()));
  for (int j = 0; j < x.Length(); ++j) x[j] = factor * values[j];
  return x;
}

}  // namespace

TEST(CheckJacobian, AnalyticJacobiansOfTheMghSetPass) {
  const int bytesBefore = OrvomemUsed();
  for (const mgh::Problem& problem : mgh::all()) {
    for (double factor : problem.startFactors) {
      MghCallbacks callbacks(problem);
      mvlarray<double> x = point(problem.start, factor);
      const std::vector<double> before(x.Array(), x.Array() + x.Length());
      const DerivativeCheckReport report = CheckJacobian(callbacks, callbacks, x, problem.m);
      EXPECT_TRUE(report.passed) << problem.name << " x" << factor << ": worst "
                                 << report.worstRelativeError;
      EXPECT_EQ(report.entriesChecked, problem.m * problem.n);
      EXPECT_EQ(report.functionEvaluations, 2 * problem.n);
      EXPECT_EQ(std::memcmp(before.data(), x.Array(), before.size() * sizeof(double)), 0)
          << problem.name << ": x not restored";
    }
  }
  EXPECT_EQ(OrvomemUsed(), bytesBefore);
}

TEST(CheckJacobian, OneWrongEntryIsFoundAndNamed) {
  for (const mgh::Problem& problem : mgh::all()) {
    MghCallbacks callbacks(problem);
    mvlarray<double> x = point(problem.start);
    // Corrupt the largest entry of the last column by one per cent: clearly wrong, not huge.
    RMatrix J(problem.m, problem.n);
    problem.jacobian(problem.m, problem.n, x.Array(), J.Array());
    int row = 0;
    for (int i = 1; i < problem.m; ++i)
      if (std::fabs(J(i, problem.n - 1)) > std::fabs(J(row, problem.n - 1))) row = i;
    if (J(row, problem.n - 1) == 0.0) continue;
    callbacks.badRow = row, callbacks.badColumn = problem.n - 1, callbacks.badFactor = 1.01;
    const DerivativeCheckReport report = CheckJacobian(callbacks, callbacks, x, problem.m);
    EXPECT_FALSE(report.passed) << problem.name;
    EXPECT_EQ(report.entriesFailed, 1) << problem.name;
    ASSERT_FALSE(report.worst.empty());
    EXPECT_EQ(report.worst[0].row, row) << problem.name;
    EXPECT_EQ(report.worst[0].column, problem.n - 1) << problem.name;
    EXPECT_FALSE(report.worst[0].passed);
    // At most the plain relative error 0.01 / 1.01; less only by the rounding allowance.
    EXPECT_LE(report.worst[0].relativeError, 0.01 / 1.01 * (1 + 1e-9)) << problem.name;
    EXPECT_GT(report.worst[0].relativeError, 1e-3) << problem.name;
  }
}

namespace {

// f(x) = sum_j (x_j / s_j)^2 + x_0 x_1 / (s_0 s_1) with scales from 1e-8 to 1e8, at a point of
// the same scales: each gradient component is of order 1 / s_j.
struct ScaledObjective : FunctorBase_AAretR {
  std::vector<double> scales{1e-8, 1e-3, 1.0, 1e4, 1e8};
  int wrongComponent = -1;
  double operator()(mvlarray<double>& x, mvlarray<double>& g) override {
    double f = 0.0;
    for (std::size_t j = 0; j < scales.size(); ++j) {
      const double u = x[j] / scales[j];
      f += u * u;
      g[j] = 2.0 * u / scales[j];
    }
    f += x[0] * x[1] / (scales[0] * scales[1]);
    g[0] += x[1] / (scales[0] * scales[1]);
    g[1] += x[0] / (scales[0] * scales[1]);
    if (wrongComponent >= 0) g[wrongComponent] *= -1.0;
    return f;
  }
};

}  // namespace

TEST(CheckGradient, BadlyScaledVariablesGiveNoFalseAlarm) {
  ScaledObjective objective;
  mvlarray<double> x(5);
  for (int j = 0; j < 5; ++j) x[j] = (0.7 + 0.3 * j) * objective.scales[j];
  DerivativeCheckReport report = CheckGradient(objective, x);
  EXPECT_TRUE(report.passed) << "worst " << report.worstRelativeError;
  EXPECT_EQ(report.functionEvaluations, 10);

  objective.wrongComponent = 3;  // a sign error in one component is caught
  report = CheckGradient(objective, x);
  EXPECT_FALSE(report.passed);
  EXPECT_EQ(report.entriesFailed, 1);
  EXPECT_EQ(report.worst[0].column, 3);
}

TEST(CheckGradient, ExactZerosAndZeroVariablesPass) {
  // f = x0^2 + cos(x1) at x = (0, 0): the gradient is exactly 0 while the differences give
  // rounding-level values; the variable at 0 is differenced on the unit scale.
  struct Flat : FunctorBase_AAretR {
    double operator()(mvlarray<double>& x, mvlarray<double>& g) override {
      g[0] = 2.0 * x[0];
      g[1] = -std::sin(x[1]);
      return x[0] * x[0] + 1e6 * std::cos(x[1]) / 1e6;
    }
  } flat;
  mvlarray<double> x(2);
  x[0] = 0.0, x[1] = 0.0;
  EXPECT_TRUE(CheckGradient(flat, x).passed);
}

namespace {

// Broyden tridiagonal residuals with the sparse Jacobian added entry by entry; options to drop
// one entry from the pattern or to set one twice (duplicates add up).
struct BroydenTridiagonal : FunctorBase_AAI {
  int n;
  int dropRow = -1;
  bool splitDiagonal = false;
  explicit BroydenTridiagonal(int size) : n(size) {}
  void operator()(mvlarray<double>& x, mvlarray<double>& f, IMatrix& J) override {
    for (int i = 0; i < n; ++i) {
      const double left = i > 0 ? x[i - 1] : 0.0, right = i + 1 < n ? x[i + 1] : 0.0;
      f[i] = (3.0 - 2.0 * x[i]) * x[i] - left - 2.0 * right + 1.0;
      const double diagonal = 3.0 - 4.0 * x[i];
      if (splitDiagonal) {
        J.SetValue(i, i, 0.5 * diagonal);
        J.SetValue(i, i, 0.5 * diagonal);
      } else {
        J.SetValue(i, i, diagonal);
      }
      if (i > 0) J.SetValue(i, i - 1, -1.0);
      if (i + 1 < n && i != dropRow) J.SetValue(i, i + 1, -2.0);
    }
  }
};

}  // namespace

TEST(CheckSparseJacobian, PatternGapsAreReportedAndDuplicatesAddUp) {
  const int bytesBefore = OrvomemUsed();
  {
    BroydenTridiagonal problem(50);
    mvlarray<double> x(50);
    for (int j = 0; j < 50; ++j) x[j] = -1.0 + 0.01 * j;
    DerivativeCheckReport report = CheckSparseJacobian(problem, x, 50);
    EXPECT_TRUE(report.passed);
    EXPECT_EQ(report.entriesChecked, 3 * 50 - 2);
    EXPECT_TRUE(report.missingFromPattern.empty());

    problem.splitDiagonal = true;
    EXPECT_TRUE(CheckSparseJacobian(problem, x, 50).passed);

    problem.dropRow = 17;
    report = CheckSparseJacobian(problem, x, 50);
    EXPECT_FALSE(report.passed);
    EXPECT_EQ(report.entriesFailed, 0);
    ASSERT_EQ(report.missingFromPattern.size(), 1u);
    EXPECT_EQ(report.missingFromPattern[0].row, 17);
    EXPECT_EQ(report.missingFromPattern[0].column, 18);
    EXPECT_NEAR(report.missingFromPattern[0].estimated, -2.0, 1e-8);
  }
  EXPECT_EQ(OrvomemUsed(), bytesBefore);
}

TEST(CheckConstraintGradients, ColumnKIsTheGradientOfConstraintK) {
  // c0 = x0^2 + x1^2 - 1, c1 = x0 x1 x2: gradients in columns 0 and 1 of an n x m matrix.
  struct Constraints : FunctorBase_AAI {
    bool wrong = false;
    void operator()(mvlarray<double>& x, mvlarray<double>& c, IMatrix& J) override {
      c[0] = x[0] * x[0] + x[1] * x[1] - 1.0;
      c[1] = x[0] * x[1] * x[2];
      J.SetValue(0, 0, 2.0 * x[0]);
      J.SetValue(1, 0, 2.0 * x[1]);
      J.SetValue(0, 1, x[1] * x[2]);
      J.SetValue(1, 1, x[0] * x[2]);
      J.SetValue(2, 1, wrong ? x[0] : x[0] * x[1]);
    }
  } constraints;
  mvlarray<double> x(3);
  x[0] = 0.3, x[1] = -1.7, x[2] = 2.2;
  EXPECT_TRUE(CheckConstraintGradients(constraints, x, 2).passed);
  constraints.wrong = true;
  const DerivativeCheckReport report = CheckConstraintGradients(constraints, x, 2);
  EXPECT_EQ(report.entriesFailed, 1);
  EXPECT_EQ(report.worst[0].row, 1);
  EXPECT_EQ(report.worst[0].column, 2);
}

TEST(CheckJacobian, ThrowingCallbackLeavesXRestoredAndNothingLeaked) {
  const int bytesBefore = OrvomemUsed();
  struct Throws : FunctorBase_AA, FunctorBase_AM {
    int calls = 0;
    void operator()(mvlarray<double>& x, mvlarray<double>& f) override {
      if (++calls == 3) throw std::runtime_error("model failed");
      f[0] = x[0] * x[1];
    }
    void operator()(mvlarray<double>& x, RMatrix& J) override {
      J(0, 0) = x[1];
      J(0, 1) = x[0];
    }
  } throws;
  {
    mvlarray<double> x(2);
    x[0] = 1.25, x[1] = -3.5;
    EXPECT_THROW(CheckJacobian(throws, throws, x, 1), std::runtime_error);
    EXPECT_EQ(x[0], 1.25);
    EXPECT_EQ(x[1], -3.5);
  }
  EXPECT_EQ(OrvomemUsed(), bytesBefore);
}

TEST(CheckJacobian, NonFiniteEntriesFail) {
  struct Nan : FunctorBase_AA, FunctorBase_AM {
    void operator()(mvlarray<double>& x, mvlarray<double>& f) override { f[0] = x[0]; }
    void operator()(mvlarray<double>&, RMatrix& J) override { J(0, 0) = std::nan(""); }
  } nan;
  mvlarray<double> x(1);
  x[0] = 2.0;
  const DerivativeCheckReport report = CheckJacobian(nan, nan, x, 1);
  EXPECT_FALSE(report.passed);
  EXPECT_TRUE(std::isinf(report.worst[0].relativeError));
}
