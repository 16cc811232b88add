// Nonlinear least squares: fitting a radioactive-decay curve with background,
// counts(t) = A exp(-k t) + B, to twelve built-in measurements.
#include <cmath>
#include <cstdio>

#include "demo_section.hpp"
#include "orvo/nonlinear.hpp"

using namespace Orvo;

namespace {
// Count rate (1/s) of a sample measured every 5 minutes.
constexpr int kSamples = 12;
const double kMinutes[kSamples] = {0, 5, 10, 15, 20, 25, 30, 35, 40, 45, 50, 55};
const double kCounts[kSamples] = {1012.0, 783.5, 612.1, 481.9, 384.2, 309.7,
                                  252.8,  211.3, 178.6, 154.9, 135.8, 121.4};

// Residuals model - data and the Jacobian with respect to (A, k, B).
struct DecayFit : FunctorBase_AA, FunctorBase_AM {
  void operator()(mvlarray<double>& p, mvlarray<double>& r) override {
    for (int i = 0; i < kSamples; ++i)
      r[i] = p[0] * std::exp(-p[1] * kMinutes[i]) + p[2] - kCounts[i];
  }
  void operator()(mvlarray<double>& p, RMatrix& J) override {
    for (int i = 0; i < kSamples; ++i) {
      const double e = std::exp(-p[1] * kMinutes[i]);
      J(i, 0) = e;
      J(i, 1) = -kMinutes[i] * p[0] * e;
      J(i, 2) = 1.0;
    }
  }
};

double residualNorm(DecayFit& model, mvlarray<double>& p) {
  mvlarray<double> r(kSamples);
  model(p, r);
  double s = 0.0;
  for (int i = 0; i < kSamples; ++i) s += r[i] * r[i];
  return std::sqrt(s);
}

void run() {
  DecayFit model;

  // One call with callbacks.
  mvlarray<double> p(3);
  p[0] = 500.0;  // rough guesses: amplitude, rate per minute, background
  p[1] = 0.01;
  p[2] = 0.0;
  std::printf("start: A = %.1f, k = %.4f/min, B = %.1f, |r| = %.2f\n", p[0], p[1], p[2],
              residualNorm(model, p));
  lmderSolver solver(kSamples, 3, p, 1e-10);
  const int code = solver.Solve(model, model, 1000);
  std::printf("lmderSolver::Solve -> %d, info %d after %d residual and %d Jacobian evaluations\n",
              code, solver.Info(), solver.nFev(), solver.nJev());
  std::printf("fit:   A = %.2f, k = %.5f/min (half-life %.2f min), B = %.2f, |r| = %.3f\n", p[0],
              p[1], std::log(2.0) / p[1], p[2], residualNorm(model, p));

  // The same fit served request by request, as a caller without callback objects would.
  mvlarray<double> q(3);
  q[0] = 500.0;
  q[1] = 0.01;
  q[2] = 0.0;
  lmderSolver stepper(kSamples, 3, q, 1e-10);
  int flag = 0, requests = 0;
  do {
    stepper.Cycle(flag);
    if (flag == 1 || flag == 3) model(stepper.Xvec(), stepper.Fvec());
    if (flag == 2) model(stepper.Xvec(), stepper.Fjac());
    ++requests;
  } while (flag != 0);
  std::printf("served by hand: %d requests, same point: %s\n", requests - 1,
              (q[0] == p[0] && q[1] == p[1] && q[2] == p[2]) ? "yes" : "no");

  // The damped normal-equation variant has no stopping rule of its own: the caller decides.
  mvlarray<double> c(3);
  c[0] = 500.0;
  c[1] = 0.01;
  c[2] = 0.0;
  lmderCholSolver chol(kSamples, 3, c, 0.0);
  double previous = 0.0;
  int cycles = 0;
  for (; cycles < 500; ++cycles) {
    const int state = chol.Cycle(model, model);
    if (state == 5) {  // a step was accepted
      if (previous > 0.0 && previous - chol.SumOfSquares() < 1e-12 * previous) break;
      previous = chol.SumOfSquares();
    }
  }
  double tNormal, tSolve, tFunction, tJacobian;
  chol.GetTimes(tNormal, tSolve, tFunction, tJacobian);
  mvlarray<double>& fitted = chol.Xvec();
  std::printf(
      "lmderCholSolver after %d cycles: A = %.2f, k = %.5f/min, B = %.2f, |r| = %.3f, "
      "lambda = %.1e\n",
      cycles, fitted[0], fitted[1], fitted[2], std::sqrt(chol.SumOfSquares()), chol.Lambda());
  std::printf(
      "phase times (ms): normal equations %.3f, solves %.3f, residuals %.3f, "
      "Jacobians %.3f\n",
      1e3 * tNormal, 1e3 * tSolve, 1e3 * tFunction, 1e3 * tJacobian);
}

const DemoSection section("50-lm", "Levenberg-Marquardt curve fitting", &run);
}  // namespace
