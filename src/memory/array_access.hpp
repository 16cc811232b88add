// Library-internal operations on an mvlarray's block.
#ifndef ORVO_SRC_MEMORY_ARRAY_ACCESS_HPP
#define ORVO_SRC_MEMORY_ARRAY_ACCESS_HPP

#include <algorithm>
#include <type_traits>

#include "memory/allocation_counters.hpp"
#include "memory/large_pages.hpp"
#include "orvo/memory.hpp"

namespace Orvo::detail {

template <class T>
struct ArrayAccess {
  static_assert(std::is_trivially_copyable_v<T>, "blocks are resized bytewise");

  // Gives `array` n elements, the first min(n, Length()) kept and the rest uninitialised. An
  // owned block is resized by the heap (see resizeTrackedBlock); a view is copied into a fresh
  // owned block. Throws mvlException when the heap fails; the array is then unchanged.
  static void resizeKeeping(mvlarray<T>& array, int n) {
    const std::size_t old_bytes = sizeof(T) * static_cast<std::size_t>(array.length_);
    const std::size_t new_bytes = sizeof(T) * static_cast<std::size_t>(n);
    if (array.owner_) {
      array.data_ = static_cast<T*>(resizeTrackedBlock(array.data_, old_bytes, new_bytes));
    } else {
      T* fresh = static_cast<T*>(Orvomalloc(new_bytes));
      std::copy(array.data_, array.data_ + std::min(array.length_, n), fresh);
      array.data_ = fresh;
      array.owner_ = true;
    }
    array.length_ = n;
  }

  // As resizeKeeping, but only the first `front` elements (at most min(n, Length())) are kept:
  // a fresh block is taken (through obtainLargePageScratch: storage a kernel is about to fill)
  // and the old one released, so storage behind the front is neither copied nor touched.
  static void replaceKeepingFront(mvlarray<T>& array, int n, int front) {
    front = std::max(0, std::min({front, n, array.length_}));
    T* fresh = static_cast<T*>(obtainLargePageScratch(sizeof(T) * static_cast<std::size_t>(n)));
    std::copy(array.data_, array.data_ + front, fresh);
    if (array.owner_) array.release();
    array.data_ = fresh;
    array.length_ = n;
    array.owner_ = true;
  }
};

}  // namespace Orvo::detail

#endif
