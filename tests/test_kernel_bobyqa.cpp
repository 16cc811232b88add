// The bounded derivative-free optimiser called directly: the model interpolates every point
// throughout a run (the rescue included), runs continued from copies of the workspace repeat the
// original exactly, the histories and counters agree with what the caller saw, non-finite
// values and the evaluation limit are handled as documented, and invalid arguments end at once
// without touching the workspace.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "bobyqa_problems.hpp"
#include "kernel/bobyqa/bobyqa_kernel.hpp"

using bobyqa_problems::Problem;

namespace {

// All 38 arguments of one run, with the optional arrays switched on.
struct KernelRun {
  int n, npt, lw, liw, maxfun, task = 0, msglevel = 0;
  double f = 0.0, rhobeg, rhoend;
  std::vector<double> x, xl, xu, w, fhist, rstate, xhist, xbest;
  std::vector<int> iw, counts, khist;
  int lfhist, lcounts = 7, lrstate = 5, lkhist, lxhist;
  double* ftarget = nullptr;
  bool xbestIsX = false;
  char message[160] = {};

  KernelRun(const Problem& p, int npt_, double rhoend_, int maxfun_ = 0)
      : n(p.n),
        npt(npt_),
        maxfun(maxfun_ > 0 ? maxfun_ : p.budget),
        rhobeg(p.rhobeg),
        rhoend(rhoend_),
        x(p.start),
        xl(p.xl),
        xu(p.xu) {
    lw = BobyqaRealWorkspaceLength(n, npt);
    liw = BobyqaIntWorkspaceLength(npt);
    w.assign(std::max(lw, 1), 0.0);
    iw.assign(std::max(liw, 1), 0);
    lfhist = lkhist = maxfun;
    lxhist = maxfun * n;
    fhist.assign(lfhist, 0.0);
    khist.assign(lkhist, -7);
    xhist.assign(lxhist, 0.0);
    counts.assign(lcounts, 0);
    rstate.assign(lrstate, 0.0);
    xbest.assign(n, 0.0);
  }

  void Call() {
    int zero = 0;
    BQA_OPTBQA(x.data(), &f, &n, xl.data(), xu.data(), &npt, w.data(), &lw, iw.data(), &task, &liw,
               &maxfun, fhist.data(), &lfhist, counts.data(), &lcounts, rstate.data(), &lrstate,
               khist.data(), &lkhist, xhist.data(), &lxhist, nullptr, &zero,
               xbestIsX ? x.data() : xbest.data(), ftarget, &rhobeg, &msglevel, &zero, &zero, &zero,
               &zero, &zero, &zero, &zero, &rhoend, message, sizeof message);
  }

  // Workspace slices, in the documented order.
  const double* Xbase() const { return w.data() + kBobyqaRealScalars; }
  const double* Xpt() const { return Xbase() + n; }
  const double* Fval() const { return Xpt() + npt * n; }
  const double* Xopt() const { return Fval() + npt; }
  const double* Gopt() const { return Xopt() + n; }
  const double* Hq() const { return Gopt() + n; }
  const double* Pq() const { return Hq() + n * (n + 1) / 2; }

  // Largest |Q(y_k) - f_k| over the points, relative to the spread of the values (floored at
  // the rounding level of values near f(xopt) once the spread shrinks with rho), where Q is the
  // model fval(kopt) + g^T s + s^T H s / 2 about xopt, with H = hq + sum_k pq_k y_k y_k^T.
  double InterpolationError() const {
    std::vector<double> H(n * n);
    for (int j = 0; j < n; ++j)
      for (int i = 0; i <= j; ++i) H[i + j * n] = H[j + i * n] = Hq()[i + j * (j + 1) / 2];
    for (int k = 0; k < npt; ++k)
      for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) H[i + j * n] += Pq()[k] * Xpt()[k * n + i] * Xpt()[k * n + j];
    int kopt = 0;
    double spread = 0.0;
    for (int k = 0; k < npt; ++k)
      if (Fval()[k] < Fval()[kopt]) kopt = k;
    for (int k = 0; k < npt; ++k) spread = std::max(spread, Fval()[k] - Fval()[kopt]);
    double worst = 0.0;
    for (int k = 0; k < npt; ++k) {
      std::vector<double> s(n);
      for (int i = 0; i < n; ++i) s[i] = Xpt()[k * n + i] - Xopt()[i];
      double q = Fval()[kopt];
      for (int i = 0; i < n; ++i) {
        q += Gopt()[i] * s[i];
        for (int j = 0; j < n; ++j) q += 0.5 * s[i] * H[i + j * n] * s[j];
      }
      worst = std::max(worst, std::abs(q - Fval()[k]));
    }
    return worst / (spread + 1e-8 * (1.0 + std::abs(Fval()[kopt])));
  }
};

bool Inside(const KernelRun& r) {
  for (int i = 0; i < r.n; ++i)
    if (!(r.x[i] >= r.xl[i] && r.x[i] <= r.xu[i])) return false;
  return true;
}

// Runs to the end, evaluating p.f, checking bounds on every request; returns evaluations.
int Finish(KernelRun& r, const Problem& p) {
  int evaluations = 0;
  for (r.Call(); r.task == 1; r.Call()) {
    EXPECT_TRUE(Inside(r)) << p.name << " evaluation " << evaluations;
    r.f = p.f(r.x.data());
    ++evaluations;
  }
  return evaluations;
}

}  // namespace

TEST(BobyqaKernel, ModelInterpolatesEveryPointThroughoutIncludingRescues) {
  // Tiny rhoend on the singular Powell function drives the update into the rounding regime where
  // the points must be re-chosen; the least-change updates and the rescue must both keep the
  // interpolation conditions.
  struct Case {
    Problem p;
    int npt;
    double rhoend;
  };
  std::vector<Case> cases = {
      {bobyqa_problems::Rosenbrock(2, -2.0, 2.0), 5, 1e-8},
      {bobyqa_problems::QuadraticOnBounds(), 8, 1e-8},
      {bobyqa_problems::LeastSquares("PowellSingular", std::vector<double>(4, -4.0),
                                     std::vector<double>(4, 4.0), 0.0, 0.2),
       15, 1e-15},
      {bobyqa_problems::SpherePoints(5), 21, 1e-6},
  };
  for (Case& c : cases) {
    KernelRun r(c.p, c.npt, c.rhoend, 3000);
    double worst = 0.0;
    int checked = 0;
    for (r.Call(); r.task == 1; r.Call()) {
      // Between steps (not while the initial or rescue points are still being added).
      if (r.counts[6] == 1 || r.counts[6] == 2) {
        worst = std::max(worst, r.InterpolationError());
        ++checked;
      }
      r.f = c.p.f(r.x.data());
    }
    EXPECT_GT(checked, 10) << c.p.name;
    EXPECT_LT(worst, 1e-6) << c.p.name;
    if (c.p.name == "PowellSingular") {
      EXPECT_GT(r.counts[3], 0) << "no rescue happened";
    }
    EXPECT_TRUE(r.task == 2 || r.task == 4) << c.p.name << ": " << r.message;
    EXPECT_LE(r.f, bobyqa_problems::Threshold(c.p)) << c.p.name;
  }
}

TEST(BobyqaKernel, CopiesOfTheWorkspaceContinueExactlyLikeTheOriginal) {
  const Problem p = bobyqa_problems::LeastSquares("PowellSingular", std::vector<double>(4, -4.0),
                                                  std::vector<double>(4, 4.0), 0.0, 0.2);
  // Copy in the initial phase, among trust-region steps, and while a rescue is under way.
  KernelRun probe(p, 15, 1e-15, 3000);
  int firstRescue = -1, evaluations = 0;
  for (probe.Call(); probe.task == 1; probe.Call(), ++evaluations) {
    if (probe.counts[6] == 3 && firstRescue < 0) firstRescue = evaluations;
    probe.f = p.f(probe.x.data());
  }
  ASSERT_GT(firstRescue, 0);
  for (int copyAt : {5, 40, firstRescue}) {
    KernelRun original(p, 15, 1e-15, 3000);
    for (int k = 0; k < copyAt; ++k) {
      original.Call();
      ASSERT_EQ(original.task, 1);
      original.f = p.f(original.x.data());
    }
    // The copy gets fresh arrays holding the same values; x is handed over too, as the caller
    // would when resuming from saved state.
    KernelRun copy = original;
    for (;;) {
      original.Call();
      copy.Call();
      ASSERT_EQ(original.task, copy.task);
      ASSERT_EQ(0, std::memcmp(original.x.data(), copy.x.data(), sizeof(double) * p.n));
      if (original.task != 1) break;
      original.f = copy.f = p.f(original.x.data());
    }
    EXPECT_EQ(original.f, copy.f);
    EXPECT_EQ(original.counts, copy.counts);
  }
}

TEST(BobyqaKernel, HistoriesCountersAndBestPointAgreeWithTheCallersView) {
  const Problem p = bobyqa_problems::Rosenbrock(2, -2.0, 2.0);
  KernelRun r(p, 5, 1e-8);
  r.msglevel = 1;
  std::vector<double> seenF, seenX;
  std::vector<int> kinds;
  for (r.Call(); r.task == 1; r.Call()) {
    kinds.push_back(r.counts[6]);
    EXPECT_EQ(r.counts[0], static_cast<int>(seenF.size()) + 1);
    EXPECT_EQ(std::strncmp(r.message, "evaluate: ", 10), 0) << r.message;
    r.f = p.f(r.x.data());
    seenF.push_back(r.f);
    seenX.insert(seenX.end(), r.x.begin(), r.x.end());
  }
  ASSERT_EQ(r.task, 2) << r.message;
  ASSERT_EQ(r.counts[3], 0);
  const int count = static_cast<int>(seenF.size());
  EXPECT_EQ(r.counts[0], count);
  for (int k = 0; k < count; ++k) {
    EXPECT_EQ(r.fhist[k], seenF[k]);
    EXPECT_EQ(r.khist[k], kinds[k]);
    EXPECT_EQ(r.xhist[2 * k], seenX[2 * k]);
    EXPECT_EQ(r.xhist[2 * k + 1], seenX[2 * k + 1]);
  }
  for (int k = 0; k < r.npt; ++k) EXPECT_EQ(kinds[k], 0);
  // Every evaluation is one of the counted kinds.
  EXPECT_EQ(r.counts[1] + r.counts[2] + r.npt + (kinds.back() == 4 ? 1 : 0), count);
  // The result is the least value seen, at its point; xbest and rstate agree.
  const int best = static_cast<int>(std::min_element(seenF.begin(), seenF.end()) - seenF.begin());
  EXPECT_EQ(r.f, seenF[best]);
  EXPECT_EQ(r.x[0], seenX[2 * best]);
  EXPECT_EQ(r.x[1], seenX[2 * best + 1]);
  EXPECT_EQ(r.xbest, r.x);
  EXPECT_EQ(r.rstate[0], r.rhoend);
  EXPECT_EQ(r.rstate[2], r.f);
  EXPECT_GT(r.counts[4], 0);
  EXPECT_NE(std::strstr(r.message, "converged"), nullptr) << r.message;

  // xbest given as x itself must not overwrite the points handed out.
  KernelRun same(p, 5, 1e-8);
  same.xbestIsX = true;
  Finish(same, p);
  EXPECT_EQ(same.f, r.f);
  EXPECT_EQ(same.counts[0], r.counts[0]);
}

TEST(BobyqaKernel, NonFiniteValuesAreNeverTheBest) {
  // NaN left of the start, +inf above it: both met by the initial points, and again later by
  // steps that stray there; the minimiser (1, 1) lies in the valid region.
  Problem p = bobyqa_problems::Rosenbrock(2, -2.0, 2.0);
  const auto rosen = p.f;
  p.f = [rosen](const double* x) {
    if (x[0] < -1.25) return std::nan("");
    if (x[1] > 1.05 && x[0] < 0.0) return std::numeric_limits<double>::infinity();
    return rosen(x);
  };
  KernelRun r(p, 5, 1e-8);
  int bad = 0;
  double leastFinite = std::numeric_limits<double>::infinity();
  for (r.Call(); r.task == 1; r.Call()) {
    r.f = p.f(r.x.data());
    if (std::isfinite(r.f))
      leastFinite = std::min(leastFinite, r.f);
    else
      ++bad;
  }
  ASSERT_GT(bad, 0) << "the test region was not visited";
  EXPECT_EQ(r.counts[5], bad);
  EXPECT_TRUE(std::isfinite(r.rstate[4]));
  EXPECT_TRUE(r.task >= 2 && r.task <= 4) << r.message;
  EXPECT_TRUE(std::isfinite(r.f));
  EXPECT_EQ(r.f, leastFinite);
  EXPECT_EQ(r.f, p.f(r.x.data()));
  EXPECT_LT(r.f, 1e-6);

  // At the first point there is nothing to compare with.
  Problem q = bobyqa_problems::Rosenbrock(2, -2.0, 2.0);
  KernelRun s(q, 5, 1e-8);
  s.Call();
  ASSERT_EQ(s.task, 1);
  s.f = std::nan("");
  s.Call();
  EXPECT_EQ(s.task, -9);
  EXPECT_NE(std::strstr(s.message, "not finite"), nullptr);
  s.task = 1;
  s.Call();
  EXPECT_EQ(s.task, -10);
}

TEST(BobyqaKernel, EvaluationLimitAndTargetFinishWithTheBestPoint) {
  const Problem p = bobyqa_problems::SpherePoints(5);
  for (int maxfun : {22, 60, 150}) {
    KernelRun r(p, 21, 1e-8, maxfun);
    const int evaluations = Finish(r, p);
    EXPECT_EQ(r.task, 3) << r.message;
    EXPECT_EQ(evaluations, maxfun);
    EXPECT_EQ(r.f, *std::min_element(r.fhist.begin(), r.fhist.begin() + maxfun));
    EXPECT_EQ(r.f, p.f(r.x.data()));
    EXPECT_NE(std::strstr(r.message, "maxfun"), nullptr) << r.message;
  }
  KernelRun r(p, 21, 1e-8);
  double target = p.fstar + 1e-3;
  r.ftarget = &target;
  const int evaluations = Finish(r, p);
  EXPECT_EQ(r.task, 5) << r.message;
  EXPECT_LE(r.f, target);
  for (int k = 0; k + 1 < evaluations; ++k) EXPECT_GT(r.fhist[k], target);  // stopped at the first
}

TEST(BobyqaKernel, StartIsMovedIntoTheBoxAndOneVariableWorks) {
  // Start outside on one side, within rhobeg of a bound on the other: the first point lands on
  // the bound or rhobeg inside; then a one-variable quadratic with its minimiser at a bound.
  Problem p;
  p.n = 1;
  p.start = {7.0};
  p.xl = {-1.0};
  p.xu = {2.0};
  p.rhobeg = 0.25;
  p.budget = 100;
  p.f = [](const double* x) { return (x[0] - 3.0) * (x[0] - 3.0); };
  KernelRun r(p, 3, 1e-9);
  r.Call();
  ASSERT_EQ(r.task, 1) << r.message;
  EXPECT_EQ(r.x[0], 2.0);
  r.f = p.f(r.x.data());
  Finish(r, p);
  EXPECT_EQ(r.task, 2) << r.message;
  EXPECT_EQ(r.x[0], 2.0);
  EXPECT_EQ(r.f, 1.0);

  Problem q = bobyqa_problems::QuadraticOnBounds();
  q.start[0] = -0.9;  // 0.1 above its lower bound, rhobeg 0.2
  q.start[1] = 1.5;   // above its upper bound
  KernelRun s(q, 13, 1e-8);
  s.Call();
  EXPECT_EQ(s.x[0], -1.0 + 0.2);
  EXPECT_EQ(s.x[1], 1.0);
}

TEST(BobyqaKernel, InvalidArgumentsEndAtOnceLeavingTheWorkspaceAlone) {
  const Problem p = bobyqa_problems::QuadraticOnBounds();
  struct Case {
    const char* what;
    int expected;
    void (*spoil)(KernelRun&);
  };
  const Case cases[] = {
      {"npt too small", -1, [](KernelRun& r) { r.npt = r.n + 1; }},
      {"npt too large", -1, [](KernelRun& r) { r.npt = (r.n + 1) * (r.n + 2) / 2 + 1; }},
      {"n zero", -1, [](KernelRun& r) { r.n = 0; }},
      {"xl > xu", -2, [](KernelRun& r) { r.xl[3] = r.xu[3] + 1.0; }},
      {"infinite bound", -2, [](KernelRun& r) { r.xu[2] = INFINITY; }},
      {"bounds too close", -3, [](KernelRun& r) { r.xu[4] = r.xl[4] + 1.9 * r.rhobeg; }},
      {"rhoend above rhobeg", -4, [](KernelRun& r) { r.rhoend = 2.0 * r.rhobeg; }},
      {"rhoend zero", -4, [](KernelRun& r) { r.rhoend = 0.0; }},
      {"maxfun < npt + 1", -5, [](KernelRun& r) { r.maxfun = r.npt; }},
      {"short lw", -6, [](KernelRun& r) { r.lw -= 1; }},
      {"short liw", -7, [](KernelRun& r) { r.liw -= 1; }},
      {"NaN start", -8, [](KernelRun& r) { r.x[1] = std::nan(""); }},
  };
  for (const Case& c : cases) {
    KernelRun r(p, 13, 1e-8);
    ASSERT_EQ(r.lw, kBobyqaRealScalars + 13 * (13 + 6 + 5) + 6 * (3 * 6 + 43) / 2);
    ASSERT_EQ(r.liw, kBobyqaIntScalars + 3 * 13);
    c.spoil(r);
    // Guards beyond the stated lengths would be overwritten by a write past the end.
    const std::vector<double> w0(r.w.size(), 0.0);
    r.Call();
    EXPECT_EQ(r.task, c.expected) << c.what;
    EXPECT_EQ(r.w, w0) << c.what;
    EXPECT_TRUE(std::all_of(r.iw.begin(), r.iw.end(), [](int v) { return v == 0; })) << c.what;
    EXPECT_EQ(std::strncmp(r.message, "error: ", 7), 0) << c.what << ": " << r.message;
  }
  // Continuing without a run, or with a workspace of other sizes.
  KernelRun r(p, 13, 1e-8);
  r.task = 1;
  r.Call();
  EXPECT_EQ(r.task, -10);
  KernelRun s(p, 13, 1e-8);
  s.Call();
  ASSERT_EQ(s.task, 1);
  s.npt = 14;
  s.Call();
  EXPECT_EQ(s.task, -10);
  // Codes other than 0 and 1 return at once, changing nothing.
  KernelRun t(p, 13, 1e-8);
  t.task = 7;
  t.Call();
  EXPECT_EQ(t.task, 7);
  EXPECT_EQ(t.message[0], '\0');
}

TEST(BobyqaKernel, MessagesAreTruncatedAndTerminated) {
  const Problem p = bobyqa_problems::Rosenbrock(2, -2.0, 2.0);
  double x[2] = {-1.2, 1.0}, xl[2] = {-2, -2}, xu[2] = {2, 2}, f = 0.0;
  int n = 2, npt = 5, lw = BobyqaRealWorkspaceLength(2, 5), liw = BobyqaIntWorkspaceLength(5);
  std::vector<double> w(lw);
  std::vector<int> iw(liw);
  int task = 0, maxfun = 6, zero = 0, level = 1;
  double rhobeg = 0.1, rhoend = 1e-6;
  char buffer[12];
  for (;;) {
    std::memset(buffer, '#', sizeof buffer);
    BQA_OPTBQA(x, &f, &n, xl, xu, &npt, w.data(), &lw, iw.data(), &task, &liw, &maxfun, nullptr,
               &zero, nullptr, &zero, nullptr, &zero, nullptr, &zero, nullptr, &zero, nullptr,
               &zero, nullptr, nullptr, &rhobeg, &level, &zero, &zero, &zero, &zero, &zero, &zero,
               &zero, &rhoend, buffer, 8);
    EXPECT_EQ(std::strlen(buffer), 7u);
    EXPECT_EQ(buffer[8], '#');  // nothing past the stated length
    if (task != 1) break;
    f = p.f(x);
  }
  EXPECT_EQ(task, 3);
  EXPECT_EQ(std::string(buffer), "stopped");
  // No buffer at all.
  task = 0;
  BQA_OPTBQA(x, &f, &n, xl, xu, &npt, w.data(), &lw, iw.data(), &task, &liw, &maxfun, nullptr,
             &zero, nullptr, &zero, nullptr, &zero, nullptr, &zero, nullptr, &zero, nullptr, &zero,
             nullptr, nullptr, &rhobeg, &level, &zero, &zero, &zero, &zero, &zero, &zero, &zero,
             &rhoend, nullptr, 0);
  EXPECT_EQ(task, 1);
}
