// BQASolver against NLopt's BOBYQA (reference) on the bounded problems of the tests: the same
// starts, bounds, rhobeg (NLopt's initial step), npt = 2 n + 1 (NLopt's choice) and final radius
// 1e-8 (NLopt's absolute x tolerance). The figure of merit is the number of evaluations until f
// first comes within 1e-6 max(1, |f*|) of the known optimum, counted in the objective for both;
// the whole runs' counts are reported too. Then the optimiser's own time per evaluation at
// n = 50 on a cheap objective, both stopped by the same evaluation limit.
#include <benchmark/benchmark.h>
#include <nlopt.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "bobyqa_problems.hpp"
#include "orvo/nonlinear.hpp"

using bobyqa_problems::Problem;
using Orvo::BQASolver;

namespace {

constexpr double kRhoEnd = 1e-8;

struct Count {
  const Problem* p;
  double threshold;
  int evaluations = 0;
  int reachedAt = -1;
  double f(const double* x) {
    const double value = p->f(x);
    ++evaluations;
    if (reachedAt < 0 && value <= threshold) reachedAt = evaluations;
    return value;
  }
};

// Runs p to the end through BQASolver; returns the final task.
int RunOrvo(const Problem& p, Count& count, int maxfun, double rhoend) {
  const int n = p.n, npt = 2 * n + 1;
  const int lw = BQASolver::RealWorkspaceLength(n, npt), liw = BQASolver::IntWorkspaceLength(npt);
  std::vector<double> x = p.start, xl = p.xl, xu = p.xu, w(lw);
  std::vector<int> iw(liw);
  double f = 0.0;
  int task = BQASolver::kStart;
  BQASolver solver;
  for (;;) {
    solver.Cycle(x.data(), &f, n, xl.data(), xu.data(), npt, w.data(), lw, iw.data(), &task, liw,
                 maxfun, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0,
                 nullptr, nullptr, p.rhobeg, 0, 0, 0, 0, 0, 0, 0, 0, rhoend, nullptr, 0);
    if (task != BQASolver::kEvaluate) return task;
    f = count.f(x.data());
  }
}

double PeerObjective(unsigned, const double* x, double*, void* data) {
  return static_cast<Count*>(data)->f(x);
}

int RunNlopt(const Problem& p, Count& count, int maxfun, double xtol) {
  nlopt_opt opt = nlopt_create(NLOPT_LN_BOBYQA, p.n);
  nlopt_set_lower_bounds(opt, p.xl.data());
  nlopt_set_upper_bounds(opt, p.xu.data());
  nlopt_set_min_objective(opt, PeerObjective, &count);
  nlopt_set_initial_step1(opt, p.rhobeg);
  nlopt_set_xtol_abs1(opt, xtol);
  nlopt_set_maxeval(opt, maxfun);
  std::vector<double> x = p.start;
  // NLopt wants a feasible start; ours is moved into the box the same way by both.
  for (int i = 0; i < p.n; ++i) x[i] = std::min(std::max(x[i], p.xl[i]), p.xu[i]);
  double f = 0.0;
  const int code = nlopt_optimize(opt, x.data(), &f);
  nlopt_destroy(opt);
  return code;
}

std::vector<Problem> Problems() {
  std::vector<Problem> set = {
      bobyqa_problems::Rosenbrock(2, -2.0, 2.0),  bobyqa_problems::RosenbrockActiveBound(),
      bobyqa_problems::Rosenbrock(10, -0.5, 2.0), bobyqa_problems::QuadraticOnBounds(),
      bobyqa_problems::SpherePoints(5),           bobyqa_problems::SpherePoints(10)};
  for (Problem& p : bobyqa_problems::LeastSquaresSet()) set.push_back(p);
  return set;
}

int totalOrvo = 0, totalPeer = 0, wins = 0, ties = 0, losses = 0;

void BM_EvaluationsToOptimum(benchmark::State& state, Problem p) {
  Count orvo{&p, bobyqa_problems::Threshold(p)}, peer{&p, bobyqa_problems::Threshold(p)};
  int orvoCode = 0, peerCode = 0;
  for (auto _ : state) {
    orvo = Count{&p, orvo.threshold};
    peer = Count{&p, peer.threshold};
    orvoCode = RunOrvo(p, orvo, p.budget, kRhoEnd);
    peerCode = RunNlopt(p, peer, p.budget, kRhoEnd);
  }
  // A run that never gets there is charged its whole budget.
  const int a = orvo.reachedAt > 0 ? orvo.reachedAt : p.budget;
  const int b = peer.reachedAt > 0 ? peer.reachedAt : p.budget;
  totalOrvo += a;
  totalPeer += b;
  (a < b ? wins : a == b ? ties : losses) += 1;
  state.counters["n"] = p.n;
  state.counters["to_opt_orvo"] = a;
  state.counters["to_opt_nlopt"] = b;
  state.counters["ratio"] = static_cast<double>(a) / b;
  state.counters["all_orvo"] = orvo.evaluations;
  state.counters["all_nlopt"] = peer.evaluations;
  state.counters["code_orvo"] = orvoCode;
  state.counters["code_nlopt"] = peerCode;
}

void BM_EvaluationsTotal(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(totalOrvo);
  state.counters["to_opt_orvo"] = totalOrvo;
  state.counters["to_opt_nlopt"] = totalPeer;
  state.counters["ratio"] = static_cast<double>(totalOrvo) / totalPeer;
  state.counters["fewer"] = wins;
  state.counters["equal"] = ties;
  state.counters["more"] = losses;
}

// The optimiser's own cost: n = 50, cheap objective, a fixed number of evaluations.
constexpr int kTimingEvaluations = 3000;

Problem TimingProblem() {
  Problem p = bobyqa_problems::Rosenbrock(50, -2.0, 2.0);
  p.budget = kTimingEvaluations;
  return p;
}

void BM_TimePerEvaluationOrvo(benchmark::State& state) {
  const Problem p = TimingProblem();
  int evaluations = 0;
  for (auto _ : state) {
    Count count{&p, -1.0};
    RunOrvo(p, count, kTimingEvaluations, 1e-14);
    evaluations += count.evaluations;
  }
  state.counters["evaluations"] = evaluations / static_cast<double>(state.iterations());
  state.counters["s_per_eval"] =
      benchmark::Counter(evaluations, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_TimePerEvaluationNlopt(benchmark::State& state) {
  const Problem p = TimingProblem();
  int evaluations = 0;
  for (auto _ : state) {
    Count count{&p, -1.0};
    RunNlopt(p, count, kTimingEvaluations, 1e-14);
    evaluations += count.evaluations;
  }
  state.counters["evaluations"] = evaluations / static_cast<double>(state.iterations());
  state.counters["s_per_eval"] =
      benchmark::Counter(evaluations, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

const bool registered = [] {
  for (const Problem& p : Problems())
    benchmark::RegisterBenchmark(("BM_EvaluationsToOptimum/" + p.name).c_str(),
                                 BM_EvaluationsToOptimum, p)
        ->Iterations(1);
  benchmark::RegisterBenchmark("BM_EvaluationsTotal", BM_EvaluationsTotal)->Iterations(1);
  benchmark::RegisterBenchmark("BM_TimePerEvaluation/orvo", BM_TimePerEvaluationOrvo)
      ->Unit(benchmark::kMillisecond)
      ->Repetitions(3)
      ->ReportAggregatesOnly(true);
  benchmark::RegisterBenchmark("BM_TimePerEvaluation/nlopt", BM_TimePerEvaluationNlopt)
      ->Unit(benchmark::kMillisecond)
      ->Repetitions(3)
      ->ReportAggregatesOnly(true);
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
