// lmderSolver against the classical lmder driver (cminpack) on the same 1000 x 50 problem with the
// same callbacks and tolerances. Both call the same kernel routines and perform the same
// evaluations, so the ratio of the run times measures the cost of the reverse-communication
// machine and the callback interfaces. Runs are interleaved within each iteration and timed
// in thread CPU time.
#include <benchmark/benchmark.h>
#include <cminpack.h>

#include <time.h>

#include <cmath>
#include <random>
#include <vector>

#include "orvo/nonlinear.hpp"
#include "timing.hpp"

using namespace Orvo;

namespace {
constexpr int kResiduals = 1000;
constexpr int kVariables = 50;
constexpr double kTolerance = 1e-10;

// f_i(x) = sum_j A_ij x_j + 0.1 (sum_j B_ij x_j)^2 - y_i: a mildly nonlinear fit whose Jacobian
// rows are A_i + 0.2 (B_i x) B_i.
struct Problem {
  std::vector<double> A, B, y, start;
  Problem()
      : A(kResiduals * kVariables), B(kResiduals * kVariables), y(kResiduals), start(kVariables) {
    std::mt19937 engine(2024);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    for (double& v : A) v = uniform(engine);
    for (double& v : B) v = 0.3 * uniform(engine);
    for (double& v : y) v = 5.0 * uniform(engine);
    for (double& v : start) v = uniform(engine);
  }
  void residuals(const double* x, double* f) const {
    for (int i = 0; i < kResiduals; ++i) f[i] = -y[i];
    std::vector<double> bx(kResiduals, 0.0);
    for (int j = 0; j < kVariables; ++j)
      for (int i = 0; i < kResiduals; ++i) {
        f[i] += A[i + j * kResiduals] * x[j];
        bx[i] += B[i + j * kResiduals] * x[j];
      }
    for (int i = 0; i < kResiduals; ++i) f[i] += 0.1 * bx[i] * bx[i];
  }
  void jacobian(const double* x, double* J, int ld) const {
    std::vector<double> bx(kResiduals, 0.0);
    for (int j = 0; j < kVariables; ++j)
      for (int i = 0; i < kResiduals; ++i) bx[i] += B[i + j * kResiduals] * x[j];
    for (int j = 0; j < kVariables; ++j)
      for (int i = 0; i < kResiduals; ++i)
        J[i + j * ld] = A[i + j * kResiduals] + 0.2 * bx[i] * B[i + j * kResiduals];
  }
};

const Problem& problem() {
  static const Problem p;
  return p;
}

int referenceCallback(void*, int, int, const double* x, double* fvec, double* fjac, int ldfjac,
                      int iflag) {
  if (iflag == 1) problem().residuals(x, fvec);
  if (iflag == 2) problem().jacobian(x, fjac, ldfjac);
  return 0;
}

struct Callbacks : FunctorBase_AA, FunctorBase_AM {
  void operator()(mvlarray<double>& x, mvlarray<double>& f) override {
    problem().residuals(x.Array(), f.Array());
  }
  void operator()(mvlarray<double>& x, RMatrix& J) override {
    problem().jacobian(x.Array(), J.Array(), kResiduals);
  }
};

int runReference() {
  const int m = kResiduals, n = kVariables;
  std::vector<double> x = problem().start, fvec(m), fjac(m * n), diag(n), qtf(n), wa1(n), wa2(n),
                      wa3(n), wa4(m);
  std::vector<int> ipvt(n);
  int nfev = 0, njev = 0;
  lmder(referenceCallback, nullptr, m, n, x.data(), fvec.data(), fjac.data(), m, kTolerance,
        kTolerance, 0.0, 100000, diag.data(), 1, 0.1, 0, &nfev, &njev, ipvt.data(), qtf.data(),
        wa1.data(), wa2.data(), wa3.data(), wa4.data());
  return nfev;
}

int runOrvo() {
  mvlarray<double> x(kVariables);
  for (int j = 0; j < kVariables; ++j) x[j] = problem().start[j];
  lmderSolver solver(kResiduals, kVariables, x, kTolerance);
  Callbacks callbacks;
  solver.Solve(callbacks, callbacks, 1000000);
  return solver.nFev();
}

// CPU time of this thread: the machine is shared, so wall time would mostly measure the others.
using support::threadSeconds;

void BM_LmderSolverVsCminpackLmder(benchmark::State& state) {
  double reference = 0.0, orvo = 0.0;
  int referenceEvaluations = 0, orvoEvaluations = 0;
  for (auto _ : state) {
    const double t0 = threadSeconds();
    referenceEvaluations = runReference();
    const double t1 = threadSeconds();
    orvoEvaluations = runOrvo();
    const double t2 = threadSeconds();
    reference += t1 - t0;
    orvo += t2 - t1;
  }
  const double runs = static_cast<double>(state.iterations());
  state.counters["cminpack_ms"] = 1e3 * reference / runs;
  state.counters["orvo_ms"] = 1e3 * orvo / runs;
  state.counters["ratio"] = orvo / reference;
  state.counters["nfev_cminpack"] = referenceEvaluations;
  state.counters["nfev_orvo"] = orvoEvaluations;
}
BENCHMARK(BM_LmderSolverVsCminpackLmder)->Unit(benchmark::kMillisecond)->MinTime(3.0);
}  // namespace

BENCHMARK_MAIN();
