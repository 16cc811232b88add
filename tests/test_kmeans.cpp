// KMeans against a straightforward re-implementation written here (start rows from a permutation
// made with the standard engine, exact squared distances, the same update and stopping rules),
// plus hand-made cases whose outcome can be worked out on paper.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "orvo/random.hpp"

using namespace Orvo;

namespace {

using Points = std::vector<std::vector<double>>;

// Row order of RandPerm(n, 0, seed) for a positive seed: rows sorted by the standard engine's
// raw draws, ties by row.
std::vector<int> StartOrder(int n, int seed) {
  std::mt19937 engine(static_cast<std::uint32_t>(seed));
  std::vector<std::pair<std::uint32_t, int>> keyed;
  for (int i = 0; i < n; ++i) keyed.emplace_back(static_cast<std::uint32_t>(engine()), i);
  std::sort(keyed.begin(), keyed.end());
  std::vector<int> order;
  for (const auto& kv : keyed) order.push_back(kv.second);
  return order;
}

RMatrix ToMatrix(const Points& points) {
  const int n = static_cast<int>(points.size()), d = static_cast<int>(points[0].size());
  RMatrix m(n, d);
  for (int p = 0; p < n; ++p)
    for (int j = 0; j < d; ++j) m(p, j) = points[p][j];
  return m;
}

bool IsWhole(const std::vector<double>& v) {
  return std::all_of(v.begin(), v.end(), [](double x) { return x == std::floor(x); });
}

struct Reference {
  Points centres;
  int iterations = 0;
  int lateEmpties = 0;                // empty clusters after the first iteration
  int reseeds = 0;                    // permutations drawn after the first
  bool stoppedOnFiniteRatio = false;  // not on a standstill, nor on the iteration limit
  // A near tie between centres that are not both whole-numbered: the library's distance formula
  // rounds differently from the one here, so the two may legitimately choose differently.
  bool ambiguous = false;
};

Reference ReferenceKMeans(const Points& x, int k, int seed) {
  const int n = static_cast<int>(x.size()), d = static_cast<int>(x[0].size());
  Reference r;
  std::vector<int> order = StartOrder(n, seed);
  for (int q = 0; q < k; ++q) r.centres.push_back(x[order[q]]);
  int next = k;
  double first = 0.0;
  auto distance = [&](int p, int q) {
    double sum = 0.0;
    for (int j = 0; j < d; ++j) sum += (x[p][j] - r.centres[q][j]) * (x[p][j] - r.centres[q][j]);
    return sum;
  };
  for (int t = 0; t < 200; ++t) {
    r.iterations = t + 1;
    Points sums(k, std::vector<double>(d, 0.0));
    std::vector<int> counts(k, 0);
    for (int p = 0; p < n; ++p) {
      int best = 0;
      double bestDistance = distance(p, 0);
      for (int q = 1; q < k; ++q) {
        const double dq = distance(p, q);
        if (std::fabs(dq - bestDistance) <= 1e-9 * (1.0 + bestDistance) &&
            !(IsWhole(r.centres[q]) && IsWhole(r.centres[best])))
          r.ambiguous = true;
        if (dq < bestDistance) {
          best = q;
          bestDistance = dq;
        }
      }
      ++counts[best];
      for (int j = 0; j < d; ++j) sums[best][j] += x[p][j];
    }
    double moved = 0.0;
    bool empty = false;
    for (int q = 0; q < k; ++q) {
      if (counts[q] > 0) {
        const double reciprocal = 1.0 / counts[q];
        double shift = 0.0;
        for (int j = 0; j < d; ++j) {
          sums[q][j] *= reciprocal;
          shift += (sums[q][j] - r.centres[q][j]) * (sums[q][j] - r.centres[q][j]);
        }
        moved += shift;
        r.centres[q] = sums[q];
      } else {
        if (next == n) {  // used up (by the start alone when k = n): a fresh permutation
          order = StartOrder(n, ++seed);
          next = 0;
          ++r.reseeds;
        }
        r.centres[q] = x[order[next++]];
        empty = true;
        if (t > 0) ++r.lateEmpties;
      }
    }
    if (t == 0) {
      first = moved;
      continue;
    }
    if (empty) continue;
    const double ratio = first / moved;
    if (ratio >= 50.0 || std::isnan(ratio)) {
      r.stoppedOnFiniteRatio = std::isfinite(ratio);
      break;
    }
  }
  return r;
}

// The first positive seed whose permutation of n rows starts with rows that `accept` takes.
template <class Accept>
int SeedWhoseStart(int n, Accept accept) {
  for (int seed = 1;; ++seed)
    if (accept(StartOrder(n, seed))) return seed;
}

}  // namespace

TEST(KMeans, AgreesWithAStraightforwardReimplementation) {
  // Even trials: small integer coordinates, so many coinciding points, hence empty clusters,
  // exhausted permutations and exact ties. Odd trials: continuous coordinates, where the run ends
  // on the movement ratio after a gradual decline.
  std::mt19937 engine(2024);
  int compared = 0, withLateEmpties = 0, withReseeds = 0, runToTheLimit = 0, gradualStops = 0;
  for (int trial = 0; trial < 400; ++trial) {
    const bool continuous = trial % 2 == 1;
    const int n = std::uniform_int_distribution<int>(2, continuous ? 120 : 30)(engine);
    const int d = std::uniform_int_distribution<int>(1, 3)(engine);
    const int spread = std::uniform_int_distribution<int>(0, 4)(engine);
    const int k = std::uniform_int_distribution<int>(1, continuous ? std::min(n, 10) : n)(engine);
    Points x(n, std::vector<double>(d));
    for (auto& row : x)
      for (auto& v : row)
        v = continuous ? std::uniform_real_distribution<double>(0.0, 1.0)(engine)
                       : std::uniform_int_distribution<int>(0, spread)(engine);
    const int seed = trial + 1;

    const Reference expected = ReferenceKMeans(x, k, seed);
    if (expected.ambiguous) continue;
    ++compared;
    withLateEmpties += expected.lateEmpties > 0;
    withReseeds += expected.reseeds > 0;
    runToTheLimit += expected.iterations == 200;
    gradualStops += expected.stoppedOnFiniteRatio;

    const RMatrix data = ToMatrix(x);
    const RMatrix centres = KMeans(data, k, seed);
    ASSERT_TRUE(centres.isOK());
    ASSERT_EQ(centres.Height(), k);
    ASSERT_EQ(centres.Width(), d);
    for (int q = 0; q < k; ++q)
      for (int j = 0; j < d; ++j)
        ASSERT_NEAR(centres(q, j), expected.centres[q][j], 1e-12)
            << "trial " << trial << " (n " << n << ", d " << d << ", k " << k << "), centre " << q;
  }
  // The trials must have exercised the rarer paths, not just easy convergence.
  EXPECT_GT(compared, 350);
  EXPECT_GT(withLateEmpties, 10);
  EXPECT_GT(withReseeds, 10);
  EXPECT_GT(runToTheLimit, 0);
  EXPECT_GT(gradualStops, 60);
}

TEST(KMeans, RecoversWellSeparatedBlobs) {
  const double truth[4][2] = {{0, 0}, {20, 0}, {0, 20}, {20, 20}};
  const int perBlob = 60, n = 4 * perBlob;
  std::mt19937 engine(7);
  std::normal_distribution<double> noise(0.0, 0.7);
  Points x;
  for (int p = 0; p < n; ++p)
    x.push_back({truth[p % 4][0] + noise(engine), truth[p % 4][1] + noise(engine)});
  // A start with one row from each blob, which batch k-means cannot fail to sort out.
  const int seed = SeedWhoseStart(n, [](const std::vector<int>& order) {
    bool hit[4] = {};
    for (int q = 0; q < 4; ++q) hit[order[q] % 4] = true;
    return hit[0] && hit[1] && hit[2] && hit[3];
  });
  const RMatrix data = ToMatrix(x);
  const RMatrix centres = KMeans(data, 4, seed);
  const std::vector<int> order = StartOrder(n, seed);
  for (int q = 0; q < 4; ++q) {
    const int blob = order[q] % 4;
    double mean[2] = {0, 0};
    for (int p = blob; p < n; p += 4)
      for (int j = 0; j < 2; ++j) mean[j] += x[p][j] / perBlob;
    for (int j = 0; j < 2; ++j) {
      EXPECT_NEAR(centres(q, j), mean[j], 1e-9);
      EXPECT_NEAR(centres(q, j), truth[blob][j], 0.3);
    }
  }
}

TEST(KMeans, EveryPointItsOwnClusterWhenKEqualsN) {
  std::mt19937 engine(11);
  std::uniform_real_distribution<double> coordinate(-5.0, 5.0);
  Points x(25, std::vector<double>(3));
  for (auto& row : x)
    for (auto& v : row) v = coordinate(engine);
  const RMatrix data = ToMatrix(x);
  const RMatrix centres = KMeans(data, 25, 909);
  const std::vector<int> order = StartOrder(25, 909);
  for (int q = 0; q < 25; ++q)
    for (int j = 0; j < 3; ++j) EXPECT_EQ(centres(q, j), x[order[q]][j]);
}

TEST(KMeans, EquidistantPointJoinsTheLowerCentre) {
  // Rows 0 and 2 start as centres; row 1 lies half-way and joins centre 0, whichever that is.
  const Points x = {{0.0}, {1.0}, {2.0}};
  const RMatrix data = ToMatrix(x);
  const int zeroFirst =
      SeedWhoseStart(3, [](const std::vector<int>& o) { return o[0] == 0 && o[1] == 2; });
  const int twoFirst =
      SeedWhoseStart(3, [](const std::vector<int>& o) { return o[0] == 2 && o[1] == 0; });
  const RMatrix a = KMeans(data, 2, zeroFirst);
  EXPECT_EQ(a(0, 0), 0.5);
  EXPECT_EQ(a(1, 0), 2.0);
  const RMatrix b = KMeans(data, 2, twoFirst);
  EXPECT_EQ(b(0, 0), 1.5);
  EXPECT_EQ(b(1, 0), 0.0);
}

TEST(KMeans, EmptyClusterTakesTheNextUnusedRow) {
  // Both start centres are copies of 0, so every point ties and joins centre 0; centre 1, left
  // empty, moves to row 2 (the only unused row), after which the clusters settle at 0 and 10.
  // Left empty, centre 1 would have stayed at 0 and centre 0 at 10/3.
  const Points x = {{0.0}, {0.0}, {10.0}};
  const RMatrix data = ToMatrix(x);
  const int seed = SeedWhoseStart(3, [](const std::vector<int>& o) { return o[2] == 2; });
  const RMatrix centres = KMeans(data, 2, seed);
  EXPECT_EQ(centres(0, 0), 0.0);
  EXPECT_EQ(centres(1, 0), 10.0);
}

TEST(KMeans, RepeatableWithAPositiveSeedAndTidy) {
  std::mt19937 engine(5);
  std::uniform_real_distribution<double> coordinate(0.0, 1.0);
  RMatrix data(500, 4);
  for (int k = 0; k < 2000; ++k) data(k) = coordinate(engine);
  const int before = OrvomemUsed();
  {
    const RMatrix first = KMeans(data, 9, 31);
    RMatrix second(9, 4);
    second = KMeans(data, 9, 31);
    for (int k = 0; k < 36; ++k) EXPECT_EQ(first(k), second(k));
  }
  EXPECT_EQ(OrvomemUsed(), before);
}

TEST(KMeans, ImpossibleClusterCountsMarkTheTargetBad) {
  const RMatrix data = ToMatrix({{1, 2}, {3, 4}, {5, 6}});
  for (int k : {0, -1, 4}) {
    RMatrix viaAssignment = KMeans(data, k, 1);
    EXPECT_FALSE(viaAssignment.isOK()) << "k " << k;
    EXPECT_EQ(viaAssignment.getInfo(), -1);
  }
  // Direct evaluation into a target with room for the impossible result: nothing is written.
  RMatrix target(4, 2);
  target = 7.0;
  KMeans(data, 4, 1).KickAss(target);
  EXPECT_FALSE(target.isOK());
  EXPECT_EQ(target.getInfo(), -1);
  for (int k = 0; k < 8; ++k) EXPECT_EQ(target(k), 7.0);

  // A target of the wrong shape is refused the same way.
  RMatrix narrow(2, 1);
  narrow = 7.0;
  KMeans(data, 2, 1).KickAss(narrow);
  EXPECT_FALSE(narrow.isOK());
  EXPECT_EQ(narrow(0), 7.0);
  EXPECT_EQ(narrow(1), 7.0);
}

TEST(KMeans, KEqualsNWithRepeatedPointsDrawsAFreshPermutation) {
  // The start takes every row, so the empty cluster that the repeated point leaves must be
  // refilled from a new permutation rather than from past the end of the first.
  const Points x = {{0.0}, {0.0}, {5.0}, {5.0}};
  const RMatrix data = ToMatrix(x);
  for (int seed = 1; seed <= 20; ++seed) {
    const Reference expected = ReferenceKMeans(x, 4, seed);
    ASSERT_GT(expected.reseeds, 0);
    const RMatrix centres = KMeans(data, 4, seed);
    ASSERT_TRUE(centres.isOK());
    for (int q = 0; q < 4; ++q) EXPECT_EQ(centres(q, 0), expected.centres[q][0]) << seed;
  }
}
