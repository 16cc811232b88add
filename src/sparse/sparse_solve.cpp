// Factorisation records, solve and re-solve of sparseMatrix. The kernels cannot know in advance
// how much storage the factors take, so every factorisation is a loop: call, and when the
// kernel reports a shortage, enlarge the arrays by a fixed rule, restore their contents from
// before the call and call again.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "kernel/sparse/sparse_kernels.hpp"
#include "orvo/sparse.hpp"
#include "sparse/array_growth.hpp"
#include "sparse/sparse_records.hpp"

namespace Orvo {

namespace {
constexpr int kLogUnit = 1;
constexpr int kMinimumSquareFill = 2;
constexpr int kSquareBlockSize = 32;
constexpr int kRefineOnResolve = 10;
constexpr int kRefineOnRepeatSolve = 3;
constexpr int kFreshGrowth = 10;  // first growth: at least this many times ne
constexpr int kStepGrowth = 2;    // later growths: by at least this many times ne

// Status values of the kernels that the loops below react to.
using ma38::kBothShort, ma38::kIndexShort, ma38::kValueShort;
constexpr int kGeneralShort = ma48::kShort;

// 1-based control/information entry k of a record array.
template <class T>
T& entry(mvlarray<T>& a, int k) {
  return a[k - 1];
}

int checkedLength(std::int64_t length) {
  if (length > INT_MAX)
    throw mvlException("sparse factorisation: storage beyond 2^31 entries needed");
  return static_cast<int>(std::max<std::int64_t>(length, 0));
}

// Gives target the length and the contents of source as far as both reach, zeros beyond.
template <class T>
void refillFrom(mvlarray<T>& target, int length, const mvlarray<T>& source) {
  if (target.Length() != length) target.Reallocate(length);
  const int shared = std::min(length, source.Length());
  std::copy(source.Array(), source.Array() + shared, target.Array());
  std::fill(target.Array() + shared, target.Array() + length, T(0));
}

std::int64_t times(std::int64_t a, std::int64_t b) {
  return a * b;
}

// --- the pattern a record was made from -------------------------------------------------

// A 64-bit mix of one entry position (the finaliser of SplitMix64).
std::uint64_t mixPosition(int row, int column) {
  std::uint64_t z = (static_cast<std::uint64_t>(static_cast<std::uint32_t>(row)) << 32) |
                    static_cast<std::uint32_t>(column);
  z += 0x9e3779b97f4a7c15ULL;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// The square kernel rebuilds the column structure from the triples on every refactorisation,
// so only the set of positions matters: a sum is blind to the order of the entries.
std::uint64_t positionsDigest(const mvlarray<int>& irn, const mvlarray<int>& jcn, int entries) {
  std::uint64_t digest = static_cast<std::uint64_t>(entries);
  for (int k = 0; k < entries; ++k) digest += mixPosition(irn[k], jcn[k]);
  return digest;
}

// The general refactorisation takes the new values position by position in the order of the
// first factorisation, so there the order is part of the pattern.
std::uint64_t orderedDigest(const mvlarray<int>& irn, const mvlarray<int>& jcn, int entries) {
  std::uint64_t digest = static_cast<std::uint64_t>(entries);
  for (int k = 0; k < entries; ++k)
    digest = digest * 0x100000001b3ULL ^ mixPosition(irn[k], jcn[k]);
  return digest;
}

// Whether the first `entries` values are all finite: a NaN or an infinity would factorise into
// non-finite factors and a solution reported as found.
bool finiteValues(const mvlarray<double>& data, int entries) {
  for (int k = 0; k < entries; ++k)
    if (!std::isfinite(data[k])) return false;
  return true;
}

// Whether two arrays' blocks overlap.
bool overlapping(const mvlarray<double>& a, const mvlarray<double>& b) {
  if (a.Length() <= 0 || b.Length() <= 0) return false;
  const double* pa = a.Array();
  const double* pb = b.Array();
  return std::less<const double*>()(pa, pb + b.Length()) &&
         std::less<const double*>()(pb, pa + a.Length());
}

// --- square path -------------------------------------------------------------------------

std::unique_ptr<MA38Work> createSquareRecord(int nr, int nz, int fill_in,
                                             const mvlarray<double>& data, const mvlarray<int>& irn,
                                             const mvlarray<int>& jcn) {
  auto record = std::make_unique<MA38Work>();
  const std::int64_t f = std::max(fill_in, kMinimumSquareFill);
  const std::int64_t s = data.Length();
  record->lvalue = checkedLength(f * s);
  record->lindex = checkedLength(f * s + 2 * std::int64_t{nr} + 1);
  record->n = nr;
  record->ne = nz;
  record->pattern = positionsDigest(irn, jcn, nz);
  // Only the front carries meaning; the kernel writes everything behind it before reading it,
  // once, into pages nobody has touched yet.
  regrowFront(record->index, record->lindex, 0);
  regrowFront(record->value, record->lvalue, 0);
  std::copy(irn.Array(), irn.Array() + nz, record->index.Array());
  std::copy(jcn.Array(), jcn.Array() + nz, record->index.Array() + nz);
  std::copy(data.Array(), data.Array() + nz, record->value.Array());
  std::fill(record->info.Array(), record->info.Array() + MA38Work::kInfoLength, 0);
  std::fill(record->rinfo.Array(), record->rinfo.Array() + MA38Work::kRinfoLength, 0.0);
  HSL_MA38ID(record->keep.Array(), record->cntl.Array(), record->icntl.Array());
  entry(record->icntl, 3) = 0;
  entry(record->icntl, 7) = kSquareBlockSize;
  return record;
}

using SquareRoutine = void (*)(const int*, const int*, const int*, const bool*, const int*,
                               const int*, double*, int*, int*, const double*, const int*, int*,
                               double*);

// The factorisation loop shared by the first factorisation and the refactorisation; they differ
// only in the routine, in how the lengths grow and in how much of the value array carries
// meaning. The call is repeated with the arrays as they were before it: the kernels keep the
// matrix at the front intact when they report a shortage, so the arrays themselves serve as the
// saved copies and growing them keeps their contents (in index, with the matrix, what the short
// call may have left behind it for the next one). Entries beyond the old lengths are written by
// the kernel before being read: not zeroed, so that pages the factors never reach are never
// touched.
template <class GrowIndex, class GrowValue>
bool squareLoop(MA38Work& w, SquareRoutine routine, GrowIndex growIndex, GrowValue growValue,
                bool freshBlocks) {
  const int job = 1;
  const bool transpose = false;
  // A first factorisation's storage is replaced by fresh blocks that start on large pages,
  // holding what the next call reads; otherwise the blocks grow in place with their contents.
  auto grow = [&](auto& array, int length, int front) {
    if (freshBlocks) {
      regrowFront(array, length, std::min(front, length));
    } else {
      resizeKeeping(array, length, false);
    }
  };
  for (;;) {
    routine(&w.n, &w.ne, &job, &transpose, &w.lvalue, &w.lindex, w.value.Array(), w.index.Array(),
            w.keep.Array(), w.cntl.Array(), w.icntl.Array(), w.info.Array(), w.rinfo.Array());
    const int status = entry(w.info, 1);
    bool adjusted = false;
    if (status == kIndexShort || status == kBothShort) {
      const int written = w.lindex;
      w.lindex = growIndex();
      grow(w.index, w.lindex, written);
      adjusted = true;
    }
    if (status == kValueShort || status == kBothShort) {
      w.lvalue = growValue();
      grow(w.value, w.lvalue, w.ne);
      adjusted = true;
    }
    if (!adjusted) return status == 0;
  }
}

bool squareFactorise(MA38Work& w) {
  bool first_index = true, first_value = true;
  const std::int64_t ne = w.ne;
  auto grow_index = [&]() {
    const std::int64_t needed = entry(w.info, 19);
    const std::int64_t length = first_index ? std::max(2 * needed, kFreshGrowth * ne)
                                            : std::max(needed, w.lindex + kStepGrowth * ne);
    first_index = false;
    return checkedLength(length);
  };
  auto grow_value = [&]() {
    const std::int64_t needed = entry(w.info, 21);
    const std::int64_t length = first_value ? std::max(2 * needed, kFreshGrowth * ne)
                                            : std::max(2 * needed, w.lvalue + kStepGrowth * ne);
    first_value = false;
    return checkedLength(length);
  };
  return squareLoop(w, &HSL_MA38AD, grow_index, grow_value, true);
}

bool squareRefactorise(MA38Work& w, const mvlarray<int>& irn, const mvlarray<int>& jcn,
                       const mvlarray<double>& data) {
  std::copy(irn.Array(), irn.Array() + w.ne, w.index.Array());
  std::copy(jcn.Array(), jcn.Array() + w.ne, w.index.Array() + w.ne);
  std::copy(data.Array(), data.Array() + w.ne, w.value.Array());
  const std::int64_t ne = w.ne;
  auto grow_index = [&]() {
    return checkedLength(std::max<std::int64_t>(entry(w.info, 22), w.lindex + kStepGrowth * ne));
  };
  auto grow_value = [&]() {
    return checkedLength(
        std::max<std::int64_t>(2 * std::int64_t{entry(w.info, 23)}, w.lvalue + kStepGrowth * ne));
  };
  // A refactorisation also reads the factors behind the matrix (their order).
  return squareLoop(w, &HSL_MA38BD, grow_index, grow_value, false);
}

bool squareSolve(MA38Work& w, mvlarray<double>& b, mvlarray<double>& x) {
  mvlarray<double> work(entry(w.icntl, 8) > 0 ? 4 * w.n : 2 * w.n);
  const int job = 0;
  const bool transpose = false;
  HSL_MA38CD(&w.n, &job, &transpose, &w.lvalue, &w.lindex, w.value.Array(), w.index.Array(),
             w.keep.Array(), b.Array(), x.Array(), work.Array(), w.cntl.Array(), w.icntl.Array(),
             w.info.Array(), w.rinfo.Array());
  return entry(w.info, 1) == 0;
}

// --- general path ------------------------------------------------------------------------

std::unique_ptr<MA48Work> createGeneralRecord(int nc, int nr, int nz, int fill_in,
                                              const mvlarray<double>& data,
                                              const mvlarray<int>& irn, const mvlarray<int>& jcn) {
  auto record = std::make_unique<MA48Work>();
  record->n = nc;
  record->m = nr;
  record->ne = nz;
  record->fill = fill_in;
  record->pattern = orderedDigest(irn, jcn, nz);
  record->rowCopy = irn;
  record->columnCopy = jcn;
  record->valueCopy = data;
  record->w.Reallocate(checkedLength(nc + 3 * std::int64_t{nr}));
  record->iw.Reallocate(checkedLength(6 * std::int64_t{nr} + 3 * std::int64_t{nc}));
  std::fill(record->info.Array(), record->info.Array() + MA48Work::kInfoLength, 0);
  record->rinfo[0] = 0.0;
  HSL_MA48ID(record->cntl.Array(), record->icntl.Array());
  entry(record->icntl, 1) = entry(record->icntl, 2) = entry(record->icntl, 3) = 0;
  const int block = std::max(1, entry(record->icntl, 6));
  record->keep.Reallocate(
      checkedLength(std::int64_t{nr} + 5 * std::int64_t{nc} + 4 * std::int64_t{nc} / block + 7));
  std::fill(record->keep.Array(), record->keep.Array() + record->keep.Length(), 0);
  return record;
}

void generalFactorRoutine(MA48Work& w, int job) {
  HSL_MA48BD(&w.m, &w.n, &w.ne, &job, &w.la, w.a.Array(), w.irn.Array(), w.jcn.Array(),
             w.keep.Array(), w.cntl.Array(), w.icntl.Array(), w.w.Array(), w.iw.Array(),
             w.info.Array(), w.rinfo.Array());
}

// Repeats the factorisation until it fits; `grow` gives the next length after a shortage. As on
// the square path the kernel leaves the arrays untouched when it reports a shortage, so growing
// them with their contents restores the state from before the call.
template <class Grow>
bool generalFactorLoop(MA48Work& w, int job, Grow grow) {
  for (;;) {
    generalFactorRoutine(w, job);
    if (entry(w.info, 1) != kGeneralShort) return entry(w.info, 1) == 0;
    w.la = grow();
    resizeKeeping(w.irn, w.la);
    resizeKeeping(w.jcn, w.la);
    resizeKeeping(w.a, w.la);
  }
}

bool generalAnalyseAndFactorise(MA48Work& w, int job) {
  const std::int64_t ne = w.ne;
  w.la = checkedLength(times(w.fill, ne));
  bool first = true;
  for (;;) {
    refillFrom(w.irn, w.la, w.rowCopy);
    refillFrom(w.jcn, w.la, w.columnCopy);
    refillFrom(w.a, w.la, w.valueCopy);
    HSL_MA48AD(&w.m, &w.n, &w.ne, &job, &w.la, w.a.Array(), w.irn.Array(), w.jcn.Array(),
               w.keep.Array(), w.cntl.Array(), w.icntl.Array(), w.iw.Array(), w.info.Array(),
               w.rinfo.Array());
    if (entry(w.info, 1) != kGeneralShort) break;
    const std::int64_t needed = 2 * std::int64_t{entry(w.info, 3)};
    w.la = checkedLength(first ? std::max(needed, kFreshGrowth * ne)
                               : std::max(needed, w.la + kStepGrowth * ne));
    first = false;
  }
  if (entry(w.info, 1) != 0) return false;
  bool first_growth = true;
  return generalFactorLoop(w, job, [&]() {
    const std::int64_t needed = 2 * std::int64_t{entry(w.info, 3)};
    const std::int64_t length = first_growth ? std::max(needed, w.la + kFreshGrowth * ne)
                                             : std::max(needed, w.la + kStepGrowth * ne);
    first_growth = false;
    return checkedLength(length);
  });
}

bool generalRefactorise(MA48Work& w, const mvlarray<double>& data) {
  // Only the entries in use carry values; copying the whole allocated length of Data could run
  // past the end of a (capacity beyond la) or over the factors stored behind the matrix.
  std::copy(data.Array(), data.Array() + w.ne, w.a.Array());
  const std::int64_t ne = w.ne;
  return generalFactorLoop(w, 2, [&]() {
    return checkedLength(
        std::max<std::int64_t>(2 * std::int64_t{entry(w.info, 4)}, w.la + kStepGrowth * ne));
  });
}

bool generalSolve(MA48Work& w, int job, mvlarray<double>& b, mvlarray<double>& x) {
  mvlarray<double> error(3);
  const bool transpose = false;
  HSL_MA48CD(&w.m, &w.n, &transpose, &job, &w.la, w.a.Array(), w.irn.Array(), w.keep.Array(),
             w.cntl.Array(), w.icntl.Array(), b.Array(), x.Array(), error.Array(), w.w.Array(),
             w.iw.Array(), w.info.Array());
  return entry(w.info, 1) == 0;
}

// With more equations than unknowns the solution satisfies the pivot rows; the others hold only
// if the system is consistent. Judged by the normwise backward error of all m equations,
// |A x - b|_inf / (|A|_inf |x|_inf + |b|_inf), for the matrix the record factorised. When it
// exceeds the tolerance the status becomes the inconsistency warning and x is kept.
bool consistentSolution(MA48Work& w, const mvlarray<double>& b, const mvlarray<double>& x) {
  if (w.m <= w.n) return true;
  std::vector<double> residual(static_cast<std::size_t>(w.m));
  std::vector<double> rowSum(static_cast<std::size_t>(w.m), 0.0);
  for (int i = 0; i < w.m; ++i) residual[i] = -b[i];
  for (int k = 0; k < w.ne; ++k) {
    const int i = w.rowCopy[k] - 1, j = w.columnCopy[k] - 1;
    if (i < 0 || i >= w.m || j < 0 || j >= w.n) continue;  // dropped by the kernel as well
    residual[i] += w.valueCopy[k] * x[j];
    rowSum[i] += std::fabs(w.valueCopy[k]);
  }
  double worst = 0.0, normA = 0.0, normB = 0.0, normX = 0.0;
  for (int i = 0; i < w.m; ++i) {
    worst = std::max(worst, std::fabs(residual[i]));
    normA = std::max(normA, rowSum[i]);
    normB = std::max(normB, std::fabs(b[i]));
  }
  for (int j = 0; j < w.n; ++j) normX = std::max(normX, std::fabs(x[j]));
  if (worst <= sparseMatrix::InconsistencyTolerance * (normA * normX + normB)) return true;
  entry(w.info, 1) = sparseMatrix::InconsistentSystem;
  return false;
}
}  // namespace

bool sparseMatrix::Solve(mvlarray<double>& b, mvlarray<double>& x, bool general) {
  // The kernels read Nr values of b and write Nc of x whatever the arrays hold.
  refused_ = b.Length() < nr_ || x.Length() < nc_ ? ShortVector : 0;
  if (refused_ != 0) return false;
  Uncompress();
  // A count the caller set outside the arrays describes no entries: the kernels say so.
  const int entries = nz_ >= 0 && nz_ <= capacity_ ? nz_ : 0;
  // Always solve from a copy: x may be b itself, and the refinement reads b after x is written.
  mvlarray<double> rhs(b);
  const bool square_path = nr_ == nc_ && !general;
  if (square_path && square_ != nullptr) return squareSolve(*square_, rhs, x);

  if (square_path) {
    int unit = kLogUnit;
    bool solved = false;
    try {
      square_ = createSquareRecord(nr_, entries, fill_in_, data_, irn_, jcn_).release();
      if (!finiteValues(data_, entries)) {
        entry(square_->info, 1) = NonFiniteEntries;
        return false;
      }
      if (log_name_ != nullptr) {
        HSL_FFOPEN(log_name_, static_cast<int>(std::strlen(log_name_)), &unit);
        entry(square_->icntl, 1) = kLogUnit;
        entry(square_->icntl, 2) = kLogUnit;
        entry(square_->icntl, 3) = 4;
      }
      solved = squareFactorise(*square_) && squareSolve(*square_, rhs, x);
      if (log_name_ != nullptr) HSL_FFCLOSE(&unit);
    } catch (const mvlException&) {
      unit = kLogUnit;
      if (log_name_ != nullptr) HSL_FFCLOSE(&unit);
      solved = false;
    }
    return solved;
  }

  if (general_ != nullptr) {
    entry(general_->icntl, 9) = kRefineOnRepeatSolve;
    return generalSolve(*general_, 3, rhs, x) && consistentSolution(*general_, rhs, x);
  }
  general_ = createGeneralRecord(nc_, nr_, entries, fill_in_, data_, irn_, jcn_).release();
  if (!finiteValues(data_, entries)) {
    entry(general_->info, 1) = NonFiniteEntries;
    return false;
  }
  return generalAnalyseAndFactorise(*general_, 1) && generalSolve(*general_, 1, rhs, x) &&
         consistentSolution(*general_, rhs, x);
}

bool sparseMatrix::ReSolve(mvlarray<double>& b, mvlarray<double>& x) {
  refused_ = b.Length() < nr_ || x.Length() < nc_ ? ShortVector : 0;
  if (refused_ != 0) return false;
  Uncompress();
  if (square_ == nullptr && general_ == nullptr) return Solve(b, x, false);
  // The refactorisations take the new values on the pattern of the record; any other pattern
  // would be factorised only in part.
  const bool entriesValid = nz_ >= 0 && nz_ <= capacity_;
  std::optional<mvlarray<double>> copy;
  if (overlapping(b, x)) copy.emplace(b);
  mvlarray<double>& rhs = copy ? *copy : b;
  if (square_ != nullptr) {
    if (!entriesValid || nz_ != square_->ne ||
        positionsDigest(irn_, jcn_, nz_) != square_->pattern) {
      entry(square_->info, 1) = PatternChanged;
      return false;
    }
    if (!finiteValues(data_, nz_)) {
      entry(square_->info, 1) = NonFiniteEntries;
      return false;
    }
    entry(square_->icntl, 8) = kRefineOnResolve;
    return squareRefactorise(*square_, irn_, jcn_, data_) && squareSolve(*square_, rhs, x);
  }
  if (!entriesValid || nz_ != general_->ne || orderedDigest(irn_, jcn_, nz_) != general_->pattern) {
    entry(general_->info, 1) = PatternChanged;
    return false;
  }
  if (!finiteValues(data_, nz_)) {
    entry(general_->info, 1) = NonFiniteEntries;
    return false;
  }
  // The record's copy of the values stands for the matrix factorised from now on.
  std::copy(data_.Array(), data_.Array() + nz_, general_->valueCopy.Array());
  entry(general_->icntl, 9) = kRefineOnResolve;
  // A first factorisation that never got as far as the analysis left no factor storage to
  // refactorise in: analyse and factorise afresh.
  if (general_->a.Length() < general_->ne)
    return generalAnalyseAndFactorise(*general_, 1) && generalSolve(*general_, 1, rhs, x) &&
           consistentSolution(*general_, rhs, x);
  return generalRefactorise(*general_, data_) && generalSolve(*general_, 3, rhs, x) &&
         consistentSolution(*general_, rhs, x);
}

int sparseMatrix::Info(int k) const {
  if (k == 0 && refused_ != 0) return refused_;
  auto entry_of = [k](const mvlarray<int>& info) {
    return k >= 0 && k < info.Length() ? info[k] : 0;
  };
  if (square_ != nullptr) return entry_of(square_->info);
  if (general_ != nullptr) return entry_of(general_->info);
  return 0;
}

}  // namespace Orvo
