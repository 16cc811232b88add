// Sparse nonlinear equations and least squares by a trust-region method, reverse communication.
//
//     find x in R^n with f(x) = 0, or (m > n) a local minimiser of |f(x)|_2, f: R^n -> R^m, m >= n,
//
// with a sparse Jacobian J (m x n). At each accepted point the method forms the gradient
// g = J^T f and factorises the normal matrix J^T J (its lower triangle with the whole diagonal is
// the pattern the driver counts as nnzn) by a sparse Cholesky factorisation under a minimum-degree
// ordering; the factor lives in iw / w. The step is Powell's dogleg in the scaled norm |D p|_2:
// the Gauss-Newton step when it lies inside the trust radius, else the scaled steepest-descent
// (Cauchy) step cut at the radius, else the point where the path between the two leaves the
// region. D holds the Jacobian's column norms, each kept at the largest value seen (Moré's rule;
// a zero column counts 1). When J^T J is singular to working accuracy the factorisation is
// repeated with J^T J + mu D^2 (mu from 1e-10 of the scaled diagonal, growing a hundredfold up to
// eleven times), which is still a descent direction; if even that fails the steepest-descent
// step alone is used, so rank deficiency never stops progress by itself and nothing is ever
// divided by a zero pivot. The ratio of actual to predicted reduction of |f|^2 decides acceptance
// and the radius: below 0.25 it shrinks to half the step (a quarter for a worse point or one
// where f or J is not finite), from 0.75 it grows to at least twice the step. A rejected trial
// costs no new factorisation: every dogleg point of the current model follows from stored
// scalars. Forming J^T J squares J's condition number: Gauss-Newton steps lose accuracy once
// cond(D^-1 J^T J D^-1) nears 1 / machine precision (cond(J D^-1) about 1e7 or more); the method
// then still descends, but slowly, and may end with code -1 or -4.
//
// HSL_NS23ID(icntl, cntl, isave, rsave, lsave) sets the defaults below and clears the save areas;
// call it before every new run.
//
// HSL_NS23AD arguments, all by address (1-based positions in the controls and information):
//   m, n        equations and variables, m >= n >= 1.
//   stopReal1   tolerance on |f(x)|_2 (0 selects 1e-10).
//   stopReal2   tolerance on the relative step |D p| <= stopReal2 |D x| (0 selects 1e-12).
//   stopInt     evaluations allowed, the first one included (>= 1).
//   kernelInt, auxValues, auxRows, auxColumnStarts, kernelReal   reserved: not read, not written.
//   jacobianRows, jacobianColumnStarts, jacobianValues   J at x in compressed column form,
//               1-based: column j holds positions jacobianColumnStarts[j-1] .. [j] - 1. Repeated
//               positions add up. The pattern may change from one evaluation to the next (it is
//               analysed again, possibly with a workspace request).
//   liw, iw     integer workspace; lw, w real workspace. Never read or written at or past their
//               lengths. Needed: iw 2 nnzJ + 8 n + m + 3 + max(nnzL, n + 1 + nnzA) and
//               w 7 n + m + nnzL (nnzJ entries of J, nnzA of the lower triangle of J^T J with
//               its diagonal, nnzL of the factor); shorter arrays give code -2 or -3 with the
//               lengths in info(4) and info(5). Between calls only the driver's regrowth may
//               touch them; the old contents of a regrown array need not be kept.
//   x           n values: on the first call the start; after code > 0 the point to evaluate; after
//               any other code the best point found.
//   f           m residuals at x (on the final return: at the best point).
//   iflag       on entry: 1 (any positive value) after an evaluation of f and J at x, or the -2 /
//               -3 just returned, after the workspace has been grown. An entry value of 0, -1, -4
//               or -5 (a finished run) returns at once, changing nothing. On return:
//                 1   evaluate f and J at x and call again
//                 0   converged: |f| <= stopReal1 (info(1) = 1), or, for m > n only, a stationary
//                     point of |f|^2 (info(1) = 2): the gradient measure max_j |g_j| / (|J_j| |f|)
//                     is at most cntl(2), or at most sqrt(cntl(2)) where no further progress is
//                     possible. A square system whose |f| stays above stopReal1 never ends in 0.
//                 -1  stopInt evaluations used without convergence (info(1) = 5)
//                 -2  iw too short: grow it to info(4) and call again with iflag = -2
//                 -3  w (and perhaps iw) too short: grow w to info(5), iw to info(4) if shorter,
//                     and call again with iflag = -3
//                 -4  no further progress possible: the trust radius fell below stopReal2 |D x|
//                     (info(1) = 3) or the model predicts a relative reduction of |f|^2 below
//                     rounding level (info(1) = 4) - a local minimum of |f| that is not a root,
//                     or a tolerance too small for the arithmetic
//                 -5  invalid arguments (m < n, n < 1, stopInt < 1, negative or non-finite
//                     tolerances, controls out of range, an invalid Jacobian pattern, workspace
//                     lengths beyond the int range, a -2 / -3 not answering a request) or
//                     non-finite x, f or J at the start (info(1) = 6)
//               Non-finite residuals or Jacobian values at a trial point count as a failed step
//               (the radius shrinks); they never end a run in 0.
//   icntl(1)    progress lines on standard output: 0 none, k > 0 one every k accepted steps and
//               one at the end (default 1).
//   icntl(2)    elimination order: 0 minimum degree (default), 1 natural order.
//   icntl(3)    scaling: 0 column norms by Moré's rule (default), 1 none (D = I).
//   icntl(4..5) not used.
//   cntl(1)     initial radius factor: radius = cntl(1) |D x0|, or cntl(1) when that is 0
//               (default 100, > 0).
//   cntl(2)     gradient tolerance of the stationarity test for m > n (default 1e-8, >= 0).
//   cntl(3)     acceptance threshold on the reduction ratio (default 1e-4, in [0, 0.25)).
//   cntl(4)     pivot tolerance: a Cholesky pivot at most cntl(4) times its diagonal counts as
//               singular (default 1e-12, in [0, 1)).
//   cntl(5)     first relative shift mu of a singular factorisation (default 1e-10, > 0).
//   info(1)     outcome (0 while running, else as listed under iflag); info(2) evaluations;
//               info(3) accepted steps; info(4), info(5) the iw and w lengths needed;
//               info(6) factorisations; info(7) entries of the factor; info(8) factorisations
//               that needed a shift; info(9) rejected steps; info(10) pattern analyses.
//   rinfo(1)    |f| at the best point; rinfo(2) its gradient measure; rinfo(3) the trust radius;
//               rinfo(4) the last shift mu; rinfo(5) the last reduction ratio.
//   isave(130), rsave(72), lsave(10)   the method's state between calls; with iw and w they are
//               all of it, so copies of every array continue exactly as the original would.
#ifndef ORVO_SRC_KERNEL_NLE_NLE_KERNEL_HPP
#define ORVO_SRC_KERNEL_NLE_NLE_KERNEL_HPP

namespace Orvo {
namespace nle {

// iflag values on return.
constexpr int kEvaluate = 1;
constexpr int kConverged = 0;
constexpr int kEvaluationLimit = -1;
constexpr int kIntegerWorkspaceShort = -2;
constexpr int kWorkspaceShort = -3;
constexpr int kNoProgress = -4;
constexpr int kInvalid = -5;

// info(1) outcomes.
constexpr int kOutcomeRunning = 0;
constexpr int kOutcomeRoot = 1;
constexpr int kOutcomeStationary = 2;
constexpr int kOutcomeStepTooSmall = 3;
constexpr int kOutcomeNoReduction = 4;
constexpr int kOutcomeLimit = 5;
constexpr int kOutcomeInvalid = 6;

constexpr int kIsaveLength = 130;
constexpr int kRsaveLength = 72;
constexpr int kLsaveLength = 10;
constexpr int kIcntlLength = 5;
constexpr int kCntlLength = 5;
constexpr int kInfoLength = 10;
constexpr int kRinfoLength = 5;

}  // namespace nle
}  // namespace Orvo

// Defaults for the controls and cleared save areas.
void HSL_NS23ID(int* icntl, double* cntl, int* isave, double* rsave, int* lsave);
// One reverse-communication step (see above).
void HSL_NS23AD(const int* m, const int* n, const double* stopReal1, const double* stopReal2,
                const int* stopInt, int* kernelInt, int* jacobianRows, int* jacobianColumnStarts,
                double* auxValues, int* auxRows, int* auxColumnStarts, double* kernelReal, int* liw,
                int* iw, int* lw, double* w, double* x, double* f, double* jacobianValues,
                int* iflag, int* icntl, double* cntl, int* info, double* rinfo, int* isave,
                double* rsave, int* lsave);

#endif
