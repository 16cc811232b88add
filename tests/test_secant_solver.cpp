// SecantSolver through the exported interface: both callback kinds on classic functions and the
// enclosing-method test set, the cycle budget, what each Cycle returns, the tracked allocations
// of the array form, copies in mid-search, throwing callbacks and finished searches.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <stdexcept>
#include <vector>

#include "allocation_test_support.hpp"
#include "orvo/nonlinear.hpp"
#include "root_problems.hpp"

using Orvo::mvlarray;
using Orvo::SecantSolver;

namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();

// Either callback kind around one function, counting calls and remembering the last abscissa;
// throws on call number throwAt (0: never).
struct Scalar : Orvo::FunctorBase_RretR {
  std::function<double(double)> f;
  int calls = 0, throwAt = 0;
  double last = 0.0;
  explicit Scalar(std::function<double(double)> g) : f(std::move(g)) {}
  double operator()(double x) override {
    last = x;
    if (++calls == throwAt) throw std::runtime_error("callback failed");
    return f(x);
  }
};

struct Arrays : Orvo::FunctorBase_AA {
  std::function<double(double)> f;
  int calls = 0, throwAt = 0;
  double last = 0.0;
  bool write = true;
  explicit Arrays(std::function<double(double)> g) : f(std::move(g)) {}
  void operator()(mvlarray<double>& x, mvlarray<double>& y) override {
    EXPECT_EQ(x.Length(), 1);
    EXPECT_EQ(y.Length(), 1);
    last = x[0];
    if (++calls == throwAt) throw std::runtime_error("callback failed");
    if (write) y[0] = f(x[0]);
  }
};

double CosMinusX(double x) {
  return std::cos(x) - x;
}

TEST(SecantSolver, BothCallbackKindsFindTheSameRoots) {
  const double tol = 1e-12;
  std::vector<root_problems::Problem> problems = {
      {"cos x - x", 0, 1, &CosMinusX, 0.73908513321516064},
      {"x^3 - 2x - 5 (one side)", 3, 4, [](double x) { return x * x * x - 2 * x - 5; },
       2.0945514815423265},
      {"e^x - 2", 0, 1, [](double x) { return std::exp(x) - 2; }, std::log(2.0)}};
  for (const auto& p : root_problems::EnclosureSet()) {
    if (p.name == "aps01" || p.name == "aps02(5)" || p.name == "aps12(9)") problems.push_back(p);
  }
  for (const auto& p : problems) {
    Scalar scalar(p.f);
    Arrays arrays(p.f);
    SecantSolver s1(p.a, p.b, tol, 100), s2(p.a, p.b, tol, 100);
    const double x1 = s1.Solve(scalar), x2 = s2.Solve(arrays);
    EXPECT_EQ(s1.state(), SecantSolver::Converged) << p.name;
    EXPECT_EQ(s2.state(), SecantSolver::Converged) << p.name;
    EXPECT_LE(std::fabs(x1 - p.root), tol + 4 * kEps * std::fabs(p.root)) << p.name;
    EXPECT_EQ(x1, x2) << p.name;
    EXPECT_EQ(scalar.calls, arrays.calls) << p.name;
    EXPECT_EQ(s1.val(), p.f(x1)) << p.name;
    std::printf("  %-24s %3d evaluations\n", p.name.c_str(), scalar.calls);
  }
}

// Each Cycle of the array form makes two one-element tracked allocations and releases both,
// also when it evaluates nothing or the callback throws; so the cycles Solve ran can be counted.
TEST(SecantSolver, ArrayCyclesAllocateTwiceAndBudgetFollowsMaxit) {
  for (int maxit : {5, -5}) {
    Arrays arrays(&CosMinusX);  // needs more than five evaluations at this tolerance
    SecantSolver solver(0.0, 1.0, 0.0, maxit);
    const Counters before;
    solver.Solve(arrays);
    const Counters after;
    EXPECT_EQ(solver.state(), SecantSolver::EvaluationLimit) << maxit;
    EXPECT_EQ(arrays.calls, 5) << maxit;
    // Five evaluations, then the cycle that reports the limit: within the 7 allowed.
    EXPECT_EQ(after.allocs - before.allocs, 2 * 6) << maxit;
    EXPECT_EQ(after.frees - before.frees, 2 * 6) << maxit;
    EXPECT_EQ(after.bytes, before.bytes) << maxit;
  }
  Arrays arrays(&CosMinusX);
  SecantSolver solver(0.0, 1.0, 1e-12, 100);
  solver.Solve(arrays);
  ASSERT_EQ(solver.state(), SecantSolver::Converged);
  const Counters before;
  EXPECT_EQ(solver.Cycle(arrays), SecantSolver::Converged);  // finished: nothing evaluated
  SecantSolver thrower(0.0, 1.0, 1e-12, 100);
  arrays.calls = 0;
  arrays.throwAt = 1;
  EXPECT_THROW(thrower.Cycle(arrays), std::runtime_error);
  const Counters after;
  EXPECT_EQ(after.allocs - before.allocs, 4);
  EXPECT_EQ(after.frees - before.frees, 4);
  EXPECT_EQ(after.bytes, before.bytes);
}

TEST(SecantSolver, CycleReturnsTheAbscissaOrTheState) {
  Scalar scalar(&CosMinusX);
  Arrays arrays(&CosMinusX);
  SecantSolver s1(0.0, 1.0, 1e-12, 100), s2(0.0, 1.0, 1e-12, 100);
  EXPECT_EQ(s1.state(), SecantSolver::Start);
  for (int k = 0; k < 100 && s1.state() <= SecantSolver::Evaluate; ++k) {
    const double x = s1.Cycle(scalar);
    const int state = s2.Cycle(arrays);
    EXPECT_EQ(state, s2.state());
    if (state == SecantSolver::Evaluate) {
      EXPECT_EQ(x, scalar.last);  // the point just evaluated
      EXPECT_EQ(s1.val(), CosMinusX(x));
      EXPECT_EQ(arrays.last, x);
    }
  }
  ASSERT_EQ(s1.state(), SecantSolver::Converged);
  EXPECT_EQ(s2.state(), SecantSolver::Converged);
  // A finished search is never restarted: more cycles and solves evaluate nothing and keep x.
  const int calls = scalar.calls;
  const double x = s1.Solve(scalar);
  EXPECT_EQ(s1.Cycle(scalar), x);
  EXPECT_EQ(scalar.calls, calls);
  EXPECT_EQ(s1.state(), SecantSolver::Converged);
  EXPECT_NEAR(x, 0.73908513321516064, 1e-12);
}

// A copy taken in mid-search, by construction or assignment, continues as the original does.
TEST(SecantSolver, CopiesContinueIndependently) {
  auto f = [](double x) { return x * x * x - 2 * x - 5; };
  Scalar scalar(f);
  SecantSolver original(3.0, 4.0, 1e-13, 100);
  for (int k = 0; k < 4; ++k) original.Cycle(scalar);
  SecantSolver copy(original);
  SecantSolver assigned(0.0, 0.0, 0.0, 0);
  assigned = original;
  Scalar a(f), b(f), c(f);
  const double x0 = original.Solve(a), x1 = copy.Solve(b), x2 = assigned.Solve(c);
  EXPECT_EQ(original.state(), SecantSolver::Converged);
  EXPECT_EQ(copy.state(), SecantSolver::Converged);
  EXPECT_EQ(assigned.state(), SecantSolver::Converged);
  EXPECT_EQ(x0, x1);
  EXPECT_EQ(x0, x2);
  EXPECT_EQ(a.calls, b.calls);
  EXPECT_EQ(a.calls, c.calls);
  EXPECT_GT(a.calls, 0);
}

// A callback that throws leaves the request outstanding: the next cycle asks for the same
// point, and the search ends exactly as an uninterrupted one.
TEST(SecantSolver, ThrowingCallbackRepeatsTheRequest) {
  Scalar plain(&CosMinusX);
  SecantSolver reference(0.0, 1.0, 1e-12, 100);
  const double expected = reference.Solve(plain);

  Scalar scalar(&CosMinusX);
  scalar.throwAt = 4;
  SecantSolver solver(0.0, 1.0, 1e-12, 100);
  EXPECT_THROW(solver.Solve(scalar), std::runtime_error);
  EXPECT_EQ(solver.state(), SecantSolver::Interrupted);
  const double failedAt = scalar.last;
  EXPECT_EQ(solver.Cycle(scalar), failedAt);
  EXPECT_EQ(solver.state(), SecantSolver::Evaluate);
  EXPECT_EQ(solver.Solve(scalar), expected);
  EXPECT_EQ(solver.state(), SecantSolver::Converged);
  EXPECT_EQ(scalar.calls - 1, plain.calls);

  Arrays arrays(&CosMinusX);
  arrays.throwAt = 3;
  SecantSolver other(0.0, 1.0, 1e-12, 100);
  EXPECT_THROW(other.Solve(arrays), std::runtime_error);
  EXPECT_EQ(other.state(), SecantSolver::Interrupted);
  const double pending = arrays.last;
  EXPECT_EQ(other.Cycle(arrays), SecantSolver::Evaluate);
  EXPECT_EQ(arrays.last, pending);
  EXPECT_EQ(other.Solve(arrays), expected);
}

TEST(SecantSolver, BadValuesNeverConverge) {
  Arrays silent(&CosMinusX);
  silent.write = false;  // leaves the result element as it found it
  SecantSolver solver(0.0, 1.0, 1e-12, 100);
  solver.Solve(silent);
  EXPECT_EQ(solver.state(), SecantSolver::NotFinite);
  EXPECT_EQ(silent.calls, 1);
  EXPECT_TRUE(std::isnan(solver.val()));

  Scalar pole([](double x) { return 1.0 / (x - 1.0); });
  SecantSolver poles(0.0, 3.0, 1e-10, 200);
  EXPECT_NEAR(poles.Solve(pole), 1.0, 1e-9);
  EXPECT_EQ(poles.state(), SecantSolver::Pole);

  Scalar none([](double x) { return x * x + 1.0; });
  SecantSolver nothing(0.0, 1.0, 1e-12, 200);
  nothing.Solve(none);
  EXPECT_EQ(nothing.state(), SecantSolver::NoSignChange);
}

}  // namespace
