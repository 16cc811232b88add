// Hostile callbacks for every solver driver: NaN and infinite values at the start and later,
// callbacks that throw (the exception reaches the caller, the solver repeats the request and
// stays usable), degenerate sizes and budgets of 0 and 1; the same for the root finder, the
// bounded derivative-free optimiser and the derivative checkers.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

#include "orvo/derivative_check.hpp"
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
      // Solve restarts from the current x (as documented), so the run is driven by Cycle, which
      // evaluates at x first: after a throw the next Cycle evaluates the same x again.
      Residuals reference, problem;
      Objective undisturbedObjective(reference), objective(problem);
      problem.throwAt = throwAt;
      mvlarray<double> x0 = start(), x = start();
      vf13Solver undisturbed(x0, 1e-12, 200), sqp(x, 1e-12, 200);
      int expected = 0, code = 0;
      while (expected == vf13Solver::EvaluateAgain)
        expected = undisturbed.Cycle(undisturbedObjective);
      EXPECT_EQ(expected, vf13Solver::Converged);
      bool thrown = false;
      while (code == vf13Solver::EvaluateAgain) {
        try {
          code = sqp.Cycle(objective);
        } catch (const CallbackFailure&) {
          thrown = true;
        }
      }
      EXPECT_TRUE(thrown);
      EXPECT_EQ(code, expected);
      EXPECT_EQ(x[0], x0[0]);
      EXPECT_EQ(x[1], x0[1]);
    }
    {
      Residuals reference, problem;
      problem.throwAt = throwAt;
      mvlarray<double> x0 = start(), x = start();
      ns23Solver undisturbed(x0, 2), ns(x, 2);
      undisturbed.SetStoppingCriteria(0.0, 0.0, 100);
      ns.SetStoppingCriteria(0.0, 0.0, 100);
      EXPECT_EQ(undisturbed.Solve(reference), ns23Solver::kConverged);
      EXPECT_THROW(ns.Solve(problem), CallbackFailure);
      EXPECT_EQ(ns.Solve(problem), ns23Solver::kConverged);
      // The request that threw is made again: the same path, to the same bits.
      EXPECT_EQ(x[0], x0[0]);
      EXPECT_EQ(x[1], x0[1]);
      EXPECT_EQ(problem.calls, reference.calls + 1);
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

// --- the root finder -------------------------------------------------------------------------

namespace {
// f(x) = x^2 - 2 with a root at sqrt(2); optionally poisoned from evaluation poisonFrom on, or
// throwing at evaluation throwAt (1-based).
struct ScalarFunction : FunctorBase_RretR {
  int calls = 0, throwAt = -1, poisonFrom = -1;
  double poison = 0.0, last = 0.0;
  double operator()(double x) override {
    last = x;
    if (++calls == throwAt) throw CallbackFailure();
    return calls >= poisonFrom && poisonFrom > 0 ? poison : x * x - 2.0;
  }
};
}  // namespace

TEST(RobustRootFinder, NonFiniteEndsNeverEndInSuccess) {
  StorageBalance balance;
  for (const double bad : {kNaN, kInf, -kInf}) {
    // A non-finite end: refused at the first cycle, nothing evaluated.
    for (const bool first : {true, false}) {
      ScalarFunction f;
      SecantSolver solver(first ? bad : 0.0, first ? 2.0 : bad, 0.0, 50);
      solver.Solve(f);
      EXPECT_EQ(solver.state(), SecantSolver::NotFinite);
      EXPECT_TRUE(std::isnan(solver.val()));
    }
    // A non-finite value at the first, the second and a later evaluation.
    for (const int from : {1, 2, 4}) {
      ScalarFunction f;
      f.poisonFrom = from;
      f.poison = bad;
      SecantSolver solver(0.0, 2.0, 0.0, 50);
      solver.Solve(f);
      EXPECT_EQ(solver.state(), SecantSolver::NotFinite) << from;
      EXPECT_EQ(f.calls, from);
    }
  }
}

TEST(RobustRootFinder, AThrowingCallbackRepeatsTheSameAbscissa) {
  StorageBalance balance;
  for (int throwAt = 1; throwAt <= 5; ++throwAt) {
    ScalarFunction reference, f;
    f.throwAt = throwAt;
    SecantSolver undisturbed(0.0, 2.0, 0.0, 60), disturbed(0.0, 2.0, 0.0, 60);
    const double expected = undisturbed.Solve(reference);
    EXPECT_THROW(disturbed.Solve(f), CallbackFailure);
    EXPECT_EQ(disturbed.state(), SecantSolver::Interrupted);
    const double refused = f.last;
    disturbed.Cycle(f);
    EXPECT_EQ(f.last, refused) << throwAt;
    EXPECT_EQ(disturbed.Solve(f), expected) << throwAt;
    EXPECT_EQ(disturbed.state(), SecantSolver::Converged);
    EXPECT_EQ(f.calls, reference.calls + 1);
  }
}

TEST(RobustRootFinder, BudgetsOfZeroOneAndTheMostNegativeInt) {
  StorageBalance balance;
  for (const int budget : {0, 1}) {
    ScalarFunction f;
    SecantSolver solver(0.0, 2.0, 0.0, budget);
    solver.Solve(f);
    EXPECT_EQ(solver.state(), SecantSolver::EvaluationLimit) << budget;
    EXPECT_LE(f.calls, 1) << budget;
  }
  // |INT_MIN| does not fit an int: the budget must still be a large positive one.
  ScalarFunction f;
  SecantSolver solver(0.0, 2.0, 0.0, INT_MIN);
  EXPECT_NEAR(solver.Solve(f), std::sqrt(2.0), 4e-16);
  EXPECT_EQ(solver.state(), SecantSolver::Converged);
  // Equal ends: a root only when f vanishes there.
  ScalarFunction g;
  SecantSolver same(1.0, 1.0, 0.0, 10);
  same.Solve(g);
  EXPECT_EQ(same.state(), SecantSolver::NoSignChange);
}

// --- the bounded derivative-free optimiser -----------------------------------------------------

namespace {
// Runs the optimiser on sum (x_i - 0.3)^2 over [-1, 1]^n from 0.9 with the given sizes and
// budget; `poison(k, f)` may replace the value of evaluation k (0-based), and a non-zero
// beyond is returned wherever x0 > 0.85 (the start moves to 0.8, just outside that).
struct BoundedRun {
  int task = 0, evaluations = 0;
  double f = 0.0;
  std::vector<double> x;
};
template <class Poison>
BoundedRun runBounded(int n, int npt, int maxfun, Poison poison, int lwShort = 0,
                      bool bestIsX = false, double beyond = 0.0) {
  BoundedRun run;
  const int lw = std::max(BQASolver::RealWorkspaceLength(std::max(n, 1), std::max(npt, 3)), 1);
  const int liw = std::max(BQASolver::IntWorkspaceLength(std::max(npt, 3)), 1);
  std::vector<double> xl(std::max(n, 1), -1.0), xu(std::max(n, 1), 1.0), w(lw);
  std::vector<int> iw(liw);
  run.x.assign(std::max(n, 1), 0.9);
  std::vector<double> best(std::max(n, 1));
  char message[80];
  BQASolver solver;
  for (;;) {
    solver.Cycle(run.x.data(), &run.f, n, xl.data(), xu.data(), npt, w.data(), lw - lwShort,
                 iw.data(), &run.task, liw, maxfun, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0,
                 nullptr, 0, nullptr, 0, bestIsX ? run.x.data() : best.data(), nullptr, 0.2, 0, 0,
                 0, 0, 0, 0, 0, 0, 1e-8, message, sizeof message);
    if (run.task != BQASolver::kEvaluate) return run;
    double f = 0.0;
    for (int i = 0; i < n; ++i) f += (run.x[i] - 0.3) * (run.x[i] - 0.3);
    run.f = beyond != 0.0 && run.x[0] > 0.85 ? beyond : poison(run.evaluations, f);
    ++run.evaluations;
  }
}
double unpoisoned(int, double f) {
  return f;
}
}  // namespace

TEST(RobustBoundedOptimiser, NonFiniteValuesAreNeverTheBest) {
  StorageBalance balance;
  for (const double bad : {kNaN, kInf, -kInf}) {
    // At the first point: an error, not a result.
    const BoundedRun first =
        runBounded(2, 5, 200, [&](int k, double f) { return k == 0 ? bad : f; });
    EXPECT_EQ(first.task, BQASolver::kErrorFirstValue);
    // Non-finite in part of the box (x0 > 0.85), away from the minimum: found all the same.
    const BoundedRun later = runBounded(
        2, 5, 400, [&](int, double f) { return f; }, 0, false, bad);
    EXPECT_EQ(later.task, BQASolver::kConverged);
    EXPECT_NEAR(later.x[0], 0.3, 1e-6);
    EXPECT_NEAR(later.x[1], 0.3, 1e-6);
    // Every value from the second on: no convergence is claimed, the start is returned.
    const BoundedRun all = runBounded(2, 5, 50, [&](int k, double f) { return k > 0 ? bad : f; });
    EXPECT_EQ(all.task, BQASolver::kNonFiniteValues);
    EXPECT_EQ(all.f, (all.x[0] - 0.3) * (all.x[0] - 0.3) + (all.x[1] - 0.3) * (all.x[1] - 0.3));
  }
}

TEST(RobustBoundedOptimiser, DegenerateSizesBudgetsAndWorkspaces) {
  StorageBalance balance;
  EXPECT_EQ(runBounded(0, 3, 100, unpoisoned).task, BQASolver::kErrorSizes);
  EXPECT_EQ(runBounded(-1, 3, 100, unpoisoned).task, BQASolver::kErrorSizes);
  // One variable: npt must be 3 exactly.
  const BoundedRun one = runBounded(1, 3, 100, unpoisoned);
  EXPECT_EQ(one.task, BQASolver::kConverged);
  EXPECT_NEAR(one.x[0], 0.3, 1e-6);
  EXPECT_EQ(runBounded(1, 4, 100, unpoisoned).task, BQASolver::kErrorSizes);
  for (const int budget : {0, 1, 5})
    EXPECT_EQ(runBounded(2, 5, budget, unpoisoned).task, BQASolver::kErrorMaxfun) << budget;
  const BoundedRun least = runBounded(2, 5, 6, unpoisoned);
  EXPECT_EQ(least.task, BQASolver::kMaxfunReached);
  EXPECT_EQ(least.evaluations, 6);
  EXPECT_EQ(runBounded(2, 5, 100, unpoisoned, 1).task, BQASolver::kErrorRealWorkspace);
  // The best point asked for in x itself: the same run as without it.
  const BoundedRun plain = runBounded(2, 5, 400, unpoisoned);
  const BoundedRun aliased = runBounded(2, 5, 400, unpoisoned, 0, true);
  EXPECT_EQ(aliased.task, plain.task);
  EXPECT_EQ(aliased.x, plain.x);
  EXPECT_EQ(aliased.evaluations, plain.evaluations);
  // Workspace formulas whose products overflow an int are refused, not wrapped.
  EXPECT_EQ(BQASolver::RealWorkspaceLength(INT_MAX, INT_MAX), -1);
  EXPECT_EQ(BQASolver::RealWorkspaceLength(40000, 80001), -1);
  EXPECT_EQ(BQASolver::IntWorkspaceLength(INT_MAX), -1);
}

// --- the derivative checkers -----------------------------------------------------------------

namespace {
// Residuals (x0^2, x0 x1) with a correct Jacobian; throwing or poisoned on request.
struct CheckedResiduals : FunctorBase_AA, FunctorBase_AM, FunctorBase_AAI {
  int calls = 0, throwAt = -1;
  double poison = 1.0;  // multiplies the supplied derivatives
  bool poisonValues = false;
  void hostile() {
    if (++calls == throwAt) throw CallbackFailure();
  }
  double value(const mvlarray<double>& x, int i) const {
    if (poisonValues) return poison;
    return i == 0 ? x[0] * x[0] : x[0] * x[1];
  }
  void operator()(mvlarray<double>& x, mvlarray<double>& f) override {
    hostile();
    for (int i = 0; i < f.Length(); ++i) f[i] = value(x, i);
  }
  void operator()(mvlarray<double>& x, RMatrix& J) override {
    hostile();
    J(0, 0) = poison * 2.0 * x[0];
    J(0, 1) = 0.0;
    J(1, 0) = poison * x[1];
    J(1, 1) = poison * x[0];
  }
  void operator()(mvlarray<double>& x, mvlarray<double>& c, IMatrix& J) override {
    hostile();
    for (int i = 0; i < c.Length(); ++i) c[i] = value(x, i);
    J.SetValue(0, 0, poison * 2.0 * x[0]);
  }
};

// Its first residual as an objective with gradient.
struct CheckedObjective : FunctorBase_AAretR {
  CheckedResiduals& r;
  explicit CheckedObjective(CheckedResiduals& residuals) : r(residuals) {}
  double operator()(mvlarray<double>& x, mvlarray<double>& g) override {
    r.hostile();
    g[0] = r.poison * 2.0 * x[0];
    g[1] = 0.0;
    return r.value(x, 0);
  }
};

mvlarray<double> point() {
  mvlarray<double> x(2);
  x[0] = 1.5;
  x[1] = -0.5;
  return x;
}
}  // namespace

TEST(RobustDerivativeChecks, NonFiniteValuesAndDerivativesNeverPass) {
  StorageBalance balance;
  for (const double bad : {kNaN, kInf, -kInf}) {
    for (const bool inValues : {false, true}) {
      CheckedResiduals r;
      CheckedObjective objective(r);
      r.poison = bad;
      r.poisonValues = inValues;
      mvlarray<double> x = point();
      EXPECT_FALSE(CheckJacobian(r, r, x, 2).passed);
      EXPECT_FALSE(CheckGradient(objective, x).passed);
      if (inValues) {
        EXPECT_FALSE(CheckConstraintGradients(r, x, 1).passed);
        EXPECT_FALSE(CheckSparseJacobian(r, x, 1).passed);
      }
      EXPECT_EQ(x[0], 1.5);
    }
    // A non-finite point: every estimate is non-finite.
    CheckedResiduals r;
    CheckedObjective objective(r);
    mvlarray<double> x = point();
    x[1] = bad;
    EXPECT_FALSE(CheckJacobian(r, r, x, 2).passed);
    EXPECT_FALSE(CheckGradient(objective, x).passed);
    EXPECT_TRUE(std::isnan(x[1]) == std::isnan(bad));
  }
}

TEST(RobustDerivativeChecks, AThrowingCallbackRestoresThePoint) {
  StorageBalance balance;
  for (int throwAt = 1; throwAt <= 5; ++throwAt) {
    CheckedResiduals r;
    CheckedObjective objective(r);
    mvlarray<double> x = point();
    r.throwAt = throwAt;
    EXPECT_THROW(CheckJacobian(r, r, x, 2), CallbackFailure);
    EXPECT_EQ(x[0], 1.5);
    EXPECT_EQ(x[1], -0.5);
    r.calls = 0;
    EXPECT_THROW(CheckGradient(objective, x), CallbackFailure);
    r.calls = 0;
    EXPECT_THROW(CheckSparseJacobian(r, x, 2), CallbackFailure);
    r.calls = 0;
    EXPECT_THROW(CheckConstraintGradients(r, x, 1), CallbackFailure);
    EXPECT_EQ(x[0], 1.5);
    EXPECT_EQ(x[1], -0.5);
    // And the same check then passes.
    r.throwAt = -1;
    EXPECT_TRUE(CheckJacobian(r, r, x, 2).passed);
  }
}

TEST(RobustDerivativeChecks, EmptyAndOverflowingShapes) {
  StorageBalance balance;
  CheckedResiduals r;
  CheckedObjective objective(r);
  mvlarray<double> none(0), x = point();
  const DerivativeCheckReport empty = CheckGradient(objective, none);
  EXPECT_EQ(empty.entriesChecked, 0);
  EXPECT_EQ(r.calls, 0);
  EXPECT_THROW(CheckJacobian(r, r, x, -1), mvlException);
  EXPECT_THROW(CheckSparseJacobian(r, x, -1), mvlException);
  EXPECT_THROW(CheckConstraintGradients(r, x, -1), mvlException);
  EXPECT_EQ(CheckSparseJacobian(r, none, 2).entriesChecked, 0);
  EXPECT_EQ(CheckJacobian(r, r, none, 2).entriesChecked, 0);
  EXPECT_EQ(r.calls, 0);
  // m x n beyond the int range: refused before any callback.
  EXPECT_THROW(CheckJacobian(r, r, x, INT_MAX), mvlException);
  EXPECT_EQ(r.calls, 0);
  // A typical magnitude of 0 or NaN leaves the variable's own scale in charge of the step.
  DerivativeCheckOptions options;
  for (const double typical : {0.0, kNaN}) {
    const double typicalX[2] = {typical, typical};
    options.typicalX = typicalX;
    EXPECT_TRUE(CheckJacobian(r, r, x, 2, options).passed) << typical;
  }
  options.typicalX = nullptr;
  options.maxReported = -1;
  const DerivativeCheckReport quiet = CheckJacobian(r, r, x, 2, options);
  EXPECT_TRUE(quiet.passed);
  EXPECT_TRUE(quiet.worst.empty());
}
