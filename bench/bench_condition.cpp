// Cost of the condition estimates against the factorisations they follow: LUDecomp::RCond and
// CholRCond at n = 1000 beside the factorisation itself, and the sparse estimate beside the
// first sparse solve and the numeric refactorisation of ReSolve. The ratio estimate / factorisation
// is the figure of interest.
#include <random>

#include <benchmark/benchmark.h>

#include "orvo/dense_solvers.hpp"
#include "orvo/sparse.hpp"
#include "random_matrices.hpp"

using namespace Orvo;

namespace {

RMatrix randomMatrix(int n, bool spd) {
  return spd ? support::randomSpd(n, 7) : support::randomMatrix(n, n, 7);
}

void LuFactorisation(benchmark::State& state) {
  const RMatrix A = randomMatrix(static_cast<int>(state.range(0)), false);
  for (auto _ : state) {
    LUDecomp lu(A);
    benchmark::DoNotOptimize(lu.Factors().Array());
  }
}

void LuConditionEstimate(benchmark::State& state) {
  const LUDecomp lu(randomMatrix(static_cast<int>(state.range(0)), false));
  for (auto _ : state) benchmark::DoNotOptimize(lu.RCond());
}

void CholeskyFactorisation(benchmark::State& state) {
  const RMatrix A = randomMatrix(static_cast<int>(state.range(0)), true);
  for (auto _ : state) {
    RMatrix F = CholDecomp(A, 0.0);
    benchmark::DoNotOptimize(F.Array());
  }
}

void CholeskyConditionEstimate(benchmark::State& state) {
  const RMatrix A = randomMatrix(static_cast<int>(state.range(0)), true);
  const RMatrix F = CholDecomp(A, 0.0);
  for (auto _ : state) benchmark::DoNotOptimize(CholRCond(A, F, 0.0));
}

// 2-D Laplacian on a g x g grid.
sparseMatrix laplacian(int g) {
  const int n = g * g;
  sparseMatrix s(5 * n, n, n);
  for (int i = 0; i < g; ++i)
    for (int j = 0; j < g; ++j) {
      const int k = i * g + j;
      s.SetAt(k, k, 4.0);
      if (i > 0) s.SetAt(k, k - g, -1.0);
      if (i + 1 < g) s.SetAt(k, k + g, -1.0);
      if (j > 0) s.SetAt(k, k - 1, -1.0);
      if (j + 1 < g) s.SetAt(k, k + 1, -1.0);
    }
  return s;
}

void SparseFirstSolve(benchmark::State& state) {
  const int g = static_cast<int>(state.range(0));
  mvlarray<double> b(g * g), x(g * g);
  for (int i = 0; i < g * g; ++i) b[i] = 1.0;
  for (auto _ : state) {
    sparseMatrix A = laplacian(g);
    benchmark::DoNotOptimize(A.Solve(b, x));
  }
}

// The numeric refactorisation alone (same pattern, ordering and analysis kept), the cheapest
// factorisation a caller can have; the estimate is also measured against it.
void SparseRefactorisation(benchmark::State& state) {
  const int g = static_cast<int>(state.range(0));
  mvlarray<double> b(g * g), x(g * g);
  for (int i = 0; i < g * g; ++i) b[i] = 1.0;
  sparseMatrix A = laplacian(g);
  A.Solve(b, x);
  for (auto _ : state) benchmark::DoNotOptimize(A.ReSolve(b, x));
}

void SparseConditionEstimate(benchmark::State& state) {
  const int g = static_cast<int>(state.range(0));
  mvlarray<double> b(g * g), x(g * g);
  for (int i = 0; i < g * g; ++i) b[i] = 1.0;
  sparseMatrix A = laplacian(g);
  A.Solve(b, x);
  for (auto _ : state) benchmark::DoNotOptimize(A.RCond());
}

}  // namespace

BENCHMARK(LuFactorisation)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(LuConditionEstimate)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(CholeskyFactorisation)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(CholeskyConditionEstimate)->Arg(1000)->Unit(benchmark::kMillisecond);
// Grids of 32 x 32 (n = 1024) and 100 x 100 (n = 10 000) unknowns.
BENCHMARK(SparseFirstSolve)->Arg(32)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(SparseRefactorisation)->Arg(32)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(SparseConditionEstimate)->Arg(32)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
