// ns23Solver against Ceres Solver (Levenberg-Marquardt with SPARSE_NORMAL_CHOLESKY, one thread)
// on the same sparse systems, from the same starts, stopping on the same rule: |f| <= 1e-10 for
// systems with a root, for the least-squares problem a gradient max-norm |J^T f| no larger than
// the one ns23Solver ends with. Ceres's own tolerances are switched off and the rule applied by
// an iteration callback. Each iteration runs both solvers once, interleaved, timed in thread
// CPU time (the machine is shared); the counters give the time ratio (ours / Ceres) and the
// evaluations each needed. A growth series times Broyden tridiagonal from n = 10^4 to 10^6.
#include <benchmark/benchmark.h>
#include <ceres/ceres.h>
#include <time.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "mgh_problems.hpp"
#include "nle_problems.hpp"
#include "orvo/nonlinear.hpp"

using namespace Orvo;
using nle_problems::System;

namespace {

constexpr double kResidualTolerance = 1e-10;

double threadSeconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec + 1e-9 * now.tv_nsec;
}

// ---- our side -------------------------------------------------------------------------------
struct RowCallback : FunctorBase_AAI {
  explicit RowCallback(const System& s) : system(s) {}
  const System& system;
  void operator()(mvlarray<double>& x, mvlarray<double>& f, IMatrix& J) override {
    system.evaluate(x.Array(), f.Array(), [&](int i, int j, double v) { J.SetValue(i, j, v); });
  }
};

struct DenseCallback : FunctorBase_AAI {
  explicit DenseCallback(const mgh::Problem& p) : problem(p), jac(p.m * p.n) {}
  const mgh::Problem& problem;
  std::vector<double> jac;
  void operator()(mvlarray<double>& x, mvlarray<double>& f, IMatrix& J) override {
    problem.residuals(problem.m, problem.n, x.Array(), f.Array());
    problem.jacobian(problem.m, problem.n, x.Array(), jac.data());
    for (int j = 0; j < problem.n; ++j)
      for (int i = 0; i < problem.m; ++i)
        if (jac[i + j * problem.m] != 0.0) J.SetValue(i, j, jac[i + j * problem.m]);
  }
};

// ---- Ceres side -----------------------------------------------------------------------------
// One residual block per row, one scalar parameter block per variable it depends on.
class RowCost : public ceres::CostFunction {
 public:
  RowCost(const System& s, int row) : system_(s), row_(row) {
    set_num_residuals(1);
    for (std::size_t k = 0; k < s.cols[row].size(); ++k)
      mutable_parameter_block_sizes()->push_back(1);
  }
  bool Evaluate(double const* const* parameters, double* residuals,
                double** jacobians) const override {
    const std::size_t count = system_.cols[row_].size();
    double v[16], g[16];
    for (std::size_t k = 0; k < count; ++k) v[k] = parameters[k][0];
    residuals[0] = system_.value(system_, row_, v, g);
    if (jacobians != nullptr)
      for (std::size_t k = 0; k < count; ++k)
        if (jacobians[k] != nullptr) jacobians[k][0] = g[k];
    return true;
  }

 private:
  const System& system_;
  int row_;
};

// A small dense problem as one block of m residuals over n scalar parameter blocks.
class DenseCost : public ceres::CostFunction {
 public:
  explicit DenseCost(const mgh::Problem& p) : problem_(p), x_(p.n), jac_(p.m * p.n) {
    set_num_residuals(p.m);
    for (int j = 0; j < p.n; ++j) mutable_parameter_block_sizes()->push_back(1);
  }
  bool Evaluate(double const* const* parameters, double* residuals,
                double** jacobians) const override {
    for (int j = 0; j < problem_.n; ++j) x_[j] = parameters[j][0];
    problem_.residuals(problem_.m, problem_.n, x_.data(), residuals);
    if (jacobians != nullptr) {
      problem_.jacobian(problem_.m, problem_.n, x_.data(), jac_.data());
      for (int j = 0; j < problem_.n; ++j)
        if (jacobians[j] != nullptr)
          for (int i = 0; i < problem_.m; ++i) jacobians[j][i] = jac_[i + j * problem_.m];
    }
    return true;
  }

 private:
  const mgh::Problem& problem_;
  mutable std::vector<double> x_, jac_;
};

// Ends the Ceres run on our stopping rule.
class SameRule : public ceres::IterationCallback {
 public:
  explicit SameRule(double gradientTarget) : gradientTarget_(gradientTarget) {}
  ceres::CallbackReturnType operator()(const ceres::IterationSummary& s) override {
    const double norm = std::sqrt(2.0 * s.cost);
    if (norm <= kResidualTolerance) return ceres::SOLVER_TERMINATE_SUCCESSFULLY;
    if (gradientTarget_ > 0.0 && s.gradient_max_norm <= gradientTarget_)
      return ceres::SOLVER_TERMINATE_SUCCESSFULLY;
    return ceres::SOLVER_CONTINUE;
  }

 private:
  double gradientTarget_;
};

ceres::Solver::Options ceresOptions() {
  ceres::Solver::Options o;
  o.linear_solver_type = ceres::SPARSE_NORMAL_CHOLESKY;
  o.trust_region_strategy_type = ceres::LEVENBERG_MARQUARDT;
  o.num_threads = 1;
  o.max_num_iterations = 500;
  o.function_tolerance = 0.0;
  o.gradient_tolerance = 0.0;
  o.parameter_tolerance = 0.0;
  o.logging_type = ceres::SILENT;
  o.minimizer_progress_to_stdout = false;
  return o;
}

struct Outcome {
  double seconds = 0.0;
  int evaluations = 0;
  int jacobians = 0;
  double norm = 0.0;
  double gradient = 0.0;
};

// A case: our solve and the Ceres solve of one problem, both from the start.
struct Case {
  std::string name;
  int m = 0, n = 0;
  std::vector<double> start;
  const System* system = nullptr;       // row-wise problems
  const mgh::Problem* dense = nullptr;  // dense test problems
  bool leastSquares = false;
  double gradientTarget = 0.0;
  std::vector<double> xCeres;
  std::unique_ptr<ceres::Problem> ceresProblem;

  void buildCeres() {
    xCeres = start;
    ceresProblem = std::make_unique<ceres::Problem>();
    if (system != nullptr) {
      for (int i = 0; i < m; ++i) {
        std::vector<double*> blocks;
        for (int j : system->cols[i]) blocks.push_back(&xCeres[j]);
        ceresProblem->AddResidualBlock(new RowCost(*system, i), nullptr, blocks);
      }
    } else {
      std::vector<double*> blocks;
      for (int j = 0; j < n; ++j) blocks.push_back(&xCeres[j]);
      ceresProblem->AddResidualBlock(new DenseCost(*dense), nullptr, blocks);
    }
  }

  Outcome runOurs() const {
    Outcome out;
    mvlarray<double> x(n);
    for (int j = 0; j < n; ++j) x[j] = start[j];
    const double t0 = threadSeconds();
    ns23Solver solver(x, m);
    solver.SetStoppingCriteria(kResidualTolerance, 0.0, 500);
    int code;
    if (system != nullptr) {
      RowCallback fun(*system);
      code = solver.Solve(fun);
    } else {
      DenseCallback fun(*dense);
      code = solver.Solve(fun);
    }
    out.seconds = threadSeconds() - t0;
    out.evaluations = solver.nFev();
    out.jacobians = solver.nFev();
    out.norm = code == ns23Solver::kConverged ? std::sqrt(solver.fVal()) : -1.0;
    out.gradient = gradientMaxNorm(x.Array());
    return out;
  }

  Outcome runCeres() {
    Outcome out;
    xCeres = start;
    ceres::Solver::Options o = ceresOptions();
    SameRule rule(leastSquares ? gradientTarget : 0.0);
    o.callbacks.push_back(&rule);
    ceres::Solver::Summary summary;
    const double t0 = threadSeconds();
    ceres::Solve(o, ceresProblem.get(), &summary);
    out.seconds = threadSeconds() - t0;
    out.evaluations = summary.num_residual_evaluations;
    out.jacobians = summary.num_jacobian_evaluations;
    out.norm = std::sqrt(2.0 * summary.final_cost);
    return out;
  }

  double gradientMaxNorm(const double* x) const {
    if (system != nullptr) {
      double largest = 0.0;
      for (double g : system->gradient(x)) largest = std::max(largest, std::fabs(g));
      return largest;
    }
    std::vector<double> f(m), jac(m * n);
    dense->residuals(m, n, x, f.data());
    dense->jacobian(m, n, x, jac.data());
    double largest = 0.0;
    for (int j = 0; j < n; ++j) {
      double g = 0.0;
      for (int i = 0; i < m; ++i) g += jac[i + j * m] * f[i];
      largest = std::max(largest, std::fabs(g));
    }
    return largest;
  }
};

void runCase(benchmark::State& state, Case* c) {
  Outcome ours, theirs;
  double oursTotal = 0.0, theirsTotal = 0.0;
  for (auto _ : state) {
    ours = c->runOurs();
    theirs = c->runCeres();
    oursTotal += ours.seconds;
    theirsTotal += theirs.seconds;
    state.SetIterationTime(ours.seconds);
  }
  const double runs = static_cast<double>(state.iterations());
  state.counters["ours_ms"] = 1e3 * oursTotal / runs;
  state.counters["ceres_ms"] = 1e3 * theirsTotal / runs;
  state.counters["ratio"] = oursTotal / theirsTotal;
  state.counters["ours_evals"] = ours.evaluations;
  state.counters["ceres_f_evals"] = theirs.evaluations;
  state.counters["ceres_J_evals"] = theirs.jacobians;
  state.counters["ours_norm"] = ours.norm;
  state.counters["ceres_norm"] = theirs.norm;
}

void runGrowth(benchmark::State& state, Case* c, bool withCeres) {
  double total = 0.0, ceresTotal = 0.0;
  Outcome ours;
  for (auto _ : state) {
    ours = c->runOurs();
    total += ours.seconds;
    if (withCeres) ceresTotal += c->runCeres().seconds;
    state.SetIterationTime(ours.seconds);
  }
  const double runs = static_cast<double>(state.iterations());
  state.counters["ours_ms"] = 1e3 * total / runs;
  state.counters["ours_us_per_unknown"] = 1e6 * total / runs / c->n;
  state.counters["ours_evals"] = ours.evaluations;
  if (withCeres) {
    state.counters["ceres_ms"] = 1e3 * ceresTotal / runs;
    state.counters["ratio"] = total / ceresTotal;
  }
}

}  // namespace

int main(int argc, char** argv) {
  static std::vector<System> systems;
  systems.reserve(16);
  systems.push_back(nle_problems::broydenTridiagonal(10000));
  systems.push_back(nle_problems::broydenBanded(2000));
  systems.push_back(nle_problems::bratu2d(100, 1.0));
  systems.push_back(nle_problems::bratu2d(100, 6.0));
  systems.push_back(nle_problems::chainedProducts(1000));
  systems.push_back(nle_problems::randomCoupling(2000));
  static const std::vector<mgh::Problem> classic = mgh::all();
  static std::vector<std::unique_ptr<Case>> cases;
  auto addSystem = [&](const System& s, const std::string& label) {
    auto c = std::make_unique<Case>();
    c->name = label;
    c->m = s.m;
    c->n = s.n;
    c->start = s.start;
    c->system = &s;
    c->leastSquares = s.m > s.n;
    cases.push_back(std::move(c));
    return cases.back().get();
  };
  for (const System& s : systems) {
    Case* c =
        addSystem(s, s.name + "/" + std::to_string(s.n) +
                         (s.name == "Bratu2D" ? "/lambda" + std::to_string(int(s.parameter)) : ""));
    if (c->leastSquares) c->gradientTarget = c->runOurs().gradient;
  }
  for (const mgh::Problem& p : classic) {
    if (p.name != "Rosenbrock" && p.name != "HelicalValley" && p.name != "PowellSingular" &&
        p.name != "BrownAlmostLinear" && p.name != "Bard" && p.name != "KowalikOsborne")
      continue;
    auto c = std::make_unique<Case>();
    c->name = "MGH/" + p.name;
    c->m = p.m;
    c->n = p.n;
    c->start = p.start;
    c->dense = &p;
    c->leastSquares = p.name == "Bard" || p.name == "KowalikOsborne";
    if (c->leastSquares) c->gradientTarget = c->runOurs().gradient;
    cases.push_back(std::move(c));
  }
  for (auto& c : cases) {
    c->buildCeres();
    benchmark::RegisterBenchmark(("Ns23VsCeres/" + c->name).c_str(), runCase, c.get())
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(c->n >= 2000 ? 5 : 50);
  }
  // Growth on Broyden tridiagonal.
  static std::vector<System> growth;
  growth.reserve(3);
  for (int n : {10000, 100000, 1000000}) growth.push_back(nle_problems::broydenTridiagonal(n));
  for (const System& s : growth) {
    Case* c = addSystem(s, "Growth/BroydenTridiagonal/" + std::to_string(s.n));
    const bool withCeres = s.n <= 100000;
    if (withCeres) c->buildCeres();
    benchmark::RegisterBenchmark(("Ns23Growth/" + std::to_string(s.n)).c_str(), runGrowth, c,
                                 withCeres)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(s.n >= 1000000 ? 2 : 3);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
