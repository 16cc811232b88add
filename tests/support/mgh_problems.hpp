// Least-squares test problems of Moré, Garbow and Hillstrom (ACM TOMS 7, 1981), written from
// their published definitions: residuals f_i(x) and the analytic Jacobian, column-major with
// leading dimension m. Indices in the comments are the paper's (1-based).
#ifndef ORVO_TESTS_SUPPORT_MGH_PROBLEMS_HPP
#define ORVO_TESTS_SUPPORT_MGH_PROBLEMS_HPP

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace mgh {

using Residuals = void (*)(int m, int n, const double* x, double* f);
using Jacobian = void (*)(int m, int n, const double* x, double* J);

struct Problem {
  std::string name;
  int m;
  int n;
  std::vector<double> start;
  Residuals residuals;
  Jacobian jacobian;
  std::vector<double> startFactors;  // the paper's runs from 1, 10 and 100 times the start
};

inline double& at(double* J, int m, int i, int j) {
  return J[i + j * m];
}

// (1) Rosenbrock
inline void rosenbrockF(int, int, const double* x, double* f) {
  f[0] = 10.0 * (x[1] - x[0] * x[0]);
  f[1] = 1.0 - x[0];
}
inline void rosenbrockJ(int m, int, const double* x, double* J) {
  at(J, m, 0, 0) = -20.0 * x[0];
  at(J, m, 0, 1) = 10.0;
  at(J, m, 1, 0) = -1.0;
  at(J, m, 1, 1) = 0.0;
}

// (2) Freudenstein and Roth
inline void freudensteinF(int, int, const double* x, double* f) {
  f[0] = -13.0 + x[0] + ((5.0 - x[1]) * x[1] - 2.0) * x[1];
  f[1] = -29.0 + x[0] + ((x[1] + 1.0) * x[1] - 14.0) * x[1];
}
inline void freudensteinJ(int m, int, const double* x, double* J) {
  at(J, m, 0, 0) = 1.0;
  at(J, m, 0, 1) = 10.0 * x[1] - 3.0 * x[1] * x[1] - 2.0;
  at(J, m, 1, 0) = 1.0;
  at(J, m, 1, 1) = 3.0 * x[1] * x[1] + 2.0 * x[1] - 14.0;
}

// (3) Powell badly scaled
inline void powellBadlyScaledF(int, int, const double* x, double* f) {
  f[0] = 1.0e4 * x[0] * x[1] - 1.0;
  f[1] = std::exp(-x[0]) + std::exp(-x[1]) - 1.0001;
}
inline void powellBadlyScaledJ(int m, int, const double* x, double* J) {
  at(J, m, 0, 0) = 1.0e4 * x[1];
  at(J, m, 0, 1) = 1.0e4 * x[0];
  at(J, m, 1, 0) = -std::exp(-x[0]);
  at(J, m, 1, 1) = -std::exp(-x[1]);
}

// (4) Brown badly scaled
inline void brownBadlyScaledF(int, int, const double* x, double* f) {
  f[0] = x[0] - 1.0e6;
  f[1] = x[1] - 2.0e-6;
  f[2] = x[0] * x[1] - 2.0;
}
inline void brownBadlyScaledJ(int m, int, const double* x, double* J) {
  at(J, m, 0, 0) = 1.0;
  at(J, m, 0, 1) = 0.0;
  at(J, m, 1, 0) = 0.0;
  at(J, m, 1, 1) = 1.0;
  at(J, m, 2, 0) = x[1];
  at(J, m, 2, 1) = x[0];
}

// (5) Beale
inline void bealeF(int, int, const double* x, double* f) {
  const double y[] = {1.5, 2.25, 2.625};
  for (int i = 0; i < 3; ++i) f[i] = y[i] - x[0] * (1.0 - std::pow(x[1], i + 1));
}
inline void bealeJ(int m, int, const double* x, double* J) {
  for (int i = 0; i < 3; ++i) {
    at(J, m, i, 0) = -(1.0 - std::pow(x[1], i + 1));
    at(J, m, i, 1) = x[0] * (i + 1) * std::pow(x[1], i);
  }
}

// (6) Jennrich and Sampson
inline void jennrichSampsonF(int m, int, const double* x, double* f) {
  for (int i = 1; i <= m; ++i) f[i - 1] = 2.0 + 2.0 * i - (std::exp(i * x[0]) + std::exp(i * x[1]));
}
inline void jennrichSampsonJ(int m, int, const double* x, double* J) {
  for (int i = 1; i <= m; ++i) {
    at(J, m, i - 1, 0) = -i * std::exp(i * x[0]);
    at(J, m, i - 1, 1) = -i * std::exp(i * x[1]);
  }
}

// (7) Helical valley
inline double helicalTheta(const double* x) {
  const double twoPi = 8.0 * std::atan(1.0);
  if (x[0] == 0.0) return x[1] >= 0.0 ? 0.25 : -0.25;
  const double t = std::atan(x[1] / x[0]) / twoPi;
  return x[0] > 0.0 ? t : t + 0.5;
}
inline void helicalF(int, int, const double* x, double* f) {
  f[0] = 10.0 * (x[2] - 10.0 * helicalTheta(x));
  f[1] = 10.0 * (std::sqrt(x[0] * x[0] + x[1] * x[1]) - 1.0);
  f[2] = x[2];
}
inline void helicalJ(int m, int, const double* x, double* J) {
  const double twoPi = 8.0 * std::atan(1.0);
  const double r2 = x[0] * x[0] + x[1] * x[1];
  const double r = std::sqrt(r2);
  at(J, m, 0, 0) = 100.0 * x[1] / (twoPi * r2);
  at(J, m, 0, 1) = -100.0 * x[0] / (twoPi * r2);
  at(J, m, 0, 2) = 10.0;
  at(J, m, 1, 0) = 10.0 * x[0] / r;
  at(J, m, 1, 1) = 10.0 * x[1] / r;
  at(J, m, 1, 2) = 0.0;
  at(J, m, 2, 0) = 0.0;
  at(J, m, 2, 1) = 0.0;
  at(J, m, 2, 2) = 1.0;
}

// (8) Bard
inline void bardF(int, int, const double* x, double* f) {
  const double y[] = {0.14, 0.18, 0.22, 0.25, 0.29, 0.32, 0.35, 0.39,
                      0.37, 0.58, 0.73, 0.96, 1.34, 2.10, 4.39};
  for (int i = 1; i <= 15; ++i) {
    const double u = i, v = 16 - i, w = std::min(u, v);
    f[i - 1] = y[i - 1] - (x[0] + u / (v * x[1] + w * x[2]));
  }
}
inline void bardJ(int m, int, const double* x, double* J) {
  for (int i = 1; i <= 15; ++i) {
    const double u = i, v = 16 - i, w = std::min(u, v);
    const double d = v * x[1] + w * x[2];
    at(J, m, i - 1, 0) = -1.0;
    at(J, m, i - 1, 1) = u * v / (d * d);
    at(J, m, i - 1, 2) = u * w / (d * d);
  }
}

// (9) Gaussian
inline void gaussianF(int, int, const double* x, double* f) {
  const double y[] = {0.0009, 0.0044, 0.0175, 0.0540, 0.1295, 0.2420, 0.3521, 0.3989,
                      0.3521, 0.2420, 0.1295, 0.0540, 0.0175, 0.0044, 0.0009};
  for (int i = 1; i <= 15; ++i) {
    const double d = (8.0 - i) / 2.0 - x[2];
    f[i - 1] = x[0] * std::exp(-x[1] * d * d / 2.0) - y[i - 1];
  }
}
inline void gaussianJ(int m, int, const double* x, double* J) {
  for (int i = 1; i <= 15; ++i) {
    const double d = (8.0 - i) / 2.0 - x[2];
    const double e = std::exp(-x[1] * d * d / 2.0);
    at(J, m, i - 1, 0) = e;
    at(J, m, i - 1, 1) = -x[0] * e * d * d / 2.0;
    at(J, m, i - 1, 2) = x[0] * e * x[1] * d;
  }
}

// (10) Meyer
inline void meyerF(int, int, const double* x, double* f) {
  const double y[] = {34780, 28610, 23650, 19630, 16370, 13720, 11540, 9744,
                      8261,  7030,  6005,  5147,  4427,  3820,  3307,  2872};
  for (int i = 1; i <= 16; ++i) {
    const double t = 45.0 + 5.0 * i;
    f[i - 1] = x[0] * std::exp(x[1] / (t + x[2])) - y[i - 1];
  }
}
inline void meyerJ(int m, int, const double* x, double* J) {
  for (int i = 1; i <= 16; ++i) {
    const double t = 45.0 + 5.0 * i;
    const double d = t + x[2];
    const double e = std::exp(x[1] / d);
    at(J, m, i - 1, 0) = e;
    at(J, m, i - 1, 1) = x[0] * e / d;
    at(J, m, i - 1, 2) = -x[0] * e * x[1] / (d * d);
  }
}

// (12) Box three-dimensional, m = 10
inline void box3dF(int m, int, const double* x, double* f) {
  for (int i = 1; i <= m; ++i) {
    const double t = 0.1 * i;
    f[i - 1] =
        std::exp(-t * x[0]) - std::exp(-t * x[1]) - x[2] * (std::exp(-t) - std::exp(-10.0 * t));
  }
}
inline void box3dJ(int m, int, const double* x, double* J) {
  for (int i = 1; i <= m; ++i) {
    const double t = 0.1 * i;
    at(J, m, i - 1, 0) = -t * std::exp(-t * x[0]);
    at(J, m, i - 1, 1) = t * std::exp(-t * x[1]);
    at(J, m, i - 1, 2) = -(std::exp(-t) - std::exp(-10.0 * t));
  }
}

// (13) Powell singular
inline void powellSingularF(int, int, const double* x, double* f) {
  f[0] = x[0] + 10.0 * x[1];
  f[1] = std::sqrt(5.0) * (x[2] - x[3]);
  f[2] = (x[1] - 2.0 * x[2]) * (x[1] - 2.0 * x[2]);
  f[3] = std::sqrt(10.0) * (x[0] - x[3]) * (x[0] - x[3]);
}
inline void powellSingularJ(int m, int, const double* x, double* J) {
  for (int k = 0; k < 16; ++k) J[k] = 0.0;
  at(J, m, 0, 0) = 1.0;
  at(J, m, 0, 1) = 10.0;
  at(J, m, 1, 2) = std::sqrt(5.0);
  at(J, m, 1, 3) = -std::sqrt(5.0);
  at(J, m, 2, 1) = 2.0 * (x[1] - 2.0 * x[2]);
  at(J, m, 2, 2) = -4.0 * (x[1] - 2.0 * x[2]);
  at(J, m, 3, 0) = 2.0 * std::sqrt(10.0) * (x[0] - x[3]);
  at(J, m, 3, 3) = -2.0 * std::sqrt(10.0) * (x[0] - x[3]);
}

// (15) Kowalik and Osborne
inline void kowalikOsborneF(int, int, const double* x, double* f) {
  const double y[] = {0.1957, 0.1947, 0.1735, 0.1600, 0.0844, 0.0627,
                      0.0456, 0.0342, 0.0323, 0.0235, 0.0246};
  const double u[] = {4.0, 2.0, 1.0, 0.5, 0.25, 0.167, 0.125, 0.1, 0.0833, 0.0714, 0.0625};
  for (int i = 0; i < 11; ++i) {
    const double num = u[i] * u[i] + u[i] * x[1];
    const double den = u[i] * u[i] + u[i] * x[2] + x[3];
    f[i] = y[i] - x[0] * num / den;
  }
}
inline void kowalikOsborneJ(int m, int, const double* x, double* J) {
  const double u[] = {4.0, 2.0, 1.0, 0.5, 0.25, 0.167, 0.125, 0.1, 0.0833, 0.0714, 0.0625};
  for (int i = 0; i < 11; ++i) {
    const double num = u[i] * u[i] + u[i] * x[1];
    const double den = u[i] * u[i] + u[i] * x[2] + x[3];
    at(J, m, i, 0) = -num / den;
    at(J, m, i, 1) = -x[0] * u[i] / den;
    at(J, m, i, 2) = x[0] * num * u[i] / (den * den);
    at(J, m, i, 3) = x[0] * num / (den * den);
  }
}

// (16) Brown and Dennis, m = 20
inline void brownDennisF(int m, int, const double* x, double* f) {
  for (int i = 1; i <= m; ++i) {
    const double t = i / 5.0;
    const double a = x[0] + t * x[1] - std::exp(t);
    const double b = x[2] + x[3] * std::sin(t) - std::cos(t);
    f[i - 1] = a * a + b * b;
  }
}
inline void brownDennisJ(int m, int, const double* x, double* J) {
  for (int i = 1; i <= m; ++i) {
    const double t = i / 5.0;
    const double a = x[0] + t * x[1] - std::exp(t);
    const double b = x[2] + x[3] * std::sin(t) - std::cos(t);
    at(J, m, i - 1, 0) = 2.0 * a;
    at(J, m, i - 1, 1) = 2.0 * a * t;
    at(J, m, i - 1, 2) = 2.0 * b;
    at(J, m, i - 1, 3) = 2.0 * b * std::sin(t);
  }
}

// (17) Osborne 1
inline void osborne1F(int, int, const double* x, double* f) {
  const double y[] = {0.844, 0.908, 0.932, 0.936, 0.925, 0.908, 0.881, 0.850, 0.818, 0.784, 0.751,
                      0.718, 0.685, 0.658, 0.628, 0.603, 0.580, 0.558, 0.538, 0.522, 0.506, 0.490,
                      0.478, 0.467, 0.457, 0.448, 0.438, 0.431, 0.424, 0.420, 0.414, 0.411, 0.406};
  for (int i = 0; i < 33; ++i) {
    const double t = 10.0 * i;
    f[i] = y[i] - (x[0] + x[1] * std::exp(-t * x[3]) + x[2] * std::exp(-t * x[4]));
  }
}
inline void osborne1J(int m, int, const double* x, double* J) {
  for (int i = 0; i < 33; ++i) {
    const double t = 10.0 * i;
    at(J, m, i, 0) = -1.0;
    at(J, m, i, 1) = -std::exp(-t * x[3]);
    at(J, m, i, 2) = -std::exp(-t * x[4]);
    at(J, m, i, 3) = t * x[1] * std::exp(-t * x[3]);
    at(J, m, i, 4) = t * x[2] * std::exp(-t * x[4]);
  }
}

// (18) Biggs EXP6, m = 13
inline void biggsF(int m, int, const double* x, double* f) {
  for (int i = 1; i <= m; ++i) {
    const double t = 0.1 * i;
    const double y = std::exp(-t) - 5.0 * std::exp(-10.0 * t) + 3.0 * std::exp(-4.0 * t);
    f[i - 1] =
        x[2] * std::exp(-t * x[0]) - x[3] * std::exp(-t * x[1]) + x[5] * std::exp(-t * x[4]) - y;
  }
}
inline void biggsJ(int m, int, const double* x, double* J) {
  for (int i = 1; i <= m; ++i) {
    const double t = 0.1 * i;
    at(J, m, i - 1, 0) = -t * x[2] * std::exp(-t * x[0]);
    at(J, m, i - 1, 1) = t * x[3] * std::exp(-t * x[1]);
    at(J, m, i - 1, 2) = std::exp(-t * x[0]);
    at(J, m, i - 1, 3) = -std::exp(-t * x[1]);
    at(J, m, i - 1, 4) = -t * x[5] * std::exp(-t * x[4]);
    at(J, m, i - 1, 5) = std::exp(-t * x[4]);
  }
}

// (20) Watson, m = 31
inline void watsonF(int, int n, const double* x, double* f) {
  for (int i = 1; i <= 29; ++i) {
    const double t = i / 29.0;
    double derivative = 0.0, value = 0.0, power = 1.0;
    for (int j = 1; j <= n; ++j) {
      value += x[j - 1] * power;
      if (j < n) derivative += j * x[j] * power;
      power *= t;
    }
    f[i - 1] = derivative - value * value - 1.0;
  }
  f[29] = x[0];
  f[30] = x[1] - x[0] * x[0] - 1.0;
}
inline void watsonJ(int m, int n, const double* x, double* J) {
  for (int i = 1; i <= 29; ++i) {
    const double t = i / 29.0;
    double value = 0.0, power = 1.0;
    for (int j = 1; j <= n; ++j) {
      value += x[j - 1] * power;
      power *= t;
    }
    power = 1.0;  // t^(j-1)
    for (int j = 1; j <= n; ++j) {
      const double lower = j > 1 ? (j - 1) * power / t : 0.0;  // (j-1) t^(j-2)
      at(J, m, i - 1, j - 1) = lower - 2.0 * value * power;
      power *= t;
    }
  }
  for (int j = 0; j < n; ++j) at(J, m, 29, j) = at(J, m, 30, j) = 0.0;
  at(J, m, 29, 0) = 1.0;
  at(J, m, 30, 0) = -2.0 * x[0];
  at(J, m, 30, 1) = 1.0;
}

// (32) Linear function, full rank
inline void linearFullRankF(int m, int n, const double* x, double* f) {
  double sum = 0.0;
  for (int j = 0; j < n; ++j) sum += x[j];
  for (int i = 0; i < m; ++i) f[i] = (i < n ? x[i] : 0.0) - 2.0 * sum / m - 1.0;
}
inline void linearFullRankJ(int m, int n, const double*, double* J) {
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < m; ++i) at(J, m, i, j) = (i == j ? 1.0 : 0.0) - 2.0 / m;
}

// (33) Linear function, rank 1
inline void linearRank1F(int m, int n, const double* x, double* f) {
  double sum = 0.0;
  for (int j = 0; j < n; ++j) sum += (j + 1) * x[j];
  for (int i = 0; i < m; ++i) f[i] = (i + 1) * sum - 1.0;
}
inline void linearRank1J(int m, int n, const double*, double* J) {
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < m; ++i) at(J, m, i, j) = (i + 1.0) * (j + 1.0);
}

// (27) Brown almost-linear, m = n
inline void brownAlmostLinearF(int, int n, const double* x, double* f) {
  double sum = 0.0, product = 1.0;
  for (int j = 0; j < n; ++j) {
    sum += x[j];
    product *= x[j];
  }
  for (int i = 0; i < n - 1; ++i) f[i] = x[i] + sum - (n + 1.0);
  f[n - 1] = product - 1.0;
}
inline void brownAlmostLinearJ(int m, int n, const double* x, double* J) {
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < n - 1; ++i) at(J, m, i, j) = i == j ? 2.0 : 1.0;
    double product = 1.0;
    for (int k = 0; k < n; ++k)
      if (k != j) product *= x[k];
    at(J, m, n - 1, j) = product;
  }
}

inline std::vector<Problem> all() {
  const std::vector<double> f1 = {1.0}, f10 = {1.0, 10.0}, f100 = {1.0, 10.0, 100.0};
  return {
      {"Rosenbrock", 2, 2, {-1.2, 1.0}, rosenbrockF, rosenbrockJ, f100},
      {"FreudensteinRoth", 2, 2, {0.5, -2.0}, freudensteinF, freudensteinJ, f100},
      {"PowellBadlyScaled", 2, 2, {0.0, 1.0}, powellBadlyScaledF, powellBadlyScaledJ, f1},
      {"BrownBadlyScaled", 3, 2, {1.0, 1.0}, brownBadlyScaledF, brownBadlyScaledJ, f1},
      {"Beale", 3, 2, {1.0, 1.0}, bealeF, bealeJ, f1},
      {"JennrichSampson", 10, 2, {0.3, 0.4}, jennrichSampsonF, jennrichSampsonJ, f1},
      {"HelicalValley", 3, 3, {-1.0, 0.0, 0.0}, helicalF, helicalJ, f100},
      {"Bard", 15, 3, {1.0, 1.0, 1.0}, bardF, bardJ, f100},
      {"Gaussian", 15, 3, {0.4, 1.0, 0.0}, gaussianF, gaussianJ, f1},
      {"Meyer", 16, 3, {0.02, 4000.0, 250.0}, meyerF, meyerJ, f1},
      {"Box3D", 10, 3, {0.0, 10.0, 20.0}, box3dF, box3dJ, f1},
      {"PowellSingular", 4, 4, {3.0, -1.0, 0.0, 1.0}, powellSingularF, powellSingularJ, f100},
      {"KowalikOsborne", 11, 4, {0.25, 0.39, 0.415, 0.39}, kowalikOsborneF, kowalikOsborneJ, f100},
      {"BrownDennis", 20, 4, {25.0, 5.0, -5.0, -1.0}, brownDennisF, brownDennisJ, f100},
      {"Osborne1", 33, 5, {0.5, 1.5, -1.0, 0.01, 0.02}, osborne1F, osborne1J, f1},
      {"BiggsEXP6", 13, 6, {1.0, 2.0, 1.0, 1.0, 1.0, 1.0}, biggsF, biggsJ, f1},
      {"Watson6", 31, 6, std::vector<double>(6, 0.0), watsonF, watsonJ, f1},
      {"Watson9", 31, 9, std::vector<double>(9, 0.0), watsonF, watsonJ, f1},
      {"LinearFullRank", 10, 5, std::vector<double>(5, 1.0), linearFullRankF, linearFullRankJ, f1},
      {"LinearRank1", 10, 5, std::vector<double>(5, 1.0), linearRank1F, linearRank1J, f1},
      {"BrownAlmostLinear", 10, 10, std::vector<double>(10, 0.5), brownAlmostLinearF,
       brownAlmostLinearJ, f100},
  };
}

}  // namespace mgh

#endif
