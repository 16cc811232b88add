// Constrained minimisation by sequential quadratic programming, in reverse communication:
//
//     minimise f(x), x in R^n,  subject to  c_i(x) = 0 (i < meq),  c_i(x) >= 0 (meq <= i < m).
//
// Every argument is passed by address. The caller evaluates f, its gradient g, the constraints c
// and their gradients cn at x before every call:
//
//   n, m, meq  sizes: n >= 1, 0 <= meq <= m.
//   x          n values. On the first call the start; after a return with info 0 the point at
//              which to evaluate next; after any other return the best point found.
//   f, g       objective value and its n-element gradient at x. After a return with code 2 or 3
//              they are put back to the values at the best point.
//   c, cn      constraint values (m) and gradients: the gradient of c_i occupies
//              cn[i*lcn .. i*lcn + n - 1], i.e. column i of a column-major array with leading
//              dimension lcn. Not read when m = 0. c (not cn) is put back with f on codes 2, 3.
//   lcn        leading dimension of cn, >= n when m > 0.
//   maxfun     evaluations allowed, the one at the start included.
//   acc        accuracy: the run converges at a point where the constraints hold to acc (plus
//              rounding in the constraint values) and the quadratic subproblem's optimality
//              measure |g^T d| + sum_i |lambda_i c_i|, a bound on the first-order gain still
//              available in objective units, is at most acc.
//   iprint     <= 0 prints nothing; k > 0 prints one line to standard output every k iterations
//              and one at the end.
//   info       on entry -1 starts a new run from x; 0 continues after an evaluation at the x of
//              the last return; any other value returns at once, changing nothing. On return:
//                0 evaluate f, g, c, cn at x and call again with info still 0;
//                1 converged to the requested accuracy;
//                2 maxfun evaluations used;
//                3 no further progress possible: the line search found no acceptable point, or
//                  the quadratic subproblem could not be solved to the end;
//                4 the constraints cannot be met from here: the linearised constraints admit no
//                  step, and not even the step that only seeks feasibility reduces their
//                  weighted violation (x, the last accepted point, is a stationary point of the
//                  violation at which it is positive).
//                5 invalid arguments: n < 1, m < 0, meq < 0, meq > m, lcn < n with m > 0, lw too
//                  short, non-finite values at the start, or info 0 without a run in progress.
//                  Nothing is written except info.
//   w, lw      real workspace of lw >= SqpWorkspaceLength(n, m) doubles.
//   iw         integer workspace of n + 1 ints.
//
// Between calls the caller changes nothing but f, g, c and cn. Workspace layout (doubles):
//   [0, 14)                    scalars: stage, evaluations, iterations, step length, merit
//                              at the base point, its directional derivative, f at the base
//                              point, elastic-step flag, fresh-Hessian flag, optimality measure,
//                              rejected trials, constraint violation, rounding level of the merit
//                              function, weight of the elastic subproblem
//   14 + k*n, k = 0..19        n-vectors: base point x_k, g(x_k), search direction, Lagrangian
//                              gradient at x_k, five scratch vectors of the subproblem, B s, y,
//                              step, eight reserved
//   then 3 packed triangles    Hessian approximation B, its Cholesky factor U (B = U^T U), the
//                              subproblem's R; n (n + 1) / 2 each
//   then n * n                 the subproblem's J
//   then 6 m-vectors           c(x_k), multipliers, penalty weights, subproblem right-hand
//                              sides, subproblem residuals, active flags
// iw[0..n-1] holds the active constraints of the subproblem and iw[n] their number.
//
// The method: a quadratic model of the Lagrangian with a damped BFGS approximation of its Hessian
// (Powell's damping keeps it positive definite), a convex subproblem solved by the dual active-set
// method of Goldfarb and Idnani, and a backtracking line search on the exact (l1) penalty
// function f + sum_i mu_i |violation_i| with weights mu_i >= |lambda_i|. When the linearised
// constraints admit no step (typically far from the feasible set), the step comes from the
// elastic subproblem instead: the l1 penalty sum_i mu_i viol_i of the linearised constraints
// takes their place, each weight at least rho / |grad c_i|; rho is raised tenfold (up to eight
// times per iteration) until the step removes at least a tenth of the violation that the
// feasibility-only step (objective ignored) removes. That step descends on the same merit
// function; the normal subproblem is tried again at every new point.
#ifndef ORVO_SRC_KERNEL_SQP_SQP_KERNEL_HPP
#define ORVO_SRC_KERNEL_SQP_SQP_KERNEL_HPP

void HSL_VF13AD(const int* n, const int* m, const int* meq, double* x, double* f, double* g,
                double* c, double* cn, const int* lcn, const int* maxfun, const double* acc,
                const int* iprint, int* info, double* w, const int* lw, int* iw);

// Doubles of real workspace HSL_VF13AD needs: 6 m + n (5 n + 43) / 2 + 14; -1 when n < 1, m < 0
// or the length exceeds the int range.
int SqpWorkspaceLength(int n, int m);

#endif  // ORVO_SRC_KERNEL_SQP_SQP_KERNEL_HPP
