// Levenberg-Marquardt solvers through the public interface: the request protocol, restarts,
// copies and the results on problems with known minimisers.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <ctime>
#include <vector>

#include "orvo/nonlinear.hpp"

using namespace Orvo;

namespace {
// Rosenbrock's valley as residuals: f = (10 (x2 - x1^2), 1 - x1), minimum 0 at (1, 1).
struct Rosenbrock : FunctorBase_AA, FunctorBase_AM {
  int residualCalls = 0;
  int jacobianCalls = 0;
  std::vector<const mvlarray<double>*> pointsSeen;
  void operator()(mvlarray<double>& x, mvlarray<double>& f) override {
    ++residualCalls;
    pointsSeen.push_back(&x);
    f[0] = 10.0 * (x[1] - x[0] * x[0]);
    f[1] = 1.0 - x[0];
  }
  void operator()(mvlarray<double>& x, RMatrix& J) override {
    ++jacobianCalls;
    J(0, 0) = -20.0 * x[0];
    J(0, 1) = 10.0;
    J(1, 0) = -1.0;
    J(1, 1) = 0.0;
  }
};

// y = a exp(-b t) sampled without noise at t = 0, 0.5, ..., 4.5; residual model(t) - y.
struct Decay : FunctorBase_AA, FunctorBase_AM {
  static constexpr double a = 2.5, b = 0.8;
  static constexpr int samples = 10;
  void operator()(mvlarray<double>& p, mvlarray<double>& f) override {
    for (int i = 0; i < samples; ++i) {
      const double t = 0.5 * i;
      f[i] = p[0] * std::exp(-p[1] * t) - a * std::exp(-b * t);
    }
  }
  void operator()(mvlarray<double>& p, RMatrix& J) override {
    for (int i = 0; i < samples; ++i) {
      const double t = 0.5 * i;
      J(i, 0) = std::exp(-p[1] * t);
      J(i, 1) = -t * p[0] * std::exp(-p[1] * t);
    }
  }
};

mvlarray<double> point(std::initializer_list<double> values) {
  mvlarray<double> x(static_cast<int>(values.size()));
  int k = 0;
  for (double v : values) x[k++] = v;
  return x;
}

// Serves the requests of the step-by-step interface from a callback pair, as a caller would.
void serve(lmderSolver& solver, int flag, FunctorBase_AA& f, FunctorBase_AM& jac) {
  if (flag == 1 || flag == 3) f(solver.Xvec(), solver.Fvec());
  if (flag == 2) jac(solver.Xvec(), solver.Fjac());
}
}  // namespace

TEST(LmderSolver, RequestsArriveInOrderAndAreCounted) {
  mvlarray<double> x = point({-1.2, 1.0});
  lmderSolver solver(2, 2, x, 1e-10);
  EXPECT_EQ(solver.Info(), 0);
  EXPECT_EQ(solver.nFev(), 0);
  EXPECT_EQ(solver.nJev(), 0);

  Rosenbrock problem;
  int flag = 0;
  solver.Cycle(flag);
  ASSERT_EQ(flag, 1);
  EXPECT_EQ(&solver.Xvec(), &x);
  serve(solver, flag, problem, problem);
  EXPECT_EQ(solver.nFev(), 0) << "counted when the residuals are consumed";

  solver.Cycle(flag);
  ASSERT_EQ(flag, 2);
  EXPECT_EQ(solver.nFev(), 1);
  EXPECT_EQ(solver.nJev(), 0);
  EXPECT_EQ(&solver.Xvec(), &x);
  EXPECT_EQ(solver.Fjac().Height(), 2);
  EXPECT_EQ(solver.Fjac().Width(), 2);
  mvlarray<double>& residuals = solver.Fvec();
  serve(solver, flag, problem, problem);

  solver.Cycle(flag);
  ASSERT_EQ(flag, 3);
  EXPECT_EQ(solver.nJev(), 1);
  // The trial point and its residuals are the solver's own arrays; x is untouched meanwhile.
  EXPECT_NE(&solver.Xvec(), &x);
  EXPECT_NE(&solver.Fvec(), &residuals);
  EXPECT_EQ(solver.Xvec().Length(), 2);
  EXPECT_EQ(x[0], -1.2);
  EXPECT_EQ(x[1], 1.0);
  EXPECT_TRUE(solver.Xvec()[0] != -1.2 || solver.Xvec()[1] != 1.0);

  // Serve to the end by hand: the minimum of the valley is (1, 1).
  int cycles = 0;
  while (flag != 0 && cycles++ < 10000) {
    serve(solver, flag, problem, problem);
    solver.Cycle(flag);
    if (flag != 3) {
      EXPECT_EQ(&solver.Xvec(), &x);
    }
  }
  EXPECT_EQ(flag, 0);
  EXPECT_GE(solver.Info(), 1);
  EXPECT_LE(solver.Info(), 8);
  EXPECT_NEAR(x[0], 1.0, 1e-9);
  EXPECT_NEAR(x[1], 1.0, 1e-9);
  EXPECT_EQ(solver.nFev(), problem.residualCalls);
  EXPECT_EQ(solver.nJev(), problem.jacobianCalls);
}

TEST(LmderSolver, InvalidOrStaleFlagsChangeNothing) {
  mvlarray<double> x = point({-1.2, 1.0});
  lmderSolver solver(2, 2, x, 1e-10);
  Rosenbrock problem;
  for (int bad : {-1, 4, 10, 11, 12, 99, 1, 2, 3}) {  // 1-3: nothing is outstanding yet
    int flag = bad;
    solver.Cycle(flag);
    EXPECT_EQ(flag, bad);
  }
  EXPECT_EQ(solver.nFev(), 0);

  int flag = 0;
  solver.Cycle(flag);
  serve(solver, flag, problem, problem);
  solver.Cycle(flag);
  ASSERT_EQ(flag, 2);
  for (int stale : {1, 3, 12}) {  // only the outstanding request 2 may be answered
    int other = stale;
    solver.Cycle(other);
    EXPECT_EQ(other, stale);
  }
  EXPECT_EQ(solver.nJev(), 0);
  EXPECT_EQ(x[0], -1.2);
  serve(solver, flag, problem, problem);
  solver.Cycle(flag);
  EXPECT_EQ(flag, 3);
  EXPECT_EQ(solver.nJev(), 1);
}

TEST(LmderSolver, SolveBudgetCountsCyclesAndRunsResume) {
  Rosenbrock once;
  mvlarray<double> x = point({-1.2, 1.0});
  lmderSolver solver(2, 2, x, 1e-10);
  EXPECT_EQ(solver.Solve(once, once, 0), 1);
  EXPECT_EQ(once.residualCalls, 1);
  EXPECT_EQ(once.jacobianCalls, 0);
  EXPECT_EQ(solver.nFev(), 0);
  EXPECT_EQ(solver.Solve(once, once, -3), 2) << "maxit <= 0 still runs one cycle";
  EXPECT_EQ(once.jacobianCalls, 1);

  // Short budgets chained together reach exactly the point of one uninterrupted run.
  mvlarray<double> y = point({-1.2, 1.0});
  lmderSolver reference(2, 2, y, 1e-10);
  Rosenbrock uninterrupted;
  ASSERT_EQ(reference.Solve(uninterrupted, uninterrupted, 100000), 0);

  int code = 1, calls = 0;
  while (code != 0 && calls++ < 10000) code = solver.Solve(once, once, 4);
  ASSERT_EQ(code, 0);
  EXPECT_EQ(x[0], y[0]);
  EXPECT_EQ(x[1], y[1]);
  EXPECT_EQ(solver.nFev(), reference.nFev());
  EXPECT_EQ(solver.Info(), reference.Info());
  EXPECT_EQ(once.residualCalls, uninterrupted.residualCalls);

  // After termination nothing is called; the next cycle starts a fresh run from x.
  const int residualCalls = once.residualCalls;
  EXPECT_EQ(solver.Cycle(once, once), 1);
  EXPECT_EQ(once.residualCalls, residualCalls + 1);
  EXPECT_EQ(solver.nFev(), 0);
  EXPECT_EQ(solver.Info(), 0);
}

TEST(LmderSolver, ZeroToleranceMeansSquareRootOfPrecision) {
  mvlarray<double> x = point({-1.2, 1.0}), y = point({-1.2, 1.0});
  lmderSolver zero(2, 2, x, 0.0), explicitTol(2, 2, y, std::sqrt(DBL_EPSILON));
  Rosenbrock a, b;
  ASSERT_EQ(zero.Solve(a, a, 100000), 0);
  ASSERT_EQ(explicitTol.Solve(b, b, 100000), 0);
  EXPECT_EQ(zero.nFev(), explicitTol.nFev());
  EXPECT_EQ(x[0], y[0]);

  // A looser tolerance stops earlier, so the tolerance really is in use.
  mvlarray<double> z = point({-1.2, 1.0});
  lmderSolver loose(2, 2, z, 1e-2);
  Rosenbrock c;
  ASSERT_EQ(loose.Solve(c, c, 100000), 0);
  EXPECT_LT(loose.nFev(), zero.nFev());
}

namespace {
struct Shifted : FunctorBase_AA, FunctorBase_AM {  // f(x) = x - 3
  void operator()(mvlarray<double>& x, mvlarray<double>& f) override { f[0] = x[0] - 3.0; }
  void operator()(mvlarray<double>&, RMatrix& J) override { J(0, 0) = 1.0; }
};
struct AlreadySolved : FunctorBase_AA, FunctorBase_AM {  // f(x) = (x1 - 1, x2 + 2)
  int residualCalls = 0;
  void operator()(mvlarray<double>& x, mvlarray<double>& f) override {
    ++residualCalls;
    f[0] = x[0] - 1.0;
    f[1] = x[1] + 2.0;
  }
  void operator()(mvlarray<double>&, RMatrix& J) override {
    J(0, 0) = 1.0;
    J(0, 1) = 0.0;
    J(1, 0) = 0.0;
    J(1, 1) = 1.0;
  }
};
}  // namespace

TEST(LmderSolver, LinearAndAlreadySolvedProblems) {
  mvlarray<double> x = point({0.0});
  lmderSolver solver(1, 1, x, 1e-10);
  Shifted line;
  EXPECT_EQ(solver.Solve(line, line, 1000), 0);
  EXPECT_NEAR(x[0], 3.0, 16 * DBL_EPSILON);
  EXPECT_GE(solver.Info(), 1);
  EXPECT_LE(solver.Info(), 3);

  // The zero residual sets code 4 at the Jacobian; the trial evaluation that follows finds the
  // radius shrunk to nothing and reports code 2 instead, leaving x where it was.
  mvlarray<double> y = point({1.0, -2.0});
  lmderSolver solved(2, 2, y, 1e-10);
  AlreadySolved p;
  EXPECT_EQ(solved.Cycle(p, p), 1);
  EXPECT_EQ(solved.Cycle(p, p), 2);
  EXPECT_EQ(solved.Cycle(p, p), 3);
  EXPECT_EQ(solved.Cycle(p, p), 0);
  EXPECT_EQ(solved.Info(), 2);
  EXPECT_EQ(solved.nFev(), 2);
  EXPECT_EQ(solved.nJev(), 1);
  EXPECT_EQ(y[0], 1.0);
  EXPECT_EQ(y[1], -2.0);
}

TEST(LmderSolver, FitsAnExponentialDecay) {
  mvlarray<double> p = point({1.0, 0.1});
  lmderSolver solver(Decay::samples, 2, p, 1e-12);
  Decay model;
  EXPECT_EQ(solver.Solve(model, model, 10000), 0);
  EXPECT_NEAR(p[0], Decay::a, 1e-9);
  EXPECT_NEAR(p[1], Decay::b, 1e-9);
}

TEST(LmderSolver, CopiesRunIndependentlyOnTheSameVariables) {
  mvlarray<double> x = point({-1.2, 1.0});
  lmderSolver original(2, 2, x, 1e-10);
  Rosenbrock a;
  original.Solve(a, a, 2);  // requests 1, 2 and 3 served: a trial is outstanding
  lmderSolver copy(original);

  Rosenbrock b;
  EXPECT_EQ(copy.Solve(b, b, 100000), 0);
  EXPECT_NEAR(x[0], 1.0, 1e-9) << "the copy writes into the caller's array";
  EXPECT_EQ(original.nFev(), 1) << "the original's counters are its own";

  // The original carries on from its own state: it consumes the trial it had asked for.
  EXPECT_GE(original.Cycle(a, a), 2);
  EXPECT_EQ(original.nFev(), 2);
}

TEST(LmderSolver, ShapesTheMethodCannotHandleNeverRun) {
  mvlarray<double> x = point({1.0, 2.0, 3.0});
  lmderSolver wide(2, 3, x, 1e-10);  // fewer residuals than variables
  Rosenbrock never;
  EXPECT_EQ(wide.Solve(never, never, 10), 0);
  int flag = 0;
  wide.Cycle(flag);
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(never.residualCalls + never.jacobianCalls, 0);
  EXPECT_EQ(wide.Info(), 0);
  EXPECT_EQ(x[2], 3.0);
}

TEST(LmderSolver, PerturbMovesWithinTheBoundAndRestarts) {
  // Equal points perturbed within the same second move equally; retry across a second boundary.
  for (int attempt = 0; attempt < 3; ++attempt) {
    mvlarray<double> x = point({-4.0, 1.0, 2.5}), y = point({-4.0, 1.0, 2.5});
    lmderSolver a(3, 3, x, 1e-10), b(3, 3, y, 1e-10);
    const std::time_t before = std::time(nullptr);
    a.Perturb(0.1);
    b.Perturb(0.1);
    if (std::time(nullptr) != before) continue;
    const double original[] = {-4.0, 1.0, 2.5};
    bool moved = false;
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(x[i], y[i]);
      EXPECT_GE(x[i] - original[i], -0.1 * 4.0);  // a = max |x_i| = 4
      EXPECT_LT(x[i] - original[i], 0.1 * 4.0);
      moved = moved || x[i] != original[i];
    }
    EXPECT_TRUE(moved);
    break;
  }

  mvlarray<double> zeros = point({0.0, 0.0});
  lmderSolver still(2, 2, zeros, 1e-10);
  still.Perturb(0.5);
  EXPECT_EQ(zeros[0], 0.0);
  EXPECT_EQ(zeros[1], 0.0);

  // Perturbing in the middle of a run starts a new run from the moved point.
  mvlarray<double> x = point({-1.2, 1.0});
  lmderSolver solver(2, 2, x, 1e-10);
  Rosenbrock problem;
  EXPECT_EQ(solver.Solve(problem, problem, 5), 2);
  EXPECT_GT(solver.nJev(), 0);
  solver.Perturb(0.01);
  const int calls = problem.residualCalls;
  EXPECT_EQ(solver.Cycle(problem, problem), 1);
  EXPECT_EQ(problem.residualCalls, calls + 1);
  EXPECT_EQ(solver.nFev(), 0);
  EXPECT_EQ(solver.nJev(), 0);
  EXPECT_EQ(solver.Solve(problem, problem, 100000), 0);
  EXPECT_NEAR(x[0], 1.0, 1e-9);
  EXPECT_NEAR(x[1], 1.0, 1e-9);
}
