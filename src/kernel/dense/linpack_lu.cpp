// LU factorisation and solve in the classical column-oriented form: every elimination step
// works down whole columns (axpy updates), which suits column-major storage and keeps small
// systems free of the blocking overhead of the LAPACK routines.
//
// Layout of the factors, as the classical routines leave it: U on and above the diagonal, the
// negated multipliers of L below it, and ipvt[k] the 1-based row swapped with row k at step k.
#include <cmath>

#include "common/array_helpers.hpp"
#include "kernel/dense/dense_kernels.hpp"

namespace {

// 0-based index of the first element of largest magnitude among x[0..count-1].
int indexOfLargestMagnitude(const double* x, int count) {
  int best = 0;
  double largest = std::fabs(x[0]);
  for (int i = 1; i < count; ++i) {
    const double magnitude = std::fabs(x[i]);
    if (magnitude > largest) {
      largest = magnitude;
      best = i;
    }
  }
  return best;
}

// y[0..count-1] += alpha * x[0..count-1].
inline void addScaled(int count, double alpha, const double* x, double* y) {
  for (int i = 0; i < count; ++i) y[i] += alpha * x[i];
}

using Orvo::detail::dot;

// Negative codes name the offending argument by its position, as LAPACK does.
int checkArguments(int lda, int n) {
  if (n < 0) return -3;
  if (lda < (n > 1 ? n : 1)) return -2;
  return 0;
}

}  // namespace

int CLinpack_DGEFA(double* a, int lda, int n, int* ipvt) {
  if (const int bad = checkArguments(lda, n)) return bad;
  if (n == 0) return 0;
  int info = 0;
  const long ld = lda;
  for (int k = 0; k + 1 < n; ++k) {
    double* columnK = a + k * ld;
    const int pivotRow = k + indexOfLargestMagnitude(columnK + k, n - k);
    ipvt[k] = pivotRow + 1;
    if (columnK[pivotRow] == 0.0) {
      // The column is already eliminated below the diagonal; only the zero pivot is recorded.
      info = k + 1;
      continue;
    }
    if (pivotRow != k) {
      const double swap = columnK[pivotRow];
      columnK[pivotRow] = columnK[k];
      columnK[k] = swap;
    }
    const double scale = -1.0 / columnK[k];
    for (int i = k + 1; i < n; ++i) columnK[i] *= scale;
    for (int j = k + 1; j < n; ++j) {
      double* columnJ = a + j * ld;
      const double t = columnJ[pivotRow];
      if (pivotRow != k) {
        columnJ[pivotRow] = columnJ[k];
        columnJ[k] = t;
      }
      addScaled(n - k - 1, t, columnK + k + 1, columnJ + k + 1);
    }
  }
  ipvt[n - 1] = n;
  if (a[(n - 1) + (n - 1) * ld] == 0.0) info = n;
  return info;
}

int CLinpack_DGESL(const double* a, int lda, int n, const int* ipvt, double* b, int job) {
  if (const int bad = checkArguments(lda, n)) return bad;
  const long ld = lda;
  if (job == 0) {
    // L y = P b, then U x = y.
    for (int k = 0; k + 1 < n; ++k) {
      const int pivotRow = ipvt[k] - 1;
      const double t = b[pivotRow];
      if (pivotRow != k) {
        b[pivotRow] = b[k];
        b[k] = t;
      }
      addScaled(n - k - 1, t, a + k + 1 + k * ld, b + k + 1);
    }
    for (int k = n - 1; k >= 0; --k) {
      b[k] /= a[k + k * ld];
      addScaled(k, -b[k], a + k * ld, b);
    }
    return 0;
  }
  // U^T y = b, then L^T x = y with the interchanges undone in reverse order.
  for (int k = 0; k < n; ++k) {
    const double* columnK = a + k * ld;
    b[k] = (b[k] - dot(k, columnK, b)) / columnK[k];
  }
  for (int k = n - 2; k >= 0; --k) {
    b[k] += dot(n - k - 1, a + k + 1 + k * ld, b + k + 1);
    const int pivotRow = ipvt[k] - 1;
    if (pivotRow != k) {
      const double t = b[pivotRow];
      b[pivotRow] = b[k];
      b[k] = t;
    }
  }
  return 0;
}
