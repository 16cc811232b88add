// Square sparse LU. The caller's index/value arrays carry the matrix at their front and the
// factors behind it, the index array also the engine's analysis of the pattern between the two
// (so that a refactorisation can skip it); `keep` records where the pieces are. A call that
// finds the arrays too short may leave the ordering it found behind the matrix instead, for the
// repeated call. Nothing else survives a call.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <vector>

#include "kernel/sparse/hsl_units.hpp"
#include "kernel/sparse/sparse_kernels.hpp"
#include "kernel/sparse/sparse_lu_support.hpp"
#include "kernel/sparse/supernodal_lu.hpp"

namespace {
using namespace ma38;
constexpr int kFactorisedMark = 3801;
constexpr int kOrderedMark = 3802;  // the arrays hold an order (and structure), not factors
constexpr int kDefaultUnit = 6;
constexpr int kDefaultBlockSize = 32;
// Threshold pivoting bounds the growth of the factors only loosely (a pivot may be a thousandth
// of its column under the diagonal preference): two steps of refinement, which stop as soon as
// the backward error is at rounding level, restore full accuracy where it has suffered.
constexpr int kDefaultRefinementSteps = 2;
constexpr double kDefaultPivotThreshold = 0.1;
constexpr double kDefaultSymmetricThreshold = 0.001;

// keep entries.
enum Keep {
  kMark,
  kOrder,
  kEntries,
  kLnz,
  kUnz,
  kReciprocal,
  kRank,
  kTransposed,
  kSymmetric,
  kAnalysisBytes,
  kPatternLow,  // fingerprint of the pattern factorised
  kPatternHigh,
  kLayout,       // how the factors lie in the arrays
  kOrderingLeft  // 1: a short first factorisation left its ordering behind the matrix
};

enum Layout { kEngineLayout = 0, kSupernodalLayout = 1 };

// info entries (0-based positions of the 1-based numbers in the header).
enum InfoAt {
  kStatus = 0,
  kOrderInfo = 4,
  kEntriesInfo = 5,
  kSummedInfo = 6,
  kLInfo = 9,
  kUInfo = 10,
  kRankInfo = 11,
  kOffDiagonalInfo = 12,
  kIndexNeeded = 18,
  kValueNeeded = 20,
  kIndexNeededRefactor = 21,
  kValueNeededRefactor = 22,
  kRefinementSteps = 23
};

const char* describe(int status) {
  switch (status) {
    case kOk:
      return "success";
    case kSingular:
      return "warning: matrix singular";
    case kBadOrder:
      return "error: order n < 1";
    case kBadEntries:
      return "error: no entries";
    case kIndexShort:
      return "storage: index array too short";
    case kValueShort:
      return "storage: value array too short";
    case kBothShort:
      return "storage: index and value arrays too short";
    case kOutside:
      return "error: entry outside the matrix";
    case kNoFactors:
      return "error: no factorisation to work from";
  }
  return "unknown";
}

// The pattern fingerprint as two keep entries.
std::uint64_t keptPattern(const int* keep) {
  return static_cast<std::uint64_t>(static_cast<std::uint32_t>(keep[kPatternHigh])) << 32 |
         static_cast<std::uint32_t>(keep[kPatternLow]);
}
void keepPattern(int* keep, std::uint64_t pattern) {
  keep[kPatternLow] = static_cast<int>(static_cast<std::uint32_t>(pattern));
  keep[kPatternHigh] = static_cast<int>(static_cast<std::uint32_t>(pattern >> 32));
}

int clampToInt(std::int64_t v) {
  return static_cast<int>(std::min<std::int64_t>(v, INT_MAX));
}

sparse_lu::Settings settingsFrom(const double* cntl, const int* icntl) {
  sparse_lu::Settings s;
  s.pivotThreshold = cntl[0];
  s.symmetricPivotThreshold = cntl[1];
  s.blockSize = std::max(1, icntl[6]);
  s.strategy = icntl[5] != 0 ? sparse_lu::Settings::kChoose : sparse_lu::Settings::kUnsymmetric;
  return s;
}

void reportError(const int* icntl, const char* routine, int status) {
  if (icntl[2] < 1 || status >= 0 || status == kIndexShort || status == kValueShort ||
      status == kBothShort)
    return;
  if (std::FILE* out = HslUnitStream(icntl[0]))
    std::fprintf(out, "%s: %s (status %d)\n", routine, describe(status), status);
}

void reportFactorisation(const int* icntl, const char* routine, const int* info,
                         const double* rinfo, int lindex, int lvalue) {
  if (icntl[2] < 2) return;
  std::FILE* out = HslUnitStream(icntl[1]);
  if (out == nullptr) return;
  std::fprintf(out, "%s: square sparse LU factorisation\n", routine);
  std::fprintf(out, "  order                 %d\n", info[kOrderInfo]);
  std::fprintf(out, "  entries               %d (%d after summing duplicates)\n",
               info[kEntriesInfo], info[kSummedInfo]);
  if (info[kStatus] >= 0) {
    const double fill = info[kSummedInfo] > 0 ? (info[kLInfo] + info[kUInfo] - info[kOrderInfo]) /
                                                    static_cast<double>(info[kSummedInfo])
                                              : 0.0;
    std::fprintf(out, "  entries in L, U       %d, %d (fill ratio %.2f)\n", info[kLInfo],
                 info[kUInfo], fill);
    std::fprintf(out, "  pivots                %d nonzero of %d, %d off the diagonal\n",
                 info[kRankInfo], info[kOrderInfo], info[kOffDiagonalInfo]);
    std::fprintf(out, "  pivot magnitudes      %.3e .. %.3e\n", rinfo[2], rinfo[3]);
    std::fprintf(out, "  flops                 %.3e\n", rinfo[1]);
  }
  std::fprintf(out, "  storage               index %d needed of %d, value %d needed of %d\n",
               info[kIndexNeeded], lindex, info[kValueNeeded], lvalue);
  std::fprintf(out, "  time                  %.6f s\n", rinfo[0]);
  std::fprintf(out, "  status                %d (%s)\n", info[kStatus], describe(info[kStatus]));
  std::fflush(out);
}

// The factorisation common to HSL_MA38AD (fresh order) and HSL_MA38BD (stored order).
//
// Patterns close to symmetric are factorised without row interchanges on supernodes, straight
// into the arrays; should a diagonal pivot fail the threshold test, the engine factorises under
// the same order with interchanges. Other patterns go to the engine, which orders them itself.
// The engine's factors are copied into the arrays after it has run, so the first route needs
// about half the memory traffic of the second.
void factorise(const char* routine, bool reuseOrder, const int* n, const int* ne, const int* job,
               const bool* transpose, const int* lvalue, const int* lindex, double* value,
               int* index, int* keep, const double* cntl, const int* icntl, int* info,
               double* rinfo) {
  const auto started = std::chrono::steady_clock::now();
  std::fill(info, info + kInfoLength, 0);
  std::fill(rinfo, rinfo + kRinfoLength, 0.0);
  const int order = *n, entries = *ne;
  info[kOrderInfo] = order;
  info[kEntriesInfo] = entries;
  auto finish = [&](int status) {
    info[kStatus] = status;
    rinfo[0] = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    reportError(icntl, routine, status);
    reportFactorisation(icntl, routine, info, rinfo, *lindex, *lvalue);
  };
  // Whatever the outcome, the factors held no longer answer for the matrix at the front of the
  // arrays until this call succeeds: a refactorisation keeps only their order (to start from
  // again), a fresh factorisation discards them.
  const bool held = keep[kMark] == kFactorisedMark || keep[kMark] == kOrderedMark;
  if (reuseOrder && (!held || keep[kOrder] != order || keep[kEntries] != entries))
    reuseOrder = false;
  keep[kMark] = reuseOrder ? kOrderedMark : 0;
  // An ordering left behind the matrix is read only when a short call of this routine put it
  // there.
  const bool ordering_left = !reuseOrder && keep[kOrderingLeft] == 1;
  keep[kOrderingLeft] = 0;
  if (order < 1) return finish(kBadOrder);
  if (entries < 1) return finish(kBadEntries);
  if (*job != 1) return finish(kNoFactors);
  const std::int64_t front_integers = 2 * std::int64_t{entries};
  if (*lindex < front_integers || *lvalue < entries) {
    info[kIndexNeeded] = info[kIndexNeededRefactor] = clampToInt(front_integers);
    info[kValueNeeded] = info[kValueNeededRefactor] = entries;
    const bool index_short = *lindex < front_integers, value_short = *lvalue < entries;
    return finish(index_short && value_short ? kBothShort
                                             : (index_short ? kIndexShort : kValueShort));
  }

  sparse_lu::ColumnForm a;
  if (!sparse_lu::BuildColumnForm(order, order, entries, index, index + entries, value, *transpose,
                                  a))
    return finish(kOutside);
  info[kSummedInfo] = static_cast<int>(a.row.size());
  const std::uint64_t pattern = sparse_lu::PatternFingerprint(a);

  int* const integers_behind = index + front_integers;
  double* const reals_behind = value + entries;
  const std::int64_t integer_room = *lindex - front_integers, real_room = *lvalue - entries;
  std::int64_t index_needed = 0, value_needed = 0;
  auto end_short = [&]() {
    info[kIndexNeeded] = info[kIndexNeededRefactor] = clampToInt(index_needed);
    info[kValueNeeded] = info[kValueNeededRefactor] = clampToInt(value_needed);
    const bool index_short = index_needed > *lindex, value_short = value_needed > *lvalue;
    return finish(index_short && value_short ? kBothShort
                                             : (index_short ? kIndexShort : kValueShort));
  };
  auto record = [&](int layout, std::int64_t lnz, std::int64_t unz, int rank, bool symmetric) {
    keep[kMark] = kFactorisedMark;
    keep[kOrder] = order;
    keep[kEntries] = entries;
    keep[kLnz] = static_cast<int>(lnz);
    keep[kUnz] = static_cast<int>(unz);
    keep[kRank] = rank;
    keep[kTransposed] = *transpose ? 1 : 0;
    keep[kSymmetric] = symmetric ? 1 : 0;
    keep[kLayout] = layout;
    keepPattern(keep, pattern);
    info[kIndexNeeded] = info[kIndexNeededRefactor] = clampToInt(index_needed);
    info[kValueNeeded] = info[kValueNeededRefactor] = clampToInt(value_needed);
    info[kLInfo] = keep[kLnz];
    info[kUInfo] = keep[kUnz];
    info[kRankInfo] = rank;
  };
  sparse_lu::Settings settings = settingsFrom(cntl, icntl);
  // Factorises into the structure laid out in the arrays; on success records it and finishes.
  auto supernodal_numeric = [&](const sparse_lu::SupernodalView& view, std::int64_t lnz,
                                std::int64_t unz) {
    const sparse_lu::SupernodalOutcome outcome = sparse_lu::FactoriseSupernodal(
        a, view, settings.symmetricPivotThreshold, settings.blockSize);
    if (outcome.kind != sparse_lu::SupernodalOutcome::kDone) return outcome.kind;
    keep[kReciprocal] = 0;
    keep[kAnalysisBytes] = 0;
    record(kSupernodalLayout, lnz, unz, order, true);
    info[kOffDiagonalInfo] = 0;
    rinfo[1] = outcome.flops;
    rinfo[2] = outcome.smallestPivot;
    rinfo[3] = outcome.largestPivot;
    finish(kOk);
    return outcome.kind;
  };

  // The order, when one is known before the engine: stored, left by a short call, or found here.
  std::vector<int> given_order;
  bool interchanges = false;  // the order is known to need row interchanges
  std::int64_t predicted = 0;
  sparse_lu::LeftOrdering left;
  left.at = integers_behind;
  left.room = integer_room;
  bool supernodal = false;
  if (reuseOrder && keep[kLayout] == kSupernodalLayout) {
    sparse_lu::SupernodalView view;
    if (sparse_lu::ViewSupernodal(integers_behind, integer_room, reals_behind, real_room, view) &&
        view.n == order) {
      given_order.assign(view.order, view.order + order);
      supernodal = true;
      if (keptPattern(keep) == pattern) {
        // Same structure: only the numbers are redone, in place; the exact lengths are those of
        // the structure there.
        keep[kMark] = kOrderedMark;
        index_needed = front_integers + sparse_lu::SupernodalIntegers(view);
        value_needed = entries + sparse_lu::SupernodalReals(view);
        const auto kind = supernodal_numeric(view, keep[kLnz], keep[kUnz]);
        if (kind == sparse_lu::SupernodalOutcome::kDone) return;
        interchanges = kind == sparse_lu::SupernodalOutcome::kPivotRejected;
      }
    } else {
      reuseOrder = false;
      keep[kMark] = 0;
    }
  }
  if (!reuseOrder && settings.strategy != sparse_lu::Settings::kUnsymmetric) {
    if (!ordering_left ||
        !sparse_lu::TakeLeftOrdering(left, order, pattern, given_order, predicted, interchanges))
      predicted = sparse_lu::SymmetricOrdering(a, given_order);
    supernodal = predicted > 0;
    if (!supernodal) given_order.clear();
  }

  if (supernodal && !interchanges) {
    // When the ordering's count shows a first factorisation's storage short for certain, the
    // analysis is left to the call that has the room, and an estimate that covers it is
    // reported; otherwise the analysis judges the exact sizes.
    std::int64_t index_least = 0, value_least = 0;
    sparse_lu::LeastSupernodal(order, predicted, index_least, value_least);
    if (!reuseOrder &&
        (front_integers + index_least > *lindex || entries + value_least > *lvalue)) {
      sparse_lu::EstimateSupernodal(order, predicted, index_needed, value_needed);
      index_needed += front_integers;
      value_needed += entries;
      sparse_lu::LeaveOrdering(left, pattern, given_order, predicted, false);
      keep[kOrderingLeft] = left.left ? 1 : 0;
      return end_short();
    }
    sparse_lu::SupernodalStructure structure;
    if (sparse_lu::AnalyseSupernodal(a, given_order, structure)) {
      index_needed = front_integers + sparse_lu::SupernodalIntegers(structure);
      value_needed = entries + sparse_lu::SupernodalReals(structure);
      if (index_needed > *lindex || value_needed > *lvalue) {
        if (!reuseOrder) sparse_lu::LeaveOrdering(left, pattern, given_order, predicted, false);
        keep[kOrderingLeft] = left.left ? 1 : 0;
        return end_short();
      }
      // From here the arrays no longer hold the old factors (should the numeric phase fail or
      // run out of memory): only an order, for a refactorisation to start from.
      keep[kMark] = reuseOrder ? kOrderedMark : 0;
      const sparse_lu::SupernodalView view =
          sparse_lu::StoreSupernodal(structure, integers_behind, reals_behind);
      if (supernodal_numeric(view, structure.lnz, structure.unz) ==
          sparse_lu::SupernodalOutcome::kDone)
        return;
      // The structure (and so the order) stays in the arrays for a repeated refactorisation.
      record(kSupernodalLayout, structure.lnz, structure.unz, 0, true);
      keep[kMark] = reuseOrder ? kOrderedMark : 0;
      given_order = structure.order;
    }
    interchanges = true;
  }

  // The engine: under the order known here (then with the symmetric strategy it was made for),
  // or the stored one of its own earlier factors, or one it finds itself.
  const int* given = nullptr;
  sparse_lu::KeptAnalysis analysis;
  analysis.at = integers_behind;
  if (!given_order.empty()) {
    given = given_order.data();
    settings.strategy = sparse_lu::Settings::kSymmetric;
  } else if (reuseOrder) {
    analysis.heldBytes = keep[kAnalysisBytes];
    analysis.heldPattern = keptPattern(keep);
    const int* q = integers_behind + sparse_lu::AnalysisIntegers(analysis.heldBytes) + order;
    given_order.assign(q, q + order);
    given = given_order.data();
    settings.strategy =
        keep[kSymmetric] != 0 ? sparse_lu::Settings::kSymmetric : sparse_lu::Settings::kUnsymmetric;
  }
  // The analysis is kept only where the arrays have room beyond the factors: the lengths
  // reported as needed are those of the matrix and the factors alone.
  auto fits = [&](std::int64_t lnz, std::int64_t unz) {
    index_needed = front_integers + sparse_lu::FactorIntegers(order, order, lnz, unz);
    value_needed = entries + sparse_lu::FactorReals(order, lnz, unz);
    return index_needed <= *lindex && value_needed <= *lvalue;
  };
  auto place = [&](std::int64_t lnz, std::int64_t) {
    // The old factors, and the order among them, are overwritten from here on.
    keep[kMark] = 0;
    if (index_needed + sparse_lu::AnalysisIntegers(analysis.bytes) > *lindex) analysis.bytes = 0;
    return sparse_lu::LayFactors(order, order, lnz,
                                 integers_behind + sparse_lu::AnalysisIntegers(analysis.bytes),
                                 reals_behind);
  };
  // Patterns the engine orders for itself are not near-symmetric (or the caller imposed the
  // unsymmetric strategy): the engine then computes no ordering beforehand to leave behind.
  const sparse_lu::Attempt attempt =
      sparse_lu::Factorise(a, settings, given, fits, place, &analysis);
  switch (attempt.kind) {
    case sparse_lu::Attempt::kShort:
      // A first factorisation under an order that needs interchanges leaves it for the repeated
      // call, which then goes straight to the engine.
      if (!reuseOrder && given != nullptr)
        sparse_lu::LeaveOrdering(left, pattern, given_order, std::max<std::int64_t>(predicted, 1),
                                 true);
      keep[kOrderingLeft] = left.left ? 1 : 0;
      return end_short();
    case sparse_lu::Attempt::kInvalid:
      info[kIndexNeeded] = info[kIndexNeededRefactor] = clampToInt(index_needed);
      info[kValueNeeded] = info[kValueNeededRefactor] = clampToInt(value_needed);
      return finish(kOutside);
    default:
      break;
  }
  keep[kReciprocal] = attempt.reciprocalScale ? 1 : 0;
  keep[kAnalysisBytes] = static_cast<int>(analysis.bytes);
  record(kEngineLayout, attempt.lnz, attempt.unz, attempt.rank, attempt.symmetricStrategy);
  info[kOffDiagonalInfo] = attempt.offDiagonalPivots;
  rinfo[1] = attempt.flops;
  rinfo[2] = attempt.smallestPivot;
  rinfo[3] = attempt.largestPivot;
  finish(attempt.kind == sparse_lu::Attempt::kSingular ? kSingular : kOk);
}

// r = b - op(A) x from the entries at the front of the arrays; returns max |r_i|, and the
// largest absolute row sum of op(A) through rowSumMax (sums accumulated in r first).
double residual(int n, int ne, const int* index, const double* value, bool transposed,
                const double* b, const double* x, double* r, double& rowSumMax) {
  const int* rows = transposed ? index + ne : index;
  const int* cols = transposed ? index : index + ne;
  std::fill(r, r + n, 0.0);
  for (int k = 0; k < ne; ++k) r[rows[k] - 1] += std::fabs(value[k]);
  rowSumMax = *std::max_element(r, r + n);
  for (int i = 0; i < n; ++i) r[i] = b[i];
  for (int k = 0; k < ne; ++k) r[rows[k] - 1] -= value[k] * x[cols[k] - 1];
  double largest = 0.0;
  for (int i = 0; i < n; ++i) largest = std::max(largest, std::fabs(r[i]));
  return largest;
}
}  // namespace

void HSL_MA38ID(int* keep, double* cntl, int* icntl) {
  std::fill(keep, keep + kKeepLength, 0);
  std::fill(cntl, cntl + kCntlLength, 0.0);
  std::fill(icntl, icntl + kIcntlLength, 0);
  icntl[0] = kDefaultUnit;
  icntl[1] = kDefaultUnit;
  icntl[2] = 0;
  icntl[5] = 1;
  icntl[6] = kDefaultBlockSize;
  icntl[7] = kDefaultRefinementSteps;
  cntl[0] = kDefaultPivotThreshold;
  cntl[1] = kDefaultSymmetricThreshold;
  cntl[2] = std::numeric_limits<double>::epsilon();
}

void HSL_MA38AD(const int* n, const int* ne, const int* job, const bool* transpose,
                const int* lvalue, const int* lindex, double* value, int* index, int* keep,
                const double* cntl, const int* icntl, int* info, double* rinfo) {
  factorise("HSL_MA38AD", false, n, ne, job, transpose, lvalue, lindex, value, index, keep, cntl,
            icntl, info, rinfo);
}

void HSL_MA38BD(const int* n, const int* ne, const int* job, const bool* transpose,
                const int* lvalue, const int* lindex, double* value, int* index, int* keep,
                const double* cntl, const int* icntl, int* info, double* rinfo) {
  factorise("HSL_MA38BD", true, n, ne, job, transpose, lvalue, lindex, value, index, keep, cntl,
            icntl, info, rinfo);
}

void HSL_MA38CD(const int* n, const int*, const bool* transpose, const int* lvalue,
                const int* lindex, const double* value, const int* index, const int* keep,
                const double* b, double* x, double* w, const double* cntl, const int* icntl,
                int* info, double* rinfo) {
  info[kStatus] = kOk;
  info[kRefinementSteps] = 0;
  const int order = *n;
  const int entries = keep[kEntries];
  sparse_lu::SupernodalView supernodal;
  // The factors the keep describes must lie within the lengths given.
  auto laid_out = [&]() {
    if (keep[kLayout] == kSupernodalLayout)
      return sparse_lu::ViewSupernodal(
          const_cast<int*>(index) + 2 * std::int64_t{entries}, *lindex - 2 * std::int64_t{entries},
          const_cast<double*>(value) + entries, *lvalue - entries, supernodal);
    return 2 * std::int64_t{entries} + sparse_lu::AnalysisIntegers(keep[kAnalysisBytes]) +
                   sparse_lu::FactorIntegers(order, order, keep[kLnz], keep[kUnz]) <=
               *lindex &&
           entries + sparse_lu::FactorReals(order, keep[kLnz], keep[kUnz]) <= *lvalue;
  };
  const bool usable = keep[kMark] == kFactorisedMark && keep[kOrder] == order && laid_out();
  if (!usable) {
    info[kStatus] = kNoFactors;
    reportError(icntl, "HSL_MA38CD", kNoFactors);
    return;
  }
  // Factors of A^T answer A x = b by a transposed solve, and the other way round.
  const bool transposed = (*transpose) != (keep[kTransposed] != 0);
  sparse_lu::FactorView f =
      sparse_lu::LayFactors(order, order, keep[kLnz],
                            const_cast<int*>(index) + 2 * std::int64_t{entries} +
                                sparse_lu::AnalysisIntegers(keep[kAnalysisBytes]),
                            const_cast<double*>(value) + entries);
  f.reciprocalScale = keep[kReciprocal] != 0;
  auto solve = [&](const double* rhs, double* out) {
    if (keep[kLayout] == kSupernodalLayout) {
      if (transposed) {
        sparse_lu::SolveSupernodalTransposed(supernodal, rhs, out, w);
      } else {
        sparse_lu::SolveSupernodal(supernodal, rhs, out, w);
      }
    } else if (transposed) {
      sparse_lu::SolveTransposedWithFactors(f, rhs, out, w);
    } else {
      sparse_lu::SolveWithFactors(f, rhs, out, w);
    }
  };
  solve(b, x);

  const int steps = icntl[7];
  double* r = w + 2 * order;
  double* correction = w + 3 * order;
  for (int step = 0; step < steps; ++step) {
    double row_sum_max = 0.0;
    const double largest = residual(order, entries, index, value, *transpose, b, x, r, row_sum_max);
    double x_max = 0.0, b_max = 0.0;
    for (int i = 0; i < order; ++i) {
      x_max = std::max(x_max, std::fabs(x[i]));
      b_max = std::max(b_max, std::fabs(b[i]));
    }
    const double scale = row_sum_max * x_max + b_max;
    const double previous = rinfo[4];
    rinfo[4] = scale > 0.0 ? largest / scale : 0.0;
    // Stop at the target, or once a step no longer halves the error: further steps would
    // cost a solve each for rounding noise.
    if (rinfo[4] <= cntl[2] || (step > 0 && rinfo[4] > previous / 2)) break;
    solve(r, correction);
    for (int i = 0; i < order; ++i) x[i] += correction[i];
    ++info[kRefinementSteps];
  }
  if (keep[kRank] < order) info[kStatus] = kSingular;
  if (icntl[2] >= 3)
    if (std::FILE* out = HslUnitStream(icntl[1]))
      std::fprintf(out, "HSL_MA38CD: solve of order %d, %d refinement steps, status %d\n", order,
                   info[kRefinementSteps], info[kStatus]);
}
