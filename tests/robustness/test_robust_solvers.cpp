// Hostile callbacks for every solver driver: NaN and infinite values at the start and later,
// callbacks that throw (the exception reaches the caller, the solver repeats the request and
// stays usable), degenerate sizes and budgets of 0 and 1.
#include <gtest/gtest.h>

#include <cmath>

#include "orvo/nonlinear.hpp"
#include "robustness_support.hpp"

using namespace Orvo;
using namespace robustness;

namespace {
// f = (x0 - 1, 10 (x1 - x0^2)): root at (1, 1). Optionally poisoned or throwing.
struct Residuals : FunctorBase_AA, FunctorBase_AM, FunctorBase_AAI {
  double poison = 0.0;
  bool poisoned = false;
  int calls = 0, throwAt = -1;
  void hostile() {
    if (++calls == throwAt) throw CallbackFailure();
  }
  void values(const mvlarray<double>& x, double* f) const {
    f[0] = x[0] - 1.0;
    f[1] = 10.0 * (x[1] - x[0] * x[0]);
    if (poisoned) f[1] = poison;
  }
  void operator()(mvlarray<double>& x, mvlarray<double>& f) override {
    hostile();
    values(x, f.Array());
  }
  void operator()(mvlarray<double>& x, RMatrix& J) override {
    hostile();
    J(0, 0) = 1.0;
    J(0, 1) = 0.0;
    J(1, 0) = -20.0 * x[0];
    J(1, 1) = poisoned ? poison : 10.0;
  }
  void operator()(mvlarray<double>& x, mvlarray<double>& c, IMatrix& J) override {
    hostile();
    values(x, c.Array());
    J.SetValue(0, 0, 1.0);
    J.SetValue(1, 0, -20.0 * x[0]);
    J.SetValue(1, 1, poisoned ? poison : 10.0);
  }
};

// The sum of squares of the same residuals, with its gradient, for the optimiser.
struct Objective : FunctorBase_AAretR {
  Residuals& residuals;
  explicit Objective(Residuals& r) : residuals(r) {}
  double operator()(mvlarray<double>& x, mvlarray<double>& g) override {
    residuals.hostile();
    double f[2];
    residuals.values(x, f);
    g[0] = 2.0 * f[0] - 40.0 * x[0] * f[1];
    g[1] = 20.0 * f[1];
    return f[0] * f[0] + f[1] * f[1];
  }
};

mvlarray<double> start() {
  mvlarray<double> x(2);
  x[0] = -1.2;
  x[1] = 1.0;
  return x;
}
}  // namespace

TEST(RobustSolvers, NonFiniteCallbackValuesNeverEndInSuccess) {
  StorageBalance balance;
  for (const double bad : {kNaN, kInf, -kInf}) {
    Residuals problem;
    Objective objective(problem);
    problem.poisoned = true;
    problem.poison = bad;
    {
      mvlarray<double> x = start();
      lmderSolver lm(2, 2, x, 0.0);
      EXPECT_EQ(lm.Solve(problem, problem, 100), 0);
      EXPECT_EQ(lm.Info(), lmderSolver::NonFiniteValues);
      EXPECT_EQ(x[0], -1.2);
    }
    {
      mvlarray<double> x = start();
      lmderCholSolver chol(2, 2, x, 0.0);
      int state = 0;
      for (int cycle = 0; cycle < 10 && state != lmderCholSolver::NonFiniteValues; ++cycle)
        state = chol.Cycle(problem, problem);
      EXPECT_EQ(state, lmderCholSolver::NonFiniteValues);
    }
    {
      mvlarray<double> x = start();
      vf13Solver sqp(x, 1e-10, 50);
      EXPECT_NE(sqp.Solve(objective), vf13Solver::Converged);
    }
    {
      mvlarray<double> x = start();
      ns23Solver ns(x, 2);
      const int code = ns.Solve(problem);
      EXPECT_NE(code, ns23Solver::kConverged);
    }
  }
}

TEST(RobustSolvers, ACallbackThatThrowsReachesTheCallerAndTheRequestIsRepeated) {
  StorageBalance balance;
  for (int throwAt = 1; throwAt <= 4; ++throwAt) {
    {
      Residuals reference, problem;
      problem.throwAt = throwAt;
      mvlarray<double> x0 = start(), x1 = start();
      lmderSolver undisturbed(2, 2, x0, 0.0), disturbed(2, 2, x1, 0.0);
      undisturbed.Solve(reference, reference, 500);
      EXPECT_THROW(disturbed.Solve(problem, problem, 500), CallbackFailure);
      disturbed.Solve(problem, problem, 500);
      EXPECT_EQ(disturbed.Info(), undisturbed.Info());
      EXPECT_EQ(x1[0], x0[0]);
      EXPECT_EQ(x1[1], x0[1]);
    }
    {
      Residuals problem;
      Objective objective(problem);
      problem.throwAt = throwAt;
      mvlarray<double> x = start();
      vf13Solver sqp(x, 1e-12, 200);
      EXPECT_THROW(sqp.Solve(objective), CallbackFailure);
      EXPECT_EQ(sqp.Solve(objective), vf13Solver::Converged);
      EXPECT_NEAR(x[0], 1.0, 1e-5);
    }
    {
      Residuals problem;
      problem.throwAt = throwAt;
      mvlarray<double> x = start();
      ns23Solver ns(x, 2);
      ns.SetStoppingCriteria(0.0, 0.0, 100);
      EXPECT_THROW(ns.Solve(problem), CallbackFailure);
      EXPECT_EQ(ns.Solve(problem), ns23Solver::kConverged);
      EXPECT_NEAR(x[0], 1.0, 1e-8);
    }
  }
}

TEST(RobustSolvers, DegenerateSizesAndBudgetsOfZeroAndOne) {
  StorageBalance balance;
  Residuals problem;
  Objective objective(problem);
  {
    mvlarray<double> x = start();
    lmderSolver tooFew(1, 2, x, 0.0);  // m < n: never runs
    EXPECT_EQ(tooFew.Solve(problem, problem, 10), 0);
    EXPECT_EQ(problem.calls, 0);
  }
  for (const int budget : {0, 1}) {
    mvlarray<double> x = start();
    lmderSolver lm(2, 2, x, 0.0);
    const int calls = problem.calls;
    EXPECT_EQ(lm.Solve(problem, problem, budget), budget == 0 ? 1 : 2);
    EXPECT_EQ(problem.calls - calls, budget + 1);
    EXPECT_EQ(lm.Solve(problem, problem, 1000), 0);  // carries on where it stopped
    EXPECT_NEAR(x[0], 1.0, 1e-8);
  }
  for (const int budget : {0, 1}) {
    mvlarray<double> x = start();
    vf13Solver sqp(x, 1e-10, budget);
    const int code = sqp.Solve(objective);
    EXPECT_TRUE(code == vf13Solver::EvaluationLimit || code == vf13Solver::InvalidArguments)
        << code;
    mvlarray<double> y = start();
    ns23Solver ns(y, 2);
    ns.SetStoppingCriteria(0.0, 0.0, budget);
    const int nsCode = ns.Solve(problem);
    EXPECT_TRUE(nsCode == ns23Solver::kEvaluationLimit || nsCode == ns23Solver::kInvalidArguments)
        << nsCode;
  }
  mvlarray<double> empty(0);
  vf13Solver none(empty, 1e-10, 10);
  EXPECT_EQ(none.Solve(objective), vf13Solver::InvalidArguments);
}
