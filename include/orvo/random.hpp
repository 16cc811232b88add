/// @file
/// Pseudo-random numbers and clustering: the Mersenne Twister generator MTRng, random matrices
/// (dRand, eRand, nRand), random permutations (RandPerm) and k-means clustering (KMeans).
///
/// MTRng is a 32-bit Mersenne Twister (MT19937). Seeded with s, lRand() returns exactly the output
/// sequence of the reference MT19937 initialised with s by its single-integer seeding routine, so
/// results can be reproduced by any other conforming implementation. The conversions to reals,
/// integers, exponential and normal variates consume a fixed, documented number of draws each,
/// so that a seeded run is reproducible draw for draw.
///
/// The generator is plain data (624 state words and a few scalars, about 2.5 KiB): no heap
/// memory, no destructor work, copied member-wise. It is not safe for concurrent use; give each
/// thread its own.
#ifndef ORVO_RANDOM_HPP
#define ORVO_RANDOM_HPP

#include <algorithm>
#include <cstdint>

#include "orvo/config.hpp"
#include "orvo/matrix.hpp"

namespace Orvo {

/// 32-bit Mersenne Twister (above): plain data, copied member-wise, not for concurrent use.
class ORVO_API MTRng {
 public:
  /// Number of 32-bit words of generator state.
  static constexpr int kStateWords = 624;

  /// Seeds with the low 32 bits of `seed`. If those are 0 (so also by default) the seed is the
  /// current calendar time in whole seconds since 1970-01-01 UTC (low 32 bits): generators made
  /// from the clock within the same second produce the same sequence.
  explicit MTRng(unsigned long seed = 0);

  /// Returns to the freshly seeded state for exactly the low 32 bits of `seed` (0 included: no
  /// clock substitution) and discards both cached normal variates.
  void Seed(unsigned long seed);

  /// Next tempered MT19937 output, in 0 ... 2^32 - 1. One draw.
  unsigned long lRand() {
    if (position_ >= kStateWords) Twist();
    std::uint32_t y = state_[position_++];
    y ^= y >> 11;
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    y ^= y >> 18;
    return y;
  }

  /// Uniform on [0, 1) with 32-bit resolution: a * 2^-32. One draw.
  double dRand() { return static_cast<double>(lRand()) * kTwoToMinus32; }

  /// Writes count successive dRand() values to out[0 ... count-1], the same values and draws as
  /// count dRand() calls, a state block at a time (the form the random-matrix fill uses).
  void dRandFill(double* out, long count);

  /// Uniform on [0, 1) with 53-bit resolution: ((a >> 5) * 2^26 + (b >> 6)) * 2^-53, a drawn
  /// first. Two draws.
  double dRand64() {
    const unsigned long a = lRand();
    const unsigned long b = lRand();
    return Combine53(a, b);
  }

  /// Uniform integer in [lo, hi], both reachable: lo + floor(u * (hi - lo + 1)) with u formed as
  /// by dRand64 (two draws). The one exception is iRand(0, 0), which returns a single raw draw
  /// reinterpreted as a signed 32-bit integer (any int, negative ones included; one draw).
  /// Arguments are not checked: with hi < lo the same formula gives values in [lo + count, lo]
  /// (count = hi - lo + 1 <= 0); the caller keeps hi - lo + 1 within the positive int range.
  int iRand(int lo, int hi);

  /// Exponential variate with mean 1: -ln(a * 2^-32) for the first non-zero draw a (zero draws are
  /// skipped). Result in (0, 32 ln 2], never 0 or infinite.
  double eRand();

  /// @{
  /// Standard normal variates by the polar method, made in pairs. nRand works from 32-bit
  /// uniforms (each attempt two draws: p = a * 2^-31 - 1, q = b * 2^-31 - 1, repeated until
  /// 0 < p^2 + q^2 < 1); it returns the second variate of a pair and caches the first, which the
  /// next nRand call returns without drawing. nRand64 does the same from 53-bit uniforms (four
  /// draws per attempt) with a cache of its own: neither ever returns the other's cached value.
  double nRand();
  double nRand64();
  /// @}

 private:
  static constexpr double kTwoToMinus32 = 1.0 / 4294967296.0;
  static constexpr double kTwoToMinus31 = 1.0 / 2147483648.0;
  static constexpr double kTwoToMinus53 = 1.0 / 9007199254740992.0;
  static constexpr double kTwoTo26 = 67108864.0;

  static double Combine53(unsigned long a, unsigned long b) {
    return (static_cast<double>(a >> 5) * kTwoTo26 + static_cast<double>(b >> 6)) * kTwoToMinus53;
  }
  // Regenerates all state words and rewinds the position to 0.
  void Twist();

  std::uint32_t state_[kStateWords];
  std::uint32_t twistTable_[2];  // 0 and the twist matrix, indexed by the low bit of a word
  std::int32_t position_;        // next word to temper; kStateWords means twist first
  double normalCache_;
  bool normalCacheValid_;
  double wideNormalCache_;
  bool wideNormalCacheValid_;
};

// ---------------------------------------------------------------------------------------------
// Random matrices. Each evaluation builds its own generator from the expression's seed (taken as
// its unsigned 32-bit pattern; 0 means the clock, as for MTRng) and fills the target column by
// column, row by row within a column, with one variate per element; so a normal pair lands in
// two vertically adjacent elements. A non-zero seed therefore gives the same matrix at every
// evaluation, and a 3 x 2 matrix holds the first six variates of MTRng(seed) in column-major
// order. Assigning one to an RMatrix gives the matrix rows x cols (a negative count taken as 0).
// KickAss writes rows x cols elements using the target's own height as column stride and does not
// check the target's shape; it never changes the target's status. rows <= 0 or cols <= 0 write
// nothing. Distinct targets may be filled concurrently.

/// Uniform on [0, 1), 32-bit resolution (MTRng::dRand).
class ORVO_API dRand : public lazyMatrix {
 public:
  dRand(int rows, int cols, int seed)
      : lazyMatrix(std::max(rows, 0), std::max(cols, 0)), seed_(seed) {}
  dRand(const dRand&) = default;
  void KickAss(RMatrix& target) const override;

 private:
  int seed_;
};

/// Exponential with mean 1 (MTRng::eRand).
class ORVO_API eRand : public lazyMatrix {
 public:
  eRand(int rows, int cols, int seed)
      : lazyMatrix(std::max(rows, 0), std::max(cols, 0)), seed_(seed) {}
  eRand(const eRand&) = default;
  void KickAss(RMatrix& target) const override;

 private:
  int seed_;
};

/// Standard normal from 32-bit uniforms (MTRng::nRand).
class ORVO_API nRand : public lazyMatrix {
 public:
  nRand(int rows, int cols, int seed)
      : lazyMatrix(std::max(rows, 0), std::max(cols, 0)), seed_(seed) {}
  nRand(const nRand&) = default;
  void KickAss(RMatrix& target) const override;

 private:
  int seed_;
};

// ---------------------------------------------------------------------------------------------
/// A random permutation of first, first + 1, ..., first + n - 1, as a deferred integer vector:
///     Vector<int> order;  order = RandPerm(n, 0, seed);
/// Assigning it to a Vector<int> of length n (a view included) writes the permutation through the
/// vector's stride into its storage; a vector of any other length is first re-made as an owning
/// contiguous vector of n elements from the tracked allocator. Each evaluation builds MTRng(seed)
/// for a positive seed, from the clock for any seed <= 0, gives value first + i the i-th draw as
/// its key and orders the values by key; equal keys (rare) are ordered by value, so a positive seed
/// always yields the same permutation. KickAss writes n elements through the target's stride (the
/// target must hold n); scratch storage of 8n bytes comes from the tracked allocator, and its
/// failure (mvlException) propagates. n <= 0 writes nothing.
class ORVO_API RandPerm : public lazy<Vector<int>, int> {
 public:
  RandPerm(int n, int first, int seed)
      : lazy<Vector<int>, int>(n > 0 ? n : 0), n_(n), first_(first), seed_(seed) {}
  RandPerm(const RandPerm&) = default;
  void KickAss(Vector<int>& target) const override;

 private:
  int n_;
  int first_;
  int seed_;
};

// ---------------------------------------------------------------------------------------------
/// Batch k-means of the rows of `data` (n points of dimension d); the result is the k x d matrix
/// whose rows are the cluster centres:
///     RMatrix centres = KMeans(points, k, seed);
/// Start: the rows at the first k positions of RandPerm(n, 0, seed). Each iteration assigns every
/// point to its nearest centre (squared Euclidean distance; on a tie the lower centre index wins),
/// then moves every centre to the mean of its points. A centre left without points is moved to
/// the data row at the next unused position of the permutation (when the permutation runs out, a
/// new one is drawn with the seed increased by one), and such an iteration never ends the run.
/// Otherwise the run ends once the centres' total squared movement has fallen to 1/50 of that of
/// the first iteration or below (also when both are 0), or after 200 iterations.
/// `data` is only read, is referenced (not copied) and must outlive the expression; its width is
/// read at construction for the result shape. A seed <= 0 seeds the first permutation from the
/// clock. With a positive seed repeated evaluations give the same centres.
/// The result shape is k x d (0 x d for a negative k).
/// Status: if k < 1 or k > n, or the target is not k x d at evaluation (for instance because
/// data changed width since construction), the target's OK flag is cleared, its info set to -1
/// and its elements are left unchanged. Otherwise the status is left as it was.
/// Scratch storage (about n (k + 3) + k (d + 1) numbers) comes from the tracked allocator.
class ORVO_API KMeans : public lazyMatrix {
 public:
  KMeans(const RMatrix& data, int k, int seed)
      : lazyMatrix(std::max(k, 0), data.Width()), data_(data), seed_(seed) {}
  KMeans(const RMatrix&&, int, int) = delete;
  KMeans(const KMeans&) = default;
  void KickAss(RMatrix& target) const override;

 private:
  const RMatrix& data_;
  int seed_;
};

}  // namespace Orvo

#endif  // ORVO_RANDOM_HPP
