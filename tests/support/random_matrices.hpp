// Reproducible random test matrices shared by the tests and the benchmarks: entries uniform in
// [-1, 1) from a seeded Mersenne Twister, written in column-major order, so that a given seed
// gives the same matrix in every file and on every run. The symmetric positive definite maker
// adds n to the diagonal of M^T M, which keeps its condition number modest at every size.
#ifndef ORVO_TESTS_SUPPORT_RANDOM_MATRICES_HPP
#define ORVO_TESTS_SUPPORT_RANDOM_MATRICES_HPP

#include <random>
#include <vector>

#include "orvo/matrix.hpp"

namespace support {

// rows x cols values, column-major.
inline std::vector<double> randomValues(int rows, int cols, unsigned seed) {
  std::mt19937 engine(seed);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  std::vector<double> values(static_cast<std::size_t>(rows) * cols);
  for (double& v : values) v = uniform(engine);
  return values;
}

// The same values as a matrix: well conditioned in practice for square sizes up to a few hundred.
inline Orvo::RMatrix randomMatrix(int rows, int cols, unsigned seed) {
  std::mt19937 engine(seed);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  Orvo::RMatrix m(rows, cols);
  for (long k = 0; k < static_cast<long>(rows) * cols; ++k) m(k) = uniform(engine);
  return m;
}

// M^T M + n I with M = randomMatrix(n, n, seed), formed with plain loops.
inline Orvo::RMatrix randomSpd(int n, unsigned seed) {
  const Orvo::RMatrix m = randomMatrix(n, n, seed);
  Orvo::RMatrix spd(n, n);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) {
      double s = 0.0;
      for (int k = 0; k < n; ++k) s += m(k, i) * m(k, j);
      spd(i, j) = s + (i == j ? n : 0.0);
    }
  return spd;
}

}  // namespace support

#endif
