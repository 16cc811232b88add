// The numeric engine is UMFPACK; its objects live only for the duration of one factorisation,
// after which the factors sit in the caller's arrays and everything else here works from them.
#include "kernel/sparse_lu_support.hpp"

#include <amd.h>
#include <umfpack.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "orvo/memory.hpp"

namespace sparse_lu {

namespace {
struct SymbolicDeleter {
  void operator()(void* p) const { umfpack_di_free_symbolic(&p); }
};
struct NumericDeleter {
  void operator()(void* p) const { umfpack_di_free_numeric(&p); }
};
using SymbolicHandle = std::unique_ptr<void, SymbolicDeleter>;
using NumericHandle = std::unique_ptr<void, NumericDeleter>;

void throwIfOutOfMemory(int status) {
  if (status == UMFPACK_ERROR_out_of_memory)
    throw Orvo::mvlException("sparse LU: not enough memory for the factorisation");
}

// Asks for the factor storage to be backed by large pages. The factors are written once, right
// after allocation, into pages nobody has touched yet; at 4 KiB a page, the faults taken on that
// first write cost about as much as the copy itself. Pages already in use are left as they are.
void adviseLargePages(void* begin, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kPage = 4096;
  constexpr std::size_t kWorthwhile = std::size_t{2} << 20;  // one large page
  if (bytes < kWorthwhile) return;
  const auto first = (reinterpret_cast<std::uintptr_t>(begin) + kPage - 1) & ~(kPage - 1);
  const auto last = (reinterpret_cast<std::uintptr_t>(begin) + bytes) & ~(kPage - 1);
  // Advice only: a refusal changes nothing but the speed.
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)begin;
  (void)bytes;
#endif
}

void adviseLargePages(const FactorView& f, std::int64_t lnz, std::int64_t unz) {
  const std::int64_t integers = FactorIntegers(f.m, f.n, lnz, unz);
  const std::int64_t reals = FactorReals(f.m, lnz, unz);
  adviseLargePages(f.rowPerm, static_cast<std::size_t>(integers) * sizeof(int));
  adviseLargePages(f.scale, static_cast<std::size_t>(reals) * sizeof(double));
}

// Entries of L plus U (diagonal once) that a symmetric ordering predicts for a pivot-free
// elimination, from the minimum-degree ordering of the pattern of A + A^T; 0 when the matrix is
// not square, when its pattern is too far from symmetric for the engine to order it that way
// (less than half the off-diagonal entries matched), or when a diagonal entry is missing.
std::int64_t symmetricOrderingCount(const ColumnForm& a) {
  constexpr double kSymmetricEnough = 0.5;
  if (a.m != a.n) return 0;
  double control[AMD_CONTROL], info[AMD_INFO];
  amd_defaults(control);
  std::vector<int> order;
  try {
    order.resize(a.n);
  } catch (const std::bad_alloc&) {
    throw Orvo::mvlException("sparse LU: not enough memory for the factorisation");
  }
  const int status = amd_order(a.n, a.start.data(), a.row.data(), order.data(), control, info);
  if (status == AMD_OUT_OF_MEMORY)
    throw Orvo::mvlException("sparse LU: not enough memory for the factorisation");
  if (status != AMD_OK || info[AMD_SYMMETRY] < kSymmetricEnough || info[AMD_NZDIAG] < a.n) return 0;
  return 2 * static_cast<std::int64_t>(info[AMD_LNZ]) + a.n;
}

// The storage estimate from such a count, split between L and U.
void splitSymmetricCount(const ColumnForm& a, std::int64_t count, Attempt& attempt) {
  const std::int64_t both = count + a.n;
  attempt.lnz = both / 2 + std::min(a.m, a.n) / 2;
  attempt.unz = both - both / 2;
}

double scaleOf(const FactorView& f, int row) {
  return f.reciprocalScale ? f.scale[row] : 1.0 / f.scale[row];
}

// The diagonal entry of column j of U, or 0 when it is absent (a zero pivot).
double pivotOf(const FactorView& f, int j) {
  const int last = f.uStart[j + 1] - 1;
  return (last >= f.uStart[j] && f.uRow[last] == j) ? f.uValue[last] : 0.0;
}
}  // namespace

bool BuildColumnForm(int m, int n, int ne, const int* rows, const int* cols, const double* values,
                     bool transpose, ColumnForm& out) {
  const int* r_of = transpose ? cols : rows;
  const int* c_of = transpose ? rows : cols;
  for (int k = 0; k < ne; ++k)
    if (r_of[k] < 1 || r_of[k] > m || c_of[k] < 1 || c_of[k] > n) return false;
  try {
    // Row form first (duplicates summed with a marker per column), then the column form, which
    // comes out with ascending rows because the rows are visited in order.
    std::vector<int> row_start(m + 1, 0), row_col(ne), marker(n, -1);
    std::vector<double> row_value(ne);
    for (int k = 0; k < ne; ++k) ++row_start[r_of[k]];
    for (int i = 0; i < m; ++i) row_start[i + 1] += row_start[i];
    std::vector<int> next(row_start.begin(), row_start.end() - 1);
    for (int k = 0; k < ne; ++k) {
      const int p = next[r_of[k] - 1]++;
      row_col[p] = c_of[k] - 1;
      row_value[p] = values[k];
    }
    int kept = 0;
    for (int i = 0; i < m; ++i) {
      const int first = row_start[i], end = row_start[i + 1];
      row_start[i] = kept;
      for (int p = first; p < end; ++p) {
        const int c = row_col[p];
        if (marker[c] >= row_start[i]) {
          row_value[marker[c]] += row_value[p];
          continue;
        }
        marker[c] = kept;
        row_col[kept] = c;
        row_value[kept++] = row_value[p];
      }
    }
    row_start[m] = kept;

    out.m = m;
    out.n = n;
    out.start.assign(n + 1, 0);
    out.row.resize(kept);
    out.value.resize(kept);
    for (int p = 0; p < kept; ++p) ++out.start[row_col[p] + 1];
    for (int j = 0; j < n; ++j) out.start[j + 1] += out.start[j];
    std::copy(out.start.begin(), out.start.end() - 1, marker.begin());
    for (int i = 0; i < m; ++i)
      for (int p = row_start[i]; p < row_start[i + 1]; ++p) {
        const int q = marker[row_col[p]]++;
        out.row[q] = i;
        out.value[q] = row_value[p];
      }
  } catch (const std::bad_alloc&) {
    throw Orvo::mvlException("sparse LU: not enough memory to convert the entries");
  }
  return true;
}

std::int64_t FactorIntegers(int m, int n, std::int64_t lnz, std::int64_t unz) {
  return 2 * std::int64_t{m} + 2 * std::int64_t{n} + 2 + lnz + unz;
}

std::int64_t FactorReals(int m, std::int64_t lnz, std::int64_t unz) {
  return m + lnz + unz;
}

FactorView LayFactors(int m, int n, std::int64_t lnz, int* integers, double* reals) {
  FactorView f;
  f.m = m;
  f.n = n;
  f.rowPerm = integers;
  f.colPerm = f.rowPerm + m;
  f.lStart = f.colPerm + n;
  f.uStart = f.lStart + m + 1;
  f.lCol = f.uStart + n + 1;
  f.uRow = f.lCol + lnz;
  f.scale = reals;
  f.lValue = f.scale + m;
  f.uValue = f.lValue + lnz;
  return f;
}

Attempt Factorise(const ColumnForm& a, const Settings& settings, const int* givenOrder,
                  const FitsFunction& fits, const PlaceFunction& place) {
  double control[UMFPACK_CONTROL], info[UMFPACK_INFO];
  umfpack_di_defaults(control);
  control[UMFPACK_PRL] = 0;
  control[UMFPACK_PIVOT_TOLERANCE] = settings.pivotThreshold;
  control[UMFPACK_SYM_PIVOT_TOLERANCE] = settings.symmetricPivotThreshold;
  control[UMFPACK_BLOCK_SIZE] = settings.blockSize;
  switch (settings.strategy) {
    case Settings::kChoose:
      control[UMFPACK_STRATEGY] = UMFPACK_STRATEGY_AUTO;
      break;
    case Settings::kUnsymmetric:
      control[UMFPACK_STRATEGY] = UMFPACK_STRATEGY_UNSYMMETRIC;
      break;
    case Settings::kSymmetric:
      control[UMFPACK_STRATEGY] = UMFPACK_STRATEGY_SYMMETRIC;
      break;
  }
  if (givenOrder != nullptr) control[UMFPACK_ORDERING] = UMFPACK_ORDERING_GIVEN;

  Attempt attempt;
  // The engine's analysis costs several times the ordering alone. When the storage is short
  // even for the factors that ordering predicts, the shortage is reported from that count and
  // the analysis is left to the call that has the room.
  if (givenOrder == nullptr && settings.strategy != Settings::kUnsymmetric) {
    if (const std::int64_t count = symmetricOrderingCount(a); count > 0) {
      splitSymmetricCount(a, count, attempt);
      if (!fits(attempt.lnz, attempt.unz)) {
        attempt.kind = Attempt::kShort;
        return attempt;
      }
    }
  }

  void* raw = nullptr;
  const int* ap = a.start.data();
  const int* ai = a.row.data();
  const double* ax = a.value.data();
  int status = givenOrder != nullptr
                   ? umfpack_di_qsymbolic(a.m, a.n, ap, ai, ax, givenOrder, &raw, control, info)
                   : umfpack_di_symbolic(a.m, a.n, ap, ai, ax, &raw, control, info);
  SymbolicHandle symbolic(raw);
  throwIfOutOfMemory(status);
  if (status != UMFPACK_OK) return attempt;

  // The analysis bounds L and U from above assuming the worst pivoting; for matrices ordered
  // symmetrically it also counts the factors of the pivot-free elimination, usually within a
  // few per cent of the truth, while the bound can be ten times too high. So the storage is
  // judged by an estimate: that count, or else half the bound (a caller that doubles the
  // estimate then holds the bound).
  attempt.symmetricStrategy = info[UMFPACK_STRATEGY_USED] == UMFPACK_STRATEGY_SYMMETRIC;
  if (attempt.symmetricStrategy && info[UMFPACK_SYMMETRIC_LUNZ] > 0) {
    splitSymmetricCount(a, static_cast<std::int64_t>(info[UMFPACK_SYMMETRIC_LUNZ]), attempt);
  } else {
    attempt.lnz = static_cast<std::int64_t>(info[UMFPACK_LNZ_ESTIMATE]) / 2;
    attempt.unz = static_cast<std::int64_t>(info[UMFPACK_UNZ_ESTIMATE]) / 2;
  }
  // A refactorisation's storage was sized by an earlier factorisation of the same pattern,
  // which says more than the estimate; only the exact sizes are judged then.
  if (givenOrder == nullptr && !fits(attempt.lnz, attempt.unz)) {
    attempt.kind = Attempt::kShort;
    return attempt;
  }

  raw = nullptr;
  status = umfpack_di_numeric(ap, ai, ax, symbolic.get(), &raw, control, info);
  NumericHandle numeric(raw);
  symbolic.reset();
  throwIfOutOfMemory(status);
  if (status < 0) return attempt;

  int lnz = 0, unz = 0, rows = 0, cols = 0, diagonal = 0;
  umfpack_di_get_lunz(&lnz, &unz, &rows, &cols, &diagonal, numeric.get());
  attempt.lnz = lnz;
  attempt.unz = unz;
  if (!fits(lnz, unz)) {
    attempt.kind = Attempt::kShort;
    return attempt;
  }
  FactorView f = place(lnz, unz);
  adviseLargePages(f, lnz, unz);
  int reciprocal = 0;
  status = umfpack_di_get_numeric(f.lStart, f.lCol, f.lValue, f.uStart, f.uRow, f.uValue, f.rowPerm,
                                  f.colPerm, nullptr, &reciprocal, f.scale, numeric.get());
  throwIfOutOfMemory(status);
  if (status != UMFPACK_OK) return attempt;
  attempt.reciprocalScale = reciprocal != 0;
  attempt.rank = static_cast<int>(info[UMFPACK_UDIAG_NZ]);
  attempt.offDiagonalPivots = static_cast<int>(info[UMFPACK_NOFF_DIAG]);
  attempt.flops = info[UMFPACK_FLOPS];
  attempt.smallestPivot = info[UMFPACK_UMIN];
  attempt.largestPivot = info[UMFPACK_UMAX];
  attempt.kind = attempt.rank < std::min(a.m, a.n) ? Attempt::kSingular : Attempt::kDone;
  return attempt;
}

void SolveWithFactors(const FactorView& f, const double* b, double* x, double* work,
                      double zeroPivot) {
  const int m = f.m, n = f.n, r = std::min(m, n);
  double* y = work;
  double* z = work + m;
  for (int k = 0; k < m; ++k) y[k] = scaleOf(f, f.rowPerm[k]) * b[f.rowPerm[k]];
  for (int i = 0; i < r; ++i) {
    double s = y[i];
    for (int p = f.lStart[i]; p < f.lStart[i + 1]; ++p)
      if (f.lCol[p] != i) s -= f.lValue[p] * y[f.lCol[p]];
    y[i] = s;
  }
  std::fill(z, z + n, 0.0);
  std::copy(y, y + r, z);
  for (int j = r - 1; j >= 0; --j) {
    const double d = pivotOf(f, j);
    if (std::fabs(d) <= zeroPivot) {
      z[j] = 0.0;
      continue;
    }
    const double zj = z[j] / d;
    z[j] = zj;
    const int end = f.uStart[j + 1];
    for (int p = f.uStart[j]; p < end; ++p)
      if (f.uRow[p] < j) z[f.uRow[p]] -= f.uValue[p] * zj;
  }
  for (int k = 0; k < n; ++k) x[f.colPerm[k]] = z[k];
}

void SolveTransposedWithFactors(const FactorView& f, const double* b, double* x, double* work) {
  const int n = f.n;
  double* w = work;
  for (int k = 0; k < n; ++k) w[k] = b[f.colPerm[k]];
  for (int j = 0; j < n; ++j) {
    double s = w[j];
    for (int p = f.uStart[j]; p < f.uStart[j + 1]; ++p)
      if (f.uRow[p] < j) s -= f.uValue[p] * w[f.uRow[p]];
    const double d = pivotOf(f, j);
    w[j] = d != 0.0 ? s / d : 0.0;
  }
  for (int i = n - 1; i >= 0; --i) {
    const double wi = w[i];
    for (int p = f.lStart[i]; p < f.lStart[i + 1]; ++p)
      if (f.lCol[p] != i) w[f.lCol[p]] -= f.lValue[p] * wi;
  }
  for (int k = 0; k < n; ++k) x[f.rowPerm[k]] = scaleOf(f, f.rowPerm[k]) * w[k];
}

}  // namespace sparse_lu
