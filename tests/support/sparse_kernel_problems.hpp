// Square test matrices for the sparse kernel tests, as 1-based coordinate entries together with a
// known solution x and b = A x: five-point Laplacians (symmetric pattern, values optionally
// unsymmetric), a pattern with no entry mirrored across the diagonal, and random patterns that
// are symmetric about the diagonal. Each kernel family's test file builds its calls on these.
#ifndef ORVO_TESTS_SUPPORT_SPARSE_KERNEL_PROBLEMS_HPP
#define ORVO_TESTS_SUPPORT_SPARSE_KERNEL_PROBLEMS_HPP

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <utility>
#include <vector>

namespace sparse_kernel_problems {

// Coordinate entries of a k x k five-point Laplacian with the diagonal perturbed by `shift`
// (1-based, as the kernels take them), and b = A * x for x_i = 1 + i / n.
struct Problem {
  int n = 0, ne = 0;
  std::vector<int> rows, cols;
  std::vector<double> values, x, b;
};

inline Problem laplacian(int k, double shift, bool unsymmetric) {
  Problem p;
  p.n = k * k;
  auto add = [&](int i, int j, double v) {
    p.rows.push_back(i + 1);
    p.cols.push_back(j + 1);
    p.values.push_back(v);
  };
  for (int i = 0; i < k; ++i)
    for (int j = 0; j < k; ++j) {
      const int q = i + k * j;
      add(q, q, 4.0 + shift * (q % 3));
      if (i > 0) add(q, q - 1, unsymmetric ? -1.5 : -1.0);
      if (i + 1 < k) add(q, q + 1, -1.0);
      if (j > 0) add(q, q - k, -1.0);
      if (j + 1 < k) add(q, q + k, unsymmetric ? -0.5 : -1.0);
    }
  p.ne = static_cast<int>(p.rows.size());
  p.x.resize(p.n);
  for (int i = 0; i < p.n; ++i) p.x[i] = 1.0 + static_cast<double>(i) / p.n;
  p.b.assign(p.n, 0.0);
  for (int e = 0; e < p.ne; ++e) p.b[p.rows[e] - 1] += p.values[e] * p.x[p.cols[e] - 1];
  return p;
}

inline double largestError(const std::vector<double>& u, const std::vector<double>& v) {
  double d = 0.0;
  for (std::size_t i = 0; i < u.size(); ++i) d = std::max(d, std::abs(u[i] - v[i]));
  return d;
}

// A pattern with no entry mirrored across the diagonal: diagonal 4, and -1, -0.5, -0.25 at the
// cyclic offsets 1, 7, 13 of every row.
inline Problem cyclicShifts(int n) {
  Problem p;
  p.n = n;
  const int offsets[] = {0, 1, 7, 13};
  const double values[] = {4.0, -1.0, -0.5, -0.25};
  for (int i = 0; i < n; ++i)
    for (int k = 0; k < 4; ++k) {
      p.rows.push_back(i + 1);
      p.cols.push_back((i + offsets[k]) % n + 1);
      p.values.push_back(values[k]);
    }
  p.ne = static_cast<int>(p.rows.size());
  p.x.resize(n);
  for (int i = 0; i < n; ++i) p.x[i] = 1.0 + static_cast<double>(i) / n;
  p.b.assign(n, 0.0);
  for (int e = 0; e < p.ne; ++e) p.b[p.rows[e] - 1] += p.values[e] * p.x[p.cols[e] - 1];
  return p;
}

// A random pattern, symmetric about the diagonal, with unsymmetric values: diagonal 1 + U(0,1)
// plus the row's magnitudes (so no pivot needs an interchange), off-diagonal U(-1, 1). `extra`
// adds a dense last row and column (one front holds everything) and leaves some rows uncoupled
// (a forest, not a tree).
inline Problem randomSymmetricPattern(int n, int perRow, unsigned seed, bool extra) {
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> column(0, n - 1);
  std::uniform_real_distribution<double> value(-1.0, 1.0);
  std::map<std::pair<int, int>, double> entries;
  for (int i = 0; i < n; ++i) {
    if (extra && i % 7 == 3) continue;
    for (int k = 0; k < perRow; ++k) {
      const int j = column(gen);
      if (j == i) continue;
      entries[{i, j}] = value(gen);
      entries[{j, i}] = value(gen);
    }
  }
  if (extra)
    for (int i = 0; i + 1 < n; ++i) {
      entries[{i, n - 1}] = value(gen);
      entries[{n - 1, i}] = value(gen);
    }
  std::vector<double> row_sum(n, 0.0);
  for (const auto& [at, v] : entries) row_sum[at.first] += std::abs(v);
  for (int i = 0; i < n; ++i) entries[{i, i}] = 1.0 + std::abs(value(gen)) + row_sum[i];
  Problem p;
  p.n = n;
  for (const auto& [at, v] : entries) {
    p.rows.push_back(at.first + 1);
    p.cols.push_back(at.second + 1);
    p.values.push_back(v);
  }
  p.ne = static_cast<int>(p.rows.size());
  p.x.resize(n);
  for (int i = 0; i < n; ++i) p.x[i] = std::cos(0.3 * i) + 2.0;
  p.b.assign(n, 0.0);
  for (int e = 0; e < p.ne; ++e) p.b[p.rows[e] - 1] += p.values[e] * p.x[p.cols[e] - 1];
  return p;
}

}  // namespace sparse_kernel_problems

#endif
