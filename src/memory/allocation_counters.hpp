// Library-internal access to the allocation counters.
#ifndef ORVO_SRC_MEMORY_ALLOCATION_COUNTERS_HPP
#define ORVO_SRC_MEMORY_ALLOCATION_COUNTERS_HPP

#include <cstddef>
#include <cstdint>

namespace Orvo::detail {
// Counts one request and one release of a block that is never actually obtained. Re-shaping a
// matrix is accounted as obtaining a fresh block and handing it back; this keeps the counters
// telling that story without paying for a heap round trip.
void countTransientBlock();

// Gives a block obtained through Orvomalloc the new size, keeping its first
// min(oldBytes, newBytes) bytes. Counted as Orvomalloc(newBytes) then Orvofree(block, oldBytes).
// The heap resizes large blocks by remapping their pages: nothing is copied and pages never
// touched stay untouched. Throws mvlException when the heap cannot supply the new size; the
// block is then unchanged and still the caller's (the failed request counted as Orvomalloc
// counts one).
void* resizeTrackedBlock(void* block, std::uint64_t oldBytes, std::uint64_t newBytes);

// Orvomalloc with the block aligned to `alignment` (a power of two, a multiple of the size of a
// pointer); released with Orvofree like any tracked block.
void* obtainAligned(std::uint64_t bytes, std::size_t alignment);
}  // namespace Orvo::detail

#endif
