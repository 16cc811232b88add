// Products, distance matrices and element functions against the raw kernels and a peer library.
//
//   Product/n          RMatrix C = MatrixMultiply(A, B, ...) into a matrix of the right shape
//   RawDgemm/n         the same dgemm call made directly on plain arrays
//   Euclidean2/...     10 000 x 32 against 1 000 x 32 points
//   PairLoop/...       the same squared distances by a plain double loop over pairs
//   EigenDistances/... Eigen's expression |a|^2 + |b|^2 - 2 A B^T
//   Apply...           element functions over 10^6 elements (items/s = elements per second)
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <random>
#include <vector>

#include "kernel/dense/fortran_blas_lapack.hpp"
#include "orvo/matrix.hpp"
#include "random_matrices.hpp"

using namespace Orvo;

namespace {
using support::randomMatrix;

void Product(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  RMatrix A = randomMatrix(n, n, 1), B = randomMatrix(n, n, 2), C(n, n);
  C = 0.0;
  const int allocsBefore = OrvoallocCalls();
  for (auto _ : state) {
    C = MatrixMultiply(A, B, 1.0, 0.0, false, false);
    benchmark::DoNotOptimize(C.Array());
  }
  state.counters["allocations"] = OrvoallocCalls() - allocsBefore;
  state.counters["GFLOPS"] = benchmark::Counter(
      2.0 * n * n * n, benchmark::Counter::kIsIterationInvariantRate, benchmark::Counter::kIs1000);
}

void RawDgemm(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  RMatrix A = randomMatrix(n, n, 1), B = randomMatrix(n, n, 2);
  std::vector<double> c(static_cast<size_t>(n) * n, 0.0);
  const double one = 1.0, zero = 0.0;
  for (auto _ : state) {
    dgemm_("N", "N", &n, &n, &n, &one, A.Array(), &n, B.Array(), &n, &zero, c.data(), &n, 1, 1);
    benchmark::DoNotOptimize(c.data());
  }
  state.counters["GFLOPS"] = benchmark::Counter(
      2.0 * n * n * n, benchmark::Counter::kIsIterationInvariantRate, benchmark::Counter::kIs1000);
}

constexpr int kPointsA = 10000, kPointsB = 1000, kDims = 32;

void Distances(benchmark::State& state) {
  RMatrix A = randomMatrix(kPointsA, kDims, 3), B = randomMatrix(kPointsB, kDims, 4);
  RMatrix D(kPointsA, kPointsB);
  D = 0.0;  // first-touch page faults of the 80 MB target are not the distance computation
  for (auto _ : state) {
    D = Euclidean2(A, B);
    benchmark::DoNotOptimize(D.Array());
  }
}

void PairLoop(benchmark::State& state) {
  RMatrix A = randomMatrix(kPointsA, kDims, 3), B = randomMatrix(kPointsB, kDims, 4);
  RMatrix D(kPointsA, kPointsB);
  D = 0.0;  // first-touch page faults of the 80 MB target are not the distance computation
  for (auto _ : state) {
    for (int j = 0; j < kPointsB; ++j)
      for (int i = 0; i < kPointsA; ++i) {
        double sum = 0.0;
        for (int c = 0; c < kDims; ++c) {
          const double d = A(i, c) - B(j, c);
          sum += d * d;
        }
        D(i, j) = sum;
      }
    benchmark::DoNotOptimize(D.Array());
  }
}

void EigenDistances(benchmark::State& state) {
  Eigen::MatrixXd A = Eigen::MatrixXd::Random(kPointsA, kDims);
  Eigen::MatrixXd B = Eigen::MatrixXd::Random(kPointsB, kDims);
  Eigen::MatrixXd D = Eigen::MatrixXd::Zero(kPointsA, kPointsB);
  for (auto _ : state) {
    D.noalias() = -2.0 * A * B.transpose();
    D.colwise() += A.rowwise().squaredNorm();
    D.rowwise() += B.rowwise().squaredNorm().transpose();
    benchmark::DoNotOptimize(D.data());
  }
}

template <class F>
void ApplyFunction(benchmark::State& state) {
  const int n = 1000000;
  RMatrix M = randomMatrix(n, 1, 5);
  for (auto _ : state) {
    M = Apply<F>(n, 1);
    benchmark::DoNotOptimize(M.Array());
  }
  state.SetItemsProcessed(state.iterations() * n);
}

void MemoryCopy(benchmark::State& state) {
  const int n = 1000000;
  RMatrix M = randomMatrix(n, 1, 5), N(n, 1);
  N = 0.0;
  for (auto _ : state) {
    N = M;
    benchmark::DoNotOptimize(N.Array());
  }
  state.SetItemsProcessed(state.iterations() * n);
}
}  // namespace

BENCHMARK(Product)->Arg(64)->Arg(256)->Arg(1024)->Unit(benchmark::kMicrosecond);
BENCHMARK(RawDgemm)->Arg(64)->Arg(256)->Arg(1024)->Unit(benchmark::kMicrosecond);
BENCHMARK(Distances)->Unit(benchmark::kMillisecond);
BENCHMARK(PairLoop)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(EigenDistances)->Unit(benchmark::kMillisecond);
BENCHMARK(ApplyFunction<mySqrt>)->Unit(benchmark::kMicrosecond);
BENCHMARK(ApplyFunction<matLogistic>)->Unit(benchmark::kMicrosecond);
BENCHMARK(ApplyFunction<matCauchy>)->Unit(benchmark::kMicrosecond);
BENCHMARK(MemoryCopy)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
