// Advice to the operating system on how to back large blocks of storage.
#ifndef ORVO_SRC_MEMORY_LARGE_PAGES_HPP
#define ORVO_SRC_MEMORY_LARGE_PAGES_HPP

#include <cstddef>
#include <cstdint>

#include "orvo/memory.hpp"

namespace Orvo::detail {

// Asks for the pages inside [begin, begin + bytes) to be backed by large (2 MiB) pages when they
// are first touched. Storage that is written once right after it is obtained (factors, sorted
// copies of a matrix) otherwise takes one fault per 4 KiB page, and on virtual machines such a
// fault can cost as much as writing the page. Blocks under one large page are left alone, as are
// pages already in use. Advice only: refused or unsupported, it changes nothing but the speed.
void adviseLargePages(void* begin, std::size_t bytes);

// A tracked block (released with Orvofree) for storage that is written once, front to back, soon
// after it is obtained (kernel scratch, factor storage): from a megabyte on, it starts on a
// large-page boundary and is advised for large pages, so that every whole large page of it, not
// only those that happen to lie inside it, is backed that way. Pages never written are never
// backed at all.
void* obtainLargePageScratch(std::size_t bytes);

// Allocator for large scratch arrays of kernel code, through obtainLargePageScratch; released,
// compared and typed as the library's tracked allocator.
template <class T>
struct LargePageAllocator : OrvoAllocator<T> {
  LargePageAllocator() = default;
  template <class U>
  LargePageAllocator(const LargePageAllocator<U>&) {}

  T* allocate(std::size_t n) { return static_cast<T*>(obtainLargePageScratch(n * sizeof(T))); }
};

}  // namespace Orvo::detail

#endif
