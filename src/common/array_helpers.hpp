// Small helpers that several parts of the library need and none owns: filling a whole array,
// counting the elements of a matrix without overflowing int, the plain dot product and machine
// epsilon. Templates over the container, so that this header depends on nothing in the library
// and the kernels can use it as freely as the classes built on them. Internal: nothing here is
// exported.
#ifndef ORVO_SRC_COMMON_ARRAY_HELPERS_HPP
#define ORVO_SRC_COMMON_ARRAY_HELPERS_HPP

#include <algorithm>
#include <limits>

namespace Orvo::detail {

inline constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

// Every element of an array that offers Array() and Length() (mvlarray) set to value.
template <class Array, class T>
void fill(Array& a, T value) {
  std::fill(a.Array(), a.Array() + a.Length(), value);
}

// Height x width of a matrix in 64 bits.
template <class Matrix>
long elementCount(const Matrix& m) {
  return static_cast<long>(m.Height()) * m.Width();
}

// sum_i a[i] b[i] over i < n, accumulated in index order (callers rely on that order for
// reproducible results).
inline double dot(int n, const double* a, const double* b) {
  double sum = 0.0;
  for (int i = 0; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

}  // namespace Orvo::detail

#endif
