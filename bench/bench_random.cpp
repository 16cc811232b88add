// Generator throughput against the standard library's MT19937 (same compiler, same flags), the
// cost of a uniform matrix fill, and k-means against ALGLIB's k-means started from the same rows.
//
// Ratios are formed within one benchmark, timing the two contenders alternately in thread CPU
// time: `speedup` > 1 means Orvo is faster than the named reference. The k-means figures are CPU
// milliseconds.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <random>
#include <vector>

#include "orvo/random.hpp"
#include "random/kmeans_run.hpp"
#include "timing.hpp"

#ifdef ORVO_HAVE_ALGLIB
#include <libalglib/dataanalysis.h>
#endif

using namespace Orvo;

namespace {

constexpr int kDraws = 1 << 20;

// CPU seconds of this thread: the machine is shared, and wall time would charge other
// processes' work to whichever contender happened to be running.
double ThreadSeconds() {
  return support::threadSeconds();
}

template <class Body>
double SecondsOf(Body body) {
  const double start = ThreadSeconds();
  body();
  return ThreadSeconds() - start;
}

void BM_lRand(benchmark::State& state) {
  MTRng rng(5489);
  for (auto _ : state) {
    std::uint32_t mixed = 0;
    for (int i = 0; i < kDraws; ++i) mixed ^= static_cast<std::uint32_t>(rng.lRand());
    benchmark::DoNotOptimize(mixed);
  }
  state.SetItemsProcessed(state.iterations() * kDraws);
}
BENCHMARK(BM_lRand)->Unit(benchmark::kMicrosecond);

void BM_StdMt19937(benchmark::State& state) {
  std::mt19937 engine(5489);
  for (auto _ : state) {
    std::uint32_t mixed = 0;
    for (int i = 0; i < kDraws; ++i) mixed ^= static_cast<std::uint32_t>(engine());
    benchmark::DoNotOptimize(mixed);
  }
  state.SetItemsProcessed(state.iterations() * kDraws);
}
BENCHMARK(BM_StdMt19937)->Unit(benchmark::kMicrosecond);

// Both generators in turn within each iteration; speedup = time(std) / time(Orvo).
void BM_lRandVsStdMt19937(benchmark::State& state) {
  MTRng rng(5489);
  std::mt19937 engine(5489);
  double orvoSeconds = 0.0, stdSeconds = 0.0;
  for (auto _ : state) {
    std::uint32_t mixed = 0;
    orvoSeconds += SecondsOf([&] {
      for (int i = 0; i < kDraws; ++i) mixed ^= static_cast<std::uint32_t>(rng.lRand());
    });
    stdSeconds += SecondsOf([&] {
      for (int i = 0; i < kDraws; ++i) mixed ^= static_cast<std::uint32_t>(engine());
    });
    benchmark::DoNotOptimize(mixed);
  }
  state.counters["speedup"] = stdSeconds / orvoSeconds;
  state.counters["orvo_ns_per_draw"] = 1e9 * orvoSeconds / (state.iterations() * double(kDraws));
  state.counters["std_ns_per_draw"] = 1e9 * stdSeconds / (state.iterations() * double(kDraws));
}
BENCHMARK(BM_lRandVsStdMt19937)->Unit(benchmark::kMillisecond);

// A 10^7-element uniform fill against the same fill written with the standard engine.
void BM_dRandFill(benchmark::State& state) {
  const int n = 10000000;
  RMatrix target(n, 1);
  std::vector<double> reference(n);
  // Touch both buffers first: a first write to fresh pages costs far more than the draws.
  target = 0.0;
  std::fill(reference.begin(), reference.end(), 0.0);
  double orvoSeconds = 0.0, stdSeconds = 0.0;
  int seed = 1;
  for (auto _ : state) {
    orvoSeconds += SecondsOf([&] { target = dRand(n, 1, seed); });
    stdSeconds += SecondsOf([&] {
      std::mt19937 engine(static_cast<std::uint32_t>(seed));
      for (double& x : reference) x = static_cast<double>(engine()) * (1.0 / 4294967296.0);
    });
    benchmark::DoNotOptimize(target.Array());
    benchmark::DoNotOptimize(reference.data());
    ++seed;
  }
  state.counters["ns_per_element"] = 1e9 * orvoSeconds / (state.iterations() * double(n));
  state.counters["std_ns_per_element"] = 1e9 * stdSeconds / (state.iterations() * double(n));
  state.counters["speedup"] = stdSeconds / orvoSeconds;
}
BENCHMARK(BM_dRandFill)->Unit(benchmark::kMillisecond)->Iterations(5);

// ---------------------------------------------------------------------------------------------
// k-means: 100 000 points in 8 dimensions around 64 centres, k = 64.

constexpr int kPoints = 100000;
constexpr int kDims = 8;
constexpr int kClusters = 64;
constexpr int kSeed = 2024;

const RMatrix& Points() {
  static const RMatrix points = [] {
    RMatrix centres = dRand(kClusters, kDims, 11);
    RMatrix noise = nRand(kPoints, kDims, 12);
    MTRng pick(13);
    RMatrix x(kPoints, kDims);
    for (int p = 0; p < kPoints; ++p) {
      const int c = pick.iRand(0, kClusters - 1);
      for (int j = 0; j < kDims; ++j) x(p, j) = 10.0 * centres(c, j) + 0.6 * noise(p, j);
    }
    return x;
  }();
  return points;
}

// Within-cluster sum of squares: every point against its nearest centre.
double WithinClusterSumOfSquares(const RMatrix& x, const RMatrix& centres) {
  double total = 0.0;
  for (int p = 0; p < x.Height(); ++p) {
    double best = 0.0;
    for (int q = 0; q < centres.Height(); ++q) {
      double d2 = 0.0;
      for (int j = 0; j < x.Width(); ++j) {
        const double d = x(p, j) - centres(q, j);
        d2 += d * d;
      }
      if (q == 0 || d2 < best) best = d2;
    }
    total += best;
  }
  return total;
}

void BM_KMeans(benchmark::State& state) {
  const RMatrix& x = Points();
  RMatrix centres(kClusters, kDims);
  int iterations = 0;
  double seconds = 0.0;
  for (auto _ : state) {
    seconds += SecondsOf([&] {
      detail::KMeansRun run(x, centres, kSeed);
      bool done = false;
      for (iterations = 0; iterations < detail::kMaxIterations && !done; ++iterations)
        done = run.Step(iterations);
    });
  }
  state.counters["kmeans_iterations"] = iterations;
  state.counters["cpu_ms_per_run"] = 1e3 * seconds / state.iterations();
  state.counters["cpu_ms_per_iteration"] = 1e3 * seconds / (state.iterations() * iterations);
  state.counters["wcss"] = WithinClusterSumOfSquares(x, centres);
}
BENCHMARK(BM_KMeans)->Unit(benchmark::kMillisecond)->Iterations(3);

#ifdef ORVO_HAVE_ALGLIB
// The number of iterations after which Orvo's k-means stops on these points.
int OrvoIterations() {
  static const int count = [] {
    RMatrix centres(kClusters, kDims);
    detail::KMeansRun run(Points(), centres, kSeed);
    int iterations = 0;
    for (bool done = false; iterations < detail::kMaxIterations && !done; ++iterations)
      done = run.Step(iterations);
    return iterations;
  }();
  return count;
}

// ALGLIB's k-means, handed the points in the order of Orvo's start permutation and told to start
// from the first k rows, so that both begin from the same centres. Argument 0: ALGLIB iterates
// until no point changes cluster (at most 200 iterations); 1: ALGLIB stops after as many
// iterations as Orvo made.
void BM_AlglibKMeans(benchmark::State& state) {
  const RMatrix& x = Points();
  const int limit = state.range(0) == 0 ? detail::kMaxIterations : OrvoIterations();
  Vector<int> order;
  order = RandPerm(kPoints, 0, kSeed);
  alglib::real_2d_array xy;
  xy.setlength(kPoints, kDims);
  for (int p = 0; p < kPoints; ++p)
    for (int j = 0; j < kDims; ++j) xy[p][j] = x(order[p], j);
  RMatrix centres(kClusters, kDims);
  int iterations = 0;
  double seconds = 0.0;
  for (auto _ : state) {
    alglib::kmeansreport rep;
    seconds += SecondsOf([&] {
      alglib::clusterizerstate s;
      alglib::clusterizercreate(s);
      alglib::clusterizersetpoints(s, xy, 2);  // 2 = Euclidean, which its k-means requires
      alglib::clusterizersetkmeanslimits(s, 1, limit);
      alglib::clusterizersetkmeansinit(s, -1);  // the first k rows
      alglib::clusterizerrunkmeans(s, kClusters, rep);
    });
    iterations = static_cast<int>(rep.iterationscount);
    for (int q = 0; q < kClusters; ++q)
      for (int j = 0; j < kDims; ++j) centres(q, j) = rep.c[q][j];
  }
  state.counters["kmeans_iterations"] = iterations;
  state.counters["cpu_ms_per_run"] = 1e3 * seconds / state.iterations();
  state.counters["cpu_ms_per_iteration"] = 1e3 * seconds / (state.iterations() * iterations);
  state.counters["wcss"] = WithinClusterSumOfSquares(x, centres);
}
BENCHMARK(BM_AlglibKMeans)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);
#endif

}  // namespace

BENCHMARK_MAIN();
