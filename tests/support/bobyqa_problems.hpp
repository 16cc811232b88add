// Bound-constrained test problems for the derivative-free optimiser, with known optimal values:
// Rosenbrock's function with and without an active bound, a convex quadratic whose minimiser
// has several components on the bounds, the energy of points on the unit sphere (the Thomson
// problem, in spherical coordinates), and least-squares problems of the Moré–Garbow–Hillstrom
// collection (as used in the Moré–Wild derivative-free benchmark) within boxes that contain
// their published minimisers. Shared by the tests and the benchmark.
#ifndef ORVO_TESTS_BOBYQA_PROBLEMS_HPP
#define ORVO_TESTS_BOBYQA_PROBLEMS_HPP

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "mgh_problems.hpp"

namespace bobyqa_problems {

struct Problem {
  std::string name;
  int n = 0;
  std::vector<double> start, xl, xu;
  double rhobeg = 0.1;
  double fstar = 0.0;  // optimal value within the bounds
  int budget = 0;      // evaluations allowed
  std::function<double(const double*)> f;
};

// The accuracy asked of every run: f* + 1e-6 max(1, |f*|).
inline double Threshold(const Problem& p) {
  return p.fstar + 1.0e-6 * std::max(1.0, std::abs(p.fstar));
}

inline double ChainedRosenbrock(int n, const double* x) {
  double f = 0.0;
  for (int i = 0; i + 1 < n; ++i) {
    const double a = x[i + 1] - x[i] * x[i], b = 1.0 - x[i];
    f += 100.0 * a * a + b * b;
  }
  return f;
}

inline Problem Rosenbrock(int n, double lower, double upper) {
  Problem p;
  p.n = n;
  p.name = "Rosenbrock" + std::to_string(n);
  for (int i = 0; i < n; ++i) p.start.push_back(i % 2 == 0 ? -1.2 : 1.0);
  p.xl.assign(n, lower);
  p.xu.assign(n, upper);
  p.rhobeg = 0.1;
  p.budget = 400 * n;
  p.f = [n](const double* x) { return ChainedRosenbrock(n, x); };
  return p;
}

// Rosenbrock's function with x1 <= 1/2: the minimum (1 - a)^2 lies at (a, a^2) on the bound,
// since f >= (1 - x1)^2 > (1 - a)^2 whenever x1 < a.
inline Problem RosenbrockActiveBound() {
  Problem p = Rosenbrock(2, -2.0, 2.0);
  p.name = "Rosenbrock2Bounded";
  p.xu[0] = 0.5;
  p.fstar = 0.25;
  return p;
}

// f(x) = (x - x*)^T H (x - x*) / 2 + g^T (x - x*), H positive definite, with g_i > 0 where x*_i
// is at its lower bound, g_i < 0 at its upper bound and g_i = 0 in between: x* satisfies the
// optimality conditions of the box, so it is the unique minimiser and f* = 0.
inline Problem QuadraticOnBounds() {
  constexpr int n = 6;
  Problem p;
  p.name = "QuadraticOnBounds";
  p.n = n;
  p.xl = {-1.0, -1.0, -1.0, 0.0, -2.0, -1.0};
  p.xu = {1.0, 1.0, 1.0, 3.0, 2.0, 1.0};
  const std::vector<double> xstar = {-1.0, 1.0, 0.3, 0.0, 2.0, -0.2};
  const std::vector<double> g = {2.0, -1.5, 0.0, 0.5, -3.0, 0.0};
  // H = A^T A + I with a fixed, well-mixed A.
  std::vector<double> H(n * n, 0.0);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      double sum = i == j ? 1.0 : 0.0;
      for (int k = 0; k < n; ++k) sum += std::sin(1.0 + k + 2.0 * i) * std::sin(1.0 + k + 2.0 * j);
      H[i + j * n] = sum;
    }
  p.start = {0.5, -0.5, 0.9, 2.5, 0.0, 0.8};
  p.rhobeg = 0.2;
  p.budget = 500;
  p.f = [H, xstar, g](const double* x) {
    double f = 0.0;
    for (int i = 0; i < n; ++i) {
      const double di = x[i] - xstar[i];
      f += g[i] * di;
      for (int j = 0; j < n; ++j) f += 0.5 * di * H[i + j * n] * (x[j] - xstar[j]);
    }
    return f;
  };
  return p;
}

// m points on the unit sphere at polar angle theta_i in [0, pi] and azimuth phi_i in [-pi, pi]
// (n = 2 m variables), minimising the sum of reciprocal distances. Published minimal energies of
// the Thomson problem: m = 5: 6.474691495, m = 10: 32.716949460.
inline Problem SpherePoints(int m) {
  Problem p;
  p.n = 2 * m;
  p.name = "SpherePoints" + std::to_string(p.n);
  const double pi = 3.14159265358979323846;
  for (int i = 0; i < m; ++i) {
    p.start.push_back(pi * (i + 0.5) / m);
    p.start.push_back(std::remainder(2.399963229728653 * i, 2.0 * pi));  // golden angle
    p.xl.push_back(0.0);
    p.xl.push_back(-pi);
    p.xu.push_back(pi);
    p.xu.push_back(pi);
  }
  p.fstar = m == 5 ? 6.474691495 : 32.716949460;
  p.rhobeg = 0.1;
  p.budget = 400 * p.n;
  p.f = [m](const double* x) {
    std::vector<double> c(3 * m);
    for (int i = 0; i < m; ++i) {
      c[3 * i] = std::sin(x[2 * i]) * std::cos(x[2 * i + 1]);
      c[3 * i + 1] = std::sin(x[2 * i]) * std::sin(x[2 * i + 1]);
      c[3 * i + 2] = std::cos(x[2 * i]);
    }
    double f = 0.0;
    for (int i = 0; i < m; ++i)
      for (int j = 0; j < i; ++j) {
        const double dx = c[3 * i] - c[3 * j], dy = c[3 * i + 1] - c[3 * j + 1],
                     dz = c[3 * i + 2] - c[3 * j + 2];
        f += 1.0 / std::sqrt(std::max(dx * dx + dy * dy + dz * dz, 1.0e-12));
      }
    return f;
  };
  return p;
}

// A Moré–Garbow–Hillstrom least-squares problem, f = sum of squared residuals, in a box.
inline Problem LeastSquares(const std::string& name, std::vector<double> xl, std::vector<double> xu,
                            double fstar, double rhobeg) {
  for (const mgh::Problem& q : mgh::all()) {
    if (q.name != name) continue;
    Problem p;
    p.name = name;
    p.n = q.n;
    p.start = q.start;
    p.xl = std::move(xl);
    p.xu = std::move(xu);
    p.fstar = fstar;
    p.rhobeg = rhobeg;
    p.budget = 500 * (q.n + 1);
    const int m = q.m, n = q.n;
    const mgh::Residuals residuals = q.residuals;
    p.f = [m, n, residuals](const double* x) {
      std::vector<double> r(m);
      residuals(m, n, x, r.data());
      double f = 0.0;
      for (double v : r) f += v * v;
      return f;
    };
    return p;
  }
  return Problem{};
}

// Boxes around the start and the published minimiser (optimal values from Moré, Garbow and
// Hillstrom, 1981; the linear rank-1 value is m (m - 1) / (2 (2 m + 1)) = 15 / 7 for m = 10).
inline std::vector<Problem> LeastSquaresSet() {
  auto box = [](int n, double lo, double hi) {
    return std::make_pair(std::vector<double>(n, lo), std::vector<double>(n, hi));
  };
  std::vector<Problem> set;
  auto add = [&set](const std::string& name, std::pair<std::vector<double>, std::vector<double>> b,
                    double fstar, double rhobeg) {
    set.push_back(LeastSquares(name, b.first, b.second, fstar, rhobeg));
  };
  add("Beale", box(2, -4.5, 4.5), 0.0, 0.5);
  add("HelicalValley", box(3, -2.0, 2.0), 0.0, 0.2);
  add("Bard", box(3, 0.0, 5.0), 8.21487e-3, 0.2);
  add("Gaussian", {{0.0, 0.5, -0.5}, {1.0, 1.5, 0.5}}, 1.12793e-8, 0.05);
  add("Box3D", {{0.0, 5.0, 0.5}, {2.0, 15.0, 20.0}}, 0.0, 0.2);
  add("PowellSingular", box(4, -4.0, 4.0), 0.0, 0.2);
  add("KowalikOsborne", box(4, 0.0, 1.0), 3.07505e-4, 0.05);
  add("Watson6", box(6, -2.0, 2.0), 2.28767e-3, 0.2);
  add("LinearFullRank", box(5, -2.0, 2.0), 5.0, 0.2);
  add("LinearRank1", box(5, -2.0, 2.0), 15.0 / 7.0, 0.2);
  add("BrownAlmostLinear", box(10, 0.0, 2.0), 0.0, 0.1);
  return set;
}

}  // namespace bobyqa_problems

#endif  // ORVO_TESTS_BOBYQA_PROBLEMS_HPP
