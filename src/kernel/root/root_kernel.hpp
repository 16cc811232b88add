// One-dimensional root finding, reverse communication: a zero of f from two starting abscissae.
//
// Every argument is passed by address:
//
//   state   on entry 0 starts a search from a and b; 1 continues after the caller has written
//           f(x) into val[0]; -1 says the caller could not evaluate at x (its callback threw),
//           and the kernel hands the same request back (state 1, same x) without changing
//           anything else. Any other value returns at once, changing nothing: a finished search
//           is never restarted. On return:
//             1  evaluate f at x, write the value into val[0] and call again with state 1;
//             2  converged: f(x) = 0 exactly, or x is an end of an enclosure of a sign change
//                that is at most delta wide (so the sign change lies within delta of x);
//             3  the evaluation limit was reached first; x is the best point so far (inside
//                the enclosure when there is one);
//             4  no sign change and no convergence from the two starting points: the secant
//                steps became flat, stalled (six steps without a smaller |f|), ran beyond
//                |x| = 1e300, or became shorter than delta / 2 twice in a row with a probe
//                0.95 delta beyond the first showing no sign change (a root of even
//                multiplicity, which then lies close to x, or a minimum of |f| above zero);
//                also a == b with f(a) != 0. x is the point of smallest |f| seen;
//             5  a non-finite value: f returned NaN or an infinity at x (val[0] holds it), or a
//                or b was not finite on the first call (x is that abscissa, val[0] is NaN);
//             6  the enclosure closed on a pole: the sign change lies at a point where |f|
//                grows as the enclosure shrinks (both final ends larger in magnitude than the
//                point they last replaced and than f at the starting points). x is the end of
//                smaller |f|.
//           After codes 2-4 and 6, val[0] holds f(x).
//   a, b    the two starting abscissae, read on the first call only and never written. With
//           f(a), f(b) of opposite signs the root is enclosed at once; otherwise the kernel
//           takes secant steps from them and encloses the root as soon as a sign change shows.
//   tol     absolute tolerance on x, read on the first call only. The enclosure is accepted at
//           delta = tol + 4 eps max(|a|, |b|) over its current ends (eps: machine precision), so
//           near a large root, or with tol <= 0 (negative and NaN act as 0), the search ends a
//           few units in the last place from it; it also ends when no double lies strictly
//           inside the enclosure.
//   x       on return with 1 the point to evaluate; on a final return the result.
//   val     NB01ValueLength doubles kept by the caller between the calls of a search: val[0]
//           carries f(x) into the kernel and f of the result out of it; val[1..] is the kernel's
//           save area (nothing else holds state between calls, so copying all seven arguments,
//           val's whole array included, copies a search in progress). The caller never writes
//           val[1..].
//   maxit   evaluation limit |maxit|, read on the first call only (f(a) and f(b) count; 0 ends
//           with 3 at once, x = a, val[0] = NaN).
//
// The method: with a sign change, the enclosing method of Alefeld, Potra and Shi (1995; two
// inverse cubic or Newton-quadratic interpolation steps, a double-length secant step and, when
// an iteration has not halved the enclosure, a bisection), every point strictly inside the
// current enclosure, which never grows. A point within 0.95 delta of an end is moved to that
// distance from it, so that an accurate estimate next to an end closes the enclosure with one
// evaluation. Without a sign change, secant steps from the last two points, each at most ten
// times the distance between them; a step shorter than delta / 2 is lengthened to a probe of
// 0.95 delta, so that a simple root approached from one side is enclosed and certified.
#ifndef ORVO_SRC_KERNEL_ROOT_ROOT_KERNEL_HPP
#define ORVO_SRC_KERNEL_ROOT_ROOT_KERNEL_HPP

// Length of the val array: the function value and the kernel's save area.
constexpr int NB01ValueLength = 24;

void HSL_NB01AD(int* state, double* a, double* b, double* tol, double* x, double* val, int* maxit);

#endif  // ORVO_SRC_KERNEL_ROOT_ROOT_KERNEL_HPP
