// Resizing tracked blocks in place: contents, counters and the failure path.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <numeric>

#include "allocation_test_support.hpp"
#include "memory/allocation_counters.hpp"
#include "sparse/array_growth.hpp"

using Orvo::mvlarray;

TEST(ResizeTrackedBlock, KeepsContentsAndCountsAsFreshBlock) {
  // Large enough for the heap to remap rather than copy; small ones take the copying path.
  for (const int length : {10, 1 << 20}) {
    mvlarray<double> a(length);
    std::iota(a.Array(), a.Array() + length, 1.0);
    const Counters before;
    Orvo::resizeKeeping(a, 3 * length, true);
    EXPECT_EQ(OrvoallocCalls(), before.allocs + 1);
    EXPECT_EQ(OrvofreeCalls(), before.frees + 1);
    EXPECT_EQ(OrvomemUsed(), before.bytes + static_cast<std::int32_t>(2 * length * sizeof(double)));
    ASSERT_EQ(a.Length(), 3 * length);
    for (int i = 0; i < length; ++i) ASSERT_EQ(a[i], i + 1.0);
    for (int i = length; i < 3 * length; ++i) ASSERT_EQ(a[i], 0.0);

    Orvo::resizeKeeping(a, length / 2, false);
    ASSERT_EQ(a.Length(), length / 2);
    for (int i = 0; i < length / 2; ++i) ASSERT_EQ(a[i], i + 1.0);
  }
}

TEST(ResizeTrackedBlock, ViewBecomesOwnedCopy) {
  int outside[4] = {7, 8, 9, 10};
  const Counters before;
  {
    mvlarray<int> view(outside, 4);
    Orvo::resizeKeeping(view, 6, true);
    EXPECT_TRUE(view.isOwner());
    EXPECT_NE(view.Array(), outside);
    EXPECT_EQ(view[3], 10);
    EXPECT_EQ(view[5], 0);
    view[0] = -1;
  }
  EXPECT_EQ(outside[0], 7);  // the viewed storage is never written
  EXPECT_EQ(OrvomemUsed(), before.bytes);
}

TEST(ResizeTrackedBlock, HeapFailureLeavesBlockWithCaller) {
  mvlarray<int> a(5);
  std::iota(a.Array(), a.Array() + 5, 0);
  int* const block = a.Array();
  const Counters before;
  const std::uint64_t impossible = std::numeric_limits<std::uint64_t>::max() / 2;
  EXPECT_THROW(Orvo::detail::resizeTrackedBlock(block, 5 * sizeof(int), impossible),
               Orvo::mvlException);
  // Counted as a failed Orvomalloc: one request with its bytes, no release.
  EXPECT_EQ(OrvoallocCalls(), before.allocs + 1);
  EXPECT_EQ(OrvofreeCalls(), before.frees);
  Orvofree(nullptr, impossible);  // hand the failed request's bytes back, as callers must
  EXPECT_EQ(OrvomemUsed(), before.bytes);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(a[i], i);
}

TEST(ResizeTrackedBlock, RegrowFrontKeepsOnlyTheFront) {
  mvlarray<int> a(8);
  std::iota(a.Array(), a.Array() + 8, 100);
  const Counters before;
  Orvo::regrowFront(a, 20, 3);
  EXPECT_EQ(OrvoallocCalls(), before.allocs + 1);
  EXPECT_EQ(OrvofreeCalls(), before.frees + 1);
  EXPECT_EQ(OrvomemUsed(), before.bytes + static_cast<std::int32_t>(12 * sizeof(int)));
  ASSERT_EQ(a.Length(), 20);
  EXPECT_EQ(a[0], 100);
  EXPECT_EQ(a[2], 102);
  // A front longer than either length is cut to what both hold.
  Orvo::regrowFront(a, 2, 50);
  ASSERT_EQ(a.Length(), 2);
  EXPECT_EQ(a[1], 101);
}
