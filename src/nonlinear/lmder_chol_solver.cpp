// Levenberg-Marquardt on the normal equations, as a reverse-communication machine.
//
// States: 0 start, 1 starting residuals in f, 2 Jacobian at the starting point in J, 3 solve for a
// step, 4 trial residuals in f, 5 Jacobian at a newly accepted point in J, 6 stopped on a
// non-finite value; 1..6 are the states Cycle(fun, jac) reports, named in the class. The
// defaults of lambda and the trust radius are stated here only.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "orvo/dense_solvers.hpp"
#include "orvo/nonlinear.hpp"

namespace Orvo {

namespace {
constexpr double kInitialLambda = 0.001;
constexpr double kLambdaFloor = 1.0e-15;
constexpr double kLambdaDown = 0.1;
constexpr double kLambdaUp = 2.0;
// Large enough never to bind, small enough that doubling it stays finite.
constexpr double kHugeRadius = std::numeric_limits<double>::max() / 4;
constexpr double kReflectionEpsilon = std::numeric_limits<double>::epsilon();
constexpr int kStart = 0;
// Solving for a step; Cycle(fun, jac) returns it only when no step can be solved for.
constexpr int kSolveForStep = lmderCholSolver::StepUnsolvable;

constexpr int kNoRequest = 0;
constexpr int kWantResiduals = 1;
constexpr int kWantJacobian = 2;

double sumOfSquares(const RMatrix& column) {
  double s = 0.0;
  for (int i = 0; i < column.Height(); ++i) s += column(i, 0) * column(i, 0);
  return s;
}

bool allFinite(const RMatrix& m) {
  const long count = static_cast<long>(m.Height()) * m.Width();
  const double* p = m.Array();
  for (long k = 0; k < count; ++k)
    if (!std::isfinite(p[k])) return false;
  return true;
}
}  // namespace

lmderCholSolver::lmderCholSolver(int m_, int n_, mvlarray<double>& x_, double /*tol*/)
    : x(n_, 1, x_),
      xSaved(n_, 1),
      step(n_, 1),
      J(m_, n_),
      JtJ(n_, n_),
      g(n_, 1),
      f(m_, 1),
      lambda(kInitialLambda),
      delta(kHugeRadius),
      lambdaDown(kLambdaDown),
      lambdaMin(kLambdaFloor),
      m(m_),
      n(n_),
      rhs(n_, 1),
      normal(n_, n_) {
  // Zeroed so that the public operations that read them (CalcReductionRatio, AdjustLambda,
  // innerProd of Step()) see defined values before the first cycle.
  xSaved = 0.0;
  step = 0.0;
  J = 0.0;
  JtJ = 0.0;
  g = 0.0;
  f = 0.0;
  rhs = 0.0;
  normal = 0.0;
}

double lmderCholSolver::milliseconds() const {
  using Clock = std::chrono::steady_clock;
  return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
}

int lmderCholSolver::Cycle() {
  lambdaMin = kLambdaFloor;
  switch (state) {
    case kStart:
      state = StartingResidualsTaken;
      request = kWantResiduals;
      break;
    case StartingResidualsTaken:
      if (!allFinite(f)) {
        stopOnNonFiniteValues();
        break;
      }
      ssq = ssqTrial = sumOfSquares(f);
      state = JacobianAtStart;
      request = kWantJacobian;
      break;
    case JacobianAtStart:
    case JacobianAfterStep:
      if (!allFinite(J)) {
        stopOnNonFiniteValues();
        break;
      }
      formNormalEquations();
      state = kSolveForStep;
      request = kNoRequest;
      break;
    case kSolveForStep:
      solveForStep();
      break;
    case TrialResidualsTaken:
      if (!allFinite(f)) {
        // The trial point is not taken: x goes back to the last accepted point.
        x = xSaved;
        stopOnNonFiniteValues();
        break;
      }
      testTrialPoint();
      break;
    default:
      break;
  }
  return request;
}

void lmderCholSolver::stopOnNonFiniteValues() {
  state = NonFiniteValues;
  request = kNoRequest;
}

int lmderCholSolver::Cycle(FunctorBase_AA& fun, FunctorBase_AM& jac) {
  // A request whose callback threw is served again before the machine moves on.
  int code = unserved;
  if (code == kNoRequest) {
    while ((code = Cycle()) == kNoRequest) {
      if (state == NonFiniteValues) return state;
      // A factorisation that fails even with infinite damping will fail for ever.
      if (state == kSolveForStep && !std::isfinite(lambda)) return state;
    }
  }
  unserved = code;
  const double start = milliseconds();
  if (code == kWantResiduals) {
    fun(x.Data(), f.Data());
    tFunction += (milliseconds() - start) / 1000.0;
  } else {
    jac(x.Data(), J);
    tJacobian += (milliseconds() - start) / 1000.0;
  }
  unserved = kNoRequest;
  return state;
}

void lmderCholSolver::formNormalEquations() {
  const double start = milliseconds();
  g = MatrixMultiply(J, f, -1.0, 0.0, true, false);
  rhs = g;
  JtJ = MatrixMultiply(J, J, 1.0, 0.0, true, false);
  normal = JtJ;
  xSaved = x;
  tNormal += (milliseconds() - start) / 1000.0;
}

void lmderCholSolver::solveForStep() {
  const double start = milliseconds();
  step = SPDSolve(normal, rhs, lambda);
  if (!step.isOK()) {
    lambda = lambda < lambdaMin ? lambdaMin : kLambdaUp * lambda;
    request = kNoRequest;
  } else {
    x += step;
    state = TrialResidualsTaken;
    request = kWantResiduals;
  }
  tSolve += (milliseconds() - start) / 1000.0;
}

void lmderCholSolver::testTrialPoint() {
  ssqTrial = sumOfSquares(f);
  CalcReductionRatio();
  actred = ssq - ssqTrial;
  ratio = actred / prered;
  if (ssq > ssqTrial) {
    ssq = ssqTrial;
    lambda = lambdaDown * lambda;
    state = JacobianAfterStep;
    request = kWantJacobian;
  } else {
    lambda = kLambdaUp * std::max(lambda, lambdaMin);
    ssqTrial = ssq;
    x = xSaved;
    normal = JtJ;
    rhs = g;
    state = kSolveForStep;
    request = kNoRequest;
  }
}

void lmderCholSolver::GetTimes(double& normalTime, double& solveTime, double& functionTime,
                               double& jacobianTime) {
  normalTime = tNormal;
  solveTime = tSolve;
  functionTime = tFunction;
  jacobianTime = tJacobian;
}

void lmderCholSolver::CalcReductionRatio() {
  RMatrix Jstep = MatrixMultiply(J, step, 1.0, 0.0, false, false);
  prered = lambda * innerProd(step, step) - innerProd(f, Jstep);
}

void lmderCholSolver::AdjustLambda() {
  const double a = innerProd(step, step);
  RMatrix Jstep = MatrixMultiply(J, step, 1.0, 0.0, false, false);
  const double b = innerProd(f, Jstep);
  dnorm = std::sqrt(a);
  prered = lambda * a - b;
  actred = ssq - ssqTrial;
  double rho = actred / prered;
  if (rho >= 1.0) rho = 2.0 - rho - kReflectionEpsilon;

  if (rho > 0.75) {
    delta = std::min(2.0 * delta, std::sqrt(0.25 / (1.0 - rho)) * dnorm);
  } else if (rho >= 0.25) {
    delta = dnorm;
  } else if (2.0 * delta > dnorm) {
    const double q = std::max(2.0, std::min(10.0, actred / b + 2.0));
    delta = dnorm / q;
  }

  RMatrix u = SPDSolve(normal, step, lambda);
  if (!u.isOK()) return;
  const double c = innerProd(step, u);
  if (c == 0.0 || delta == 0.0) return;
  lambda = std::max(0.0, lambda - (1.0 - dnorm / delta) * a / c);
}

double lmderCholSolver::innerProd(RMatrix& a, RMatrix& b) {
  const RMatrix product = MatrixMultiply(a, b, 1.0, 0.0, true, false);
  // Operands of different heights leave the product unwritten: report that as NaN.
  return product.isOK() ? product(0, 0) : std::nan("");
}

double lmderCholSolver::innerProd(RMatrix& a, lazyMatrix& b) {
  RMatrix evaluated = b;
  return innerProd(a, evaluated);
}

}  // namespace Orvo
