// Radial basis function network: one-pass training and bulk evaluation, against a peer library's
// RBF models built on the same data.
//
// Problem: 20 000 training samples, 4 inputs uniform on [-2, 2], 1 output
//   y = sin(x1) cos(x2) + x3 x4 / 4 + tanh(x1 + x4) / 2,
// and 10^6 fresh samples of the same distribution for evaluation.
//   Orvo/Train            RBF(4, 200, 1).Train(X, T, 1000) (centres by k-means of a 1000-sample
//                         subsample, farthest-centre widths, least-squares output layer)
//   Orvo/Evaluate         ForwardPropagate over the 10^6 samples
//   Orvo/ProductsOnly     the two dense products the evaluation consists of (samples times
//                         centres, basis values times output weights), in the same row blocks and
//                         with nothing else: the speed the evaluation would have if forming the
//                         basis values were free
//   Peer/Build            the peer's hierarchical RBF model on the same 20 000 samples
//   Peer/Evaluate         the peer's thread-safe evaluation, point by point, over the first
//                         kPeerPoints of the evaluation samples (the full 10^6 would take over a
//                         minute)
// Counters: train_rms (on the training samples), test_rms (on all evaluated samples, against
// the exact function), points_per_s.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <random>
#include <vector>

#include "libalglib/interpolation.h"
#include "orvo/nnet.hpp"

using namespace Orvo;

namespace {

constexpr int kSamples = 20000, kInputs = 4, kCentres = 200, kSubsample = 1000;
constexpr int kPoints = 1000000, kPeerPoints = 100000;
// Seed 2: both sub-seeds it draws are positive, so every training run places the same centres.
constexpr int kSeed = 2;

double truth(const double* x) {
  return std::sin(x[0]) * std::cos(x[1]) + x[2] * x[3] / 4 + std::tanh(x[0] + x[3]) / 2;
}

struct Data {
  RMatrix X{kSamples, kInputs}, T{kSamples, 1}, E{kPoints, kInputs}, exact{kPoints, 1};
  alglib::real_2d_array xy;
  Data() {
    std::mt19937 engine(20261208);
    std::uniform_real_distribution<double> uniform(-2.0, 2.0);
    xy.setlength(kSamples, kInputs + 1);
    double x[kInputs];
    for (int i = 0; i < kSamples; ++i) {
      for (int l = 0; l < kInputs; ++l) X(i, l) = xy[i][l] = x[l] = uniform(engine);
      T(i, 0) = xy[i][kInputs] = truth(x);
    }
    for (int i = 0; i < kPoints; ++i) {
      for (int l = 0; l < kInputs; ++l) E(i, l) = x[l] = uniform(engine);
      exact(i, 0) = truth(x);
    }
  }
};

Data& data() {
  static Data d;
  return d;
}

RBF& trained() {
  static RBF net = [] {
    RBF n(kInputs, kCentres, 1);
    n.Seed(kSeed);
    n.Train(data().X, data().T, kSubsample);
    return n;
  }();
  return net;
}

double rmsAgainstExact(const double* predicted, int count) {
  double sum = 0.0;
  for (int i = 0; i < count; ++i) sum += std::pow(predicted[i] - data().exact(i, 0), 2);
  return std::sqrt(sum / count);
}

void OrvoTrain(benchmark::State& state) {
  Data& d = data();
  double error = 0.0;
  for (auto _ : state) {
    RBF net(kInputs, kCentres, 1);
    net.Seed(kSeed);
    error = net.Train(d.X, d.T, kSubsample);
    benchmark::DoNotOptimize(error);
  }
  state.counters["train_rms"] = error;
}
BENCHMARK(OrvoTrain)->Name("Orvo/Train")->Unit(benchmark::kMillisecond)->Iterations(5);

void OrvoEvaluate(benchmark::State& state) {
  Data& d = data();
  RBF& net = trained();
  RMatrix Y(kPoints, 1);
  for (auto _ : state) {
    net.ForwardPropagate(d.E, Y);
    benchmark::ClobberMemory();
  }
  state.counters["test_rms"] = rmsAgainstExact(Y.Array(), kPoints);
  // On the samples the peer is evaluated at, for a like-for-like error.
  state.counters["test_rms_peer_points"] = rmsAgainstExact(Y.Array(), kPeerPoints);
  state.counters["points_per_s"] = benchmark::Counter(
      static_cast<double>(kPoints), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(OrvoEvaluate)->Name("Orvo/Evaluate")->Unit(benchmark::kMillisecond)->Iterations(5);

// The same row blocks as ForwardPropagate (a design block of about 2^17 numbers).
void OrvoProductsOnly(benchmark::State& state) {
  RBF& net = trained();
  const int m = net.Centres().Height();
  const int rows = static_cast<int>((1L << 17) / (m + 1));
  RMatrix block(rows, kInputs), distances(rows, m), design(rows, m + 1), out(rows, 1);
  block = 0.5;
  design = 0.5;
  for (auto _ : state) {
    for (int first = 0; first < kPoints; first += rows) {
      distances = MatrixMultiply(block, net.Centres(), -2.0, 0.0, false, true);
      out = MatrixMultiply(design, net.OutputWeights(), 1.0, 0.0, false, false);
    }
    benchmark::ClobberMemory();
  }
  state.counters["points_per_s"] = benchmark::Counter(
      static_cast<double>(kPoints), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(OrvoProductsOnly)
    ->Name("Orvo/ProductsOnly")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

// The peer's hierarchical RBF model (compactly supported basis functions in layers of halving
// radius, an interpolant of the samples). Base radius 0.5, about 1.5 times the mean sample
// spacing here (0.34), and two layers: this setting builds in about half a minute; a base
// radius of 0.7 with three layers, or the peer's thin-plate spline, did not finish within several
// minutes, which this benchmark cannot afford.
constexpr double kPeerRadius = 0.5;
constexpr int kPeerLayers = 2;

alglib::rbfmodel& peerModel() {
  static alglib::rbfmodel model;
  return model;
}

// Built once, by the Build case (which therefore runs before the evaluation).
bool& peerBuilt() {
  static bool built = false;
  return built;
}

void PeerBuild(benchmark::State& state) {
  alglib::rbfreport report;
  for (auto _ : state) {
    alglib::rbfcreate(kInputs, 1, peerModel());
    alglib::rbfsetpoints(peerModel(), data().xy);
    alglib::rbfsetalgohierarchical(peerModel(), kPeerRadius, kPeerLayers, 0.0);
    alglib::rbfbuildmodel(peerModel(), report);
  }
  peerBuilt() = report.terminationtype == 1;
  state.counters["train_rms"] = report.rmserror;
  state.counters["termination"] = static_cast<double>(report.terminationtype);
}
BENCHMARK(PeerBuild)->Name("Peer/Build")->Unit(benchmark::kMillisecond)->Iterations(1);

void PeerEvaluate(benchmark::State& state) {
  if (!peerBuilt()) {
    state.SkipWithError("the peer's model was not built (run Peer/Build first)");
    return;
  }
  alglib::rbfmodel& model = peerModel();
  alglib::rbfcalcbuffer buffer;
  alglib::rbfcreatecalcbuffer(model, buffer);
  alglib::real_1d_array x, y;
  x.setlength(kInputs);
  y.setlength(1);
  std::vector<double> predicted(kPeerPoints);
  const RMatrix& E = data().E;
  for (auto _ : state) {
    for (int i = 0; i < kPeerPoints; ++i) {
      for (int l = 0; l < kInputs; ++l) x[l] = E(i, l);
      alglib::rbftscalcbuf(model, buffer, x, y);
      predicted[i] = y[0];
    }
    benchmark::ClobberMemory();
  }
  state.counters["test_rms"] = rmsAgainstExact(predicted.data(), kPeerPoints);
  state.counters["points_per_s"] = benchmark::Counter(
      static_cast<double>(kPeerPoints), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(PeerEvaluate)->Name("Peer/Evaluate")->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
