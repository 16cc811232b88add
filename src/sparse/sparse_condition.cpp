// Condition estimate of a square sparse matrix from the factors its solve keeps: the exact
// 1-norm of the matrix the factors belong to, and an estimate of the 1-norm of its inverse from
// a few solves with A and A^T. Kept apart from the solve, which never needs it.
#include <cmath>
#include <limits>

#include "dense/inverse_norm_estimate.hpp"
#include "kernel/sparse/sparse_kernels.hpp"
#include "orvo/sparse.hpp"
#include "sparse/sparse_records.hpp"

namespace Orvo {

namespace {

// ||A||_1 of the n x n matrix given by ne triples (1-based indices), duplicates added up first:
// entries are bucketed by column, then each column is summed into a dense accumulator.
double tripletOneNorm(int n, int ne, const int* rows, const int* columns, const double* values) {
  mvlarray<int> start(n + 1), order(ne > 0 ? ne : 1), touched(n > 0 ? n : 1),
      touchedIn(n > 0 ? n : 1);
  mvlarray<double> accumulator(n > 0 ? n : 1);
  for (int j = 0; j <= n; ++j) start[j] = 0;
  for (int k = 0; k < ne; ++k) ++start[columns[k]];  // columns are 1-based: counts land at j
  for (int j = 0; j < n; ++j) start[j + 1] += start[j];
  for (int k = 0; k < ne; ++k) order[start[columns[k] - 1]++] = k;
  // start[j] is now the end of column j's bucket (the start of column j + 1's).
  for (int i = 0; i < n; ++i) {
    accumulator[i] = 0.0;
    touchedIn[i] = -1;
  }
  double norm = 0.0;
  int begin = 0;
  for (int j = 0; j < n; ++j) {
    int count = 0;
    for (int p = begin; p < start[j]; ++p) {
      const int k = order[p], i = rows[k] - 1;
      // Marked by column, not by a zero sum: duplicates that cancel must not list a row twice.
      if (touchedIn[i] != j) {
        touchedIn[i] = j;
        touched[count++] = i;
      }
      accumulator[i] += values[k];
    }
    double sum = 0.0;
    for (int t = 0; t < count; ++t) {
      sum += std::fabs(accumulator[touched[t]]);
      accumulator[touched[t]] = 0.0;
    }
    if (!(sum <= norm)) norm = sum;
    begin = start[j];
  }
  return norm;
}

}  // namespace

double sparseMatrix::RCond() {
  if (square_ == nullptr) return kNoFactors;
  MA38Work& w = *square_;
  if (w.info[0] == 1) return 0.0;  // singular
  if (w.info[0] != 0 || w.n < 1) return kNoFactors;
  const int n = w.n, ne = w.ne;
  // The front of the record's arrays keeps the matrix the factors were computed from.
  const double norm = tripletOneNorm(n, ne, w.index.Array(), w.index.Array() + ne, w.value.Array());
  if (!std::isfinite(norm)) return std::numeric_limits<double>::quiet_NaN();
  if (norm == 0.0) return 0.0;

  // The estimate needs no refined solves: a few digits of ||A^-1||_1 are all it reports, and
  // refinement would triple the cost of every solve.
  mvlarray<int> icntl(w.icntl);
  icntl[7] = 0;  // icntl(8): the refinement steps
  mvlarray<double> rhs(n), work(2 * n);
  bool failed = false;
  const auto solveWith = [&](bool transpose) {
    return [&, transpose](double* v) {
      for (int i = 0; i < n; ++i) rhs[i] = v[i];
      const int job = 0;
      HSL_MA38CD(&w.n, &job, &transpose, &w.lvalue, &w.lindex, w.value.Array(), w.index.Array(),
                 w.keep.Array(), rhs.Array(), v, work.Array(), w.cntl.Array(), icntl.Array(),
                 w.info.Array(), w.rinfo.Array());
      failed = failed || w.info[0] != 0;
    };
  };
  const double inverseNorm = detail::estimateInverseOneNorm(n, solveWith(false), solveWith(true));
  if (failed) return kNoFactors;
  if (!std::isfinite(inverseNorm)) return std::numeric_limits<double>::quiet_NaN();
  return inverseNorm > 0.0 ? 1.0 / (norm * inverseNorm) : 0.0;
}

}  // namespace Orvo
