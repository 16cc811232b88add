#include <gtest/gtest.h>
#include "orvo/matrix.hpp"
TEST(Matrix, Placeholder) {
  Orvo::RMatrix m;
  EXPECT_TRUE(m.isOK());
}
