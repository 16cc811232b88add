// Sparse nonlinear equation solver through the public interface: workspace sizing from the
// first Jacobian, the evaluation protocol, copies and interrupted evaluations, and results on
// large sparse systems, sparse forms of classic test problems and systems without a root,
// every result checked by evaluating the residuals (or the gradient) afresh.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <stdexcept>
#include <vector>

#include "allocation_test_support.hpp"
#include "mgh_problems.hpp"
#include "nle_problems.hpp"
#include "orvo/nonlinear.hpp"
#include "orvo/sparse.hpp"

using namespace Orvo;
using nle_problems::System;

namespace {

mvlarray<double> startOf(const std::vector<double>& values) {
  mvlarray<double> x(static_cast<int>(values.size()));
  for (std::size_t k = 0; k < values.size(); ++k) x[static_cast<int>(k)] = values[k];
  return x;
}

// Serves a row-wise system; counts calls and checks that every call starts from an empty
// Jacobian.
struct SystemCallback : FunctorBase_AAI {
  explicit SystemCallback(const System& s) : system(s) {}
  const System& system;
  int calls = 0;
  int nonEmptyJacobians = 0;
  std::function<void(mvlarray<double>&, mvlarray<double>&)> tamper;
  void operator()(mvlarray<double>& x, mvlarray<double>& f, IMatrix& J) override {
    ++calls;
    if (static_cast<sparseMatrix&>(J).Nz() != 0) ++nonEmptyJacobians;
    system.evaluate(x.Array(), f.Array(), [&](int i, int j, double v) { J.SetValue(i, j, v); });
    if (tamper) tamper(x, f);
  }
};

// A dense test problem handed over as its non-zero Jacobian entries only, so that the pattern
// changes whenever an entry happens to vanish.
struct DenseAsSparse : FunctorBase_AAI {
  explicit DenseAsSparse(const mgh::Problem& p) : problem(p), jac(p.m * p.n) {}
  const mgh::Problem& problem;
  std::vector<double> jac;
  void operator()(mvlarray<double>& x, mvlarray<double>& f, IMatrix& J) override {
    problem.residuals(problem.m, problem.n, x.Array(), f.Array());
    problem.jacobian(problem.m, problem.n, x.Array(), jac.data());
    for (int j = 0; j < problem.n; ++j)
      for (int i = 0; i < problem.m; ++i)
        if (jac[i + j * problem.m] != 0.0) J.SetValue(i, j, jac[i + j * problem.m]);
  }
};

struct Diagonal3 : FunctorBase_AAI {
  void operator()(mvlarray<double>& x, mvlarray<double>& f, IMatrix& J) override {
    for (int i = 0; i < 3; ++i) {
      f[i] = x[i] * x[i] - (i + 1.0);
      J.SetValue(i, i, 2.0 * x[i]);
    }
  }
};

struct Dense2 : FunctorBase_AAI {
  void operator()(mvlarray<double>& x, mvlarray<double>& f, IMatrix& J) override {
    f[0] = x[0] + x[1] - 3.0;
    f[1] = x[0] * x[1] - 2.0;
    J.SetValue(0, 0, 1.0);
    J.SetValue(0, 1, 1.0);
    J.SetValue(1, 0, x[1]);
    J.SetValue(1, 1, x[0]);
  }
};

double infinityNorm(const std::vector<double>& v) {
  double largest = 0.0;
  for (double a : v) largest = std::max(largest, std::fabs(a));
  return largest;
}

TEST(Ns23Solver, WorkspaceIsSizedFromTheFirstJacobiansPattern) {
  mvlarray<double> x3 = startOf({1.0, 1.0, 1.0});
  Diagonal3 diagonal;
  ns23Solver a(x3, 3);
  a.Initialize(diagonal);
  EXPECT_EQ(a.nnzj(), 3);
  EXPECT_EQ(a.nnzn(), 3);
  EXPECT_EQ(a.Liw(), 95);
  EXPECT_EQ(a.Lw(), 28);
  EXPECT_DOUBLE_EQ(a.fVal(), 0.0 + 1.0 + 4.0);  // sum of squares, not its root

  mvlarray<double> x2 = startOf({0.5, 2.5});
  Dense2 dense;
  ns23Solver b(x2, 2);
  b.Initialize(dense);
  EXPECT_EQ(b.nnzj(), 4);
  EXPECT_EQ(b.nnzn(), 3);
  EXPECT_EQ(b.Liw(), 84);
  EXPECT_EQ(b.Lw(), 22);
}

TEST(Ns23Solver, EachCycleEvaluatesOnceOnAnEmptyJacobian) {
  const System s = nle_problems::broydenTridiagonal(50);
  mvlarray<double> x = startOf(s.start);
  SystemCallback fun(s);
  ns23Solver solver(x, s.m);
  EXPECT_EQ(solver.Cycle(fun), ns23Solver::kEvaluate);
  EXPECT_EQ(fun.calls, 1);
  EXPECT_EQ(solver.nFev(), 1);
  EXPECT_EQ(solver.Solve(fun), ns23Solver::kConverged);
  EXPECT_EQ(fun.calls, solver.nFev());
  EXPECT_EQ(fun.nonEmptyJacobians, 0);
  // A finished solver evaluates at x and reports the same end again.
  EXPECT_EQ(solver.Cycle(fun), ns23Solver::kConverged);
}

struct LargeCase {
  System system;
  double tolerance;
};

TEST(Ns23Solver, SolvesLargeSparseSystemsToTheResidualTolerance) {
  const std::vector<LargeCase> cases = {
      {nle_problems::broydenTridiagonal(10000), 1e-10},
      {nle_problems::broydenBanded(2000), 1e-10},
      {nle_problems::bratu2d(100, 1.0), 1e-10},
      {nle_problems::bratu2d(100, 6.0), 1e-10},
      // Normal equations with a condition number near 1e13.
      {nle_problems::bratu1d(5000, 3.0), 1e-13},
  };
  for (const LargeCase& c : cases) {
    SCOPED_TRACE(c.system.name + " n = " + std::to_string(c.system.n));
    mvlarray<double> x = startOf(c.system.start);
    SystemCallback fun(c.system);
    ns23Solver solver(x, c.system.m);
    solver.SetStoppingCriteria(c.tolerance, 0.0, 100);
    ASSERT_EQ(solver.Solve(fun), ns23Solver::kConverged);
    EXPECT_EQ(solver.Info(0), ns23Solver::kOutcomeRoot);
    const double norm = c.system.residualNorm(x.Array());
    EXPECT_LE(norm, c.tolerance);
    EXPECT_NEAR(solver.fVal(), norm * norm, 1e-30 + 1e-12 * norm * norm);
    std::printf("  %-20s n = %6d: %d evaluations, %d steps, |f| = %.2e\n", c.system.name.c_str(),
                c.system.n, solver.nFev(), solver.Info(2), norm);
  }
}

TEST(Ns23Solver, LeastSquaresEndsAtAStationaryPointWithNonZeroResidual) {
  const System s = nle_problems::chainedProducts(1000);
  mvlarray<double> x = startOf(s.start);
  SystemCallback fun(s);
  ns23Solver solver(x, s.m);
  solver.SetStoppingCriteria(0.0, 0.0, 100);
  ASSERT_EQ(solver.Solve(fun), ns23Solver::kConverged);
  EXPECT_EQ(solver.Info(0), ns23Solver::kOutcomeStationary);
  const double norm = s.residualNorm(x.Array());
  EXPECT_GT(norm, 1.0);  // no x meets all 1999 equations
  // Stationarity measured independently: |J^T f| relative to |J| |f| (|J| <= 2 max |x| + 1).
  const std::vector<double> g = s.gradient(x.Array());
  EXPECT_LE(infinityNorm(g), 1e-7 * norm * 4.0);
  std::printf("  %-20s n = %6d: %d evaluations, |f| = %.6f, |J^T f| = %.2e\n", s.name.c_str(), s.n,
              solver.nFev(), norm, infinityNorm(g));
}

TEST(Ns23Solver, SolvesClassicTestProblemsInSparseForm) {
  const std::vector<mgh::Problem> all = mgh::all();
  auto find = [&](const std::string& name) {
    for (const mgh::Problem& p : all)
      if (p.name == name) return p;
    throw std::runtime_error(name);
  };
  // Zero-residual problems: roots to the tolerance.
  for (const char* name :
       {"Rosenbrock", "HelicalValley", "PowellSingular", "BrownAlmostLinear", "Beale"}) {
    SCOPED_TRACE(name);
    const mgh::Problem p = find(name);
    mvlarray<double> x = startOf(p.start);
    DenseAsSparse fun(p);
    ns23Solver solver(x, p.m);
    solver.SetStoppingCriteria(1e-10, 0.0, 200);
    ASSERT_EQ(solver.Solve(fun), ns23Solver::kConverged);
    std::vector<double> f(p.m);
    p.residuals(p.m, p.n, x.Array(), f.data());
    double s = 0.0;
    for (double r : f) s += r * r;
    EXPECT_LE(std::sqrt(s), 1e-10);
    std::printf("  %-20s: %d evaluations, |f| = %.2e\n", name, solver.nFev(), std::sqrt(s));
  }
  // Non-zero residual problems: stationary points, the gradient checked against the dense J.
  for (const char* name : {"Bard", "KowalikOsborne", "Osborne1"}) {
    SCOPED_TRACE(name);
    const mgh::Problem p = find(name);
    mvlarray<double> x = startOf(p.start);
    DenseAsSparse fun(p);
    ns23Solver solver(x, p.m);
    solver.SetStoppingCriteria(0.0, 0.0, 400);
    ASSERT_EQ(solver.Solve(fun), ns23Solver::kConverged);
    EXPECT_EQ(solver.Info(0), ns23Solver::kOutcomeStationary);
    std::vector<double> f(p.m), jac(p.m * p.n);
    p.residuals(p.m, p.n, x.Array(), f.data());
    p.jacobian(p.m, p.n, x.Array(), jac.data());
    double fn = 0.0;
    for (double r : f) fn += r * r;
    fn = std::sqrt(fn);
    for (int j = 0; j < p.n; ++j) {
      double gj = 0.0, cn = 0.0;
      for (int i = 0; i < p.m; ++i) {
        gj += jac[i + j * p.m] * f[i];
        cn += jac[i + j * p.m] * jac[i + j * p.m];
      }
      EXPECT_LE(std::fabs(gj), 1e-4 * std::sqrt(cn) * fn) << "column " << j;
    }
    std::printf("  %-20s: %d evaluations, |f|^2 = %.8e\n", name, solver.nFev(), fn * fn);
  }
}

// f1 = x1 + x2 - 2, f2 = x1 + x2 - 4: J singular everywhere, no root; the least-squares
// minimum lies on x1 + x2 = 3.
struct Inconsistent : FunctorBase_AAI {
  void operator()(mvlarray<double>& x, mvlarray<double>& f, IMatrix& J) override {
    f[0] = x[0] + x[1] - 2.0;
    f[1] = x[0] + x[1] - 4.0;
    for (int i = 0; i < 2; ++i)
      for (int j = 0; j < 2; ++j) J.SetValue(i, j, 1.0);
  }
};

// f1 = x1^2 + 1, f2 = x2 - 1: |f| >= 1 everywhere, a local minimum at (0, 1).
struct NoRoot : FunctorBase_AAI {
  void operator()(mvlarray<double>& x, mvlarray<double>& f, IMatrix& J) override {
    f[0] = x[0] * x[0] + 1.0;
    f[1] = x[1] - 1.0;
    J.SetValue(0, 0, 2.0 * x[0]);
    J.SetValue(1, 1, 1.0);
  }
};

// f1 = (x1 - x2)^2, f2 = x1 + x2 - 2: root (1, 1) where the Jacobian is singular, approached
// only linearly.
struct SingularRoot : FunctorBase_AAI {
  std::vector<double> norms;
  void operator()(mvlarray<double>& x, mvlarray<double>& f, IMatrix& J) override {
    const double d = x[0] - x[1];
    f[0] = d * d;
    f[1] = x[0] + x[1] - 2.0;
    J.SetValue(0, 0, 2.0 * d);
    J.SetValue(0, 1, -2.0 * d);
    J.SetValue(1, 0, 1.0);
    J.SetValue(1, 1, 1.0);
    norms.push_back(std::hypot(f[0], f[1]));
  }
};

TEST(Ns23Solver, SystemsWithoutRootOrWithSingularRootNeverReportSuccessFalsely) {
  {
    mvlarray<double> x = startOf({5.0, -1.0});
    Inconsistent fun;
    ns23Solver solver(x, 2);
    EXPECT_EQ(solver.Solve(fun), ns23Solver::kNoProgress);
    EXPECT_NEAR(x[0] + x[1], 3.0, 1e-8);  // but it did reach the least-squares minimum
    EXPECT_NEAR(solver.fVal(), 2.0, 1e-12);
  }
  {
    mvlarray<double> x = startOf({2.0, 3.0});
    NoRoot fun;
    ns23Solver solver(x, 2);
    solver.SetStoppingCriteria(0.0, 0.0, 500);
    EXPECT_EQ(solver.Solve(fun), ns23Solver::kNoProgress);
    EXPECT_NEAR(x[0], 0.0, 1e-6);
    EXPECT_NEAR(x[1], 1.0, 1e-12);
  }
  {
    // The tolerance asks for |x1 - x2| below 1e-10, far more than 15 linear steps give.
    mvlarray<double> x = startOf({3.0, 0.0});
    SingularRoot fun;
    ns23Solver solver(x, 2);
    solver.SetStoppingCriteria(1e-20, 0.0, 15);
    EXPECT_EQ(solver.Solve(fun), ns23Solver::kEvaluationLimit);
    EXPECT_TRUE(std::isfinite(x[0]) && std::isfinite(x[1]));
    EXPECT_LT(solver.fVal(), 1e-6 * fun.norms.front() * fun.norms.front());  // progress made
    // With the default tolerance the same system converges, and truly.
    mvlarray<double> y = startOf({3.0, 0.0});
    SingularRoot again;
    ns23Solver second(y, 2);
    EXPECT_EQ(second.Solve(again), ns23Solver::kConverged);
    EXPECT_LE(std::hypot((y[0] - y[1]) * (y[0] - y[1]), y[0] + y[1] - 2.0), 1e-10);
  }
}

TEST(Ns23Solver, NonFiniteValuesNeverEndInSuccess) {
  const System s = nle_problems::broydenTridiagonal(20);
  {
    mvlarray<double> x = startOf(s.start);
    SystemCallback fun(s);
    fun.tamper = [](mvlarray<double>&, mvlarray<double>& f) {
      f[3] = std::numeric_limits<double>::quiet_NaN();
    };
    ns23Solver solver(x, s.m);
    EXPECT_EQ(solver.Solve(fun), ns23Solver::kInvalidArguments);
    EXPECT_EQ(fun.calls, 1);
  }
  {
    // Infinite residuals at the second and third evaluations: rejected as failed steps.
    mvlarray<double> x = startOf(s.start);
    SystemCallback fun(s);
    fun.tamper = [&](mvlarray<double>&, mvlarray<double>& f) {
      if (fun.calls == 2 || fun.calls == 3) f[0] = std::numeric_limits<double>::infinity();
    };
    ns23Solver solver(x, s.m);
    EXPECT_EQ(solver.Solve(fun), ns23Solver::kConverged);
    EXPECT_LE(s.residualNorm(x.Array()), 1e-10);
  }
  {
    // NaN everywhere after the start: the run ends at the start point without success.
    mvlarray<double> x = startOf(s.start);
    SystemCallback fun(s);
    fun.tamper = [&](mvlarray<double>&, mvlarray<double>& f) {
      if (fun.calls > 1) f[0] = std::numeric_limits<double>::quiet_NaN();
    };
    ns23Solver solver(x, s.m);
    const int code = solver.Solve(fun);
    EXPECT_LT(code, 0);
    for (int i = 0; i < s.n; ++i) EXPECT_EQ(x[i], s.start[i]);
  }
}

TEST(Ns23Solver, CopyAndInterruptedEvaluationContinueExactly) {
  const System s = nle_problems::bratu2d(12, 6.0);
  // Reference run.
  mvlarray<double> x = startOf(s.start);
  SystemCallback reference(s);
  ns23Solver solver(x, s.m);
  ASSERT_EQ(solver.Solve(reference), ns23Solver::kConverged);
  const std::vector<double> final(x.Array(), x.Array() + s.n);
  const int evaluations = solver.nFev();
  ASSERT_GT(evaluations, 4);

  // A copy taken after three cycles continues exactly like the original.
  mvlarray<double> y = startOf(s.start);
  SystemCallback fun(s);
  ns23Solver original(y, s.m);
  for (int k = 0; k < 3; ++k) ASSERT_EQ(original.Cycle(fun), ns23Solver::kEvaluate);
  const std::vector<double> atCopy(y.Array(), y.Array() + s.n);
  ns23Solver copy(original);
  EXPECT_EQ(original.Solve(fun), ns23Solver::kConverged);
  for (int i = 0; i < s.n; ++i) EXPECT_EQ(y[i], final[i]);
  for (int i = 0; i < s.n; ++i) y[i] = atCopy[i];
  EXPECT_EQ(copy.Solve(fun), ns23Solver::kConverged);
  EXPECT_EQ(copy.nFev(), evaluations);
  for (int i = 0; i < s.n; ++i) EXPECT_EQ(y[i], final[i]);

  // A callback that throws half-way through filling the Jacobian, at the first and at the
  // fourth evaluation: repeating the cycle gives the uninterrupted run.
  struct Throwing : SystemCallback {
    using SystemCallback::SystemCallback;
    int throwAt = 0;
    void operator()(mvlarray<double>& x, mvlarray<double>& f, IMatrix& J) override {
      if (++attempts == throwAt || attempts == 1) {
        J.SetValue(0, 0, 1.0);
        J.SetValue(1, 1, 1.0);
        throw std::runtime_error("interrupted");
      }
      SystemCallback::operator()(x, f, J);
    }
    int attempts = 0;
  };
  mvlarray<double> z = startOf(s.start);
  Throwing interrupted(s);
  interrupted.throwAt = 5;
  ns23Solver third(z, s.m);
  int code = ns23Solver::kEvaluate, throws = 0;
  while (code > 0) {
    try {
      code = third.Cycle(interrupted);
    } catch (const std::runtime_error&) {
      ++throws;
    }
  }
  EXPECT_EQ(throws, 2);
  EXPECT_EQ(code, ns23Solver::kConverged);
  EXPECT_EQ(third.nFev(), evaluations);
  for (int i = 0; i < s.n; ++i) EXPECT_EQ(z[i], final[i]);
}

TEST(Ns23Solver, HeavyFillGrowsTheWorkspaceWithoutLeaking) {
  const Counters before;
  {
    const System s = nle_problems::randomCoupling(600);
    mvlarray<double> x = startOf(s.start);
    SystemCallback fun(s);
    ns23Solver solver(x, s.m);
    solver.Initialize(fun);
    const int initialLiw = solver.Liw(), initialLw = solver.Lw();
    ASSERT_EQ(solver.Solve(fun), ns23Solver::kConverged);
    EXPECT_LE(s.residualNorm(x.Array()), 1e-10);
    // The factor holds far more than the normal matrix's own pattern.
    EXPECT_GT(solver.Info(6), 3 * solver.nnzn());
    EXPECT_GT(solver.Liw(), initialLiw);
    EXPECT_GT(solver.Lw(), initialLw);
    EXPECT_GE(solver.Liw(), solver.Info(3));
    EXPECT_GE(solver.Lw(), solver.Info(4));
    for (int j = 0; j < s.n; ++j) EXPECT_NEAR(x[j], 1.0 + static_cast<double>(j) / s.n, 1e-9);
    std::printf("  %-20s n = %6d: nnzn %d, factor %d entries, Liw %d -> %d, Lw %d -> %d\n",
                s.name.c_str(), s.n, solver.nnzn(), solver.Info(6), initialLiw, solver.Liw(),
                initialLw, solver.Lw());
  }
  const Counters after;
  EXPECT_EQ(after.allocs - before.allocs, after.frees - before.frees);
  EXPECT_EQ(after.bytes, before.bytes);
}

TEST(Ns23Solver, InvalidSizesAreRefused) {
  mvlarray<double> x = startOf({1.0, 2.0, 3.0});
  Dense2 fun;  // writes two residuals: m = 2 < n = 3
  ns23Solver solver(x, 2);
  EXPECT_EQ(solver.Solve(fun), ns23Solver::kInvalidArguments);
  EXPECT_EQ(x[0], 1.0);
  mvlarray<double> y = startOf({1.0, 2.0});
  ns23Solver limitless(y, 2);
  limitless.SetStoppingCriteria(0.0, 0.0, 0);
  EXPECT_EQ(limitless.Solve(fun), ns23Solver::kInvalidArguments);
}

}  // namespace
