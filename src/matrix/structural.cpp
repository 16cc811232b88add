// Structural expressions: joining matrices side by side or one above the other, and taking a
// range of columns or rows. They only move elements, so they share the block-copy helper here.
#include <algorithm>
#include <optional>

#include "common/array_helpers.hpp"
#include "orvo/matrix.hpp"

namespace Orvo {

namespace {
// Copies rows first..first+rows-1 of every column of `source` into rows offset..offset+rows-1 of
// the same column of `target`.
void copyRowBlock(const RMatrix& source, int first, int rows, RMatrix& target, int offset) {
  const int sourceHeight = source.Height();
  const int targetHeight = target.Height();
  for (int j = 0; j < source.Width(); ++j) {
    const double* from = source.Array() + static_cast<long>(j) * sourceHeight + first;
    std::copy(from, from + rows, target.Array() + static_cast<long>(j) * targetHeight + offset);
  }
}
using detail::elementCount;
}  // namespace

colJoin::colJoin(const RMatrix& A, const RMatrix& B)
    : lazyMatrix(A.Height(), A.Width() + B.Width()), A_(A), B_(B) {}

void colJoin::KickAss(RMatrix& target) const {
  target.setOK();
  if (sharesStorage(target, A_) || sharesStorage(target, B_) || B_.Height() != A_.Height()) {
    target.markFailed(-1);
    return;
  }
  // Column-major: the join is A's storage followed by B's.
  std::copy(A_.Array(), A_.Array() + elementCount(A_), target.Array());
  std::copy(B_.Array(), B_.Array() + elementCount(B_), target.Array() + elementCount(A_));
}

rowJoin::rowJoin(const RMatrix& A, const RMatrix& B)
    : lazyMatrix(A.Height() + B.Height(), A.Width()), A_(A), B_(B) {}

void rowJoin::KickAss(RMatrix& target) const {
  target.setOK();
  if (sharesStorage(target, A_) || sharesStorage(target, B_) || B_.Width() != A_.Width()) {
    target.markFailed(-1);
    return;
  }
  copyRowBlock(A_, 0, A_.Height(), target, 0);
  copyRowBlock(B_, 0, B_.Height(), target, A_.Height());
}

colRange::colRange(const RMatrix& A, int first, int last)
    : lazyMatrix(A.Height(), last - first + 1), A_(A), first_(first), last_(last) {}

void colRange::KickAss(RMatrix& target) const {
  if (sharesStorage(target, A_)) {
    target.markFailed(-1);
    return;
  }
  const long height = A_.Height();
  const double* from = A_.Array() + first_ * height;
  std::copy(from, from + (last_ - first_ + 1) * height, target.Array());
}

rowRange::rowRange(const RMatrix& A, int first, int last)
    : lazyMatrix(last - first + 1, A.Width()), A_(A), first_(first), last_(last) {}

void rowRange::KickAss(RMatrix& target) const {
  if (sharesStorage(target, A_)) {
    target.markFailed(-1);
    return;
  }
  copyRowBlock(A_, first_, last_ - first_ + 1, target, 0);
}

MSub::MSub(const RMatrix& A, const RMatrix& B) : lazyMatrix(A.Height(), A.Width()), A_(A), B_(B) {}

void MSub::KickAss(RMatrix& target) const {
  if (elementCount(B_) < elementCount(A_)) {
    target.markFailed(-1);
    return;
  }
  // Assigning A to a target that holds B would overwrite B before it is read.
  std::optional<RMatrix> copyB;
  if (sharesStorage(target, B_) && &B_ != &A_) copyB.emplace(B_);
  const RMatrix& subtrahend = copyB ? *copyB : B_;
  target = A_;
  double* t = target.Array();
  const double* b = subtrahend.Array();
  const long n = elementCount(target);
  for (long k = 0; k < n; ++k) t[k] -= b[k];
}

}  // namespace Orvo
