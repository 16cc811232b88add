// Query throughput of the grid interpolator against GSL's bilinear gsl_interp2d_eval with its
// interval accelerators, on the same 200 x 200 non-uniform table, for random points and for a
// sweep of nearby points; and the cost of building a table one x value at a time in random order
// against evaluating the same grid at once with Initialize.
//
// The two contenders run alternately within each iteration in thread CPU time (the machine is
// shared); `speedup` > 1 means Orvo is faster than the named reference.
#include <benchmark/benchmark.h>
#include <gsl/gsl_interp2d.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <numeric>
#include <random>
#include <vector>

#include "orvo/interp.hpp"
#include "timing.hpp"

using namespace Orvo;

namespace {

constexpr int kGrid = 200;
constexpr int kQueries = 1 << 14;

double ThreadSeconds() {
  return support::threadSeconds();
}

template <class Body>
double SecondsOf(Body body) {
  const double start = ThreadSeconds();
  body();
  return ThreadSeconds() - start;
}

// A smooth property-like surface; cheap, so that building measures the table's own work.
struct Property : FunctorBase_pTableInterpolator {
  double operator()(double x, double y) override { return 1.0 + 0.3 * x + 0.01 * x * y - 0.2 * y; }
};

// The same non-uniform grid and values in both libraries.
struct Tables {
  Property f;
  std::vector<double> xs, ys, z;
  pTableInterpolator orvo{f};
  gsl_interp2d* gsl = nullptr;
  gsl_interp_accel* xa = gsl_interp_accel_alloc();
  gsl_interp_accel* ya = gsl_interp_accel_alloc();

  Tables() : xs(kGrid), ys(kGrid), z(kGrid * kGrid) {
    std::mt19937 gen(1);
    std::uniform_real_distribution<double> step(0.5, 1.5);
    xs[0] = ys[0] = 0;
    for (int k = 1; k < kGrid; ++k) {
      xs[k] = xs[k - 1] + step(gen);
      ys[k] = ys[k - 1] + step(gen);
    }
    for (int j = 0; j < kGrid; ++j) orvo.AddYvar(ys[j]);
    for (int i = 0; i < kGrid; ++i) orvo.AddXvar(xs[i]);
    gsl = gsl_interp2d_alloc(gsl_interp2d_bilinear, kGrid, kGrid);
    for (int i = 0; i < kGrid; ++i)
      for (int j = 0; j < kGrid; ++j) gsl_interp2d_set(gsl, z.data(), i, j, f(xs[i], ys[j]));
    gsl_interp2d_init(gsl, xs.data(), ys.data(), z.data(), kGrid, kGrid);
  }
  ~Tables() {
    gsl_interp_accel_free(ya);
    gsl_interp_accel_free(xa);
    gsl_interp2d_free(gsl);
  }
  double gslEval(double x, double y) {
    return gsl_interp2d_eval(gsl, xs.data(), ys.data(), z.data(), x, y, xa, ya);
  }
};

// Points spread uniformly over the grid, or a slow diagonal sweep (about 40 queries per cell).
std::vector<double> QueryPoints(const Tables& t, bool sweep) {
  std::vector<double> p(2 * kQueries);
  const double xmax = t.xs.back() * (1 - 1e-12), ymax = t.ys.back() * (1 - 1e-12);
  std::mt19937 gen(2);
  std::uniform_real_distribution<double> u(0, 1);
  for (int k = 0; k < kQueries; ++k) {
    const double s = sweep ? std::fmod(k * 0.025 / kGrid, 1.0) : u(gen);
    p[2 * k] = s * xmax;
    p[2 * k + 1] = sweep ? ymax * (0.3 + 0.4 * s) : u(gen) * ymax;
  }
  return p;
}

void Queries(benchmark::State& state, bool sweep) {
  Tables t;
  const std::vector<double> p = QueryPoints(t, sweep);
  double orvoSeconds = 0, gslSeconds = 0, sum = 0, worst = 0;
  for (auto _ : state) {
    orvoSeconds += SecondsOf([&] {
      for (int k = 0; k < kQueries; ++k) sum += t.orvo.Interpolate(p[2 * k], p[2 * k + 1]);
    });
    gslSeconds += SecondsOf([&] {
      for (int k = 0; k < kQueries; ++k) sum -= t.gslEval(p[2 * k], p[2 * k + 1]);
    });
    benchmark::DoNotOptimize(sum);
  }
  for (int k = 0; k < kQueries; ++k) {
    const double a = t.orvo.Interpolate(p[2 * k], p[2 * k + 1]),
                 b = t.gslEval(p[2 * k], p[2 * k + 1]);
    worst = std::max(worst, std::abs(a - b) / std::abs(b));
  }
  const double queries = static_cast<double>(state.iterations()) * kQueries;
  state.counters["orvo_ns"] = 1e9 * orvoSeconds / queries;
  state.counters["gsl_ns"] = 1e9 * gslSeconds / queries;
  state.counters["speedup"] = gslSeconds / orvoSeconds;
  state.counters["max_rel_diff"] = worst;
}
void BM_RandomQueriesVsGsl(benchmark::State& state) {
  Queries(state, false);
}
void BM_SweepQueriesVsGsl(benchmark::State& state) {
  Queries(state, true);
}
BENCHMARK(BM_RandomQueriesVsGsl)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SweepQueriesVsGsl)->Unit(benchmark::kMillisecond);

// An n x n table: the y values first (no evaluations yet), then the x values one AddXvar at a
// time in random order, each evaluating its row; against Initialize of the same grid, which makes
// the same n^2 callback calls. `ratio` = AddXvar build / Initialize.
void BM_BuildByAddXvar(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  std::vector<int> order(n);
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), std::mt19937(3));
  Property f;
  double addSeconds = 0, initSeconds = 0;
  for (auto _ : state) {
    addSeconds += SecondsOf([&] {
      pTableInterpolator t(f);
      for (int j = 0; j < n; ++j) t.AddYvar(0.5 * j);
      for (int i : order) t.AddXvar(0.25 * i);
      benchmark::DoNotOptimize(t.Interpolate(1.0, 1.0));
    });
    initSeconds += SecondsOf([&] {
      pTableInterpolator t(f);
      t.Initialize(0, 0.25, n, 0, 0.5, n);
      benchmark::DoNotOptimize(t.Interpolate(1.0, 1.0));
    });
  }
  const double runs = static_cast<double>(state.iterations());
  state.counters["addxvar_ms"] = 1e3 * addSeconds / runs;
  state.counters["initialize_ms"] = 1e3 * initSeconds / runs;
  state.counters["ns_per_cell"] = 1e9 * addSeconds / runs / (double(n) * n);
  state.counters["ratio"] = addSeconds / initSeconds;
}
BENCHMARK(BM_BuildByAddXvar)->Arg(250)->Arg(500)->Arg(1000)->Unit(benchmark::kMillisecond);

// For contrast, the same table grown one column at a time: every AddYvar moves the later entries
// of every row, so the work grows as n^3 rather than n^2.
void BM_BuildByAddYvar(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  std::vector<int> order(n);
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), std::mt19937(3));
  Property f;
  double seconds = 0;
  for (auto _ : state) {
    seconds += SecondsOf([&] {
      pTableInterpolator t(f);
      for (int i = 0; i < n; ++i) t.AddXvar(0.25 * i);
      for (int j : order) t.AddYvar(0.5 * j);
      benchmark::DoNotOptimize(t.Interpolate(1.0, 1.0));
    });
  }
  const double runs = static_cast<double>(state.iterations());
  state.counters["addyvar_ms"] = 1e3 * seconds / runs;
  state.counters["ns_per_cell"] = 1e9 * seconds / runs / (double(n) * n);
}
BENCHMARK(BM_BuildByAddYvar)->Arg(250)->Arg(500)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
