// Perceptron of 10 inputs, 32 hidden units and 3 outputs on 10 000 samples.
//
//   Forward / BackPropagate / Jacobian...    the network operations, one call per iteration
//   ...BlasOnly                              the dgemm calls that operation makes, alone, on
//                                            the same shapes: the ratio is the BLAS share
//   LogisticVector / LogisticScalarStdExp    the logistic over the 10 000 x 32 hidden block
//                                            through VML_vdExp/VML_vdInv, and as a scalar loop
//   ExpVector / ExpScalarStdExp              the exponential alone, same block
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "kernel/dense/dense_kernels.hpp"
#include "kernel/vml/vml_kernels.hpp"
#include "orvo/nnet.hpp"
#include "random_matrices.hpp"

using namespace Orvo;

namespace {

constexpr int kSamples = 10000, kInputs = 10, kHidden = 32, kOutputs = 3;

using support::randomMatrix;

MLP randomNetwork() {
  MLP net(kInputs, kHidden, kOutputs);
  std::mt19937 engine(7);
  std::normal_distribution<double> normal(0.0, 0.5);
  mvlarray<double> w(net.nwts());
  for (int p = 0; p < w.Length(); ++p) w[p] = normal(engine);
  net.SetWeights(w);
  return net;
}

// C (m x n) = op(A) op(B) with beta 1 or 0, leading dimensions the heights.
void gemm(const char* ta, const char* tb, int m, int n, int k, const double* a, int lda,
          const double* b, int ldb, double beta, double* c) {
  const double one = 1.0;
  BLAS_DGEMM(ta, tb, &m, &n, &k, &one, a, &lda, b, &ldb, &beta, c, &m);
}

void Forward(benchmark::State& state) {
  MLP net = randomNetwork();
  RMatrix X = randomMatrix(kSamples, kInputs, 1), H(kSamples, kHidden), Y(kSamples, kOutputs);
  for (auto _ : state) {
    net.ForwardPropagate(X, H, Y);
    benchmark::DoNotOptimize(Y.Array());
  }
}

void ForwardBlasOnly(benchmark::State& state) {
  MLP net = randomNetwork();
  RMatrix X = randomMatrix(kSamples, kInputs, 1), H(kSamples, kHidden), Y(kSamples, kOutputs);
  for (auto _ : state) {
    gemm("N", "N", kSamples, kHidden, kInputs, X.Array(), kSamples, net.Weights1().Array(), kInputs,
         1.0, H.Array());
    gemm("N", "N", kSamples, kOutputs, kHidden, H.Array(), kSamples, net.Weights2().Array(),
         kHidden, 1.0, Y.Array());
    benchmark::DoNotOptimize(Y.Array());
  }
}

void BackPropagate(benchmark::State& state) {
  MLP net = randomNetwork();
  RMatrix X = randomMatrix(kSamples, kInputs, 1), H(kSamples, kHidden), Y(kSamples, kOutputs);
  net.ForwardPropagate(X, H, Y);
  RMatrix D = randomMatrix(kSamples, kOutputs, 2);
  mvlarray<double> g(net.nwts());
  for (auto _ : state) {
    net.BackPropagate(X, H, D, g);
    benchmark::DoNotOptimize(g.Array());
  }
}

void BackPropagateBlasOnly(benchmark::State& state) {
  MLP net = randomNetwork();
  RMatrix X = randomMatrix(kSamples, kInputs, 1), H = randomMatrix(kSamples, kHidden, 3);
  RMatrix D = randomMatrix(kSamples, kOutputs, 2), G2(kHidden, kOutputs), G1(kInputs, kHidden);
  RMatrix delta(kSamples, kHidden);
  for (auto _ : state) {
    gemm("T", "N", kHidden, kOutputs, kSamples, H.Array(), kSamples, D.Array(), kSamples, 0.0,
         G2.Array());
    gemm("N", "T", kSamples, kHidden, kOutputs, D.Array(), kSamples, net.Weights2().Array(),
         kHidden, 0.0, delta.Array());
    gemm("T", "N", kInputs, kHidden, kSamples, X.Array(), kSamples, delta.Array(), kSamples, 0.0,
         G1.Array());
    benchmark::DoNotOptimize(G1.Array());
  }
}

// range(0): 0 = hidden-layer columns only, 1 = all weights.
void Jacobian(benchmark::State& state) {
  MLP net = randomNetwork();
  RMatrix X = randomMatrix(kSamples, kInputs, 1);
  RMatrix J(kSamples * kOutputs, state.range(0) ? net.nwts() : net.hiddenWeightCount());
  J = 0.0;  // first-touch page faults are not part of the operation
  for (auto _ : state) {
    net.ComputeJacobian(X, J);
    benchmark::DoNotOptimize(J.Array());
  }
  state.counters["columns"] = J.Width();
}

void JacobianBlasOnly(benchmark::State& state) {
  MLP net = randomNetwork();
  RMatrix X = randomMatrix(kSamples, kInputs, 1), H(kSamples, kHidden);
  for (auto _ : state) {
    gemm("N", "N", kSamples, kHidden, kInputs, X.Array(), kSamples, net.Weights1().Array(), kInputs,
         1.0, H.Array());
    benchmark::DoNotOptimize(H.Array());
  }
}

// Hidden pre-activations of a plausible spread.
std::vector<double> preActivations() {
  std::mt19937 engine(5);
  std::normal_distribution<double> normal(0.0, 3.0);
  std::vector<double> z(static_cast<size_t>(kSamples) * kHidden);
  for (double& v : z) v = normal(engine);
  return z;
}

void LogisticVector(benchmark::State& state) {
  const std::vector<double> z = preActivations();
  std::vector<double> h(z.size());
  const int count = static_cast<int>(z.size());
  for (auto _ : state) {
    for (int k = 0; k < count; ++k) h[k] = -z[k];
    VML_vdExp(count, h.data(), h.data());
    for (int k = 0; k < count; ++k) h[k] += 1.0;
    VML_vdInv(count, h.data(), h.data());
    benchmark::DoNotOptimize(h.data());
  }
  state.SetItemsProcessed(state.iterations() * count);
}

void LogisticScalarStdExp(benchmark::State& state) {
  const std::vector<double> z = preActivations();
  std::vector<double> h(z.size());
  const int count = static_cast<int>(z.size());
  for (auto _ : state) {
    for (int k = 0; k < count; ++k) h[k] = 1.0 / (1.0 + std::exp(-z[k]));
    benchmark::DoNotOptimize(h.data());
  }
  state.SetItemsProcessed(state.iterations() * count);
}

void ExpVector(benchmark::State& state) {
  const std::vector<double> z = preActivations();
  std::vector<double> h(z.size());
  const int count = static_cast<int>(z.size());
  for (auto _ : state) {
    VML_vdExp(count, z.data(), h.data());
    benchmark::DoNotOptimize(h.data());
  }
  state.SetItemsProcessed(state.iterations() * count);
}

void ExpScalarStdExp(benchmark::State& state) {
  const std::vector<double> z = preActivations();
  std::vector<double> h(z.size());
  const int count = static_cast<int>(z.size());
  for (auto _ : state) {
    for (int k = 0; k < count; ++k) h[k] = std::exp(z[k]);
    benchmark::DoNotOptimize(h.data());
  }
  state.SetItemsProcessed(state.iterations() * count);
}

}  // namespace

BENCHMARK(Forward)->Unit(benchmark::kMicrosecond);
BENCHMARK(ForwardBlasOnly)->Unit(benchmark::kMicrosecond);
BENCHMARK(BackPropagate)->Unit(benchmark::kMicrosecond);
BENCHMARK(BackPropagateBlasOnly)->Unit(benchmark::kMicrosecond);
BENCHMARK(Jacobian)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(JacobianBlasOnly)->Unit(benchmark::kMicrosecond);
BENCHMARK(LogisticVector)->Unit(benchmark::kMicrosecond);
BENCHMARK(LogisticScalarStdExp)->Unit(benchmark::kMicrosecond);
BENCHMARK(ExpVector)->Unit(benchmark::kMicrosecond);
BENCHMARK(ExpScalarStdExp)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
