// Analysis, factorisation and solves of the normal matrix J^T J + mu D^2 straight from a sparse
// Jacobian: its columns are formed on the fly from J's columns and J's rows, so only J's row
// structure and the factor are kept. The factorisation is the up-looking (row by row) Cholesky
// method: row k of L comes from a triangular solve with the rows above, its pattern from the
// elimination tree. Layout of iw in normal_cholesky.hpp.
#include "kernel/nle/normal_cholesky.hpp"

#include <amd.h>

#include <algorithm>
#include <cassert>
#include <cmath>

namespace Orvo {
namespace nle {

IntLayout::IntLayout(int m, int n, int nnzJ) {
  cp = 0;
  rp = cp + n + 1;
  rcol = rp + m + 1;
  rpos = rcol + nnzJ;
  perm = rpos + nnzJ;
  pinv = perm + n;
  parent = pinv + n;
  lp = parent + n;
  next = lp + n + 1;
  stack = next + n;
  flag = stack + n;
  head = flag + n;
}

bool ValidPattern(const Jacobian& J) {
  if (J.colStarts[0] != 1) return false;
  for (int j = 0; j < J.n; ++j)
    if (J.colStarts[j + 1] < J.colStarts[j]) return false;
  const int entries = J.entries();
  for (int e = 0; e < entries; ++e)
    if (J.rows[e] < 1 || J.rows[e] > J.m) return false;
  return true;
}

bool SamePattern(const Jacobian& J, const int* iw) {
  const int nnzJ = J.entries();
  const IntLayout at(J.m, J.n, nnzJ);
  const int* cp = iw + at.cp;
  for (int j = 0; j <= J.n; ++j)
    if (cp[j] != J.colStarts[j]) return false;
  const int* rp = iw + at.rp;
  const int* rpos = iw + at.rpos;
  if (rp[J.m] != nnzJ) return false;
  for (int r = 0; r < J.m; ++r)
    for (int t = rp[r]; t < rp[r + 1]; ++t)
      if (J.rows[rpos[t]] != r + 1) return false;
  return true;
}

namespace {

// Row structure of J: Rp, Rcol (original columns for now), Rpos. Reports repeated positions.
bool BuildRows(const Jacobian& J, int* iw, const IntLayout& at) {
  int* rp = iw + at.rp;
  int* rcol = iw + at.rcol;
  int* rpos = iw + at.rpos;
  int* mark = iw + at.flag;
  std::fill(rp, rp + J.m + 1, 0);
  const int entries = J.entries();
  for (int e = 0; e < entries; ++e) ++rp[J.rows[e]];
  for (int r = 0; r < J.m; ++r) rp[r + 1] += rp[r];
  // rp[r] now ends row r - 1; filling advances it to the end of row r, and a shift restores
  // the starts.
  for (int j = 0; j < J.n; ++j)
    for (int e = J.colStarts[j] - 1; e < J.colStarts[j + 1] - 1; ++e) {
      const int t = rp[J.rows[e] - 1]++;
      rcol[t] = j;
      rpos[t] = e;
    }
  for (int r = J.m; r > 0; --r) rp[r] = rp[r - 1];
  rp[0] = 0;
  bool duplicates = false;
  std::fill(mark, mark + J.n, -1);
  for (int r = 0; r < J.m && !duplicates; ++r)
    for (int t = rp[r]; t < rp[r + 1]; ++t) {
      if (mark[rcol[t]] == r) duplicates = true;
      mark[rcol[t]] = r;
    }
  return duplicates;
}

// Lower triangle of J^T J's pattern in original numbering, whole diagonal included: counted
// (lowerRows null) or written into lowerStarts / lowerRows (0-based, rows unsorted).
std::int64_t LowerPattern(const Jacobian& J, int* iw, const IntLayout& at, int* lowerStarts,
                          int* lowerRows) {
  const int* rp = iw + at.rp;
  const int* rcol = iw + at.rcol;
  int* mark = iw + at.flag;
  std::fill(mark, mark + J.n, -1);
  std::int64_t count = 0;
  for (int j = 0; j < J.n; ++j) {
    if (lowerStarts != nullptr) lowerStarts[j] = static_cast<int>(count);
    mark[j] = j;
    if (lowerRows != nullptr) lowerRows[count] = j;
    ++count;
    for (int e = J.colStarts[j] - 1; e < J.colStarts[j + 1] - 1; ++e) {
      const int r = J.rows[e] - 1;
      for (int t = rp[r]; t < rp[r + 1]; ++t) {
        const int c = rcol[t];
        if (c > j && mark[c] != j) {
          mark[c] = j;
          if (lowerRows != nullptr) lowerRows[count] = c;
          ++count;
        }
      }
    }
  }
  if (lowerStarts != nullptr) lowerStarts[J.n] = static_cast<int>(count);
  return count;
}

// Elimination tree of the permuted normal matrix (Liu's algorithm with path compression).
void EliminationTree(const Jacobian& J, int* iw, const IntLayout& at) {
  const int* rp = iw + at.rp;
  const int* rcol = iw + at.rcol;
  const int* perm = iw + at.perm;
  int* parent = iw + at.parent;
  int* ancestor = iw + at.stack;
  for (int k = 0; k < J.n; ++k) {
    parent[k] = -1;
    ancestor[k] = -1;
    const int j = perm[k];
    for (int e = J.colStarts[j] - 1; e < J.colStarts[j + 1] - 1; ++e) {
      const int r = J.rows[e] - 1;
      for (int t = rp[r]; t < rp[r + 1]; ++t) {
        int i = rcol[t];
        while (i != -1 && i < k) {
          const int inext = ancestor[i];
          ancestor[i] = k;
          if (inext == -1) parent[i] = k;
          i = inext;
        }
      }
    }
  }
}

// Column counts of L into Lp, then their running sums; returns nnzL.
std::int64_t ColumnCounts(const Jacobian& J, int* iw, const IntLayout& at) {
  const int* rp = iw + at.rp;
  const int* rcol = iw + at.rcol;
  const int* perm = iw + at.perm;
  const int* parent = iw + at.parent;
  int* lp = iw + at.lp;
  int* mark = iw + at.flag;
  std::fill(mark, mark + J.n, -1);
  // Counts stay in int: a column holds at most n entries.
  std::fill(lp, lp + J.n + 1, 1);
  for (int k = 0; k < J.n; ++k) {
    mark[k] = k;
    const int j = perm[k];
    for (int e = J.colStarts[j] - 1; e < J.colStarts[j + 1] - 1; ++e) {
      const int r = J.rows[e] - 1;
      for (int t = rp[r]; t < rp[r + 1]; ++t) {
        for (int i = rcol[t]; i < k && mark[i] != k; i = parent[i]) {
          assert(i != -1);
          mark[i] = k;
          ++lp[i];
        }
      }
    }
  }
  std::int64_t total = 0;
  for (int k = 0; k < J.n; ++k) {
    const int count = lp[k];
    lp[k] = total > INT32_MAX ? INT32_MAX : static_cast<int>(total);
    total += count;
  }
  lp[J.n] = total > INT32_MAX ? INT32_MAX : static_cast<int>(total);
  return total;
}

}  // namespace

AnalysisResult Analyse(const Jacobian& J, int* iw, std::int64_t liw, bool naturalOrder) {
  const int n = J.n;
  const IntLayout at(J.m, n, J.entries());
  AnalysisResult result{false, at.head + 2 * static_cast<std::int64_t>(n) + 1, 0, 0, false};
  if (result.intsNeeded > liw) return result;

  std::copy(J.colStarts, J.colStarts + n + 1, iw + at.cp);
  result.duplicates = BuildRows(J, iw, at);

  result.nnzA = LowerPattern(J, iw, at, nullptr, nullptr);
  result.intsNeeded = at.head + n + 1 + result.nnzA;
  if (result.intsNeeded > liw || result.nnzA > INT32_MAX) return result;

  int* perm = iw + at.perm;
  int* pinv = iw + at.pinv;
  int* lowerStarts = iw + at.head;
  int* lowerRows = lowerStarts + n + 1;
  bool ordered = false;
  if (!naturalOrder) {
    LowerPattern(J, iw, at, lowerStarts, lowerRows);
    // The minimum-degree code orders the pattern of A + A^T from either triangle; it works on
    // its own scratch and fails only for want of it, when the natural order serves instead.
    ordered = amd_order(n, lowerStarts, lowerRows, perm, nullptr, nullptr) >= AMD_OK;
  }
  if (!ordered)
    for (int k = 0; k < n; ++k) perm[k] = k;
  for (int k = 0; k < n; ++k) pinv[perm[k]] = k;
  int* rcol = iw + at.rcol;
  const int entries = J.entries();
  for (int t = 0; t < entries; ++t) rcol[t] = pinv[rcol[t]];

  EliminationTree(J, iw, at);
  result.nnzL = ColumnCounts(J, iw, at);
  result.intsNeeded = at.head + std::max<std::int64_t>(result.nnzL, n + 1 + result.nnzA);
  result.done = result.intsNeeded <= liw && result.nnzL <= INT32_MAX;
  return result;
}

void NormalDiagonal(const Jacobian& J, const int* iw, bool duplicates, double* diag) {
  const IntLayout at(J.m, J.n, J.entries());
  const int* perm = iw + at.perm;
  const int* pinv = iw + at.pinv;
  if (!duplicates) {
    for (int j = 0; j < J.n; ++j) {
      double sum = 0.0;
      for (int e = J.colStarts[j] - 1; e < J.colStarts[j + 1] - 1; ++e)
        sum += J.values[e] * J.values[e];
      diag[pinv[j]] = sum;
    }
    return;
  }
  // Repeated positions add up before squaring: take the diagonal of the product itself.
  const int* rp = iw + at.rp;
  const int* rcol = iw + at.rcol;
  const int* rpos = iw + at.rpos;
  for (int k = 0; k < J.n; ++k) {
    const int j = perm[k];
    double sum = 0.0;
    for (int e = J.colStarts[j] - 1; e < J.colStarts[j + 1] - 1; ++e) {
      const int r = J.rows[e] - 1;
      for (int t = rp[r]; t < rp[r + 1]; ++t)
        if (rcol[t] == k) sum += J.values[e] * RowValue(J, rpos, t);
    }
    diag[k] = sum;
  }
}

bool Factorise(const Jacobian& J, int* iw, double mu, const double* dsq, const double* diag,
               double pivotTolerance, double* Lx, double* work) {
  const int n = J.n;
  const IntLayout at(J.m, n, J.entries());
  const int* rp = iw + at.rp;
  const int* rcol = iw + at.rcol;
  const int* rpos = iw + at.rpos;
  const int* perm = iw + at.perm;
  const int* parent = iw + at.parent;
  const int* lp = iw + at.lp;
  int* fill = iw + at.next;
  int* stack = iw + at.stack;
  int* mark = iw + at.flag;
  int* li = iw + at.head;
  double* x = work;
  std::fill(x, x + n, 0.0);
  std::fill(mark, mark + n, -1);
  std::copy(lp, lp + n, fill);

  for (int k = 0; k < n; ++k) {
    // Column k of the permuted normal matrix, rows 0..k, scattered into x; the rows of L's
    // k-th row are the elimination-tree paths from its entries, gathered in topological order
    // at the top of the stack.
    const int j = perm[k];
    mark[k] = k;
    int top = n;
    for (int e = J.colStarts[j] - 1; e < J.colStarts[j + 1] - 1; ++e) {
      const int r = J.rows[e] - 1;
      const double v = J.values[e];
      for (int t = rp[r]; t < rp[r + 1]; ++t) {
        int i = rcol[t];
        if (i > k) continue;
        x[i] += v * RowValue(J, rpos, t);
        int length = 0;
        for (; mark[i] != k; i = parent[i]) {
          assert(i != -1 && i < k);
          stack[length++] = i;
          mark[i] = k;
        }
        while (length > 0) stack[--top] = stack[--length];
      }
    }
    const double shift = mu * dsq[j];
    double d = x[k] + shift;
    x[k] = 0.0;
    for (int p = top; p < n; ++p) {
      const int i = stack[p];
      const double lki = x[i] / Lx[lp[i]];
      x[i] = 0.0;
      for (int q = lp[i] + 1; q < fill[i]; ++q) x[li[q]] -= Lx[q] * lki;
      d -= lki * lki;
      const int q = fill[i]++;
      li[q] = k;
      Lx[q] = lki;
    }
    if (!(d > pivotTolerance * (diag[k] + shift)) || !std::isfinite(d)) return false;
    assert(fill[k] == lp[k]);
    const int q = fill[k]++;
    li[q] = k;
    Lx[q] = std::sqrt(d);
  }
#ifndef NDEBUG
  for (int k = 0; k < n; ++k) assert(fill[k] == lp[k + 1]);
#endif
  return true;
}

void SolveFactorised(const Jacobian& J, const int* iw, const double* Lx, double* b) {
  const int n = J.n;
  const IntLayout at(J.m, n, J.entries());
  const int* lp = iw + at.lp;
  const int* li = iw + at.head;
  for (int k = 0; k < n; ++k) {
    b[k] /= Lx[lp[k]];
    const double bk = b[k];
    for (int q = lp[k] + 1; q < lp[k + 1]; ++q) b[li[q]] -= Lx[q] * bk;
  }
  for (int k = n - 1; k >= 0; --k) {
    double sum = b[k];
    for (int q = lp[k] + 1; q < lp[k + 1]; ++q) sum -= Lx[q] * b[li[q]];
    b[k] = sum / Lx[lp[k]];
  }
}

}  // namespace nle
}  // namespace Orvo
