// MTRng against the standard library's MT19937 as an independent oracle: raw draws compared
// word for word, every conversion recomputed here from the oracle's raw words, and the number of
// words each conversion consumes checked by comparing the next raw draw afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <random>
#include <utility>
#include <vector>

#include "allocation_test_support.hpp"
#include "orvo/random.hpp"

using Orvo::MTRng;

namespace {

// The oracle's raw words and the conversions written out independently of the library.
class Oracle {
 public:
  explicit Oracle(std::uint32_t seed) : engine_(seed) {}
  std::uint32_t raw() { return static_cast<std::uint32_t>(engine_()); }
  double uniform32() { return std::ldexp(static_cast<double>(raw()), -32); }
  double uniform53() {
    const std::uint64_t a = raw() >> 5;
    const std::uint64_t b = raw() >> 6;
    return std::ldexp(static_cast<double>((a << 26) | b), -53);
  }
  int integer(int lo, int hi) {
    if (lo == 0 && hi == 0) return static_cast<int>(static_cast<std::int32_t>(raw()));
    const std::int64_t count = static_cast<std::int64_t>(hi) - lo + 1;
    return static_cast<int>(
        lo + static_cast<std::int64_t>(std::floor(uniform53() * static_cast<double>(count))));
  }
  double exponential() {
    std::uint32_t a;
    do a = raw();
    while (a == 0);
    return -std::log(std::ldexp(static_cast<double>(a), -32));
  }
  // Polar method, returning the pair (second variate, first variate).
  std::pair<double, double> normalPair(bool wide) {
    for (;;) {
      const double p = wide ? 2.0 * uniform53() - 1.0 : std::ldexp(raw(), -31) - 1.0;
      const double q = wide ? 2.0 * uniform53() - 1.0 : std::ldexp(raw(), -31) - 1.0;
      const double s = p * p + q * q;
      if (s < 1.0 && s != 0.0) {
        const double f = std::sqrt(-2.0 * std::log(s) / s);
        return {q * f, p * f};
      }
    }
  }

 private:
  std::mt19937 engine_;
};

std::uint32_t Raw(MTRng& rng) {
  return static_cast<std::uint32_t>(rng.lRand());
}

// Runs body(now), now being the clock read just before; retried if the clock has moved on by the
// end, so that clock seeding is tested without racing the turn of a second.
template <class Body>
void WithSteadyClock(Body body) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    const auto before = static_cast<std::uint32_t>(std::time(nullptr));
    const bool ok = body(before);
    if (static_cast<std::uint32_t>(std::time(nullptr)) == before) {
      EXPECT_TRUE(ok);
      return;
    }
  }
  FAIL() << "the clock ticked during every attempt";
}

}  // namespace

TEST(MTRng, RawDrawsMatchTheStandardEngineAcrossManyTwists) {
  for (std::uint32_t seed : {1u, 5489u, 42u, 0x80000000u, 0xFFFFFFFFu, 0u}) {
    MTRng rng(1);
    rng.Seed(seed);  // Seed(0) really seeds with 0; the constructor would read the clock
    std::mt19937 oracle(seed);
    for (int k = 0; k < 5000; ++k) {
      const std::uint32_t expected = oracle();
      ASSERT_EQ(Raw(rng), expected) << "seed " << seed << ", draw " << k;
    }
  }
}

TEST(MTRng, TenThousandthOutputForTheDefaultSeed) {
  // Published check value of the reference generator.
  MTRng rng(5489);
  unsigned long last = 0;
  for (int k = 0; k < 10000; ++k) last = rng.lRand();
  EXPECT_EQ(last, 4123659995ul);
}

TEST(MTRng, OnlyTheLowThirtyTwoBitsOfTheSeedCount) {
  if (sizeof(unsigned long) <= 4) GTEST_SKIP() << "unsigned long holds only 32 bits here";
  const unsigned long wide = (1ul << 40) | 12345ul;
  MTRng rng(wide);
  std::mt19937 oracle(12345);
  for (int k = 0; k < 10; ++k) EXPECT_EQ(Raw(rng), oracle());
  rng.Seed(wide);
  EXPECT_EQ(Raw(rng), std::mt19937(12345)());
}

TEST(MTRng, ZeroSeedReadsTheClockInWholeSeconds) {
  WithSteadyClock([](std::uint32_t now) {
    MTRng fromDefault;
    MTRng fromZero(0);
    std::mt19937 oracle(now);
    bool same = true;
    for (int k = 0; k < 700; ++k) {
      const std::uint32_t expected = oracle();
      same = same && Raw(fromDefault) == expected && Raw(fromZero) == expected;
    }
    return same;
  });
}

TEST(MTRng, UniformConversionsAndTheirDrawCounts) {
  MTRng rng(20240607);
  Oracle oracle(20240607);
  for (int k = 0; k < 2000; ++k) {
    ASSERT_EQ(rng.dRand(), oracle.uniform32());
    ASSERT_EQ(rng.dRand64(), oracle.uniform53());
  }
  EXPECT_EQ(Raw(rng), oracle.raw());  // both consumed the same number of words

  // The block fill starts mid-block and runs across several twists.
  std::vector<double> filled(2000);
  rng.dRandFill(filled.data(), 2000);
  for (double value : filled) ASSERT_EQ(value, oracle.uniform32());
  rng.dRandFill(filled.data(), 0);
  EXPECT_EQ(Raw(rng), oracle.raw());
}

TEST(MTRng, IntegerConversions) {
  MTRng rng(777);
  Oracle oracle(777);
  const int ranges[][2] = {{1, 6}, {5, 5}, {-10, 10}, {0, 1}, {-2147483646, 0}, {0, 0}};
  for (int round = 0; round < 500; ++round)
    for (const auto& r : ranges) ASSERT_EQ(rng.iRand(r[0], r[1]), oracle.integer(r[0], r[1]));
  EXPECT_EQ(Raw(rng), oracle.raw());

  // iRand(0, 0) is a raw word reinterpreted, so it takes negative values as well; iRand(5, 5)
  // is 5 but still costs two words.
  MTRng raw(3);
  std::mt19937 words(3);
  bool sawNegative = false;
  for (int k = 0; k < 100; ++k) {
    const int value = raw.iRand(0, 0);
    EXPECT_EQ(static_cast<std::uint32_t>(value), words());
    sawNegative = sawNegative || value < 0;
  }
  EXPECT_TRUE(sawNegative);
  EXPECT_EQ(raw.iRand(5, 5), 5);
  words.discard(2);
  EXPECT_EQ(Raw(raw), words());
}

TEST(MTRng, ExponentialConversion) {
  MTRng rng(31337);
  Oracle oracle(31337);
  for (int k = 0; k < 5000; ++k) {
    const double e = rng.eRand();
    ASSERT_EQ(e, oracle.exponential());
    ASSERT_GT(e, 0.0);
    ASSERT_LE(e, 32.0 * std::log(2.0));
  }
  EXPECT_EQ(Raw(rng), oracle.raw());
}

TEST(MTRng, NormalPairsAreCachedPerConversion) {
  MTRng rng(4242);
  Oracle oracle(4242);
  // Interleave the two conversions so that each would return the other's cached value if the
  // caches were shared.
  for (int round = 0; round < 1000; ++round) {
    const auto narrow = oracle.normalPair(false);
    ASSERT_EQ(rng.nRand(), narrow.first);
    const auto wide = oracle.normalPair(true);
    ASSERT_EQ(rng.nRand64(), wide.first);
    // The even calls are served from the caches and consume no words.
    ASSERT_EQ(rng.nRand(), narrow.second);
    ASSERT_EQ(rng.nRand64(), wide.second);
  }
  EXPECT_EQ(Raw(rng), oracle.raw());
}

TEST(MTRng, CopiesContinueIdenticallyAndSeedDiscardsCaches) {
  MTRng original(55);
  for (int k = 0; k < 1000; ++k) original.lRand();
  original.nRand();
  original.nRand64();  // both caches now hold a variate
  MTRng copy(original);
  MTRng assigned(1);
  assigned = original;
  for (int k = 0; k < 3; ++k) {
    const double n = original.nRand();
    const double w = original.nRand64();
    EXPECT_EQ(copy.nRand(), n);
    EXPECT_EQ(assigned.nRand(), n);
    EXPECT_EQ(copy.nRand64(), w);
    EXPECT_EQ(assigned.nRand64(), w);
  }
  for (int k = 0; k < 700; ++k) ASSERT_EQ(copy.lRand(), original.lRand());

  MTRng fresh(8);
  original.Seed(8);  // original holds a cached variate of each kind at this point
  EXPECT_EQ(original.nRand(), fresh.nRand());
  EXPECT_EQ(original.nRand64(), fresh.nRand64());
  EXPECT_EQ(original.lRand(), fresh.lRand());
}

TEST(MTRng, MomentsOfAMillionDraws) {
  const int n = 1000000;
  struct Moments {
    double sum = 0, sumSquares = 0;
    void add(double x) {
      sum += x;
      sumSquares += x * x;
    }
    double mean(int n) const { return sum / n; }
    double variance(int n) const { return sumSquares / n - mean(n) * mean(n); }
  };
  MTRng rng(2718281);
  Moments u32, u53, ex, nor, nor64;
  double lowest = 1.0, highest = 0.0;
  for (int k = 0; k < n; ++k) {
    const double u = rng.dRand();
    lowest = std::min(lowest, u);
    highest = std::max(highest, u);
    u32.add(u);
    u53.add(rng.dRand64());
    ex.add(rng.eRand());
    nor.add(rng.nRand());
    nor64.add(rng.nRand64());
  }
  EXPECT_GE(lowest, 0.0);
  EXPECT_LT(highest, 1.0);
  // Standard errors of the means are below 1e-3 for all five; the bounds are about five of them.
  EXPECT_NEAR(u32.mean(n), 0.5, 3e-3);
  EXPECT_NEAR(u32.variance(n), 1.0 / 12.0, 3e-3);
  EXPECT_NEAR(u53.mean(n), 0.5, 3e-3);
  EXPECT_NEAR(u53.variance(n), 1.0 / 12.0, 3e-3);
  EXPECT_NEAR(ex.mean(n), 1.0, 6e-3);
  EXPECT_NEAR(ex.variance(n), 1.0, 3e-2);
  EXPECT_NEAR(nor.mean(n), 0.0, 6e-3);
  EXPECT_NEAR(nor.variance(n), 1.0, 1e-2);
  EXPECT_NEAR(nor64.mean(n), 0.0, 6e-3);
  EXPECT_NEAR(nor64.variance(n), 1.0, 1e-2);
}

// ---------------------------------------------------------------------------------------------
// Random matrices

TEST(RandomMatrix, FilledColumnByColumnFromAFreshGenerator) {
  using namespace Orvo;
  Oracle uniforms(17), exponentials(17), normals(17);
  RMatrix u = dRand(3, 2, 17);
  RMatrix e = eRand(3, 2, 17);
  RMatrix n = nRand(3, 3, 17);  // odd height: one normal pair spans two columns
  ASSERT_EQ(u.Height(), 3);
  ASSERT_EQ(u.Width(), 2);
  for (int k = 0; k < 6; ++k) {
    EXPECT_EQ(u(k), uniforms.uniform32());
    EXPECT_EQ(e(k), exponentials.exponential());
  }
  for (int k = 0; k < 9; k += 2) {
    const auto pair = normals.normalPair(false);
    EXPECT_EQ(n(k), pair.first);
    if (k + 1 < 9) {
      EXPECT_EQ(n(k + 1), pair.second);
    }
  }
  // Columns longer than a state block, in a taller target so that the stride is not the height.
  RMatrix tall(701, 3);
  dRand(700, 3, 17).KickAss(tall);
  Oracle column(17);
  for (int c = 0; c < 3; ++c)
    for (int r = 0; r < 700; ++r) ASSERT_EQ(tall(r, c), column.uniform32());
  RMatrix again = nRand(3, 3, 17);
  for (int k = 0; k < 9; ++k) EXPECT_EQ(again(k), n(k));
}

TEST(RandomMatrix, NegativeSeedsUseTheirBitPatternAndZeroTheClock) {
  using namespace Orvo;
  RMatrix m = dRand(4, 1, -1);
  Oracle oracle(0xFFFFFFFFu);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(m(k), oracle.uniform32());

  WithSteadyClock([](std::uint32_t now) {
    RMatrix first = dRand(2, 2, 0);
    RMatrix second = dRand(2, 2, 0);
    Oracle clock(now);
    bool same = true;
    for (int k = 0; k < 4; ++k) {
      const double expected = clock.uniform32();
      same = same && first(k) == expected && second(k) == expected;
    }
    return same;
  });
}

TEST(RandomMatrix, UsesTheTargetsHeightAsStrideAndLeavesItsStatus) {
  using namespace Orvo;
  RMatrix tall(5, 2);
  tall = -1.0;
  tall.markFailed(7);
  dRand(3, 2, 5).KickAss(tall);
  Oracle oracle(5);
  for (int c = 0; c < 2; ++c) {
    for (int r = 0; r < 3; ++r) EXPECT_EQ(tall(r, c), oracle.uniform32());
    for (int r = 3; r < 5; ++r) EXPECT_EQ(tall(r, c), -1.0);
  }
  EXPECT_FALSE(tall.isOK());
  EXPECT_EQ(tall.getInfo(), 7);

  const RMatrix filled(tall);
  dRand(0, 2, 6).KickAss(tall);
  nRand(3, -1, 6).KickAss(tall);
  for (int k = 0; k < 10; ++k) EXPECT_EQ(tall(k), filled(k));
}

// ---------------------------------------------------------------------------------------------
// Random permutations

namespace {
// Values first + i ordered by the i-th raw draw of the standard engine (ties by value).
std::vector<int> ExpectedPermutation(int n, int first, std::uint32_t seed) {
  std::mt19937 engine(seed);
  std::vector<std::pair<std::uint32_t, int>> keyed;
  for (int i = 0; i < n; ++i) keyed.emplace_back(static_cast<std::uint32_t>(engine()), first + i);
  std::sort(keyed.begin(), keyed.end());
  std::vector<int> values;
  for (const auto& kv : keyed) values.push_back(kv.second);
  return values;
}
}  // namespace

TEST(RandPerm, OrdersTheRangeByTheGeneratorsDraws) {
  using namespace Orvo;
  const int sizes[] = {1, 2, 7, 624, 625, 5000};
  for (int n : sizes) {
    for (int first : {0, -3, 1000}) {
      Vector<int> v;
      v = RandPerm(n, first, 12345);
      ASSERT_EQ(v.Length(), n);
      const std::vector<int> expected = ExpectedPermutation(n, first, 12345);
      for (int j = 0; j < n; ++j) ASSERT_EQ(v[j], expected[j]) << "n " << n << ", j " << j;
    }
  }
}

TEST(RandPerm, IsAlwaysAPermutation) {
  using namespace Orvo;
  for (int seed = 1; seed <= 40; ++seed) {
    const int n = 1 + seed * 37 % 300;
    const int first = seed - 20;
    Vector<int> v = RandPerm(n, first, seed);
    std::vector<bool> seen(n, false);
    for (int j = 0; j < n; ++j) {
      const int offset = v[j] - first;
      ASSERT_TRUE(offset >= 0 && offset < n && !seen[offset]) << "seed " << seed;
      seen[offset] = true;
    }
  }
}

TEST(RandPerm, WritesThroughStridedViewsAndNothingForEmptyRanges) {
  using namespace Orvo;
  int storage[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  Vector<int> everyOther(storage, 4, 2);
  RandPerm(4, 10, 77).KickAss(everyOther);
  const std::vector<int> expected = ExpectedPermutation(4, 10, 77);
  for (int j = 0; j < 4; ++j) {
    EXPECT_EQ(storage[2 * j], expected[j]);
    EXPECT_EQ(storage[2 * j + 1], 9);
  }

  RandPerm(0, 10, 77).KickAss(everyOther);
  RandPerm(-5, 10, 77).KickAss(everyOther);
  for (int j = 0; j < 4; ++j) EXPECT_EQ(storage[2 * j], expected[j]);

  Vector<int> single = RandPerm(1, 42, 3);
  ASSERT_EQ(single.Length(), 1);
  EXPECT_EQ(single[0], 42);
  Vector<int> none = RandPerm(-2, 0, 3);
  EXPECT_EQ(none.Length(), 0);
}

TEST(RandPerm, NonPositiveSeedsReadTheClock) {
  using namespace Orvo;
  WithSteadyClock([](std::uint32_t now) {
    const std::vector<int> expected = ExpectedPermutation(50, 0, now);
    Vector<int> fromZero = RandPerm(50, 0, 0);
    Vector<int> fromNegative = RandPerm(50, 0, -9);
    bool same = true;
    for (int j = 0; j < 50; ++j) same = same && fromZero[j] == expected[j];
    for (int j = 0; j < 50; ++j) same = same && fromNegative[j] == expected[j];
    return same;
  });
}

TEST(RandPerm, AssignmentKeepsAVectorOfTheSameLengthAndRemakesAnyOther) {
  using namespace Orvo;
  const std::vector<int> expected = ExpectedPermutation(8, 100, 5);

  // A strided view of the right length: the caller's buffer receives the permutation in
  // elements 0, 2, ..., 14, and only the sort's scratch array is allocated (and released).
  int buffer[16];
  std::fill(buffer, buffer + 16, -1);
  Vector<int> everyOther(buffer, 8, 2);
  Counters start;
  everyOther = RandPerm(8, 100, 5);
  EXPECT_EQ(OrvoallocCalls() - start.allocs, 1);
  EXPECT_EQ(OrvofreeCalls() - start.frees, 1);
  EXPECT_EQ(OrvomemUsed(), start.bytes);
  ASSERT_EQ(everyOther.Length(), 8);
  EXPECT_EQ(everyOther.Stride(), 2);
  for (int j = 0; j < 8; ++j) {
    EXPECT_EQ(buffer[2 * j], expected[j]) << j;
    EXPECT_EQ(buffer[2 * j + 1], -1) << j;
  }

  // An owning vector of the right length keeps its block.
  {
    Vector<int> owned(8);
    const int* block = &owned[0];
    const Counters before;
    owned = RandPerm(8, 100, 5);
    EXPECT_EQ(OrvoallocCalls() - before.allocs, 1);
    EXPECT_EQ(OrvomemUsed(), before.bytes);
    EXPECT_EQ(&owned[0], block);
    for (int j = 0; j < 8; ++j) EXPECT_EQ(owned[j], expected[j]);
  }

  // A view of another length is detached: it becomes an owning contiguous vector of the new
  // length, and the viewed buffer is not written.
  {
    int small[8];
    std::fill(small, small + 8, -1);
    Vector<int> view(small, 4, 2);
    const Counters before;
    view = RandPerm(8, 100, 5);
    EXPECT_EQ(OrvoallocCalls() - before.allocs, 2);  // the new block and the scratch array
    EXPECT_EQ(OrvofreeCalls() - before.frees, 1);    // the scratch array; the buffer is not ours
    EXPECT_EQ(OrvomemUsed() - before.bytes, 8 * static_cast<int>(sizeof(int)));
    ASSERT_EQ(view.Length(), 8);
    EXPECT_EQ(view.Stride(), 1);
    for (int j = 0; j < 8; ++j) EXPECT_EQ(view[j], expected[j]);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(small[k], -1);

    // An owning vector of another length gives its block back.
    view = RandPerm(1000, 0, 1);
    EXPECT_EQ(OrvomemUsed() - before.bytes, 1000 * static_cast<int>(sizeof(int)));
    EXPECT_EQ(view.Length(), 1000);
  }
  EXPECT_EQ(OrvomemUsed(), start.bytes);
  EXPECT_EQ(OrvoallocCalls() - start.allocs, OrvofreeCalls() - start.frees);
}
