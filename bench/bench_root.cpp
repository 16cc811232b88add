// Root finding: function evaluations needed by SecantSolver to enclose the root to the same
// tolerance as GSL's Brent solver, Boost's toms748_solve and a textbook zeroin (Brent's method
// with the tolerance inside its steps), from the same brackets, on the enclosing-method test set
// (154 functions). Every method stops when its enclosure is at most tol + 4 eps max(|lo|, |hi|)
// wide or it has evaluated an exact zero; evaluations include the two at the ends. The table is
// printed first; the Google benchmarks then time one pass over the whole set per method.
#include <benchmark/benchmark.h>
#include <gsl/gsl_errno.h>
#include <gsl/gsl_roots.h>

#include <boost/math/tools/toms748_solve.hpp>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "../tests/root_problems.hpp"
#include "orvo/nonlinear.hpp"

using root_problems::Problem;

namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr int kMaxEvaluations = 1000;

double Width(double lo, double hi, double tol) {
  return tol + 4.0 * kEps * std::max(std::fabs(lo), std::fabs(hi));
}

struct Counted {
  const Problem* problem;
  int evaluations = 0;
  bool hitZero = false;
  double operator()(double x) {
    ++evaluations;
    const double fx = problem->f(x);
    if (fx == 0.0) hitZero = true;
    return fx;
  }
};

struct Result {
  int evaluations = 0;
  double x = 0.0;
  bool ok = false;
};

bool Accept(const Problem& p, double x, double tol) {
  return std::fabs(x - p.root) <= Width(x, x, tol) || p.f(x) == 0.0;
}

struct OrvoCallback : Orvo::FunctorBase_RretR {
  Counted* counted;
  explicit OrvoCallback(Counted* c) : counted(c) {}
  double operator()(double x) override { return (*counted)(x); }
};

Result SolveOrvo(const Problem& p, double tol) {
  Counted counted{&p};
  OrvoCallback callback(&counted);
  Orvo::SecantSolver solver(p.a, p.b, tol, kMaxEvaluations);
  const double x = solver.Solve(callback);
  return {counted.evaluations, x, solver.state() == Orvo::SecantSolver::Converged};
}

Result SolveBoost(const Problem& p, double tol) {
  Counted counted{&p};
  std::uintmax_t iterations = kMaxEvaluations;
  auto f = [&counted](double x) { return counted(x); };
  auto done = [tol](double lo, double hi) { return std::fabs(hi - lo) <= Width(lo, hi, tol); };
  const std::pair<double, double> r =
      boost::math::tools::toms748_solve(f, p.a, p.b, done, iterations);
  const double flo = p.f(r.first), fhi = p.f(r.second);
  const double x = std::fabs(flo) <= std::fabs(fhi) ? r.first : r.second;
  return {counted.evaluations, x, true};
}

double GslTrampoline(double x, void* data) {
  return (*static_cast<Counted*>(data))(x);
}

Result SolveGsl(const Problem& p, double tol) {
  Counted counted{&p};
  gsl_function function{&GslTrampoline, &counted};
  gsl_root_fsolver* solver = gsl_root_fsolver_alloc(gsl_root_fsolver_brent);
  gsl_root_fsolver_set(solver, &function, p.a, p.b);
  double x = gsl_root_fsolver_root(solver);
  while (counted.evaluations < kMaxEvaluations && !counted.hitZero) {
    if (gsl_root_fsolver_iterate(solver) != GSL_SUCCESS) break;
    x = gsl_root_fsolver_root(solver);
    const double lo = gsl_root_fsolver_x_lower(solver), hi = gsl_root_fsolver_x_upper(solver);
    if (hi - lo <= Width(lo, hi, tol)) break;
  }
  gsl_root_fsolver_free(solver);
  return {counted.evaluations, x, true};
}

// Brent's zeroin as published (Algorithms for Minimization without Derivatives, 1973), with
// the tolerance tol1 = 2 eps |b| + tol / 2 inside its steps: it stops when |c - b| <= 2 tol1,
// the same width as the others.
Result SolveZeroin(const Problem& p, double tol) {
  Counted counted{&p};
  double a = p.a, b = p.b, fa = counted(a), fb = counted(b);
  double c = a, fc = fa, d = b - a, e = d;
  while (counted.evaluations < kMaxEvaluations && fb != 0.0) {
    if ((fb > 0) == (fc > 0)) {
      c = a;
      fc = fa;
      d = e = b - a;
    }
    if (std::fabs(fc) < std::fabs(fb)) {
      a = b;
      b = c;
      c = a;
      fa = fb;
      fb = fc;
      fc = fa;
    }
    const double tol1 = 2.0 * kEps * std::fabs(b) + 0.5 * tol, m = 0.5 * (c - b);
    if (std::fabs(m) <= tol1) break;
    if (std::fabs(e) < tol1 || std::fabs(fa) <= std::fabs(fb)) {
      d = e = m;
    } else {
      double s = fb / fa, pp, q;
      if (a == c) {
        pp = 2.0 * m * s;
        q = 1.0 - s;
      } else {
        const double qa = fa / fc, r = fb / fc;
        pp = s * (2.0 * m * qa * (qa - r) - (b - a) * (r - 1.0));
        q = (qa - 1.0) * (r - 1.0) * (s - 1.0);
      }
      if (pp > 0) {
        q = -q;
      } else {
        pp = -pp;
      }
      if (2.0 * pp < 3.0 * m * q - std::fabs(tol1 * q) && pp < std::fabs(0.5 * e * q)) {
        e = d;
        d = pp / q;
      } else {
        d = e = m;
      }
    }
    a = b;
    fa = fb;
    b += std::fabs(d) > tol1 ? d : (m > 0 ? tol1 : -tol1);
    fb = counted(b);
  }
  return {counted.evaluations, b, true};
}

using Method = Result (*)(const Problem&, double);
struct Named {
  const char* name;
  Method solve;
};
const Named kMethods[] = {{"Orvo", &SolveOrvo},
                          {"Boost toms748", &SolveBoost},
                          {"GSL brent", &SolveGsl},
                          {"zeroin", &SolveZeroin}};
constexpr int kMethodCount = 4;

const std::vector<Problem>& Set() {
  static const std::vector<Problem> set = root_problems::EnclosureSet();
  return set;
}

// Per family (the part of the name before the parameter): evaluations summed over its
// instances; then totals, wins and losses of Orvo against each peer, and failures.
void PrintTable(double tol, bool detail) {
  std::printf("\nEvaluations at tol = %g (width <= tol + 4 eps max|end|)\n", tol);
  std::printf("%-10s %5s", "family", "count");
  for (const Named& m : kMethods) std::printf(" %14s", m.name);
  std::printf("\n");
  std::map<std::string, std::vector<int>> families;
  std::map<std::string, int> counts;
  std::vector<int> totals(kMethodCount, 0), notMore(kMethodCount, 0), fewer(kMethodCount, 0),
      failures(kMethodCount, 0);
  for (const Problem& p : Set()) {
    const std::string family = p.name.substr(0, p.name.find('('));
    std::vector<int>& sums = families[family];
    sums.resize(kMethodCount, 0);
    ++counts[family];
    int orvo = 0;
    std::vector<int> row(kMethodCount);
    for (int k = 0; k < kMethodCount; ++k) {
      const Result r = kMethods[k].solve(p, tol);
      if (!r.ok || !Accept(p, r.x, tol)) ++failures[k];
      row[k] = r.evaluations;
      sums[k] += r.evaluations;
      totals[k] += r.evaluations;
      if (k == 0) orvo = r.evaluations;
      if (orvo <= r.evaluations) ++notMore[k];
      if (orvo < r.evaluations) ++fewer[k];
    }
    if (detail) {
      std::printf("| %s |", p.name.c_str());
      for (int e : row) std::printf(" %d |", e);
      std::printf("\n");
    }
  }
  for (const auto& [family, sums] : families) {
    std::printf("%-10s %5d", family.c_str(), counts[family]);
    for (int s : sums) std::printf(" %14d", s);
    std::printf("\n");
  }
  std::printf("%-10s %5zu", "total", Set().size());
  for (int t : totals) std::printf(" %14d", t);
  std::printf("\n%-16s", "Orvo <= peer");
  for (int k = 0; k < kMethodCount; ++k) std::printf(" %14d", notMore[k]);
  std::printf("\n%-16s", "Orvo < peer");
  for (int k = 0; k < kMethodCount; ++k) std::printf(" %14d", fewer[k]);
  std::printf("\n%-16s", "failures");
  for (int k = 0; k < kMethodCount; ++k) std::printf(" %14d", failures[k]);
  std::printf("\n");
}

void BM_WholeSet(benchmark::State& state) {
  const Named& method = kMethods[state.range(0)];
  state.SetLabel(method.name);
  int evaluations = 0;
  for (auto _ : state) {
    evaluations = 0;
    for (const Problem& p : Set()) evaluations += method.solve(p, 1e-10).evaluations;
    benchmark::DoNotOptimize(evaluations);
  }
  state.counters["evaluations"] = evaluations;
}
BENCHMARK(BM_WholeSet)->DenseRange(0, kMethodCount - 1)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  gsl_set_error_handler_off();
  // ROOT_BENCH_DETAIL set: one (markdown) row per function as well.
  const bool detail = std::getenv("ROOT_BENCH_DETAIL") != nullptr;
  for (double tol : {1e-7, 1e-10, 1e-15}) PrintTable(tol, detail);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
