// Growing an mvlarray while keeping its contents, with a single copy of the elements.
#ifndef ORVO_SRC_SPARSE_ARRAY_GROWTH_HPP
#define ORVO_SRC_SPARSE_ARRAY_GROWTH_HPP

#include <algorithm>
#include <new>
#include <utility>

#include "orvo/memory.hpp"

namespace Orvo {

// Replaces `target` by `source` without copying the elements a second time (mvlarray has no
// move assignment): the old block is released exactly once and the new one adopted.
template <class T>
void adopt(mvlarray<T>& target, mvlarray<T>&& source) {
  target.~mvlarray<T>();
  new (&target) mvlarray<T>(std::move(source));
}

// Gives `array` the new length, its elements kept as far as both lengths reach; the elements
// beyond are zeroed when zeroRest is set, else left undefined.
template <class T>
void resizeKeeping(mvlarray<T>& array, int length, bool zeroRest = true) {
  mvlarray<T> grown(length);
  const int kept = std::min(array.Length(), length);
  std::copy(array.Array(), array.Array() + kept, grown.Array());
  if (zeroRest) std::fill(grown.Array() + kept, grown.Array() + length, T(0));
  adopt(array, std::move(grown));
}

}  // namespace Orvo

#endif
