// RMatrix's storage operations: evaluating an expression into a matrix, assignment, resizing.
// Kept apart from the header so that every allocation is counted in one place.
#include "memory/allocation_counters.hpp"
#include "orvo/matrix.hpp"

namespace Orvo {

void lazyMatrix::KickAss(RMatrix& /*target*/) const {}

RMatrix::RMatrix(const lazyMatrix& expression)
    : Matrix<double>(expression.Height(), expression.Width()), IMatrix() {
  expression.KickAss(*this);
}

RMatrix& RMatrix::operator=(const RMatrix& other) {
  if (this == &other) return *this;
  Matrix<double>::operator=(other);
  ok_ = other.ok_;
  info_ = other.info_;
  return *this;
}

RMatrix& RMatrix::operator=(const lazyMatrix& expression) {
  if (expression.Height() != Height() || expression.Width() != Width())
    remake(expression.Height(), expression.Width());
  expression.KickAss(*this);
  return *this;
}

void RMatrix::Resize(int height, int width) {
  remake(height, width);
}

// Re-making is accounted as obtaining a fresh block of the new size, assigning it into the
// element array (which reallocates only when the element count changes) and returning the fresh
// block. Its contents are undefined, so the copy and the heap round trip are skipped; the
// counters still record the request and the release.
void RMatrix::remake(int height, int width) {
  const int count = checkedElementCount(height, width, "RMatrix");
  detail::countTransientBlock();
  if (count != elements_.Length()) elements_.Reallocate(count);
  shape_ = mSize(height, width);
}

}  // namespace Orvo
