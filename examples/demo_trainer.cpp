// Perceptron training: one network fitted by each of the three solvers, with a live one-line
// progress display, then the results side by side.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <utility>
#include <vector>

#include <unistd.h>

#include "demo_section.hpp"
#include "orvo/nnet.hpp"
#include "report/svg_report.hpp"

using namespace Orvo;

namespace {

constexpr int kSamples = 300, kHidden = 8, kSeed = 2024;

// Progress display: on a terminal one line rewritten after every step; into a file or pipe only
// the last state of that line, so that logs stay readable.
class Progress : public FunctorBase_RRretI {
 public:
  explicit Progress(const char* solver) : solver_(solver), live_(isatty(fileno(stdout)) != 0) {}
  int operator()(double error, double relativeChange) override {
    ++steps_;
    error_ = error;
    curve_.push_back({steps_, error});
    change_ = relativeChange;
    if (live_) show();
    return 1;
  }
  void finish() const {
    show();
    std::printf("\n");
  }
  int steps() const { return steps_; }
  const std::vector<std::pair<double, double>>& curve() const { return curve_; }

 private:
  void show() const {
    std::printf("\r  %-10s step %4d   error %12.6e   relative change %9.2e", solver_, steps_,
                error_, change_);
    std::fflush(stdout);
  }
  const char* solver_;
  bool live_;
  int steps_ = 0;
  double error_ = 0.0, change_ = 0.0;
  std::vector<std::pair<double, double>> curve_;  // (step, error)
};

struct Outcome {
  const char* name;
  int status, steps;
  double start, final, milliseconds;
};

void run() {
  // A smooth surface on [-2, 2]^2, sampled along two irrational rotations.
  RMatrix X(kSamples, 2), Y(kSamples, 1);
  for (int i = 0; i < kSamples; ++i) {
    const double u = 0.5 + i * 0.6180339887498949, v = 0.5 + i * 0.7548776662466927;
    X(i, 0) = -2.0 + 4.0 * (u - std::floor(u));
    X(i, 1) = -2.0 + 4.0 * (v - std::floor(v));
    Y(i, 0) = std::sin(X(i, 0)) * std::cos(X(i, 1)) + X(i, 0) * X(i, 1) / 4.0;
  }
  std::printf("%d samples of y = sin(x1) cos(x2) + x1 x2 / 4, %d hidden units, seed %d\n", kSamples,
              kHidden, kSeed);
  std::printf(
      "(error = sum of squared residuals; stopping at error < %.1e or relative change "
      "< 1e-5, at most %d steps)\n",
      kSamples * 1e-5, MLPTrainer::kDefaultIterationLimit);

  const struct {
    MLPTrainer::trainerType type;
    const char* name;
  } solvers[] = {{MLPTrainer::lmderChol, "lmderChol"},
                 {MLPTrainer::lmder, "lmder"},
                 {MLPTrainer::vf13, "vf13"}};
  Outcome outcomes[std::size(solvers)];
  orvo_report::Chart curves{"Perceptron training", "step", "sum of squared errors", true, {}};
  int k = 0;
  for (const auto& solver : solvers) {
    MLPTrainer trainer(kHidden, X, Y, solver.type);
    trainer.Seed(kSeed);
    Progress progress(solver.name);
    const auto start = std::chrono::steady_clock::now();
    // The first step evaluates the random start; Solve then trains on from there.
    trainer.Cycle();
    const double startError = trainer.Err();
    const int status = trainer.Solve(progress);
    trainer.restoreBest();
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    progress.finish();
    curves.series.push_back({solver.name, progress.curve(), false});
    curves.series.back().points.insert(curves.series.back().points.begin(), {0.0, startError});
    outcomes[k++] = {solver.name, status, progress.steps() + 1, startError, trainer.Err(), ms};
  }

  orvo_report::demoCharts().push_back(std::move(curves));
  std::printf("\n  %-10s %12s %14s %9s %7s %10s\n", "solver", "start error", "final error",
              "reduction", "steps", "time (ms)");
  for (const Outcome& o : outcomes)
    std::printf("  %-10s %12.4e %14.6e %8.0fx %7d %10.1f   %s\n", o.name, o.start, o.final,
                o.start / o.final, o.steps, o.milliseconds,
                o.status == 0 ? "converged" : "iteration limit");
}

const DemoSection section("80-trainer", "Perceptron trainer", &run);

}  // namespace
