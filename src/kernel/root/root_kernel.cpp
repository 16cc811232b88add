// The one-dimensional root finder behind HSL_NB01AD: secant steps until a sign change shows,
// then the enclosing method of Alefeld, Potra and Shi. Each call absorbs the value at the
// point last requested and either requests the next point or ends; the whole search between
// calls lives in the caller's val array (layout below), which a Search works on in place.
#include "kernel/root/root_kernel.hpp"

#include "common/array_helpers.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

using Orvo::detail::kEpsilon;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Relative part of the tolerance: an enclosure is never asked to be narrower than a few units
// in the last place of its ends.
constexpr double kRelativeTolerance = 4.0 * kEpsilon;
// A point closer than this fraction of the tolerance to an end of the enclosure is moved to
// that distance: if the root lies that close to the end, the enclosure closes with it.
constexpr double kEndOffset = 0.95;
// An iteration of the enclosing method that leaves more than this fraction of the enclosure it
// started from is followed by a bisection.
constexpr double kRequiredReduction = 0.5;
// Newton steps on the interpolating quadratic when inverse cubic interpolation is not possible.
// (Three for both interpolations of an iteration, where the published method takes two and
// three: on its test set three for both saves about 2 % of the evaluations.)
constexpr int kQuadraticSteps = 3;
// Secant phase (no sign change yet): a step is at most this multiple of the distance between
// the two points it comes from, ...
constexpr double kMaxStepGrowth = 10.0;
// ... the search gives up after this many steps without a smaller |f| ...
constexpr int kMaxFutileSteps = 6;
// ... or when the iterate would leave this range.
constexpr double kAbscissaLimit = 1e300;
// Largest contraction of successive secant steps trusted in estimating the distance to a
// multiple root.
constexpr double kMaxContraction = 0.9;

constexpr int kStateStart = 0;
constexpr int kStateEvaluate = 1;
constexpr int kStateConverged = 2;
constexpr int kStateLimit = 3;
constexpr int kStateNoSignChange = 4;
constexpr int kStateNotFinite = 5;
constexpr int kStatePole = 6;
constexpr int kStateRepeat = -1;

// What the value now being absorbed was requested for.
enum Phase {
  kIdle = 0,           // no search in progress
  kFirstValue,         // f(a)
  kSecondValue,        // f(b)
  kSecantValue,        // a secant iterate, no sign change yet
  kOpeningValue,       // the secant point that opens the enclosing method
  kFirstInterpolant,   // first interpolation point of an iteration
  kSecondInterpolant,  // second interpolation point
  kDoubleSecant,       // double-length secant point
  kBisection           // midpoint after an insufficient iteration
};

// Layout of val (doubles). In the secant phase lo/hi hold the older and newer iterate; in the
// enclosing phase lo < hi are the ends of the enclosure, d the end it last lost and e the one
// lost before.
enum Slot {
  kValue = 0,
  kPhase,
  kEvaluations,
  kLimit,
  kTolerance,
  kPending,
  kLo,
  kFLo,
  kHi,
  kFHi,
  kD,
  kFD,
  kE,
  kFE,
  kKnownPoints,  // how many of d, e are defined (0..2)
  kIterationWidth,
  kBestX,
  kBestF,
  kStartMagnitude,
  kFutileSteps,
  kAfterBisection,
  kProbed,
  kSlotCount
};
static_assert(kSlotCount <= NB01ValueLength, "save area too short");

bool SameSign(double u, double v) {
  return (u < 0.0) == (v < 0.0);
}

double Midpoint(double lo, double hi) {
  return 0.5 * lo + 0.5 * hi;
}

class Search {
 public:
  explicit Search(double* val) : w_(val) {}

  bool Awaiting() const { return phase() != kIdle; }

  void Begin(double a, double b, double tol, int maxit) {
    w_[kPhase] = kIdle;
    w_[kEvaluations] = 0.0;
    w_[kLimit] = std::fabs(static_cast<double>(maxit));
    w_[kTolerance] = tol > 0.0 ? tol : 0.0;
    w_[kLo] = a;
    w_[kHi] = b;
    w_[kKnownPoints] = 0.0;
    w_[kBestX] = a;
    w_[kBestF] = kNaN;
    w_[kFutileSteps] = 0.0;
    w_[kProbed] = 0.0;
    if (!std::isfinite(a) || !std::isfinite(b)) {
      return Finish(kStateNotFinite, std::isfinite(a) ? b : a, kNaN);
    }
    Request(a, kFirstValue);
  }

  void Absorb(double fx) {
    const double x = w_[kPending];
    if (!std::isfinite(fx)) return Finish(kStateNotFinite, x, fx);
    improved_ = !(std::fabs(fx) >= std::fabs(w_[kBestF]));  // true against a fresh search's NaN
    if (improved_) {
      w_[kBestX] = x;
      w_[kBestF] = fx;
    }
    switch (phase()) {
      case kFirstValue:
        return AbsorbFirst(fx);
      case kSecondValue:
        return AbsorbSecond(fx);
      case kSecantValue:
        return AbsorbSecant(x, fx);
      default:
        return AbsorbInEnclosure(x, fx);
    }
  }

  int Result() const { return result_; }
  double ResultX() const { return resultX_; }
  double ResultF() const { return resultF_; }

 private:
  Phase phase() const { return static_cast<Phase>(static_cast<int>(w_[kPhase])); }
  double& lo() { return w_[kLo]; }
  double& flo() { return w_[kFLo]; }
  double& hi() { return w_[kHi]; }
  double& fhi() { return w_[kFHi]; }

  // --- requests and endings --------------------------------------------------------------

  void Request(double x, Phase next) {
    if (w_[kEvaluations] >= w_[kLimit]) {
      if (phase() >= kOpeningValue || next >= kOpeningValue) {
        const bool loBetter = std::fabs(flo()) <= std::fabs(fhi());
        return Finish(kStateLimit, loBetter ? lo() : hi(), loBetter ? flo() : fhi());
      }
      return Finish(kStateLimit, w_[kBestX], w_[kBestF]);
    }
    w_[kEvaluations] += 1.0;
    w_[kPending] = x;
    w_[kPhase] = next;
    result_ = kStateEvaluate;
    resultX_ = x;
  }

  void Finish(int code, double x, double fx) {
    w_[kPhase] = kIdle;
    result_ = code;
    resultX_ = x;
    resultF_ = fx;
  }

  // --- the two starting values -----------------------------------------------------------

  void AbsorbFirst(double fa) {
    flo() = fa;
    if (fa == 0.0) return Finish(kStateConverged, lo(), fa);
    if (lo() == hi()) return Finish(kStateNoSignChange, lo(), fa);
    Request(hi(), kSecondValue);
  }

  void AbsorbSecond(double fb) {
    fhi() = fb;
    if (fb == 0.0) return Finish(kStateConverged, hi(), fb);
    w_[kStartMagnitude] = std::max(std::fabs(flo()), std::fabs(fb));
    if (!SameSign(flo(), fb)) return OpenEnclosure(lo(), flo(), hi(), fb);
    // Secant phase: lo the older (worse) iterate, hi the newer (better) one.
    if (std::fabs(flo()) < std::fabs(fb)) {
      std::swap(lo(), hi());
      std::swap(flo(), fhi());
    }
    NextSecant();
  }

  // --- secant phase ----------------------------------------------------------------------

  void NextSecant() {
    const double x0 = lo(), f0 = flo(), x1 = hi(), f1 = fhi();
    const double spacing = std::fabs(x1 - x0);
    if (f1 == f0 || !(spacing > 0.0)) return Finish(kStateNoSignChange, w_[kBestX], w_[kBestF]);
    double step = -f1 * ((x1 - x0) / (f1 - f0));
    if (std::isnan(step)) return Finish(kStateNoSignChange, w_[kBestX], w_[kBestF]);
    const double bound = kMaxStepGrowth * spacing;
    if (!(std::fabs(step) <= bound)) step = std::copysign(bound, step);
    // A step this short says the root is within the tolerance: one probe just beyond it
    // either shows the sign change (and the enclosure closes soon) or, when the step after it
    // is as short again, ends the search without one (a root of even multiplicity, or a
    // minimum of |f|). Near a multiple root the secant converges linearly, with the steps
    // contracting by q = |step| / spacing, and the root lies |step| / (1 - q) away: the probe
    // reaches twice that far.
    const double delta = w_[kTolerance] + kRelativeTolerance * std::fabs(x1);
    const bool probed = w_[kProbed] != 0.0;
    w_[kProbed] = 0.0;
    if (std::fabs(step) <= 0.5 * delta) {
      if (probed) return Finish(kStateNoSignChange, w_[kBestX], w_[kBestF]);
      const double contraction = std::min(std::fabs(step) / spacing, kMaxContraction);
      const double distance = std::fabs(step) / (1.0 - contraction);
      step = std::copysign(std::max(kEndOffset * delta, 2.0 * distance), step);
      w_[kProbed] = 1.0;
    }
    const double next = x1 + step;
    if (!(std::fabs(next) <= kAbscissaLimit)) {
      return Finish(kStateNoSignChange, w_[kBestX], w_[kBestF]);
    }
    Request(next, kSecantValue);
  }

  void AbsorbSecant(double x2, double f2) {
    if (f2 == 0.0) return Finish(kStateConverged, x2, f2);
    // Every earlier iterate has the sign of the newest one, so it is the one to pair with.
    if (!SameSign(f2, fhi())) return OpenEnclosure(hi(), fhi(), x2, f2);
    if (improved_) {
      w_[kFutileSteps] = 0.0;
    } else if ((w_[kFutileSteps] += 1.0) >= kMaxFutileSteps) {
      return Finish(kStateNoSignChange, w_[kBestX], w_[kBestF]);
    }
    lo() = hi();
    flo() = fhi();
    hi() = x2;
    fhi() = f2;
    NextSecant();
  }

  // --- enclosing method ------------------------------------------------------------------

  double Delta() {
    return w_[kTolerance] + kRelativeTolerance * std::max(std::fabs(lo()), std::fabs(hi()));
  }

  bool Closed() {
    const double mid = Midpoint(lo(), hi());
    return hi() - lo() <= Delta() || !(mid > lo() && mid < hi());
  }

  void OpenEnclosure(double p, double fp, double q, double fq) {
    assert(!SameSign(fp, fq) && p != q);
    if (p > q) {
      std::swap(p, q);
      std::swap(fp, fq);
    }
    lo() = p;
    flo() = fp;
    hi() = q;
    fhi() = fq;
    w_[kKnownPoints] = 0.0;
    if (Closed()) return FinishEnclosure();
    RequestInside(SecantPoint(), kOpeningValue);
  }

  void AbsorbInEnclosure(double c, double fc) {
    if (fc == 0.0) return Finish(kStateConverged, c, fc);
    Shrink(c, fc);
    if (Closed()) return FinishEnclosure();
    switch (phase()) {
      case kOpeningValue:
        w_[kIterationWidth] = hi() - lo();
        w_[kAfterBisection] = 0.0;
        return RequestInside(InterpolationPoint(), kFirstInterpolant);
      case kFirstInterpolant:
        // After an iteration that needed a bisection the interpolation is converging slowly
        // (a multiple root, a skewed function): one interpolation, then the double step.
        if (w_[kAfterBisection] != 0.0) return RequestInside(DoubleSecantPoint(), kDoubleSecant);
        return RequestInside(InterpolationPoint(), kSecondInterpolant);
      case kSecondInterpolant:
        return RequestInside(DoubleSecantPoint(), kDoubleSecant);
      case kDoubleSecant:
        if (hi() - lo() >= kRequiredReduction * w_[kIterationWidth]) {
          return RequestInside(Midpoint(lo(), hi()), kBisection);
        }
        break;
      default:
        assert(phase() == kBisection);
        break;
    }
    w_[kAfterBisection] = phase() == kBisection ? 1.0 : 0.0;
    w_[kIterationWidth] = hi() - lo();
    RequestInside(InterpolationPoint(), kFirstInterpolant);
  }

  // c replaces the end whose sign it shares; that end becomes d, and d becomes e.
  void Shrink(double c, double fc) {
    assert(c > lo() && c < hi());
    w_[kE] = w_[kD];
    w_[kFE] = w_[kFD];
    if (SameSign(fc, flo())) {
      w_[kD] = lo();
      w_[kFD] = flo();
      lo() = c;
      flo() = fc;
    } else {
      w_[kD] = hi();
      w_[kFD] = fhi();
      hi() = c;
      fhi() = fc;
    }
    w_[kKnownPoints] = std::min(2.0, w_[kKnownPoints] + 1.0);
  }

  // A point estimate is usable when it lies inside the enclosure or no further outside than
  // the end offset: an estimate at an end (or just past it by rounding) says the root is there.
  bool Usable(double c) {
    const double offset = kEndOffset * Delta();
    return c >= lo() - offset && c <= hi() + offset;
  }

  // Keeps c strictly inside and at least kEndOffset * delta from either end; an enclosure that
  // narrow gets its midpoint, whose halves both pass the tolerance.
  void RequestInside(double c, Phase next) {
    const double lo_ = lo(), hi_ = hi();
    const double offset = kEndOffset * Delta();
    if (hi_ - lo_ <= 2.0 * offset || !Usable(c)) {
      c = Midpoint(lo_, hi_);
    } else if (c - lo_ < offset) {
      c = lo_ + offset;
    } else if (hi_ - c < offset) {
      c = hi_ - offset;
    }
    // At the resolution limit (an offset that rounds away, ends of subnormal size) only the
    // midpoint, which Closed() has found strictly inside, is sure to be a new point.
    if (!(c > lo_ && c < hi_)) c = Midpoint(lo_, hi_);
    assert(c > lo_ && c < hi_);
    Request(c, next);
  }

  double SecantPoint() {
    const double c = lo() - flo() * ((hi() - lo()) / (fhi() - flo()));
    return Usable(c) ? c : Midpoint(lo(), hi());
  }

  // Inverse cubic interpolation through the ends and d, e when their values are distinct and
  // it lands inside; otherwise Newton steps on the quadratic through the ends and d.
  double InterpolationPoint() {
    if (w_[kKnownPoints] >= 2.0) {
      const double c = InverseCubicPoint();
      if (Usable(c)) return c;
    }
    return NewtonQuadraticPoint();
  }

  // Value at y = 0 of the cubic x(y) through the four points, written as lo plus Lagrange
  // terms of the distances from lo so that close points lose nothing to cancellation.
  // NaN when two values coincide.
  double InverseCubicPoint() {
    const double xs[4] = {lo(), hi(), w_[kD], w_[kE]};
    const double ys[4] = {flo(), fhi(), w_[kFD], w_[kFE]};
    double c = xs[0];
    for (int i = 1; i < 4; ++i) {
      double weight = 1.0;
      for (int j = 0; j < 4; ++j) {
        if (j == i) continue;
        const double gap = ys[i] - ys[j];
        if (gap == 0.0) return kNaN;
        weight *= -ys[j] / gap;
      }
      c += (xs[i] - xs[0]) * weight;
    }
    return c;
  }

  double NewtonQuadraticPoint() {
    const double a = lo(), b = hi(), d = w_[kD], fa = flo(), fb = fhi(), fd = w_[kFD];
    const double slope = (fb - fa) / (b - a);
    const double curvature = ((fd - fb) / (d - b) - slope) / (d - a);
    if (!(std::isfinite(curvature) && curvature != 0.0)) return SecantPoint();
    // Starting at the end where the quadratic and its curvature agree in sign, Newton's
    // method moves monotonically towards the quadratic's root inside the enclosure.
    double r = SameSign(curvature, fa) ? a : b;
    for (int k = 0; k < kQuadraticSteps; ++k) {
      const double p = fa + (slope + curvature * (r - b)) * (r - a);
      const double dp = slope + curvature * (2.0 * r - a - b);
      if (dp == 0.0) break;
      r -= p / dp;
    }
    return Usable(r) ? r : SecantPoint();
  }

  // From the end of smaller |f|, twice the secant step: meant to land beyond the root so that
  // both ends move; the midpoint when that would cross more than half the enclosure.
  double DoubleSecantPoint() {
    const bool loBetter = std::fabs(flo()) < std::fabs(fhi());
    const double u = loBetter ? lo() : hi(), fu = loBetter ? flo() : fhi();
    const double c = u - 2.0 * fu * ((hi() - lo()) / (fhi() - flo()));
    return std::fabs(c - u) > 0.5 * (hi() - lo()) ? Midpoint(lo(), hi()) : c;
  }

  // The end of smaller |f|; a pole when both ends outgrew the point last replaced and the
  // starting values, which a continuous function cannot do next to its root.
  void FinishEnclosure() {
    const bool loBetter = std::fabs(flo()) <= std::fabs(fhi());
    const double x = loBetter ? lo() : hi(), fx = loBetter ? flo() : fhi();
    const bool pole = w_[kKnownPoints] >= 1.0 && std::fabs(fx) > std::fabs(w_[kFD]) &&
                      std::fabs(fx) > w_[kStartMagnitude];
    Finish(pole ? kStatePole : kStateConverged, x, fx);
  }

  double* w_;
  bool improved_ = false;
  int result_ = kStateEvaluate;
  double resultX_ = 0.0;
  double resultF_ = kNaN;
};

}  // namespace

void HSL_NB01AD(int* state, double* a, double* b, double* tol, double* x, double* val, int* maxit) {
  Search search(val);
  switch (*state) {
    case kStateStart:
      search.Begin(*a, *b, *tol, *maxit);
      break;
    case kStateEvaluate:
      if (!search.Awaiting()) return;
      search.Absorb(val[kValue]);
      break;
    case kStateRepeat:  // the caller could not evaluate: the same request again
      if (!search.Awaiting()) return;
      *state = kStateEvaluate;
      *x = val[kPending];
      return;
    default:
      return;
  }
  *state = search.Result();
  *x = search.ResultX();
  if (*state != kStateEvaluate) val[kValue] = search.ResultF();
}
