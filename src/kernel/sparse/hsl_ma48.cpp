// General (rectangular or square) sparse LU. The matrix stays at the front of a/irn/jcn; the
// factors, the row and column permutations and a copy of the column indices go to the end of
// irn and a, so that new values can be written over the front before a refactorisation.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "kernel/sparse/hsl_units.hpp"
#include "kernel/sparse/sparse_kernels.hpp"
#include "kernel/sparse/sparse_lu_support.hpp"

namespace {
using namespace ma48;
constexpr int kAnalysedMark = 4801, kFactorisedMark = 4802;
constexpr int kDefaultUnit = 6;
constexpr int kDefaultBlockSize = 32;
constexpr double kDefaultPivotThreshold = 0.1;
constexpr double kDefaultSymmetricThreshold = 0.001;
constexpr double kDefaultRankTolerance = 1e-13;

// Region positions are absolute: a caller that enlarges the arrays copies their old contents to
// the same positions, where a later call must find them.
enum Keep {
  kMark,
  kRows,
  kCols,
  kEntries,
  kLnz,
  kUnz,
  kReciprocal,
  kRank,
  kIntBase,
  kRealBase,
  kSymmetric
};
enum InfoAt {
  kStatus = 0,
  kNeeded = 2,
  kNeededRefactor = 3,
  kRankInfo = 4,
  kFactorEntries = 5,
  kSummed = 6
};

int clampToInt(std::int64_t v) {
  return static_cast<int>(std::min<std::int64_t>(v, INT_MAX));
}

void reportError(const int* icntl, const char* routine, int status) {
  if (icntl[2] < 1 || status >= 0 || status == kShort) return;
  if (std::FILE* out = HslUnitStream(icntl[0]))
    std::fprintf(out, "%s: error status %d\n", routine, status);
}

// Integers behind the matrix: the factor pieces plus a copy of the ne column indices.
std::int64_t regionIntegers(int m, int n, int ne, std::int64_t lnz, std::int64_t unz) {
  return sparse_lu::FactorIntegers(m, n, lnz, unz) + ne;
}

struct Region {
  sparse_lu::FactorView factors;
  int* columns;  // copy of jcn
};

struct Bases {
  std::int64_t integers, reals;
};

// New factors go to the very end of arrays of length la.
Bases basesAtEnd(int m, int n, int ne, std::int64_t lnz, std::int64_t unz, int la) {
  return {la - regionIntegers(m, n, ne, lnz, unz), la - sparse_lu::FactorReals(m, lnz, unz)};
}

Bases storedBases(const int* keep) {
  return {keep[kIntBase], keep[kRealBase]};
}

Region layRegion(int m, int n, std::int64_t lnz, std::int64_t unz, Bases at, const int* irn,
                 const double* a) {
  int* integers = const_cast<int*>(irn) + at.integers;
  double* reals = const_cast<double*>(a) + at.reals;
  Region r{sparse_lu::LayFactors(m, n, lnz, integers, reals), nullptr};
  r.columns = integers + sparse_lu::FactorIntegers(m, n, lnz, unz);
  return r;
}

double largestPivot(const sparse_lu::FactorView& f) {
  double largest = 0.0;
  const int r = std::min(f.m, f.n);
  for (int j = 0; j < r; ++j) {
    const int last = f.uStart[j + 1] - 1;
    if (last >= f.uStart[j] && f.uRow[last] == j)
      largest = std::max(largest, std::fabs(f.uValue[last]));
  }
  return largest;
}

int rankOf(const sparse_lu::FactorView& f, double tolerance) {
  const double threshold = tolerance * largestPivot(f);
  int rank = 0;
  const int r = std::min(f.m, f.n);
  for (int j = 0; j < r; ++j) {
    const int last = f.uStart[j + 1] - 1;
    if (last >= f.uStart[j] && f.uRow[last] == j && std::fabs(f.uValue[last]) > threshold &&
        f.uValue[last] != 0.0)
      ++rank;
  }
  return rank;
}

sparse_lu::Settings settingsFrom(const double* cntl, const int* icntl) {
  sparse_lu::Settings s;
  s.pivotThreshold = cntl[0];
  s.symmetricPivotThreshold = cntl[1];
  s.blockSize = std::max(1, icntl[5]);
  return s;
}

int checkShape(int m, int n, int ne) {
  if (m < 1 || n < 1) return kBadShape;
  if (ne < 1) return kBadEntries;
  return kOk;
}
}  // namespace

void HSL_MA48ID(double* cntl, int* icntl) {
  std::fill(cntl, cntl + 5, 0.0);
  std::fill(icntl, icntl + 9, 0);
  cntl[0] = kDefaultPivotThreshold;
  cntl[1] = kDefaultSymmetricThreshold;
  cntl[3] = kDefaultRankTolerance;
  icntl[0] = kDefaultUnit;
  icntl[1] = kDefaultUnit;
  icntl[5] = kDefaultBlockSize;
}

void HSL_MA48AD(const int* m, const int* n, const int* ne, const int* job, const int* la, double* a,
                int* irn, int* jcn, int* keep, const double* cntl, const int* icntl, int*,
                int* info, double* rinfo) {
  std::fill(info, info + kInfoLength, 0);
  rinfo[0] = 0.0;
  auto finish = [&](int status) {
    info[kStatus] = status;
    reportError(icntl, "HSL_MA48AD", status);
  };
  if (int status = checkShape(*m, *n, *ne); status != kOk) return finish(status);
  if (*job != 1) return finish(kBadJob);
  if (*la < *ne) {
    info[kNeeded] = *ne;
    return finish(kShort);
  }
  sparse_lu::ColumnForm form;
  if (!sparse_lu::BuildColumnForm(*m, *n, *ne, irn, jcn, a, false, form)) return finish(kOutside);
  info[kSummed] = static_cast<int>(form.row.size());
  // The analysis only sizes the storage: its estimate of the factors decides whether la
  // suffices.
  std::int64_t needed = 0;
  auto fits = [&](std::int64_t lnz, std::int64_t unz) {
    needed = *ne + regionIntegers(*m, *n, *ne, lnz, unz);
    return false;
  };
  auto place = [](std::int64_t, std::int64_t) { return sparse_lu::FactorView{}; };
  const sparse_lu::Attempt attempt =
      sparse_lu::Factorise(form, settingsFrom(cntl, icntl), nullptr, fits, place);
  if (attempt.kind != sparse_lu::Attempt::kShort) return finish(kOutside);
  info[kNeeded] = clampToInt(needed);
  keep[kMark] = kAnalysedMark;
  keep[kRows] = *m;
  keep[kCols] = *n;
  keep[kEntries] = *ne;
  finish(needed > *la ? kShort : kOk);
}

void HSL_MA48BD(const int* m, const int* n, const int* ne, const int* job, const int* la, double* a,
                int* irn, int* jcn, int* keep, const double* cntl, const int* icntl, double*, int*,
                int* info, double* rinfo) {
  std::fill(info, info + kInfoLength, 0);
  auto finish = [&](int status) {
    info[kStatus] = status;
    reportError(icntl, "HSL_MA48BD", status);
  };
  const int rows = *m, cols = *n, entries = *ne;
  if (int status = checkShape(rows, cols, entries); status != kOk) return finish(status);
  const bool known = keep[kMark] == kAnalysedMark || keep[kMark] == kFactorisedMark;
  if ((*job != 1 && *job != 2) || !known || keep[kRows] != rows || keep[kCols] != cols ||
      keep[kEntries] != entries)
    return finish(kBadJob);
  // Job 2 reuses the column order of the last factorisation; after an analysis whose
  // factorisation never succeeded there is none, and the order is found afresh.
  const bool refactor = *job == 2 && keep[kMark] == kFactorisedMark;

  std::vector<int> storedOrder;
  const int* columns = jcn;
  std::vector<int> storedColumns;
  if (refactor) {
    // The old region holds the column order to reuse and the column indices of the entries.
    const Region old = layRegion(rows, cols, keep[kLnz], keep[kUnz], storedBases(keep), irn, a);
    storedOrder.assign(old.factors.colPerm, old.factors.colPerm + cols);
    storedColumns.assign(old.columns, old.columns + entries);
    columns = storedColumns.data();
  }
  sparse_lu::ColumnForm form;
  if (!sparse_lu::BuildColumnForm(rows, cols, entries, irn, columns, a, false, form))
    return finish(kOutside);
  info[kSummed] = static_cast<int>(form.row.size());

  std::int64_t needed = 0;
  auto fits = [&](std::int64_t lnz, std::int64_t unz) {
    needed = entries + regionIntegers(rows, cols, entries, lnz, unz);
    return needed <= *la;
  };
  auto place = [&](std::int64_t lnz, std::int64_t unz) {
    return layRegion(rows, cols, lnz, unz, basesAtEnd(rows, cols, entries, lnz, unz, *la), irn, a)
        .factors;
  };
  sparse_lu::Settings settings = settingsFrom(cntl, icntl);
  if (refactor)
    settings.strategy =
        keep[kSymmetric] != 0 ? sparse_lu::Settings::kSymmetric : sparse_lu::Settings::kUnsymmetric;
  const sparse_lu::Attempt attempt =
      sparse_lu::Factorise(form, settings, refactor ? storedOrder.data() : nullptr, fits, place);
  info[kNeeded] = info[kNeededRefactor] = clampToInt(needed);
  if (attempt.kind == sparse_lu::Attempt::kShort) return finish(kShort);
  if (attempt.kind == sparse_lu::Attempt::kInvalid) return finish(kOutside);

  const Bases bases = basesAtEnd(rows, cols, entries, attempt.lnz, attempt.unz, *la);
  Region region = layRegion(rows, cols, attempt.lnz, attempt.unz, bases, irn, a);
  std::copy(columns, columns + entries, region.columns);
  region.factors.reciprocalScale = attempt.reciprocalScale;
  keep[kMark] = kFactorisedMark;
  keep[kLnz] = static_cast<int>(attempt.lnz);
  keep[kUnz] = static_cast<int>(attempt.unz);
  keep[kReciprocal] = attempt.reciprocalScale ? 1 : 0;
  keep[kIntBase] = static_cast<int>(bases.integers);
  keep[kRealBase] = static_cast<int>(bases.reals);
  keep[kSymmetric] = attempt.symmetricStrategy ? 1 : 0;
  keep[kRank] = rankOf(region.factors, cntl[3]);
  info[kRankInfo] = keep[kRank];
  info[kFactorEntries] = clampToInt(attempt.lnz + attempt.unz);
  rinfo[0] = attempt.flops;
  finish(keep[kRank] < std::min(rows, cols) ? kRankDeficient : kOk);
}

void HSL_MA48CD(const int* m, const int* n, const bool* trans, const int* job, const int*,
                const double* a, const int* irn, const int* keep, const double* cntl,
                const int* icntl, const double* rhs, double* x, double* error, double* w, int*,
                int* info) {
  // Only the status changes: the factorisation's information stays readable.
  info[kStatus] = kOk;
  std::fill(error, error + 3, 0.0);
  const int rows = *m, cols = *n;
  if (keep[kMark] != kFactorisedMark || keep[kRows] != rows || keep[kCols] != cols ||
      (*job != 1 && *job != 3) || (*trans && rows != cols)) {
    info[kStatus] = kBadJob;
    reportError(icntl, "HSL_MA48CD", kBadJob);
    return;
  }
  const int entries = keep[kEntries];
  Region region = layRegion(rows, cols, keep[kLnz], keep[kUnz], storedBases(keep), irn, a);
  sparse_lu::FactorView& f = region.factors;
  f.reciprocalScale = keep[kReciprocal] != 0;
  const double zeroPivot = cntl[3] * largestPivot(f);
  auto solve = [&](const double* b, double* out) {
    if (*trans) {
      sparse_lu::SolveTransposedWithFactors(f, b, out, w);
    } else {
      sparse_lu::SolveWithFactors(f, b, out, w, zeroPivot);
    }
  };
  solve(rhs, x);

  // Residuals from the entries at the front and the column copy: op(A) x - b.
  const int outLength = *trans ? cols : rows;
  const int inLength = *trans ? rows : cols;
  double* r = w + rows + cols;
  double* correction = r + outLength;
  auto largestResidual = [&]() {
    const int* ri = *trans ? region.columns : irn;
    const int* ci = *trans ? irn : region.columns;
    std::copy(rhs, rhs + outLength, r);
    for (int k = 0; k < entries; ++k) r[ri[k] - 1] -= a[k] * x[ci[k] - 1];
    double largest = 0.0;
    for (int i = 0; i < outLength; ++i) largest = std::max(largest, std::fabs(r[i]));
    return largest;
  };
  double largest = largestResidual();
  const int steps = rows == cols ? icntl[8] : 0;
  for (int step = 0; step < steps && largest > 0.0; ++step) {
    solve(r, correction);
    for (int j = 0; j < inLength; ++j) x[j] += correction[j];
    const double before = largest;
    largest = largestResidual();
    if (largest >= before) {
      for (int j = 0; j < inLength; ++j) x[j] -= correction[j];
      largest = before;
      break;
    }
  }
  error[0] = largest;
  if (keep[kRank] < std::min(rows, cols)) info[kStatus] = kRankDeficient;
}
