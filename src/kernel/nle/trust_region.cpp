// The reverse-communication trust-region method for sparse nonlinear equations and least
// squares: judging each evaluation, accepting points, scaling, the dogleg step and the stopping
// tests. The normal-matrix factorisation it calls lives in normal_cholesky.cpp; the contract of
// both routines is in nle_kernel.hpp. All state between calls is in isave / rsave / lsave and in
// the workspace arrays, laid out below.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "common/array_helpers.hpp"
#include "kernel/nle/nle_kernel.hpp"
#include "kernel/nle/normal_cholesky.hpp"

namespace {

using namespace Orvo::nle;

using Orvo::detail::kEpsilon;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

constexpr double kDefaultResidualTolerance = 1.0e-10;
constexpr double kDefaultStepTolerance = 1.0e-12;
constexpr double kDefaultRadiusFactor = 100.0;
constexpr double kDefaultGradientTolerance = 1.0e-8;
constexpr double kDefaultAcceptance = 1.0e-4;
constexpr double kDefaultPivotTolerance = 1.0e-12;
constexpr double kDefaultFirstShift = 1.0e-10;

// Radius update from the reduction ratio.
constexpr double kPoorRatio = 0.25;
constexpr double kGoodRatio = 0.75;
constexpr double kShrink = 0.5;
constexpr double kShrinkFailed = 0.25;
constexpr double kGrow = 2.0;
// A predicted relative reduction of |f|^2 below this is lost in rounding of |f|^2 itself.
constexpr double kStallReduction = 10.0 * kEpsilon;
// Shifts of a singular normal matrix: each try multiplies mu by the growth.
constexpr double kShiftGrowth = 100.0;
constexpr int kShiftTries = 11;

// Stages kept in isave between calls.
constexpr int kStageFresh = 0;      // nothing seen yet (set by HSL_NS23ID)
constexpr int kStageTrial = 1;      // x holds a trial point awaiting its evaluation
constexpr int kStageAccepting = 2;  // the point in x / f / J is accepted; workspace requested
constexpr int kStageDone = 3;

enum IntegerSave {
  kStage,
  kEvaluations,
  kIterations,
  kFactorisations,
  kShifted,
  kRejected,
  kAnalyses,
  kOutcome,
  kLiwNeeded,
  kLwNeeded,
  kAnalysedLiw,  // liw when the analysis in iw was made: a regrown iw holds none
  kScaledLw,     // lw when D was stored in w: a regrown w holds none
  kFactorEntries,
};

enum LogicalSave {
  kAnalysisValid,
  kDuplicates,
  kScalingValid,
  kBestStored,
  kFollowsStep,
  kNewtonAvailable,
};

enum RealSave {
  kRadius,
  kResidualNorm,  // |f| at the best point
  kGradientMeasure,
  kScaledXNorm,  // |D x| at the best point
  kGradScaled2,  // |D^-1 g|^2
  kCauchyCurv,   // |J s|^2 for the steepest-descent direction s = -D^-2 g
  kNewtonSlope,  // g^T p_gn
  kNewtonNorm2,  // |D p_gn|^2
  kShift,        // mu of the factorisation behind p_gn
  kStepNorm,     // |D p| of the last trial step
  kPredicted,    // its predicted relative reduction of |f|^2
  kRatio,
};

// Real workspace: vectors first (their places depend only on m and n, so D survives a new
// analysis), then the factor.
struct RealLayout {
  std::int64_t scale, best, gradient, newton, descent, work, diagonal, residuals, factor;
  RealLayout(int m, int n)
      : scale(0),
        best(n),
        gradient(2LL * n),
        newton(3LL * n),
        descent(4LL * n),
        work(5LL * n),
        diagonal(6LL * n),
        residuals(7LL * n),
        factor(7LL * n + m) {}
};

struct Call {
  int m, n;
  double tolF, tolX;
  int maxEvaluations;
  Jacobian J;
  int* iw;
  int liw;
  double* w;
  int lw;
  double* x;
  double* f;
  const int* icntl;
  const double* cntl;
  int* info;
  double* rinfo;
  int* isave;
  double* rsave;
  int* lsave;
};

// |v|_2 without overflow or harmful underflow; non-finite entries give a non-finite norm.
double Norm(const double* v, int length) {
  double largest = 0.0;
  for (int i = 0; i < length; ++i) {
    const double a = std::fabs(v[i]);
    if (!(a <= largest)) largest = a;  // also catches NaN
  }
  if (largest == 0.0 || !std::isfinite(largest)) return largest;
  double sum = 0.0;
  for (int i = 0; i < length; ++i) {
    const double s = v[i] / largest;
    sum += s * s;
  }
  return largest * std::sqrt(sum);
}

bool AllFinite(const double* v, std::int64_t length) {
  for (std::int64_t i = 0; i < length; ++i)
    if (!std::isfinite(v[i])) return false;
  return true;
}

int CodeOf(int outcome) {
  switch (outcome) {
    case kOutcomeRoot:
    case kOutcomeStationary:
      return kConverged;
    case kOutcomeLimit:
      return kEvaluationLimit;
    case kOutcomeStepTooSmall:
    case kOutcomeNoReduction:
      return kNoProgress;
    default:
      return kInvalid;
  }
}

void Report(const Call& c) {
  const int* s = c.isave;
  c.info[0] = s[kOutcome];
  c.info[1] = s[kEvaluations];
  c.info[2] = s[kIterations];
  c.info[3] = s[kLiwNeeded];
  c.info[4] = s[kLwNeeded];
  c.info[5] = s[kFactorisations];
  c.info[6] = s[kFactorEntries];
  c.info[7] = s[kShifted];
  c.info[8] = s[kRejected];
  c.info[9] = s[kAnalyses];
  c.rinfo[0] = c.rsave[kResidualNorm];
  c.rinfo[1] = c.rsave[kGradientMeasure];
  c.rinfo[2] = c.rsave[kRadius];
  c.rinfo[3] = c.rsave[kShift];
  c.rinfo[4] = c.rsave[kRatio];
}

void PrintProgress(const Call& c, const char* what) {
  std::printf("ns23 %-10s step %6d  evaluations %6d  |f| %.6e  radius %.3e  gradient %.3e\n", what,
              c.isave[kIterations], c.isave[kEvaluations], c.rsave[kResidualNorm], c.rsave[kRadius],
              c.rsave[kGradientMeasure]);
}

// Ends the run: x and f go back to the best point (when one is stored), the code is returned.
int Finish(Call& c, int outcome) {
  if (c.lsave[kBestStored]) {
    const RealLayout at(c.m, c.n);
    std::copy(c.w + at.best, c.w + at.best + c.n, c.x);
    std::copy(c.w + at.residuals, c.w + at.residuals + c.m, c.f);
  }
  c.isave[kOutcome] = outcome;
  c.isave[kStage] = kStageDone;
  Report(c);
  if (c.icntl[0] > 0) PrintProgress(c, outcome <= kOutcomeStationary ? "converged" : "stopped");
  return CodeOf(outcome);
}

// Where the point can be improved no further: for least squares a stationary point within
// the looser tolerance still counts as the answer; otherwise the run failed.
int Stall(Call& c, int outcome) {
  if (c.m > c.n && c.rsave[kGradientMeasure] <= std::sqrt(c.cntl[1]))
    return Finish(c, kOutcomeStationary);
  return Finish(c, outcome);
}

// Makes the analysis in iw describe J and the workspace hold its factor. Returns 0 when both
// hold, else the code to hand back (-2, -3, or -5 for lengths beyond the int range).
int EnsureWorkspace(Call& c) {
  int* s = c.isave;
  const std::int64_t vectors = 7LL * c.n + c.m;
  if (c.lsave[kAnalysisValid] && s[kAnalysedLiw] == c.liw && Orvo::nle::SamePattern(c.J, c.iw)) {
    if (c.lw >= s[kLwNeeded]) return 0;
    return kWorkspaceShort;
  }
  c.lsave[kAnalysisValid] = 0;
  ++s[kAnalyses];
  const bool natural = c.icntl[1] == 1;
  const AnalysisResult a = Analyse(c.J, c.iw, c.liw, natural);
  const std::int64_t factorGuess = a.nnzL > 0 ? a.nnzL : std::max<std::int64_t>(a.nnzA, c.n);
  const std::int64_t lwNeeded = vectors + factorGuess;
  if (a.intsNeeded > INT32_MAX || lwNeeded > INT32_MAX) return kInvalid;
  s[kLiwNeeded] = static_cast<int>(a.intsNeeded);
  s[kLwNeeded] = static_cast<int>(lwNeeded);
  if (!a.done) return c.lw < lwNeeded ? kWorkspaceShort : kIntegerWorkspaceShort;
  c.lsave[kAnalysisValid] = 1;
  c.lsave[kDuplicates] = a.duplicates ? 1 : 0;
  s[kAnalysedLiw] = c.liw;
  s[kFactorEntries] = static_cast<int>(a.nnzL);
  return c.lw < lwNeeded ? kWorkspaceShort : 0;
}

// D from the column norms of J (Moré's rule keeps each at the largest value seen).
void UpdateScaling(Call& c, const double* diagonal) {
  const RealLayout at(c.m, c.n);
  const Orvo::nle::IntLayout ia(c.m, c.n, c.J.entries());
  const int* pinv = c.iw + ia.pinv;
  double* d = c.w + at.scale;
  const bool keep = c.lsave[kScalingValid] && c.isave[kScaledLw] == c.lw;
  for (int j = 0; j < c.n; ++j) {
    if (c.icntl[2] == 1) {
      d[j] = 1.0;
      continue;
    }
    const double norm = std::sqrt(diagonal[pinv[j]]);
    if (keep)
      d[j] = std::max(d[j], norm);
    else
      d[j] = norm > 0.0 ? norm : 1.0;
  }
  c.lsave[kScalingValid] = 1;
  c.isave[kScaledLw] = c.lw;
}

// Gauss-Newton step p_gn = -(J^T J + mu D^2)^-1 g in elimination order, mu = 0 unless the
// normal matrix is singular to the pivot tolerance. False when no shift makes it factorisable.
bool NewtonStep(Call& c) {
  const RealLayout at(c.m, c.n);
  const Orvo::nle::IntLayout ia(c.m, c.n, c.J.entries());
  const int* perm = c.iw + ia.perm;
  const double* d = c.w + at.scale;
  const double* diagonal = c.w + at.diagonal;
  double* work = c.w + at.work;
  double* lx = c.w + at.factor;
  // D^2 by original column, in the descent slot until the steepest-descent step is formed.
  double* dsq = c.w + at.descent;
  for (int j = 0; j < c.n; ++j) dsq[j] = d[j] * d[j];
  double mu = 0.0;
  bool factorised = false;
  for (int attempt = 0; attempt <= kShiftTries && !factorised; ++attempt) {
    if (attempt == 1) {
      double scale = 0.0;
      for (int k = 0; k < c.n; ++k) scale = std::max(scale, diagonal[k] / dsq[perm[k]]);
      mu = c.cntl[4] * (scale > 0.0 && std::isfinite(scale) ? scale : 1.0);
    } else if (attempt > 1) {
      mu *= kShiftGrowth;
    }
    ++c.isave[kFactorisations];
    if (attempt > 0) ++c.isave[kShifted];
    factorised = Factorise(c.J, c.iw, mu, dsq, diagonal, c.cntl[3], lx, work);
  }
  c.rsave[kShift] = mu;
  if (!factorised) return false;
  double* newton = c.w + at.newton;
  const double* g = c.w + at.gradient;
  for (int k = 0; k < c.n; ++k) newton[k] = -g[k];
  SolveFactorised(c.J, c.iw, lx, newton);
  return AllFinite(newton, c.n);
}

// Next trial point x = x_best + a s + b p_gn on the dogleg path for the current radius, with its
// predicted reduction; or the end of the run.
int NextTrial(Call& c) {
  const RealLayout at(c.m, c.n);
  const Orvo::nle::IntLayout ia(c.m, c.n, c.J.entries());
  double* r = c.rsave;
  const double radius = r[kRadius];
  const double gs2 = r[kGradScaled2];
  const double js2 = r[kCauchyCurv];
  const double gp = r[kNewtonSlope];
  const double dp2 = r[kNewtonNorm2];
  const double mu = r[kShift];
  const bool newton = c.lsave[kNewtonAvailable] != 0;
  const double sNorm = std::sqrt(gs2);
  // Cauchy point: the minimiser of the model along s, at scaled length alpha |D s|.
  const double alpha = js2 > 0.0 ? gs2 / js2 : kInfinity;
  double a = 0.0, b = 0.0;
  if (newton && std::sqrt(dp2) <= radius) {
    b = 1.0;
  } else if (!newton || alpha * sNorm >= radius) {
    a = std::min(alpha, radius / sNorm);
  } else {
    // |u + beta (v - u)| = radius with u = D (alpha s), v = D p_gn.
    const double u2 = alpha * alpha * gs2;
    const double uv = -alpha * gp;
    const double cross = uv - u2;
    const double dist2 = std::max(dp2 - 2.0 * uv + u2, 0.0);
    const double room = std::max(radius * radius - u2, 0.0);
    const double root = std::sqrt(cross * cross + dist2 * room);
    // dist2 = 0 (both points the same) cannot occur on this branch but for rounding.
    double beta = 1.0;
    if (cross > 0.0)
      beta = room / (cross + root);
    else if (dist2 > 0.0)
      beta = (root - cross) / dist2;
    if (!(beta >= 0.0)) beta = 0.0;
    beta = std::min(beta, 1.0);
    a = alpha * (1.0 - beta);
    b = beta;
  }
  // Model quantities of p = a s + b p_gn from the stored scalars (J^T J p_gn = -g - mu D^2 p_gn).
  const double stepNorm2 = a * a * gs2 - 2.0 * a * b * gp + b * b * dp2;
  const double slope = -a * gs2 + b * gp;
  const double curvature = std::max(
      a * a * js2 + 2.0 * a * b * (gs2 + mu * gp) + b * b * std::max(-gp - mu * dp2, 0.0), 0.0);
  const double fnorm = r[kResidualNorm];
  const double predicted = (-2.0 * slope - curvature) / fnorm / fnorm;
  r[kStepNorm] = std::sqrt(std::max(stepNorm2, 0.0));
  r[kPredicted] = predicted;
  if (!(predicted > kStallReduction)) return Stall(c, kOutcomeNoReduction);
  if (c.isave[kEvaluations] >= c.maxEvaluations) return Finish(c, kOutcomeLimit);

  const int* perm = c.iw + ia.perm;
  const double* best = c.w + at.best;
  const double* s = c.w + at.descent;
  const double* pn = c.w + at.newton;
  for (int k = 0; k < c.n; ++k) {
    const int j = perm[k];
    c.x[j] = best[j] + (a != 0.0 ? a * s[k] : 0.0) + (b != 0.0 ? b * pn[k] : 0.0);
  }
  c.isave[kStage] = kStageTrial;
  Report(c);
  return kEvaluate;
}

// The evaluation in x / f / J becomes the best point: tests, scaling, gradient, factorisation.
int AcceptPoint(Call& c) {
  c.isave[kStage] = kStageAccepting;
  const int workspace = EnsureWorkspace(c);
  if (workspace == kInvalid) return Finish(c, kOutcomeInvalid);
  if (workspace != 0) {
    // The driver may replace iw or w: the best point is the one in its arrays now.
    c.lsave[kBestStored] = 0;
    Report(c);
    return workspace;
  }
  const RealLayout at(c.m, c.n);
  const Orvo::nle::IntLayout ia(c.m, c.n, c.J.entries());
  double* r = c.rsave;
  std::copy(c.x, c.x + c.n, c.w + at.best);
  std::copy(c.f, c.f + c.m, c.w + at.residuals);
  c.lsave[kBestStored] = 1;
  const double fnorm = Norm(c.f, c.m);
  r[kResidualNorm] = fnorm;
  if (fnorm <= c.tolF) return Finish(c, kOutcomeRoot);

  double* diagonal = c.w + at.diagonal;
  NormalDiagonal(c.J, c.iw, c.lsave[kDuplicates] != 0, diagonal);
  UpdateScaling(c, diagonal);
  const double* d = c.w + at.scale;
  const int* perm = c.iw + ia.perm;

  // g = J^T f in elimination order; gradient measure max |g_j| / (|J_j| |f|).
  double* g = c.w + at.gradient;
  double measure = 0.0;
  double gs2 = 0.0;
  for (int k = 0; k < c.n; ++k) {
    const int j = perm[k];
    double sum = 0.0;
    for (int e = c.J.colStarts[j] - 1; e < c.J.colStarts[j + 1] - 1; ++e)
      sum += c.J.values[e] * c.f[c.J.rows[e] - 1];
    g[k] = sum;
    // The cosine of the angle between f and column j, from the column's current norm (a
    // scaling kept at a larger past value could make the point look stationary too early).
    if (diagonal[k] > 0.0)
      measure = std::max(measure, std::fabs(sum) / (std::sqrt(diagonal[k]) * fnorm));
    gs2 += (sum / d[j]) * (sum / d[j]);
  }
  r[kGradientMeasure] = measure;
  r[kGradScaled2] = gs2;
  double xs2 = 0.0;
  for (int j = 0; j < c.n; ++j) xs2 += (d[j] * c.x[j]) * (d[j] * c.x[j]);
  r[kScaledXNorm] = std::sqrt(xs2);

  if (c.m > c.n && measure <= c.cntl[1]) return Finish(c, kOutcomeStationary);
  if (!std::isfinite(gs2) || gs2 == 0.0) return Stall(c, kOutcomeNoReduction);
  if (c.lsave[kFollowsStep]) {
    if (r[kStepNorm] <= c.tolX * r[kScaledXNorm]) return Stall(c, kOutcomeStepTooSmall);
  } else {
    r[kRadius] = r[kScaledXNorm] > 0.0 ? c.cntl[0] * r[kScaledXNorm] : c.cntl[0];
  }
  if (c.icntl[0] > 0 && c.isave[kIterations] % c.icntl[0] == 0) PrintProgress(c, "accepted");

  c.lsave[kNewtonAvailable] = NewtonStep(c) ? 1 : 0;
  // Steepest-descent direction s = -D^-2 g and the model's curvature |J s|^2 along it.
  double* s = c.w + at.descent;
  for (int k = 0; k < c.n; ++k) {
    const double dk = d[perm[k]];
    s[k] = -g[k] / (dk * dk);
  }
  const int* rp = c.iw + ia.rp;
  const int* rcol = c.iw + ia.rcol;
  const int* rpos = c.iw + ia.rpos;
  double js2 = 0.0;
  for (int row = 0; row < c.m; ++row) {
    double sum = 0.0;
    for (int t = rp[row]; t < rp[row + 1]; ++t) sum += RowValue(c.J, rpos, t) * s[rcol[t]];
    js2 += sum * sum;
  }
  r[kCauchyCurv] = js2;
  if (c.lsave[kNewtonAvailable]) {
    const double* pn = c.w + at.newton;
    double gp = 0.0, dp2 = 0.0;
    for (int k = 0; k < c.n; ++k) {
      gp += g[k] * pn[k];
      const double v = d[perm[k]] * pn[k];
      dp2 += v * v;
    }
    r[kNewtonSlope] = gp;
    r[kNewtonNorm2] = dp2;
    // Rounding can make a huge step look like no descent: fall back to steepest descent.
    if (!(gp < 0.0) || !std::isfinite(dp2)) c.lsave[kNewtonAvailable] = 0;
  }
  if (!std::isfinite(js2)) return Stall(c, kOutcomeNoReduction);
  return NextTrial(c);
}

int Start(Call& c) {
  const bool valid = c.n >= 1 && c.m >= c.n && c.maxEvaluations >= 1 && c.tolF >= 0.0 &&
                     std::isfinite(c.tolF) && c.tolX >= 0.0 && std::isfinite(c.tolX) &&
                     c.icntl[1] >= 0 && c.icntl[1] <= 1 && c.icntl[2] >= 0 && c.icntl[2] <= 1 &&
                     c.cntl[0] > 0.0 && std::isfinite(c.cntl[0]) && c.cntl[1] >= 0.0 &&
                     c.cntl[2] >= 0.0 && c.cntl[2] < kPoorRatio && c.cntl[3] >= 0.0 &&
                     c.cntl[3] < 1.0 && c.cntl[4] > 0.0 && std::isfinite(c.cntl[4]);
  c.isave[kEvaluations] = 1;
  if (!valid || !ValidPattern(c.J)) return Finish(c, kOutcomeInvalid);
  if (!AllFinite(c.x, c.n) || !AllFinite(c.f, c.m) || !AllFinite(c.J.values, c.J.entries()))
    return Finish(c, kOutcomeInvalid);
  return AcceptPoint(c);
}

// An evaluation at the trial point: accept it or shrink the radius and try a shorter step.
int JudgeTrial(Call& c) {
  ++c.isave[kEvaluations];
  if (!ValidPattern(c.J)) return Finish(c, kOutcomeInvalid);
  double* r = c.rsave;
  const double fnorm = r[kResidualNorm];
  const double trialNorm = Norm(c.f, c.m);
  const bool finite = std::isfinite(trialNorm) && AllFinite(c.J.values, c.J.entries());
  double ratio = -kInfinity;
  if (finite) {
    const double q = trialNorm / fnorm;
    ratio = (1.0 - q * q) / r[kPredicted];
  }
  r[kRatio] = ratio;
  const double stepNorm = r[kStepNorm];
  if (!(ratio >= kPoorRatio))
    r[kRadius] = (ratio >= 0.0 ? kShrink : kShrinkFailed) * std::min(r[kRadius], stepNorm);
  else if (ratio >= kGoodRatio)
    r[kRadius] = std::max(r[kRadius], kGrow * stepNorm);
  const bool root = finite && trialNorm <= c.tolF;
  if (finite && (ratio >= c.cntl[2] || root)) {
    ++c.isave[kIterations];
    c.lsave[kFollowsStep] = 1;
    return AcceptPoint(c);
  }
  ++c.isave[kRejected];
  if (r[kRadius] <= c.tolX * r[kScaledXNorm]) return Stall(c, kOutcomeStepTooSmall);
  return NextTrial(c);
}

}  // namespace

void HSL_NS23ID(int* icntl, double* cntl, int* isave, double* rsave, int* lsave) {
  icntl[0] = 1;
  icntl[1] = 0;
  icntl[2] = 0;
  icntl[3] = 0;
  icntl[4] = 0;
  cntl[0] = kDefaultRadiusFactor;
  cntl[1] = kDefaultGradientTolerance;
  cntl[2] = kDefaultAcceptance;
  cntl[3] = kDefaultPivotTolerance;
  cntl[4] = kDefaultFirstShift;
  std::fill(isave, isave + kIsaveLength, 0);
  std::fill(rsave, rsave + kRsaveLength, 0.0);
  std::fill(lsave, lsave + kLsaveLength, 0);
  isave[kStage] = kStageFresh;
}

void HSL_NS23AD(const int* m, const int* n, const double* stopReal1, const double* stopReal2,
                const int* stopInt, int* /*kernelInt*/, int* jacobianRows,
                int* jacobianColumnStarts, double* /*auxValues*/, int* /*auxRows*/,
                int* /*auxColumnStarts*/, double* /*kernelReal*/, int* liw, int* iw, int* lw,
                double* w, double* x, double* f, double* jacobianValues, int* iflag, int* icntl,
                double* cntl, int* info, double* rinfo, int* isave, double* rsave, int* lsave) {
  const int entry = *iflag;
  if (entry == kConverged || entry == kEvaluationLimit || entry == kNoProgress || entry <= kInvalid)
    return;
  Call c{*m,
         *n,
         *stopReal1 == 0.0 ? kDefaultResidualTolerance : *stopReal1,
         *stopReal2 == 0.0 ? kDefaultStepTolerance : *stopReal2,
         *stopInt,
         Jacobian{*m, *n, jacobianRows, jacobianColumnStarts, jacobianValues},
         iw,
         *liw,
         w,
         *lw,
         x,
         f,
         icntl,
         cntl,
         info,
         rinfo,
         isave,
         rsave,
         lsave};
  const int stage = isave[kStage];
  if (entry == kIntegerWorkspaceShort || entry == kWorkspaceShort) {
    *iflag = stage == kStageAccepting ? AcceptPoint(c) : Finish(c, kOutcomeInvalid);
    return;
  }
  switch (stage) {
    case kStageFresh:
      *iflag = Start(c);
      break;
    case kStageTrial:
      *iflag = JudgeTrial(c);
      break;
    case kStageAccepting:
      // Evaluated again at the accepted point instead of growing the workspace: same request.
      *iflag = AcceptPoint(c);
      break;
    default:
      *iflag = CodeOf(isave[kOutcome]);
      break;
  }
}
