// Bound-constrained derivative-free minimisation in reverse communication. The method runs as a
// state machine: every function value the caller supplies resumes it in one of three phases
// (building the initial model, a trust-region or geometry step, re-choosing the points in a
// rescue), and it runs on until it needs the next value or finishes. Every scalar that must
// survive a return lives in the leading part of w and iw, every array after it (layout in
// bobyqa_kernel.hpp), so copies of w and iw continue exactly like the originals.
#include "kernel/bobyqa/bobyqa_kernel.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

#include "common/array_helpers.hpp"
#include "kernel/bobyqa/bobyqa_steps.hpp"

namespace {

using Orvo::bobyqa::GeometryChoice;
using Orvo::bobyqa::GeometryStep;
using Orvo::bobyqa::HessianTimes;
using Orvo::bobyqa::Model;
using Orvo::bobyqa::PackedIndex;
using Orvo::bobyqa::TrustRegionStep;
using Orvo::bobyqa::UpdateInverse;
using Orvo::detail::dot;

enum Task {
  kTaskStart = 0,
  kTaskEvaluate = 1,
  kTaskConverged = 2,
  kTaskMaxfun = 3,
  kTaskNoProgress = 4,
  kTaskTarget = 5,
  kTaskNonFinite = 6,
  kErrorSizes = -1,
  kErrorBounds = -2,
  kErrorBoundGap = -3,
  kErrorRadii = -4,
  kErrorMaxfun = -5,
  kErrorRealWorkspace = -6,
  kErrorIntWorkspace = -7,
  kErrorStart = -8,
  kErrorFirstValue = -9,
  kErrorNoRun = -10,
};

// Where a run waits between calls.
enum Phase { kPhaseIdle = 0, kPhaseInitial = 1, kPhaseTrial = 2, kPhaseRescue = 3, kPhaseDone = 4 };

// Kinds of evaluated points, as reported in counts[6] and khist.
enum PointKind {
  kKindNone = -1,
  kKindInitial = 0,
  kKindTrust = 1,
  kKindGeometry = 2,
  kKindRescue = 3,
  kKindFinalStep = 4,
};

// Marks iw[0] of a workspace that holds a run.
constexpr int kRunMarker = 0x5a17b0b1;

// Constants of the method.
constexpr double kShiftTolerance = 1.0e-3;  // move xbase to xopt when |d|^2 <= this |xopt|^2
constexpr double kPoorRatio = 0.1;          // reduction ratios that shrink / grow delta
constexpr double kGoodRatio = 0.7;
constexpr double kDeltaFloorFactor = 1.5;      // delta <= 1.5 rho is rounded down to rho
constexpr double kSufficientDecrease = 0.1;    // f <= fopt + 0.1 vquad keeps the step going
constexpr double kDenominatorSafety = 0.5;     // denominators below this share of their largest
                                               // term are taken as damaged by rounding
constexpr double kRescueDenominator = 0.01;    // the same test while reinstating points
constexpr double kModelErrorFraction = 0.125;  // errors vs curvature * rho^2 / 8 before rho shrinks
constexpr int kGradientTests = 3;              // consecutive poor gradients before the model is
                                               // replaced by the least-norm interpolant
constexpr double kGradientRatio = 10.0;
constexpr double kRhoStepSmall = 16.0;    // rho schedule: rhoend at once below 16 rhoend,
constexpr double kRhoStepMedium = 250.0;  // sqrt(rho rhoend) below 250 rhoend, else rho / 10

constexpr int kCountEntries = 7;
constexpr int kRStateEntries = 5;

struct RealState {
  double rhobeg, rhoend, rho, delta, dnorm, dsq, crvmin;
  double diffa, diffb, diffc, ratio, fsave, xoptsq;
  double alpha, beta, denom, cauchy, adelt, vquad, farDistsq;
  double fbeg, fminFinite, fmaxFinite, substitute, fbase;
};
struct IntState {
  int marker, n, npt, maxfun, msglevel, phase;
  int nf, kopt, kbase, knew, ntrits, nresc, nfsav, itest, index;
  int trustSteps, geometrySteps, rescues, rhoReductions, nonfinite, kind, maxfunInRescue;
};
static_assert(sizeof(RealState) <= kBobyqaRealScalars * sizeof(double), "real scalars overflow");
static_assert(sizeof(IntState) <= kBobyqaIntScalars * sizeof(int), "int scalars overflow");

long RealLength(long n, long npt) {
  return kBobyqaRealScalars + npt * (npt + n + 5) + n * (3 * n + 43) / 2;
}

bool SizesValid(int n, int npt) {
  if (n < 1) return false;
  const long most = (static_cast<long>(n) + 1) * (static_cast<long>(n) + 2) / 2;
  return npt >= static_cast<long>(n) + 2 && npt <= most;
}

void WriteMessage(char* buffer, std::uint64_t length, const char* format, ...) {
  if (buffer == nullptr || length == 0) return;
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, static_cast<std::size_t>(length), format, args);
  va_end(args);
}

// The outputs a call may write, bundled for the run.
struct Outputs {
  double* x;
  double* f;
  int* task;
  double* fhist;
  int lfhist;
  int* counts;
  int lcounts;
  double* rstate;
  int lrstate;
  int* khist;
  int lkhist;
  double* xhist;
  int lxhist;
  double* xbest;
  const double* ftarget;
  char* message;
  std::uint64_t messageLength;
};

class Run {
 public:
  Run(double* w, int* iw, int n, int npt, const Outputs& out) : out_(out), w_(w), iw_(iw) {
    std::memcpy(&s_, w, sizeof s_);
    std::memcpy(&t_, iw, sizeof t_);
    m_.n = n;
    m_.npt = npt;
    m_.ndim = npt + n;
    m_.nptm = npt - n - 1;
    const long ln = n, lnpt = npt, ndim = m_.ndim;
    double* next = w + kBobyqaRealScalars;
    auto take = [&next](long length) {
      double* slice = next;
      next += length;
      return slice;
    };
    m_.xbase = take(ln);
    m_.xpt = take(lnpt * ln);
    m_.fval = take(lnpt);
    m_.xopt = take(ln);
    m_.gopt = take(ln);
    m_.hq = take(ln * (ln + 1) / 2);
    m_.pq = take(lnpt);
    m_.bmat = take(ndim * ln);
    m_.zmat = take(lnpt * m_.nptm);
    m_.sl = take(ln);
    m_.su = take(ln);
    xnew_ = take(ln);
    xalt_ = take(ln);
    d_ = take(ln);
    vlag_ = take(ndim);
    wk_ = take(ndim + lnpt);
    gnew_ = take(ln);
    xbdi_ = take(ln);
    ts_ = take(ln);
    hs_ = take(ln);
    hred_ = take(ln);
    glag_ = take(ln);
    hcol_ = take(lnpt);
    gscratch_ = take(3 * ln);
    aux1_ = take(ln);
    aux2_ = take(ln);
    assert(next - w == RealLength(n, npt));
    provisional_ = iw + kBobyqaIntScalars;
    idP_ = provisional_ + npt;
    idQ_ = idP_ + npt;
  }

  // Scalars back into the workspace; called once before every return.
  void Save() {
    std::memcpy(w_, &s_, sizeof s_);
    std::memcpy(iw_, &t_, sizeof t_);
  }

  int Start(const double* xl, const double* xu, int maxfun, double rhobeg, double rhoend,
            int msglevel);
  int Resume();
  void Publish(int task);

 private:
  enum class Label {
    kModelAtBest,
    kTrustStep,
    kShiftCheck,
    kRescue,
    kGeometry,
    kDenominator,
    kEvaluate,
    kFarPoint,
    kNextRho,
  };
  struct Stop {
    int task;
  };

  double Accept(double raw);
  void RecordRequest(int kind);
  int Request(int phase, int kind);
  bool TargetReached(double value) const {
    return out_.ftarget != nullptr && value <= *out_.ftarget;
  }

  void PlaceInitialPoint(int k);
  int ReceiveInitial(double value);
  int Iterate(Label label);
  int ReceiveTrial(double value);
  void ShiftBase();
  void LagrangeValuesAndBeta();
  bool ChooseTrustReplacement(const double* centre, bool includeBest);
  int StartRescue();
  int NextRescuePoint();
  int ReceiveRescue(double value);
  int AfterRescue();
  int Finish(int task);
  void PointToX(const double* y, double* x) const;

  Outputs out_;
  double* w_;
  int* iw_;
  RealState s_;
  IntState t_;
  Model m_;
  double *xnew_, *xalt_, *d_, *vlag_, *wk_;
  double *gnew_, *xbdi_, *ts_, *hs_, *hred_;
  double *glag_, *hcol_, *gscratch_, *aux1_, *aux2_;
  int *provisional_, *idP_, *idQ_;
  const double* xl_ = nullptr;
  const double* xu_ = nullptr;
  const char* stopReason_ = "";

 public:
  void SetBounds(const double* xl, const double* xu) {
    xl_ = xl;
    xu_ = xu;
  }
  int phase() const { return t_.phase; }
};

// x = xbase + y inside the bounds, components of y on a shifted bound mapped onto it exactly.
void Run::PointToX(const double* y, double* x) const {
  for (int i = 0; i < m_.n; ++i) {
    x[i] = std::min(std::max(xl_[i], m_.xbase[i] + y[i]), xu_[i]);
    if (y[i] == m_.sl[i]) x[i] = xl_[i];
    if (y[i] == m_.su[i]) x[i] = xu_[i];
  }
}

// The value the method works with: the caller's, or above every finite one so far.
double Run::Accept(double raw) {
  const int k = t_.nf - 1;
  if (out_.fhist != nullptr && k < out_.lfhist) out_.fhist[k] = raw;
  if (std::isfinite(raw)) {
    if (t_.nf == 1 || raw < s_.fminFinite) s_.fminFinite = raw;
    if (t_.nf == 1 || raw > s_.fmaxFinite) s_.fmaxFinite = raw;
    return raw;
  }
  ++t_.nonfinite;
  const double top = s_.fmaxFinite;
  s_.substitute = top + std::max({1.0, std::abs(top), top - s_.fminFinite});
  // Values near the overflow threshold: the largest finite value itself still never wins, as
  // the best point only changes on a strict decrease.
  if (!std::isfinite(s_.substitute)) s_.substitute = top;
  return s_.substitute;
}

void Run::RecordRequest(int kind) {
  t_.kind = kind;
  const int k = t_.nf - 1;
  if (out_.khist != nullptr && k < out_.lkhist) out_.khist[k] = kind;
  const long n = m_.n;
  if (out_.xhist != nullptr && (k + 1) * n <= out_.lxhist)
    std::memcpy(out_.xhist + k * n, out_.x, sizeof(double) * n);
}

// x has been set: count the evaluation and hand it to the caller.
int Run::Request(int phase, int kind) {
#ifndef NDEBUG
  for (int i = 0; i < m_.n; ++i) assert(out_.x[i] >= xl_[i] && out_.x[i] <= xu_[i]);
#endif
  ++t_.nf;
  t_.phase = phase;
  if (kind == kKindTrust) ++t_.trustSteps;
  if (kind == kKindGeometry) ++t_.geometrySteps;
  RecordRequest(kind);
  return kTaskEvaluate;
}

int Run::Start(const double* xl, const double* xu, int maxfun, double rhobeg, double rhoend,
               int msglevel) {
  const int n = m_.n, npt = m_.npt;
  std::memset(&s_, 0, sizeof s_);
  std::memset(&t_, 0, sizeof t_);
  t_.marker = kRunMarker;
  t_.n = n;
  t_.npt = npt;
  t_.maxfun = maxfun;
  t_.msglevel = msglevel;
  t_.kind = kKindNone;
  s_.rhobeg = rhobeg;
  s_.rhoend = rhoend;
  s_.rho = rhobeg;
  s_.delta = rhobeg;
  s_.fsave = std::numeric_limits<double>::max();
  std::fill(w_ + kBobyqaRealScalars, w_ + RealLength(n, npt), 0.0);
  std::fill(provisional_, provisional_ + 3 * npt, 0);
  // The start moves into the box and, within rhobeg of a bound, onto it or rhobeg away, so
  // that the initial points lie inside.
  double* x = out_.x;
  for (int j = 0; j < n; ++j) {
    double& sl = m_.sl[j];
    double& su = m_.su[j];
    sl = xl[j] - x[j];
    su = xu[j] - x[j];
    if (sl >= -rhobeg) {
      if (sl >= 0.0) {
        x[j] = xl[j];
        sl = 0.0;
        su = xu[j] - xl[j];
      } else {
        x[j] = xl[j] + rhobeg;
        sl = -rhobeg;
        su = std::max(xu[j] - x[j], rhobeg);
      }
    } else if (su <= rhobeg) {
      if (su <= 0.0) {
        x[j] = xu[j];
        sl = -(xu[j] - xl[j]);
        su = 0.0;
      } else {
        x[j] = xu[j] - rhobeg;
        sl = std::min(xl[j] - x[j], -rhobeg);
        su = rhobeg;
      }
    }
    m_.xbase[j] = x[j];
  }
  t_.index = 0;
  PlaceInitialPoint(0);
  return Request(kPhaseInitial, kKindInitial);
}

// Initial points: xbase, then +/- rhobeg along each coordinate (the second step doubled or
// reversed next to a bound), then pairs of coordinate steps.
void Run::PlaceInitialPoint(int k) {
  const int n = m_.n;
  const double rhobeg = s_.rhobeg;
  if (k >= 1 && k <= n) {
    const int j = k - 1;
    m_.Xpt(k, j) = m_.su[j] == 0.0 ? -rhobeg : rhobeg;
  } else if (k > n && k <= 2 * n) {
    const int j = k - n - 1;
    double stepb = -rhobeg;
    if (m_.sl[j] == 0.0) stepb = std::min(2.0 * rhobeg, m_.su[j]);
    if (m_.su[j] == 0.0) stepb = std::max(-2.0 * rhobeg, m_.sl[j]);
    m_.Xpt(k, j) = stepb;
  } else if (k > 2 * n) {
    int itemp = (k - n - 1) / n;
    int jpt = k - itemp * n - n;
    int ipt = jpt + itemp;
    if (ipt > n) {
      itemp = jpt;
      jpt = ipt - n;
      ipt = itemp;
    }
    const int ip = ipt - 1, jp = jpt - 1;
    m_.Xpt(k, ip) = m_.Xpt(ip + 1, ip);
    m_.Xpt(k, jp) = m_.Xpt(jp + 1, jp);
  }
  PointToX(m_.Point(k), out_.x);
}

int Run::ReceiveInitial(double raw) {
  const int n = m_.n, npt = m_.npt;
  const int k = t_.index;
  if (k == 0 && !std::isfinite(raw)) {
    if (out_.fhist != nullptr && out_.lfhist > 0) out_.fhist[0] = raw;
    t_.phase = kPhaseDone;
    t_.marker = 0;
    stopReason_ = "f is not finite at the first point";
    return kErrorFirstValue;
  }
  const double f = Accept(raw);
  m_.fval[k] = f;
  if (k == 0) {
    s_.fbeg = f;
    t_.kopt = 0;
  } else if (f < m_.fval[t_.kopt]) {
    t_.kopt = k;
  }
  const double rhosq = s_.rhobeg * s_.rhobeg;
  if (k >= 1 && k <= n) {
    // Forward difference; the Lagrange gradients of a two-point line where no opposite point
    // follows.
    const int j = k - 1;
    const double stepa = m_.Xpt(k, j);
    m_.gopt[j] = (f - s_.fbeg) / stepa;
    if (npt <= k + n) {
      m_.B(0, j) = -1.0 / stepa;
      m_.B(k, j) = 1.0 / stepa;
      m_.B(npt + j, j) = -0.5 * rhosq;
    }
  } else if (k > n && k <= 2 * n) {
    // Three points 0, a, b on coordinate j: central-difference gradient and curvature, and the
    // Lagrange functions of the line (the better of a and b kept at index k - n).
    const int j = k - n - 1;
    const double stepa = m_.Xpt(k - n, j);
    const double stepb = m_.Xpt(k, j);
    const double temp = (f - s_.fbeg) / stepb;
    const double diff = stepb - stepa;
    m_.hq[PackedIndex(j, j)] = 2.0 * (temp - m_.gopt[j]) / diff;
    m_.gopt[j] = (m_.gopt[j] * stepb - temp * stepa) / diff;
    if (stepa * stepb < 0.0 && f < m_.fval[k - n]) {
      m_.fval[k] = m_.fval[k - n];
      m_.fval[k - n] = f;
      if (t_.kopt == k) t_.kopt = k - n;
      m_.Xpt(k - n, j) = stepb;
      m_.Xpt(k, j) = stepa;
    }
    const double a = m_.Xpt(k - n, j), b = m_.Xpt(k, j);
    m_.B(0, j) = -(a + b) / (a * b);
    m_.B(k, j) = -a / (b * (b - a));
    m_.B(k - n, j) = -m_.B(0, j) - m_.B(k, j);
    m_.Z(0, j) = std::sqrt(2.0) / (a * b);
    m_.Z(k, j) = std::sqrt(2.0) / (b * (b - a));
    m_.Z(k - n, j) = -m_.Z(0, j) - m_.Z(k, j);
  } else if (k > 2 * n) {
    // A point with two coordinate steps gives one off-diagonal second derivative.
    const int column = k - n - 1;
    int ip = -1, jp = -1;
    for (int i = 0; i < n; ++i) {
      if (m_.Xpt(k, i) == 0.0) continue;
      (ip < 0 ? ip : jp) = i;
    }
    assert(ip >= 0 && jp > ip);
    const double product = m_.Xpt(k, ip) * m_.Xpt(k, jp);
    const double recip = 1.0 / std::abs(product);
    m_.Z(0, column) = recip;
    m_.Z(k, column) = recip;
    m_.Z(ip + 1, column) = -recip;
    m_.Z(jp + 1, column) = -recip;
    m_.hq[PackedIndex(ip, jp)] = (s_.fbeg - m_.fval[ip + 1] - m_.fval[jp + 1] + f) / product;
  }
  if (TargetReached(raw)) return Finish(kTaskTarget);
  if (k + 1 < npt) {
    t_.index = k + 1;
    PlaceInitialPoint(k + 1);
    return Request(kPhaseInitial, kKindInitial);
  }
  // The initial model is complete; gopt is its gradient at xbase (point 0).
  for (int i = 0; i < n; ++i) m_.xopt[i] = m_.Xpt(t_.kopt, i);
  s_.xoptsq = dot(n, m_.xopt, m_.xopt);
  t_.kbase = 0;
  s_.rho = s_.rhobeg;
  s_.delta = s_.rho;
  t_.nresc = t_.nf;
  t_.ntrits = 0;
  s_.diffa = s_.diffb = s_.diffc = 0.0;
  t_.itest = 0;
  t_.nfsav = t_.nf;
  return Iterate(Label::kModelAtBest);
}

// vlag = the Lagrange values at xopt + d (H w with w from d), beta the other term of the update
// denominator; wk_[npt + k] keeps d . y_k for the model's prediction.
void Run::LagrangeValuesAndBeta() {
  const int n = m_.n, npt = m_.npt;
  const double* d = d_;
  double* wk = wk_;
  for (int k = 0; k < npt; ++k) {
    const double* y = m_.Point(k);
    double suma = 0.0, sumb = 0.0, sum = 0.0;
    for (int j = 0; j < n; ++j) {
      suma += y[j] * d[j];
      sumb += y[j] * m_.xopt[j];
      sum += m_.B(k, j) * d[j];
    }
    wk[k] = suma * (0.5 * suma + sumb);
    vlag_[k] = sum;
    wk[npt + k] = suma;
  }
  double beta = 0.0;
  for (int jj = 0; jj < m_.nptm; ++jj) {
    const double* z = &m_.Z(0, jj);
    const double sum = dot(npt, z, wk);
    beta -= sum * sum;
    for (int k = 0; k < npt; ++k) vlag_[k] += sum * z[k];
  }
  double dsq = 0.0, bsum = 0.0, dx = 0.0;
  for (int j = 0; j < n; ++j) {
    dsq += d[j] * d[j];
    const double* bj = &m_.B(0, j);
    double sum = dot(npt, wk, bj);
    bsum += sum * d[j];
    for (int i = 0; i < n; ++i) sum += m_.B(npt + j, i) * d[i];
    vlag_[npt + j] = sum;
    bsum += sum * d[j];
    dx += d[j] * m_.xopt[j];
  }
  s_.dsq = dsq;
  s_.beta = dx * dx + dsq * (s_.xoptsq + dx + dx + 0.5 * dsq) + beta - bsum;
  vlag_[t_.kopt] += 1.0;
}

// Picks knew, the point whose replacement by xnew keeps the update best conditioned, weighting
// points far from centre more. False when every candidate's denominator is damaged.
bool Run::ChooseTrustReplacement(const double* centre, bool includeBest) {
  const int n = m_.n, npt = m_.npt;
  const double delsq = s_.delta * s_.delta;
  double scaden = 0.0, biglsq = 0.0;
  int knew = -1;
  double denom = 0.0;
  for (int k = 0; k < npt; ++k) {
    if (k == t_.kopt && !includeBest) continue;
    double hdiag = 0.0;
    for (int jj = 0; jj < m_.nptm; ++jj) hdiag += m_.Z(k, jj) * m_.Z(k, jj);
    const double den = s_.beta * hdiag + vlag_[k] * vlag_[k];
    double distsq = 0.0;
    for (int j = 0; j < n; ++j) distsq += (m_.Xpt(k, j) - centre[j]) * (m_.Xpt(k, j) - centre[j]);
    const double weight = std::max(1.0, (distsq / delsq) * (distsq / delsq));
    if (weight * den > scaden) {
      scaden = weight * den;
      knew = k;
      denom = den;
    }
    biglsq = std::max(biglsq, weight * vlag_[k] * vlag_[k]);
  }
  if (scaden <= kDenominatorSafety * biglsq) return false;
  t_.knew = knew;
  s_.denom = denom;
  return true;
}

// Moves xbase to xopt, revising B and the model's second derivatives so that cancellation in
// the points' coordinates stays small.
void Run::ShiftBase() {
  const int n = m_.n, npt = m_.npt;
  double* xopt = m_.xopt;
  double* wk = wk_;
  const double fracsq = 0.25 * s_.xoptsq;
  double sumpq = 0.0;
  for (int k = 0; k < npt; ++k) {
    const double* y = m_.Point(k);
    sumpq += m_.pq[k];
    const double sum = -0.5 * s_.xoptsq + dot(n, y, xopt);
    wk[npt + k] = sum;
    const double temp = fracsq - 0.5 * sum;
    for (int i = 0; i < n; ++i) {
      wk[i] = m_.B(k, i);
      vlag_[i] = sum * y[i] + temp * xopt[i];
      const int ip = npt + i;
      for (int j = 0; j <= i; ++j) m_.B(ip, j) += wk[i] * vlag_[j] + vlag_[i] * wk[j];
    }
  }
  for (int jj = 0; jj < m_.nptm; ++jj) {
    const double* z = &m_.Z(0, jj);
    double sumz = 0.0, sumw = 0.0;
    for (int k = 0; k < npt; ++k) {
      sumz += z[k];
      vlag_[k] = wk[npt + k] * z[k];
      sumw += vlag_[k];
    }
    for (int j = 0; j < n; ++j) {
      double sum = (fracsq * sumz - 0.5 * sumw) * xopt[j];
      for (int k = 0; k < npt; ++k) sum += vlag_[k] * m_.Xpt(k, j);
      wk[j] = sum;
      double* bj = &m_.B(0, j);
      for (int k = 0; k < npt; ++k) bj[k] += sum * z[k];
    }
    for (int i = 0; i < n; ++i) {
      const int ip = i + npt;
      const double temp = wk[i];
      for (int j = 0; j <= i; ++j) m_.B(ip, j) += temp * wk[j];
    }
  }
  for (int j = 0; j < n; ++j) {
    double wj = -0.5 * sumpq * xopt[j];
    for (int k = 0; k < npt; ++k) {
      wj += m_.pq[k] * m_.Xpt(k, j);
      m_.Xpt(k, j) -= xopt[j];
    }
    wk[j] = wj;
    for (int i = 0; i <= j; ++i) {
      m_.hq[PackedIndex(i, j)] += wk[i] * xopt[j] + xopt[i] * wk[j];
      m_.B(npt + i, j) = m_.B(npt + j, i);
    }
  }
  for (int i = 0; i < n; ++i) {
    m_.xbase[i] += xopt[i];
    xnew_[i] -= xopt[i];
    m_.sl[i] -= xopt[i];
    m_.su[i] -= xopt[i];
    xopt[i] = 0.0;
  }
  s_.xoptsq = 0.0;
}

// The main iteration from a given point of its cycle, until the next evaluation or the end.
int Run::Iterate(Label label) {
  const int n = m_.n, npt = m_.npt;
  for (;;) {
    switch (label) {
      case Label::kModelAtBest: {
        // gopt is the gradient at the point kbase (the origin); move it to xopt.
        if (t_.kopt != t_.kbase) {
          HessianTimes(m_, m_.xopt, hs_);
          for (int i = 0; i < n; ++i) m_.gopt[i] += hs_[i];
        }
        label = Label::kTrustStep;
        break;
      }
      case Label::kTrustStep: {
        s_.dsq =
            TrustRegionStep(m_, s_.delta, xnew_, d_, gnew_, xbdi_, ts_, hs_, hred_, &s_.crvmin);
        s_.dnorm = std::min(s_.delta, std::sqrt(s_.dsq));
        if (s_.dnorm >= 0.5 * s_.rho) {
          ++t_.ntrits;
          label = Label::kShiftCheck;
          break;
        }
        // A step this short is not tried; decide between improving the geometry and reducing
        // rho from the errors of the model at the last three points.
        t_.ntrits = -1;
        s_.farDistsq = (10.0 * s_.rho) * (10.0 * s_.rho);
        label = Label::kFarPoint;
        if (t_.nf <= t_.nfsav + 2) break;
        const double errbig = std::max({s_.diffa, s_.diffb, s_.diffc});
        const double frhosq = kModelErrorFraction * s_.rho * s_.rho;
        if (s_.crvmin > 0.0 && errbig > frhosq * s_.crvmin) break;
        const double bdtol = errbig / s_.rho;
        bool improve = false;
        for (int j = 0; j < n && !improve; ++j) {
          double bdtest = bdtol;
          if (xnew_[j] == m_.sl[j]) bdtest = gnew_[j];
          if (xnew_[j] == m_.su[j]) bdtest = -gnew_[j];
          if (bdtest < bdtol) {
            double curv = m_.hq[PackedIndex(j, j)];
            for (int k = 0; k < npt; ++k) curv += m_.pq[k] * m_.Xpt(k, j) * m_.Xpt(k, j);
            bdtest += 0.5 * curv * s_.rho;
            if (bdtest < bdtol) improve = true;
          }
        }
        if (!improve) label = Label::kNextRho;
        break;
      }
      case Label::kShiftCheck: {
        if (s_.dsq <= kShiftTolerance * s_.xoptsq) ShiftBase();
        label = t_.ntrits == 0 ? Label::kGeometry : Label::kDenominator;
        break;
      }
      case Label::kRescue: {
        t_.nfsav = t_.nf;
        t_.kbase = t_.kopt;
        ++t_.rescues;
        const int task = StartRescue();
        if (task != kTaskStart) return task;
        return AfterRescue();
      }
      case Label::kGeometry: {
        const GeometryChoice choice =
            GeometryStep(m_, t_.kopt, t_.knew, s_.adelt, xnew_, xalt_, glag_, hcol_, gscratch_);
        s_.alpha = choice.alpha;
        s_.cauchy = choice.cauchy;
        for (int i = 0; i < n; ++i) d_[i] = xnew_[i] - m_.xopt[i];
        label = Label::kDenominator;
        break;
      }
      case Label::kDenominator: {
        LagrangeValuesAndBeta();
        label = Label::kEvaluate;
        if (t_.ntrits == 0) {
          const double vk = vlag_[t_.knew];
          s_.denom = vk * vk + s_.alpha * s_.beta;
          if (s_.denom < s_.cauchy && s_.cauchy > 0.0) {
            for (int i = 0; i < n; ++i) {
              xnew_[i] = xalt_[i];
              d_[i] = xnew_[i] - m_.xopt[i];
            }
            s_.cauchy = 0.0;
            label = Label::kDenominator;
            break;
          }
          if (s_.denom > kDenominatorSafety * vk * vk) break;
        } else if (ChooseTrustReplacement(m_.xopt, false)) {
          break;
        }
        // Rounding has damaged the denominator: re-choose the points, unless that has just
        // been done without a new value since.
        if (t_.nf > t_.nresc) {
          label = Label::kRescue;
          break;
        }
        stopReason_ =
            "the interpolation update stays ill-conditioned after re-choosing the "
            "points";
        return Finish(kTaskNoProgress);
      }
      case Label::kEvaluate: {
        PointToX(xnew_, out_.x);
        if (t_.nf >= t_.maxfun) return Finish(kTaskMaxfun);
        const int kind = t_.ntrits == -1  ? kKindFinalStep
                         : t_.ntrits == 0 ? kKindGeometry
                                          : kKindTrust;
        return Request(kPhaseTrial, kind);
      }
      case Label::kFarPoint: {
        // The point farthest from xopt beyond the threshold, if any, is moved by a geometry
        // step within adelt of xopt.
        int knew = -1;
        double distsq = s_.farDistsq;
        for (int k = 0; k < npt; ++k) {
          double sum = 0.0;
          for (int j = 0; j < n; ++j)
            sum += (m_.Xpt(k, j) - m_.xopt[j]) * (m_.Xpt(k, j) - m_.xopt[j]);
          if (sum > distsq) {
            knew = k;
            distsq = sum;
          }
        }
        if (knew >= 0) {
          t_.knew = knew;
          const double dist = std::sqrt(distsq);
          if (t_.ntrits == -1) {
            s_.delta = std::min(0.1 * s_.delta, 0.5 * dist);
            if (s_.delta <= kDeltaFloorFactor * s_.rho) s_.delta = s_.rho;
          }
          t_.ntrits = 0;
          s_.adelt = std::max(std::min(0.1 * dist, s_.delta), s_.rho);
          s_.dsq = s_.adelt * s_.adelt;
          label = Label::kShiftCheck;
          break;
        }
        if (t_.ntrits == -1) {
          label = Label::kNextRho;
          break;
        }
        if (s_.ratio > 0.0 || std::max(s_.delta, s_.dnorm) > s_.rho) {
          label = Label::kTrustStep;
          break;
        }
        label = Label::kNextRho;
        break;
      }
      case Label::kNextRho: {
        if (s_.rho > s_.rhoend) {
          s_.delta = 0.5 * s_.rho;
          const double ratio = s_.rho / s_.rhoend;
          if (ratio <= kRhoStepSmall)
            s_.rho = s_.rhoend;
          else if (ratio <= kRhoStepMedium)
            s_.rho = std::sqrt(ratio) * s_.rhoend;
          else
            s_.rho = 0.1 * s_.rho;
          s_.delta = std::max(s_.delta, s_.rho);
          t_.ntrits = 0;
          t_.nfsav = t_.nf;
          ++t_.rhoReductions;
          label = Label::kTrustStep;
          break;
        }
        // Done; a last short step is worth one value if it has not been tried.
        if (t_.ntrits == -1) {
          label = Label::kEvaluate;
          break;
        }
        return Finish(kTaskConverged);
      }
    }
  }
}

int Run::ReceiveTrial(double raw) {
  const int n = m_.n, npt = m_.npt;
  const double f = Accept(raw);
  if (t_.ntrits == -1) {
    s_.fsave = f;
    return Finish(TargetReached(raw) ? kTaskTarget : kTaskConverged);
  }
  // The model's prediction of the change, and its error.
  const double fopt = m_.fval[t_.kopt];
  double vquad = dot(n, d_, m_.gopt);
  for (int j = 0; j < n; ++j) {
    const double* column = m_.hq + PackedIndex(0, j);
    for (int i = 0; i < j; ++i) vquad += column[i] * d_[i] * d_[j];
    vquad += 0.5 * column[j] * d_[j] * d_[j];
  }
  for (int k = 0; k < npt; ++k) vquad += 0.5 * m_.pq[k] * wk_[npt + k] * wk_[npt + k];
  s_.vquad = vquad;
  const double diff = f - fopt - vquad;
  s_.diffc = s_.diffb;
  s_.diffb = s_.diffa;
  s_.diffa = std::abs(diff);
  if (s_.dnorm > s_.rho) t_.nfsav = t_.nf;

  if (t_.ntrits > 0) {
    if (vquad >= 0.0) {
      // The model predicts no decrease; keep the new point if it is the best.
      s_.fsave = f;
      stopReason_ = "the trust-region step of the model gives no decrease";
      return Finish(kTaskNoProgress);
    }
    s_.ratio = (f - fopt) / vquad;
    if (s_.ratio <= kPoorRatio)
      s_.delta = std::min(0.5 * s_.delta, s_.dnorm);
    else if (s_.ratio <= kGoodRatio)
      s_.delta = std::max(0.5 * s_.delta, s_.dnorm);
    else
      s_.delta = std::max(0.5 * s_.delta, s_.dnorm + s_.dnorm);
    if (s_.delta <= kDeltaFloorFactor * s_.rho) s_.delta = s_.rho;
    if (f < fopt) {
      // With a new best point the replaced one is chosen again, measured from xnew.
      const int ksav = t_.knew;
      const double densav = s_.denom;
      if (!ChooseTrustReplacement(xnew_, true)) {
        t_.knew = ksav;
        s_.denom = densav;
      }
    }
  }

  // New B and Z, and the least-Frobenius-change update of the model's second derivatives.
  const int knew = t_.knew;
  UpdateInverse(m_, vlag_, s_.beta, s_.denom, knew, wk_);
  const double pqold = m_.pq[knew];
  m_.pq[knew] = 0.0;
  {
    const double* y = m_.Point(knew);
    for (int i = 0; i < n; ++i) {
      const double temp = pqold * y[i];
      for (int j = 0; j <= i; ++j) m_.hq[PackedIndex(j, i)] += temp * y[j];
    }
  }
  for (int jj = 0; jj < m_.nptm; ++jj) {
    const double temp = diff * m_.Z(knew, jj);
    const double* z = &m_.Z(0, jj);
    for (int k = 0; k < npt; ++k) m_.pq[k] += temp * z[k];
  }
  m_.fval[knew] = f;
  for (int i = 0; i < n; ++i) {
    m_.Xpt(knew, i) = xnew_[i];
    wk_[i] = m_.B(knew, i);
  }
  for (int k = 0; k < npt; ++k) {
    double suma = 0.0;
    for (int jj = 0; jj < m_.nptm; ++jj) suma += m_.Z(knew, jj) * m_.Z(k, jj);
    const double* y = m_.Point(k);
    const double temp = suma * dot(n, y, m_.xopt);
    for (int i = 0; i < n; ++i) wk_[i] += temp * y[i];
  }
  for (int i = 0; i < n; ++i) m_.gopt[i] += diff * wk_[i];

  if (f < fopt) {
    t_.kopt = knew;
    for (int j = 0; j < n; ++j) m_.xopt[j] = xnew_[j];
    s_.xoptsq = dot(n, m_.xopt, m_.xopt);
    HessianTimes(m_, d_, hs_);
    for (int i = 0; i < n; ++i) m_.gopt[i] += hs_[i];
  }
  if (TargetReached(raw)) return Finish(kTaskTarget);

  if (t_.ntrits > 0) {
    // The least Frobenius norm interpolant to the current values, and the replacement of the
    // model by it when its gradient has been much smaller three times running.
    for (int k = 0; k < npt; ++k) {
      vlag_[k] = m_.fval[k] - m_.fval[t_.kopt];
      wk_[k] = 0.0;
    }
    for (int j = 0; j < m_.nptm; ++j) {
      const double* z = &m_.Z(0, j);
      const double sum = dot(npt, z, vlag_);
      for (int k = 0; k < npt; ++k) wk_[k] += sum * z[k];
    }
    for (int k = 0; k < npt; ++k) {
      const double sum = dot(n, m_.Point(k), m_.xopt);
      wk_[k + npt] = wk_[k];
      wk_[k] = sum * wk_[k];
    }
    double gqsq = 0.0, gisq = 0.0;
    for (int i = 0; i < n; ++i) {
      double sum = 0.0;
      for (int k = 0; k < npt; ++k) sum += m_.B(k, i) * vlag_[k] + m_.Xpt(k, i) * wk_[k];
      if (m_.xopt[i] == m_.sl[i]) {
        gqsq += std::min(0.0, m_.gopt[i]) * std::min(0.0, m_.gopt[i]);
        gisq += std::min(0.0, sum) * std::min(0.0, sum);
      } else if (m_.xopt[i] == m_.su[i]) {
        gqsq += std::max(0.0, m_.gopt[i]) * std::max(0.0, m_.gopt[i]);
        gisq += std::max(0.0, sum) * std::max(0.0, sum);
      } else {
        gqsq += m_.gopt[i] * m_.gopt[i];
        gisq += sum * sum;
      }
      vlag_[npt + i] = sum;
    }
    ++t_.itest;
    if (gqsq < kGradientRatio * gisq) t_.itest = 0;
    if (t_.itest >= kGradientTests) {
      for (int i = 0; i < n; ++i) m_.gopt[i] = vlag_[npt + i];
      for (int k = 0; k < npt; ++k) m_.pq[k] = wk_[npt + k];
      std::fill(m_.hq, m_.hq + n * (n + 1) / 2, 0.0);
      t_.itest = 0;
    }
  }

  if (t_.ntrits == 0 || f <= fopt + kSufficientDecrease * vquad) return Iterate(Label::kTrustStep);
  s_.farDistsq = std::max((2.0 * s_.delta) * (2.0 * s_.delta), (10.0 * s_.rho) * (10.0 * s_.rho));
  return Iterate(Label::kFarPoint);
}

// Rescue: xbase moves to xopt, and B and Z are rebuilt for a provisional set of points along
// the coordinates from xopt (the well-conditioned initial pattern with radius delta). The
// original points are then reinstated one by one, closest first, each replacing the
// provisional point that keeps the update best conditioned; points whose reinstatement would
// be ill-conditioned are skipped. The provisional points left are evaluated afterwards.
// Returns kTaskStart when nothing needs evaluating.
int Run::StartRescue() {
  const int n = m_.n, npt = m_.npt, ndim = m_.ndim, nptm = m_.nptm;
  double* xopt = m_.xopt;
  double* wk = wk_;
  double* distances = wk_ + ndim;
  double sumpq = 0.0, winc = 0.0;
  for (int k = 0; k < npt; ++k) {
    double* y = m_.Point(k);
    double distsq = 0.0;
    for (int j = 0; j < n; ++j) {
      y[j] -= xopt[j];
      distsq += y[j] * y[j];
    }
    sumpq += m_.pq[k];
    distances[k] = distsq;
    winc = std::max(winc, distsq);
    for (int j = 0; j < nptm; ++j) m_.Z(k, j) = 0.0;
  }
  for (int j = 0; j < n; ++j) {
    double wj = 0.5 * sumpq * xopt[j];
    for (int k = 0; k < npt; ++k) wj += m_.pq[k] * m_.Xpt(k, j);
    wk[j] = wj;
    for (int i = 0; i <= j; ++i) m_.hq[PackedIndex(i, j)] += wk[i] * xopt[j] + wk[j] * xopt[i];
  }
  for (int j = 0; j < n; ++j) {
    m_.xbase[j] += xopt[j];
    m_.sl[j] -= xopt[j];
    m_.su[j] -= xopt[j];
    xopt[j] = 0.0;
    aux1_[j] = std::min(s_.delta, m_.su[j]);
    aux2_[j] = std::max(-s_.delta, m_.sl[j]);
    if (aux1_[j] + aux2_[j] < 0.0) std::swap(aux1_[j], aux2_[j]);
    if (std::abs(aux2_[j]) < 0.5 * std::abs(aux1_[j])) aux2_[j] = 0.5 * aux1_[j];
    for (int i = 0; i < ndim; ++i) m_.B(i, j) = 0.0;
  }
  s_.xoptsq = 0.0;
  s_.fbase = m_.fval[t_.kopt];

  // Provisional identities: point k at xopt + aux1[p-1] e_p (q = 0), xopt + aux2[q-1] e_q
  // (p = 0) or xopt + aux1[p-1] e_p + aux1[q-1] e_q; slot 0 is xopt itself.
  for (int k = 0; k < npt; ++k) provisional_[k] = idP_[k] = idQ_[k] = 0;
  provisional_[0] = 1;
  for (int j = 0; j < n; ++j) {
    const int jp = j + 1, jpn = jp + n;
    provisional_[jp] = 1;
    idP_[jp] = j + 1;
    if (jpn < npt) {
      provisional_[jpn] = 1;
      idQ_[jpn] = j + 1;
      const double temp = 1.0 / (aux1_[j] - aux2_[j]);
      m_.B(jp, j) = -temp + 1.0 / aux1_[j];
      m_.B(jpn, j) = temp + 1.0 / aux2_[j];
      m_.B(0, j) = -m_.B(jp, j) - m_.B(jpn, j);
      m_.Z(0, j) = std::sqrt(2.0) / std::abs(aux1_[j] * aux2_[j]);
      m_.Z(jp, j) = m_.Z(0, j) * aux2_[j] * temp;
      m_.Z(jpn, j) = -m_.Z(0, j) * aux1_[j] * temp;
    } else {
      m_.B(0, j) = -1.0 / aux1_[j];
      m_.B(jp, j) = 1.0 / aux1_[j];
      m_.B(j + npt, j) = -0.5 * aux1_[j] * aux1_[j];
    }
  }
  for (int k = 2 * n + 1; k < npt; ++k) {
    const int k1 = k + 1, np = n + 1;
    const int iw = static_cast<int>((k1 - np - 0.5) / n);
    const int ip = k1 - np - iw * n;
    int iq = ip + iw;
    if (iq > n) iq -= n;
    provisional_[k] = 1;
    idP_[k] = ip;
    idQ_[k] = iq;
    const double temp = 1.0 / (aux1_[ip - 1] * aux1_[iq - 1]);
    const int column = k - n - 1;
    m_.Z(0, column) = temp;
    m_.Z(ip, column) = -temp;
    m_.Z(iq, column) = -temp;
    m_.Z(k, column) = temp;
  }

  int nrem = npt;
  int kold = 0;
  int knew = t_.kopt;
  double beta = 0.0, denom = 0.0;
  bool exchange = true;
  for (;;) {
    if (exchange) {
      // Slot knew takes back its original point; the provisional identity there moves to
      // kold, whose provisional point is dropped.
      for (int j = 0; j < n; ++j) std::swap(m_.B(kold, j), m_.B(knew, j));
      for (int j = 0; j < nptm; ++j) std::swap(m_.Z(kold, j), m_.Z(knew, j));
      provisional_[kold] = provisional_[knew];
      idP_[kold] = idP_[knew];
      idQ_[kold] = idQ_[knew];
      provisional_[knew] = 0;
      idP_[knew] = idQ_[knew] = 0;
      distances[knew] = 0.0;
      --nrem;
      if (knew != t_.kopt) {
        std::swap(vlag_[kold], vlag_[knew]);
        UpdateInverse(m_, vlag_, beta, denom, knew, wk);
        if (nrem == 0) return kTaskStart;
        for (int k = 0; k < npt; ++k) distances[k] = std::abs(distances[k]);
      }
    }
    // The closest original point not yet reinstated (nor just refused).
    double dsqmin = 0.0;
    for (int k = 0; k < npt; ++k) {
      if (distances[k] > 0.0 && (dsqmin == 0.0 || distances[k] < dsqmin)) {
        knew = k;
        dsqmin = distances[k];
      }
    }
    if (dsqmin == 0.0) break;
    // Its w vector relative to the current (partly provisional) set, then vlag and beta.
    const double* yk = m_.Point(knew);
    for (int j = 0; j < n; ++j) wk[npt + j] = yk[j];
    for (int k = 0; k < npt; ++k) {
      double sum = 0.0;
      if (k == t_.kopt) {
      } else if (!provisional_[k]) {
        sum = dot(n, wk + npt, m_.Point(k));
      } else {
        const int p = idP_[k], q = idQ_[k];
        if (p > 0) sum = wk[npt + p - 1] * aux1_[p - 1];
        if (q > 0) sum += wk[npt + q - 1] * (p == 0 ? aux2_[q - 1] : aux1_[q - 1]);
      }
      wk[k] = 0.5 * sum * sum;
    }
    for (int k = 0; k < npt; ++k) {
      double sum = 0.0;
      for (int j = 0; j < n; ++j) sum += m_.B(k, j) * wk[npt + j];
      vlag_[k] = sum;
    }
    beta = 0.0;
    for (int j = 0; j < nptm; ++j) {
      const double* z = &m_.Z(0, j);
      const double sum = dot(npt, z, wk);
      beta -= sum * sum;
      for (int k = 0; k < npt; ++k) vlag_[k] += sum * z[k];
    }
    double bsum = 0.0, distsq = 0.0;
    for (int j = 0; j < n; ++j) {
      double sum = dot(npt, &m_.B(0, j), wk);
      const int jp = j + npt;
      bsum += sum * wk[jp];
      for (int ip = npt; ip < ndim; ++ip) sum += m_.B(ip, j) * wk[ip];
      bsum += sum * wk[jp];
      vlag_[jp] = sum;
      distsq += yk[j] * yk[j];
    }
    beta = 0.5 * distsq * distsq + beta - bsum;
    vlag_[t_.kopt] += 1.0;
    denom = 0.0;
    double vlmxsq = 0.0;
    for (int k = 0; k < npt; ++k) {
      if (provisional_[k]) {
        double hdiag = 0.0;
        for (int j = 0; j < nptm; ++j) hdiag += m_.Z(k, j) * m_.Z(k, j);
        const double den = beta * hdiag + vlag_[k] * vlag_[k];
        if (den > denom) {
          kold = k;
          denom = den;
        }
      }
      vlmxsq = std::max(vlmxsq, vlag_[k] * vlag_[k]);
    }
    if (denom <= kRescueDenominator * vlmxsq) {
      distances[knew] = -distances[knew] - winc;
      exchange = false;
    } else {
      exchange = true;
    }
  }
  t_.index = 0;
  return NextRescuePoint();
}

// Puts the next provisional point into the set and asks for its value.
int Run::NextRescuePoint() {
  const int n = m_.n, npt = m_.npt;
  int kpt = t_.index;
  while (kpt < npt && !provisional_[kpt]) ++kpt;
  t_.index = kpt;
  if (kpt == npt) return kTaskStart;
  if (t_.nf >= t_.maxfun) {
    t_.maxfunInRescue = 1;
    return kTaskStart;
  }
  // The old point's implicit second derivative term becomes explicit.
  double* y = m_.Point(kpt);
  for (int j = 0; j < n; ++j) {
    wk_[j] = y[j];
    y[j] = 0.0;
    const double temp = m_.pq[kpt] * wk_[j];
    for (int i = 0; i <= j; ++i) m_.hq[PackedIndex(i, j)] += temp * wk_[i];
  }
  m_.pq[kpt] = 0.0;
  const int p = idP_[kpt], q = idQ_[kpt];
  assert(p > 0 || q > 0);
  double xp = 0.0, xq = 0.0;
  if (p > 0) {
    xp = aux1_[p - 1];
    y[p - 1] = xp;
  }
  if (q > 0) {
    xq = p == 0 ? aux2_[q - 1] : aux1_[q - 1];
    y[q - 1] = xq;
  }
  // The model's value there.
  double vquad = s_.fbase;
  if (p > 0) vquad += xp * (m_.gopt[p - 1] + 0.5 * xp * m_.hq[PackedIndex(p - 1, p - 1)]);
  if (q > 0) {
    vquad += xq * (m_.gopt[q - 1] + 0.5 * xq * m_.hq[PackedIndex(q - 1, q - 1)]);
    if (p > 0) vquad += xp * xq * m_.hq[PackedIndex(std::min(p, q) - 1, std::max(p, q) - 1)];
  }
  for (int k = 0; k < npt; ++k) {
    double temp = 0.0;
    if (p > 0) temp += xp * m_.Xpt(k, p - 1);
    if (q > 0) temp += xq * m_.Xpt(k, q - 1);
    vquad += 0.5 * m_.pq[k] * temp * temp;
  }
  s_.vquad = vquad;
  PointToX(y, out_.x);
  return Request(kPhaseRescue, kKindRescue);
}

int Run::ReceiveRescue(double raw) {
  const int npt = m_.npt, nptm = m_.nptm;
  const int kpt = t_.index;
  const double f = Accept(raw);
  m_.fval[kpt] = f;
  if (f < m_.fval[t_.kopt]) t_.kopt = kpt;
  const double diff = f - s_.vquad;
  for (int i = 0; i < m_.n; ++i) m_.gopt[i] += diff * m_.B(kpt, i);
  for (int k = 0; k < npt; ++k) {
    double sum = 0.0;
    for (int j = 0; j < nptm; ++j) sum += m_.Z(k, j) * m_.Z(kpt, j);
    const double temp = diff * sum;
    if (!provisional_[k]) {
      m_.pq[k] += temp;
      continue;
    }
    // Provisional points are not in xpt yet: their term goes straight into hq.
    const int p = idP_[k], q = idQ_[k];
    if (p == 0) {
      m_.hq[PackedIndex(q - 1, q - 1)] += temp * aux2_[q - 1] * aux2_[q - 1];
    } else {
      m_.hq[PackedIndex(p - 1, p - 1)] += temp * aux1_[p - 1] * aux1_[p - 1];
      if (q > 0) {
        m_.hq[PackedIndex(q - 1, q - 1)] += temp * aux1_[q - 1] * aux1_[q - 1];
        m_.hq[PackedIndex(std::min(p, q) - 1, std::max(p, q) - 1)] +=
            temp * aux1_[p - 1] * aux1_[q - 1];
      }
    }
  }
  provisional_[kpt] = 0;
  idP_[kpt] = idQ_[kpt] = 0;
  t_.index = kpt + 1;
  if (TargetReached(raw)) return Finish(kTaskTarget);
  const int task = NextRescuePoint();
  if (task != kTaskStart) return task;
  return AfterRescue();
}

int Run::AfterRescue() {
  const int n = m_.n;
  s_.xoptsq = 0.0;
  if (t_.kopt != t_.kbase) {
    for (int i = 0; i < n; ++i) m_.xopt[i] = m_.Xpt(t_.kopt, i);
    s_.xoptsq = dot(n, m_.xopt, m_.xopt);
  }
  if (t_.maxfunInRescue) return Finish(kTaskMaxfun);
  t_.nresc = t_.nf;
  if (t_.nfsav < t_.nf) {
    t_.nfsav = t_.nf;
    return Iterate(Label::kModelAtBest);
  }
  return Iterate(t_.ntrits > 0 ? Label::kTrustStep : Label::kGeometry);
}

// The best point into x and f: the best interpolation point, or the last value if lower.
// A convergence whose models can only have interpolated substitutes for non-finite values (fewer
// finite values received than the model has points) has found no minimum of f: it says so.
int Run::Finish(int task) {
  if (task == kTaskConverged && t_.nf - t_.nonfinite < m_.npt) task = kTaskNonFinite;
  t_.phase = kPhaseDone;
  t_.kind = kKindNone;
  if (m_.fval[t_.kopt] <= s_.fsave) {
    PointToX(m_.Point(t_.kopt), out_.x);
    *out_.f = m_.fval[t_.kopt];
  } else {
    PointToX(xnew_, out_.x);
    *out_.f = s_.fsave;
  }
  return task;
}

int Run::Resume() {
  const double value = *out_.f;
  switch (t_.phase) {
    case kPhaseInitial:
      return ReceiveInitial(value);
    case kPhaseTrial:
      return ReceiveTrial(value);
    case kPhaseRescue: {
      return ReceiveRescue(value);
    }
    default:
      return kErrorNoRun;
  }
}

void Run::Publish(int task) {
  const int values[kCountEntries] = {t_.nf,
                                     t_.trustSteps,
                                     t_.geometrySteps,
                                     t_.rescues,
                                     t_.rhoReductions,
                                     t_.nonfinite,
                                     task == kTaskEvaluate ? t_.kind : kKindNone};
  if (out_.counts != nullptr)
    for (int i = 0; i < std::min(out_.lcounts, kCountEntries); ++i) out_.counts[i] = values[i];
  // Values received so far (the one just requested is not among them).
  const int received = t_.nf - (task == kTaskEvaluate ? 1 : 0);
  const bool haveBest = received > 0 && task != kErrorFirstValue;
  const double best = !haveBest ? 0.0 : task == kTaskEvaluate ? m_.fval[t_.kopt] : *out_.f;
  const double reals[kRStateEntries] = {s_.rho, s_.delta, best, s_.ratio, s_.substitute};
  if (out_.rstate != nullptr)
    for (int i = 0; i < std::min(out_.lrstate, kRStateEntries); ++i) out_.rstate[i] = reals[i];
  if (out_.xbest != nullptr && out_.xbest != out_.x && haveBest) {
    if (task != kTaskEvaluate)
      std::memcpy(out_.xbest, out_.x, sizeof(double) * m_.n);
    else
      PointToX(m_.Point(t_.kopt), out_.xbest);
  }
  char* msg = out_.message;
  const std::uint64_t len = out_.messageLength;
  switch (task) {
    case kTaskEvaluate:
      if (t_.msglevel <= 0) {
        WriteMessage(msg, len, "evaluate");
      } else {
        static const char* const kKinds[] = {"initial point", "trust-region step", "geometry step",
                                             "rescue point", "final short step"};
        WriteMessage(msg, len, "evaluate: %s, evaluation %d, rho %.3e, best f %.10g",
                     kKinds[t_.kind], t_.nf, s_.rho, best);
      }
      break;
    case kTaskConverged:
      WriteMessage(msg, len, "converged: rho reached rhoend %.3e after %d evaluations, f = %.17g",
                   s_.rhoend, t_.nf, *out_.f);
      break;
    case kTaskMaxfun:
      WriteMessage(msg, len, "stopped: maxfun = %d evaluations made, rho %.3e, best f = %.17g",
                   t_.maxfun, s_.rho, *out_.f);
      break;
    case kTaskNoProgress:
      WriteMessage(msg, len, "stopped: no further progress possible (%s), rho %.3e, best f = %.17g",
                   stopReason_, s_.rho, *out_.f);
      break;
    case kTaskNonFinite:
      WriteMessage(msg, len,
                   "stopped: %d of %d values were not finite, too few finite ones for a model; "
                   "best f = %.17g",
                   t_.nonfinite, t_.nf, *out_.f);
      break;
    case kTaskTarget:
      WriteMessage(msg, len, "stopped: f reached the target after %d evaluations, f = %.17g", t_.nf,
                   *out_.f);
      break;
    case kErrorFirstValue:
      WriteMessage(msg, len, "error: %s", stopReason_);
      break;
    case kErrorNoRun:
      WriteMessage(msg, len, "error: task 1 but no run is in progress in this workspace");
      break;
    default:
      break;
  }
}

}  // namespace

int BobyqaRealWorkspaceLength(int n, int npt) {
  if (!SizesValid(n, npt)) return -1;
  const long length = RealLength(n, npt);
  return length > std::numeric_limits<int>::max() ? -1 : static_cast<int>(length);
}

int BobyqaIntWorkspaceLength(int npt) {
  if (npt < 3) return -1;
  const long length = kBobyqaIntScalars + 3L * npt;
  return length > std::numeric_limits<int>::max() ? -1 : static_cast<int>(length);
}

void BQA_OPTBQA(double* x, double* f, int* n, double* xl, double* xu, int* npt, double* w, int* lw,
                int* iw, int* task, int* liw, int* maxfun, double* fhist, int* lfhist, int* counts,
                int* lcounts, double* rstate, int* lrstate, int* khist, int* lkhist, double* xhist,
                int* lxhist, int* /*reserved23*/, int* /*reserved24*/, double* xbest,
                double* ftarget, double* rhobeg, int* msglevel, int* /*reserved29*/,
                int* /*reserved30*/, int* /*reserved31*/, int* /*reserved32*/, int* /*reserved33*/,
                int* /*reserved34*/, int* /*reserved35*/, double* rhoend, char* message,
                std::uint64_t messageLength) {
  if (*task != kTaskStart && *task != kTaskEvaluate) return;
  auto fail = [&](int code, const char* text) {
    *task = code;
    WriteMessage(message, messageLength, "error: %s", text);
  };
  auto length = [](const int* p) { return p != nullptr ? std::max(0, *p) : 0; };
  const Outputs out{x,
                    f,
                    task,
                    fhist,
                    length(lfhist),
                    counts,
                    length(lcounts),
                    rstate,
                    length(lrstate),
                    khist,
                    length(lkhist),
                    xhist,
                    length(lxhist),
                    xbest,
                    ftarget,
                    message,
                    messageLength};

  if (*task == kTaskEvaluate) {
    // Resume: the workspace must hold a run for these sizes.
    if (*liw < kBobyqaIntScalars || *lw < kBobyqaRealScalars || iw[0] != kRunMarker ||
        iw[1] != *n || iw[2] != *npt || !SizesValid(*n, *npt))
      return fail(kErrorNoRun, "task 1 but no run is in progress in this workspace");
    if (*lw < BobyqaRealWorkspaceLength(*n, *npt))
      return fail(kErrorRealWorkspace, "lw is shorter than the run needs");
    if (*liw < BobyqaIntWorkspaceLength(*npt))
      return fail(kErrorIntWorkspace, "liw is shorter than the run needs");
    Run run(w, iw, *n, *npt, out);
    run.SetBounds(xl, xu);
    if (run.phase() != kPhaseInitial && run.phase() != kPhaseTrial && run.phase() != kPhaseRescue)
      return fail(kErrorNoRun, "task 1 but no run is in progress in this workspace");
    const int code = run.Resume();
    run.Save();
    *task = code;
    run.Publish(code);
    return;
  }

  // A new run: check everything before anything is written.
  if (!SizesValid(*n, *npt))
    return fail(kErrorSizes, "n < 1 or npt outside [n + 2, (n + 1)(n + 2) / 2]");
  const int needW = BobyqaRealWorkspaceLength(*n, *npt);
  if (needW < 0 || *lw < needW) return fail(kErrorRealWorkspace, "lw too short");
  const int needIw = BobyqaIntWorkspaceLength(*npt);
  if (needIw < 0 || *liw < needIw) return fail(kErrorIntWorkspace, "liw too short");
  for (int i = 0; i < *n; ++i)
    if (!std::isfinite(xl[i]) || !std::isfinite(xu[i]) || xl[i] > xu[i])
      return fail(kErrorBounds, "a bound is not finite or xl > xu");
  if (!std::isfinite(*rhobeg) || !std::isfinite(*rhoend) || *rhoend <= 0.0 || *rhobeg < *rhoend)
    return fail(kErrorRadii, "rhobeg and rhoend must be finite with 0 < rhoend <= rhobeg");
  for (int i = 0; i < *n; ++i)
    if (xu[i] - xl[i] < 2.0 * *rhobeg)
      return fail(kErrorBoundGap, "xu - xl < 2 rhobeg for some variable");
  if (*maxfun < *npt + 1) return fail(kErrorMaxfun, "maxfun < npt + 1");
  for (int i = 0; i < *n; ++i)
    if (!std::isfinite(x[i])) return fail(kErrorStart, "the start x is not finite");
  Run run(w, iw, *n, *npt, out);
  run.SetBounds(xl, xu);
  const int code =
      run.Start(xl, xu, *maxfun, *rhobeg, *rhoend, msglevel != nullptr ? *msglevel : 0);
  run.Save();
  *task = code;
  run.Publish(code);
}
