// Sparse nonlinear systems for the sparse equation solver: each row i of f is a function of a
// few variables (its columns), given with its partial derivatives. Shared by the tests, the
// benchmark against a peer least-squares library and the demo. Sources: Broyden tridiagonal and
// banded functions (Moré, Garbow and Hillstrom 1981, problems 30 and 31), the discretised 2-D
// Bratu problem -lap u = lambda exp(u) on the unit square with zero boundary values.
#ifndef ORVO_TESTS_NLE_PROBLEMS_HPP
#define ORVO_TESTS_NLE_PROBLEMS_HPP

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace nle_problems {

// A system f: R^n -> R^m by rows. cols(i) lists the variables row i depends on; value(i, v, g)
// returns f_i from v[k] = x[cols(i)[k]] and writes d f_i / d x_{cols(i)[k]} into g[k].
struct System {
  std::string name;
  int m = 0;
  int n = 0;
  std::vector<double> start;
  std::vector<std::vector<int>> cols;
  double (*value)(const System& s, int i, const double* v, double* g) = nullptr;
  double parameter = 0.0;  // problem constant (Bratu's lambda, grid side, ...)
  int side = 0;

  // f and the Jacobian's entries (row, col, value) at x.
  template <class AddEntry>
  void evaluate(const double* x, double* f, AddEntry&& add) const {
    std::vector<double> v, g;
    for (int i = 0; i < m; ++i) {
      const std::vector<int>& c = cols[i];
      v.resize(c.size());
      g.resize(c.size());
      for (std::size_t k = 0; k < c.size(); ++k) v[k] = x[c[k]];
      f[i] = value(*this, i, v.data(), g.data());
      for (std::size_t k = 0; k < c.size(); ++k) add(i, c[k], g[k]);
    }
  }
  // |f(x)|_2, computed afresh.
  double residualNorm(const double* x) const {
    std::vector<double> f(m);
    evaluate(x, f.data(), [](int, int, double) {});
    double s = 0.0;
    for (double r : f) s += r * r;
    return std::sqrt(s);
  }
  // J^T f at x, computed afresh.
  std::vector<double> gradient(const double* x) const {
    std::vector<double> f(m), g(n, 0.0);
    std::vector<std::int64_t> rows, cs;
    std::vector<double> vals;
    evaluate(x, f.data(), [&](int i, int j, double v) {
      rows.push_back(i);
      cs.push_back(j);
      vals.push_back(v);
    });
    for (std::size_t e = 0; e < vals.size(); ++e) g[cs[e]] += vals[e] * f[rows[e]];
    return g;
  }
};

// A square system (m = n) with the given start value everywhere and no pattern yet.
inline System squareSystem(const char* name, int n, double start) {
  System s;
  s.name = name;
  s.m = s.n = n;
  s.start.assign(n, start);
  s.cols.resize(n);
  return s;
}

// Row i depends on x_i, then x_{i-1} and x_{i+1} where they exist, in this order.
inline void tridiagonalPattern(System& s) {
  for (int i = 0; i < s.n; ++i) {
    s.cols[i].push_back(i);
    if (i > 0) s.cols[i].push_back(i - 1);
    if (i + 1 < s.n) s.cols[i].push_back(i + 1);
  }
}

// The discretised Bratu row scaled by h^2: diagonal u_i - (its neighbours v[1..]) -
// h^2 lambda exp(u_i), with its derivatives; the neighbours are the rest of row i's pattern.
inline double bratuRow(const System& sys, int i, const double* v, double* g, double diagonal,
                       double h) {
  const double source = h * h * sys.parameter * std::exp(v[0]);
  double f = diagonal * v[0] - source;
  g[0] = diagonal - source;
  for (std::size_t k = 1; k < sys.cols[i].size(); ++k) {
    f -= v[k];
    g[k] = -1.0;
  }
  return f;
}

// f_i = (3 - 2 x_i) x_i - x_{i-1} - 2 x_{i+1} + 1, x_0 = x_{n+1} = 0; start -1.
inline System broydenTridiagonal(int n) {
  System s = squareSystem("BroydenTridiagonal", n, -1.0);
  tridiagonalPattern(s);
  s.value = [](const System& sys, int i, const double* v, double* g) {
    int k = 1;
    double left = 0.0, right = 0.0;
    if (i > 0) left = v[k++];
    if (i + 1 < sys.n) right = v[k];
    g[0] = 3.0 - 4.0 * v[0];
    k = 1;
    if (i > 0) g[k++] = -1.0;
    if (i + 1 < sys.n) g[k] = -2.0;
    return (3.0 - 2.0 * v[0]) * v[0] - left - 2.0 * right + 1.0;
  };
  return s;
}

// f_i = x_i (2 + 5 x_i^2) + 1 - sum_{j in J_i} x_j (1 + x_j), J_i = {j != i : i - 5 <= j <= i + 1};
// start -1.
inline System broydenBanded(int n) {
  System s = squareSystem("BroydenBanded", n, -1.0);
  for (int i = 0; i < n; ++i) {
    s.cols[i].push_back(i);
    for (int j = std::max(0, i - 5); j <= std::min(n - 1, i + 1); ++j)
      if (j != i) s.cols[i].push_back(j);
  }
  s.value = [](const System& sys, int i, const double* v, double* g) {
    const std::size_t count = sys.cols[i].size();
    double f = v[0] * (2.0 + 5.0 * v[0] * v[0]) + 1.0;
    g[0] = 2.0 + 15.0 * v[0] * v[0];
    for (std::size_t k = 1; k < count; ++k) {
      f -= v[k] * (1.0 + v[k]);
      g[k] = -(1.0 + 2.0 * v[k]);
    }
    return f;
  };
  return s;
}

// Bratu on a side x side interior grid, h = 1 / (side + 1), scaled by h^2:
// f_p = 4 u_p - sum of the four neighbours - h^2 lambda exp(u_p); start u = 0.
inline System bratu2d(int side, double lambda) {
  System s = squareSystem("Bratu2D", side * side, 0.0);
  s.side = side;
  s.parameter = lambda;
  for (int b = 0; b < side; ++b)
    for (int a = 0; a < side; ++a) {
      const int p = a + side * b;
      s.cols[p].push_back(p);
      if (a > 0) s.cols[p].push_back(p - 1);
      if (a + 1 < side) s.cols[p].push_back(p + 1);
      if (b > 0) s.cols[p].push_back(p - side);
      if (b + 1 < side) s.cols[p].push_back(p + side);
    }
  s.value = [](const System& sys, int i, const double* v, double* g) {
    return bratuRow(sys, i, v, g, 4.0, 1.0 / (sys.side + 1));
  };
  return s;
}

// Bratu in one dimension, -u'' = lambda exp(u) on (0, 1), n interior points scaled by h^2:
// f_i = 2 u_i - u_{i-1} - u_{i+1} - h^2 lambda exp(u_i); start 0. J^T J is as ill-conditioned
// as the squared second-difference matrix (about (n / 3)^4).
inline System bratu1d(int n, double lambda) {
  System s = squareSystem("Bratu1D", n, 0.0);
  s.parameter = lambda;
  tridiagonalPattern(s);
  s.value = [](const System& sys, int i, const double* v, double* g) {
    return bratuRow(sys, i, v, g, 2.0, 1.0 / (sys.n + 1));
  };
  return s;
}

// Least squares with a non-zero residual at the minimum, m = 2 n - 1: r_i = x_i - 1 (i < n) and
// r_{n+i} = x_i x_{i+1} - 2 (i < n - 1), which no x satisfies at once. Start 0.5.
inline System chainedProducts(int n) {
  System s;
  s.name = "ChainedProducts";
  s.n = n;
  s.m = 2 * n - 1;
  s.start.assign(n, 0.5);
  s.cols.resize(s.m);
  for (int i = 0; i < n; ++i) s.cols[i] = {i};
  for (int i = 0; i + 1 < n; ++i) s.cols[n + i] = {i, i + 1};
  s.value = [](const System& sys, int i, const double* v, double* g) {
    if (i < sys.n) {
      g[0] = 1.0;
      return v[0] - 1.0;
    }
    g[0] = v[1];
    g[1] = v[0];
    return v[0] * v[1] - 2.0;
  };
  return s;
}

// A pattern whose factor fills in heavily: f_i = x_i + 0.1 (sin x_a + sin x_b) - b_i with a, b
// drawn pseudo-randomly and b_i chosen so that x*_j = 1 + j / n is the root. Start 0.
inline System randomCoupling(int n) {
  System s = squareSystem("RandomCoupling", n, 0.0);
  std::uint64_t state = 12345;
  auto next = [&]() {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<int>((state >> 33) % static_cast<std::uint64_t>(n));
  };
  for (int i = 0; i < n; ++i) {
    int a = next(), b = next();
    while (a == i) a = next();
    while (b == i || b == a) b = next();
    s.cols[i] = {i, a, b};
  }
  s.value = [](const System& sys, int i, const double* v, double* g) {
    auto root = [&](int j) { return 1.0 + static_cast<double>(j) / sys.n; };
    const std::vector<int>& c = sys.cols[i];
    const double target = root(c[0]) + 0.1 * (std::sin(root(c[1])) + std::sin(root(c[2])));
    g[0] = 1.0;
    g[1] = 0.1 * std::cos(v[1]);
    g[2] = 0.1 * std::cos(v[2]);
    return v[0] + 0.1 * (std::sin(v[1]) + std::sin(v[2])) - target;
  };
  return s;
}

}  // namespace nle_problems

#endif
