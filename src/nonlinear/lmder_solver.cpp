// Trust-region Levenberg-Marquardt least squares as a reverse-communication machine.
//
// Internal continuation states, passed through within one call of Cycle and never returned:
// 11 asks for a new Jacobian at the accepted point, 12 computes a new step from the current
// factorisation (after a rejected trial). The arithmetic follows the classical routine operation
// for operation, so that iterates agree with it to the last bit where the rules agree.
#include <algorithm>
#include <cmath>

#include "common/array_helpers.hpp"
#include "kernel/minpack/minpack_kernels.hpp"
#include "orvo/nonlinear.hpp"
#include "orvo/random.hpp"

namespace Orvo {

namespace {
constexpr int kStart = 0;
constexpr int kResiduals = 1;
constexpr int kJacobian = 2;
constexpr int kTrialResiduals = 3;
constexpr int kNewJacobian = 11;
constexpr int kNewStep = 12;

constexpr int kMachinePrecision = 1;
constexpr int kPivoting = 1;

// The classical routine's constants, under its names so that the arithmetic reads as it does.
constexpr double one = 1.0;
constexpr double p1 = 0.1;
constexpr double p5 = 0.5;
constexpr double p25 = 0.25;
constexpr double p75 = 0.75;
constexpr double p0001 = 1.0e-4;
constexpr double zero = 0.0;

using detail::fill;
}  // namespace

lmderSolver::lmderSolver(int m_, int n_, mvlarray<double>& x_, double tol)
    : diag(n_),
      ipvt(n_),
      qtf(n_),
      wa1(n_),
      wa2(n_),
      wa3(n_),
      wa4(m_),
      m(m_),
      n(n_),
      x(x_),
      fvec(m_),
      fjac(m_, n_),
      ftol(tol) {
  // Nothing is read before it is written in a well-formed run; zeroing keeps copies and the
  // accessors deterministic before the first evaluation.
  fill(diag, 0.0);
  fill(ipvt, 0);
  fill(qtf, 0.0);
  fill(wa1, 0.0);
  fill(wa2, 0.0);
  fill(wa3, 0.0);
  fill(wa4, 0.0);
  fill(fvec, 0.0);
  fjac = 0.0;
  Reset();
}

lmderSolver::lmderSolver(const lmderSolver& other) = default;

void lmderSolver::Reset() {
  epsmch = Lmder_DPMPAR(&kMachinePrecision);
  if (ftol == zero) ftol = std::sqrt(epsmch);
  xtol = ftol;
  gtol = zero;
  factor = p1;
  state = kStart;
  unserved = kStart;
}

void lmderSolver::Perturb(double amount) {
  constexpr double kTwoToMinus32 = 1.0 / 4294967296.0;
  constexpr unsigned long kSeedFromClock = 0;
  const double largest = std::max(x[x.MaxIndex()], std::fabs(x[x.MinIndex()]));
  const double spread = amount * 2.0 * largest;
  // A NaN or infinite spread would move every variable, zeros included, to NaN or infinity.
  if (std::isfinite(spread)) {
    MTRng rng(kSeedFromClock);
    for (int i = 0; i < n; ++i)
      x[i] += (static_cast<double>(rng.lRand()) * kTwoToMinus32 - 0.5) * spread;
  }
  par = zero;
  Reset();
}

void lmderSolver::Cycle(int& flag) {
  if (flag < kStart || flag > kTrialResiduals) return;
  if (flag != kStart && flag != state) return;
  if (n < 1 || m < n) {
    flag = state = kStart;
    return;
  }
  int next = flag;
  for (;;) {
    switch (next) {
      case kStart:
        startRun();
        flag = state = kResiduals;
        return;
      case kResiduals:
        if (!absorbStartingResiduals()) {
          flag = state = kStart;
          return;
        }
        next = kNewJacobian;
        break;
      case kNewJacobian:
        flag = state = kJacobian;
        return;
      case kJacobian:
        if (!absorbJacobian()) {
          flag = state = kStart;
          return;
        }
        next = kNewStep;
        break;
      case kNewStep:
        proposeStep();
        flag = state = kTrialResiduals;
        return;
      case kTrialResiduals:
        if (absorbTrialResiduals()) {
          flag = state = kStart;
          return;
        }
        next = ratio < p0001 ? kNewStep : kNewJacobian;
        break;
      default:
        return;
    }
  }
}

int lmderSolver::Cycle(FunctorBase_AA& f, FunctorBase_AM& jac) {
  // A request whose callback threw is served again before the machine moves on.
  int flag = unserved;
  if (flag == kStart) {
    flag = state;
    Cycle(flag);
  }
  unserved = flag;
  switch (flag) {
    case kResiduals:
      f(x, fvec);
      break;
    case kJacobian:
      jac(x, fjac);
      break;
    case kTrialResiduals:
      f(wa2, wa4);
      break;
    default:
      break;
  }
  unserved = kStart;
  return flag;
}

int lmderSolver::Solve(FunctorBase_AA& f, FunctorBase_AM& jac, int maxit) {
  for (int cycle = 0;; ++cycle) {
    const int code = Cycle(f, jac);
    if (code <= 0 || cycle >= maxit) return code;
  }
}

void lmderSolver::startRun() {
  nfev = njev = info = iter = 0;
  par = zero;
}

bool lmderSolver::absorbStartingResiduals() {
  nfev = 1;
  fnorm = Lmder_ENORM(&m, fvec.Array());
  // The norm is formed without overflow, so it is finite exactly when every residual is.
  if (!std::isfinite(fnorm)) {
    info = NonFiniteValues;
    return false;
  }
  return true;
}

bool lmderSolver::absorbJacobian() {
  ++njev;
  double* r = fjac.Array();
  const long elements = static_cast<long>(m) * n;
  for (long k = 0; k < elements; ++k) {
    if (!std::isfinite(r[k])) {
      info = NonFiniteValues;
      return false;
    }
  }
  const long ld = m;
  auto at = [r, ld](int i, int j) -> double& { return r[i + j * ld]; };

  Lmder_QRFAC(&m, &n, r, &m, &kPivoting, ipvt.Array(), &n, wa1.Array(), wa2.Array(), wa3.Array());

  // The first Jacobian of a run fixes the scaling and the initial trust radius.
  if (iter == 0) {
    for (int j = 0; j < n; ++j) {
      diag[j] = wa2[j];
      if (wa2[j] == zero) diag[j] = one;
    }
    for (int j = 0; j < n; ++j) wa3[j] = diag[j] * x[j];
    xnorm = Lmder_ENORM(&n, wa3.Array());
    delta = factor * xnorm;
    if (delta == zero) delta = factor;
  }

  // Q^T fvec, applying the stored Householder vectors; the diagonal of R goes back in place.
  wa4 = fvec;
  for (int j = 0; j < n; ++j) {
    if (at(j, j) != zero) {
      double sum = zero;
      for (int i = j; i < m; ++i) sum += at(i, j) * wa4[i];
      const double temp = -sum / at(j, j);
      for (int i = j; i < m; ++i) wa4[i] += at(i, j) * temp;
    }
    at(j, j) = wa1[j];
    qtf[j] = wa4[j];
  }

  // Largest cosine between the residual and a Jacobian column.
  gnorm = zero;
  if (fnorm != zero) {
    for (int j = 0; j < n; ++j) {
      const int l = ipvt[j] - 1;
      if (wa2[l] != zero) {
        double sum = zero;
        for (int i = 0; i <= j; ++i) sum += at(i, j) * (qtf[i] / fnorm);
        gnorm = std::max(gnorm, std::fabs(sum / wa2[l]));
      }
    }
  }
  if (gnorm <= gtol) info = 4;

  for (int j = 0; j < n; ++j) diag[j] = std::max(diag[j], wa2[j]);
  return true;
}

void lmderSolver::proposeStep() {
  Lmder_LMPAR(&n, fjac.Array(), &m, ipvt.Array(), diag.Array(), qtf.Array(), &delta, &par,
              wa1.Array(), wa2.Array(), wa3.Array(), wa4.Array());
  for (int j = 0; j < n; ++j) {
    wa1[j] = -wa1[j];
    wa2[j] = x[j] + wa1[j];
    wa3[j] = diag[j] * wa1[j];
  }
  pnorm = Lmder_ENORM(&n, wa3.Array());
  if (iter == 0) delta = std::min(delta, pnorm);
}

// Returns true when the run terminates here.
bool lmderSolver::absorbTrialResiduals() {
  ++nfev;
  fnorm1 = Lmder_ENORM(&m, wa4.Array());
  // Not a smaller sum of squares but no sum at all: x stays at the last accepted point.
  if (!std::isfinite(fnorm1)) {
    info = NonFiniteValues;
    return true;
  }

  actred = -one;
  if (p1 * fnorm1 < fnorm) actred = one - (fnorm1 / fnorm) * (fnorm1 / fnorm);

  // Predicted reduction from R P^T p, summed column by column down to the diagonal.
  const double* r = fjac.Array();
  const long ld = m;
  for (int j = 0; j < n; ++j) {
    wa3[j] = zero;
    const double temp = wa1[ipvt[j] - 1];
    for (int i = 0; i <= j; ++i) wa3[i] += r[i + j * ld] * temp;
  }
  const double temp1 = Lmder_ENORM(&n, wa3.Array()) / fnorm;
  const double temp2 = (std::sqrt(par) * pnorm) / fnorm;
  prered = temp1 * temp1 + temp2 * temp2 / p5;
  dirder = -(temp1 * temp1 + temp2 * temp2);

  ratio = zero;
  if (prered != zero) ratio = actred / prered;

  if (ratio <= p25) {
    double temp = actred >= zero ? p5 : p5 * dirder / (dirder + p5 * actred);
    if (p1 * fnorm1 >= fnorm || temp < p1) temp = p1;
    delta = temp * std::min(delta, pnorm / p1);
    par = par / temp;
  } else if (par == zero || ratio >= p75) {
    delta = pnorm / p5;
    par = p5 * par;
  }

  if (ratio >= p0001) {
    for (int j = 0; j < n; ++j) {
      x[j] = wa2[j];
      wa2[j] = diag[j] * x[j];
    }
    fvec = wa4;
    xnorm = Lmder_ENORM(&n, wa2.Array());
    fnorm = fnorm1;
    ++iter;
  }

  const bool reductionConverged = std::fabs(actred) <= ftol && prered <= ftol && p5 * ratio <= one;
  if (reductionConverged) info = 1;
  if (delta <= xtol * xnorm) info = 2;
  if (reductionConverged && info == 2) info = 3;
  if (info != 0) return true;

  // Tolerances too tight to be met; reported at the next trial evaluation.
  if (std::fabs(actred) <= epsmch && prered <= epsmch && p5 * ratio <= one) info = 6;
  if (delta <= epsmch * xnorm) info = 7;
  if (gnorm <= epsmch) info = 8;
  return false;
}

}  // namespace Orvo
