// Large-page advice for big scratch blocks: the system is asked to back them with huge pages,
// which cuts TLB misses in the sparse factorisations. Isolated because it is Linux-specific.
#include "memory/large_pages.hpp"

#include "memory/allocation_counters.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace Orvo::detail {

namespace {
constexpr std::size_t kLargePage = std::size_t{2} << 20;
}  // namespace

void adviseLargePages(void* begin, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kPage = 4096;
  if (begin == nullptr || bytes < kLargePage) return;
  // Only whole pages inside the block: the pages at its ends may hold other blocks.
  const auto first = (reinterpret_cast<std::uintptr_t>(begin) + kPage - 1) & ~(kPage - 1);
  const auto last = (reinterpret_cast<std::uintptr_t>(begin) + bytes) & ~(kPage - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)begin;
  (void)bytes;
#endif
}

void* obtainLargePageScratch(std::size_t bytes) {
  constexpr std::size_t kWorthAligning = std::size_t{1} << 20;
  if (bytes < kWorthAligning) return Orvomalloc(bytes);
  void* block = obtainAligned(bytes, kLargePage);
  adviseLargePages(block, bytes);
  return block;
}

}  // namespace Orvo::detail
