// Test problems for the constrained optimiser: Hock and Schittkowski, "Test Examples for Nonlinear
// Programming Codes" (Springer, 1981), with their standard starts and published optima, plus a few
// unconstrained classics. Shared by the kernel tests and the benchmark; constraints follow the
// optimiser's convention (the first meq are c_i(x) = 0, the rest c_i(x) >= 0), simple bounds
// included among the inequalities.
#ifndef ORVO_TESTS_SUPPORT_SQP_PROBLEMS_HPP
#define ORVO_TESTS_SUPPORT_SQP_PROBLEMS_HPP

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace sqp_problems {

struct Problem {
  std::string name;
  int n = 0;
  int m = 0;
  int meq = 0;
  std::vector<double> start;
  double optimum = 0.0;  // published optimal value
  // f(x), writing the gradient into g.
  double (*objective)(const double* x, double* g) = nullptr;
  // c(x) into c and the gradient of c_i into cn[i * ldc .. i * ldc + n - 1].
  void (*constraints)(const double* x, double* c, double* cn, int ldc) = nullptr;
  // Published minimiser (to place starting points around it); empty where not needed.
  std::vector<double> solution = {};
};

// Rosenbrock's function of n variables, sum of 100 (x_{i+1} - x_i^2)^2 + (1 - x_i)^2, with its
// gradient written into g; minimum 0 at (1, ..., 1).
inline double Rosenbrock(const double* x, double* g, int n) {
  double f = 0.0;
  for (int i = 0; i < n; ++i) g[i] = 0.0;
  for (int i = 0; i + 1 < n; ++i) {
    const double a = x[i + 1] - x[i] * x[i], b = 1.0 - x[i];
    f += 100.0 * a * a + b * b;
    g[i] += -400.0 * a * x[i] - 2.0 * b;
    g[i + 1] += 200.0 * a;
  }
  return f;
}

// Appends the bound constraints lo <= x_j (lower) and x_j <= hi (upper) for variable j.
inline void Lower(const double* x, int j, double lo, double*& c, double*& cn, int ldc, int n) {
  *c++ = x[j] - lo;
  for (int k = 0; k < n; ++k) cn[k] = 0.0;
  cn[j] = 1.0;
  cn += ldc;
}
inline void Upper(const double* x, int j, double hi, double*& c, double*& cn, int ldc, int n) {
  *c++ = hi - x[j];
  for (int k = 0; k < n; ++k) cn[k] = 0.0;
  cn[j] = -1.0;
  cn += ldc;
}

inline std::vector<Problem> HockSchittkowski() {
  std::vector<Problem> set;

  set.push_back({"HS6",
                 2,
                 1,
                 1,
                 {-1.2, 1.0},
                 0.0,
                 [](const double* x, double* g) {
                   g[0] = -2.0 * (1.0 - x[0]);
                   g[1] = 0.0;
                   return (1.0 - x[0]) * (1.0 - x[0]);
                 },
                 [](const double* x, double* c, double* cn, int) {
                   c[0] = 10.0 * (x[1] - x[0] * x[0]);
                   cn[0] = -20.0 * x[0];
                   cn[1] = 10.0;
                 },
                 {1.0, 1.0}});

  set.push_back({"HS7",
                 2,
                 1,
                 1,
                 {2.0, 2.0},
                 -std::sqrt(3.0),
                 [](const double* x, double* g) {
                   g[0] = 2.0 * x[0] / (1.0 + x[0] * x[0]);
                   g[1] = -1.0;
                   return std::log(1.0 + x[0] * x[0]) - x[1];
                 },
                 [](const double* x, double* c, double* cn, int) {
                   const double s = 1.0 + x[0] * x[0];
                   c[0] = s * s + x[1] * x[1] - 4.0;
                   cn[0] = 4.0 * s * x[0];
                   cn[1] = 2.0 * x[1];
                 },
                 {0.0, std::sqrt(3.0)}});

  set.push_back({"HS10",
                 2,
                 1,
                 0,
                 {-10.0, 10.0},
                 -1.0,
                 [](const double* x, double* g) {
                   g[0] = 1.0;
                   g[1] = -1.0;
                   return x[0] - x[1];
                 },
                 [](const double* x, double* c, double* cn, int) {
                   c[0] = -3.0 * x[0] * x[0] + 2.0 * x[0] * x[1] - x[1] * x[1] + 1.0;
                   cn[0] = -6.0 * x[0] + 2.0 * x[1];
                   cn[1] = 2.0 * x[0] - 2.0 * x[1];
                 },
                 {0.0, 1.0}});

  set.push_back({"HS12",
                 2,
                 1,
                 0,
                 {0.0, 0.0},
                 -30.0,
                 [](const double* x, double* g) {
                   g[0] = x[0] - x[1] - 7.0;
                   g[1] = 2.0 * x[1] - x[0] - 7.0;
                   return 0.5 * x[0] * x[0] + x[1] * x[1] - x[0] * x[1] - 7.0 * x[0] - 7.0 * x[1];
                 },
                 [](const double* x, double* c, double* cn, int) {
                   c[0] = 25.0 - 4.0 * x[0] * x[0] - x[1] * x[1];
                   cn[0] = -8.0 * x[0];
                   cn[1] = -2.0 * x[1];
                 },
                 {2.0, 3.0}});

  set.push_back({"HS14",
                 2,
                 2,
                 1,
                 {2.0, 2.0},
                 9.0 - 2.875 * std::sqrt(7.0),
                 [](const double* x, double* g) {
                   g[0] = 2.0 * (x[0] - 2.0);
                   g[1] = 2.0 * (x[1] - 1.0);
                   return (x[0] - 2.0) * (x[0] - 2.0) + (x[1] - 1.0) * (x[1] - 1.0);
                 },
                 [](const double* x, double* c, double* cn, int ldc) {
                   c[0] = x[0] - 2.0 * x[1] + 1.0;
                   cn[0] = 1.0;
                   cn[1] = -2.0;
                   c[1] = -0.25 * x[0] * x[0] - x[1] * x[1] + 1.0;
                   cn[ldc] = -0.5 * x[0];
                   cn[ldc + 1] = -2.0 * x[1];
                 },
                 {0.5 * (std::sqrt(7.0) - 1.0), 0.25 * (std::sqrt(7.0) + 1.0)}});

  set.push_back({"HS21",
                 2,
                 5,
                 0,
                 {-1.0, -1.0},
                 -99.96,
                 [](const double* x, double* g) {
                   g[0] = 0.02 * x[0];
                   g[1] = 2.0 * x[1];
                   return 0.01 * x[0] * x[0] + x[1] * x[1] - 100.0;
                 },
                 [](const double* x, double* c, double* cn, int ldc) {
                   c[0] = 10.0 * x[0] - x[1] - 10.0;
                   cn[0] = 10.0;
                   cn[1] = -1.0;
                   double* cp = c + 1;
                   double* gp = cn + ldc;
                   Lower(x, 0, 2.0, cp, gp, ldc, 2);
                   Upper(x, 0, 50.0, cp, gp, ldc, 2);
                   Lower(x, 1, -50.0, cp, gp, ldc, 2);
                   Upper(x, 1, 50.0, cp, gp, ldc, 2);
                 },
                 {2.0, 0.0}});

  set.push_back({"HS28",
                 3,
                 1,
                 1,
                 {-4.0, 1.0, 1.0},
                 0.0,
                 [](const double* x, double* g) {
                   const double a = x[0] + x[1], b = x[1] + x[2];
                   g[0] = 2.0 * a;
                   g[1] = 2.0 * a + 2.0 * b;
                   g[2] = 2.0 * b;
                   return a * a + b * b;
                 },
                 [](const double* x, double* c, double* cn, int) {
                   c[0] = x[0] + 2.0 * x[1] + 3.0 * x[2] - 1.0;
                   cn[0] = 1.0;
                   cn[1] = 2.0;
                   cn[2] = 3.0;
                 },
                 {0.5, -0.5, 0.5}});

  set.push_back({"HS35",
                 3,
                 4,
                 0,
                 {0.5, 0.5, 0.5},
                 1.0 / 9.0,
                 [](const double* x, double* g) {
                   g[0] = -8.0 + 4.0 * x[0] + 2.0 * x[1] + 2.0 * x[2];
                   g[1] = -6.0 + 4.0 * x[1] + 2.0 * x[0];
                   g[2] = -4.0 + 2.0 * x[2] + 2.0 * x[0];
                   return 9.0 - 8.0 * x[0] - 6.0 * x[1] - 4.0 * x[2] + 2.0 * x[0] * x[0] +
                          2.0 * x[1] * x[1] + x[2] * x[2] + 2.0 * x[0] * x[1] + 2.0 * x[0] * x[2];
                 },
                 [](const double* x, double* c, double* cn, int ldc) {
                   c[0] = 3.0 - x[0] - x[1] - 2.0 * x[2];
                   cn[0] = -1.0;
                   cn[1] = -1.0;
                   cn[2] = -2.0;
                   double* cp = c + 1;
                   double* gp = cn + ldc;
                   for (int j = 0; j < 3; ++j) Lower(x, j, 0.0, cp, gp, ldc, 3);
                 },
                 {4.0 / 3.0, 7.0 / 9.0, 4.0 / 9.0}});

  set.push_back({"HS39",
                 4,
                 2,
                 2,
                 {2.0, 2.0, 2.0, 2.0},
                 -1.0,
                 [](const double* x, double* g) {
                   g[0] = -1.0;
                   g[1] = g[2] = g[3] = 0.0;
                   return -x[0];
                 },
                 [](const double* x, double* c, double* cn, int ldc) {
                   c[0] = x[1] - x[0] * x[0] * x[0] - x[2] * x[2];
                   cn[0] = -3.0 * x[0] * x[0];
                   cn[1] = 1.0;
                   cn[2] = -2.0 * x[2];
                   cn[3] = 0.0;
                   c[1] = x[0] * x[0] - x[1] - x[3] * x[3];
                   cn[ldc] = 2.0 * x[0];
                   cn[ldc + 1] = -1.0;
                   cn[ldc + 2] = 0.0;
                   cn[ldc + 3] = -2.0 * x[3];
                 },
                 {1.0, 1.0, 0.0, 0.0}});

  set.push_back({"HS40",
                 4,
                 3,
                 3,
                 {0.8, 0.8, 0.8, 0.8},
                 -0.25,
                 [](const double* x, double* g) {
                   g[0] = -x[1] * x[2] * x[3];
                   g[1] = -x[0] * x[2] * x[3];
                   g[2] = -x[0] * x[1] * x[3];
                   g[3] = -x[0] * x[1] * x[2];
                   return -x[0] * x[1] * x[2] * x[3];
                 },
                 [](const double* x, double* c, double* cn, int ldc) {
                   c[0] = x[0] * x[0] * x[0] + x[1] * x[1] - 1.0;
                   cn[0] = 3.0 * x[0] * x[0];
                   cn[1] = 2.0 * x[1];
                   cn[2] = cn[3] = 0.0;
                   c[1] = x[0] * x[0] * x[3] - x[2];
                   cn[ldc] = 2.0 * x[0] * x[3];
                   cn[ldc + 1] = 0.0;
                   cn[ldc + 2] = -1.0;
                   cn[ldc + 3] = x[0] * x[0];
                   c[2] = x[3] * x[3] - x[1];
                   cn[2 * ldc] = 0.0;
                   cn[2 * ldc + 1] = -1.0;
                   cn[2 * ldc + 2] = 0.0;
                   cn[2 * ldc + 3] = 2.0 * x[3];
                 },
                 {std::pow(2.0, -1.0 / 3.0), std::pow(2.0, -0.5), std::pow(2.0, -11.0 / 12.0),
                  std::pow(2.0, -0.25)}});

  set.push_back({"HS43",
                 4,
                 3,
                 0,
                 {0.0, 0.0, 0.0, 0.0},
                 -44.0,
                 [](const double* x, double* g) {
                   g[0] = 2.0 * x[0] - 5.0;
                   g[1] = 2.0 * x[1] - 5.0;
                   g[2] = 4.0 * x[2] - 21.0;
                   g[3] = 2.0 * x[3] + 7.0;
                   return x[0] * x[0] + x[1] * x[1] + 2.0 * x[2] * x[2] + x[3] * x[3] - 5.0 * x[0] -
                          5.0 * x[1] - 21.0 * x[2] + 7.0 * x[3];
                 },
                 [](const double* x, double* c, double* cn, int ldc) {
                   c[0] = 8.0 - x[0] * x[0] - x[1] * x[1] - x[2] * x[2] - x[3] * x[3] - x[0] +
                          x[1] - x[2] + x[3];
                   cn[0] = -2.0 * x[0] - 1.0;
                   cn[1] = -2.0 * x[1] + 1.0;
                   cn[2] = -2.0 * x[2] - 1.0;
                   cn[3] = -2.0 * x[3] + 1.0;
                   c[1] = 10.0 - x[0] * x[0] - 2.0 * x[1] * x[1] - x[2] * x[2] - 2.0 * x[3] * x[3] +
                          x[0] + x[3];
                   cn[ldc] = -2.0 * x[0] + 1.0;
                   cn[ldc + 1] = -4.0 * x[1];
                   cn[ldc + 2] = -2.0 * x[2];
                   cn[ldc + 3] = -4.0 * x[3] + 1.0;
                   c[2] = 5.0 - 2.0 * x[0] * x[0] - x[1] * x[1] - x[2] * x[2] - 2.0 * x[0] + x[1] +
                          x[3];
                   cn[2 * ldc] = -4.0 * x[0] - 2.0;
                   cn[2 * ldc + 1] = -2.0 * x[1] + 1.0;
                   cn[2 * ldc + 2] = -2.0 * x[2];
                   cn[2 * ldc + 3] = 1.0;
                 },
                 {0.0, 1.0, 2.0, -1.0}});

  set.push_back({"HS48",
                 5,
                 2,
                 2,
                 {3.0, 5.0, -3.0, 2.0, -2.0},
                 0.0,
                 [](const double* x, double* g) {
                   g[0] = 2.0 * (x[0] - 1.0);
                   g[1] = 2.0 * (x[1] - x[2]);
                   g[2] = -g[1];
                   g[3] = 2.0 * (x[3] - x[4]);
                   g[4] = -g[3];
                   return (x[0] - 1.0) * (x[0] - 1.0) + (x[1] - x[2]) * (x[1] - x[2]) +
                          (x[3] - x[4]) * (x[3] - x[4]);
                 },
                 [](const double* x, double* c, double* cn, int ldc) {
                   c[0] = x[0] + x[1] + x[2] + x[3] + x[4] - 5.0;
                   c[1] = x[2] - 2.0 * (x[3] + x[4]) + 3.0;
                   const double a0[5] = {1, 1, 1, 1, 1}, a1[5] = {0, 0, 1, -2, -2};
                   for (int j = 0; j < 5; ++j) {
                     cn[j] = a0[j];
                     cn[ldc + j] = a1[j];
                   }
                 },
                 {1.0, 1.0, 1.0, 1.0, 1.0}});

  set.push_back({"HS71",
                 4,
                 10,
                 1,
                 {1.0, 5.0, 5.0, 1.0},
                 17.0140173,
                 [](const double* x, double* g) {
                   const double s = x[0] + x[1] + x[2];
                   g[0] = x[3] * s + x[0] * x[3];
                   g[1] = x[0] * x[3];
                   g[2] = x[0] * x[3] + 1.0;
                   g[3] = x[0] * s;
                   return x[0] * x[3] * s + x[2];
                 },
                 [](const double* x, double* c, double* cn, int ldc) {
                   c[0] = x[0] * x[0] + x[1] * x[1] + x[2] * x[2] + x[3] * x[3] - 40.0;
                   for (int j = 0; j < 4; ++j) cn[j] = 2.0 * x[j];
                   c[1] = x[0] * x[1] * x[2] * x[3] - 25.0;
                   cn[ldc] = x[1] * x[2] * x[3];
                   cn[ldc + 1] = x[0] * x[2] * x[3];
                   cn[ldc + 2] = x[0] * x[1] * x[3];
                   cn[ldc + 3] = x[0] * x[1] * x[2];
                   double* cp = c + 2;
                   double* gp = cn + 2 * ldc;
                   for (int j = 0; j < 4; ++j) {
                     Lower(x, j, 1.0, cp, gp, ldc, 4);
                     Upper(x, j, 5.0, cp, gp, ldc, 4);
                   }
                 },
                 {1.0, 4.7429994, 3.8211503, 1.3794082}});

  set.push_back({"HS76",
                 4,
                 7,
                 0,
                 {0.5, 0.5, 0.5, 0.5},
                 -4.681818181,
                 [](const double* x, double* g) {
                   g[0] = 2.0 * x[0] - x[2] - 1.0;
                   g[1] = x[1] - 3.0;
                   g[2] = 2.0 * x[2] - x[0] + x[3] + 1.0;
                   g[3] = x[3] + x[2] - 1.0;
                   return x[0] * x[0] + 0.5 * x[1] * x[1] + x[2] * x[2] + 0.5 * x[3] * x[3] -
                          x[0] * x[2] + x[2] * x[3] - x[0] - 3.0 * x[1] + x[2] - x[3];
                 },
                 [](const double* x, double* c, double* cn, int ldc) {
                   const double a[3][4] = {{-1, -2, -1, -1}, {-3, -1, -2, 1}, {0, 1, 4, 0}};
                   const double b[3] = {5.0, 4.0, -1.5};
                   for (int i = 0; i < 3; ++i) {
                     c[i] = b[i];
                     for (int j = 0; j < 4; ++j) {
                       c[i] += a[i][j] * x[j];
                       cn[i * ldc + j] = a[i][j];
                     }
                   }
                   double* cp = c + 3;
                   double* gp = cn + 3 * ldc;
                   for (int j = 0; j < 4; ++j) Lower(x, j, 0.0, cp, gp, ldc, 4);
                 },
                 {0.2727273, 2.090909, 0.0, 0.5454545}});

  set.push_back({"HS100",
                 7,
                 4,
                 0,
                 {1.0, 2.0, 0.0, 4.0, 0.0, 1.0, 1.0},
                 680.6300573,
                 [](const double* x, double* g) {
                   g[0] = 2.0 * (x[0] - 10.0);
                   g[1] = 10.0 * (x[1] - 12.0);
                   g[2] = 4.0 * std::pow(x[2], 3);
                   g[3] = 6.0 * (x[3] - 11.0);
                   g[4] = 60.0 * std::pow(x[4], 5);
                   g[5] = 14.0 * x[5] - 4.0 * x[6] - 10.0;
                   g[6] = 4.0 * std::pow(x[6], 3) - 4.0 * x[5] - 8.0;
                   return std::pow(x[0] - 10.0, 2) + 5.0 * std::pow(x[1] - 12.0, 2) +
                          std::pow(x[2], 4) + 3.0 * std::pow(x[3] - 11.0, 2) +
                          10.0 * std::pow(x[4], 6) + 7.0 * x[5] * x[5] + std::pow(x[6], 4) -
                          4.0 * x[5] * x[6] - 10.0 * x[5] - 8.0 * x[6];
                 },
                 [](const double* x, double* c, double* cn, int ldc) {
                   for (int i = 0; i < 4; ++i)
                     for (int j = 0; j < 7; ++j) cn[i * ldc + j] = 0.0;
                   c[0] = 127.0 - 2.0 * x[0] * x[0] - 3.0 * std::pow(x[1], 4) - x[2] -
                          4.0 * x[3] * x[3] - 5.0 * x[4];
                   cn[0] = -4.0 * x[0];
                   cn[1] = -12.0 * std::pow(x[1], 3);
                   cn[2] = -1.0;
                   cn[3] = -8.0 * x[3];
                   cn[4] = -5.0;
                   double* a = cn + ldc;
                   c[1] = 282.0 - 7.0 * x[0] - 3.0 * x[1] - 10.0 * x[2] * x[2] - x[3] + x[4];
                   a[0] = -7.0;
                   a[1] = -3.0;
                   a[2] = -20.0 * x[2];
                   a[3] = -1.0;
                   a[4] = 1.0;
                   a = cn + 2 * ldc;
                   c[2] = 196.0 - 23.0 * x[0] - x[1] * x[1] - 6.0 * x[5] * x[5] + 8.0 * x[6];
                   a[0] = -23.0;
                   a[1] = -2.0 * x[1];
                   a[5] = -12.0 * x[5];
                   a[6] = 8.0;
                   a = cn + 3 * ldc;
                   c[3] = -4.0 * x[0] * x[0] - x[1] * x[1] + 3.0 * x[0] * x[1] - 2.0 * x[2] * x[2] -
                          5.0 * x[5] + 11.0 * x[6];
                   a[0] = -8.0 * x[0] + 3.0 * x[1];
                   a[1] = -2.0 * x[1] + 3.0 * x[0];
                   a[2] = -4.0 * x[2];
                   a[5] = -5.0;
                   a[6] = 11.0;
                 },
                 {2.330499, 1.951372, -0.4775414, 4.365726, -0.6244870, 1.038131, 1.594227}});

  return set;
}

// HS78, HS80 and HS81 share these three equalities (the last two add bounds).
inline void SphereProductCubes(const double* x, double* c, double* cn, int ldc) {
  c[0] = -10.0;
  for (int j = 0; j < 5; ++j) {
    c[0] += x[j] * x[j];
    cn[j] = 2.0 * x[j];
  }
  double* a = cn + ldc;
  c[1] = x[1] * x[2] - 5.0 * x[3] * x[4];
  a[0] = 0.0;
  a[1] = x[2];
  a[2] = x[1];
  a[3] = -5.0 * x[4];
  a[4] = -5.0 * x[3];
  a = cn + 2 * ldc;
  c[2] = x[0] * x[0] * x[0] + x[1] * x[1] * x[1] + 1.0;
  a[0] = 3.0 * x[0] * x[0];
  a[1] = 3.0 * x[1] * x[1];
  a[2] = a[3] = a[4] = 0.0;
}

inline void SphereProductCubesInBox(const double* x, double* c, double* cn, int ldc) {
  SphereProductCubes(x, c, cn, ldc);
  double* cp = c + 3;
  double* gp = cn + 3 * ldc;
  for (int j = 0; j < 5; ++j) {
    const double bound = j < 2 ? 2.3 : 3.2;
    Lower(x, j, -bound, cp, gp, ldc, 5);
    Upper(x, j, bound, cp, gp, ldc, 5);
  }
}

// Product of the five variables, and its gradient.
inline double Product5(const double* x, double* g) {
  for (int j = 0; j < 5; ++j) {
    g[j] = 1.0;
    for (int k = 0; k < 5; ++k)
      if (k != j) g[j] *= x[k];
  }
  return x[0] * x[1] * x[2] * x[3] * x[4];
}

// Further problems of the collection, mixing equality and inequality constraints, for the runs
// from many starting points.
inline std::vector<Problem> MoreHockSchittkowski() {
  std::vector<Problem> set;
  const double r2 = std::sqrt(2.0);

  set.push_back({"HS11",
                 2,
                 1,
                 0,
                 {4.9, 0.1},
                 -8.498464223,
                 [](const double* x, double* g) {
                   g[0] = 2.0 * (x[0] - 5.0);
                   g[1] = 2.0 * x[1];
                   return (x[0] - 5.0) * (x[0] - 5.0) + x[1] * x[1] - 25.0;
                 },
                 [](const double* x, double* c, double* cn, int) {
                   c[0] = -x[0] * x[0] + x[1];
                   cn[0] = -2.0 * x[0];
                   cn[1] = 1.0;
                 },
                 {1.234779, 1.524715}});

  set.push_back({"HS26",
                 3,
                 1,
                 1,
                 {-2.6, 2.0, 2.0},
                 0.0,
                 [](const double* x, double* g) {
                   const double a = x[0] - x[1], b = x[1] - x[2];
                   g[0] = 2.0 * a;
                   g[1] = -2.0 * a + 4.0 * b * b * b;
                   g[2] = -4.0 * b * b * b;
                   return a * a + b * b * b * b;
                 },
                 [](const double* x, double* c, double* cn, int) {
                   c[0] = (1.0 + x[1] * x[1]) * x[0] + std::pow(x[2], 4) - 3.0;
                   cn[0] = 1.0 + x[1] * x[1];
                   cn[1] = 2.0 * x[0] * x[1];
                   cn[2] = 4.0 * x[2] * x[2] * x[2];
                 },
                 {1.0, 1.0, 1.0}});

  set.push_back({"HS27",
                 3,
                 1,
                 1,
                 {2.0, 2.0, 2.0},
                 0.04,
                 [](const double* x, double* g) {
                   const double a = x[1] - x[0] * x[0];
                   g[0] = 0.02 * (x[0] - 1.0) - 4.0 * x[0] * a;
                   g[1] = 2.0 * a;
                   g[2] = 0.0;
                   return 0.01 * (x[0] - 1.0) * (x[0] - 1.0) + a * a;
                 },
                 [](const double* x, double* c, double* cn, int) {
                   c[0] = x[0] + x[2] * x[2] + 1.0;
                   cn[0] = 1.0;
                   cn[1] = 0.0;
                   cn[2] = 2.0 * x[2];
                 },
                 {-1.0, 1.0, 0.0}});

  set.push_back({"HS41",
                 4,
                 9,
                 1,
                 {2.0, 2.0, 2.0, 2.0},
                 52.0 / 27.0,
                 [](const double* x, double* g) {
                   g[0] = -x[1] * x[2];
                   g[1] = -x[0] * x[2];
                   g[2] = -x[0] * x[1];
                   g[3] = 0.0;
                   return 2.0 - x[0] * x[1] * x[2];
                 },
                 [](const double* x, double* c, double* cn, int ldc) {
                   c[0] = x[0] + 2.0 * x[1] + 2.0 * x[2] - x[3];
                   cn[0] = 1.0;
                   cn[1] = 2.0;
                   cn[2] = 2.0;
                   cn[3] = -1.0;
                   double* cp = c + 1;
                   double* gp = cn + ldc;
                   for (int j = 0; j < 4; ++j) {
                     Lower(x, j, 0.0, cp, gp, ldc, 4);
                     Upper(x, j, j < 3 ? 1.0 : 2.0, cp, gp, ldc, 4);
                   }
                 },
                 {2.0 / 3.0, 1.0 / 3.0, 1.0 / 3.0, 2.0}});

  set.push_back({"HS42",
                 4,
                 2,
                 2,
                 {1.0, 1.0, 1.0, 1.0},
                 28.0 - 10.0 * r2,
                 [](const double* x, double* g) {
                   double f = 0.0;
                   for (int j = 0; j < 4; ++j) {
                     g[j] = 2.0 * (x[j] - (j + 1.0));
                     f += (x[j] - (j + 1.0)) * (x[j] - (j + 1.0));
                   }
                   return f;
                 },
                 [](const double* x, double* c, double* cn, int ldc) {
                   c[0] = x[0] - 2.0;
                   cn[0] = 1.0;
                   cn[1] = cn[2] = cn[3] = 0.0;
                   c[1] = x[2] * x[2] + x[3] * x[3] - 2.0;
                   cn[ldc] = cn[ldc + 1] = 0.0;
                   cn[ldc + 2] = 2.0 * x[2];
                   cn[ldc + 3] = 2.0 * x[3];
                 },
                 {2.0, 2.0, 0.6 * r2, 0.8 * r2}});

  set.push_back({"HS47",
                 5,
                 3,
                 3,
                 {2.0, r2, -1.0, 2.0 - r2, 0.5},
                 0.0,
                 [](const double* x, double* g) {
                   const double a = x[0] - x[1], b = x[1] - x[2], d = x[2] - x[3], e = x[3] - x[4];
                   g[0] = 2.0 * a;
                   g[1] = -2.0 * a + 3.0 * b * b;
                   g[2] = -3.0 * b * b + 4.0 * d * d * d;
                   g[3] = -4.0 * d * d * d + 4.0 * e * e * e;
                   g[4] = -4.0 * e * e * e;
                   return a * a + b * b * b + d * d * d * d + e * e * e * e;
                 },
                 [](const double* x, double* c, double* cn, int ldc) {
                   for (int i = 0; i < 3; ++i)
                     for (int j = 0; j < 5; ++j) cn[i * ldc + j] = 0.0;
                   c[0] = x[0] + x[1] * x[1] + x[2] * x[2] * x[2] - 3.0;
                   cn[0] = 1.0;
                   cn[1] = 2.0 * x[1];
                   cn[2] = 3.0 * x[2] * x[2];
                   c[1] = x[1] - x[2] * x[2] + x[3] - 1.0;
                   cn[ldc + 1] = 1.0;
                   cn[ldc + 2] = -2.0 * x[2];
                   cn[ldc + 3] = 1.0;
                   c[2] = x[0] * x[4] - 1.0;
                   cn[2 * ldc] = x[4];
                   cn[2 * ldc + 4] = x[0];
                 },
                 {1.0, 1.0, 1.0, 1.0, 1.0}});

  set.push_back({"HS49",
                 5,
                 2,
                 2,
                 {10.0, 7.0, 2.0, -3.0, 0.8},
                 0.0,
                 [](const double* x, double* g) {
                   const double a = x[0] - x[1], b = x[2] - 1.0, d = x[3] - 1.0, e = x[4] - 1.0;
                   g[0] = 2.0 * a;
                   g[1] = -2.0 * a;
                   g[2] = 2.0 * b;
                   g[3] = 4.0 * d * d * d;
                   g[4] = 6.0 * std::pow(e, 5);
                   return a * a + b * b + d * d * d * d + std::pow(e, 6);
                 },
                 [](const double* x, double* c, double* cn, int ldc) {
                   c[0] = x[0] + x[1] + x[2] + 4.0 * x[3] - 7.0;
                   c[1] = x[2] + 5.0 * x[4] - 6.0;
                   const double a0[5] = {1, 1, 1, 4, 0}, a1[5] = {0, 0, 1, 0, 5};
                   for (int j = 0; j < 5; ++j) {
                     cn[j] = a0[j];
                     cn[ldc + j] = a1[j];
                   }
                 },
                 {1.0, 1.0, 1.0, 1.0, 1.0}});

  set.push_back({"HS65",
                 3,
                 7,
                 0,
                 {-5.0, 5.0, 0.0},
                 0.9535288567,
                 [](const double* x, double* g) {
                   const double a = x[0] - x[1], b = x[0] + x[1] - 10.0, d = x[2] - 5.0;
                   g[0] = 2.0 * a + 2.0 * b / 9.0;
                   g[1] = -2.0 * a + 2.0 * b / 9.0;
                   g[2] = 2.0 * d;
                   return a * a + b * b / 9.0 + d * d;
                 },
                 [](const double* x, double* c, double* cn, int ldc) {
                   c[0] = 48.0 - x[0] * x[0] - x[1] * x[1] - x[2] * x[2];
                   for (int j = 0; j < 3; ++j) cn[j] = -2.0 * x[j];
                   double* cp = c + 1;
                   double* gp = cn + ldc;
                   for (int j = 0; j < 3; ++j) {
                     const double bound = j < 2 ? 4.5 : 5.0;
                     Lower(x, j, -bound, cp, gp, ldc, 3);
                     Upper(x, j, bound, cp, gp, ldc, 3);
                   }
                 },
                 {3.650461821, 3.65046168, 4.6204170507}});

  set.push_back({"HS77",
                 5,
                 2,
                 2,
                 {2.0, 2.0, 2.0, 2.0, 2.0},
                 0.24150513,
                 [](const double* x, double* g) {
                   const double a = x[0] - 1.0, b = x[0] - x[1], d = x[2] - 1.0, e = x[3] - 1.0,
                                h = x[4] - 1.0;
                   g[0] = 2.0 * a + 2.0 * b;
                   g[1] = -2.0 * b;
                   g[2] = 2.0 * d;
                   g[3] = 4.0 * e * e * e;
                   g[4] = 6.0 * std::pow(h, 5);
                   return a * a + b * b + d * d + e * e * e * e + std::pow(h, 6);
                 },
                 [](const double* x, double* c, double* cn, int ldc) {
                   const double r2 = std::sqrt(2.0);
                   c[0] = x[0] * x[0] * x[3] + std::sin(x[3] - x[4]) - 2.0 * r2;
                   cn[0] = 2.0 * x[0] * x[3];
                   cn[1] = cn[2] = 0.0;
                   cn[3] = x[0] * x[0] + std::cos(x[3] - x[4]);
                   cn[4] = -std::cos(x[3] - x[4]);
                   double* a = cn + ldc;
                   c[1] = x[1] + std::pow(x[2], 4) * x[3] * x[3] - 8.0 - r2;
                   a[0] = 0.0;
                   a[1] = 1.0;
                   a[2] = 4.0 * std::pow(x[2], 3) * x[3] * x[3];
                   a[3] = 2.0 * std::pow(x[2], 4) * x[3];
                   a[4] = 0.0;
                 },
                 {1.166172, 1.182111, 1.380257, 1.506036, 0.6109203}});

  set.push_back({"HS78",
                 5,
                 3,
                 3,
                 {-2.0, 1.5, 2.0, -1.0, -1.0},
                 -2.91970041,
                 &Product5,
                 &SphereProductCubes,
                 {-1.717143, 1.595709, 1.827247, -0.7636413, -0.7636450}});

  set.push_back({"HS79",
                 5,
                 3,
                 3,
                 {2.0, 2.0, 2.0, 2.0, 2.0},
                 0.0787768209,
                 [](const double* x, double* g) {
                   const double a = x[0] - 1.0, b = x[0] - x[1], d = x[1] - x[2], e = x[2] - x[3],
                                h = x[3] - x[4];
                   g[0] = 2.0 * a + 2.0 * b;
                   g[1] = -2.0 * b + 2.0 * d;
                   g[2] = -2.0 * d + 4.0 * e * e * e;
                   g[3] = -4.0 * e * e * e + 4.0 * h * h * h;
                   g[4] = -4.0 * h * h * h;
                   return a * a + b * b + d * d + e * e * e * e + h * h * h * h;
                 },
                 [](const double* x, double* c, double* cn, int ldc) {
                   const double r2 = std::sqrt(2.0);
                   for (int i = 0; i < 3; ++i)
                     for (int j = 0; j < 5; ++j) cn[i * ldc + j] = 0.0;
                   c[0] = x[0] + x[1] * x[1] + x[2] * x[2] * x[2] - 2.0 - 3.0 * r2;
                   cn[0] = 1.0;
                   cn[1] = 2.0 * x[1];
                   cn[2] = 3.0 * x[2] * x[2];
                   c[1] = x[1] - x[2] * x[2] + x[3] + 2.0 - 2.0 * r2;
                   cn[ldc + 1] = 1.0;
                   cn[ldc + 2] = -2.0 * x[2];
                   cn[ldc + 3] = 1.0;
                   c[2] = x[0] * x[4] - 2.0;
                   cn[2 * ldc] = x[4];
                   cn[2 * ldc + 4] = x[0];
                 },
                 {1.191127, 1.362603, 1.472818, 1.635017, 1.679081}});

  set.push_back({"HS80",
                 5,
                 13,
                 3,
                 {-2.0, 2.0, 2.0, -1.0, -1.0},
                 0.0539498478,
                 [](const double* x, double* g) {
                   const double f = std::exp(Product5(x, g));
                   for (int j = 0; j < 5; ++j) g[j] *= f;
                   return f;
                 },
                 &SphereProductCubesInBox,
                 {-1.717143, 1.595709, 1.827247, -0.7636413, -0.7636450}});

  set.push_back({"HS81",
                 5,
                 13,
                 3,
                 {-2.0, 2.0, 2.0, -1.0, -1.0},
                 0.0539498478,
                 [](const double* x, double* g) {
                   const double e = std::exp(Product5(x, g));
                   const double cubes = x[0] * x[0] * x[0] + x[1] * x[1] * x[1] + 1.0;
                   for (int j = 0; j < 5; ++j) g[j] *= e;
                   g[0] -= cubes * 3.0 * x[0] * x[0];
                   g[1] -= cubes * 3.0 * x[1] * x[1];
                   return e - 0.5 * cubes * cubes;
                 },
                 &SphereProductCubesInBox,
                 {-1.717143, 1.595709, 1.827247, -0.7636413, -0.7636450}});

  return set;
}

// Every problem of both sets.
inline std::vector<Problem> AllHockSchittkowski() {
  std::vector<Problem> set = HockSchittkowski();
  for (const Problem& p : MoreHockSchittkowski()) set.push_back(p);
  return set;
}

// Distance of the far starting points from the minimiser: 10 in every variable, 2 for HS80 and
// HS81, whose exp(x1 x2 x3 x4 x5) overflows beyond that.
inline double FarRadius(const Problem& p) {
  return (p.name == "HS80" || p.name == "HS81") ? 2.0 : 10.0;
}

// `count` starting points x* + r u, u uniform in [-1, 1]^n drawn from std::mt19937(seed): r = 1
// for the first half, r = FarRadius(p) for the rest.
inline std::vector<std::vector<double>> StartsNearAndFar(const Problem& p, int count,
                                                         unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  std::vector<std::vector<double>> starts;
  for (int k = 0; k < count; ++k) {
    const double radius = k < count / 2 ? 1.0 : FarRadius(p);
    std::vector<double> x(p.n);
    for (int j = 0; j < p.n; ++j) x[j] = p.solution[j] + radius * uniform(rng);
    starts.push_back(x);
  }
  return starts;
}

// True when x, with objective value f, is feasible to 1e-6 and f is within 1e-6 max(1, |f*|) of
// the published optimum.
inline bool ReachedOptimum(const Problem& p, const std::vector<double>& x, double f) {
  const double scale = std::max(1.0, std::abs(p.optimum));
  if (!(std::abs(f - p.optimum) <= 1e-6 * scale)) return false;
  std::vector<double> c(std::max(1, p.m)), cn((p.n + 1) * std::max(1, p.m));
  if (p.m > 0) p.constraints(x.data(), c.data(), cn.data(), p.n + 1);
  for (int i = 0; i < p.m; ++i)
    if (i < p.meq ? std::abs(c[i]) > 1e-6 : c[i] < -1e-6) return false;
  return true;
}

}  // namespace sqp_problems

#endif  // ORVO_TESTS_SUPPORT_SQP_PROBLEMS_HPP
