// Perceptron training: time-to-error of the three trainer solvers against a peer library's
// Levenberg-Marquardt perceptron trainer (exact Hessian, weight decay 0.001, one start).
//
// Problem: 2 000 samples, 4 inputs uniform on [-2, 2], 16 hidden units, 1 output
//   y = sin(x1) cos(x2) + x3 x4 / 4 + tanh(x1 + x4) / 2.
// Every case trains from 10 seeds and reports medians over them:
//   Peer/...            wall time of one full training run and its final error
//   <solver>/...        wall time and final error of a run to the trainer's default stopping
//                       rules, and "to_peer_error_s", the time until the error first reaches
//                       the peer's median final error ("reached" counts the seeds that got
//                       there; a seed that never does counts as infinitely slow, so the median
//                       is infinite when fewer than half get there).
// Errors are sums of squared residuals over all samples. "time_vs_peer" is the median
// time-to-error divided by the peer's median training time, measured in the same run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <vector>

#include "libalglib/dataanalysis.h"
#include "orvo/nnet.hpp"
#include "timing.hpp"

using namespace Orvo;

namespace {

constexpr int kSamples = 2000, kInputs = 4, kHidden = 16, kSeeds = 10;
constexpr double kPeerDecay = 0.001;

struct Data {
  RMatrix X{kSamples, kInputs}, Y{kSamples, 1};
  alglib::real_2d_array xy;
  Data() {
    std::mt19937 engine(20261208);
    std::uniform_real_distribution<double> uniform(-2.0, 2.0);
    xy.setlength(kSamples, kInputs + 1);
    for (int i = 0; i < kSamples; ++i) {
      for (int l = 0; l < kInputs; ++l) X(i, l) = xy[i][l] = uniform(engine);
      Y(i, 0) = std::sin(X(i, 0)) * std::cos(X(i, 1)) + X(i, 2) * X(i, 3) / 4 +
                std::tanh(X(i, 0) + X(i, 3)) / 2;
      xy[i][kInputs] = Y(i, 0);
    }
  }
};

Data& data() {
  static Data d;
  return d;
}

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

using support::median;

struct PeerResult {
  double time = 0, error = 0;
};

PeerResult& peer() {
  static PeerResult result = [] {
    std::vector<double> times, errors;
    for (int seed = 1; seed <= kSeeds; ++seed) {
      std::srand(seed);  // the peer draws its random start from the C library generator
      alglib::multilayerperceptron net;
      alglib::mlpcreate1(kInputs, kHidden, 1, net);
      alglib::ae_int_t info = 0;
      alglib::mlpreport report;
      const auto start = std::chrono::steady_clock::now();
      alglib::mlptrainlm(net, data().xy, kSamples, kPeerDecay, 1, info, report);
      times.push_back(seconds(start));
      errors.push_back(2.0 * alglib::mlperror(net, data().xy, kSamples));  // it reports E/2
    }
    return PeerResult{median(times), median(errors)};
  }();
  return result;
}

void Peer(benchmark::State& state) {
  for (auto _ : state) state.SetIterationTime(peer().time);
  state.counters["final_error"] = peer().error;
}

void Trainer(benchmark::State& state) {
  const auto type = static_cast<MLPTrainer::trainerType>(state.range(0));
  const double target = peer().error;
  std::vector<double> toTarget, finals, totals;
  int reached = 0;
  for (auto _ : state) {
    for (int seed = 1; seed <= kSeeds; ++seed) {
      MLPTrainer trainer(kHidden, data().X, data().Y, type);
      trainer.Seed(seed);
      const auto start = std::chrono::steady_clock::now();
      double hit = -1;
      int status = 1;
      while (status == 1) {
        status = trainer.Cycle();
        if (hit < 0 && trainer.Err() <= target) hit = seconds(start);
      }
      trainer.restoreBest();
      totals.push_back(seconds(start));
      finals.push_back(trainer.Err());
      if (hit >= 0) ++reached;
      toTarget.push_back(hit >= 0 ? hit : std::numeric_limits<double>::infinity());
    }
    state.SetIterationTime(median(totals));
  }
  state.counters["reached"] = reached;
  state.counters["final_error"] = median(finals);
  state.counters["to_peer_error_s"] = median(toTarget);
  state.counters["time_vs_peer"] = median(toTarget) / peer().time;
  state.counters["peer_error"] = target;
}

}  // namespace

BENCHMARK(Peer)
    ->Name("Peer/mlptrainlm")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(Trainer)
    ->Name("Trainer/lmderChol")
    ->Arg(MLPTrainer::lmderChol)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(Trainer)
    ->Name("Trainer/lmder")
    ->Arg(MLPTrainer::lmder)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(Trainer)
    ->Name("Trainer/vf13")
    ->Arg(MLPTrainer::vf13)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
