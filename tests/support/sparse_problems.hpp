// Sparse test matrices of the families the direct solver is meant for, as coordinate entries
// (0-based). Shared by the sparse tests and the benchmark against UMFPACK.
#ifndef ORVO_TESTS_SUPPORT_SPARSE_PROBLEMS_HPP
#define ORVO_TESTS_SUPPORT_SPARSE_PROBLEMS_HPP

#include <random>
#include <vector>

namespace sparse_problems {

struct Triplets {
  int n = 0;
  std::vector<int> rows, cols;
  std::vector<double> values;
  void add(int i, int j, double v) {
    rows.push_back(i);
    cols.push_back(j);
    values.push_back(v);
  }
};

// 5-point Laplacian on a k x k grid: n = k^2, symmetric positive definite.
inline Triplets poisson2d(int k) {
  Triplets t;
  t.n = k * k;
  for (int j = 0; j < k; ++j)
    for (int i = 0; i < k; ++i) {
      const int p = i + k * j;
      t.add(p, p, 4.0);
      if (i > 0) t.add(p, p - 1, -1.0);
      if (i + 1 < k) t.add(p, p + 1, -1.0);
      if (j > 0) t.add(p, p - k, -1.0);
      if (j + 1 < k) t.add(p, p + k, -1.0);
    }
  return t;
}

// 7-point Laplacian on a k x k x k grid: n = k^3.
inline Triplets poisson3d(int k) {
  Triplets t;
  t.n = k * k * k;
  for (int l = 0; l < k; ++l)
    for (int j = 0; j < k; ++j)
      for (int i = 0; i < k; ++i) {
        const int p = i + k * (j + k * l);
        t.add(p, p, 6.0);
        if (i > 0) t.add(p, p - 1, -1.0);
        if (i + 1 < k) t.add(p, p + 1, -1.0);
        if (j > 0) t.add(p, p - k, -1.0);
        if (j + 1 < k) t.add(p, p + k, -1.0);
        if (l > 0) t.add(p, p - k * k, -1.0);
        if (l + 1 < k) t.add(p, p + k * k, -1.0);
      }
  return t;
}

// Central differences for -Laplace(u) + (b1, b2) . grad(u) on a k x k grid (grid spacing
// 1/(k + 1)): unsymmetric.
inline Triplets convectionDiffusion(int k, double b1, double b2) {
  Triplets t;
  t.n = k * k;
  const double h = 1.0 / (k + 1);
  for (int j = 0; j < k; ++j)
    for (int i = 0; i < k; ++i) {
      const int p = i + k * j;
      t.add(p, p, 4.0);
      if (i > 0) t.add(p, p - 1, -1.0 - b1 * h / 2);
      if (i + 1 < k) t.add(p, p + 1, -1.0 + b1 * h / 2);
      if (j > 0) t.add(p, p - k, -1.0 - b2 * h / 2);
      if (j + 1 < k) t.add(p, p + k, -1.0 + b2 * h / 2);
    }
  return t;
}

// Random unsymmetric pattern: a diagonal entry diagonalShift + U(-1, 1) and `perRow` further
// entries U(-1, 1) in uniformly drawn columns of every row.
inline Triplets randomSparse(int n, int perRow, unsigned seed, double diagonalShift) {
  Triplets t;
  t.n = n;
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> col(0, n - 1);
  std::uniform_real_distribution<double> value(-1.0, 1.0);
  for (int i = 0; i < n; ++i) {
    t.add(i, i, diagonalShift + value(gen));
    for (int k = 0; k < perRow; ++k) t.add(i, col(gen), value(gen));
  }
  return t;
}

}  // namespace sparse_problems

#endif
