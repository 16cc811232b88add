/// @file
/// Tracked allocation, the owning/viewing array mvlarray and the library exception.
///
/// All numeric storage of the library passes through Orvomalloc/Orvofree, which keep three
/// process-wide counters: blocks obtained, blocks returned and bytes outstanding. A process that
/// has destroyed every library object shows OrvomemUsed() == 0. The counters are updated
/// without synchronisation, at the cost of a plain increment: exact within one thread, they may
/// lose counts while several threads obtain or return storage at once.
#ifndef ORVO_MEMORY_HPP
#define ORVO_MEMORY_HPP

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <string>
#include <utility>

#include "orvo/config.hpp"

/// Obtains `bytes` bytes from the system heap (contents undefined), then counts one allocation
/// and adds `bytes` to the bytes in use. The counters move even when the heap fails.
/// Throws Orvo::mvlException when the heap returns null for a non-zero request; a request of 0
/// bytes is not a failure (the result may be null and must still be passed to Orvofree).
ORVO_API void* Orvomalloc(std::uint64_t bytes);

/// Returns `block` (null allowed) to the heap, then counts one release and subtracts `bytes`
/// from the bytes in use. `bytes` must be the count given to Orvomalloc for that block.
ORVO_API void Orvofree(void* block, std::uint64_t bytes);

/// Number of Orvomalloc calls since the library was loaded.
ORVO_API std::int32_t OrvoallocCalls();
/// Number of Orvofree calls since the library was loaded (null releases included).
ORVO_API std::int32_t OrvofreeCalls();
/// Bytes outstanding: the low 32 bits of the exact 64-bit total, read as a signed int.
ORVO_API std::int32_t OrvomemUsed();

namespace Orvo {

/// The library's exception: copyable, catchable by value, carries a message. Raised by
/// Orvomalloc when the heap is exhausted and by kernel code that cannot obtain storage.
class ORVO_API mvlException : public std::exception {
 public:
  explicit mvlException(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

/// Element count height * width of a block, multiplied in 64 bits. Throws mvlException naming
/// `what` when a factor is negative or the product exceeds what an int (the library's element
/// index) holds, so no storage is obtained or touched for a size that cannot be addressed.
inline int checkedElementCount(std::int64_t height, std::int64_t width, const char* what) {
  const std::int64_t count = height * width;  // both factors fit in 32 bits: no overflow here
  if (height < 0 || width < 0)
    throw mvlException(std::string(what) + ": negative dimension " + std::to_string(height) +
                       " x " + std::to_string(width));
  if (count > std::numeric_limits<int>::max())
    throw mvlException(std::string(what) + ": " + std::to_string(height) + " x " +
                       std::to_string(width) + " elements exceed the int range");
  return static_cast<int>(count);
}

/// A length or workspace formula evaluated in 64 bits, checked as above.
inline int checkedLength(std::int64_t length, const char* what) {
  return checkedElementCount(length, 1, what);
}

/// Stateless typed face of Orvomalloc/Orvofree; any two instances are interchangeable.
template <class T>
class OrvoAllocator {
 public:
  using value_type = T;
  OrvoAllocator() = default;
  template <class U>
  OrvoAllocator(const OrvoAllocator<U>&) {}

  /// @{
  /// Uninitialised storage for n elements from Orvomalloc; deallocate returns a block with the
  /// same n.
  T* allocate(std::size_t n) { return static_cast<T*>(Orvomalloc(n * sizeof(T))); }
  void deallocate(T* block, std::size_t n) { Orvofree(block, n * sizeof(T)); }
  /// @}

  /// @{
  /// All instances are interchangeable, so any two compare equal.
  template <class U>
  bool operator==(const OrvoAllocator<U>&) const {
    return true;
  }
  template <class U>
  bool operator!=(const OrvoAllocator<U>&) const {
    return false;
  }
  /// @}
};

namespace detail {
/// Library-internal access to an array's block (resizing it in place); not for outside use.
template <class T>
struct ArrayAccess;
}  // namespace detail

/// One-dimensional array of T that either owns its storage (obtained through A) or views storage
/// owned elsewhere.
///
///  * Default: empty (null, length 0), owning.  * (n): owns n uninitialised elements.
///  * (p, n): views the n elements at p; they stay the caller's and must outlive the view.
///  * Copy: always an owning deep copy, even of a view.
///  * Assignment: equal lengths copy element-wise into the existing storage (so assigning to a
///    view writes through); different lengths take new owned storage, filled before the old one
///    is released, so the source may view this array's own block. Overlapping source and
///    target of equal length copy as if through a temporary.
///  * A negative length throws mvlException; nothing is obtained.
///  * Moving from an owner transfers its block; moving from a view copies, as a copy would.
/// No operation checks indices; Debug builds assert them.
template <class T, class A = OrvoAllocator<T>, class AI = OrvoAllocator<int>>
class mvlarray {
 public:
  mvlarray() = default;
  explicit mvlarray(int n)
      : data_(obtain(checkedLength(n, "mvlarray"))), length_(n), owner_(true) {}
  mvlarray(T* first, int n) : data_(first), length_(n), owner_(false) {}
  mvlarray(const mvlarray& other) : data_(obtain(other.length_)), length_(other.length_) {
    copyFrom(other.data_);
  }
  mvlarray(mvlarray&& other) : length_(other.length_) {
    if (other.owner_) {
      data_ = other.data_;
      other.data_ = nullptr;
      other.length_ = 0;
    } else {
      data_ = obtain(length_);
      copyFrom(other.data_);
    }
  }
  ~mvlarray() {
    if (owner_ && data_ != nullptr) release();
  }

  /// Assignment as described above.
  mvlarray& operator=(const mvlarray& other) {
    if (this == &other) return *this;
    if (other.length_ != length_) {
      // The source may be a view of this array's block: fill the new block before letting go.
      T* fresh = obtain(other.length_);
      for (int i = 0; i < other.length_; ++i) fresh[i] = other.data_[i];
      if (owner_) release();
      data_ = fresh;
      length_ = other.length_;
      owner_ = true;
      return *this;
    }
    copyFrom(other.data_);
    return *this;
  }

  /// Releases owned storage (an empty array passes its null pointer on, which is counted as a
  /// release), then owns n fresh, uninitialised elements.
  void Reallocate(int n) {
    checkedLength(n, "mvlarray");
    if (owner_) release();
    data_ = nullptr;
    length_ = n;
    data_ = obtain(n);
    owner_ = true;
  }

  /// Adds other[i] to element i for every i < Length(); other must be at least as long.
  mvlarray& operator+=(const mvlarray& other) {
    for (int i = 0; i < length_; ++i) data_[i] += other.data_[i];
    return *this;
  }

  /// @{
  /// Element i; Debug builds assert the index.
  T& operator[](int i) {
    assert(i >= 0 && i < length_);
    return data_[i];
  }
  const T& operator[](int i) const {
    assert(i >= 0 && i < length_);
    return data_[i];
  }
  /// @}
  /// @{
  /// The first element (null when empty), the length, and whether the storage is owned. The
  /// pointer stays valid until the storage is re-made or released.
  T* Array() { return data_; }
  const T* Array() const { return data_; }
  int Length() const { return length_; }
  bool isOwner() const { return owner_; }
  /// @}

  /// Index of the first largest element (ties keep the earliest); 0 for length 0 or 1.
  int MaxIndex() const {
    int best = 0;
    for (int i = 1; i < length_; ++i)
      if (data_[i] > data_[best]) best = i;
    return best;
  }
  /// Index of the first smallest element (ties keep the earliest); 0 for length 0 or 1.
  int MinIndex() const {
    int best = 0;
    for (int i = 1; i < length_; ++i)
      if (data_[i] < data_[best]) best = i;
    return best;
  }

 private:
  template <class U>
  friend struct detail::ArrayAccess;

  T* obtain(int n) { return A().allocate(static_cast<std::size_t>(n)); }
  void release() { A().deallocate(data_, static_cast<std::size_t>(length_)); }
  // Copies length_ elements; a source overlapping this block behind its start is copied from
  // the back, so every element is read before it is overwritten.
  void copyFrom(const T* source) {
    if (source < data_ && source + length_ > data_) {
      for (int i = length_ - 1; i >= 0; --i) data_[i] = source[i];
    } else {
      for (int i = 0; i < length_; ++i) data_[i] = source[i];
    }
  }

  T* data_ = nullptr;
  int length_ = 0;
  bool owner_ = true;
};

}  // namespace Orvo

#endif  // ORVO_MEMORY_HPP
