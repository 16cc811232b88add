// Perceptron trainer: a nonlinear solver on the hidden layer, an exact least-squares refit of the
// output layer at every evaluation, and an outer loop with stopping rules and a best record.
#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "orvo/nnet.hpp"
#include "orvo/random.hpp"

namespace Orvo {

namespace {

// Settings with which the trainer drives its solvers.
constexpr double kLevenbergMarquardtTolerance = 1e-6;
constexpr double kOptimiserAccuracy = 1e-15;
constexpr int kOptimiserEvaluations = 200;

// Solver cycles in a row that may pass without an evaluation before a step gives up. The
// solvers as driven here need at most two (a Jacobian request, or the end of a run followed by
// the start of the next); anything beyond means the solver cannot evaluate at all.
constexpr int kMaxIdleCycles = 4;

bool isTrainerType(int type) {
  return type == MLPTrainer::lmderChol || type == MLPTrainer::lmder || type == MLPTrainer::vf13;
}

MLPTrainer::trainerType checkedType(MLPTrainer::trainerType type) {
  if (!isTrainerType(type))
    throw std::invalid_argument("MLPTrainer: trainerType must be lmderChol, lmder or vf13");
  return type;
}

// The residual count nsamples * noutputs is an int index of the solvers' arrays.
int checkedSamples(const RMatrix& X, const RMatrix& Y) {
  checkedElementCount(X.Height(), Y.Width(), "MLPTrainer residual count");
  return X.Height();
}

}  // namespace

MLPTrainer::MLPTrainer(int nhidden_, RMatrix& X_, RMatrix& Y_, trainerType type_)
    : ninputs(X_.Width()),
      nhidden(nhidden_),
      noutputs(Y_.Width()),
      nsamples(checkedSamples(X_, Y_)),
      X(X_),
      Y(Y_),
      hiddenValues(nsamples, nhidden),
      outputs(nsamples, noutputs),
      weightBuffer((ninputs + 1) * nhidden + (nhidden + 1) * noutputs),
      variables(nhidden * (ninputs + 1)),
      bestWeights(weightBuffer.Length()),
      network(ninputs, nhidden, noutputs),
      residualCallback(this, &MLPTrainer::ComputeRHS),
      jacobianCallback(this, &MLPTrainer::ComputeJacobian),
      gradientCallback(this, &MLPTrainer::ComputeGradient),
      err(std::numeric_limits<double>::quiet_NaN()),
      bestErr(std::numeric_limits<double>::quiet_NaN()),
      errorThreshold(noutputs * (nsamples * kDefaultErrorPerValue)),
      type(checkedType(type_)),
      samplesAgree(X_.Height() == Y_.Height()) {
  // A defined network before training: every weight 0 (the output layer is refitted at the
  // first evaluation anyway, but getMLP() and the weight buffer must never expose garbage).
  for (int i = 0; i < weightBuffer.Length(); ++i) weightBuffer[i] = 0.0;
  for (int i = 0; i < variables.Length(); ++i) variables[i] = 0.0;
  network.SetWeights(weightBuffer);
  bestWeights = weightBuffer;
}

MLPTrainer::MLPTrainer(const MLPTrainer& other)
    : ninputs(other.ninputs),
      nhidden(other.nhidden),
      noutputs(other.noutputs),
      nsamples(other.nsamples),
      X(other.X),
      Y(other.Y),
      hiddenValues(other.hiddenValues),
      outputs(other.outputs),
      weightBuffer(other.weightBuffer),
      variables(other.variables),
      bestWeights(other.bestWeights),
      network(other.network),
      residualCallback(this, &MLPTrainer::ComputeRHS),
      jacobianCallback(this, &MLPTrainer::ComputeJacobian),
      gradientCallback(this, &MLPTrainer::ComputeGradient),
      seed(other.seed),
      iters(0),
      err(other.err),
      relativeChange(other.relativeChange),
      bestErr(other.bestErr),
      initialised(false),
      evaluated(other.evaluated),
      randomStartPending(other.randomStartPending),
      errorKnown(other.errorKnown),
      iterationLimit(other.iterationLimit),
      errorThreshold(other.errorThreshold),
      relativeChangeThreshold(other.relativeChangeThreshold),
      type(other.type),
      samplesAgree(other.samplesAgree) {}

MLPTrainer::~MLPTrainer() = default;

void MLPTrainer::Seed(int s) {
  seed = s;
}

void MLPTrainer::SetStoppingCriteria(double errorThreshold_, double relativeChangeThreshold_,
                                     int iterationLimit_) {
  errorThreshold = errorThreshold_;
  relativeChangeThreshold = relativeChangeThreshold_;
  iterationLimit = iterationLimit_;
  iters = 0;
}

void MLPTrainer::Initialize() {
  if (randomStartPending) {
    MTRng rng(static_cast<unsigned long>(static_cast<unsigned int>(seed)));
    const double scale = 1.0 / std::sqrt(static_cast<double>(ninputs));
    for (int i = 0; i < variables.Length(); ++i) variables[i] = rng.nRand() * scale;
    randomStartPending = false;
  }
  lmderSolverPtr.reset();
  cholSolverPtr.reset();
  vf13SolverPtr.reset();
  const int m = nsamples * noutputs;
  const int n = variables.Length();
  switch (type) {
    case lmderChol:
      cholSolverPtr =
          std::make_unique<lmderCholSolver>(m, n, variables, kLevenbergMarquardtTolerance);
      break;
    case lmder:
      lmderSolverPtr = std::make_unique<lmderSolver>(m, n, variables, kLevenbergMarquardtTolerance);
      break;
    case vf13:
      vf13SolverPtr =
          std::make_unique<vf13Solver>(variables, kOptimiserAccuracy, kOptimiserEvaluations);
      break;
  }
}

void MLPTrainer::Reset() {
  lmderSolverPtr.reset();
  cholSolverPtr.reset();
  vf13SolverPtr.reset();
  initialised = false;
  iters = 0;
}

void MLPTrainer::restoreBest() {
  if (bestErr < err) {
    err = bestErr;
    network.SetWeights(bestWeights);
  }
}

int MLPTrainer::cycleSolverOnce() {
  switch (type) {
    case lmderChol:
      return cholSolverPtr->Cycle(residualCallback, jacobianCallback);
    case lmder:
      return lmderSolverPtr->Cycle(residualCallback, jacobianCallback);
    case vf13:
      return vf13SolverPtr->Cycle(gradientCallback);
  }
  return 0;
}

int MLPTrainer::Cycle() {
  if (!samplesAgree) {
    relativeChange = 0.0;
    return -1;
  }
  if (!initialised) {
    initialised = true;
    Initialize();
  }
  const double previous = err;
  const bool hadPrevious = errorKnown;
  evaluated = false;
  for (int idle = 0; !evaluated; ++idle) {
    if (idle == kMaxIdleCycles) {
      relativeChange = 0.0;
      return -1;
    }
    cycleSolverOnce();
  }
  errorKnown = true;
  return finishStep(previous, hadPrevious);
}

int MLPTrainer::finishStep(double previous, bool hadPrevious) {
  if (iters == 0 || bestErr > err) {
    bestErr = err;
    network.GetWeights(bestWeights);
  }
  ++iters;
  relativeChange = (!hadPrevious || previous == err) ? 0.0 : std::fabs((previous - err) / previous);

  const bool relativeRule =
      hadPrevious && previous > err && (previous - err) / err < relativeChangeThreshold;
  if (err < errorThreshold || relativeRule) {
    if (err > bestErr) {
      err = bestErr;
      network.SetWeights(bestWeights);
    }
    return 0;
  }
  return iters > iterationLimit ? -1 : 1;
}

int MLPTrainer::Solve(FunctorBase_RRretI& progress) {
  iters = 0;
  for (;;) {
    const int status = Cycle();
    const int goOn = progress(err, relativeChange);
    if (goOn == 0) return -2;
    if (status <= 0) return status;
  }
}

void MLPTrainer::PackWeights(mvlarray<double>& x) {
  network.GetWeights(weightBuffer);
  for (int i = 0; i < x.Length(); ++i) weightBuffer[i] = x[i];
  network.SetWeights(weightBuffer);
}

void MLPTrainer::ComputeOutputWeights(mvlarray<double>& x) {
  PackWeights(x);
  network.ComputeOutputWeights(X, Y, outputs);
}

bool MLPTrainer::networkHolds(const mvlarray<double>& x) {
  network.GetWeights(weightBuffer);
  for (int i = 0; i < x.Length(); ++i)
    if (weightBuffer[i] != x[i]) return false;
  return true;
}

double MLPTrainer::sumOfSquaredResiduals() const {
  double total = 0.0;
  const double* r = outputs.Array();
  for (int k = 0; k < noutputs; ++k) {
    double column = 0.0;
    for (int i = 0; i < nsamples; ++i) {
      const double v = r[i + static_cast<long>(k) * nsamples];
      column += v * v;
    }
    total += column;
  }
  return total;
}

void MLPTrainer::ComputeRHS(mvlarray<double>& x, mvlarray<double>& f) {
  if (!samplesAgree) {
    std::fill_n(f.Array(), nsamples * noutputs, std::numeric_limits<double>::quiet_NaN());
    err = std::numeric_limits<double>::quiet_NaN();
    return;
  }
  ComputeOutputWeights(x);
  outputs = MSub(outputs, Y);
  const double* r = outputs.Array();
  const int count = nsamples * noutputs;
  for (int i = 0; i < count; ++i) f[i] = r[i];
  err = sumOfSquaredResiduals();
  evaluated = true;
}

void MLPTrainer::ComputeJacobian(mvlarray<double>& x, RMatrix& J) {
  // The solvers ask for a Jacobian only where they last had the residuals evaluated, so the
  // network normally holds x already; but restoreBest, the converged path or a direct call can
  // leave other weights in it, and a Jacobian of those would be silently wrong.
  if (!samplesAgree) {
    J.markFailed(-1);
    return;
  }
  if (!networkHolds(x)) ComputeOutputWeights(x);
  network.ComputeJacobian(X, J);
}

double MLPTrainer::ComputeGradient(mvlarray<double>& x, mvlarray<double>& g) {
  if (!samplesAgree) {
    std::fill_n(g.Array(), g.Length(), std::numeric_limits<double>::quiet_NaN());
    return err = std::numeric_limits<double>::quiet_NaN();
  }
  ComputeOutputWeights(x);
  network.ForwardPropagate(X, hiddenValues, outputs);
  outputs = MSub(outputs, Y);
  err = sumOfSquaredResiduals();
  network.BackPropagate(X, hiddenValues, outputs, g);
  evaluated = true;
  return err;
}

}  // namespace Orvo
