// BQASolver through the shared library: the bounded test problems reach their known optima
// within budget with every evaluation inside the bounds, the stateless driver behaves the same
// whichever object makes each call, and invalid arguments end with the documented codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "allocation_test_support.hpp"
#include "bobyqa_problems.hpp"
#include "orvo/nonlinear.hpp"

using bobyqa_problems::Problem;
using Orvo::BQASolver;

namespace {

struct Outcome {
  int task = 0;
  int evaluations = 0;
  int reachedAt = -1;  // first evaluation with f <= threshold (1-based)
  double f = 0.0;
  double leastSeen = INFINITY;
  bool inside = true;
  std::vector<double> x;
  std::vector<double> trail;  // every evaluated point
  std::string message;
};

// Runs p with npt = 2 n + 1 to the end; solvers[k % solvers.size()] makes call k.
Outcome Minimise(const Problem& p, std::vector<BQASolver*> solvers, double rhoend = 1e-8) {
  const int n = p.n, npt = 2 * n + 1;
  const int lw = BQASolver::RealWorkspaceLength(n, npt);
  const int liw = BQASolver::IntWorkspaceLength(npt);
  std::vector<double> x = p.start, xl = p.xl, xu = p.xu, w(lw);
  std::vector<int> iw(liw);
  double f = 0.0;
  int task = BQASolver::kStart;
  char message[200];
  Outcome out;
  const double threshold = bobyqa_problems::Threshold(p);
  for (long call = 0;; ++call) {
    double* result = solvers[call % solvers.size()]->Cycle(
        x.data(), &f, n, xl.data(), xu.data(), npt, w.data(), lw, iw.data(), &task, liw, p.budget,
        nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, nullptr,
        p.rhobeg, 0, 0, 0, 0, 0, 0, 0, 0, rhoend, message, sizeof message);
    EXPECT_EQ(result, x.data());
    if (task != BQASolver::kEvaluate) break;
    for (int i = 0; i < n; ++i)
      if (!(x[i] >= xl[i] && x[i] <= xu[i])) out.inside = false;
    f = p.f(x.data());
    ++out.evaluations;
    out.leastSeen = std::min(out.leastSeen, f);
    if (out.reachedAt < 0 && f <= threshold) out.reachedAt = out.evaluations;
    out.trail.insert(out.trail.end(), x.begin(), x.end());
  }
  out.task = task;
  out.f = f;
  out.x = x;
  out.message = message;
  return out;
}

}  // namespace

TEST(BQASolver, BoundedProblemsReachTheirOptimaWithinBudget) {
  std::vector<Problem> set = {
      bobyqa_problems::Rosenbrock(2, -2.0, 2.0),  bobyqa_problems::RosenbrockActiveBound(),
      bobyqa_problems::Rosenbrock(10, -0.5, 2.0), bobyqa_problems::QuadraticOnBounds(),
      bobyqa_problems::SpherePoints(5),           bobyqa_problems::SpherePoints(10)};
  for (Problem& p : bobyqa_problems::LeastSquaresSet()) set.push_back(p);
  BQASolver solver;
  int total = 0;
  for (const Problem& p : set) {
    const Outcome r = Minimise(p, {&solver});
    std::printf("%-20s n = %2d: f* + 1e-6 after %4d evaluations, %4d in all, f - f* = %.2e\n",
                p.name.c_str(), p.n, r.reachedAt, r.evaluations, r.f - p.fstar);
    total += r.reachedAt;
    EXPECT_TRUE(r.inside) << p.name;
    EXPECT_EQ(r.task, BQASolver::kConverged) << p.name << ": " << r.message;
    EXPECT_GT(r.reachedAt, 0) << p.name;
    EXPECT_LE(r.evaluations, p.budget) << p.name;
    EXPECT_LE(r.f, bobyqa_problems::Threshold(p)) << p.name;
    EXPECT_EQ(r.f, r.leastSeen) << p.name;  // the best value found is the one returned
    EXPECT_EQ(r.f, p.f(r.x.data())) << p.name;
  }
  std::printf("total evaluations to f* + 1e-6: %d\n", total);
}

TEST(BQASolver, HoldsNoStateWhicheverObjectMakesTheCalls) {
  const Problem p = bobyqa_problems::SpherePoints(5);
  const Counters before;
  BQASolver one;
  const Outcome reference = Minimise(p, {&one});
  BQASolver a, b, c;
  c = a;
  const Outcome alternating = Minimise(p, {&a, &b, &c});
  EXPECT_EQ(alternating.trail, reference.trail);
  EXPECT_EQ(alternating.f, reference.f);
  EXPECT_EQ(alternating.task, reference.task);
  const Counters after;
  EXPECT_EQ(after.allocs, before.allocs);
  EXPECT_EQ(after.bytes, before.bytes);
}

TEST(BQASolver, InvalidArgumentsEndWithTheirCodesBeforeAnyEvaluation) {
  const int n = 3, npt = 7;
  const int lw = BQASolver::RealWorkspaceLength(n, npt), liw = BQASolver::IntWorkspaceLength(npt);
  ASSERT_EQ(lw, 40 + npt * (npt + n + 5) + n * (3 * n + 43) / 2);
  ASSERT_EQ(liw, 32 + 3 * npt);
  EXPECT_EQ(BQASolver::RealWorkspaceLength(n, n + 1), -1);
  EXPECT_EQ(BQASolver::RealWorkspaceLength(100000, 200001), -1);  // beyond the int range
  struct Case {
    const char* what;
    int npt, lw, liw, maxfun;
    double xl0;
    int expected;
    const char* text;
  };
  const Case cases[] = {
      {"short real workspace", npt, lw - 1, liw, 100, -1.0, BQASolver::kErrorRealWorkspace, "lw"},
      {"short integer workspace", npt, lw, liw - 1, 100, -1.0, BQASolver::kErrorIntWorkspace,
       "liw"},
      {"npt below n + 2", n + 1, lw, liw, 100, -1.0, BQASolver::kErrorSizes, "npt"},
      {"npt above (n+1)(n+2)/2", 11, 4 * lw, 4 * liw, 100, -1.0, BQASolver::kErrorSizes, "npt"},
      {"xl > xu", npt, lw, liw, 100, 3.0, BQASolver::kErrorBounds, "xl > xu"},
      {"maxfun < npt + 1", npt, lw, liw, npt, -1.0, BQASolver::kErrorMaxfun, "maxfun"},
  };
  for (const Case& c : cases) {
    std::vector<double> x = {0.5, 0.5, 0.5}, xl = {c.xl0, -1.0, -1.0}, xu = {1.0, 1.0, 1.0};
    std::vector<double> w(std::max(c.lw, 1), 0.0);
    std::vector<int> iw(std::max(c.liw, 1), 0);
    double f = 0.0;
    int task = BQASolver::kStart;
    char message[120] = "unchanged";
    BQASolver solver;
    solver.Cycle(x.data(), &f, n, xl.data(), xu.data(), c.npt, w.data(), c.lw, iw.data(), &task,
                 c.liw, c.maxfun, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0,
                 nullptr, 0, nullptr, nullptr, 0.2, 0, 0, 0, 0, 0, 0, 0, 0, 1e-6, message,
                 sizeof message);
    EXPECT_EQ(task, c.expected) << c.what;
    EXPECT_NE(std::strstr(message, c.text), nullptr) << c.what << ": " << message;
    EXPECT_EQ(x[0], 0.5) << c.what;  // nothing handed out for evaluation
  }
}
