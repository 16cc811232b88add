// pTableInterpolator: a function of two variables tabulated on a sorted rectangular grid and
// queried by bilinear interpolation. The grids and the table sit in one general-heap block shared
// by an interpolator and its copies (copy on write); every change first evaluates the new
// numbers through the caller's callback into storage of its own and only then moves them into
// place with operations that cannot fail, so a throwing callback or an exhausted heap leaves the
// grid and table exactly as they were.
#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <ostream>
#include <string>
#include <utility>

#include "orvo/interp.hpp"

namespace Orvo {

// Row i of the table holds T[i][0 ... ny-1]; rows[nx ... rowCapacity-1] are unused slots.
// Every row has room for columnCapacity values. The row count is nx, the column count ny.
struct detail::GridTableStorage {
  int holders;
  double* x;
  std::int32_t nx;
  std::int64_t xCapacity;
  double* y;
  std::int32_t ny;
  std::int64_t yCapacity;
  double** rows;
  std::int64_t rowCapacity;
  std::int64_t columnCapacity;
};

namespace {

using Storage = detail::GridTableStorage;

// Every growable array gains this many elements whenever an insertion finds it full.
constexpr std::int64_t kCapacityStep = 10;
// Counts are 32-bit signed.
constexpr std::int64_t kMaxValuesPerAxis = std::numeric_limits<std::int32_t>::max();

std::int64_t RoundUpToStep(std::int64_t count) {
  return (count + kCapacityStep - 1) / kCapacityStep * kCapacityStep;
}

[[noreturn]] void HeapExhausted(const char* what) {
  throw mvlException(std::string("pTableInterpolator: the heap could not supply ") + what);
}

// Room for `count` elements of `size` bytes from the general heap, or null for count 0.
void* HeapBlock(std::int64_t count, std::size_t size, const char* what) {
  if (count <= 0) return nullptr;
  if (static_cast<std::uint64_t>(count) > std::numeric_limits<std::size_t>::max() / size)
    HeapExhausted(what);
  void* block = std::malloc(static_cast<std::size_t>(count) * size);
  if (block == nullptr) HeapExhausted(what);
  return block;
}

// Resizes a block to `count` elements; on failure throws and the block stays as it was.
template <class T>
void ResizeBlock(T*& block, std::int64_t count, const char* what) {
  if (static_cast<std::uint64_t>(count) > std::numeric_limits<std::size_t>::max() / sizeof(T))
    HeapExhausted(what);
  void* resized = std::realloc(block, static_cast<std::size_t>(count) * sizeof(T));
  if (resized == nullptr) HeapExhausted(what);
  block = static_cast<T*>(resized);
}

// Makes room for one more element, growing by one capacity step when full.
template <class T>
void ReserveOneMore(T*& block, std::int64_t count, std::int64_t& capacity, const char* what) {
  if (count < capacity) return;
  ResizeBlock(block, capacity + kCapacityStep, what);
  capacity += kCapacityStep;
}

void CheckRoomOnAxis(std::int64_t count) {
  if (count > kMaxValuesPerAxis)
    throw mvlException("pTableInterpolator: more than 2^31 - 1 values on one axis");
}

// Frees every part of a block that is not shared (or no longer shared) with anyone.
void Destroy(Storage* s) {
  if (s == nullptr) return;
  for (std::int32_t i = 0; i < s->nx; ++i) std::free(s->rows[i]);
  std::free(s->rows);
  std::free(s->x);
  std::free(s->y);
  std::free(s);
}

struct Destroyer {
  void operator()(Storage* s) const { Destroy(s); }
};
using OwnedStorage = std::unique_ptr<Storage, Destroyer>;

void Release(Storage* s) {
  if (s != nullptr && --s->holders == 0) Destroy(s);
}

OwnedStorage EmptyStorage() {
  auto* s = static_cast<Storage*>(HeapBlock(1, sizeof(Storage), "the grid record"));
  *s = Storage{1, nullptr, 0, 0, nullptr, 0, 0, nullptr, 0, 0};
  return OwnedStorage(s);
}

// A block of nx rows of room for columnCapacity values each, with grids of nx and ny values (not
// yet written); row slots start null, so a block that fails half-way frees cleanly.
OwnedStorage SizedStorage(std::int32_t nx, std::int32_t ny, std::int64_t xCapacity,
                          std::int64_t yCapacity, std::int64_t rowCapacity,
                          std::int64_t columnCapacity) {
  OwnedStorage s = EmptyStorage();
  s->x = static_cast<double*>(HeapBlock(xCapacity, sizeof(double), "the x grid"));
  s->xCapacity = xCapacity;
  s->y = static_cast<double*>(HeapBlock(yCapacity, sizeof(double), "the y grid"));
  s->yCapacity = yCapacity;
  s->rows = static_cast<double**>(HeapBlock(rowCapacity, sizeof(double*), "the table rows"));
  s->rowCapacity = rowCapacity;
  if (nx > 0) std::fill(s->rows, s->rows + nx, nullptr);
  s->nx = nx;
  s->ny = ny;
  for (std::int32_t i = 0; i < nx; ++i)
    s->rows[i] = static_cast<double*>(HeapBlock(columnCapacity, sizeof(double), "a table row"));
  s->columnCapacity = columnCapacity;
  return s;
}

OwnedStorage Clone(const Storage& from) {
  OwnedStorage s = SizedStorage(from.nx, from.ny, from.xCapacity, from.yCapacity, from.rowCapacity,
                                from.columnCapacity);
  std::copy(from.x, from.x + from.nx, s->x);
  std::copy(from.y, from.y + from.ny, s->y);
  for (std::int32_t i = 0; i < from.nx; ++i)
    std::copy(from.rows[i], from.rows[i] + from.ny, s->rows[i]);
  return s;
}

// A general-heap buffer freed on scope exit unless released.
struct Buffer {
  double* data;
  Buffer(std::int64_t count, const char* what)
      : data(static_cast<double*>(HeapBlock(count, sizeof(double), what))) {}
  ~Buffer() { std::free(data); }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  double* release() { return std::exchange(data, nullptr); }
};

// Where v belongs in the strictly increasing p[0 ... n-1]: its index if it would be inserted,
// or -1 if an equal value is already there.
std::int32_t InsertionIndex(const double* p, std::int32_t n, double v) {
  const double* at = std::lower_bound(p, p + n, v);
  if (at != p + n && *at == v) return -1;
  return static_cast<std::int32_t>(at - p);
}

// Index of the first of p[0 ... m-1] greater than v (m if there is none), m >= 1. Branch-free
// halving, so that random queries do not pay a mispredicted branch per step.
std::int32_t FirstGreater(const double* p, std::int32_t m, double v) {
  const double* base = p;
  std::int32_t length = m;
  while (length > 1) {
    const std::int32_t half = length / 2;
    base = base[half] <= v ? base + half : base;
    length -= half;
  }
  return static_cast<std::int32_t>(base - p) + (*base <= v ? 1 : 0);
}

#ifndef NDEBUG
// The bisection the lookup must agree with: the lower end of the bracket of v in p[0 ... n-1].
std::int32_t ReferenceBracket(const double* p, std::int32_t n, double v) {
  if (n == 0 || v < p[0]) return -1;
  if (v == p[0]) return 0;
  if (v > p[n - 1]) return n - 1;
  std::int32_t lo = 0, hi = n - 1;
  while (lo < hi) {
    const std::int32_t mid = lo + (hi - lo) / 2;
    if (v >= p[mid])
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo - 1;
}

bool StrictlyIncreasing(const double* p, std::int32_t n) {
  for (std::int32_t k = 1; k < n; ++k)
    if (!(p[k - 1] < p[k])) return false;
  return true;
}
#endif

// The lower end i of the bracket (i, i+1) of v in the strictly increasing p[0 ... n-1]:
// -1 below p[0] (and for a v that is not a number), 0 at p[0], n-1 above p[n-1], otherwise the
// interval [p[i], p[i+1]) that holds v, and n-2 at v = p[n-1]. `last` is the answer of the
// previous lookup, checked first because nearby queries usually stay in one interval; it is
// replaced by the new answer.
std::int32_t Bracket(const double* p, std::int32_t n, double v, std::int32_t& last) {
  std::int32_t lower = last;
  if (!(lower >= 0 && lower + 1 < n && p[lower] <= v && v < p[lower + 1])) {
    if (n == 0 || !(v > p[0]))
      lower = (n > 0 && v == p[0]) ? 0 : -1;
    else if (v > p[n - 1])
      lower = n - 1;
    else
      lower = FirstGreater(p, n - 1, v) - 1;
    last = lower;
  }
  assert(lower == ReferenceBracket(p, n, v));
  return lower;
}

// The distinct values x0 + double(i) * dx, i = 0 ... count-1, merged into the strictly
// increasing p[0 ... n-1]: values already present, repeated or not a number are skipped (of
// equal values the one met first stays, existing ones before new ones). Returns the merged
// length; `merged` receives the values.
std::int64_t MergeSequence(const double* p, std::int32_t n, double x0, double dx, int count,
                           Buffer& merged) {
  const std::int64_t added = std::max(count, 0);
  Buffer fresh(added, "the new grid values");
  std::int64_t valid = 0;
  for (std::int64_t i = 0; i < added; ++i) {
    const double v = x0 + static_cast<double>(i) * dx;
    if (!std::isnan(v)) fresh.data[valid++] = v;
  }
  std::stable_sort(fresh.data, fresh.data + valid);
  merged.data = static_cast<double*>(HeapBlock(n + valid, sizeof(double), "the merged grid"));
  std::int64_t out = 0, a = 0, b = 0;
  while (a < n || b < valid) {
    const bool takeExisting = b == valid || (a < n && !(fresh.data[b] < p[a]));
    const double v = takeExisting ? p[a++] : fresh.data[b++];
    if (out == 0 || merged.data[out - 1] < v) merged.data[out++] = v;
  }
  return out;
}

}  // namespace

pTableInterpolator::pTableInterpolator(FunctorBase_pTableInterpolator& f)
    : storage_(nullptr), xLower_(-1), yLower_(-1), callback_(&f), changed_(false) {}

pTableInterpolator::pTableInterpolator(const pTableInterpolator& other)
    : storage_(other.storage_),
      xLower_(other.xLower_),
      yLower_(other.yLower_),
      callback_(other.callback_),
      changed_(other.changed_) {
  if (storage_ != nullptr) ++storage_->holders;
}

pTableInterpolator& pTableInterpolator::operator=(const pTableInterpolator& other) {
  if (other.storage_ != nullptr) ++other.storage_->holders;  // first: other may share ours
  Release(storage_);
  storage_ = other.storage_;
  xLower_ = other.xLower_;
  yLower_ = other.yLower_;
  callback_ = other.callback_;
  changed_ = other.changed_;
  return *this;
}

pTableInterpolator::~pTableInterpolator() {
  Release(storage_);
}

void pTableInterpolator::makeOwnStorage() {
  if (storage_ == nullptr) {
    storage_ = EmptyStorage().release();
  } else if (storage_->holders > 1) {
    Storage* own = Clone(*storage_).release();
    --storage_->holders;
    storage_ = own;
  }
}

int pTableInterpolator::nX() const {
  return storage_ ? storage_->nx : 0;
}
int pTableInterpolator::nY() const {
  return storage_ ? storage_->ny : 0;
}
double pTableInterpolator::getX(int i) const {
  return storage_->x[i];
}
double pTableInterpolator::getY(int j) const {
  return storage_->y[j];
}
double pTableInterpolator::getValue(int i, int j) const {
  return storage_->rows[i][j];
}

void pTableInterpolator::AddXvar(double x) {
  changed_ = true;
  if (std::isnan(x)) return;
  const std::int32_t nx = nX(), ny = nY();
  const std::int32_t at = InsertionIndex(storage_ ? storage_->x : nullptr, nx, x);
  if (at < 0) return;
  CheckRoomOnAxis(std::int64_t{nx} + 1);

  // Evaluate the new row before anything is changed.
  Buffer row(storage_ ? storage_->columnCapacity : 0, "a table row");
  for (std::int32_t j = 0; j < ny; ++j) row.data[j] = (*callback_)(x, storage_->y[j]);

  makeOwnStorage();
  Storage& s = *storage_;
  ReserveOneMore(s.x, nx, s.xCapacity, "the x grid");
  ReserveOneMore(s.rows, nx, s.rowCapacity, "the table rows");

  // Nothing below can fail.
  std::memmove(s.x + at + 1, s.x + at, sizeof(double) * static_cast<std::size_t>(nx - at));
  std::memmove(s.rows + at + 1, s.rows + at, sizeof(double*) * static_cast<std::size_t>(nx - at));
  s.x[at] = x;
  s.rows[at] = row.release();
  ++s.nx;
  assert(StrictlyIncreasing(s.x, s.nx));
}

void pTableInterpolator::AddYvar(double y) {
  changed_ = true;
  if (std::isnan(y)) return;
  const std::int32_t nx = nX(), ny = nY();
  const std::int32_t at = InsertionIndex(storage_ ? storage_->y : nullptr, ny, y);
  if (at < 0) return;
  CheckRoomOnAxis(std::int64_t{ny} + 1);

  // Evaluate the new column before anything is changed.
  Buffer column(nx, "a table column");
  for (std::int32_t i = 0; i < nx; ++i) column.data[i] = (*callback_)(storage_->x[i], y);

  makeOwnStorage();
  Storage& s = *storage_;
  ReserveOneMore(s.y, ny, s.yCapacity, "the y grid");
  if (ny == s.columnCapacity) {
    // A row that grew before another failed to keeps its larger block: room beyond the
    // recorded capacity is harmless.
    const std::int64_t grown = s.columnCapacity + kCapacityStep;
    for (std::int32_t i = 0; i < nx; ++i) ResizeBlock(s.rows[i], grown, "a table row");
    s.columnCapacity = grown;
  }

  // Nothing below can fail.
  const std::size_t later = sizeof(double) * static_cast<std::size_t>(ny - at);
  std::memmove(s.y + at + 1, s.y + at, later);
  s.y[at] = y;
  for (std::int32_t i = 0; i < nx; ++i) {
    std::memmove(s.rows[i] + at + 1, s.rows[i] + at, later);
    s.rows[i][at] = column.data[i];
  }
  ++s.ny;
  assert(StrictlyIncreasing(s.y, s.ny));
}

void pTableInterpolator::Initialize(double x0, double dx, int nx, double y0, double dy, int ny) {
  changed_ = true;
  const double* oldX = storage_ ? storage_->x : nullptr;
  const double* oldY = storage_ ? storage_->y : nullptr;
  Buffer mergedX(0, ""), mergedY(0, "");
  const std::int64_t countX = MergeSequence(oldX, nX(), x0, dx, nx, mergedX);
  const std::int64_t countY = MergeSequence(oldY, nY(), y0, dy, ny, mergedY);
  if (countX == 0 && countY == 0) return;
  CheckRoomOnAxis(countX);
  CheckRoomOnAxis(countY);

  // A fresh block for the merged grid, evaluated completely before it replaces the old one.
  const auto rows = static_cast<std::int32_t>(countX), columns = static_cast<std::int32_t>(countY);
  OwnedStorage fresh = SizedStorage(rows, columns, RoundUpToStep(countX), RoundUpToStep(countY),
                                    RoundUpToStep(countX), RoundUpToStep(countY));
  std::copy(mergedX.data, mergedX.data + rows, fresh->x);
  std::copy(mergedY.data, mergedY.data + columns, fresh->y);
  for (std::int32_t i = 0; i < rows; ++i)
    for (std::int32_t j = 0; j < columns; ++j)
      fresh->rows[i][j] = (*callback_)(fresh->x[i], fresh->y[j]);
  assert(StrictlyIncreasing(fresh->x, fresh->nx) && StrictlyIncreasing(fresh->y, fresh->ny));

  Release(storage_);
  storage_ = fresh.release();
}

double pTableInterpolator::Interpolate(double x, double y) {
  if (changed_) {
    Train();
    changed_ = false;
  }
  if (storage_ == nullptr) return OutOfRange;
  const Storage& s = *storage_;
  const std::int32_t i = Bracket(s.x, s.nx, x, xLower_);
  const std::int32_t j = Bracket(s.y, s.ny, y, yLower_);
  if (i < 0 || i + 1 >= s.nx || j < 0 || j + 1 >= s.ny) return OutOfRange;

  const double* lower = s.rows[i];
  const double* upper = s.rows[i + 1];
  const double ty = (y - s.y[j]) / (s.y[j + 1] - s.y[j]);
  const double c0 = (lower[j + 1] - lower[j]) * ty + lower[j];
  const double c1 = (upper[j + 1] - upper[j]) * ty + upper[j];
  const double tx = (x - s.x[i]) / (s.x[i + 1] - s.x[i]);
  return tx * (c1 - c0) + c0;
}

void pTableInterpolator::Train() {
  changed_ = false;
}

void pTableInterpolator::SetOption(char* /*name*/, double /*value*/) {}

void pTableInterpolator::Write2Stream(std::ostream& os) const {
  constexpr int kFieldWidth = 15;
  constexpr int kPerGroup = 4;  // an extra line end after every fourth value and every fourth row
  const std::int32_t nx = nX(), ny = nY();
  os << "Table( " << std::to_string(nx) << " x " << std::to_string(ny) << ")" << std::endl;
  for (std::int32_t r = 0; r < nx; ++r) {
    const double* row = storage_->rows[r];
    // The width is set just before each value, so that it never pads a separator or outlives
    // this call on the caller's stream, even for rows without values.
    for (std::int32_t c = 0; c < ny; ++c) {
      os.width(kFieldWidth);
      os << row[c];
      if ((c + 1) % kPerGroup == 0)
        os << std::endl;
      else
        os << ' ';
    }
    os << std::endl;
    if ((r + 1) % kPerGroup == 0)
      os << std::endl;
    else
      os << ' ';
  }
  os << std::endl;
}

}  // namespace Orvo
