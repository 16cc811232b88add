#include <atomic>
#include <cstdlib>

#include "memory/allocation_counters.hpp"
#include "orvo/memory.hpp"

namespace {
// Relaxed loads and stores: each update is a plain read-modify-write (concurrent callers may
// lose updates, as documented) but no access is a data race, and the cost stays that of a
// plain increment. Counts are kept unsigned so that wrapping is defined.
std::atomic<std::uint32_t> allocationCount{0};
std::atomic<std::uint32_t> releaseCount{0};
std::atomic<std::uint64_t> bytesInUse{0};

void bump(std::atomic<std::uint32_t>& counter) {
  counter.store(counter.load(std::memory_order_relaxed) + 1u, std::memory_order_relaxed);
}
void addBytes(std::uint64_t delta) {
  bytesInUse.store(bytesInUse.load(std::memory_order_relaxed) + delta, std::memory_order_relaxed);
}
}  // namespace

void* Orvomalloc(std::uint64_t bytes) {
  void* block = std::malloc(static_cast<std::size_t>(bytes));
  bump(allocationCount);
  addBytes(bytes);
  if (block == nullptr && bytes != 0)
    throw Orvo::mvlException("Orvomalloc: the heap could not supply " + std::to_string(bytes) +
                             " bytes");
  return block;
}

void Orvofree(void* block, std::uint64_t bytes) {
  std::free(block);
  bump(releaseCount);
  addBytes(static_cast<std::uint64_t>(0) - bytes);
}

std::int32_t OrvoallocCalls() {
  return static_cast<std::int32_t>(allocationCount.load(std::memory_order_relaxed));
}
std::int32_t OrvofreeCalls() {
  return static_cast<std::int32_t>(releaseCount.load(std::memory_order_relaxed));
}
std::int32_t OrvomemUsed() {
  return static_cast<std::int32_t>(
      static_cast<std::uint32_t>(bytesInUse.load(std::memory_order_relaxed)));
}

namespace Orvo::detail {
void countTransientBlock() {
  bump(allocationCount);
  bump(releaseCount);
}
}  // namespace Orvo::detail
