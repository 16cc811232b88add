// sparseMatrix against UMFPACK called directly on the same matrices in the same run. Each
// iteration times both (thread CPU time, interleaved) and reports their ratio:
//   FirstSolve  Solve on a fresh matrix      vs  umfpack symbolic + numeric + solve
//   ReSolve     ReSolve with new values      vs  umfpack numeric + solve (symbolic kept)
//   Solve       Solve with the kept factors  vs  umfpack solve
// The UMFPACK side starts from the compressed-column matrix; the Orvo side from coordinate
// entries, so its conversion is inside its time. First solves run in fresh processes, cold (the
// memory never touched) or warm (memory touched and released first, as in a program that has
// been running). Assembly times SetAt and Compress alone.
#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <umfpack.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "orvo/sparse.hpp"
#include "sparse_problems.hpp"
#include "timing.hpp"

using namespace Orvo;
using namespace sparse_problems;

namespace {
using support::threadSeconds;

const Triplets& matrix(int which) {
  static std::vector<std::unique_ptr<Triplets>> cache(7);
  if (!cache[which]) {
    switch (which) {
      case 0:
        cache[which] = std::make_unique<Triplets>(poisson2d(100));
        break;
      case 1:
        cache[which] = std::make_unique<Triplets>(poisson2d(317));
        break;
      case 2:
        cache[which] = std::make_unique<Triplets>(poisson2d(500));
        break;
      case 3:
        cache[which] = std::make_unique<Triplets>(poisson3d(40));
        break;
      case 4:
        cache[which] = std::make_unique<Triplets>(convectionDiffusion(300, 40.0, -25.0));
        break;
      case 5:
        cache[which] = std::make_unique<Triplets>(randomSparse(20000, 2, 17, 2.0));
        break;
    }
  }
  return *cache[which];
}

const char* kNames[] = {"poisson2d_1e4", "poisson2d_1e5", "poisson2d_250k",
                        "poisson3d_64k", "convdiff_90k",  "random_20k"};

// The matrix in both forms, with a right-hand side.
struct Pair {
  const Triplets& t;
  int ne;
  std::vector<int> ap, ai;
  std::vector<double> ax, b, x;
  explicit Pair(const Triplets& source)
      : t(source),
        ne(static_cast<int>(source.rows.size())),
        ap(source.n + 1),
        ai(ne),
        ax(ne),
        b(source.n),
        x(source.n) {
    umfpack_di_triplet_to_col(t.n, t.n, ne, t.rows.data(), t.cols.data(), t.values.data(),
                              ap.data(), ai.data(), ax.data(), nullptr);
    for (int i = 0; i < t.n; ++i) b[i] = std::sin(0.01 * i) + 1.0;
  }
  std::unique_ptr<sparseMatrix> orvo() const {
    auto a = std::make_unique<sparseMatrix>(ne, t.n, t.n);
    for (int k = 0; k < ne; ++k) {
      a->Irn()[k] = t.rows[k] + 1;
      a->Jcn()[k] = t.cols[k] + 1;
      a->Data()[k] = t.values[k];
    }
    a->Nz() = ne;
    return a;
  }
};

// Per-iteration times of both sides. The machine is shared and a run can take a quarter longer
// for reasons of its own, so besides the ratio of the totals the ratios of the medians and of
// the best times of the two sides are reported: interference only ever adds time.
struct Timings {
  std::vector<double> orvo, reference;
  void add(double orvoSeconds, double referenceSeconds) {
    orvo.push_back(orvoSeconds);
    reference.push_back(referenceSeconds);
  }
  static double total(const std::vector<double>& v) {
    return std::accumulate(v.begin(), v.end(), 0.0);
  }
  static double best(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }
  static double median(const std::vector<double>& v) { return support::median(v); }
  void report(benchmark::State& state) const {
    if (orvo.empty()) return;
    const double runs = static_cast<double>(orvo.size());
    state.counters["orvo_ms"] = 1e3 * total(orvo) / runs;
    state.counters["umfpack_ms"] = 1e3 * total(reference) / runs;
    state.counters["ratio"] = total(orvo) / total(reference);
    state.counters["ratio_median"] = median(orvo) / median(reference);
    state.counters["ratio_best"] = best(orvo) / best(reference);
  }
};

// Memory this process has touched and handed back: on a virtual machine whose host backs guest
// memory only when it is first touched, such pages cost a fraction of fresh ones the next time
// they are taken, as in a program that has been running for a while.
constexpr std::size_t kWarmBytes = std::size_t{1} << 30;
void touchAndRelease(std::size_t bytes) {
  void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return;
  madvise(block, bytes, MADV_HUGEPAGE);
  std::memset(block, 1, bytes);
  munmap(block, bytes);
}

// One first solve, of one side, on one matrix, in this process (after warming its memory when
// asked): thread CPU seconds, or -1 when the solve fails.
double firstSolveSeconds(int which, int fill, bool orvo_side, bool warm) {
  if (warm) touchAndRelease(kWarmBytes);
  const Pair p(matrix(which));
  if (orvo_side) {
    auto a = p.orvo();
    a->SetFillIn(fill);
    mvlarray<double> b(p.t.n), x(p.t.n);
    for (int i = 0; i < p.t.n; ++i) b[i] = p.b[i];
    const double start = threadSeconds();
    const bool solved = a->Solve(b, x);
    const double seconds = threadSeconds() - start;
    return solved ? seconds : -1.0;
  }
  std::vector<double> xr(p.t.n);
  const double start = threadSeconds();
  void *symbolic = nullptr, *numeric = nullptr;
  umfpack_di_symbolic(p.t.n, p.t.n, p.ap.data(), p.ai.data(), p.ax.data(), &symbolic, nullptr,
                      nullptr);
  umfpack_di_numeric(p.ap.data(), p.ai.data(), p.ax.data(), symbolic, &numeric, nullptr, nullptr);
  const int status = umfpack_di_solve(UMFPACK_A, p.ap.data(), p.ai.data(), p.ax.data(), xr.data(),
                                      p.b.data(), numeric, nullptr, nullptr);
  const double seconds = threadSeconds() - start;
  umfpack_di_free_symbolic(&symbolic);
  umfpack_di_free_numeric(&numeric);
  return status == UMFPACK_OK ? seconds : -1.0;
}

constexpr const char* kChildFlag = "--first-solve-child";

// Runs firstSolveSeconds in a fresh process started from this program. A first solve's time is
// mostly the first touch of fresh memory, so where it runs decides much of it: in one process
// whichever side goes second finds the other's freed blocks already mapped (UMFPACK measured
// 17 ms in alternation against 34 ms alone at n = 10^4), and in a forked copy a side that takes
// mid-sized blocks from the inherited heap pays to copy the shared pages. A fresh process gives
// both sides the same empty heap.
double firstSolveInFreshProcess(int which, int fill, bool orvo_side, bool warm) {
  int channel[2];
  if (pipe(channel) != 0) return -1.0;
  const pid_t child = fork();
  if (child == 0) {
    dup2(channel[1], STDOUT_FILENO);
    close(channel[0]);
    const std::string args = std::to_string(which) + "," + std::to_string(fill) + "," +
                             (orvo_side ? "1" : "0") + "," + (warm ? "1" : "0");
    execl("/proc/self/exe", "bench_sparse", kChildFlag, args.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(channel[1]);
  double seconds = -1.0;
  if (child < 0 || read(channel[0], &seconds, sizeof seconds) != sizeof seconds) seconds = -1.0;
  close(channel[0]);
  int status = 0;
  if (child > 0) waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1.0;
}

void BM_FirstSolve(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0)), fill = static_cast<int>(state.range(1));
  const bool warm = state.range(2) != 0;
  state.SetLabel(std::string(kNames[which]) + " fill " + std::to_string(fill) +
                 (warm ? " warm" : ""));
  Timings t;
  for (auto _ : state) {
    const double orvo = firstSolveInFreshProcess(which, fill, true, warm);
    const double reference = firstSolveInFreshProcess(which, fill, false, warm);
    if (orvo < 0 || reference < 0) state.SkipWithError("a first solve failed");
    t.add(orvo, reference);
  }
  t.report(state);
}

void BM_ReSolveAndSolve(benchmark::State& state) {
  const Pair p(matrix(static_cast<int>(state.range(0))));
  const bool resolve = state.range(1) != 0;
  state.SetLabel(std::string(kNames[state.range(0)]) + (resolve ? " ReSolve" : " Solve again"));
  auto a = p.orvo();
  mvlarray<double> b(p.t.n), x(p.t.n);
  for (int i = 0; i < p.t.n; ++i) b[i] = p.b[i];
  a->Solve(b, x);
  void *symbolic = nullptr, *numeric = nullptr;
  umfpack_di_symbolic(p.t.n, p.t.n, p.ap.data(), p.ai.data(), p.ax.data(), &symbolic, nullptr,
                      nullptr);
  umfpack_di_numeric(p.ap.data(), p.ai.data(), p.ax.data(), symbolic, &numeric, nullptr, nullptr);
  std::vector<double> ax = p.ax, xr(p.t.n);
  Timings t;
  int round = 0;
  for (auto _ : state) {
    ++round;
    // New values on the same pattern (same change on both sides), new right-hand side.
    const double factor = 1.0 + 0.01 * (round % 7);
    for (int k = 0; k < p.ne; ++k) a->Data()[k] = p.t.values[k] * factor;
    for (double& v : ax) v = v / (1.0 + 0.01 * ((round - 1) % 7)) * factor;
    for (int i = 0; i < p.t.n; ++i) b[i] = p.b[i] * factor;
    double orvo = 0, reference = 0;
    auto run_orvo = [&]() {
      const double start = threadSeconds();
      const bool ok = resolve ? a->ReSolve(b, x) : a->Solve(b, x);
      if (!ok) state.SkipWithError("Orvo solve failed");
      orvo = threadSeconds() - start;
    };
    auto run_reference = [&]() {
      const double start = threadSeconds();
      if (resolve) {
        umfpack_di_free_numeric(&numeric);
        umfpack_di_numeric(p.ap.data(), p.ai.data(), ax.data(), symbolic, &numeric, nullptr,
                           nullptr);
      }
      umfpack_di_solve(UMFPACK_A, p.ap.data(), p.ai.data(), ax.data(), xr.data(), b.Array(),
                       numeric, nullptr, nullptr);
      reference = threadSeconds() - start;
    };
    if (round % 2 == 0) {
      run_orvo();
      run_reference();
    } else {
      run_reference();
      run_orvo();
    }
    t.add(orvo, reference);
  }
  umfpack_di_free_symbolic(&symbolic);
  umfpack_di_free_numeric(&numeric);
  t.report(state);
}

// 10^7 entries of a 2 x 10^6 five-point pattern through SetAt, then Compress; from capacity 0
// (growth by a third each time the storage is full) or from the final capacity.
void BM_Assembly(benchmark::State& state) {
  const int k = 1415, n = k * k;
  const bool presized = state.range(0) != 0;
  state.SetLabel(presized ? "presized" : "from capacity 0");
  double set_time = 0, compress_time = 0;
  long entries = 0;
  for (auto _ : state) {
    sparseMatrix a(presized ? 5 * n : 0, n, n);
    double start = threadSeconds();
    for (int j = 0; j < k; ++j)
      for (int i = 0; i < k; ++i) {
        const int p = i + k * j;
        a.SetAt(p, p, 4.0);
        if (i > 0) a.SetAt(p, p - 1, -1.0);
        if (i + 1 < k) a.SetAt(p, p + 1, -1.0);
        if (j > 0) a.SetAt(p, p - k, -1.0);
        if (j + 1 < k) a.SetAt(p, p + k, -1.0);
      }
    set_time += threadSeconds() - start;
    start = threadSeconds();
    a.Compress();
    compress_time += threadSeconds() - start;
    entries += a.Nz();
  }
  state.counters["entries"] = static_cast<double>(entries) / state.iterations();
  state.counters["SetAt_ns_per_entry"] = 1e9 * set_time / entries;
  state.counters["Compress_ns_per_entry"] = 1e9 * compress_time / entries;
}
}  // namespace

// Repetitions kept low (the machine is shared): more for the small matrix, whose times are short.
// Third argument: cold (fresh memory) or warm (memory touched and released first, untimed).
BENCHMARK(BM_FirstSolve)->Args({0, 4, 0})->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstSolve)
    ->ArgsProduct({{1, 2, 3, 4, 5}, {4}, {0}})
    ->Args({1, 40, 0})
    ->Args({2, 40, 0})
    ->Args({3, 200, 0})
    ->ArgsProduct({{1, 3, 4}, {4}, {1}})
    ->Iterations(8)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReSolveAndSolve)->Args({0, 1})->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReSolveAndSolve)
    ->ArgsProduct({{1, 2, 3, 4, 5}, {1}})
    ->Iterations(6)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReSolveAndSolve)
    ->ArgsProduct({{0, 1, 2, 3, 4, 5}, {0}})
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Assembly)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == kChildFlag) {
    int which = 0, fill = 0, orvo_side = 0, warm = 0;
    if (std::sscanf(argv[2], "%d,%d,%d,%d", &which, &fill, &orvo_side, &warm) != 4) return 2;
    const double seconds = firstSolveSeconds(which, fill, orvo_side != 0, warm != 0);
    return write(STDOUT_FILENO, &seconds, sizeof seconds) == sizeof seconds ? 0 : 1;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
