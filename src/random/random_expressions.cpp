// Random matrices and random permutations: each evaluation seeds a generator of its own, so
// evaluations are reproducible and independent of one another.
#include <algorithm>
#include <cstdint>

#include "orvo/random.hpp"

namespace Orvo {

namespace {

// Column by column, row by row within a column, so that the matrix holds the generator's
// variates in storage order.
template <class Draw>
void FillColumnwise(RMatrix& target, int rows, int cols, int seed, Draw draw) {
  if (rows <= 0 || cols <= 0) return;
  MTRng rng(static_cast<std::uint32_t>(seed));
  const long stride = target.Height();
  double* column = target.Array();
  for (int c = 0; c < cols; ++c, column += stride)
    for (int r = 0; r < rows; ++r) column[r] = draw(rng);
}

struct KeyedValue {
  std::uint32_t key;
  std::int32_t value;
};

}  // namespace

void dRand::KickAss(RMatrix& target) const {
  if (height_ <= 0 || width_ <= 0) return;
  MTRng rng(static_cast<std::uint32_t>(seed_));
  const long stride = target.Height();
  double* column = target.Array();
  for (int c = 0; c < width_; ++c, column += stride) rng.dRandFill(column, height_);
}

void eRand::KickAss(RMatrix& target) const {
  FillColumnwise(target, height_, width_, seed_, [](MTRng& rng) { return rng.eRand(); });
}

void nRand::KickAss(RMatrix& target) const {
  FillColumnwise(target, height_, width_, seed_, [](MTRng& rng) { return rng.nRand(); });
}

void RandPerm::KickAss(Vector<int>& target) const {
  if (n_ <= 0) return;
  MTRng rng(seed_ > 0 ? static_cast<unsigned long>(seed_) : 0ul);
  mvlarray<KeyedValue> pairs(n_);
  for (int i = 0; i < n_; ++i) {
    pairs[i].key = static_cast<std::uint32_t>(rng.lRand());
    pairs[i].value = static_cast<std::int32_t>(static_cast<std::uint32_t>(first_) +
                                               static_cast<std::uint32_t>(i));
  }
  // Ties between keys are broken by value so that a seeded permutation never depends on the
  // sorting algorithm.
  std::sort(pairs.Array(), pairs.Array() + n_, [](const KeyedValue& a, const KeyedValue& b) {
    return a.key != b.key ? a.key < b.key : a.value < b.value;
  });
  for (int j = 0; j < n_; ++j) target[j] = pairs[j].value;
}

}  // namespace Orvo
