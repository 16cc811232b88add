// The numeric engine is UMFPACK; its objects live only for the duration of one factorisation,
// after which the factors sit in the caller's arrays and everything else here works from them.
#include "kernel/sparse/sparse_lu_support.hpp"

#include <amd.h>
#include <umfpack.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "memory/large_pages.hpp"
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

// The engine writes and reads its analysis only through named files. An anonymous in-memory
// file, named through /proc, carries the bytes between the engine and the caller's storage;
// where there is none (no /proc, no anonymous files) the analysis is simply not kept.
class AnalysisFile {
 public:
  AnalysisFile() {
    fd_ = memfd_create("orvo-sparse-analysis", MFD_CLOEXEC);
    if (fd_ >= 0) path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~AnalysisFile() {
    if (fd_ >= 0) close(fd_);
  }
  AnalysisFile(const AnalysisFile&) = delete;
  AnalysisFile& operator=(const AnalysisFile&) = delete;

  bool usable() const { return fd_ >= 0; }
  char* path() { return path_.data(); }

  // Bytes in the file, -1 if unknown.
  std::int64_t size() const {
    struct stat st;
    return fd_ >= 0 && fstat(fd_, &st) == 0 ? st.st_size : -1;
  }

  bool read(void* to, std::int64_t bytes) const {
    return transfer(bytes, [&](std::int64_t done, std::int64_t n) {
      return pread(fd_, static_cast<char*>(to) + done, n, done);
    });
  }

  bool write(const void* from, std::int64_t bytes) {
    if (ftruncate(fd_, 0) != 0) return false;
    return transfer(bytes, [&](std::int64_t done, std::int64_t n) {
      return pwrite(fd_, static_cast<const char*>(from) + done, n, done);
    });
  }

 private:
  template <class Step>
  bool transfer(std::int64_t bytes, Step step) const {
    if (fd_ < 0) return false;
    for (std::int64_t done = 0; done < bytes;) {
      const ssize_t moved = step(done, bytes - done);
      if (moved <= 0) return false;
      done += moved;
    }
    return true;
  }

  int fd_ = -1;
  std::string path_;
};

// Reads a kept analysis back into an engine object; null when it cannot be.
void* loadAnalysis(const KeptAnalysis& kept, AnalysisFile& file) {
  if (!file.usable() || kept.heldBytes <= 0 || !file.write(kept.at, kept.heldBytes)) return nullptr;
  void* raw = nullptr;
  if (umfpack_di_load_symbolic(&raw, file.path()) != UMFPACK_OK) return nullptr;
  return raw;
}

// Writes an engine analysis to the file; its size in bytes, 0 when it cannot be kept.
std::int64_t saveAnalysis(void* symbolic, AnalysisFile& file) {
  if (!file.usable() || umfpack_di_save_symbolic(symbolic, file.path()) != UMFPACK_OK) return 0;
  return std::max<std::int64_t>(file.size(), 0);
}

// The engine's analysis has fields it never sets, and padding between them, and saving it writes
// the object byte for byte: the bytes kept in the caller's arrays would be partly undefined. The
// engine takes its storage through a process-wide allocator setting, which cannot be swapped
// around each analysis without racing every other thread that uses the engine (and undoing a
// setting the host application makes meanwhile). So it is set once, at the first factorisation:
// to a forwarder that takes every block from the allocator set before (the system's when none
// was) and zeroes it only on a thread inside an analysis, marked by one of these objects. For all
// other allocations, in any thread, the setting behaves as the one it replaced. A host that sets
// its own allocator later replaces the forwarder: the engine then uses the host's allocator, and
// the analysis bytes are merely no longer zeroed.
class ZeroedAnalysisAllocations {
 public:
  ZeroedAnalysisAllocations() {
    InstallForwarder();
    zeroing_ = true;
  }
  ~ZeroedAnalysisAllocations() { zeroing_ = false; }
  ZeroedAnalysisAllocations(const ZeroedAnalysisAllocations&) = delete;
  ZeroedAnalysisAllocations& operator=(const ZeroedAnalysisAllocations&) = delete;

  // Idempotent; every factorisation passes here before it calls the engine, so the one write of
  // the setting happens before any factorisation's use of the engine in any thread.
  static void InstallForwarder() {
    static std::once_flag once;
    std::call_once(once, [] {
      void* (*previous)(std::size_t) = SuiteSparse_config.malloc_func;
      forwardTo_.store(previous != nullptr ? previous : &std::malloc, std::memory_order_relaxed);
      SuiteSparse_config.malloc_func = &allocate;
    });
  }

 private:
  static void* allocate(std::size_t bytes) {
    void* block = forwardTo_.load(std::memory_order_relaxed)(bytes);
    if (block != nullptr && zeroing_) std::memset(block, 0, bytes);
    return block;
  }
  static inline std::atomic<void* (*)(std::size_t)> forwardTo_{&std::malloc};
  static inline thread_local bool zeroing_ = false;
};

void throwIfOutOfMemory(int status) {
  if (status == UMFPACK_ERROR_out_of_memory)
    throw Orvo::mvlException("sparse LU: not enough memory for the factorisation");
}

// The factors are written once, right after the storage is laid out, into pages nobody has
// touched yet.
void adviseLargePages(const FactorView& f, std::int64_t lnz, std::int64_t unz) {
  const std::int64_t integers = FactorIntegers(f.m, f.n, lnz, unz);
  const std::int64_t reals = FactorReals(f.m, lnz, unz);
  Orvo::detail::adviseLargePages(f.rowPerm, static_cast<std::size_t>(integers) * sizeof(int));
  Orvo::detail::adviseLargePages(f.scale, static_cast<std::size_t>(reals) * sizeof(double));
}

// Entries of L plus U (diagonal once) that a symmetric ordering predicts for a pivot-free
// elimination, from the minimum-degree ordering of the pattern of A + A^T (left in `order`); 0
// when the matrix is not square, when its pattern is too far from symmetric for the engine to
// order it that way (less than half the off-diagonal entries matched), or when a diagonal entry
// is missing.
std::int64_t symmetricOrderingCount(const ColumnForm& a, std::vector<int>& order) {
  constexpr double kSymmetricEnough = 0.5;
  if (a.m != a.n) return 0;
  const int n = a.n;
  const int* start = a.start.data();
  const int* rows = a.row.data();
  // Whether A(j, i) is present, for an off-diagonal entry A(i, j): rows ascend in each column.
  auto mirrored = [&](int i, int j) {
    return std::binary_search(rows + start[i], rows + start[i + 1], j);
  };

  // The statistics the engine chooses its strategy by: entries on the diagonal, and the share of
  // off-diagonal entries whose mirror image is present. Only then, when the pattern qualifies,
  // the ordering. The minimum-degree routine is called on storage of our own rather than
  // through its driver, whose workspace would come page by page from the system.
  int diagonal = 0;
  std::int64_t offDiagonal = 0, matched = 0;
  for (int j = 0; j < n; ++j)
    for (int p = start[j]; p < start[j + 1]; ++p) {
      const int i = rows[p];
      if (i == j) {
        ++diagonal;
      } else {
        ++offDiagonal;
        if (mirrored(i, j)) ++matched;
      }
    }
  const double symmetry =
      offDiagonal > 0 ? static_cast<double>(matched) / static_cast<double>(offDiagonal) : 1.0;
  if (diagonal < n || symmetry < kSymmetricEnough) return 0;

  // Pattern of A + A^T without the diagonal, each column's neighbours once: an entry A(i, j)
  // lists i under j, and j under i unless A(j, i) lists it there itself.
  const std::int64_t entries = offDiagonal + (offDiagonal - matched);
  const std::int64_t room = entries + entries / 5 + n;  // elbow room the routine works in
  if (room > INT_MAX) return 0;
  // One block for the routine's ten arrays: large enough to start on a large page.
  constexpr int kArraysOfOrderN = 9;
  ScratchVector<int> storage(static_cast<std::size_t>(kArraysOfOrderN) * n +
                             static_cast<std::size_t>(room));
  int* const pe = storage.data();
  int* const len = pe + n;
  int* const nv = len + n;
  int* const next = nv + n;
  int* const head = next + n;
  int* const elen = head + n;
  int* const degree = elen + n;
  int* const w = degree + n;
  int* const iw = w + n;
  std::fill(len, len + n, 0);
  order.resize(n);
  for (int j = 0; j < n; ++j)
    for (int p = start[j]; p < start[j + 1]; ++p) {
      const int i = rows[p];
      if (i == j) continue;
      ++len[j];
      if (!mirrored(i, j)) ++len[i];
    }
  int filled = 0;
  for (int j = 0; j < n; ++j) {
    pe[j] = filled;
    nv[j] = filled;  // next free position of column j, until the routine takes nv over
    filled += len[j];
  }
  for (int j = 0; j < n; ++j)
    for (int p = start[j]; p < start[j + 1]; ++p) {
      const int i = rows[p];
      if (i == j) continue;
      iw[nv[j]++] = i;
      if (!mirrored(i, j)) iw[nv[i]++] = j;
    }

  double control[AMD_CONTROL], info[AMD_INFO];
  amd_defaults(control);
  std::fill(info, info + AMD_INFO, -1.0);
  info[AMD_N] = n;
  info[AMD_STATUS] = AMD_OK;
  amd_2(n, pe, iw, len, static_cast<int>(room), filled, nv, next, order.data(), head, elen, degree,
        w, control, info);
  return 2 * static_cast<std::int64_t>(info[AMD_LNZ]) + n;
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

// Sorts the k entries (rows[i], values[i]) of one column by row, keeping entries of equal rows in
// their order. Columns of a sparse matrix are short: insertion sort, unless one is long.
void sortColumn(int* rows, double* values, int k) {
  constexpr int kInsertionSortLimit = 32;
  bool sorted = true;
  for (int i = 1; i < k && sorted; ++i) sorted = rows[i - 1] <= rows[i];
  if (sorted) return;
  if (k <= kInsertionSortLimit) {
    for (int i = 1; i < k; ++i) {
      const int r = rows[i];
      const double v = values[i];
      int q = i;
      for (; q > 0 && rows[q - 1] > r; --q) {
        rows[q] = rows[q - 1];
        values[q] = values[q - 1];
      }
      rows[q] = r;
      values[q] = v;
    }
    return;
  }
  std::vector<std::pair<int, double>> column(k);
  for (int i = 0; i < k; ++i) column[i] = {rows[i], values[i]};
  std::stable_sort(column.begin(), column.end(),
                   [](const auto& x, const auto& y) { return x.first < y.first; });
  for (int i = 0; i < k; ++i) {
    rows[i] = column[i].first;
    values[i] = column[i].second;
  }
}

// FNV-1a, a byte at a time, over 32-bit words.
class Digest {
 public:
  void add(std::uint32_t word) {
    for (int byte = 0; byte < 4; ++byte, word >>= 8) h_ = (h_ ^ (word & 0xffu)) * kPrime;
  }
  void add(const int* words, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) add(static_cast<std::uint32_t>(words[k]));
  }
  std::uint64_t value() const { return h_; }

 private:
  static constexpr std::uint64_t kOffsetBasis = 14695981039346656037ull;
  static constexpr std::uint64_t kPrime = 1099511628211ull;
  std::uint64_t h_ = kOffsetBasis;
};

// A left ordering: this header, then the order.
enum LeftOrderingHeader {
  kLeftMark,
  kLeftOrder,
  kLeftCountLow,
  kLeftCountHigh,
  kLeftPatternLow,
  kLeftPatternHigh,
  kLeftDigestLow,
  kLeftDigestHigh,
  kLeftInterchanges,  // 1: the order failed without row interchanges; factorise with them
  kLeftHeaderLength
};
constexpr int kLeftOrderingMark = 0x4f52444c;

void splitInto(std::uint64_t v, int* low, int* high) {
  *low = static_cast<int>(static_cast<std::uint32_t>(v));
  *high = static_cast<int>(static_cast<std::uint32_t>(v >> 32));
}
std::uint64_t joined(int low, int high) {
  return static_cast<std::uint64_t>(static_cast<std::uint32_t>(high)) << 32 |
         static_cast<std::uint32_t>(low);
}

std::uint64_t orderDigest(const int* order, int n) {
  Digest d;
  d.add(order, static_cast<std::size_t>(n));
  return d.value();
}

bool isPermutation(const int* order, int n) {
  std::vector<bool> seen(static_cast<std::size_t>(n), false);
  for (int k = 0; k < n; ++k) {
    if (order[k] < 0 || order[k] >= n || seen[order[k]]) return false;
    seen[order[k]] = true;
  }
  return true;
}

bool roomForOrdering(const LeftOrdering& left, int n) {
  return left.at != nullptr && left.room >= LeftOrderingIntegers(n);
}

}  // namespace

bool TakeLeftOrdering(const LeftOrdering& left, int n, std::uint64_t pattern,
                      std::vector<int>& order, std::int64_t& count, bool& interchanges) {
  if (!roomForOrdering(left, n)) return false;
  const int* header = left.at;
  const int* q = header + kLeftHeaderLength;
  if (header[kLeftMark] != kLeftOrderingMark || header[kLeftOrder] != n ||
      joined(header[kLeftPatternLow], header[kLeftPatternHigh]) != pattern ||
      joined(header[kLeftDigestLow], header[kLeftDigestHigh]) != orderDigest(q, n) ||
      !isPermutation(q, n))
    return false;
  count = static_cast<std::int64_t>(joined(header[kLeftCountLow], header[kLeftCountHigh]));
  if (count <= 0) return false;
  interchanges = header[kLeftInterchanges] != 0;
  order.assign(q, q + n);
  return true;
}

void LeaveOrdering(LeftOrdering& left, std::uint64_t pattern, const std::vector<int>& order,
                   std::int64_t count, bool interchanges) {
  const int n = static_cast<int>(order.size());
  if (!roomForOrdering(left, n)) return;
  int* header = left.at;
  header[kLeftMark] = kLeftOrderingMark;
  header[kLeftOrder] = n;
  splitInto(static_cast<std::uint64_t>(count), &header[kLeftCountLow], &header[kLeftCountHigh]);
  splitInto(pattern, &header[kLeftPatternLow], &header[kLeftPatternHigh]);
  splitInto(orderDigest(order.data(), n), &header[kLeftDigestLow], &header[kLeftDigestHigh]);
  header[kLeftInterchanges] = interchanges ? 1 : 0;
  std::copy(order.begin(), order.end(), header + kLeftHeaderLength);
  left.left = true;
}

std::int64_t SymmetricOrdering(const ColumnForm& a, std::vector<int>& order) {
  return symmetricOrderingCount(a, order);
}

bool BuildColumnForm(int m, int n, int ne, const int* rows, const int* cols, const double* values,
                     bool transpose, ColumnForm& out) {
  const int* rOf = transpose ? cols : rows;
  const int* cOf = transpose ? rows : cols;
  for (int k = 0; k < ne; ++k)
    if (rOf[k] < 1 || rOf[k] > m || cOf[k] < 1 || cOf[k] > n) return false;
  try {
    // Bucket the entries by column (no storage beyond the result: at this size every fresh page
    // costs), then sort each column by row and sum duplicates while closing the gaps.
    out.m = m;
    out.n = n;
    out.start.assign(n + 1, 0);
    out.row.resize(ne);
    out.value.resize(ne);
    for (int k = 0; k < ne; ++k) ++out.start[cOf[k]];
    for (int j = 0; j < n; ++j) out.start[j + 1] += out.start[j];
    // out.start[j] is now the end of column j - 1 = the start of column j; filling column j
    // moves its start up to its end, and out.start[j] - (its count) is restored below.
    for (int k = 0; k < ne; ++k) {
      const int p = out.start[cOf[k] - 1]++;
      out.row[p] = rOf[k] - 1;
      out.value[p] = values[k];
    }
    int kept = 0, begin = 0;
    for (int j = 0; j < n; ++j) {
      const int end = out.start[j];
      sortColumn(out.row.data() + begin, out.value.data() + begin, end - begin);
      out.start[j] = kept;
      for (int p = begin; p < end; ++p) {
        if (kept > out.start[j] && out.row[kept - 1] == out.row[p]) {
          out.value[kept - 1] += out.value[p];
          continue;
        }
        out.row[kept] = out.row[p];
        out.value[kept++] = out.value[p];
      }
      begin = end;
    }
    out.start[n] = kept;
    out.row.resize(kept);
    out.value.resize(kept);
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

std::uint64_t PatternFingerprint(const ColumnForm& a) {
  Digest d;
  d.add(static_cast<std::uint32_t>(a.m));
  d.add(static_cast<std::uint32_t>(a.n));
  d.add(a.start.data(), a.start.size());
  d.add(a.row.data(), a.row.size());
  return d.value();
}

std::int64_t LeftOrderingIntegers(int n) {
  return kLeftHeaderLength + std::int64_t{n};
}

std::int64_t AnalysisIntegers(std::int64_t bytes) {
  return (bytes + static_cast<std::int64_t>(sizeof(int)) - 1) /
         static_cast<std::int64_t>(sizeof(int));
}

Attempt Factorise(const ColumnForm& a, const Settings& settings, const int* givenOrder,
                  const FitsFunction& fits, const PlaceFunction& place, KeptAnalysis* kept) {
  ZeroedAnalysisAllocations::InstallForwarder();
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
  // Otherwise the engine is handed that ordering, which it would find again: for such patterns
  // it orders A + A^T by minimum degree itself, with the same controls.
  const std::uint64_t pattern = kept != nullptr ? PatternFingerprint(a) : 0;
  const int* initialOrder = givenOrder;
  std::vector<int> symmetricOrder;
  if (givenOrder == nullptr && settings.strategy != Settings::kUnsymmetric) {
    if (const std::int64_t count = symmetricOrderingCount(a, symmetricOrder); count > 0) {
      initialOrder = symmetricOrder.data();
      splitSymmetricCount(a, count, attempt);
      if (!fits(attempt.lnz, attempt.unz)) {
        attempt.kind = Attempt::kShort;
        return attempt;
      }
      control[UMFPACK_ORDERING] = UMFPACK_ORDERING_GIVEN;
      control[UMFPACK_STRATEGY] = UMFPACK_STRATEGY_SYMMETRIC;
    }
  }

  const int* ap = a.start.data();
  const int* ai = a.row.data();
  const double* ax = a.value.data();
  AnalysisFile file;
  // A held analysis stands for the pattern and order it was made under; only a refactorisation
  // (given order) may use it.
  if (kept != nullptr) kept->pattern = pattern;
  const bool reuseAnalysis = kept != nullptr && givenOrder != nullptr && kept->heldBytes > 0 &&
                             kept->heldPattern == kept->pattern;
  SymbolicHandle symbolic(reuseAnalysis ? loadAnalysis(*kept, file) : nullptr);
  const bool analysisReused = symbolic != nullptr;
  int status = UMFPACK_OK;
  if (!analysisReused) {
    void* raw = nullptr;
    const ZeroedAnalysisAllocations zeroed;
    status = initialOrder != nullptr
                 ? umfpack_di_qsymbolic(a.m, a.n, ap, ai, ax, initialOrder, &raw, control, info)
                 : umfpack_di_symbolic(a.m, a.n, ap, ai, ax, &raw, control, info);
    symbolic.reset(raw);
    throwIfOutOfMemory(status);
    if (status != UMFPACK_OK) return attempt;
  } else {
    // No statistics come with a loaded analysis; of them only the strategy is read below, and
    // a refactorisation imposes that.
    std::fill(info, info + UMFPACK_INFO, 0.0);
    info[UMFPACK_STRATEGY_USED] = settings.strategy == Settings::kSymmetric
                                      ? UMFPACK_STRATEGY_SYMMETRIC
                                      : UMFPACK_STRATEGY_UNSYMMETRIC;
  }
  if (kept != nullptr)
    kept->bytes = analysisReused ? kept->heldBytes : saveAnalysis(symbolic.get(), file);

  // The analysis bounds L and U from above assuming the worst pivoting; for matrices ordered
  // symmetrically it also counts the factors of the pivot-free elimination, usually within a
  // few per cent of the truth, while the bound can be ten times too high. So the storage is
  // judged by an estimate: that count, or else half the bound (a caller that doubles the
  // estimate then holds the bound).
  attempt.symmetricStrategy = info[UMFPACK_STRATEGY_USED] == UMFPACK_STRATEGY_SYMMETRIC;
  // Under the minimum-degree ordering found above, its count is the estimate and has been judged.
  const bool estimateJudged = initialOrder != nullptr && initialOrder == symmetricOrder.data();
  if (!estimateJudged) {
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
  }

  void* raw = nullptr;
  status = umfpack_di_numeric(ap, ai, ax, symbolic.get(), &raw, control, info);
  NumericHandle numeric(raw);
  symbolic.reset();
  throwIfOutOfMemory(status);
  if (status == UMFPACK_ERROR_different_pattern && analysisReused) {
    // The held analysis does not describe these entries: analyse afresh under the order.
    numeric.reset();
    kept->heldBytes = 0;
    return Factorise(a, settings, givenOrder, fits, place, kept);
  }
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
  if (kept != nullptr && kept->bytes > 0 && !analysisReused) {
    Orvo::detail::adviseLargePages(kept->at, static_cast<std::size_t>(kept->bytes));
    if (!file.read(kept->at, kept->bytes)) kept->bytes = 0;
  }
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
