// Batch k-means: random start rows, full distance matrix per iteration, empty clusters refilled
// from unused rows of the start permutation.
#include "random/kmeans_run.hpp"

namespace Orvo {

void KMeans::KickAss(RMatrix& target) const {
  const int clusters = height_;
  if (clusters < 1 || clusters > data_.Height() || target.Height() != clusters ||
      target.Width() != data_.Width()) {
    target.markFailed(-1);
    return;
  }
  detail::KMeansRun run(data_, target, seed_);
  for (int iteration = 0; iteration < detail::kMaxIterations; ++iteration)
    if (run.Step(iteration)) break;
}

}  // namespace Orvo
