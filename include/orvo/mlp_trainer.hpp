/// @file
/// MLPTrainer: fits a multilayer perceptron to input/target samples.
///
/// Only the hidden layer (Weights1 and bias1, in the network's weight-vector order) is moved by a
/// nonlinear solver; at every evaluation the linear output layer is refitted exactly by
/// regularised least squares for the current hidden layer. The trainer drives one of three
/// solvers step by step and adds its own outer loop: a step counter, stopping rules on the error
/// and on its relative change, and a record of the best weights seen.
///
/// The error is always the plain sum of squared residuals over all samples and outputs,
/// E = sum_k sum_i (Yhat(i, k) - Y(i, k))^2 (no factor 1/2, no division by the sample count).
///
/// Typical use:
///     MLPTrainer trainer(8, X, Y, MLPTrainer::lmder);   // X: n x inputs, Y: n x outputs
///     trainer.Seed(17);                                 // repeatable random start
///     while (trainer.Cycle() == 1) {}                   // or trainer.Solve(progress)
///     trainer.restoreBest();
///     MLP& net = trainer.getMLP();
///
/// This header is included by orvo/nnet.hpp; include that one.
#ifndef ORVO_MLP_TRAINER_HPP
#define ORVO_MLP_TRAINER_HPP

#include <memory>

#include "orvo/config.hpp"
#include "orvo/matrix.hpp"
#include "orvo/memory.hpp"
#include "orvo/nnet.hpp"
#include "orvo/nonlinear.hpp"

namespace Orvo {

/// Trains the hidden layer of an MLP by a nonlinear solver and refits the output layer exactly
/// at every evaluation (above).
class ORVO_API MLPTrainer {
 public:
  /// The solver moving the hidden layer.
  ///   lmderChol  Levenberg-Marquardt on the normal equations (lmderCholSolver): residuals and
  ///              Jacobian; works on its own copy of the starting point.
  ///   lmder      trust-region Levenberg-Marquardt (lmderSolver, tolerance 1e-6): residuals and
  ///              Jacobian; updates the trainer's variables in place.
  ///   vf13       quasi-Newton minimiser, unconstrained (vf13Solver, accuracy 1e-15, at most 200
  ///              evaluations per run): error and gradient; updates the variables in place.
  enum trainerType { lmderChol = 0, lmder = 1, vf13 = 2 };

  /// @{
  /// Defaults of the stopping rules.
  static constexpr int kDefaultIterationLimit = 200;
  static constexpr double kDefaultErrorPerValue = 1e-5;  // error threshold per sample and output
  static constexpr double kDefaultRelativeChange = 1e-5;
  /// @}

  /// nhidden hidden units; X (nsamples x ninputs) and Y (nsamples x noutputs) are referenced, not
  /// copied: they must outlive the trainer and keep their shapes. X and Y of different row
  /// counts are a shape error: every Cycle and Solve returns -1 with nothing evaluated, and the
  /// three callbacks write NaN (ComputeJacobian marks J failed, info -1). nsamples * noutputs
  /// beyond the int range throws mvlException. Builds the network MLP(ninputs, nhidden, noutputs)
  /// with all weights 0, iteration limit 200, error threshold noutputs * (nsamples * 1e-5),
  /// relative-change threshold 1e-5, seed 0 (clock), step count 0. Nothing is drawn and no solver
  /// exists until the first step. Throws std::invalid_argument if type is not one of the three
  /// trainerType values.
  MLPTrainer(int nhidden, RMatrix& X, RMatrix& Y, trainerType type);
  /// @{
  /// Copies sizes, data references, settings, seed, error values, flags, variables, weights and
  /// the best record. The copy then stands as its source would after Reset(): no solver, not
  /// initialised, step count 0, its callbacks bound to the copy itself, so stepping it never
  /// touches the source. A pending random start stays pending.
  MLPTrainer(const MLPTrainer& other);
  MLPTrainer& operator=(const MLPTrainer&) = delete;  // the data references cannot be re-seated
  ~MLPTrainer();
  /// @}

  /// Seed of the random start (0: from the clock, in whole seconds). Effective only while the
  /// random start is still pending, i.e. before the first step; ignored afterwards, also after
  /// Reset.
  void Seed(int s);
  /// Error threshold, relative-change threshold and iteration limit, in this order; restarts the
  /// step count (and with it the best record at the next step).
  void SetStoppingCriteria(double errorThreshold, double relativeChangeThreshold,
                           int iterationLimit);

  /// One training step: runs solver cycles until the solver has had the residuals (or the error
  /// and gradient) evaluated at least once, then updates the best record and tests the stopping
  /// rules. Err() is then the error at the last evaluated point (for the Levenberg-Marquardt
  /// solvers possibly a trial point the solver goes on to reject) and the network holds that
  /// point's weights.
  /// Returns
  ///    0  converged: Err() < error threshold, or the error fell and (previous - err) / err is
  ///       below the relative-change threshold. If the error is then above the best error of the
  ///       current count, the best weights are put back into the network and Err() becomes the
  ///       best error.
  ///    1  go on.
  ///   -1  the step count exceeds the iteration limit, X and Y have different row counts, or
  ///       the solver can produce no evaluation at all (for instance fewer residuals than
  ///       hidden-layer weights for lmder); in the latter case nothing is evaluated, and the count,
  ///       Err() and the best record are left as they were.
  /// The first step of a trainer has no previous error: its relative change is 0 and the
  /// relative rule does not apply to it. A step in which the error did not fall is never
  /// converged by the relative rule.
  int Cycle();
  /// iters = 0, then steps as Cycle does; after every step (the last included) calls
  /// progress(Err(), relative change) and stops as soon as it returns 0.
  /// Returns 0 (converged), -1 (iteration limit exceeded or no evaluation possible) or -2
  /// (stopped by the callback; whatever the step's own status was).
  int Solve(FunctorBase_RRretI& progress);
  /// First-use set-up, run by the first step and by the first step after Reset(): draws the
  /// random start if it is pending (nhidden * (ninputs + 1) normal deviates scaled by
  /// 1/sqrt(ninputs), from an MTRng seeded with Seed()), then creates the solver from the
  /// variables, replacing (and releasing) any existing one.
  void Initialize();
  /// Releases the solver; not initialised, step count 0. Variables, network weights and the best
  /// record stay and no new random start is drawn: lmder and vf13 carry on from the point they
  /// had reached; lmderChol starts again from the first random point (it never writes back).
  void Reset();
  /// If the best error of the current count is strictly below Err(): Err() becomes the best
  /// error and the network gets the best weights. Otherwise nothing changes.
  void restoreBest();

  /// Error at the last evaluated point (NaN before the first evaluation).
  double Err() const { return err; }
  /// Steps since construction, SetStoppingCriteria, Reset or the start of Solve.
  int Iters() const { return iters; }
  /// Relative change |(previous - err) / previous| of the last step (0 for the first step).
  double RelativeChange() const { return relativeChange; }
  /// The network being trained.
  MLP& getMLP() { return network; }

  /// The three functions the solvers call back. Each x holds nhidden * (ninputs + 1) hidden-layer
  /// weights in the network's weight-vector order.
  ///
  /// Residuals at x: loads x into the network, refits the output layer, and writes
  /// f[k * nsamples + i] = Yhat(i, k) - Y(i, k) (f must hold nsamples * noutputs values). Sets
  /// Err() to their sum of squares.
  void ComputeRHS(mvlarray<double>& x, mvlarray<double>& f);
  /// Jacobian of those residuals with respect to x, the refitted output layer held fixed, into J
  /// (nsamples * noutputs rows, length of x columns; not resized). Evaluated for the weights of
  /// the latest residual evaluation when they are x, as the solvers ask; at any other x the
  /// network is first loaded with x and its output layer refitted (Err() is not changed).
  void ComputeJacobian(mvlarray<double>& x, RMatrix& J);
  /// Error E at x (returned; also stored as Err()) and, in g (length of x), the gradient of E/2
  /// with respect to the hidden layer, the refitted output layer held fixed: g equals J^T f of
  /// the two functions above. Because the refitted output layer is optimal for the hidden
  /// layer, this is also the gradient of E/2 with the output layer following x.
  double ComputeGradient(mvlarray<double>& x, mvlarray<double>& g);

 private:
  void PackWeights(mvlarray<double>& x);
  void ComputeOutputWeights(mvlarray<double>& x);
  bool networkHolds(const mvlarray<double>& x);
  double sumOfSquaredResiduals() const;
  int cycleSolverOnce();
  int finishStep(double previous, bool hadPrevious);

  int ninputs;
  int nhidden;
  int noutputs;
  int nsamples;
  RMatrix& X;
  RMatrix& Y;
  RMatrix hiddenValues;
  RMatrix outputs;
  mvlarray<double> weightBuffer;
  mvlarray<double> variables;
  mvlarray<double> bestWeights;
  MLP network;
  Functor_AA<MLPTrainer> residualCallback;
  Functor_AM<MLPTrainer> jacobianCallback;
  Functor_AAretR<MLPTrainer> gradientCallback;
  std::unique_ptr<lmderSolver> lmderSolverPtr;
  std::unique_ptr<lmderCholSolver> cholSolverPtr;
  std::unique_ptr<vf13Solver> vf13SolverPtr;
  int seed = 0;
  int iters = 0;
  double err;
  double relativeChange = 0.0;
  double bestErr;
  bool initialised = false;
  bool evaluated = false;
  bool randomStartPending = true;
  bool errorKnown = false;  // some evaluation has happened: a previous error exists
  int iterationLimit = kDefaultIterationLimit;
  double errorThreshold;
  double relativeChangeThreshold = kDefaultRelativeChange;
  trainerType type;
  bool samplesAgree;  // X and Y have the same number of rows
};

}  // namespace Orvo

#endif  // ORVO_MLP_TRAINER_HPP
