// Dense solvers against the raw LAPACK routines behind them, measured in the same run.
//
// The machine is shared, so every case is timed in pairs: each iteration restores the inputs
// (untimed), runs the library's operation, restores again and runs the reference, both on the
// thread's CPU clock. Counters (milliseconds per call): `orvo`, `lapack` (the raw Fortran calls on
// plain arrays, nothing else), `ratio` = orvo / lapack, and `copies`, the time of the copies the
// library makes to leave the caller's operands intact (measured alone as plain memory copies).
// One untimed call of each side comes first: the library obtains its private storage per call,
// and the first touch of a fresh 32 MB block (n = 2000) costs page faults that later calls, which
// get the block back from the heap, do not pay.
//
//   LinSolveLapack/n    X = LinSolve(A, B, 0)             vs dgesv
//   LUDecompSolve/n     LUDecomp lu(A); X = LUSolve(lu, B) vs dgetrf + dgetrs
//   SPDSolveCase/n      X = SPDSolve(A, B, 0.5)          vs dpotrf + dpotrs, and vs the same
//                       calls on a fresh private copy of A's upper triangle
//   LsqSolveCase/n      X = LsqSolve(A, B, 1e-10), A 2n x n vs 2 dgemm + dpotrf + dpotrs
//   SVDecompCase/n      SVDecomp svd(A)                   vs dgesdd query + dgesdd
//   LinSolveRoutes/n    LinSolve below (LINPACK) and at (LAPACK) the threshold: ratio < 1 means
//                       the classical route wins at that order
//   BandedSolve/n       BandedMatrix(n, 2, 2).Solve after the first (factorising) solve;
//                       `us_per_solve`, `bytes` of band storage
#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <random>
#include <vector>

#include "kernel/dense/fortran_blas_lapack.hpp"
#include "orvo/dense_solvers.hpp"
#include "random_matrices.hpp"
#include "timing.hpp"

using namespace Orvo;

namespace {

using support::threadSeconds;

using support::randomMatrix;

using support::randomSpd;

void restore(std::vector<double>& to, const RMatrix& from) {
  std::copy(from.Array(), from.Array() + to.size(), to.begin());
}

std::vector<double> plain(const RMatrix& m) {
  return std::vector<double>(m.Array(), m.Array() + static_cast<long>(m.Height()) * m.Width());
}

// Accumulates the paired timings and publishes them as counters.
struct PairedTimes {
  double orvo = 0.0, reference = 0.0, copies = 0.0;
  void publish(benchmark::State& state) const {
    const double calls = static_cast<double>(state.iterations());
    state.counters["orvo"] = 1e3 * orvo / calls;
    state.counters["lapack"] = 1e3 * reference / calls;
    state.counters["ratio"] = orvo / reference;
    state.counters["copies"] = 1e3 * copies / calls;
  }
};

// Times `body` on the thread clock and adds the time to `total`; returns it.
template <class Body>
double timed(double& total, Body&& body) {
  const double start = threadSeconds();
  body();
  const double elapsed = threadSeconds() - start;
  total += elapsed;
  return elapsed;
}

// The copies made by the library, timed alone as one plain copy between buffers that are
// allocated once (allocating them per call would make the heap trim and regrow, and every
// iteration of the library's side would then pay fresh page faults).
double timeCopies(const std::vector<double>& from, std::vector<double>& to) {
  const double start = threadSeconds();
  std::copy(from.begin(), from.end(), to.begin());
  benchmark::DoNotOptimize(to.data());
  return threadSeconds() - start;
}

// One untimed warm-up of both sides, then paired timings. `prepare*` restore the inputs that the
// calls overwrite and are not timed.
template <class PrepareOrvo, class Orvo, class PrepareReference, class Reference>
void runPaired(benchmark::State& state, PrepareOrvo prepareOrvo, Orvo orvo,
               PrepareReference prepareReference, Reference reference, long copiedElements) {
  const std::vector<double> copyFrom(copiedElements, 1.0);
  std::vector<double> copyTo(copiedElements);
  prepareOrvo();
  orvo();
  prepareReference();
  reference();
  PairedTimes times;
  for (auto _ : state) {
    prepareOrvo();
    state.SetIterationTime(timed(times.orvo, orvo));
    prepareReference();
    timed(times.reference, reference);
    if (copiedElements > 0) times.copies += timeCopies(copyFrom, copyTo);
  }
  times.publish(state);
}

constexpr int kRightHandSides = 1;

void LinSolveLapack(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0)), nrhs = kRightHandSides;
  const RMatrix A0 = randomMatrix(n, n, 1), B = randomMatrix(n, nrhs, 2);
  RMatrix A(A0), X(n, nrhs);
  std::vector<double> a = plain(A0), b = plain(B);
  std::vector<int> pivots(n);
  runPaired(
      state, [&] { A = A0; }, [&] { X = LinSolve(A, B, 0); },
      [&] {
        restore(a, A0);
        restore(b, B);
      },
      [&] {
        int info = 0;
        dgesv_(&n, &nrhs, a.data(), &n, pivots.data(), b.data(), &n, &info);
      },
      static_cast<long>(n) * nrhs);
}

void LUDecompSolve(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0)), nrhs = kRightHandSides;
  const RMatrix A = randomMatrix(n, n, 3), B = randomMatrix(n, nrhs, 4);
  RMatrix X(n, nrhs);
  std::vector<double> a = plain(A), b = plain(B);
  std::vector<int> pivots(n);
  runPaired(
      state, [] {},
      [&] {
        LUDecomp lu(A);
        X = LUSolve(lu, B);
      },
      [&] {
        restore(a, A);
        restore(b, B);
      },
      [&] {
        int info = 0;
        dgetrf_(&n, &n, a.data(), &n, pivots.data(), &info);
        dgetrs_("N", &n, &nrhs, a.data(), &n, pivots.data(), b.data(), &n, &info, 1);
      },
      static_cast<long>(n) * (n + nrhs));
}

// Three sides per iteration: the library, the bare LAPACK calls, and the least any solve that
// leaves A intact must do on top of them: obtain a private n x n block, copy A's upper triangle
// into it (dpotrf "U" reads nothing else), and factorise and solve there. `copying` is that third
// side and `ratio_to_copying` = orvo / copying.
void SPDSolveCase(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0)), nrhs = kRightHandSides;
  const RMatrix A = randomSpd(n, 5), B = randomMatrix(n, nrhs, 6);
  RMatrix X(n, nrhs);
  std::vector<double> a = plain(A), b = plain(B);
  const auto lapack = [&](double* factor) {
    int info = 0;
    for (int i = 0; i < n; ++i) factor[i + static_cast<long>(i) * n] += 0.5;
    dpotrf_("U", &n, factor, &n, &info, 1);
    dpotrs_("U", &n, &nrhs, factor, &n, b.data(), &n, &info, 1);
  };
  const auto copying = [&] {
    std::unique_ptr<double[]> factor(new double[static_cast<size_t>(n) * n]);
    for (int j = 0; j < n; ++j) {
      const double* from = A.Array() + static_cast<long>(j) * n;
      std::copy(from, from + j + 1, factor.get() + static_cast<long>(j) * n);
    }
    lapack(factor.get());
    benchmark::DoNotOptimize(b.data());
  };
  const auto orvo = [&] { X = SPDSolve(A, B, 0.5); };
  orvo();
  copying();
  PairedTimes times;
  double copyingTotal = 0.0;
  for (auto _ : state) {
    state.SetIterationTime(timed(times.orvo, orvo));
    restore(a, A);
    restore(b, B);
    timed(times.reference, [&] { lapack(a.data()); });
    restore(b, B);
    timed(copyingTotal, copying);
  }
  times.publish(state);
  state.counters.erase("copies");  // the copy is inside `copying`
  const double calls = static_cast<double>(state.iterations());
  state.counters["copying"] = 1e3 * copyingTotal / calls;
  state.counters["ratio_to_copying"] = times.orvo / copyingTotal;
}

void LsqSolveCase(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0)), m = 2 * n, nrhs = kRightHandSides;
  const RMatrix A = randomMatrix(m, n, 7), B = randomMatrix(m, nrhs, 8);
  RMatrix X(n, nrhs);
  std::vector<double> normal(static_cast<size_t>(n) * n), projected(static_cast<size_t>(n) * nrhs);
  const double one = 1.0, zero = 0.0, lambda = 1e-10;
  runPaired(
      state, [] {}, [&] { X = LsqSolve(A, B, lambda); }, [] {},
      [&] {
        int info = 0;
        dgemm_("T", "N", &n, &n, &m, &one, A.Array(), &m, A.Array(), &m, &zero, normal.data(), &n,
               1, 1);
        dgemm_("T", "N", &n, &nrhs, &m, &one, A.Array(), &m, B.Array(), &m, &zero, projected.data(),
               &n, 1, 1);
        for (int i = 0; i < n; ++i) normal[i + static_cast<long>(i) * n] += lambda;
        dpotrf_("U", &n, normal.data(), &n, &info, 1);
        dpotrs_("U", &n, &nrhs, normal.data(), &n, projected.data(), &n, &info, 1);
      },
      static_cast<long>(n) * nrhs);
}

void SVDecompCase(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const RMatrix A0 = randomMatrix(n, n, 9);
  RMatrix A(A0);
  std::vector<double> a = plain(A0), s(n), vt(static_cast<size_t>(n) * n);
  std::vector<int> integerWork(8 * n);
  runPaired(
      state, [&] { A = A0; },
      [&] {
        SVDecomp svd(A);
        benchmark::DoNotOptimize(svd.Eigenvalues().Array());
      },
      [&] { restore(a, A0); },
      [&] {
        int info = 0, query = -1;
        double optimal = 0.0;
        dgesdd_("O", &n, &n, a.data(), &n, s.data(), nullptr, &n, vt.data(), &n, &optimal, &query,
                integerWork.data(), &info, 1);
        int length = static_cast<int>(optimal);
        std::vector<double> work(length);
        dgesdd_("O", &n, &n, a.data(), &n, s.data(), nullptr, &n, vt.data(), &n, work.data(),
                &length, integerWork.data(), &info, 1);
      },
      0);
}

// Both routes through LinSolve, so that they carry the same overheads; `lapack` is the blocked
// route and `orvo` the classical one here.
void LinSolveRoutes(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const RMatrix A0 = randomMatrix(n, n, 10), B = randomMatrix(n, 1, 11);
  RMatrix A(A0), X(n, 1);
  PairedTimes times;
  for (auto _ : state) {
    A = A0;
    state.SetIterationTime(timed(times.orvo, [&] { X = LinSolve(A, B, n + 1); }));
    A = A0;
    timed(times.reference, [&] { X = LinSolve(A, B, 0); });
  }
  times.publish(state);
}

void BandedSolve(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0)), kl = 2, ku = 2;
  BandedMatrix band(n, kl, ku);
  std::mt19937 engine(12);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  for (int j = 0; j < n; ++j)
    for (int i = band.colStart(j); i < band.colEnd(j); ++i)
      band(i, j) = i == j ? 6.0 : uniform(engine);
  std::vector<double> rhs(n), x(n);
  for (double& value : rhs) value = uniform(engine);
  x = rhs;
  const double factorStart = threadSeconds();
  band.Solve(x.data());
  const double firstSolve = threadSeconds() - factorStart;
  double total = 0.0;
  for (auto _ : state) {
    x = rhs;
    state.SetIterationTime(timed(total, [&] { band.Solve(x.data()); }));
  }
  state.counters["us_per_solve"] = 1e6 * total / static_cast<double>(state.iterations());
  state.counters["first_solve_us"] = 1e6 * firstSolve;
  state.counters["bytes"] = static_cast<double>(n) * (2 * kl + ku + 1) * sizeof(double);
}

}  // namespace

BENCHMARK(LinSolveLapack)->Arg(100)->Arg(500)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(LinSolveLapack)->Arg(2000)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(LUDecompSolve)->Arg(100)->Arg(500)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(LUDecompSolve)->Arg(2000)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(SPDSolveCase)
    ->Arg(50)
    ->Arg(100)
    ->Arg(200)
    ->Arg(500)
    ->Arg(1000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(SPDSolveCase)->Arg(2000)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(LsqSolveCase)->Arg(100)->Arg(500)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(LsqSolveCase)->Arg(2000)->Iterations(2)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(SVDecompCase)->Arg(100)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(SVDecompCase)->Arg(500)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(SVDecompCase)->Arg(2000)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(LinSolveRoutes)
    ->DenseRange(8, 64, 4)
    ->Arg(96)
    ->Arg(128)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BandedSolve)->Arg(100000)->Arg(1000000)->UseManualTime()->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
