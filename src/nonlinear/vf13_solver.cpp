// Driver of the sequential quadratic programming kernel: owns its arrays and workspace, evaluates
// the caller's callbacks between kernel calls.
#include <algorithm>
#include <limits>

#include "common/array_helpers.hpp"
#include "kernel/sqp/sqp_kernel.hpp"
#include "orvo/nonlinear.hpp"

namespace Orvo {

namespace {

// 6 m + n (5 n + 43) / 2 + 14, computed without overflow. A length the int range cannot hold,
// or a negative one (m < 0), becomes 0: the kernel then rejects the workspace as too short
// instead of anything being written past it.
int WorkspaceLength(int n, int m) {
  const long long nn = std::max(n, 0);
  const long long length = 6LL * m + nn * (5 * nn + 43) / 2 + 14;
  if (length < 0 || length > std::numeric_limits<int>::max()) return 0;
  return static_cast<int>(length);
}

using detail::fill;

}  // namespace

vf13Solver::vf13Solver(mvlarray<double>& x_, int m_, int meq_, double acc_, int maxfun_)
    : n(x_.Length()),
      m(m_),
      meq(meq_),
      x(x_),
      g(n),
      c(std::max(1, m)),
      cn(n + 1, std::max(1, m)),
      lcn(n + 1),
      maxfun(maxfun_),
      acc(acc_),
      w(WorkspaceLength(n, m)),
      lw(w.Length()),
      iw(n + 1) {
  clearArrays();
}

vf13Solver::vf13Solver(mvlarray<double>& x_, double acc_, int maxfun_)
    : n(x_.Length()),
      m(0),
      meq(0),
      x(x_),
      g(n),
      c(1),
      cn(1, 1),
      lcn(n + 1),
      maxfun(maxfun_),
      acc(acc_),
      w(WorkspaceLength(n, 0)),
      lw(w.Length()),
      iw(n + 1) {
  clearArrays();
}

// The one-callback forms never evaluate constraints, yet on a solver built with m > 0 the kernel
// still reads c and cn: every array starts defined.
void vf13Solver::clearArrays() {
  fill(g, 0.0);
  fill(c, 0.0);
  cn = 0.0;
  fill(w, 0.0);
  fill(iw, 0);
}

vf13Solver::vf13Solver(const vf13Solver& other) = default;

int vf13Solver::callKernel() {
  HSL_VF13AD(&n, &m, &meq, x.Array(), &f, g.Array(), c.Array(), cn.Array(), &lcn, &maxfun, &acc,
             &iprint, &info, w.Array(), &lw, iw.Array());
  return info;
}

int vf13Solver::Solve(FunctorBase_AAretR& obj) {
  info = -1;
  // Without variables there is nothing to evaluate: the caller's callback is not asked to read
  // an empty x, and the kernel's verdict is given at once.
  if (n < 1) return info = InvalidArguments;
  f = obj(x, g);
  while (callKernel() == 0) f = obj(x, g);
  return info;
}

int vf13Solver::Solve(FunctorBase_AAretR& obj, FunctorBase_AAI& cons) {
  info = -1;
  if (n < 1) return info = InvalidArguments;
  f = obj(x, g);
  cons(x, c, cn);
  while (callKernel() == 0) {
    f = obj(x, g);
    cons(x, c, cn);
  }
  return info;
}

int vf13Solver::Cycle(FunctorBase_AAretR& obj) {
  f = obj(x, g);
  return callKernel();
}

int vf13Solver::Cycle(FunctorBase_AAretR& obj, FunctorBase_AAI& cons) {
  f = obj(x, g);
  cons(x, c, cn);
  return callKernel();
}

}  // namespace Orvo
