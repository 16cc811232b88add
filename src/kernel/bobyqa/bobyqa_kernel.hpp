// Bound-constrained derivative-free minimisation by quadratic interpolation models, in reverse
// communication:
//
//     minimise f(x), x in R^n,  subject to  xl <= x <= xu,
//
// after Powell's method of 2009. A quadratic model of f interpolates f at npt points; each
// iteration minimises the model within a trust region of radius delta intersected with the box
// (a truncated conjugate-gradient step followed by rotations along the active bounds), or, when
// the geometry of the points needs it, moves one point to where its Lagrange function is large.
// The model is updated by the least change in the Frobenius norm of its second derivative
// matrix that interpolates the new value, through an inverse of the interpolation system kept in
// factored form. The lower bound rho on delta falls from rhobeg to rhoend. When rounding has
// damaged the inverse, the points are re-chosen around the best one from a well-conditioned
// provisional set ("rescue"), keeping those that can be reinstated.
//
// Arguments (all by address except messageLength). "In" arguments are read on the first call
// (task 0) only and kept in the workspace; later calls ignore their values.
//
//    1 x        n values. On the first call the start (moved into the box, and at least rhobeg
//               away from a bound or onto it); on a return with task 1 the point at which the
//               caller evaluates f; on any other non-negative return the best point found.
//               Every x handed out satisfies xl <= x <= xu exactly. Not read after the start.
//    2 f        Written by the caller: f(x) at the x of the last return with task 1. On a
//               finishing return the best value found.
//    3 n        in: number of variables, n >= 1.
//    4 xl, 5 xu in: n lower and upper bounds (finite), xl <= xu, and xu - xl >= 2 rhobeg.
//    6 npt      in: number of interpolation points, n + 2 <= npt <= (n + 1)(n + 2) / 2; 2n + 1
//               is recommended.
//    7 w        real workspace; holds the whole state of the run between calls.
//    8 lw       its length: lw >= BobyqaRealWorkspaceLength(n, npt) =
//                   kBobyqaRealScalars + npt (npt + n + 5) + n (3 n + 43) / 2
//               e.g. 7.5 n^2 + 36.5 n + 46 for npt = 2 n + 1.
//    9 iw       integer workspace; holds the counters of the run.
//   10 task     on entry: 0 starts a new run from x; 1 continues after the caller has written f
//               for the last x; any other value returns at once, changing nothing. On return:
//                 1  evaluate f at x, write it to f and call again with task 1;
//                 2  finished: rho reached rhoend and no further model step is worthwhile;
//                 3  finished: maxfun evaluations made (x, f the best so far);
//                 4  finished early: rounding errors prevent further progress (the model step
//                    predicts no decrease, or the interpolation update stays ill-conditioned
//                    after the points have been re-chosen); x, f the best so far;
//                 5  finished: an evaluated f was at most *ftarget (argument 26);
//                -1  n < 1, or npt outside [n + 2, (n + 1)(n + 2) / 2];
//                -2  a bound not finite, or xl > xu for some variable;
//                -3  xu - xl < 2 rhobeg for some variable (nothing is evaluated);
//                -4  rhobeg or rhoend not finite, rhoend <= 0 or rhobeg < rhoend;
//                -5  maxfun < npt + 1;
//                -6  lw too short;
//                -7  liw too short;
//                -8  a non-finite start value in x;
//                -9  f not finite at the first point (no reference value for a substitute);
//               -10  task 1 without a run in progress, or a workspace that does not belong to
//                    a run with these n and npt.
//               On errors -1 ... -8 nothing but task and the message is written.
//   11 liw      length of iw: liw >= BobyqaIntWorkspaceLength(npt) = kBobyqaIntScalars + 3 npt.
//   12 maxfun   in: evaluations allowed, maxfun >= npt + 1 (the initial model takes npt).
//   13 fhist    history of values: fhist[k] receives the f the caller returned for evaluation k
//               (0-based, exactly as given, non-finite values included) for k < *lfhist.
//   14 lfhist   its length (>= 0; fhist may be null when 0).
//   15 counts   counters written on every return, the first min(*lcounts, 7) of: evaluations
//               made, trust-region steps, geometry steps, rescues, reductions of rho,
//               non-finite values received, and the kind of the point in x (0 initial
//               interpolation point, 1 trust-region step, 2 geometry step, 3 rescue point,
//               4 final short step, -1 none).
//   16 lcounts  its length (>= 0).
//   17 rstate   written on every return after the start, the first min(*lrstate, 5) of: rho,
//               delta, the best f so far, the last reduction ratio of a trust-region step, and
//               the value used in place of a non-finite f (0 before any).
//   18 lrstate  its length (>= 0).
//   19 khist    kind of each evaluation (codes as counts[6]) for k < *lkhist.
//   20 lkhist   its length (>= 0).
//   21 xhist    points of the evaluations: evaluation k in xhist[k n .. k n + n - 1] for
//               (k + 1) n <= *lxhist.
//   22 lxhist   its length (>= 0).
//   23, 24      reserved: neither read nor written.
//   25 xbest    if not null and not x itself, the best point so far (n values) is written on
//               every return after the first evaluation.
//   26 ftarget  if not null, the run finishes with task 5 as soon as an evaluated f <= *ftarget.
//   27 rhobeg   in: initial trust-region radius, about a tenth of the greatest expected change
//               of a variable.
//   28 msglevel in: 0 writes "evaluate" on evaluation requests, 1 adds the kind of point, the
//               count, rho and the best value. Finishes and errors always give a full message.
//   29 ... 35   reserved: not read.
//   36 rhoend   in: final value of rho, the accuracy required in the variables.
//   37 message  buffer receiving a NUL-terminated status message on every return (truncated to
//               messageLength - 1 characters); may be null when messageLength is 0.
//   38 messageLength  its length, by value.
//
// The arrays must not overlap one another (xbest equal to x is ignored). Between calls the
// caller changes nothing but f, and may copy w and iw: a run continued from copies of w and iw
// makes exactly the requests the original would. The arrays of arguments 13-22 and 25 may be
// different from call to call.
//
// Non-finite values: a NaN or infinite f is replaced, where it is received, by a value above
// every finite value of the run: fmax + max(1, |fmax|, fmax - fmin) over the finite values so
// far (fmax itself where that would overflow). Such a point thus never becomes the best one and is
// never returned as best; the count is in counts[5] and the value used in rstate[4]. A non-finite
// value at the very first point ends the run with task -9.
//
// Workspace layout (doubles): kBobyqaRealScalars scalars of the run, then xbase (n), the points
// relative to xbase (npt x n, point after point), their values (npt), xopt (n), the model gradient
// at xopt (n), its explicit second derivatives (n (n + 1) / 2, packed upper triangle by columns),
// its implicit ones (npt), the matrices B ((npt + n) x n) and Z (npt x (npt - n - 1)) of the
// inverse, the shifted bounds (2 n), the trial point, the alternative point and the step (3 n), the
// Lagrange values (npt + n), scratch of 2 npt + n, and the scratch of the trust-region step (5 n),
// the geometry step (npt + 4 n) and the rescue (2 n). iw holds kBobyqaIntScalars counters, then
// the provisional point identities of the rescue (3 npt).
#ifndef ORVO_SRC_KERNEL_BOBYQA_BOBYQA_KERNEL_HPP
#define ORVO_SRC_KERNEL_BOBYQA_BOBYQA_KERNEL_HPP

#include <cstdint>

constexpr int kBobyqaRealScalars = 40;
constexpr int kBobyqaIntScalars = 32;

void BQA_OPTBQA(double* x, double* f, int* n, double* xl, double* xu, int* npt, double* w, int* lw,
                int* iw, int* task, int* liw, int* maxfun, double* fhist, int* lfhist, int* counts,
                int* lcounts, double* rstate, int* lrstate, int* khist, int* lkhist, double* xhist,
                int* lxhist, int* reserved23, int* reserved24, double* xbest, double* ftarget,
                double* rhobeg, int* msglevel, int* reserved29, int* reserved30, int* reserved31,
                int* reserved32, int* reserved33, int* reserved34, int* reserved35, double* rhoend,
                char* message, std::uint64_t messageLength);

// Doubles of real workspace for n variables and npt points (formula above); -1 when n < 1, npt
// is outside its range, or the length exceeds the int range.
int BobyqaRealWorkspaceLength(int n, int npt);
// Ints of integer workspace for npt points: kBobyqaIntScalars + 3 npt; -1 when npt < 3 or the
// length exceeds the int range.
int BobyqaIntWorkspaceLength(int npt);

#endif  // ORVO_SRC_KERNEL_BOBYQA_BOBYQA_KERNEL_HPP
