// Nonlinear solvers: an exponential decay fitted by Levenberg-Marquardt, and a constrained
// minimum found by sequential quadratic programming.
#include <cmath>
#include <cstdio>

#include <orvo/nonlinear.hpp>

namespace {

// Data y_i = 5 exp(-0.3 t_i) + 1 at t_i = 0 ... 9; fit (A, k, B).
struct DecayFit : Orvo::FunctorBase_AA, Orvo::FunctorBase_AM {
  void operator()(Orvo::mvlarray<double>& p, Orvo::mvlarray<double>& r) override {
    for (int i = 0; i < 10; ++i)
      r[i] = p[0] * std::exp(-p[1] * i) + p[2] - (5.0 * std::exp(-0.3 * i) + 1.0);
  }
  void operator()(Orvo::mvlarray<double>& p, Orvo::RMatrix& J) override {
    for (int i = 0; i < 10; ++i) {
      J(i, 0) = std::exp(-p[1] * i);
      J(i, 1) = -p[0] * i * std::exp(-p[1] * i);
      J(i, 2) = 1.0;
    }
  }
};

// Minimise (x0 - 2)^2 + (x1 - 1)^2 subject to x0 + x1 = 1: the minimum is at (1, 0).
struct Objective : Orvo::FunctorBase_AAretR {
  double operator()(Orvo::mvlarray<double>& x, Orvo::mvlarray<double>& g) override {
    g[0] = 2.0 * (x[0] - 2.0), g[1] = 2.0 * (x[1] - 1.0);
    return (x[0] - 2.0) * (x[0] - 2.0) + (x[1] - 1.0) * (x[1] - 1.0);
  }
};
struct Constraint : Orvo::FunctorBase_AAI {
  void operator()(Orvo::mvlarray<double>& x, Orvo::mvlarray<double>& c, Orvo::IMatrix& J) override {
    c[0] = x[0] + x[1] - 1.0;
    J.SetValue(0, 0, 1.0);
    J.SetValue(1, 0, 1.0);
  }
};

}  // namespace

int main() {
  DecayFit fit;
  Orvo::mvlarray<double> p(3);
  p[0] = 1.0, p[1] = 0.1, p[2] = 0.0;
  Orvo::lmderSolver lm(10, 3, p, 1e-12);
  lm.Solve(fit, fit, 200);
  std::printf("decay fit: A = %.6f, k = %.6f, B = %.6f\n", p[0], p[1], p[2]);

  Objective f;
  Constraint c;
  Orvo::mvlarray<double> x(2);
  x[0] = 0.0, x[1] = 0.0;
  Orvo::vf13Solver sqp(x, 1, 1, 1e-12, 100);
  const int code = sqp.Solve(f, c);
  std::printf("constrained minimum: code %d at (%.6f, %.6f)\n", code, x[0], x[1]);
  return std::fabs(p[1] - 0.3) < 1e-8 && code == 1 ? 0 : 1;
}
