// Tracked allocation and mvlarray.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "allocation_test_support.hpp"
#include "orvo/memory.hpp"

using Orvo::mvlarray;

TEST(TrackedAllocation, CountsBlocksAndBytes) {
  Counters before;
  void* block = Orvomalloc(24);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(OrvoallocCalls(), before.allocs + 1);
  EXPECT_EQ(OrvomemUsed(), before.bytes + 24);
  Orvofree(block, 24);
  EXPECT_EQ(OrvofreeCalls(), before.frees + 1);
  EXPECT_EQ(OrvomemUsed(), before.bytes);

  Orvofree(nullptr, 0);
  EXPECT_EQ(OrvofreeCalls(), before.frees + 2);
  EXPECT_EQ(OrvomemUsed(), before.bytes);
}

TEST(TrackedAllocation, HeapExhaustionThrowsAfterCounting) {
  Counters before;
  const std::uint64_t impossible = std::numeric_limits<std::uint64_t>::max() / 2;
  EXPECT_THROW(Orvomalloc(impossible), Orvo::mvlException);
  EXPECT_EQ(OrvoallocCalls(), before.allocs + 1);
  // The failed request still counts its bytes; hand them back so later tests see a clean total.
  Orvofree(nullptr, impossible);
  EXPECT_EQ(OrvomemUsed(), before.bytes);
}

TEST(TrackedAllocation, BytesInUseReportsLow32Bits) {
  Counters before;
  const std::uint64_t big = 3ull << 30;  // 3 GiB, never touched so never committed
  void* block = Orvomalloc(big);
  if (block == nullptr) GTEST_SKIP() << "no address space for 3 GiB";
  const auto expected = static_cast<std::int32_t>(
      static_cast<std::uint32_t>(static_cast<std::uint64_t>(before.bytes) + big));
  EXPECT_EQ(OrvomemUsed(), expected);
  EXPECT_LT(OrvomemUsed(), 0);
  Orvofree(block, big);
  EXPECT_EQ(OrvomemUsed(), before.bytes);
}

TEST(TrackedAllocation, ExceptionIsCopyableAndCarriesMessage) {
  try {
    throw Orvo::mvlException("out of workspace");
  } catch (const std::exception& e) {
    const auto* thrown = dynamic_cast<const Orvo::mvlException*>(&e);
    ASSERT_NE(thrown, nullptr);
    Orvo::mvlException copy = *thrown;
    EXPECT_STREQ(copy.what(), "out of workspace");
  }
}

TEST(MvlArray, OwningViewAndCopySemantics) {
  Counters before;
  {
    mvlarray<double> empty;
    EXPECT_EQ(empty.Length(), 0);
    EXPECT_EQ(empty.Array(), nullptr);
    EXPECT_TRUE(empty.isOwner());
  }
  EXPECT_EQ(OrvoallocCalls(), before.allocs);
  EXPECT_EQ(OrvofreeCalls(), before.frees);

  double storage[4] = {1, 2, 3, 4};
  mvlarray<double> view(storage, 4);
  EXPECT_FALSE(view.isOwner());

  mvlarray<double> copy(view);
  EXPECT_TRUE(copy.isOwner());
  copy[0] = 100;
  EXPECT_EQ(storage[0], 1);
  EXPECT_EQ(OrvomemUsed(), before.bytes + 32);

  // Equal length: writes through the view.
  view = copy;
  EXPECT_EQ(storage[0], 100);
  EXPECT_FALSE(view.isOwner());

  // Different length: the view lets go of the caller's storage and owns a new block.
  mvlarray<double> longer(6);
  for (int i = 0; i < 6; ++i) longer[i] = -i;
  view = longer;
  EXPECT_TRUE(view.isOwner());
  EXPECT_EQ(view.Length(), 6);
  EXPECT_EQ(view[5], -5);
  EXPECT_EQ(storage[1], 2);
}

TEST(MvlArray, ReallocateOfEmptyArrayCountsNullRelease) {
  Counters before;
  {
    mvlarray<int> a;
    a.Reallocate(5);
    EXPECT_EQ(OrvofreeCalls(), before.frees + 1);  // the null pointer passed on
    EXPECT_EQ(OrvomemUsed(), before.bytes + 20);
  }
  EXPECT_EQ(OrvomemUsed(), before.bytes);
  EXPECT_EQ(OrvoallocCalls() - before.allocs, 1);
  EXPECT_EQ(OrvofreeCalls() - before.frees, 2);
}

TEST(MvlArray, AddAndExtremeIndices) {
  mvlarray<double> a(4), b(4);
  const double av[] = {3, 7, 7, 1}, bv[] = {2, 0, 5, 0};
  for (int i = 0; i < 4; ++i) a[i] = av[i], b[i] = bv[i];
  EXPECT_EQ(a.MaxIndex(), 1);
  EXPECT_EQ(b.MinIndex(), 1);
  EXPECT_EQ(mvlarray<double>().MaxIndex(), 0);
  a += b;
  EXPECT_EQ(a[2], 12);
  EXPECT_EQ(a[3], 1);
}

TEST(MvlArray, MoveTakesOwnedBlockWithoutHeapTraffic) {
  mvlarray<double> a(3);
  a[2] = 9;
  double* block = a.Array();
  Counters before;
  mvlarray<double> b(std::move(a));
  EXPECT_EQ(b.Array(), block);
  EXPECT_EQ(b[2], 9);
  EXPECT_EQ(OrvoallocCalls(), before.allocs);
}
