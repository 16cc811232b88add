// Square sparse LU. The caller's index/value arrays carry the matrix at their front and the
// factors behind it, the index array also the engine's analysis of the pattern between the two
// (so that a refactorisation can skip it); `keep` records where the pieces are. A call that
// finds the arrays too short may leave the ordering it found behind the matrix instead, for the
// repeated call. Nothing else survives a call.
#include <algorithm>
#include <cassert>
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

// True when v holds each of 0..n-1 exactly once (checked in debug builds only).
[[maybe_unused]] bool isPermutation(const std::vector<int>& v, int n) {
  if (static_cast<int>(v.size()) != n) return false;
  std::vector<char> seen(n, 0);
  for (const int k : v) {
    if (k < 0 || k >= n || seen[k]) return false;
    seen[k] = 1;
  }
  return true;
}

// The factorisation common to HSL_MA38AD (fresh order) and HSL_MA38BD (stored order).
//
// Patterns close to symmetric are factorised without row interchanges on supernodes, straight
// into the arrays; should a diagonal pivot fail the threshold test, the engine factorises under
// the same order with interchanges. Other patterns go to the engine, which orders them itself.
// The engine's factors are copied into the arrays after it has run, so the first route needs
// about half the memory traffic of the second.
//
// The steps, in the order run() takes them; each returns true once the call has finished (its
// status written): checking the arguments and the room for the matrix, the column form, an
// in-place refactorisation of a kept supernodal structure, the choice of a symmetric order, the
// supernodal factorisation under it, and the engine.
class SquareFactorisation {
 public:
  SquareFactorisation(const char* routine, bool reuseOrder, const int* n, const int* ne,
                      const int* job, const bool* transpose, const int* lvalue, const int* lindex,
                      double* value, int* index, int* keep, const double* cntl, const int* icntl,
                      int* info, double* rinfo)
      : started_(std::chrono::steady_clock::now()),
        routine_(routine),
        reuseOrder_(reuseOrder),
        order_(*n),
        entries_(*ne),
        job_(*job),
        transpose_(*transpose),
        lvalue_(*lvalue),
        lindex_(*lindex),
        value_(value),
        index_(index),
        keep_(keep),
        icntl_(icntl),
        info_(info),
        rinfo_(rinfo),
        frontIntegers_(2 * std::int64_t{*ne}),
        settings_(settingsFrom(cntl, icntl)) {}

  void run() {
    if (checkArguments()) return;
    assert(order_ >= 1 && entries_ >= 1 && lindex_ >= frontIntegers_ && lvalue_ >= entries_);
    if (buildColumnForm()) return;
    assert(a_.n == order_ && static_cast<int>(a_.start.size()) == order_ + 1);
    assert(static_cast<int>(a_.row.size()) <= entries_);
    if (refactoriseInPlace()) return;
    chooseSymmetricOrder();
    assert(givenOrder_.empty() || isPermutation(givenOrder_, order_));
    if (supernodal_ && !interchanges_ && factoriseSupernodal()) return;
    // Whatever factors the arrays held, none of them is claimed any longer.
    assert(keep_[kMark] != kFactorisedMark);
    factoriseWithEngine();
  }

 private:
  void finish(int status) {
    info_[kStatus] = status;
    rinfo_[0] = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    reportError(icntl_, routine_, status);
    reportFactorisation(icntl_, routine_, info_, rinfo_, lindex_, lvalue_);
  }

  void endShort() {
    info_[kIndexNeeded] = info_[kIndexNeededRefactor] = clampToInt(indexNeeded_);
    info_[kValueNeeded] = info_[kValueNeededRefactor] = clampToInt(valueNeeded_);
    const bool indexShort = indexNeeded_ > lindex_, valueShort = valueNeeded_ > lvalue_;
    assert(indexShort || valueShort);
    finish(indexShort && valueShort ? kBothShort : (indexShort ? kIndexShort : kValueShort));
  }

  void record(int layout, std::int64_t lnz, std::int64_t unz, int rank, bool symmetric) {
    keep_[kMark] = kFactorisedMark;
    keep_[kOrder] = order_;
    keep_[kEntries] = entries_;
    keep_[kLnz] = static_cast<int>(lnz);
    keep_[kUnz] = static_cast<int>(unz);
    keep_[kRank] = rank;
    keep_[kTransposed] = transpose_ ? 1 : 0;
    keep_[kSymmetric] = symmetric ? 1 : 0;
    keep_[kLayout] = layout;
    keepPattern(keep_, pattern_);
    info_[kIndexNeeded] = info_[kIndexNeededRefactor] = clampToInt(indexNeeded_);
    info_[kValueNeeded] = info_[kValueNeededRefactor] = clampToInt(valueNeeded_);
    info_[kLInfo] = keep_[kLnz];
    info_[kUInfo] = keep_[kUnz];
    info_[kRankInfo] = rank;
  }

  // Factorises into the structure laid out in the arrays; on success records it and finishes.
  sparse_lu::SupernodalOutcome::Kind supernodalNumeric(const sparse_lu::SupernodalView& view,
                                                       std::int64_t lnz, std::int64_t unz) {
    const sparse_lu::SupernodalOutcome outcome = sparse_lu::FactoriseSupernodal(
        a_, view, settings_.symmetricPivotThreshold, settings_.blockSize);
    if (outcome.kind != sparse_lu::SupernodalOutcome::kDone) return outcome.kind;
    keep_[kReciprocal] = 0;
    keep_[kAnalysisBytes] = 0;
    record(kSupernodalLayout, lnz, unz, order_, true);
    info_[kOffDiagonalInfo] = 0;
    rinfo_[1] = outcome.flops;
    rinfo_[2] = outcome.smallestPivot;
    rinfo_[3] = outcome.largestPivot;
    assert(indexNeeded_ <= lindex_ && valueNeeded_ <= lvalue_);
    finish(kOk);
    return outcome.kind;
  }

  bool checkArguments() {
    std::fill(info_, info_ + kInfoLength, 0);
    std::fill(rinfo_, rinfo_ + kRinfoLength, 0.0);
    info_[kOrderInfo] = order_;
    info_[kEntriesInfo] = entries_;
    // Whatever the outcome, the factors held no longer answer for the matrix at the front of
    // the arrays until this call succeeds: a refactorisation keeps only their order (to start
    // from again), a fresh factorisation discards them.
    const bool held = keep_[kMark] == kFactorisedMark || keep_[kMark] == kOrderedMark;
    if (reuseOrder_ && (!held || keep_[kOrder] != order_ || keep_[kEntries] != entries_))
      reuseOrder_ = false;
    keep_[kMark] = reuseOrder_ ? kOrderedMark : 0;
    // An ordering left behind the matrix is read only when a short call of this routine put it
    // there.
    orderingLeft_ = !reuseOrder_ && keep_[kOrderingLeft] == 1;
    keep_[kOrderingLeft] = 0;
    if (order_ < 1) {
      finish(kBadOrder);
      return true;
    }
    if (entries_ < 1) {
      finish(kBadEntries);
      return true;
    }
    if (job_ != 1) {
      finish(kNoFactors);
      return true;
    }
    if (lindex_ < frontIntegers_ || lvalue_ < entries_) {
      info_[kIndexNeeded] = info_[kIndexNeededRefactor] = clampToInt(frontIntegers_);
      info_[kValueNeeded] = info_[kValueNeededRefactor] = entries_;
      const bool indexShort = lindex_ < frontIntegers_, valueShort = lvalue_ < entries_;
      finish(indexShort && valueShort ? kBothShort : (indexShort ? kIndexShort : kValueShort));
      return true;
    }
    return false;
  }

  bool buildColumnForm() {
    if (!sparse_lu::BuildColumnForm(order_, order_, entries_, index_, index_ + entries_, value_,
                                    transpose_, a_)) {
      finish(kOutside);
      return true;
    }
    info_[kSummedInfo] = static_cast<int>(a_.row.size());
    pattern_ = sparse_lu::PatternFingerprint(a_);
    integersBehind_ = index_ + frontIntegers_;
    realsBehind_ = value_ + entries_;
    integerRoom_ = lindex_ - frontIntegers_;
    realRoom_ = lvalue_ - entries_;
    left_.at = integersBehind_;
    left_.room = integerRoom_;
    return false;
  }

  // A refactorisation of interchange-free factors takes their order; with the same structure
  // only the numbers are redone, in place.
  bool refactoriseInPlace() {
    if (!reuseOrder_ || keep_[kLayout] != kSupernodalLayout) return false;
    sparse_lu::SupernodalView view;
    if (!sparse_lu::ViewSupernodal(integersBehind_, integerRoom_, realsBehind_, realRoom_, view) ||
        view.n != order_) {
      reuseOrder_ = false;
      keep_[kMark] = 0;
      return false;
    }
    givenOrder_.assign(view.order, view.order + order_);
    supernodal_ = true;
    if (keptPattern(keep_) != pattern_) return false;
    // Same structure: the exact lengths are those of the structure there.
    keep_[kMark] = kOrderedMark;
    indexNeeded_ = frontIntegers_ + sparse_lu::SupernodalIntegers(view);
    valueNeeded_ = entries_ + sparse_lu::SupernodalReals(view);
    const auto kind = supernodalNumeric(view, keep_[kLnz], keep_[kUnz]);
    if (kind == sparse_lu::SupernodalOutcome::kDone) return true;
    interchanges_ = kind == sparse_lu::SupernodalOutcome::kPivotRejected;
    return false;
  }

  // The order, when one is known before the engine: stored, left by a short call, or found here.
  void chooseSymmetricOrder() {
    if (reuseOrder_ || settings_.strategy == sparse_lu::Settings::kUnsymmetric) return;
    if (!orderingLeft_ || !sparse_lu::TakeLeftOrdering(left_, order_, pattern_, givenOrder_,
                                                       predicted_, interchanges_))
      predicted_ = sparse_lu::SymmetricOrdering(a_, givenOrder_);
    supernodal_ = predicted_ > 0;
    if (!supernodal_) givenOrder_.clear();
  }

  // The interchange-free factorisation under the symmetric order. False (the engine to follow,
  // with interchanges) when the analysis or a pivot fails.
  bool factoriseSupernodal() {
    // When the ordering's count shows a first factorisation's storage short for certain, the
    // analysis is left to the call that has the room, and an estimate that covers it is
    // reported; otherwise the analysis judges the exact sizes.
    std::int64_t indexLeast = 0, valueLeast = 0;
    sparse_lu::LeastSupernodal(order_, predicted_, indexLeast, valueLeast);
    if (!reuseOrder_ &&
        (frontIntegers_ + indexLeast > lindex_ || entries_ + valueLeast > lvalue_)) {
      sparse_lu::EstimateSupernodal(order_, predicted_, indexNeeded_, valueNeeded_);
      indexNeeded_ += frontIntegers_;
      valueNeeded_ += entries_;
      sparse_lu::LeaveOrdering(left_, pattern_, givenOrder_, predicted_, false);
      keep_[kOrderingLeft] = left_.left ? 1 : 0;
      {
        endShort();
        return true;
      }
    }
    sparse_lu::SupernodalStructure structure;
    if (sparse_lu::AnalyseSupernodal(a_, givenOrder_, structure)) {
      indexNeeded_ = frontIntegers_ + sparse_lu::SupernodalIntegers(structure);
      valueNeeded_ = entries_ + sparse_lu::SupernodalReals(structure);
      if (indexNeeded_ > lindex_ || valueNeeded_ > lvalue_) {
        if (!reuseOrder_) sparse_lu::LeaveOrdering(left_, pattern_, givenOrder_, predicted_, false);
        keep_[kOrderingLeft] = left_.left ? 1 : 0;
        {
          endShort();
          return true;
        }
      }
      // From here the arrays no longer hold the old factors (should the numeric phase fail or
      // run out of memory): only an order, for a refactorisation to start from.
      keep_[kMark] = reuseOrder_ ? kOrderedMark : 0;
      const sparse_lu::SupernodalView view =
          sparse_lu::StoreSupernodal(structure, integersBehind_, realsBehind_);
      if (supernodalNumeric(view, structure.lnz, structure.unz) ==
          sparse_lu::SupernodalOutcome::kDone)
        return true;
      // The structure (and so the order) stays in the arrays for a repeated refactorisation.
      record(kSupernodalLayout, structure.lnz, structure.unz, 0, true);
      keep_[kMark] = reuseOrder_ ? kOrderedMark : 0;
      givenOrder_ = structure.order;
    }
    interchanges_ = true;
    return false;
  }

  // The engine: under the order known here (then with the symmetric strategy it was made for),
  // or the stored one of its own earlier factors, or one it finds itself.
  void factoriseWithEngine() {
    const int* given = nullptr;
    sparse_lu::KeptAnalysis analysis;
    analysis.at = integersBehind_;
    if (!givenOrder_.empty()) {
      given = givenOrder_.data();
      settings_.strategy = sparse_lu::Settings::kSymmetric;
    } else if (reuseOrder_) {
      analysis.heldBytes = keep_[kAnalysisBytes];
      analysis.heldPattern = keptPattern(keep_);
      const int* q = integersBehind_ + sparse_lu::AnalysisIntegers(analysis.heldBytes) + order_;
      givenOrder_.assign(q, q + order_);
      given = givenOrder_.data();
      settings_.strategy = keep_[kSymmetric] != 0 ? sparse_lu::Settings::kSymmetric
                                                  : sparse_lu::Settings::kUnsymmetric;
    }
    // The analysis is kept only where the arrays have room beyond the factors: the lengths
    // reported as needed are those of the matrix and the factors alone.
    auto fits = [&](std::int64_t lnz, std::int64_t unz) {
      indexNeeded_ = frontIntegers_ + sparse_lu::FactorIntegers(order_, order_, lnz, unz);
      valueNeeded_ = entries_ + sparse_lu::FactorReals(order_, lnz, unz);
      return indexNeeded_ <= lindex_ && valueNeeded_ <= lvalue_;
    };
    auto place = [&](std::int64_t lnz, std::int64_t) {
      // The old factors, and the order among them, are overwritten from here on.
      keep_[kMark] = 0;
      if (indexNeeded_ + sparse_lu::AnalysisIntegers(analysis.bytes) > lindex_) analysis.bytes = 0;
      return sparse_lu::LayFactors(order_, order_, lnz,
                                   integersBehind_ + sparse_lu::AnalysisIntegers(analysis.bytes),
                                   realsBehind_);
    };
    // Patterns the engine orders for itself are not near-symmetric (or the caller imposed the
    // unsymmetric strategy): the engine then computes no ordering beforehand to leave behind.
    const sparse_lu::Attempt attempt =
        sparse_lu::Factorise(a_, settings_, given, fits, place, &analysis);
    switch (attempt.kind) {
      case sparse_lu::Attempt::kShort:
        // A first factorisation under an order that needs interchanges leaves it for the
        // repeated call, which then goes straight to the engine.
        if (!reuseOrder_ && given != nullptr)
          sparse_lu::LeaveOrdering(left_, pattern_, givenOrder_,
                                   std::max<std::int64_t>(predicted_, 1), true);
        keep_[kOrderingLeft] = left_.left ? 1 : 0;
        return endShort();
      case sparse_lu::Attempt::kInvalid:
        info_[kIndexNeeded] = info_[kIndexNeededRefactor] = clampToInt(indexNeeded_);
        info_[kValueNeeded] = info_[kValueNeededRefactor] = clampToInt(valueNeeded_);
        return finish(kOutside);
      default:
        break;
    }
    keep_[kReciprocal] = attempt.reciprocalScale ? 1 : 0;
    keep_[kAnalysisBytes] = static_cast<int>(analysis.bytes);
    record(kEngineLayout, attempt.lnz, attempt.unz, attempt.rank, attempt.symmetricStrategy);
    info_[kOffDiagonalInfo] = attempt.offDiagonalPivots;
    rinfo_[1] = attempt.flops;
    rinfo_[2] = attempt.smallestPivot;
    rinfo_[3] = attempt.largestPivot;
    assert(indexNeeded_ <= lindex_ && valueNeeded_ <= lvalue_);
    finish(attempt.kind == sparse_lu::Attempt::kSingular ? kSingular : kOk);
  }

  const std::chrono::steady_clock::time_point started_;
  const char* const routine_;
  bool reuseOrder_;
  const int order_, entries_, job_;
  const bool transpose_;
  const int lvalue_, lindex_;
  double* const value_;
  int* const index_;
  int* const keep_;
  const int* const icntl_;
  int* const info_;
  double* const rinfo_;
  const std::int64_t frontIntegers_;
  sparse_lu::Settings settings_;

  bool orderingLeft_ = false;
  sparse_lu::ColumnForm a_;
  std::uint64_t pattern_ = 0;
  int* integersBehind_ = nullptr;
  double* realsBehind_ = nullptr;
  std::int64_t integerRoom_ = 0, realRoom_ = 0;
  // Lengths the call needs, reported on every outcome.
  std::int64_t indexNeeded_ = 0, valueNeeded_ = 0;
  std::vector<int> givenOrder_;
  bool interchanges_ = false;  // the order is known to need row interchanges
  bool supernodal_ = false;
  std::int64_t predicted_ = 0;
  sparse_lu::LeftOrdering left_;
};

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
  SquareFactorisation("HSL_MA38AD", false, n, ne, job, transpose, lvalue, lindex, value, index,
                      keep, cntl, icntl, info, rinfo)
      .run();
}

void HSL_MA38BD(const int* n, const int* ne, const int* job, const bool* transpose,
                const int* lvalue, const int* lindex, double* value, int* index, int* keep,
                const double* cntl, const int* icntl, int* info, double* rinfo) {
  SquareFactorisation("HSL_MA38BD", true, n, ne, job, transpose, lvalue, lindex, value, index, keep,
                      cntl, icntl, info, rinfo)
      .run();
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
  auto laidOut = [&]() {
    if (keep[kLayout] == kSupernodalLayout)
      return sparse_lu::ViewSupernodal(
          const_cast<int*>(index) + 2 * std::int64_t{entries}, *lindex - 2 * std::int64_t{entries},
          const_cast<double*>(value) + entries, *lvalue - entries, supernodal);
    return 2 * std::int64_t{entries} + sparse_lu::AnalysisIntegers(keep[kAnalysisBytes]) +
                   sparse_lu::FactorIntegers(order, order, keep[kLnz], keep[kUnz]) <=
               *lindex &&
           entries + sparse_lu::FactorReals(order, keep[kLnz], keep[kUnz]) <= *lvalue;
  };
  const bool usable = keep[kMark] == kFactorisedMark && keep[kOrder] == order && laidOut();
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
    double rowSumMax = 0.0;
    const double largest = residual(order, entries, index, value, *transpose, b, x, r, rowSumMax);
    double xMax = 0.0, bMax = 0.0;
    for (int i = 0; i < order; ++i) {
      xMax = std::max(xMax, std::fabs(x[i]));
      bMax = std::max(bMax, std::fabs(b[i]));
    }
    const double scale = rowSumMax * xMax + bMax;
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
