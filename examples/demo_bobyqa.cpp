// Derivative-free calibration within physical bounds: the natural frequency and damping ratio of
// a mass-spring-damper are recovered from its sampled free response, each trial simulated by a
// fixed-step integration (so the misfit has no derivatives to offer), through BQASolver's
// reverse communication.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

#include "demo_section.hpp"
#include "orvo/nonlinear.hpp"
#include "report/svg_report.hpp"

using namespace Orvo;

namespace {

constexpr double kTrueOmega = 2.3;   // rad/s
constexpr double kTrueZeta = 0.15;   // damping ratio
constexpr int kSamples = 40;         // one every 0.1 s
constexpr double kSampleStep = 0.1;  // s
constexpr int kStepsPerSample = 20;  // integration steps between samples

// x'' + 2 zeta omega x' + omega^2 x = 0 from x = 1, x' = 0 by classical Runge-Kutta; the
// displacement at each sample time.
std::vector<double> Simulate(double omega, double zeta) {
  std::vector<double> out(kSamples);
  double x = 1.0, v = 0.0;
  const double h = kSampleStep / kStepsPerSample;
  auto accel = [&](double px, double pv) { return -2.0 * zeta * omega * pv - omega * omega * px; };
  for (int s = 0; s < kSamples; ++s) {
    for (int k = 0; k < kStepsPerSample; ++k) {
      const double k1x = v, k1v = accel(x, v);
      const double k2x = v + 0.5 * h * k1v, k2v = accel(x + 0.5 * h * k1x, v + 0.5 * h * k1v);
      const double k3x = v + 0.5 * h * k2v, k3v = accel(x + 0.5 * h * k2x, v + 0.5 * h * k2v);
      const double k4x = v + h * k3v, k4v = accel(x + h * k3x, v + h * k3v);
      x += h / 6.0 * (k1x + 2.0 * k2x + 2.0 * k3x + k4x);
      v += h / 6.0 * (k1v + 2.0 * k2v + 2.0 * k3v + k4v);
    }
    out[s] = x;
  }
  return out;
}

void run() {
  const std::vector<double> measured = Simulate(kTrueOmega, kTrueZeta);
  // Variables: omega in [0.5, 5] rad/s, zeta in [0.01, 1]; start from a rough guess.
  const int n = 2, npt = 2 * n + 1, maxfun = 300;
  double x[n] = {1.0, 0.5}, xl[n] = {0.5, 0.01}, xu[n] = {5.0, 1.0};
  const int lw = BQASolver::RealWorkspaceLength(n, npt), liw = BQASolver::IntWorkspaceLength(npt);
  std::vector<double> w(lw), fhist(maxfun);
  std::vector<int> iw(liw);
  double f = 0.0;
  int task = BQASolver::kStart;
  char message[200] = "";
  BQASolver solver;
  const auto start = std::chrono::steady_clock::now();
  int evaluations = 0;
  for (;;) {
    solver.Cycle(x, &f, n, xl, xu, npt, w.data(), lw, iw.data(), &task, liw, maxfun, fhist.data(),
                 maxfun, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr,
                 nullptr, 0.1, 0, 0, 0, 0, 0, 0, 0, 0, 1e-9, message, sizeof message);
    if (task != BQASolver::kEvaluate) break;
    const std::vector<double> model = Simulate(x[0], x[1]);
    f = 0.0;
    for (int s = 0; s < kSamples; ++s) f += (model[s] - measured[s]) * (model[s] - measured[s]);
    ++evaluations;
  }
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  std::printf("%s\n", message);
  std::printf("evaluations  best misfit so far\n");
  double best = INFINITY;
  orvo_report::Series curve{"derivative-free (oscillator), best misfit", {}, false};
  for (int k = 0, next = 5; k < evaluations; ++k) {
    best = std::min(best, fhist[k]);
    curve.points.push_back({k + 1.0, best});
    if (k + 1 == next || k + 1 == evaluations) {
      std::printf("%11d  %.3e\n", k + 1, best);
      next *= 2;
    }
  }
  orvo_report::addDemoSeries(orvo_report::kConvergenceChart, "evaluation",
                             "residual norm or misfit", true, std::move(curve));
  std::printf(
      "omega %.8f rad/s (true %.2f), zeta %.8f (true %.2f): errors %.1e, %.1e; %d "
      "simulations, %.1f ms\n",
      x[0], kTrueOmega, x[1], kTrueZeta, std::abs(x[0] - kTrueOmega), std::abs(x[1] - kTrueZeta),
      evaluations, ms);
}

const DemoSection section("75-bobyqa", "Derivative-free calibration: oscillator within bounds",
                          &run);

}  // namespace
