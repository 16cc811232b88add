// One-dimensional root finding: the Darcy friction factor of turbulent flow in a commercial
// steel pipe from the Colebrook equation, solved cycle by cycle with the iterates printed, then
// checked against the equation's own fixed-point iteration.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <utility>

#include "demo_section.hpp"
#include "orvo/nonlinear.hpp"
#include "report/svg_report.hpp"

using namespace Orvo;

namespace {

constexpr double kDiameter = 0.1;      // m
constexpr double kRoughness = 4.5e-5;  // m, commercial steel
constexpr double kVelocity = 2.0;      // m/s
constexpr double kViscosity = 1.0e-6;  // m^2/s, water at 20 C
constexpr double kRelativeRoughness = kRoughness / kDiameter;
constexpr double kReynolds = kVelocity * kDiameter / kViscosity;

// Colebrook in y = 1 / sqrt(f):  y + 2 log10(e / (3.7 D) + 2.51 y / Re) = 0.
struct Colebrook : FunctorBase_RretR {
  double operator()(double y) override {
    return y + 2.0 * std::log10(kRelativeRoughness / 3.7 + 2.51 * y / kReynolds);
  }
};

void run() {
  std::printf("pipe D = %.2f m, roughness %.3g mm, Re = %.0f\n", kDiameter, 1000 * kRoughness,
              kReynolds);
  Colebrook colebrook;
  // Friction factors of turbulent pipe flow lie between 0.008 and 0.1: y between 3.2 and 11.
  SecantSolver solver(3.0, 11.0, 1e-13, 50);
  const auto start = std::chrono::steady_clock::now();
  int evaluations = 0;
  orvo_report::Series curve{"root finder (Colebrook), |f|", {}, false};
  while (true) {
    const double y = solver.Cycle(colebrook);
    if (solver.state() != SecantSolver::Evaluate) break;
    ++evaluations;
    std::printf("  iterate %2d: 1/sqrt(f) = %.15f  f = %.12f  residual %+.3e\n", evaluations, y,
                1.0 / (y * y), solver.val());
    curve.points.push_back({double(evaluations), std::fabs(solver.val())});
  }
  orvo_report::addDemoSeries(orvo_report::kConvergenceChart, "evaluation",
                             "residual norm or misfit", true, std::move(curve));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double y = solver.Solve(colebrook);  // finished: hands back the result
  std::printf("state %d (2 = converged) after %d evaluations, %.1f us with printing\n",
              solver.state(), evaluations, 1e6 * seconds);

  // The equation's own fixed-point form y <- -2 log10(...) contracts (its slope is about -0.05
  // here), so iterating it to a standstill gives an independent reference.
  double reference = 7.0;
  for (int k = 0; k < 200; ++k)
    reference = -2.0 * std::log10(kRelativeRoughness / 3.7 + 2.51 * reference / kReynolds);
  const double f = 1.0 / (y * y), fReference = 1.0 / (reference * reference);
  std::printf("friction factor %.12f, fixed-point reference %.12f, relative difference %.1e\n", f,
              fReference, std::fabs(f - fReference) / fReference);
  // Haaland's explicit approximation, good to about 2 %, as a plausibility check.
  const double haaland =
      -1.8 * std::log10(std::pow(kRelativeRoughness / 3.7, 1.11) + 6.9 / kReynolds);
  std::printf("Haaland's approximation %.5f (%.1f %% off); head loss %.3f m per 100 m of pipe\n",
              1.0 / (haaland * haaland), 100.0 * std::fabs(1.0 / (haaland * haaland) - f) / f,
              f * 100.0 / kDiameter * kVelocity * kVelocity / (2.0 * 9.81));
}

const DemoSection section("75-root", "Root finding: pipe friction factor (Colebrook)", &run);

}  // namespace
