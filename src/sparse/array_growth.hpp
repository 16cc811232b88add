// Growing an mvlarray while keeping its contents.
#ifndef ORVO_SRC_SPARSE_ARRAY_GROWTH_HPP
#define ORVO_SRC_SPARSE_ARRAY_GROWTH_HPP

#include <algorithm>

#include "memory/array_access.hpp"
#include "orvo/memory.hpp"

namespace Orvo {

// Gives `array` the new length, its elements kept as far as both lengths reach; the elements
// beyond are zeroed when zeroRest is set, else left undefined. The heap resizes large blocks
// without copying them, so growing storage of which only the front was ever written costs
// nothing for the rest.
template <class T>
void resizeKeeping(mvlarray<T>& array, int length, bool zeroRest = true) {
  const int kept = std::min(array.Length(), length);
  detail::ArrayAccess<T>::resizeKeeping(array, length);
  if (zeroRest) std::fill(array.Array() + kept, array.Array() + length, T(0));
}

// Gives `array` the new length keeping only its first `front` elements; the rest is undefined.
// For storage of which only a front carries meaning: nothing behind it is copied or touched, and
// the fresh block starts on a large page and is advised for large pages, as a kernel is about to
// fill it.
template <class T>
void regrowFront(mvlarray<T>& array, int length, int front) {
  detail::ArrayAccess<T>::replaceKeepingFront(array, length, front);
}

}  // namespace Orvo

#endif
