// The constrained optimiser driver, through the public interface only.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "orvo/memory.hpp"
#include "orvo/nonlinear.hpp"
#include "sqp_problems.hpp"

using namespace Orvo;

namespace {

// Rosenbrock's function in n variables, recording every point it is evaluated at.
struct Rosenbrock : FunctorBase_AAretR {
  std::vector<std::vector<double>> points;
  double operator()(mvlarray<double>& x, mvlarray<double>& g) override {
    const int n = x.Length();
    points.emplace_back(x.Array(), x.Array() + n);
    return sqp_problems::Rosenbrock(x.Array(), g.Array(), n);
  }
};

void RosenbrockStart(mvlarray<double>& x) {
  for (int i = 0; i < x.Length(); ++i) x[i] = i % 2 == 0 ? -1.2 : 1.0;
}

// Hock and Schittkowski's problem 71 from the shared set: min x0 x3 (x0 + x1 + x2) + x2 subject
// to x0 x1 x2 x3 >= 25, |x|^2 = 40, 1 <= x_i <= 5; start (1, 5, 5, 1); optimum 17.0140173.
const sqp_problems::Problem& HS71() {
  static const sqp_problems::Problem problem = [] {
    for (const sqp_problems::Problem& p : sqp_problems::HockSchittkowski())
      if (p.name == "HS71") return p;
    return sqp_problems::Problem{};
  }();
  return problem;
}

struct HS71Objective : FunctorBase_AAretR {
  double operator()(mvlarray<double>& x, mvlarray<double>& g) override {
    return HS71().objective(x.Array(), g.Array());
  }
};

// Equality first, then the inequalities; the gradient of constraint k goes into column k.
struct HS71Constraints : FunctorBase_AAI {
  int calls = 0;
  void operator()(mvlarray<double>& x, mvlarray<double>& c, IMatrix& J) override {
    ++calls;
    const sqp_problems::Problem& p = HS71();
    std::vector<double> gradients(static_cast<std::size_t>(p.n) * p.m);
    p.constraints(x.Array(), c.Array(), gradients.data(), p.n);
    for (int k = 0; k < p.m; ++k)
      for (int j = 0; j < p.n; ++j) J.SetValue(j, k, gradients[k * p.n + j]);
  }
};

const double kHS71Optimum = HS71().optimum;

mvlarray<double> HS71Start() {
  const sqp_problems::Problem& p = HS71();
  mvlarray<double> x(p.n);
  for (int i = 0; i < p.n; ++i) x[i] = p.start[i];
  return x;
}

}  // namespace

TEST(Vf13Solver, SolveMinimisesWithoutConstraints) {
  for (int n : {2, 10}) {
    mvlarray<double> x(n);
    RosenbrockStart(x);
    Rosenbrock f;
    vf13Solver solver(x, 1e-14, 1000);
    EXPECT_EQ(solver.Solve(f), 1) << "n = " << n;
    for (int i = 0; i < n; ++i) EXPECT_NEAR(x[i], 1.0, 1e-6);
    // fVal is the value at the last point evaluated, which on convergence is x itself.
    ASSERT_FALSE(f.points.empty());
    for (int i = 0; i < n; ++i) EXPECT_EQ(f.points.back()[i], x[i]);
    mvlarray<double> g(n);
    EXPECT_EQ(solver.fVal(), f(x, g));
  }
}

TEST(Vf13Solver, SolveHonoursEqualityAndInequalityConstraints) {
  mvlarray<double> x = HS71Start();
  HS71Objective f;
  HS71Constraints cons;
  vf13Solver solver(x, 10, 1, 1e-12, 200);
  EXPECT_EQ(solver.Solve(f, cons), 1);
  EXPECT_NEAR(solver.fVal(), kHS71Optimum, 1e-6 * kHS71Optimum);
  EXPECT_NEAR(x[0] * x[0] + x[1] * x[1] + x[2] * x[2] + x[3] * x[3], 40.0, 1e-8);
  EXPECT_GE(x[0] * x[1] * x[2] * x[3], 25.0 - 1e-8);
  for (int i = 0; i < 4; ++i) {
    EXPECT_GE(x[i], 1.0 - 1e-10);
    EXPECT_LE(x[i], 5.0 + 1e-10);
  }
}

TEST(Vf13Solver, ConstrainedCyclesEvaluateBothCallbacksEachTime) {
  mvlarray<double> x = HS71Start();
  HS71Objective f;
  HS71Constraints cons;
  vf13Solver solver(x, 10, 1, 1e-12, 200);
  int code = 0, cycles = 0;
  while (code == 0 && cycles < 300) {
    code = solver.Cycle(f, cons);
    ++cycles;
  }
  EXPECT_EQ(code, 1);
  EXPECT_EQ(cons.calls, cycles);
  EXPECT_NEAR(solver.fVal(), kHS71Optimum, 1e-6 * kHS71Optimum);
}

TEST(Vf13Solver, CycleEvaluatesFirstAtTheStartAndFollowsTheKernel) {
  mvlarray<double> x(2);
  RosenbrockStart(x);
  Rosenbrock f;
  vf13Solver solver(x, 1e-12, 500);
  int code = solver.Cycle(f);
  ASSERT_EQ(f.points.size(), 1u);
  EXPECT_EQ(f.points[0][0], -1.2);
  EXPECT_EQ(f.points[0][1], 1.0);
  int cycles = 1;
  while (code == 0) {
    // Between cycles x holds the next point the optimiser wants evaluated.
    const double next0 = x[0], next1 = x[1];
    code = solver.Cycle(f);
    EXPECT_EQ(f.points.back()[0], next0);
    EXPECT_EQ(f.points.back()[1], next1);
    ++cycles;
  }
  EXPECT_EQ(code, 1);
  EXPECT_EQ(static_cast<int>(f.points.size()), cycles);
  EXPECT_NEAR(x[0], 1.0, 1e-5);
  // Once ended, a cycle evaluates at x and reports the same code without moving x.
  const double end0 = x[0];
  EXPECT_EQ(solver.Cycle(f), 1);
  EXPECT_EQ(x[0], end0);
}

TEST(Vf13Solver, TrainerStyleCyclingStopsWithinTheEvaluationLimit) {
  // As the perceptron trainer drives it: unconstrained, accuracy 1e-15, 200 evaluations, cycle
  // by cycle until a non-zero code.
  mvlarray<double> x(10);
  RosenbrockStart(x);
  Rosenbrock f;
  vf13Solver solver(x, 1e-15, 200);
  int code = 0, cycles = 0;
  while (code == 0 && cycles < 1000) {
    code = solver.Cycle(f);
    ++cycles;
  }
  EXPECT_TRUE(code == 1 || code == 2 || code == 3) << code;
  EXPECT_LE(f.points.size(), 200u);
  // The point left in x is the best one evaluated, and fVal belongs to it.
  mvlarray<double> g(10);
  const double atX = f(x, g);
  EXPECT_EQ(solver.fVal(), atX);
  EXPECT_LT(atX, 1e-10);
}

TEST(Vf13Solver, EvaluationLimitReturnsTwoWithTheBestPoint) {
  mvlarray<double> x(2);
  RosenbrockStart(x);
  Rosenbrock f;
  vf13Solver solver(x, 1e-14, 6);
  EXPECT_EQ(solver.Solve(f), 2);
  EXPECT_EQ(f.points.size(), 6u);
  mvlarray<double> g(2);
  double best = f(x, g);
  f.points.pop_back();
  const std::vector<std::vector<double>> evaluated = f.points;
  for (const auto& p : evaluated) {
    mvlarray<double> q(2);
    q[0] = p[0];
    q[1] = p[1];
    EXPECT_LE(best, f(q, g));
  }
  EXPECT_EQ(solver.fVal(), best);
}

TEST(Vf13Solver, SolveTwiceRestartsFromWhereTheFirstStopped) {
  mvlarray<double> x(2);
  RosenbrockStart(x);
  Rosenbrock f;
  vf13Solver solver(x, 1e-12, 8);
  EXPECT_EQ(solver.Solve(f), 2);
  const std::vector<double> stopped = {x[0], x[1]};
  f.points.clear();
  const int code = solver.Solve(f);
  EXPECT_NE(code, 0);
  // The second run starts (first evaluation) at the point the first one left.
  ASSERT_FALSE(f.points.empty());
  EXPECT_EQ(f.points[0], stopped);
  EXPECT_LE(f.points.size(), 8u);
}

TEST(Vf13Solver, CopiesRunIndependentlyOnTheSameVariables) {
  const int before = OrvomemUsed();
  {
    mvlarray<double> x(2);
    RosenbrockStart(x);
    Rosenbrock f;
    vf13Solver solver(x, 1e-12, 500);
    for (int k = 0; k < 3; ++k) ASSERT_EQ(solver.Cycle(f), 0);
    vf13Solver copy(solver);
    EXPECT_EQ(copy.fVal(), solver.fVal());
    // The copy carries the run on and moves the shared x to the minimiser.
    int code = 0;
    while (code == 0) code = copy.Cycle(f);
    EXPECT_EQ(code, 1);
    EXPECT_NEAR(x[0], 1.0, 1e-5);
    EXPECT_NEAR(x[1], 1.0, 1e-5);
  }
  EXPECT_EQ(OrvomemUsed(), before);
}

TEST(Vf13Solver, InvalidSizesAreReportedWithoutRunning) {
  struct Zero : FunctorBase_AAretR {
    double operator()(mvlarray<double>&, mvlarray<double>&) override { return 0.0; }
  } zero;
  struct NoConstraints : FunctorBase_AAI {
    void operator()(mvlarray<double>&, mvlarray<double>&, IMatrix&) override {}
  } none;
  mvlarray<double> empty(0);
  vf13Solver noVariables(empty, 1e-8, 10);
  EXPECT_EQ(noVariables.Solve(zero), 5);
  mvlarray<double> x(2);
  x[0] = x[1] = 0.0;
  vf13Solver moreEqualitiesThanConstraints(x, 1, 2, 1e-8, 10);
  EXPECT_EQ(moreEqualitiesThanConstraints.Solve(zero, none), 5);
  vf13Solver negativeCount(x, -1, 0, 1e-8, 10);
  EXPECT_EQ(negativeCount.Solve(zero, none), 5);
}
