// Library-internal access to the allocation counters.
#ifndef ORVO_SRC_MEMORY_ALLOCATION_COUNTERS_HPP
#define ORVO_SRC_MEMORY_ALLOCATION_COUNTERS_HPP

#include <cstdint>

namespace Orvo::detail {
// Counts one request and one release of a block that is never actually obtained. Re-shaping a
// matrix is accounted as obtaining a fresh block and handing it back; this keeps the counters
// telling that story without paying for a heap round trip.
void countTransientBlock();
}  // namespace Orvo::detail

#endif
