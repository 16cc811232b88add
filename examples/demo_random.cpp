// Random numbers and clustering: reproducible draws, a random matrix, a shuffled order, and
// k-means grouping a pump's sensor readings into operating regimes.
#include <cstdio>

#include "demo_section.hpp"
#include "orvo/matrix.hpp"
#include "orvo/random.hpp"

using namespace Orvo;

namespace {

// Readings of a pump: flow (m3/h), motor current (A), bearing vibration (mm/s).
const double kReadings[][3] = {
    {0.4, 1.1, 0.3},   {0.2, 1.0, 0.2},   {0.5, 1.2, 0.3},   {0.3, 1.1, 0.4},   {0.1, 0.9, 0.2},
    {41.8, 12.3, 1.9}, {39.5, 11.8, 2.1}, {43.2, 12.6, 1.8}, {40.7, 12.0, 2.2}, {42.4, 12.4, 2.0},
    {38.9, 11.6, 2.3}, {41.1, 12.1, 1.9}, {55.6, 17.9, 6.8}, {57.2, 18.4, 7.4}, {54.1, 17.5, 6.5},
    {56.8, 18.1, 7.9}, {53.9, 17.2, 6.9}, {40.2, 11.9, 2.0}, {0.3, 1.0, 0.3},   {56.0, 18.0, 7.1},
};
constexpr int kCount = sizeof(kReadings) / sizeof(kReadings[0]);

void run() {
  MTRng rng(2024);
  const unsigned long raw = rng.lRand();
  const double uniform = rng.dRand();
  const int die = rng.iRand(1, 6);
  const double exponential = rng.eRand();
  const double normal = rng.nRand();
  std::printf("MTRng(2024): lRand %lu, dRand %.6f, iRand(1, 6) %d, eRand %.4f, nRand %.4f\n", raw,
              uniform, die, exponential, normal);

  RMatrix noise = nRand(2, 4, 7);
  std::printf("nRand(2, 4, 7), the same at every evaluation:\n");
  for (int i = 0; i < 2; ++i) {
    for (int j = 0; j < 4; ++j) std::printf("%9.4f", noise(i, j));
    std::printf("\n");
  }

  Vector<int> order;
  order = RandPerm(8, 1, 99);
  std::printf("inspection order of 8 pumps, RandPerm(8, 1, 99):");
  for (int j = 0; j < order.Length(); ++j) std::printf(" %d", order[j]);
  std::printf("\n");

  // Regimes are found on standardised readings so that no unit dominates the distances.
  RMatrix readings(kCount, 3);
  for (int p = 0; p < kCount; ++p)
    for (int j = 0; j < 3; ++j) readings(p, j) = kReadings[p][j];
  RMatrix standardised = Normalize(readings);
  // k-means finds a local optimum that depends on its start: keep the best of a few seeds, by
  // the sum of squared distances of the readings to their nearest centre.
  RMatrix centres(3, 3), distances(kCount, 3);
  double bestSpread = -1.0;
  int bestSeed = 0;
  for (int seed = 1; seed <= 5; ++seed) {
    RMatrix candidate = KMeans(standardised, 3, seed);
    RMatrix d2 = Euclidean2(standardised, candidate);
    double spread = 0.0;
    for (int p = 0; p < kCount; ++p) spread += d2(p, d2.Row(p).MinIndex());
    std::printf("seed %d: within-cluster sum of squares %.3f\n", seed, spread);
    if (bestSpread < 0.0 || spread < bestSpread) {
      bestSpread = spread;
      bestSeed = seed;
      centres = candidate;
      distances = d2;
    }
  }
  std::printf("operating regimes of %d readings (k-means, k = 3, seed %d):\n", kCount, bestSeed);
  std::printf("  regime  readings   flow m3/h   current A   vibration mm/s\n");
  for (int q = 0; q < 3; ++q) {
    double mean[3] = {0, 0, 0};
    int members = 0;
    for (int p = 0; p < kCount; ++p) {
      if (distances.Row(p).MinIndex() != q) continue;
      ++members;
      for (int j = 0; j < 3; ++j) mean[j] += readings(p, j);
    }
    for (int j = 0; j < 3; ++j) mean[j] /= members > 0 ? members : 1;
    std::printf("  %6d  %8d  %10.1f  %10.1f  %15.1f\n", q, members, mean[0], mean[1], mean[2]);
  }

  RMatrix tooMany = KMeans(standardised, kCount + 1, 5);
  std::printf("k = %d clusters for %d readings: isOK() = %s, getInfo() = %d\n", kCount + 1, kCount,
              tooMany.isOK() ? "true" : "false", tooMany.getInfo());
}

const DemoSection section("30-random", "Random numbers and k-means clustering", &run);
}  // namespace
