// Random numbers and k-means: a seeded generator, a permutation and three well-separated
// clusters found again.
#include <algorithm>
#include <cstdio>

#include <orvo/random.hpp>

int main() {
  using namespace Orvo;
  MTRng rng(5489);  // the reference seed: the first raw draw is 3499211612
  std::printf("first raw draw: %u\n", static_cast<unsigned>(rng.lRand()));
  Vector<int> order;
  order = RandPerm(6, 1, 7);  // a permutation of 1 ... 6
  std::printf("permutation:");
  for (int i = 0; i < order.Length(); ++i) std::printf(" %d", order[i]);
  std::printf("\n");

  RMatrix points(30, 2);
  for (int i = 0; i < 30; ++i) {
    const int cluster = i % 3;
    points(i, 0) = 10.0 * cluster + 0.1 * rng.nRand();
    points(i, 1) = -5.0 * cluster + 0.1 * rng.nRand();
  }
  RMatrix centres = KMeans(points, 3, 11);
  double xs[3] = {centres(0, 0), centres(1, 0), centres(2, 0)};
  std::sort(xs, xs + 3);
  std::printf("cluster centres (x): %.1f %.1f %.1f\n", xs[0], xs[1], xs[2]);
  return centres.isOK() ? 0 : 1;
}
