// The tracked allocator: Orvomalloc/Orvofree and the process-wide counters of calls and bytes
// that tests read to prove every block is returned.
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

namespace {
[[noreturn]] void heapExhausted(std::uint64_t bytes) {
  throw Orvo::mvlException("Orvomalloc: the heap could not supply " + std::to_string(bytes) +
                           " bytes");
}
}  // namespace

void* Orvomalloc(std::uint64_t bytes) {
  void* block = std::malloc(static_cast<std::size_t>(bytes));
  bump(allocationCount);
  addBytes(bytes);
  if (block == nullptr && bytes != 0) heapExhausted(bytes);
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

void* obtainAligned(std::uint64_t bytes, std::size_t alignment) {
  void* block = nullptr;
  const int failed = posix_memalign(&block, alignment, static_cast<std::size_t>(bytes));
  bump(allocationCount);
  addBytes(bytes);
  if (failed != 0 && bytes != 0) heapExhausted(bytes);
  return failed != 0 ? nullptr : block;
}

void* resizeTrackedBlock(void* block, std::uint64_t oldBytes, std::uint64_t newBytes) {
  // realloc(p, 0) may free p; a zero-byte block is handed back and a fresh one taken instead.
  if (newBytes == 0) {
    Orvofree(block, oldBytes);
    return Orvomalloc(0);
  }
  // Counted as Orvomalloc(newBytes) followed by Orvofree(block, oldBytes) would be, including
  // a failure, after which the caller still holds (and will release) the old block.
  void* resized = std::realloc(block, static_cast<std::size_t>(newBytes));
  bump(allocationCount);
  addBytes(newBytes);
  if (resized == nullptr) heapExhausted(newBytes);
  bump(releaseCount);
  addBytes(static_cast<std::uint64_t>(0) - oldBytes);
  return resized;
}
}  // namespace Orvo::detail
