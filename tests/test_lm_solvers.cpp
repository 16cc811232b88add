// Levenberg-Marquardt solvers through the public interface: the request protocol, restarts,
// copies and the results on problems with known minimisers.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <ctime>
#include <stdexcept>
#include <vector>

#include "orvo/matrix.hpp"
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

// ---------------------------------------------------------------------------------------------
// lmderCholSolver, driven by hand so that every residual and Jacobian is chosen by the test.
namespace {
void setResiduals(lmderCholSolver& s, double f0, double f1) {
  s.Fvec()[0] = f0;
  s.Fvec()[1] = f1;
}
void setJacobian(lmderCholSolver& s, double j00, double j01, double j10, double j11) {
  RMatrix& J = s.Fjac();
  J(0, 0) = j00;
  J(0, 1) = j01;
  J(1, 0) = j10;
  J(1, 1) = j11;
}
}  // namespace

TEST(LmderCholSolver, RequestsStepsAndTheDampingSchedule) {
  mvlarray<double> start = point({1.0, 2.0});
  lmderCholSolver s(2, 2, start, 1e-6);
  double times[4] = {-1, -1, -1, -1};
  s.GetTimes(times[0], times[1], times[2], times[3]);
  for (double t : times) EXPECT_EQ(t, 0.0);
  EXPECT_EQ(s.Lambda(), 0.001);

  ASSERT_EQ(s.Cycle(), 1);
  setResiduals(s, 3.0, 4.0);
  ASSERT_EQ(s.Cycle(), 2);
  EXPECT_EQ(s.SumOfSquares(), 25.0);
  setJacobian(s, 1.0, 0.0, 0.0, 1.0);
  ASSERT_EQ(s.Cycle(), 0);  // normal equations formed
  ASSERT_EQ(s.Cycle(), 1);  // first trial point: (I + 0.001 I) step = -f
  EXPECT_NEAR(s.Xvec()[0], 1.0 - 3.0 / 1.001, 4 * DBL_EPSILON);
  EXPECT_NEAR(s.Xvec()[1], 2.0 - 4.0 / 1.001, 4 * DBL_EPSILON);
  EXPECT_EQ(start[0], 1.0) << "the caller's array only supplies the start";

  // Accepted: lambda / 10, a Jacobian is wanted at the new point.
  setResiduals(s, 1.0, 1.0);
  ASSERT_EQ(s.Cycle(), 2);
  EXPECT_DOUBLE_EQ(s.Lambda(), 1e-4);
  EXPECT_EQ(s.SumOfSquares(), 2.0);
  setJacobian(s, 1.0, 0.0, 0.0, 1.0);
  ASSERT_EQ(s.Cycle(), 0);
  const double saved0 = s.Xvec()[0], saved1 = s.Xvec()[1];
  ASSERT_EQ(s.Cycle(), 1);
  EXPECT_NEAR(s.Xvec()[0], saved0 - 1.0 / 1.0001, 4 * DBL_EPSILON);

  // An equal sum of squares is a rejection: back to the saved point, lambda doubled, and the
  // next step comes from the stored equations without any new evaluation.
  setResiduals(s, 1.0, -1.0);
  ASSERT_EQ(s.Cycle(), 0);
  EXPECT_DOUBLE_EQ(s.Lambda(), 2e-4);
  EXPECT_EQ(s.Xvec()[0], saved0);
  EXPECT_EQ(s.Xvec()[1], saved1);
  EXPECT_EQ(s.SumOfSquares(), 2.0);
  ASSERT_EQ(s.Cycle(), 1);
  EXPECT_NEAR(s.Xvec()[0], saved0 - 1.0 / 1.0002, 4 * DBL_EPSILON);
  EXPECT_NEAR(s.Xvec()[1], saved1 - 1.0 / 1.0002, 4 * DBL_EPSILON);

  // Thirteen accepted steps take lambda to 2e-17, below the floor: no floor on the way down.
  double residual = 0.5;
  for (int k = 0; k < 13; ++k) {
    setResiduals(s, residual, residual);
    ASSERT_EQ(s.Cycle(), 2);
    setJacobian(s, 1.0, 0.0, 0.0, 1.0);
    ASSERT_EQ(s.Cycle(), 0);
    ASSERT_EQ(s.Cycle(), 1);
    residual *= 0.5;
  }
  EXPECT_NEAR(s.Lambda(), 2e-17, 1e-30);

  // A rejection below the floor: raised to 1e-15, then doubled.
  setResiduals(s, 1.0, 1.0);
  ASSERT_EQ(s.Cycle(), 0);
  EXPECT_DOUBLE_EQ(s.Lambda(), 2e-15);

  // Walk lambda below the floor again, then hand in a singular Jacobian: J^T J + 2e-17 I is
  // exactly singular in double precision, the factorisation fails, lambda becomes the floor and
  // the point does not move.
  for (int k = 0; k < 3; ++k) {
    ASSERT_EQ(s.Cycle(), 1);
    setResiduals(s, residual, residual);
    residual *= 0.5;
    ASSERT_EQ(s.Cycle(), 2);
    setJacobian(s, 1.0, 0.0, 0.0, 1.0);
    ASSERT_EQ(s.Cycle(), 0);
  }
  ASSERT_EQ(s.Cycle(), 1);
  setResiduals(s, residual, residual);
  ASSERT_EQ(s.Cycle(), 2);
  EXPECT_LT(s.Lambda(), 1e-17);
  setJacobian(s, 1.0, 1.0, 0.0, 0.0);
  ASSERT_EQ(s.Cycle(), 0);
  const double atFailure0 = s.Xvec()[0], atFailure1 = s.Xvec()[1];
  ASSERT_EQ(s.Cycle(), 0) << "failed factorisation";
  EXPECT_EQ(s.Lambda(), 1e-15);
  EXPECT_EQ(s.Xvec()[0], atFailure0);
  EXPECT_EQ(s.Xvec()[1], atFailure1);
  // From the floor, lambda doubles on each further failure until the shifted matrix is definite;
  // then the trial point is requested.
  int cycles = 0, request = 0;
  while ((request = s.Cycle()) == 0 && cycles < 200) ++cycles;
  EXPECT_EQ(request, 1);
  EXPECT_DOUBLE_EQ(s.Lambda(), 1e-15 * std::pow(2.0, cycles));
}

namespace {
struct CountingRosenbrock : FunctorBase_AA, FunctorBase_AM {
  Rosenbrock inner;
  std::vector<double> lastX;
  void operator()(mvlarray<double>& x, mvlarray<double>& f) override {
    lastX.assign(x.Array(), x.Array() + x.Length());
    inner(x, f);
  }
  void operator()(mvlarray<double>& x, RMatrix& J) override { inner(x, J); }
};
}  // namespace

TEST(LmderCholSolver, CallbackCyclesReachTheMinimum) {
  mvlarray<double> start = point({-1.2, 1.0});
  lmderCholSolver s(2, 2, start, 1e-6);
  CountingRosenbrock p;
  EXPECT_EQ(s.Cycle(p, p), 1);
  EXPECT_EQ(p.inner.residualCalls, 1);
  EXPECT_EQ(p.lastX[0], -1.2);
  EXPECT_EQ(s.Cycle(p, p), 2);
  EXPECT_EQ(p.inner.jacobianCalls, 1);
  EXPECT_EQ(s.Cycle(p, p), 4);
  EXPECT_EQ(p.inner.residualCalls, 2);
  // The first trial point solves (J^T J + 0.001 I) step = -J^T f at (-1.2, 1): check the step
  // against its defining equations.
  const double x0 = -1.2, x1 = 1.0;
  const double J00 = -20 * x0, J01 = 10, J10 = -1, J11 = 0;
  const double f0 = 10 * (x1 - x0 * x0), f1 = 1 - x0;
  const double d0 = p.lastX[0] - x0, d1 = p.lastX[1] - x1;
  const double r0 =
      (J00 * J00 + J10 * J10 + 0.001) * d0 + (J00 * J01 + J10 * J11) * d1 + (J00 * f0 + J10 * f1);
  const double r1 =
      (J01 * J00 + J11 * J10) * d0 + (J01 * J01 + J11 * J11 + 0.001) * d1 + (J01 * f0 + J11 * f1);
  EXPECT_NEAR(r0, 0.0, 1e-10);
  EXPECT_NEAR(r1, 0.0, 1e-10);

  for (int k = 0; k < 500; ++k) {
    const int state = s.Cycle(p, p);
    ASSERT_TRUE(state == 2 || state == 4 || state == 5) << state;
  }
  EXPECT_LT(s.SumOfSquares(), 1e-20);
  EXPECT_NEAR(s.Xvec()[0], 1.0, 1e-9);
  double tNormal, tSolve, tFunction, tJacobian;
  s.GetTimes(tNormal, tSolve, tFunction, tJacobian);
  for (double t : {tNormal, tSolve, tFunction, tJacobian}) {
    EXPECT_GE(t, 0.0);
    EXPECT_LT(t, 60.0);
  }

  // A copy owns its point: cycling it leaves the source where it was.
  lmderCholSolver copy(s);
  EXPECT_EQ(copy.Lambda(), s.Lambda());
  const double before0 = s.Xvec()[0], before1 = s.Xvec()[1];
  copy.Xvec()[0] = 5.0;
  for (int k = 0; k < 3; ++k) copy.Cycle(p, p);
  EXPECT_EQ(s.Xvec()[0], before0);
  EXPECT_EQ(s.Xvec()[1], before1);
}

TEST(LmderCholSolver, ReductionRatioTrustUpdateAndInnerProducts) {
  mvlarray<double> start = point({0.0, 0.0});
  lmderCholSolver s(2, 2, start, 0.0);

  RMatrix a(3, 1), b(3, 1), wrong(2, 1);
  a(0) = 1.0, a(1) = -2.0, a(2) = 0.5;
  b(0) = 4.0, b(1) = 1.0, b(2) = 2.0;
  EXPECT_EQ(s.innerProd(a, b), 4.0 - 2.0 + 1.0);
  RMatrix one(1, 1);
  one(0) = 1.0;
  MatrixMultiply doubled(b, one, 2.0, 0.0, false, false);
  EXPECT_EQ(s.innerProd(a, doubled), 2.0 * (4.0 - 2.0 + 1.0));
  EXPECT_TRUE(std::isnan(s.innerProd(a, wrong)));

  // Linear residuals f(x) = x - (3, 4) with J = I, served by hand: one step with lambda = 0.001.
  ASSERT_EQ(s.Cycle(), 1);
  setResiduals(s, -3.0, -4.0);
  ASSERT_EQ(s.Cycle(), 2);
  setJacobian(s, 1.0, 0.0, 0.0, 1.0);
  ASSERT_EQ(s.Cycle(), 0);
  ASSERT_EQ(s.Cycle(), 1);
  const double d0 = 3.0 / 1.001, d1 = 4.0 / 1.001;
  EXPECT_NEAR(s.Step()(0), d0, 1e-15);
  setResiduals(s, d0 - 3.0, d1 - 4.0);
  ASSERT_EQ(s.Cycle(), 2);  // accepted; lambda is now 1e-4

  // prered = lambda |d|^2 - f^T J d with the residuals as they stand (the trial's).
  s.CalcReductionRatio();
  const double dd = d0 * d0 + d1 * d1;
  const double fJd = (d0 - 3.0) * d0 + (d1 - 4.0) * d1;
  EXPECT_NEAR(s.PredictedReduction(), 1e-4 * dd - fJd, 1e-12);

  // The trust update: ssq == ssqTrial after an accepted step, so actred = 0 and rho = 0; the
  // radius shrinks from its huge start to |d| / 2 and lambda grows by (dnorm/delta - 1) a / c.
  const double lambdaBefore = s.Lambda();
  s.AdjustLambda();
  const double dnorm = std::sqrt(dd);
  EXPECT_NEAR(s.Delta(), dnorm / 2.0, 1e-12);
  EXPECT_EQ(s.ActualReduction(), 0.0);
  // normal = I and (I + lambda I)^-1 d = d / (1 + lambda): c = |d|^2 / (1 + lambda).
  const double c = dd / (1.0 + lambdaBefore);
  EXPECT_NEAR(s.Lambda(), lambdaBefore - (1.0 - 2.0) * dd / c, 1e-12);
}

namespace {
// Rosenbrock whose residuals or Jacobian turn non-finite on demand: at the start (after
// `finiteResiduals` evaluations have been served) or wherever x1 exceeds `finiteBelow`.
struct Poisoned : Rosenbrock {
  double poison = std::nan("");
  int finiteResiduals = 1 << 30;
  int finiteJacobians = 1 << 30;
  void operator()(mvlarray<double>& x, mvlarray<double>& f) override {
    Rosenbrock::operator()(x, f);
    if (residualCalls > finiteResiduals) f[1] = poison;
  }
  void operator()(mvlarray<double>& x, RMatrix& J) override {
    Rosenbrock::operator()(x, J);
    if (jacobianCalls > finiteJacobians) J(1, 0) = poison;
  }
};

// Throws from the residual or Jacobian callback once, on the given call.
struct ThrowsOnce : Rosenbrock {
  int throwOnResidual = -1, throwOnJacobian = -1;
  void operator()(mvlarray<double>& x, mvlarray<double>& f) override {
    if (residualCalls + 1 == throwOnResidual) {
      throwOnResidual = -1;
      throw std::runtime_error("residuals");
    }
    Rosenbrock::operator()(x, f);
  }
  void operator()(mvlarray<double>& x, RMatrix& J) override {
    if (jacobianCalls + 1 == throwOnJacobian) {
      throwOnJacobian = -1;
      throw std::runtime_error("jacobian");
    }
    Rosenbrock::operator()(x, J);
  }
};
}  // namespace

// A NaN or an infinity from a callback ends the run with NonFiniteValues, never with a
// convergence code, and x keeps the last accepted point.
TEST(LmderSolver, NonFiniteValuesEndTheRunWithTheirOwnCode) {
  const double poisons[] = {std::nan(""), HUGE_VAL, -HUGE_VAL};
  for (const double poison : poisons) {
    for (int where = 0; where < 3; ++where) {
      mvlarray<double> x = point({-1.2, 1.0});
      lmderSolver solver(2, 2, x, 1e-10);
      Poisoned problem;
      problem.poison = poison;
      if (where == 0) problem.finiteResiduals = 0;  // the starting residuals
      if (where == 1) problem.finiteJacobians = 0;  // the first Jacobian
      if (where == 2) problem.finiteResiduals = 4;  // a later trial point
      // Remember the accepted points: x after each served cycle.
      std::vector<double> accepted0{x[0]}, accepted1{x[1]};
      int code = 1, cycles = 0;
      while (code != 0 && cycles++ < 200) {
        code = solver.Cycle(problem, problem);
        accepted0.push_back(x[0]);
        accepted1.push_back(x[1]);
      }
      ASSERT_EQ(code, 0);
      EXPECT_EQ(solver.Info(), lmderSolver::NonFiniteValues) << poison << " " << where;
      EXPECT_TRUE(std::isfinite(x[0]) && std::isfinite(x[1]));
      if (where < 2) {
        EXPECT_EQ(x[0], -1.2);
        EXPECT_EQ(x[1], 1.0);
        EXPECT_LE(cycles, 3);
      }
    }
  }
}

// After a callback throws, the next Cycle repeats the same request at the same point, and the
// run ends exactly as an undisturbed one does.
TEST(LmderSolver, ACallbackThatThrowsIsAskedAgain) {
  mvlarray<double> reference = point({-1.2, 1.0});
  lmderSolver undisturbed(2, 2, reference, 1e-10);
  Rosenbrock plain;
  EXPECT_EQ(undisturbed.Solve(plain, plain, 1000), 0);

  for (int throwAt : {1, 2, 5}) {
    for (const bool inJacobian : {false, true}) {
      mvlarray<double> x = point({-1.2, 1.0});
      lmderSolver solver(2, 2, x, 1e-10);
      ThrowsOnce problem;
      (inJacobian ? problem.throwOnJacobian : problem.throwOnResidual) = throwAt;
      int code = -1;
      bool thrown = false;
      for (int attempt = 0; attempt < 2; ++attempt) {
        try {
          code = solver.Solve(problem, problem, 1000);
          break;
        } catch (const std::runtime_error&) {
          thrown = true;
        }
      }
      EXPECT_TRUE(thrown);
      EXPECT_EQ(code, 0);
      EXPECT_EQ(solver.Info(), undisturbed.Info());
      EXPECT_EQ(x[0], reference[0]);
      EXPECT_EQ(x[1], reference[1]);
    }
  }
}

TEST(LmderSolver, PerturbByANonFiniteAmountMovesNothing) {
  mvlarray<double> x = point({0.0, 2.0});
  lmderSolver solver(2, 2, x, 1e-10);
  solver.Perturb(std::nan(""));
  EXPECT_EQ(x[0], 0.0);
  EXPECT_EQ(x[1], 2.0);
  solver.Perturb(HUGE_VAL);
  EXPECT_EQ(x[0], 0.0);
}

// The Cholesky machine stops in its own state on non-finite values, at once, instead of
// doubling lambda through a thousand factorisations or evaluations.
TEST(LmderCholSolver, NonFiniteValuesStopTheMachine) {
  for (int where = 0; where < 3; ++where) {
    mvlarray<double> start = point({-1.2, 1.0});
    lmderCholSolver solver(2, 2, start, 0.0);
    Poisoned problem;
    if (where == 0) problem.finiteResiduals = 0;
    if (where == 1) problem.finiteJacobians = 0;
    if (where == 2) problem.finiteResiduals = 3;
    int code = 0, cycles = 0;
    std::vector<double> lastAccepted(2);
    while (code != lmderCholSolver::NonFiniteValues && cycles++ < 100) {
      code = solver.Cycle(problem, problem);
      if (code == 2 || code == 5) lastAccepted = {solver.Xvec()[0], solver.Xvec()[1]};
    }
    ASSERT_EQ(code, lmderCholSolver::NonFiniteValues) << where;
    EXPECT_LE(problem.residualCalls, 4);
    EXPECT_EQ(solver.Cycle(problem, problem), lmderCholSolver::NonFiniteValues);
    EXPECT_EQ(solver.Cycle(), 0);
    if (where == 2) {
      EXPECT_EQ(solver.Xvec()[0], lastAccepted[0]);
      EXPECT_EQ(solver.Xvec()[1], lastAccepted[1]);
    }
  }
}

TEST(LmderCholSolver, ACallbackThatThrowsIsAskedAgain) {
  auto run = [](ThrowsOnce& problem, lmderCholSolver& solver) {
    for (int cycle = 0; cycle < 60;) {
      try {
        solver.Cycle(problem, problem);
        ++cycle;
      } catch (const std::runtime_error&) {
      }
    }
  };
  mvlarray<double> start = point({-1.2, 1.0});
  lmderCholSolver reference(2, 2, start, 0.0), disturbed(2, 2, start, 0.0);
  ThrowsOnce plain, problem;
  problem.throwOnResidual = 3;
  problem.throwOnJacobian = 2;
  run(plain, reference);
  run(problem, disturbed);
  EXPECT_EQ(disturbed.Xvec()[0], reference.Xvec()[0]);
  EXPECT_EQ(disturbed.Xvec()[1], reference.Xvec()[1]);
  EXPECT_EQ(disturbed.SumOfSquares(), reference.SumOfSquares());
}
