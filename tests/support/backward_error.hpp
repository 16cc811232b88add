// Backward errors of computed solutions, in units of machine epsilon, shared by the tests and
// the benchmarks: a backward-stable solve gives a small multiple of the problem size, whatever
// the conditioning. The residual is formed with plain loops, independently of the library's own
// products, so that a fault there cannot hide one in the solver being checked.
#ifndef ORVO_TESTS_SUPPORT_BACKWARD_ERROR_HPP
#define ORVO_TESTS_SUPPORT_BACKWARD_ERROR_HPP

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "orvo/matrix.hpp"

namespace support {

inline constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

// max_i |(op(A) x - b)_i| / (max_ij |a_ij| * |x|_1 + max_i |b_i|) / eps for a square column-major
// A (n x n, leading dimension n); op(A) = A^T when transposed.
inline double denseBackwardError(const std::vector<double>& a, int n, const std::vector<double>& x,
                                 const std::vector<double>& b, bool transposed = false) {
  double largestResidual = 0.0, largestA = 0.0, largestB = 0.0, sumX = 0.0;
  for (int i = 0; i < n; ++i) {
    double r = -b[i];
    for (int k = 0; k < n; ++k) {
      const double aik =
          transposed ? a[k + static_cast<long>(i) * n] : a[i + static_cast<long>(k) * n];
      r += aik * x[k];
      largestA = std::max(largestA, std::fabs(aik));
    }
    largestResidual = std::max(largestResidual, std::fabs(r));
    largestB = std::max(largestB, std::fabs(b[i]));
    sumX += std::fabs(x[i]);
  }
  return largestResidual / (largestA * sumX + largestB) / kEpsilon;
}

// |A X - B|_F / (|A|_F |X|_F + |B|_F) / eps for dense matrices of any conforming shapes.
inline double frobeniusBackwardError(const Orvo::RMatrix& A, const Orvo::RMatrix& X,
                                     const Orvo::RMatrix& B) {
  double residual = 0.0, normA = 0.0, normX = 0.0, normB = 0.0;
  for (int j = 0; j < B.Width(); ++j)
    for (int i = 0; i < B.Height(); ++i) {
      double r = -B(i, j);
      for (int k = 0; k < A.Width(); ++k) r += A(i, k) * X(k, j);
      residual += r * r;
      normB += B(i, j) * B(i, j);
    }
  for (int j = 0; j < A.Width(); ++j)
    for (int i = 0; i < A.Height(); ++i) normA += A(i, j) * A(i, j);
  for (int j = 0; j < X.Width(); ++j)
    for (int i = 0; i < X.Height(); ++i) normX += X(i, j) * X(i, j);
  return std::sqrt(residual) / (std::sqrt(normA) * std::sqrt(normX) + std::sqrt(normB)) / kEpsilon;
}

// ||A x - b||_inf / (||A||_inf ||x||_inf + ||b||_inf) / eps for A (rows x cols) given as ne
// coordinate entries with 1-based indices; entries at the same position add up.
inline double sparseBackwardError(int rows, int cols, int ne, const int* irn, const int* jcn,
                                  const double* a, const double* x, const double* b) {
  std::vector<double> rowSum(rows, 0.0), ax(rows, 0.0);
  for (int k = 0; k < ne; ++k) {
    rowSum[irn[k] - 1] += std::fabs(a[k]);
    ax[irn[k] - 1] += a[k] * x[jcn[k] - 1];
  }
  double r = 0.0, normA = 0.0, normX = 0.0, normB = 0.0;
  for (int i = 0; i < rows; ++i) {
    r = std::max(r, std::fabs(ax[i] - b[i]));
    normA = std::max(normA, rowSum[i]);
    normB = std::max(normB, std::fabs(b[i]));
  }
  for (int j = 0; j < cols; ++j) normX = std::max(normX, std::fabs(x[j]));
  return r / (normA * normX + normB) / kEpsilon;
}

}  // namespace support

#endif
