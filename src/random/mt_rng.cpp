// MT19937 seeding, twist and the conversions that need more than one expression.
#include <cmath>
#include <ctime>

#include "orvo/random.hpp"

namespace Orvo {

namespace {
constexpr std::uint32_t kSeedMultiplier = 1812433253u;
constexpr std::uint32_t kTwistMatrix = 0x9908B0DFu;
constexpr std::uint32_t kUpperMask = 0x80000000u;
constexpr std::uint32_t kLowerMask = 0x7FFFFFFFu;
constexpr int kMiddleDistance = 397;

std::uint32_t ClockSeed() {
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(std::time(nullptr)));
}
}  // namespace

MTRng::MTRng(unsigned long seed) {
  // Only the low 32 bits are the seed, also where unsigned long is wider.
  const auto seed32 = static_cast<std::uint32_t>(seed);
  Seed(seed32 == 0 ? ClockSeed() : seed32);
}

void MTRng::Seed(unsigned long seed) {
  state_[0] = static_cast<std::uint32_t>(seed);
  for (int i = 1; i < kStateWords; ++i) {
    const std::uint32_t previous = state_[i - 1];
    state_[i] = kSeedMultiplier * (previous ^ (previous >> 30)) + static_cast<std::uint32_t>(i);
  }
  position_ = kStateWords;
  twistTable_[0] = 0;
  twistTable_[1] = kTwistMatrix;
  normalCache_ = 0.0;
  normalCacheValid_ = false;
  wideNormalCache_ = 0.0;
  wideNormalCacheValid_ = false;
}

void MTRng::Twist() {
  // Three loops instead of one with a modulo, so that each runs over a fixed distance and the
  // compiler can vectorise it.
  constexpr int kFirstSpan = kStateWords - kMiddleDistance;
  const std::uint32_t table0 = twistTable_[0];
  const std::uint32_t table1 = twistTable_[1];
  const auto mix = [&](std::uint32_t upper, std::uint32_t lower, std::uint32_t far) {
    const std::uint32_t y = (upper & kUpperMask) | (lower & kLowerMask);
    return far ^ (y >> 1) ^ ((y & 1u) ? table1 : table0);
  };
  for (int k = 0; k < kFirstSpan; ++k)
    state_[k] = mix(state_[k], state_[k + 1], state_[k + kMiddleDistance]);
  for (int k = kFirstSpan; k < kStateWords - 1; ++k)
    state_[k] = mix(state_[k], state_[k + 1], state_[k - kFirstSpan]);
  state_[kStateWords - 1] = mix(state_[kStateWords - 1], state_[0], state_[kMiddleDistance - 1]);
  position_ = 0;
}

void MTRng::dRandFill(double* out, long count) {
  while (count > 0) {
    if (position_ >= kStateWords) Twist();
    const int available = kStateWords - position_;
    const int block = count < available ? static_cast<int>(count) : available;
    const std::uint32_t* words = state_ + position_;
    // The same tempering as lRand, in a loop over plain locals that the compiler vectorises.
    // The conversion goes through a signed 32-bit value, which packed instructions convert
    // directly; adding 2^31 back is exact.
    for (int i = 0; i < block; ++i) {
      std::uint32_t y = words[i];
      y ^= y >> 11;
      y ^= (y << 7) & 0x9D2C5680u;
      y ^= (y << 15) & 0xEFC60000u;
      y ^= y >> 18;
      const double value =
          static_cast<double>(static_cast<std::int32_t>(y ^ 0x80000000u)) + 2147483648.0;
      out[i] = value * kTwoToMinus32;
    }
    position_ += block;
    out += block;
    count -= block;
  }
}

int MTRng::iRand(int lo, int hi) {
  if (lo == 0 && hi == 0) return static_cast<std::int32_t>(static_cast<std::uint32_t>(lRand()));
  // Wrapping 32-bit arithmetic throughout, so that no argument pair is undefined behaviour.
  const auto count = static_cast<std::int32_t>(static_cast<std::uint32_t>(hi) -
                                               static_cast<std::uint32_t>(lo) + 1u);
  const double u = dRand64();
  const double offset = std::floor(u * static_cast<double>(count));
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(lo) +
                                   static_cast<std::uint32_t>(static_cast<std::int64_t>(offset)));
}

double MTRng::eRand() {
  unsigned long a = lRand();
  while (a == 0) a = lRand();
  return -std::log(static_cast<double>(a) * kTwoToMinus32);
}

double MTRng::nRand() {
  if (normalCacheValid_) {
    normalCacheValid_ = false;
    return normalCache_;
  }
  double p, q, s;
  do {
    p = static_cast<double>(lRand()) * kTwoToMinus31 - 1.0;
    q = static_cast<double>(lRand()) * kTwoToMinus31 - 1.0;
    s = p * p + q * q;
  } while (s >= 1.0 || s == 0.0);
  const double f = std::sqrt((std::log(s) * -2.0) / s);
  normalCache_ = p * f;
  normalCacheValid_ = true;
  return q * f;
}

double MTRng::nRand64() {
  if (wideNormalCacheValid_) {
    wideNormalCacheValid_ = false;
    return wideNormalCache_;
  }
  double p, q, s;
  do {
    p = dRand64() * 2.0 - 1.0;
    q = dRand64() * 2.0 - 1.0;
    s = p * p + q * q;
  } while (s >= 1.0 || s == 0.0);
  const double f = std::sqrt((std::log(s) * -2.0) / s);
  wideNormalCache_ = p * f;
  wideNormalCacheValid_ = true;
  return q * f;
}

}  // namespace Orvo
