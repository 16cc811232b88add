// Driver of the one-dimensional root finder: holds the kernel's seven arguments (the last one
// with the kernel's save area behind the function value) and answers its requests through the
// caller's callbacks.
#include <cstdlib>
#include <limits>

#include "kernel/root/root_kernel.hpp"
#include "orvo/nonlinear.hpp"

namespace Orvo {

SecantSolver::SecantSolver(double a, double b, double tol, int maxit)
    : maxit_(maxit), state_(Start), tol_(tol), a_(a), b_(b) {
  static_assert(kValueLength == NB01ValueLength, "the kernel's save area must fit");
  val_[0] = std::numeric_limits<double>::quiet_NaN();
  for (int i = 1; i < kValueLength; ++i) val_[i] = 0.0;
}

long long SecantSolver::cycleBudget() const {
  return std::llabs(maxit_) + 2LL;
}

double SecantSolver::Cycle(FunctorBase_RretR& fun) {
  HSL_NB01AD(&state_, &a_, &b_, &tol_, &x_, val_, &maxit_);
  if (state_ == Evaluate) {
    // Marked until the value is in, so that an exception leaves the request to be repeated.
    state_ = Interrupted;
    const double fx = fun(x_);
    val_[0] = fx;
    state_ = Evaluate;
  }
  return x_;
}

int SecantSolver::Cycle(FunctorBase_AA& fun) {
  mvlarray<double> point(1);
  mvlarray<double> result(1);
  HSL_NB01AD(&state_, &a_, &b_, &tol_, &x_, val_, &maxit_);
  if (state_ == Evaluate) {
    point[0] = x_;
    result[0] = std::numeric_limits<double>::quiet_NaN();
    state_ = Interrupted;
    fun(point, result);
    val_[0] = result[0];
    state_ = Evaluate;
  }
  return state_;
}

double SecantSolver::Solve(FunctorBase_RretR& fun) {
  const long long budget = cycleBudget();
  for (long long k = 0; k < budget; ++k) {
    Cycle(fun);
    if (state_ > Evaluate) break;
  }
  return x_;
}

double SecantSolver::Solve(FunctorBase_AA& fun) {
  const long long budget = cycleBudget();
  for (long long k = 0; k < budget; ++k) {
    if (Cycle(fun) > Evaluate) break;
  }
  return x_;
}

}  // namespace Orvo
