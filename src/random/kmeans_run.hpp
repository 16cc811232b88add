// Internal: the k-means iteration split into start and step, so that the driver and the
// benchmarks can run it one iteration at a time.
#ifndef ORVO_SRC_RANDOM_KMEANS_RUN_HPP
#define ORVO_SRC_RANDOM_KMEANS_RUN_HPP

#include <cmath>
#include <cstdint>

#include "orvo/random.hpp"

namespace Orvo {
namespace detail {

inline constexpr int kMaxIterations = 200;
// The run ends once the centres move (in total squared distance) no more than the first
// iteration's movement divided by this.
inline constexpr double kMovementReduction = 50.0;
// Points whose distances to all centres are formed at a time: the distance block stays in cache
// and the scratch storage does not grow with the number of points.
inline constexpr int kBlockPoints = 2048;

class KMeansRun {
 public:
  // Places the k start centres in `centres` (already k x d).
  KMeansRun(const RMatrix& data, RMatrix& centres, int seed)
      : data_(data),
        centres_(centres),
        points_(data.Height()),
        dimension_(data.Width()),
        clusters_(centres.Height()),
        seed_(seed),
        counts_(clusters_),
        nearest_(points_),
        blockSize_(points_ < kBlockPoints ? points_ : kBlockPoints),
        nearestDistance_(blockSize_),
        blockPoints_(blockSize_ * dimension_),
        blockDistances_(blockSize_ * clusters_),
        sums_(clusters_, dimension_) {
    permutation_ = RandPerm(points_, 0, seed_);
    for (int q = 0; q < clusters_; ++q) CopyPointToCentre(permutation_[q], q);
    next_ = clusters_;
  }

  // One assignment and update pass; true once the clustering has ended.
  bool Step(int iteration) {
    AssignPoints();
    bool replacedEmpty = false;
    const double moved = MoveCentres(replacedEmpty);
    if (iteration == 0) {
      firstMovement_ = moved;
      return false;
    }
    if (replacedEmpty) return false;
    const double reduction = firstMovement_ / moved;
    return reduction >= kMovementReduction || std::isnan(reduction);
  }

 private:
  void CopyPointToCentre(int point, int centre) {
    for (int j = 0; j < dimension_; ++j) centres_(centre, j) = data_(point, j);
  }

  // Nearest centre of every point against the current centres (the first of equally near
  // centres wins), cluster sizes, and the sums of each cluster's points. The squared distances
  // come from Euclidean2, a block of points at a time.
  void AssignPoints() {
    for (int first = 0; first < points_; first += blockSize_) {
      const int count = points_ - first < blockSize_ ? points_ - first : blockSize_;
      RMatrix block(count, dimension_, blockPoints_.Array());
      for (int j = 0; j < dimension_; ++j)
        for (int r = 0; r < count; ++r) block(r, j) = data_(first + r, j);
      RMatrix distances(count, clusters_, blockDistances_.Array());
      distances = Euclidean2(block, centres_);
      NearestInBlock(distances, first);
    }
    for (int q = 0; q < clusters_; ++q) counts_[q] = 0;
    for (int p = 0; p < points_; ++p) ++counts_[nearest_[p]];
    sums_ = Vals<0>(clusters_, dimension_);
    for (int j = 0; j < dimension_; ++j) {
      const double* x = data_.Array() + static_cast<long>(j) * points_;
      double* sum = sums_.Array() + static_cast<long>(j) * clusters_;
      for (int p = 0; p < points_; ++p) sum[nearest_[p]] += x[p];
    }
  }

  // Column by column through the block's distances, so that they are read contiguously; a later
  // centre replaces the nearest so far only when strictly nearer.
  void NearestInBlock(const RMatrix& distances, int first) {
    const int count = distances.Height();
    const double* column = distances.Array();
    for (int r = 0; r < count; ++r) {
      nearest_[first + r] = 0;
      nearestDistance_[r] = column[r];
    }
    for (int q = 1; q < clusters_; ++q) {
      column += count;
      for (int r = 0; r < count; ++r) {
        if (column[r] < nearestDistance_[r]) {
          nearestDistance_[r] = column[r];
          nearest_[first + r] = q;
        }
      }
    }
  }

  // Moves every centre to its cluster's mean, or an empty cluster's centre to the next unused
  // point; returns the total squared movement of the centres that had points.
  double MoveCentres(bool& replacedEmpty) {
    double moved = 0.0;
    for (int q = 0; q < clusters_; ++q) {
      if (counts_[q] > 0) {
        const double reciprocal = 1.0 / counts_[q];
        double distance = 0.0;
        for (int j = 0; j < dimension_; ++j) {
          const double mean = sums_(q, j) * reciprocal;
          const double step = mean - centres_(q, j);
          distance += step * step;
          centres_(q, j) = mean;
        }
        moved += distance;
      } else {
        // A used-up permutation is replaced before taking from it, not after: with k = n the
        // start alone uses it up.
        if (next_ == points_) {
          seed_ = static_cast<int>(static_cast<std::uint32_t>(seed_) + 1u);
          permutation_ = RandPerm(points_, 0, seed_);
          next_ = 0;
        }
        CopyPointToCentre(permutation_[next_++], q);
        replacedEmpty = true;
      }
    }
    return moved;
  }

  const RMatrix& data_;
  RMatrix& centres_;
  const int points_;
  const int dimension_;
  const int clusters_;
  int seed_;  // of the permutation in use
  Vector<int> permutation_;
  int next_ = 0;  // first position of the permutation not yet taken
  mvlarray<int> counts_;
  mvlarray<int> nearest_;  // of every point
  const int blockSize_;
  mvlarray<double> nearestDistance_;  // of the points of one block
  mvlarray<double> blockPoints_;
  mvlarray<double> blockDistances_;
  RMatrix sums_;
  double firstMovement_ = 0.0;
};

}  // namespace detail

}  // namespace Orvo

#endif  // ORVO_SRC_RANDOM_KMEANS_RUN_HPP
