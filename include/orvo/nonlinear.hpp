/// @file
/// Callback interfaces between the solvers and their callers, and the solver drivers.
///
/// A solver never holds the caller's problem: whenever it needs function values, derivatives or a
/// progress decision it calls back through one of the small interfaces below, each with a single
/// operation. The letters name the argument kinds in order (A: mvlarray of doubles, M: RMatrix,
/// I: IMatrix, R: double) and the letter after "ret" the result. The caller owns every callback
/// object and keeps it alive for the duration of the call that receives it; the library never
/// copies or deletes one. Callbacks are invoked only between the solver's own steps, on the
/// calling thread, and their outputs are read as soon as they return.
#ifndef ORVO_NONLINEAR_HPP
#define ORVO_NONLINEAR_HPP

#include <cstdint>

#include "orvo/config.hpp"
#include "orvo/matrix.hpp"
#include "orvo/memory.hpp"
#include "orvo/sparse.hpp"

namespace Orvo {

/// Evaluate a vector function at x and write all its values into y (y already has its length).
class FunctorBase_AA {
 public:
  virtual void operator()(mvlarray<double>& x, mvlarray<double>& y) = 0;

 protected:
  ~FunctorBase_AA() = default;
};

/// Evaluate the Jacobian of the same vector function at x into J: J(i, j) = d f_i / d x_j, every
/// element written.
class FunctorBase_AM {
 public:
  virtual void operator()(mvlarray<double>& x, RMatrix& J) = 0;

 protected:
  ~FunctorBase_AM() = default;
};

/// Return a scalar objective at x and write its gradient (all n components) into g.
class FunctorBase_AAretR {
 public:
  virtual double operator()(mvlarray<double>& x, mvlarray<double>& g) = 0;

 protected:
  ~FunctorBase_AAretR() = default;
};

/// Write function or constraint values into c and their first derivatives into J through
/// IMatrix::SetValue (a dense matrix: gradient of constraint k in column k; a sparse Jacobian: each
/// nonzero entry added, the matrix emptied by the solver before every call).
class FunctorBase_AAI {
 public:
  virtual void operator()(mvlarray<double>& x, mvlarray<double>& c, IMatrix& J) = 0;

 protected:
  ~FunctorBase_AAI() = default;
};

/// Return the value of a scalar function of one variable.
class FunctorBase_RretR {
 public:
  virtual double operator()(double x) = 0;

 protected:
  ~FunctorBase_RretR() = default;
};

/// Progress report (e: current error, r: relative change); nonzero lets the caller go on, zero
/// makes it stop.
class FunctorBase_RRretI {
 public:
  virtual int operator()(double e, double r) = 0;

 protected:
  ~FunctorBase_RRretI() = default;
};

/// Bind a member function of an existing object to an interface. The object is not owned and must
/// outlive the binding; copies call the same member of the same object.
template <class T>
class Functor_AA : public FunctorBase_AA {
 public:
  using Member = void (T::*)(mvlarray<double>&, mvlarray<double>&);
  Functor_AA(T* object, Member member) : object_(object), member_(member) {}
  void operator()(mvlarray<double>& x, mvlarray<double>& y) override { (object_->*member_)(x, y); }

 private:
  T* object_;
  Member member_;
};

/// As Functor_AA, for a Jacobian callback.
template <class T>
class Functor_AM : public FunctorBase_AM {
 public:
  using Member = void (T::*)(mvlarray<double>&, RMatrix&);
  Functor_AM(T* object, Member member) : object_(object), member_(member) {}
  void operator()(mvlarray<double>& x, RMatrix& J) override { (object_->*member_)(x, J); }

 private:
  T* object_;
  Member member_;
};

/// As Functor_AA, for a callback that returns the function value and writes the gradient.
template <class T>
class Functor_AAretR : public FunctorBase_AAretR {
 public:
  using Member = double (T::*)(mvlarray<double>&, mvlarray<double>&);
  Functor_AAretR(T* object, Member member) : object_(object), member_(member) {}
  double operator()(mvlarray<double>& x, mvlarray<double>& g) override {
    return (object_->*member_)(x, g);
  }

 private:
  T* object_;
  Member member_;
};

// ---------------------------------------------------------------------------------------------
/// lmderSolver: nonlinear least squares, min sum_i f_i(x)^2 over n variables with m >= n
/// residuals and a caller-supplied Jacobian, by the trust-region Levenberg-Marquardt method with
/// internal column scaling, driven by reverse communication.
///
/// Requests handed to the caller (the `flag` of Cycle(int&), the result of the other forms; named
/// Terminated, EvaluateResiduals, EvaluateJacobian, EvaluateTrialResiduals in the class):
///   1  evaluate the residuals at Xvec() into Fvec() (x itself, into the residual array)
///   2  evaluate the Jacobian at Xvec() into Fjac(): element (i, j) = d f_i / d x_j, every
///      element written (the matrix is overwritten by its QR factors between requests)
///   3  evaluate the residuals at the trial point Xvec() into Fvec() (trial arrays, not x)
///   0  the run has terminated; Info() says why.
/// A caller serving requests itself calls Cycle(flag) with flag = 0 to start, then, after
/// serving each request, again with the value the previous call returned. Any other value
/// (negative, 4 or more, or a request other than the one outstanding) returns at once with flag
/// and the solver unchanged, so a stale or mistyped code can never make the solver read
/// residuals or factors that were not written.
///
/// Termination reasons (Info(), set when the run ends; 0 = Running while running and before any
/// run; the others named in the class in this order):
///   1  actual and predicted relative reduction of the sum of squares both at most ftol
///   2  relative change of the scaled point at most xtol
///   3  both 1 and 2
///   4  the residual vector is orthogonal to every Jacobian column (or is exactly zero)
///   6  ftol too small: no further reduction of the sum of squares possible
///   7  xtol too small: no further improvement of x possible
///   8  the gradient measure is below machine precision
///   9  NonFiniteValues: a residual or Jacobian element written by the caller is NaN or
///      infinite. The run ends at once (at the starting residuals, at any Jacobian, or at a trial
///      point, which is then not accepted); x keeps the last accepted point (the start if none).
/// Codes 4, 6, 7 and 8 end the run only at the next trial evaluation: one more trial point is
/// evaluated (and accepted if it qualifies), and tests 1-3 made there may replace the code.
/// There is no evaluation limit inside a run: Solve's cycle budget limits the work.
///
/// The solver keeps a reference to the caller's x (length n, the starting point) and writes each
/// accepted point into it, so x always holds the best point found. x must outlive the solver.
/// A solver built with n < 1 or m < n (which the method cannot handle) never runs: every cycle
/// returns 0 at once, nothing is evaluated and Info() stays 0.
/// All storage is obtained at construction (sizes beyond the int range throw mvlException);
/// cycles allocate nothing and throw nothing of their own.
/// Exceptions from callbacks pass to the caller of Cycle(f, jac) or Solve; the solver has not
/// moved, and the next Cycle or Solve calls the same callback with the same request again.
class ORVO_API lmderSolver {
 public:
  /// @{
  /// tol >= 0 becomes ftol and xtol; 0 selects sqrt(machine precision). m residuals, n variables.
  /// Requests (flag of Cycle(int&), result of the other forms) and termination reasons (Info()).
  static constexpr int Terminated = 0, EvaluateResiduals = 1, EvaluateJacobian = 2,
                       EvaluateTrialResiduals = 3;
  static constexpr int Running = 0, SumOfSquaresConverged = 1, StepConverged = 2, BothConverged = 3,
                       OrthogonalResiduals = 4, FtolTooSmall = 6, XtolTooSmall = 7,
                       GradientTooSmall = 8, NonFiniteValues = 9;
  /// @}

  /// m residuals in the n variables of x, which stays the caller's: it is updated in place and
  /// must outlive the solver.
  lmderSolver(int m, int n, mvlarray<double>& x, double tol);
  /// @{
  /// Deep copy of every array and of the Jacobian; the copy runs on independently but refers to
  /// (and updates) the same caller array x.
  lmderSolver(const lmderSolver& other);
  lmderSolver& operator=(const lmderSolver&) = delete;
  ~lmderSolver() = default;
  /// @}

  /// Ends the current run: the next cycle starts a new run from the current x (fresh counters,
  /// scaling and trust radius). Restores ftol = xtol = tol (sqrt(eps) for tol = 0).
  void Reset();
  /// Moves every x_i by an amount drawn uniformly from [-amount * a, amount * a), a = max |x_i|,
  /// using a generator seeded from the clock (calls within the same second perturb equal points
  /// equally); clears the Levenberg-Marquardt parameter and resets as Reset does. x = 0 stays 0.
  /// A spread amount * a that is NaN or infinite (a NaN amount, or a non-finite x) moves nothing.
  void Perturb(double amount);

  /// One reverse-communication step (see above). On return flag holds the next request (0-3).
  void Cycle(int& flag);
  /// Advances by one step and serves the resulting request with the callbacks: 1 -> f(x,
  /// residuals), 2 -> jac(x, Jacobian), 3 -> f(trial point, trial residuals). Returns the request
  /// served, or 0 (nothing called) when the run has terminated. After termination the next call
  /// starts a new run from the current x.
  int Cycle(FunctorBase_AA& f, FunctorBase_AM& jac);
  /// Repeats the cycle above until the run terminates (returns 0) or until cycle number maxit
  /// (counting from 0) has been served (returns that request code): at most maxit + 1 cycles,
  /// exactly one for maxit <= 0. A later Solve or Cycle continues where this one stopped.
  int Solve(FunctorBase_AA& f, FunctorBase_AM& jac, int maxit);

  /// The m x n matrix into which request 2 is written.
  RMatrix& Fjac() { return fjac; }
  /// While request 3 is outstanding the trial residuals (m), otherwise the residuals at x.
  mvlarray<double>& Fvec() { return state == 3 ? wa4 : fvec; }
  /// While request 3 is outstanding the trial point (n), otherwise the caller's x.
  mvlarray<double>& Xvec() { return state == 3 ? wa2 : x; }

  /// Termination reason (codes above); Running while a run goes on.
  int Info() const { return info; }
  /// @{
  /// Residual and Jacobian evaluations consumed by the current (or last) run.
  int nFev() const { return nfev; }
  int nJev() const { return njev; }
  /// @}

 private:
  void startRun();
  bool absorbStartingResiduals();
  bool absorbJacobian();
  void proposeStep();
  bool absorbTrialResiduals();

  double actred = 0.0;
  double delta = 0.0;
  double dirder = 0.0;
  double epsmch = 0.0;
  double fnorm = 0.0;
  double fnorm1 = 0.0;
  double gnorm = 0.0;
  double par = 0.0;
  double pnorm = 0.0;
  double prered = 0.0;
  double ratio = 0.0;
  double xnorm = 0.0;
  mvlarray<double> diag;
  mvlarray<int> ipvt;
  mvlarray<double> qtf;
  mvlarray<double> wa1;
  mvlarray<double> wa2;
  mvlarray<double> wa3;
  mvlarray<double> wa4;
  int m;
  int n;
  mvlarray<double>& x;
  mvlarray<double> fvec;
  RMatrix fjac;
  double ftol;
  double xtol = 0.0;
  double gtol = 0.0;
  double factor = 0.1;
  int nfev = 0;
  int njev = 0;
  int info = 0;
  int state = 0;
  int iter = 0;
  int unserved = 0;  // the request handed to a callback that has not returned yet
};

// ---------------------------------------------------------------------------------------------
/// lmderCholSolver: plain Levenberg-Marquardt on the normal equations for min |f(x)|^2, m
/// residuals, n variables. At each accepted point it forms J^T J and -J^T f (matrix products);
/// each trial step solves (J^T J + lambda I) step = -J^T f by Cholesky factorisation. lambda
/// starts at 0.001, is multiplied by 0.1 after every accepted step (a strict decrease of the sum
/// of squares) and doubled after every rejected one (first raised to at least 1e-15); a
/// factorisation that fails sets lambda to 1e-15 if it was below, else doubles it, and solves
/// again. The machine never terminates: the caller decides when to stop.
///
/// The solver works on its own copy of the starting point; the current point is the array the
/// callbacks receive (Xvec()). Requests returned by Cycle():
///   0  call Cycle() again (normal equations formed, a step rejected or a factorisation failed)
///   1  write the m residuals at Xvec() into Fvec() and call again
///   2  write the m x n Jacobian at Xvec() into Fjac() and call again.
/// Cycle(fun, jac) runs Cycle() until it asks for 1 or 2, serves that request through the
/// callbacks and returns the internal state reached: 1 (starting residuals taken), 2 (Jacobian
/// at an accepted point), 4 (trial residuals evaluated), 5 (Jacobian after an accepted step). It
/// returns 3 without calling anything when the step equations cannot be factorised even with an
/// infinite lambda, instead of looping for ever.
/// Non-finite values: residuals (at the start or at a trial point) or a Jacobian with a NaN or
/// infinite element stop the machine in state NonFiniteValues (6), which no other path reaches:
/// x goes back to the last accepted point if a trial point was being tested, Cycle() returns 0
/// and changes nothing from then on, and Cycle(fun, jac) returns 6 without calling anything.
/// Exceptions from callbacks pass to the caller of Cycle(fun, jac); the machine has not moved,
/// and the next Cycle(fun, jac) calls the same callback for the same request again.
/// Time spent forming the normal equations, solving for steps, and in the residual and Jacobian
/// callbacks is accumulated (steady clock, in seconds) and read by GetTimes; never reset.
/// Sizes are not compared; sizes beyond the int range throw mvlException at construction.
class ORVO_API lmderCholSolver {
 public:
  /// @{
  /// Requests of Cycle(), and the states Cycle(fun, jac) returns.
  static constexpr int CallAgain = 0, EvaluateResiduals = 1, EvaluateJacobian = 2;
  static constexpr int StartingResidualsTaken = 1, JacobianAtStart = 2, StepUnsolvable = 3,
                       TrialResidualsTaken = 4, JacobianAfterStep = 5;
  /// @}
  /// State of a machine stopped by a non-finite residual or Jacobian element.
  static constexpr int NonFiniteValues = 6;

  /// @{
  /// Copies x (n values) as the starting point; tol is not used.
  lmderCholSolver(int m, int n, mvlarray<double>& x, double tol);
  lmderCholSolver(const lmderCholSolver&) = default;
  lmderCholSolver& operator=(const lmderCholSolver&) = default;
  ~lmderCholSolver() = default;
  /// @}

  /// @{
  /// One step of the machine; returns the request (above). Cycle(fun, jac) serves the requests
  /// through the callbacks and returns the state reached.
  int Cycle();
  int Cycle(FunctorBase_AA& fun, FunctorBase_AM& jac);
  /// @}

  /// Accumulated seconds: normal equations, step solves, residual callbacks, Jacobian callbacks.
  void GetTimes(double& tNormal, double& tSolve, double& tFunction, double& tJacobian);

  /// prered = lambda step^T step - f^T (J step) from the step, Jacobian and residuals as they
  /// stand (not used by Cycle).
  void CalcReductionRatio();
  /// Trust-region update of lambda from the last step (not used by Cycle): sets dnorm = |step|,
  /// prered, actred = ssq - ssqTrial and the ratio rho = actred / prered (rho >= 1 reflected to
  /// 2 - rho - eps); grows the radius delta for rho > 0.75 to min(2 delta, sqrt(0.25/(1 - rho))
  /// dnorm), sets it to dnorm for rho >= 0.25, otherwise shrinks it to dnorm / q with
  /// q = actred / (f^T J step) + 2 clamped to [2, 10] when 2 delta > dnorm; then with
  /// u = (normal + lambda I)^-1 step and c = step^T u sets lambda = max(0, lambda - (1 - dnorm /
  /// delta) step^T step / c). lambda is left unchanged when that factorisation fails or c or
  /// delta is 0.
  void AdjustLambda();

  /// @{
  /// Element (0, 0) of a^T b (the dot product of two columns); b may be an expression, which is
  /// evaluated into a temporary first. Independent of the solver's state. Operands of different
  /// heights give NaN.
  double innerProd(RMatrix& a, RMatrix& b);
  double innerProd(RMatrix& a, lazyMatrix& b);
  /// @}

  /// The current point (n values), where requests 1 and 2 are to be evaluated.
  mvlarray<double>& Xvec() { return x.Data(); }
  /// The residual array (m values) into which request 1 is written.
  mvlarray<double>& Fvec() { return f.Data(); }
  /// The m x n Jacobian into which request 2 is written.
  RMatrix& Fjac() { return J; }
  /// @{
  /// The last step (n x 1).
  RMatrix& Step() { return step; }
  double Lambda() const { return lambda; }
  /// @}
  /// Sum of squares at the current accepted point.
  double SumOfSquares() const { return ssq; }
  /// @{
  /// Last predicted and actual reductions, their ratio, and the trust radius of AdjustLambda.
  double PredictedReduction() const { return prered; }
  double ActualReduction() const { return actred; }
  double Ratio() const { return ratio; }
  double Delta() const { return delta; }
  /// @}

 private:
  void formNormalEquations();
  void solveForStep();
  void testTrialPoint();
  void stopOnNonFiniteValues();
  double milliseconds() const;

  int state = 0;
  int request = 0;
  RMatrix x;
  RMatrix xSaved;
  RMatrix step;
  RMatrix J;
  RMatrix JtJ;
  RMatrix g;
  RMatrix f;
  double lambda;
  double dnorm = 0.0;
  double delta;
  double lambdaDown;
  double lambdaMin;
  double ssq = 0.0;
  double ssqTrial = 0.0;
  int m;
  int n;
  double tNormal = 0.0;
  double tSolve = 0.0;
  double tJacobian = 0.0;
  double tFunction = 0.0;
  double actred = 0.0;
  double prered = 0.0;
  double ratio = 0.0;
  RMatrix rhs;
  RMatrix normal;
  int unserved = 0;  // the request handed to a callback that has not returned yet
};

// ---------------------------------------------------------------------------------------------
/// vf13Solver: minimises a smooth f(x) of n variables with first derivatives, optionally subject
/// to m constraints of which the first meq are equalities c_i(x) = 0 and the rest inequalities
/// c_i(x) >= 0, by sequential quadratic programming (quasi-Newton model of the Lagrangian, convex
/// quadratic subproblem, line search on an exact penalty function) in reverse communication.
///
/// The solver keeps a reference to the caller's x (length n = x.Length(), the starting point),
/// which the optimiser reads and overwrites in place: between cycles it holds the next point to
/// be evaluated, at the end the best point found. x must outlive the solver and keep n elements.
/// Storage (g: n, c: max(1, m), cn: (n + 1) x max(1, m), w: 6 m + n (5 n + 43) / 2 + 14 doubles,
/// iw: n + 1 ints) is obtained at construction and zero-filled; cycles allocate nothing.
///
/// Codes returned by Solve and Cycle (the optimiser's info), named in the class in this order
/// (EvaluateAgain, Converged, EvaluationLimit, NoProgress, Inconsistent, InvalidArguments):
///   0  evaluate at the new x: call Cycle again
///   1  converged: constraints hold to acc and the first-order gain still available, in units of
///      f, is at most acc
///   2  maxfun evaluations used (the one at the start counts)
///   3  no further progress possible (line search or quadratic subproblem failed)
///   4  the constraints cannot be met from here: x is a point where no step reduces their
///      violation to first order (starts far from the feasible set are handled by relaxing the
///      linearised constraints; this code means even that finds no way back)
///   5  invalid arguments: n < 1, m < 0, meq < 0, m < meq, or sizes too large for the workspace;
///      also non-finite values at the starting point
/// On codes 2 and 3 x is put back to the best point and fVal() to its objective value.
///
/// The one-callback forms never touch c and cn: used on a solver built with m > 0 they present
/// the constraint values and gradients last written (zeros before any), so mix them with the
/// two-callback forms only knowingly. No exceptions of its own; callbacks' exceptions propagate.
class ORVO_API vf13Solver {
 public:
  static constexpr int EvaluateAgain = 0, Converged = 1, EvaluationLimit = 2, NoProgress = 3,
                       Inconsistent = 4, InvalidArguments = 5;

  /// Constrained form: m constraints, the first meq equalities; accuracy acc, at most maxfun
  /// evaluations.
  vf13Solver(mvlarray<double>& x, int m, int meq, double acc, int maxfun);
  /// Unconstrained form (m = meq = 0).
  vf13Solver(mvlarray<double>& x, double acc, int maxfun);
  /// @{
  /// Deep copy of g, c, cn, w and iw; the copy continues independently but refers to (and
  /// updates) the same caller array x.
  vf13Solver(const vf13Solver& other);
  vf13Solver& operator=(const vf13Solver&) = delete;
  ~vf13Solver() = default;
  /// @}

  /// @{
  /// Restarts from the current x: f = obj(x, g) (and cons(x, c, cn) in the two-callback form,
  /// where cons writes the gradient of constraint k into column k of its matrix), then optimiser
  /// calls and evaluations alternate until a non-zero code, which is returned. The evaluation
  /// limit is maxfun; Solve itself has no other limit.
  int Solve(FunctorBase_AAretR& obj);
  int Solve(FunctorBase_AAretR& obj, FunctorBase_AAI& cons);
  /// @}
  /// @{
  /// One step: evaluates at x (so the first Cycle evaluates at the start), then makes one
  /// optimiser call and returns its code. After construction the first Cycle starts a run; each
  /// later one continues it. Once a run has ended (non-zero code) Cycle evaluates and returns the
  /// same code again; only Solve (or a new solver) starts another run.
  int Cycle(FunctorBase_AAretR& obj);
  int Cycle(FunctorBase_AAretR& obj, FunctorBase_AAI& cons);
  /// @}

  /// Objective value at the last point evaluated (after codes 2 and 3: at the best point).
  double fVal() const { return f; }

 private:
  int callKernel();
  void clearArrays();

  int n;
  int m;
  int meq;
  mvlarray<double>& x;
  double f = 0.0;
  mvlarray<double> g;
  mvlarray<double> c;
  RMatrix cn;
  int lcn;
  int maxfun;
  double acc;
  int iprint = -1;
  int info = -1;
  mvlarray<double> w;
  int lw;
  mvlarray<int> iw;
};

// ---------------------------------------------------------------------------------------------
// ns23Solver (sparse nonlinear equations)
// ---------------------------------------------------------------------------------------------

/// ns23Solver: solves m nonlinear equations f(x) = 0 in n variables (m >= n; m > n is a nonlinear
/// least-squares problem, min |f(x)|_2) whose Jacobian is sparse, by a trust-region method with
/// dogleg steps on the normal equations J^T J, factorised by a sparse Cholesky factorisation under
/// a fill-reducing order. Columns are scaled by their norms (each kept at the largest seen); a
/// singular J^T J is regularised, so rank deficiency slows the method but never stops it alone.
/// As the normal equations square J's condition number, Jacobians with a (column-scaled)
/// condition number of about 1e7 or more converge slowly or not at all.
///
/// The caller supplies one callback fun(x, f, J): write all m residuals into f (length m) and add
/// every nonzero Jacobian entry (i, j) = d f_i / d x_j with J.SetValue(i, j, value), 0-based;
/// repeated positions add up. J is the solver's own sparse matrix, empty at the start of every
/// call. The pattern may vary between calls (a new pattern is analysed again).
///
/// Codes returned by Cycle and Solve:
///   kEvaluate (1)        x holds a new point: the next Cycle evaluates there
///   kConverged (0)       |f(x)|_2 <= stopReal1 (Info(0) == 1), or, for m > n only, x is a
///                        stationary point of |f|^2 with a non-zero residual (Info(0) == 2):
///                        max_j |(J^T f)_j| / (|J_j| |f|) <= 1e-8 (1e-4 where no step can
///                        improve the point any more), J_j column j of the Jacobian
///   kEvaluationLimit (-1) stopInt evaluations used without convergence
///   kNoProgress (-4)     no step improves x any more: the trust radius fell below stopReal2 times
///                        the scaled norm of x (Info(0) == 3) or the predicted reduction of |f|^2
///                        is below rounding (Info(0) == 4). For a square system this is a local
///                        minimum of |f| that is not a root (a system without solution, say), or a
///                        stopReal1 too small for the arithmetic. Never reported as 0.
///   kInvalidArguments (-5) m < n, n < 1, stopInt < 1, a negative tolerance, non-finite x, f or
///                        J at the start, or a problem whose workspace exceeds the int range
/// Non-finite residuals or Jacobian values at a later point count as a failed step: the radius
/// shrinks and the run goes on; they never end in 0. Workspace requests of the method are met
/// inside Cycle; those codes (-2, -3) never come back. Once a run has ended, further cycles
/// evaluate at x and return the same code again.
///
/// Stopping criteria (SetStoppingCriteria): stopReal1 tolerance on |f|_2 (0: 1e-10); stopReal2
/// tolerance on the relative step (0: 1e-12); stopInt evaluation limit, the first evaluation
/// included (43 at construction).
///
/// The solver keeps a reference to the caller's x (length n, the start), updated in place: after
/// a positive code the next point to evaluate, after any other code the best point found (with
/// f and fVal() at that point). x must outlive the solver. A callback that throws leaves the solver
/// as before the call (the exception propagates; nothing else is counted or changed), so the same
/// cycle can be repeated. The solver itself throws nothing.
class ORVO_API ns23Solver {
 public:
  /// @{
  /// Codes returned by Cycle and Solve (above).
  static constexpr int kEvaluate = 1;
  static constexpr int kConverged = 0;
  static constexpr int kEvaluationLimit = -1;
  static constexpr int kNoProgress = -4;
  static constexpr int kInvalidArguments = -5;
  /// @}
  /// @{
  /// Info(0) values once a run has ended.
  static constexpr int kOutcomeRoot = 1;
  static constexpr int kOutcomeStationary = 2;
  static constexpr int kOutcomeStepTooSmall = 3;
  static constexpr int kOutcomeNoReduction = 4;
  static constexpr int kOutcomeLimit = 5;
  static constexpr int kOutcomeInvalid = 6;
  /// @}

  /// m equations in n = x.Length() variables. Builds the Jacobian (capacity 10 m entries, m x n)
  /// and the workspace (10 entries each, sized properly at the first evaluation); stopReal1 =
  /// stopReal2 = 0, stopInt = 43. Nothing is evaluated.
  ns23Solver(mvlarray<double>& x, int m);
  /// @{
  /// Deep copy of every field, matrices and arrays; the copy continues exactly as the original
  /// would, on the same caller array x.
  ns23Solver(const ns23Solver& other) = default;
  ns23Solver& operator=(const ns23Solver&) = delete;
  ~ns23Solver() = default;
  /// @}

  /// Sets stopReal1, stopReal2 and stopInt (above).
  void SetStoppingCriteria(double a, double b, int k) {
    stopReal1 = a;
    stopReal2 = b;
    stopInt = k;
  }
  /// First evaluation at x and set-up from the Jacobian's pattern: nnzj() entries, nnzn()
  /// entries in the lower triangle of J^T J (whole diagonal included), workspace of
  /// Liw() = nnzj + 4 nnzn + 11 n + 44 + m ints and Lw() = nnzj + nnzn + 3 n + 4 m + 1 doubles
  /// (grown later on the method's request), method defaults with progress output off. Meant for
  /// a fresh solver; Cycle and Solve call it on their first cycle.
  void Initialize(FunctorBase_AAI& fun);
  /// One evaluation at x (Initialize on the first call) and one step of the method; returns the
  /// code (above).
  int Cycle(FunctorBase_AAI& fun);
  /// Cycles while the code is positive and returns the final code. No limit of its own: stopInt
  /// bounds the evaluations.
  int Solve(FunctorBase_AAI& fun);

  /// @{
  /// Sum of squares of the residuals at the last evaluation (after a run has ended: at x).
  double fVal() const { return fval; }
  int nnzj() const { return nnzjCount; }
  int nnzn() const { return nnznCount; }
  int Liw() const { return liw; }
  int Lw() const { return lw; }
  /// @}
  /// Evaluations made (callback calls that returned).
  int nFev() const { return nfev; }
  /// Method information, k = 0..9: outcome (kOutcome*, 0 while running), evaluations, accepted
  /// steps, integer and real workspace needed, factorisations, entries of the Cholesky factor,
  /// factorisations that needed a regularising shift, rejected steps, pattern analyses. 0 for k
  /// outside the range.
  int Info(int k) const { return k >= 0 && k < info.Length() ? info[k] : 0; }
  /// Residuals at x after the last cycle (m values).
  const mvlarray<double>& Residuals() const { return f; }

 private:
  void evaluate(FunctorBase_AAI& fun);
  void callKernel();

  sparseMatrix J;
  sparseMatrix aux;
  int m;
  int n;
  double stopReal2 = 0.0;
  int stopInt = 43;
  int kernelInt = 0;
  double kernelReal = 0.0;
  double stopReal1 = 0.0;
  int liw = 10;
  mvlarray<int> iw;
  int lw = 10;
  mvlarray<double> w;
  mvlarray<double>& x;
  mvlarray<double> f;
  int iflag = 1;
  int nfev = 0;
  bool initialized = false;
  double fval = 0.0;
  int nnznCount = 0;
  int nnzjCount = 0;
  mvlarray<int> icntl;
  mvlarray<double> cntl;
  mvlarray<int> info;
  mvlarray<double> rinfo;
  mvlarray<int> isave;
  mvlarray<double> rsave;
  mvlarray<int> lsave;
};

// ---------------------------------------------------------------------------------------------
// SecantSolver (one-dimensional root finding)
// ---------------------------------------------------------------------------------------------

/// SecantSolver: a zero of a scalar function of one variable from two starting abscissae a and
/// b, in reverse communication. When f(a) and f(b) differ in sign the root is enclosed at once
/// and the enclosure only shrinks (interpolation steps safeguarded by bisection; every point
/// evaluated lies inside it); otherwise the solver takes bounded secant steps from a and b and
/// encloses the root as soon as a sign change appears.
///
/// tol is an absolute tolerance on x: a search converges when the enclosure is at most
/// tol + 4 eps max(|lo|, |hi|) wide (eps the machine precision), so near a large root the
/// relative term takes over and with tol <= 0 the root is found to a few units in the last place.
/// maxit limits the evaluations to |maxit|, those at a and b included.
///
/// state(), the solver's communication code:
///   Start (0)            before the first cycle
///   Evaluate (1)         f is wanted at the current x (requested by the last cycle)
///   Converged (2)        f(x) = 0 exactly, or x is an end of an enclosure of a sign change at
///                        most the tolerance wide: the sign change (for a continuous f, the
///                        root) lies within the tolerance of x
///   EvaluationLimit (3)  |maxit| evaluations used; x is the best point so far (inside the
///                        enclosure when there is one)
///   NoSignChange (4)     no sign change and no convergence from a and b: the secant became
///                        flat, stalled (six steps without a smaller |f|), ran beyond 1e300, or
///                        settled where a probe just beyond its estimate shows no sign change: a
///                        root of even multiplicity (a double root: x then lies close to it) or
///                        a minimum of |f| above zero; also a == b with f(a) != 0. x is the
///                        point of smallest |f| seen
///   NotFinite (5)        f returned NaN or an infinity at x (val() holds it), or a or b was not
///                        finite (x is that abscissa, val() NaN). Such a value never converges
///   Pole (6)             the enclosure closed on a pole, not a root: |f| at both of its final
///                        ends exceeds |f| at the point they last replaced and at a and b
///   Interrupted (-1)     the callback threw during the last cycle; the next cycle asks for f at
///                        the same x again and the search continues as if nothing had happened.
/// The search has ended once state() > 1; after Converged, EvaluationLimit, NoSignChange and
/// Pole val() is f(x). A finished search is never restarted: cycles leave everything unchanged.
///
/// The whole search lives in the seven fields below. The last holds the function value at x and
/// behind it the kernel's save area (where the method keeps its enclosure, interpolation points
/// and counters between cycles); the object copies member-wise, so a copy taken in mid-search
/// continues exactly as the original would. No storage kept; no exceptions of its own: a
/// callback's exception propagates and leaves the solver at Interrupted.
class ORVO_API SecantSolver {
 public:
  static constexpr int Start = 0;
  static constexpr int Evaluate = 1;
  static constexpr int Converged = 2;
  static constexpr int EvaluationLimit = 3;
  static constexpr int NoSignChange = 4;
  static constexpr int NotFinite = 5;
  static constexpr int Pole = 6;
  static constexpr int Interrupted = -1;

  /// @{
  /// Stores the four values; state() = Start. x and val() are first set by the first cycle and
  /// the first evaluation (0 and NaN before).
  SecantSolver(double a, double b, double tol, int maxit);
  SecantSolver(const SecantSolver&) = default;
  SecantSolver& operator=(const SecantSolver&) = default;
  /// @}

  /// One step of the method; when it asks for a value (state() == Evaluate afterwards) val() is
  /// set to fun(x). Returns x: the point just evaluated, or the result once the search has ended.
  double Cycle(FunctorBase_RretR& fun);
  /// The same with one-element arrays: a tracked array holding x and a tracked result array are
  /// made for the call (two allocations of one double each, released before returning, also when
  /// nothing is evaluated or fun throws); fun(x-array, result-array) must write f(x) into element
  /// 0 of the result array (left unwritten it reads as NaN, which ends the search with
  /// NotFinite). Returns state().
  int Cycle(FunctorBase_AA& fun);
  /// @{
  /// Repeats the corresponding Cycle until state() > 1 after a cycle, or |maxit| + 2 cycles have
  /// run (maxit = -5 allows 7 cycles, as 5 does); returns x.
  double Solve(FunctorBase_RretR& fun);
  double Solve(FunctorBase_AA& fun);
  /// @}

  /// The current state (codes above).
  int state() const { return state_; }
  /// The function value at x from the last evaluation (after the end: f at the result).
  double val() const { return val_[0]; }

 private:
  static constexpr int kValueLength = 24;  // f(x) and the kernel's save area
  long long cycleBudget() const;

  int maxit_;
  int state_;
  double tol_;
  double a_;
  double b_;
  double x_ = 0.0;
  double val_[kValueLength];
};

// ---------------------------------------------------------------------------------------------
// BQASolver (bounded derivative-free minimisation)
// ---------------------------------------------------------------------------------------------

/// BQASolver: minimises f(x) of n variables within bounds xl <= x <= xu without derivatives, by
/// reverse communication, with quadratic interpolation models in a trust region (Powell's method
/// of 2009). The class holds no state: problem data, workspace and codes all belong to the
/// caller and travel in the 38 arguments of Cycle; construction, assignment and destruction do
/// nothing. Each Cycle is exactly one call of the optimiser: every scalar argument is handed on
/// by the address of Cycle's own copy (so nothing the optimiser does to it reaches the caller),
/// every pointer unchanged, messageLength by value; Cycle returns x.
///
/// Protocol: set task = 0 and call with the start in x; whenever task comes back 1, write f(x)
/// into *f and call again with the same arguments; stop at any other task. Between calls the
/// caller changes nothing but *f (no two arrays may overlap); copies of w and iw (with the same
/// other arguments) continue exactly as the originals would. Arguments in order (read on the first
/// call only unless stated):
///    1 x       n doubles: the start; on task 1 the point to evaluate (always inside the bounds,
///              exactly); at the end the best point found
///    2 f       the caller's f(x) on each call after task 1; at the end the best value
///    3 n       variables, n >= 1
///    4 xl, 5 xu  n finite bounds each, xl <= xu, xu - xl >= 2 rhobeg
///    6 npt     interpolation points, n + 2 <= npt <= (n + 1)(n + 2) / 2 (2 n + 1 recommended)
///    7 w, 8 lw   real workspace of lw >= RealWorkspaceLength(n, npt) =
///                40 + npt (npt + n + 5) + n (3 n + 43) / 2 doubles
///    9 iw      integer workspace of liw >= IntWorkspaceLength(npt) = 32 + 3 npt ints
///   10 task    see the codes below; on entry 0 starts, 1 continues, others return at once
///   11 liw, 12 maxfun   iw's length; the evaluations allowed, maxfun >= npt + 1
///   13 fhist, 14 lfhist   optional (null, 0): fhist[k] = the f returned for evaluation k < lfhist
///   15 counts, 16 lcounts optional: on every return the first min(lcounts, 7) of evaluations,
///              trust-region steps, geometry steps, rescues, rho reductions, non-finite values,
///              and the kind of the point in x (0 initial, 1 trust region, 2 geometry, 3 rescue,
///              4 final short step, -1 none)
///   17 rstate, 18 lrstate optional: the first min(lrstate, 5) of rho, delta, best f so far, the
///              last reduction ratio, and the value that replaced non-finite f values
///   19 khist, 20 lkhist   optional: kind of evaluation k < lkhist (codes as counts[6])
///   21 xhist, 22 lxhist   optional: the point of evaluation k at xhist[k n], (k + 1) n <= lxhist
///   23, 24     reserved (pass null, 0)
///   25 xbest   optional (null or n doubles, not x): the best point so far, on every return
///   26 ftarget optional (null or one double): finish with kTargetReached once f <= *ftarget
///   27 rhobeg  initial trust-region radius (about a tenth of the expected change of x)
///   28 msglevel  0: the message on evaluation requests is "evaluate"; 1: with the kind of point,
///              the count, rho and the best value
///   29 ... 35  reserved (pass 0)
///   36 rhoend  final trust-region radius, 0 < rhoend <= rhobeg: the accuracy sought in x
///   37 message, 38 messageLength  a buffer receiving a NUL-terminated status text on every
///              return (truncated to messageLength - 1 characters; null with length 0 allowed)
/// The start is moved into the box, and where it lies within rhobeg of a bound, onto that bound
/// or rhobeg away from it. A NaN or infinite f is replaced where it is received by a value above
/// every finite value so far, fmax + max(1, |fmax|, fmax - fmin) (fmax where that overflows), so
/// such a point is never the best and never returned; only at the very first point it is an error
/// (kErrorFirstValue), and a run that would converge on too few finite values ends with
/// kNonFiniteValues instead of kConverged.
class ORVO_API BQASolver {
 public:
  /// @{
  /// task codes
  static constexpr int kStart = 0;          // on entry: start a new run
  static constexpr int kEvaluate = 1;       // write f(x) into *f and call again
  static constexpr int kConverged = 2;      // rho reached rhoend
  static constexpr int kMaxfunReached = 3;  // maxfun evaluations made; x, f the best so far
  static constexpr int kNoProgress = 4;     // rounding errors stop the method early; best so far
  static constexpr int kTargetReached = 5;  // an evaluated f was <= *ftarget
  /// rho reached rhoend, but fewer finite values than npt were received, so the models rested
  /// on the substitutes for non-finite ones: no minimum was found; x, f the best finite point.
  static constexpr int kNonFiniteValues = 6;
  static constexpr int kErrorSizes = -1;     // n < 1 or npt out of range
  static constexpr int kErrorBounds = -2;    // a bound not finite, or xl > xu
  static constexpr int kErrorBoundGap = -3;  // xu - xl < 2 rhobeg for some variable
  static constexpr int kErrorRadii = -4;   // rhobeg, rhoend not finite or not 0 < rhoend <= rhobeg
  static constexpr int kErrorMaxfun = -5;  // maxfun < npt + 1
  static constexpr int kErrorRealWorkspace = -6;  // lw too short
  static constexpr int kErrorIntWorkspace = -7;   // liw too short
  static constexpr int kErrorStart = -8;          // a non-finite value in the start x
  static constexpr int kErrorFirstValue = -9;     // f not finite at the first point
  static constexpr int kErrorNoRun = -10;  // task 1 without a run of these n, npt in w and iw
  /// @}
  // On errors -1 ... -8 nothing is evaluated and only task and the message are written.

  /// @{
  /// The solver holds no state (a run lives in w and iw): construction, assignment and
  /// destruction do nothing.
  BQASolver() {}
  BQASolver& operator=(const BQASolver&) { return *this; }
  ~BQASolver() {}
  /// @}

  /// One optimiser call (arguments above); returns x.
  double* Cycle(double* x, double* f, int n, double* xl, double* xu, int npt, double* w, int lw,
                int* iw, int* task, int liw, int maxfun, double* fhist, int lfhist, int* counts,
                int lcounts, double* rstate, int lrstate, int* khist, int lkhist, double* xhist,
                int lxhist, int* reserved23, int reserved24, double* xbest, double* ftarget,
                double rhobeg, int msglevel, int reserved29, int reserved30, int reserved31,
                int reserved32, int reserved33, int reserved34, int reserved35, double rhoend,
                char* message, std::uint64_t messageLength);

  /// @{
  /// Workspace lengths for n variables and npt points (formulas above); -1 for invalid sizes or
  /// lengths beyond the int range.
  static int RealWorkspaceLength(int n, int npt);
  static int IntWorkspaceLength(int npt);
  /// @}
};

}  // namespace Orvo

#endif  // ORVO_NONLINEAR_HPP
