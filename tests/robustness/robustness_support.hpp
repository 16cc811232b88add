// Shared by the robustness tests: a guard that every case ends with the tracked storage it
// started with, and a few hostile values.
#ifndef ORVO_TESTS_ROBUSTNESS_SUPPORT_HPP
#define ORVO_TESTS_ROBUSTNESS_SUPPORT_HPP

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>

#include "orvo/matrix.hpp"
#include "orvo/memory.hpp"

namespace robustness {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Bytes outstanding at construction; the destructor (after every object of the case is gone)
// asserts they are back to that figure.
class StorageBalance {
 public:
  StorageBalance() : bytes_(OrvomemUsed()) {}
  ~StorageBalance() { EXPECT_EQ(OrvomemUsed(), bytes_) << "tracked storage left outstanding"; }
  StorageBalance(const StorageBalance&) = delete;
  StorageBalance& operator=(const StorageBalance&) = delete;

 private:
  std::int32_t bytes_;
};

// The exception a hostile callback throws.
struct CallbackFailure : std::runtime_error {
  CallbackFailure() : std::runtime_error("callback failure") {}
};

inline Orvo::RMatrix filledMatrix(int height, int width, double value) {
  Orvo::RMatrix m(height, width);
  m = value;
  return m;
}

inline Orvo::mvlarray<double> filledArray(int length, double value) {
  Orvo::mvlarray<double> a(length);
  for (int i = 0; i < length; ++i) a[i] = value;
  return a;
}

}  // namespace robustness

#endif
