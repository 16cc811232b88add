// Sparse nonlinear equations: the Bratu problem -u'' = lambda exp(u) on (0, 1), u(0) = u(1) = 0,
// on a grid of 5000 unknowns (central differences), solved cycle by cycle with the residual
// norm of every evaluation printed, and compared with the closed-form solution
// u(x) = -2 ln( cosh((x - 1/2) theta / 2) / cosh(theta / 4) ), theta = sqrt(2 lambda) cosh(theta /
// 4).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <utility>

#include "demo_section.hpp"
#include "orvo/nonlinear.hpp"
#include "report/svg_report.hpp"

using namespace Orvo;

namespace {

constexpr int kUnknowns = 5000;
constexpr double kLambda = 3.0;  // below the turning point 3.5138..., lower branch

// f_i = (2 u_i - u_{i-1} - u_{i+1}) / h^2 - lambda exp(u_i), scaled by h^2.
struct Bratu : FunctorBase_AAI {
  void operator()(mvlarray<double>& u, mvlarray<double>& f, IMatrix& J) override {
    const double h = 1.0 / (kUnknowns + 1);
    for (int i = 0; i < kUnknowns; ++i) {
      const double left = i > 0 ? u[i - 1] : 0.0, right = i + 1 < kUnknowns ? u[i + 1] : 0.0;
      const double source = h * h * kLambda * std::exp(u[i]);
      f[i] = 2.0 * u[i] - left - right - source;
      J.SetValue(i, i, 2.0 - source);
      if (i > 0) J.SetValue(i, i - 1, -1.0);
      if (i + 1 < kUnknowns) J.SetValue(i, i + 1, -1.0);
    }
  }
};

// The smaller root of theta = sqrt(2 lambda) cosh(theta / 4), by Newton's method from 1.
double bratuTheta(double lambda) {
  double theta = 1.0;
  for (int k = 0; k < 50; ++k) {
    const double g = theta - std::sqrt(2.0 * lambda) * std::cosh(theta / 4.0);
    const double dg = 1.0 - std::sqrt(2.0 * lambda) * std::sinh(theta / 4.0) / 4.0;
    theta -= g / dg;
  }
  return theta;
}

void run() {
  mvlarray<double> u(kUnknowns);
  for (int i = 0; i < kUnknowns; ++i) u[i] = 0.0;
  Bratu fun;
  ns23Solver solver(u, kUnknowns);
  solver.SetStoppingCriteria(1e-12, 0.0, 50);
  const auto t0 = std::chrono::steady_clock::now();
  int code = ns23Solver::kEvaluate;
  orvo_report::Series curve{"sparse equations (Bratu), |f|", {}, false};
  while (code > 0) {
    code = solver.Cycle(fun);
    std::printf("  evaluation %2d: |f| = %.3e\n", solver.nFev(), std::sqrt(solver.fVal()));
    curve.points.push_back({double(solver.nFev()), std::sqrt(solver.fVal())});
  }
  orvo_report::addDemoSeries(orvo_report::kConvergenceChart, "evaluation",
                             "residual norm or misfit", true, std::move(curve));
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  std::printf("exit code %d (0 = converged), %d evaluations, %d unknowns, %.1f ms\n", code,
              solver.nFev(), kUnknowns, ms);
  const double theta = bratuTheta(kLambda);
  double error = 0.0, peak = 0.0;
  for (int i = 0; i < kUnknowns; ++i) {
    const double x = (i + 1.0) / (kUnknowns + 1);
    const double exact =
        -2.0 * std::log(std::cosh((x - 0.5) * theta / 2.0) / std::cosh(theta / 4.0));
    error = std::max(error, std::fabs(u[i] - exact));
    peak = std::max(peak, u[i]);
  }
  std::printf(
      "u(1/2) = %.8f; largest deviation from the closed form %.2e (discretisation, O(h^2))\n", peak,
      error);
}

const DemoSection section("75-ns23", "Sparse nonlinear equations: Bratu problem", &run);

}  // namespace
