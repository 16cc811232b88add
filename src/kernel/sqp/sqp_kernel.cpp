// Sequential quadratic programming in reverse communication. Each evaluation the caller performs
// is a trial point of the line search; the whole state between calls lives in w and iw (layout in
// sqp_kernel.hpp).
#include "kernel/sqp/sqp_kernel.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdio>
#include <limits>

#include "common/array_helpers.hpp"
#include "kernel/sqp/sqp_qp.hpp"

namespace {

using Orvo::sqp::PackedIndex;
using Orvo::sqp::PackedLength;

using Orvo::detail::kEpsilon;

// Sufficient decrease of the merit function, as a fraction of the first-order prediction.
constexpr double kArmijoFraction = 0.1;
// Backtracking keeps each new step length within these fractions of the previous one.
constexpr double kMinBacktrack = 0.1;
constexpr double kMaxBacktrack = 0.5;
// Rejected trials tolerated in one line search before progress is declared impossible.
constexpr int kMaxTrials = 20;
// Powell's damping: the curvature s^T y is kept at least this fraction of s^T B s.
constexpr double kDampingThreshold = 0.2;
// Elastic subproblem (when the linearised constraints admit no step). Constraint i is weighted
// rho / |grad c_i| (never below its merit weight); rho starts at max(1, the merit weights, the
// previous rho) and grows by kElasticWeightGrowth, at most kMaxElasticIncreases times per
// iteration, until the step removes at least kSteeringFraction of the weighted violation that the
// pure feasibility step (objective ignored, weights kFeasibilityWeightScale times larger) removes
// (the steering rule of Byrd, Nocedal and Waltz).
constexpr double kMinElasticWeight = 1.0;
constexpr double kElasticWeightGrowth = 10.0;
constexpr int kMaxElasticIncreases = 8;
constexpr double kSteeringFraction = 0.1;
constexpr double kFeasibilityWeightScale = 1.0e4;
// The constraints are declared inconsistent when even the feasibility step removes less than this
// fraction of the violation: x is then a stationary point of the violation.
constexpr double kStationaryViolation = 1.0e-10;
// Gradient norms below this are not used to scale an elastic weight.
constexpr double kTinyGradient = 1.0e-8;
// Constraint values are trusted to this multiple of rounding in their first-order terms.
constexpr double kConstraintRounding = 64.0 * kEpsilon;
// Merit values closer than this multiple of rounding in their terms are indistinguishable.
constexpr double kMeritRounding = 16.0 * kEpsilon;

constexpr int kScalarCount = 14;
constexpr int kVectorCount = 20;
constexpr int kMVectorCount = 6;

enum Scalar {
  kStage,
  kEvaluations,
  kIterations,
  kStepLength,
  kMeritBase,
  kSlope,
  kObjectiveBase,
  kElasticMode,
  kHessianFresh,
  kOptimality,
  kTrials,
  kViolation,
  kMeritNoise,
  kElasticWeight,
};

// Stages kept in w[kStage] between calls.
constexpr double kStageIdle = 0.0;
constexpr double kStageAwaitingTrial = 1.0;

enum ExitCode {
  kEvaluate = 0,
  kConverged = 1,
  kLimit = 2,
  kNoProgress = 3,
  kInconsistent = 4,
  kInvalid = 5
};

bool AllFinite(int n, const double* v) {
  for (int i = 0; i < n; ++i)
    if (!std::isfinite(v[i])) return false;
  return true;
}

using Orvo::detail::dot;

class SqpRun {
 public:
  SqpRun(int n, int m, int meq, double* x, double* f, double* g, double* c, const double* cn,
         int lcn, int maxfun, double acc, int iprint, int* info, double* w, int* iw)
      : n_(n),
        m_(m),
        meq_(meq),
        x_(x),
        f_(f),
        g_(g),
        c_(c),
        cn_(cn),
        lcn_(lcn),
        maxfun_(maxfun),
        acc_(acc),
        iprint_(iprint),
        info_(info),
        s_(w),
        iw_(iw) {
    double* next = w + kScalarCount;
    auto take = [&next](long length) {
      double* slice = next;
      next += length;
      return slice;
    };
    xk_ = take(n);
    gk_ = take(n);
    d_ = take(n);
    gradL_ = take(n);
    qpScratch_ = take(5L * n);
    bs_ = take(n);
    y_ = take(n);
    step_ = take(n);
    take(static_cast<long>(kVectorCount - 12) * n);  // reserved
    B_ = take(PackedLength(n));
    U_ = take(PackedLength(n));
    R_ = take(PackedLength(n));
    J_ = take(static_cast<long>(n) * n);
    ck_ = take(m);
    lambda_ = take(m);
    mu_ = take(m);
    rhs_ = take(m);
    slack_ = take(m);
    isActive_ = take(m);
  }

  void Start() {
    if (!AllFinite(1, f_) || !AllFinite(n_, g_) || !AllFinite(m_, c_) || !GradientsFinite()) {
      *info_ = kInvalid;
      return;
    }
    s_[kEvaluations] = 1.0;
    s_[kIterations] = 0.0;
    for (int i = 0; i < m_; ++i) mu_[i] = 0.0;
    s_[kElasticWeight] = 0.0;
    ResetHessian();
    BeginIteration();
  }

  void Continue() {
    if (s_[kStage] != kStageAwaitingTrial) {
      *info_ = kInvalid;
      return;
    }
    s_[kEvaluations] += 1.0;
    const double alpha = s_[kStepLength];
    const double merit = Merit(*f_, c_);
    // Sufficient decrease; or, for a full step whose predicted gain is lost in rounding, no
    // increase beyond rounding.
    const double base = s_[kMeritBase], slope = s_[kSlope], noise = s_[kMeritNoise];
    const bool decrease = merit <= base + kArmijoFraction * alpha * slope ||
                          (alpha == 1.0 && -slope <= noise && merit <= base + noise);
    const bool acceptable =
        std::isfinite(merit) && decrease && AllFinite(n_, g_) && GradientsFinite();
    if (acceptable) {
      UpdateHessian();
      s_[kIterations] += 1.0;
      BeginIteration();
      return;
    }
    if (s_[kEvaluations] >= maxfun_) return Finish(kLimit, true);

    double next = kMinBacktrack * alpha;
    if (std::isfinite(merit) && slope < 0.0) {
      // Minimiser of the quadratic through merit(0), its slope and merit(alpha).
      const double excess = merit - base - alpha * slope;
      const double interpolated = -slope * alpha * alpha / (2.0 * excess);
      next = std::clamp(interpolated, kMinBacktrack * alpha, kMaxBacktrack * alpha);
    }
    s_[kTrials] += 1.0;
    double relativeStep = 0.0;
    for (int i = 0; i < n_; ++i)
      relativeStep = std::max(relativeStep, std::abs(next * d_[i]) / (1.0 + std::abs(xk_[i])));
    if (s_[kTrials] >= kMaxTrials || relativeStep <= kEpsilon) return Finish(kNoProgress, true);
    SetTrial(next);
  }

 private:
  const double* Gradient(int i) const { return cn_ + static_cast<long>(i) * lcn_; }

  bool GradientsFinite() const {
    for (int i = 0; i < m_; ++i)
      if (!AllFinite(n_, Gradient(i))) return false;
    return true;
  }

  // Size of the first-order terms of constraint i at x, the scale of its rounding errors.
  double ConstraintMagnitude(int i) const {
    double magnitude = std::abs(c_[i]);
    const double* a = Gradient(i);
    for (int j = 0; j < n_; ++j) magnitude += std::abs(a[j] * x_[j]);
    return magnitude;
  }

  double Violation(int i, double value) const {
    return Orvo::sqp::ConstraintViolation(i, meq_, value);
  }

  // Violation weighted by the penalty weights, the part of the merit function it contributes.
  double WeightedViolation(const double* residual) const {
    double total = 0.0;
    for (int i = 0; i < m_; ++i) total += mu_[i] * Violation(i, residual[i]);
    return total;
  }

  double Merit(double f, const double* c) const {
    double merit = f;
    for (int i = 0; i < m_; ++i) merit += mu_[i] * Violation(i, c[i]);
    return merit;
  }

  void ResetHessian() {
    for (int j = 0; j < n_; ++j) {
      double* column = B_ + PackedIndex(0, j);
      for (int i = 0; i < j; ++i) column[i] = 0.0;
      column[j] = 1.0;
    }
    s_[kHessianFresh] = 1.0;
  }

  // At an accepted point: solve the subproblem, test convergence, set up the line search.
  void BeginIteration() {
    std::copy(x_, x_ + n_, xk_);
    std::copy(g_, g_ + n_, gk_);
    std::copy(c_, c_ + m_, ck_);
    s_[kObjectiveBase] = *f_;

    if (!Orvo::sqp::PackedCholesky(n_, B_, U_)) {
      ResetHessian();
      Orvo::sqp::PackedCholesky(n_, B_, U_);
    }

    Orvo::sqp::QpProblem problem;
    problem.n = n_;
    problem.m = m_;
    problem.meq = meq_;
    problem.U = U_;
    problem.g = g_;
    problem.a = cn_;
    problem.lda = lcn_;
    problem.b = rhs_;
    Orvo::sqp::QpWorkspace work;
    work.J = J_;
    work.R = R_;
    work.dvec = qpScratch_;
    work.z = qpScratch_ + n_;
    work.r = qpScratch_ + 2L * n_;
    work.normal = qpScratch_ + 3L * n_;
    work.u = qpScratch_ + 4L * n_;
    work.slack = slack_;
    work.isActive = isActive_;
    work.active = iw_;

    std::copy(c_, c_ + m_, rhs_);
    const Orvo::sqp::QpStatus status = Orvo::sqp::SolveQp(problem, work, d_, lambda_);
    if (status == Orvo::sqp::QpStatus::Failed) return Finish(kNoProgress, false);
    const bool elastic = status == Orvo::sqp::QpStatus::Infeasible;
    s_[kElasticMode] = elastic ? 1.0 : 0.0;
    if (elastic) {
      const int outcome = ElasticStep(problem, work);
      if (outcome != kEvaluate) return Finish(outcome, false);
    }

    const double gd = dot(n_, g_, d_);
    double optimality = std::abs(gd);
    double violation = 0.0;
    bool feasible = true;
    for (int i = 0; i < m_; ++i) {
      optimality += std::abs(lambda_[i] * c_[i]);
      const double v = Violation(i, c_[i]);
      violation += v;
      if (v > acc_ + kConstraintRounding * ConstraintMagnitude(i)) feasible = false;
    }
    s_[kOptimality] = optimality;
    s_[kViolation] = violation;
    Report();
    if (!elastic && feasible && optimality <= acc_) return Finish(kConverged, false);

    // Gradient of the Lagrangian at x_k with the new multipliers, for the curvature pair.
    std::copy(g_, g_ + n_, gradL_);
    for (int i = 0; i < m_; ++i) {
      if (lambda_[i] == 0.0) continue;
      const double* a = Gradient(i);
      for (int j = 0; j < n_; ++j) gradL_[j] -= lambda_[i] * a[j];
    }

    // Penalty weights (Powell 1978): never below |lambda|, and decaying only slowly. The elastic
    // step has set them to the weights of its own subproblem, for which it is a descent direction.
    double slope = gd;
    double noise = std::abs(*f_);
    for (int i = 0; i < m_; ++i) {
      const double magnitude = std::abs(lambda_[i]);
      if (!elastic) mu_[i] = std::max(magnitude, 0.5 * (mu_[i] + magnitude));
      const double linearised = c_[i] + slack_[i] - rhs_[i];
      slope += mu_[i] * (Violation(i, linearised) - Violation(i, c_[i]));
      if (mu_[i] != 0.0) noise += mu_[i] * ConstraintMagnitude(i);
    }
    noise *= kMeritRounding;
    s_[kMeritBase] = Merit(*f_, c_);
    s_[kMeritNoise] = noise;
    // In exact arithmetic slope <= -d^T B d < 0; a slope lost in rounding means the predicted
    // gain is below what the merit function can resolve, and the full step is judged by the
    // rounding allowance alone.
    if (!(slope < 0.0) && slope <= noise) slope = 0.0;
    s_[kSlope] = slope;
    if (!(slope <= 0.0)) return Finish(kNoProgress, false);
    if (s_[kEvaluations] >= maxfun_) return Finish(kLimit, false);
    s_[kTrials] = 0.0;
    SetTrial(1.0);
  }

  // The linearised constraints admit no step: d becomes the minimiser of the elastic subproblem
  //     1/2 d^T B d + g^T d + sum_i mu_i viol_i(c_i + a_i^T d),
  // whose weights mu_i (also those of the merit function, so that d is a descent direction for
  // it) are raised until the step removes a fair share of the violation that can be removed.
  // Returns kEvaluate to go on, kInconsistent when no step removes any violation (x is a
  // stationary point of the violation), kNoProgress when a subproblem fails.
  int ElasticStep(Orvo::sqp::QpProblem problem, Orvo::sqp::QpWorkspace& work) {
    double weight = std::max(kMinElasticWeight, s_[kElasticWeight]);
    for (int i = 0; i < m_; ++i) weight = std::max(weight, mu_[i]);
    problem.cap = mu_;
    for (int increase = 0;; ++increase) {
      // Each violation is measured in units of its constraint's gradient norm, so that a
      // steep constraint does not hold the others back (a distance to its boundary, to first
      // order).
      for (int i = 0; i < m_; ++i) {
        const double norm = std::sqrt(dot(n_, Gradient(i), Gradient(i)));
        mu_[i] = std::max(mu_[i], weight / std::max(norm, kTinyGradient));
      }
      const double violation = WeightedViolation(c_);
      problem.capScale = kFeasibilityWeightScale;
      problem.gradientWeight = 0.0;
      if (Orvo::sqp::SolveQp(problem, work, d_, lambda_) != Orvo::sqp::QpStatus::Solved)
        return kNoProgress;
      const double removable = violation - WeightedViolation(slack_);
      if (!(removable > kStationaryViolation * violation)) return kInconsistent;
      problem.capScale = 1.0;
      problem.gradientWeight = 1.0;
      if (Orvo::sqp::SolveQp(problem, work, d_, lambda_) != Orvo::sqp::QpStatus::Solved)
        return kNoProgress;
      // The descent argument needs |lambda_i| <= mu_i: the merit function's weights bound the
      // multipliers of the step it judges.
      for (int i = 0; i < m_; ++i) assert(std::abs(lambda_[i]) <= mu_[i] * (1.0 + 1e-9));
      const double removed = violation - WeightedViolation(slack_);
      if (removed >= kSteeringFraction * removable || increase == kMaxElasticIncreases) break;
      weight *= kElasticWeightGrowth;
    }
    s_[kElasticWeight] = weight;
    return kEvaluate;
  }

  void SetTrial(double alpha) {
    s_[kStepLength] = alpha;
    for (int i = 0; i < n_; ++i) x_[i] = xk_[i] + alpha * d_[i];
    s_[kStage] = kStageAwaitingTrial;
    *info_ = kEvaluate;
  }

  // Damped BFGS update of B with s = x - x_k and y the change in the Lagrangian's gradient.
  void UpdateHessian() {
    for (int i = 0; i < n_; ++i) {
      step_[i] = x_[i] - xk_[i];
      y_[i] = g_[i] - gradL_[i];
    }
    for (int i = 0; i < m_; ++i) {
      if (lambda_[i] == 0.0) continue;
      const double* a = Gradient(i);
      for (int j = 0; j < n_; ++j) y_[j] -= lambda_[i] * a[j];
    }
    double sy = dot(n_, step_, y_);
    if (s_[kHessianFresh] != 0.0 && sy > 0.0) {
      // Start the curvature information from the scale the first step has measured.
      const double scale = dot(n_, y_, y_) / sy;
      for (int j = 0; j < n_; ++j) B_[PackedIndex(j, j)] = scale;
    }
    s_[kHessianFresh] = 0.0;

    Orvo::sqp::PackedSymmetricMultiply(n_, B_, step_, bs_);
    const double sBs = dot(n_, step_, bs_);
    if (!(sBs > 0.0) || !std::isfinite(sBs)) return;
    if (sy < kDampingThreshold * sBs) {
      const double weight = (1.0 - kDampingThreshold) * sBs / (sBs - sy);
      for (int i = 0; i < n_; ++i) y_[i] = weight * y_[i] + (1.0 - weight) * bs_[i];
      sy = dot(n_, step_, y_);
    }
    if (!(sy > 0.0) || !std::isfinite(sy)) return;
    for (int j = 0; j < n_; ++j) {
      double* column = B_ + PackedIndex(0, j);
      for (int i = 0; i <= j; ++i) column[i] += y_[i] * y_[j] / sy - bs_[i] * bs_[j] / sBs;
    }
  }

  void Finish(int code, bool restoreBase) {
    if (restoreBase) {
      std::copy(xk_, xk_ + n_, x_);
      std::copy(gk_, gk_ + n_, g_);
      std::copy(ck_, ck_ + m_, c_);
      *f_ = s_[kObjectiveBase];
    }
    s_[kStage] = kStageIdle;
    *info_ = code;
    if (iprint_ > 0)
      std::printf("sqp: exit %d after %d evaluations, f = %.12g\n", code,
                  static_cast<int>(s_[kEvaluations]), *f_);
  }

  void Report() const {
    const int iteration = static_cast<int>(s_[kIterations]);
    if (iprint_ <= 0 || iteration % iprint_ != 0) return;
    std::printf("sqp: iteration %d, evaluations %d, f = %.12g, violation %.3g, optimality %.3g\n",
                iteration, static_cast<int>(s_[kEvaluations]), *f_, s_[kViolation],
                s_[kOptimality]);
  }

  const int n_, m_, meq_;
  double* x_;
  double* f_;
  double* g_;
  double* c_;
  const double* cn_;
  const int lcn_, maxfun_;
  const double acc_;
  const int iprint_;
  int* info_;
  double* s_;
  int* iw_;
  double* xk_;
  double* gk_;
  double* d_;
  double* gradL_;
  double* qpScratch_;
  double* bs_;
  double* y_;
  double* step_;
  double* B_;
  double* U_;
  double* R_;
  double* J_;
  double* ck_;
  double* lambda_;
  double* mu_;
  double* rhs_;
  double* slack_;
  double* isActive_;
};

}  // namespace

int SqpWorkspaceLength(int n, int m) {
  if (n < 1 || m < 0) return -1;
  const long long nn = n;
  const long long length =
      kMVectorCount * static_cast<long long>(m) + nn * (5 * nn + 43) / 2 + kScalarCount;
  if (length > std::numeric_limits<int>::max()) return -1;
  return static_cast<int>(length);
}

void HSL_VF13AD(const int* n, const int* m, const int* meq, double* x, double* f, double* g,
                double* c, double* cn, const int* lcn, const int* maxfun, const double* acc,
                const int* iprint, int* info, double* w, const int* lw, int* iw) {
  if (*info != -1 && *info != 0) return;
  const int required = SqpWorkspaceLength(*n, *m);
  if (required < 0 || *meq < 0 || *meq > *m || (*m > 0 && *lcn < *n) || *lw < required) {
    *info = kInvalid;
    return;
  }
  SqpRun run(*n, *m, *meq, x, f, g, c, cn, *lcn, *maxfun, *acc, *iprint, info, w, iw);
  if (*info == -1)
    run.Start();
  else
    run.Continue();
}
