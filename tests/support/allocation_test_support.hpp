// Shared by the tests of tracked allocation: a snapshot of the counters, and the sanitizer
// setting under which an impossible request fails as it does on the plain heap.
#ifndef ORVO_TESTS_SUPPORT_ALLOCATION_TEST_SUPPORT_HPP
#define ORVO_TESTS_SUPPORT_ALLOCATION_TEST_SUPPORT_HPP

#include <cstdint>

#include "orvo/memory.hpp"

// Under AddressSanitizer an impossible request must come back as null, as from the plain heap,
// rather than end the process, so that the exhaustion paths can be tested in both builds.
// (Include from one file per test program.)
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}

namespace {
struct Counters {
  std::int32_t allocs = OrvoallocCalls(), frees = OrvofreeCalls(), bytes = OrvomemUsed();
};
}  // namespace

#endif
