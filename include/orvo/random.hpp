// Pseudo-random numbers: the Mersenne Twister generator MTRng, and the deferred expressions
// built on it.
//
// MTRng is a 32-bit Mersenne Twister (MT19937). Seeded with s, lRand() returns exactly the output
// sequence of the reference MT19937 initialised with s by its single-integer seeding routine, so
// results can be reproduced by any other conforming implementation. The conversions to reals,
// integers, exponential and normal variates consume a fixed, documented number of draws each,
// so that a seeded run is reproducible draw for draw.
//
// The generator is plain data (624 state words and a few scalars, about 2.5 KiB): no heap
// memory, no destructor work, copied member-wise. It is not safe for concurrent use; give each
// thread its own.
#ifndef ORVO_RANDOM_HPP
#define ORVO_RANDOM_HPP

#include <cstdint>

#include "orvo/config.hpp"
#include "orvo/matrix.hpp"

namespace Orvo {

class ORVO_API MTRng {
 public:
  static constexpr int kStateWords = 624;

  // Seeds with the low 32 bits of `seed`. If those are 0 (so also by default) the seed is the
  // current calendar time in whole seconds since 1970-01-01 UTC (low 32 bits): generators made
  // from the clock within the same second produce the same sequence.
  explicit MTRng(unsigned long seed = 0);

  // Returns to the freshly seeded state for exactly the low 32 bits of `seed` (0 included: no
  // clock substitution) and discards both cached normal variates.
  void Seed(unsigned long seed);

  // Next tempered MT19937 output, in 0 ... 2^32 - 1. One draw.
  unsigned long lRand() {
    if (position_ >= kStateWords) Twist();
    std::uint32_t y = state_[position_++];
    y ^= y >> 11;
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    y ^= y >> 18;
    return y;
  }

  // Uniform on [0, 1) with 32-bit resolution: a * 2^-32. One draw.
  double dRand() { return static_cast<double>(lRand()) * kTwoToMinus32; }

  // Uniform on [0, 1) with 53-bit resolution: ((a >> 5) * 2^26 + (b >> 6)) * 2^-53, a drawn
  // first. Two draws.
  double dRand64() {
    const unsigned long a = lRand();
    const unsigned long b = lRand();
    return Combine53(a, b);
  }

  // Uniform integer in [lo, hi], both reachable: lo + floor(u * (hi - lo + 1)) with u formed as
  // by dRand64 (two draws). The one exception is iRand(0, 0), which returns a single raw draw
  // reinterpreted as a signed 32-bit integer (any int, negative ones included; one draw).
  // Arguments are not checked: with hi < lo the same formula gives values in [lo + count, lo]
  // (count = hi - lo + 1 <= 0); the caller keeps hi - lo + 1 within the positive int range.
  int iRand(int lo, int hi);

  // Exponential variate with mean 1: -ln(a * 2^-32) for the first non-zero draw a (zero draws are
  // skipped). Result in (0, 32 ln 2], never 0 or infinite.
  double eRand();

  // Standard normal variates by the polar method, made in pairs. nRand works from 32-bit
  // uniforms (each attempt two draws: p = a * 2^-31 - 1, q = b * 2^-31 - 1, repeated until
  // 0 < p^2 + q^2 < 1); it returns the second variate of a pair and caches the first, which the
  // next nRand call returns without drawing. nRand64 does the same from 53-bit uniforms (four
  // draws per attempt) with a cache of its own: neither ever returns the other's cached value.
  double nRand();
  double nRand64();

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

}  // namespace Orvo

#endif  // ORVO_RANDOM_HPP
