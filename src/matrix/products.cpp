// Product expressions of dense matrices: the general multiply-and-add through the BLAS kernel,
// pairwise squared and plain Euclidean distances, and column normalisation.
#include <algorithm>
#include <optional>

#include "kernel/dense/dense_kernels.hpp"
#include "orvo/matrix.hpp"

namespace Orvo {

namespace {
// BLAS rejects a leading dimension of 0 even when the matrix is empty.
int leadingDimension(const RMatrix& m) {
  return std::max(1, m.Height());
}
}  // namespace

MatrixMultiply::MatrixMultiply(const RMatrix& A, const RMatrix& B, double alpha, double beta,
                               bool transA, bool transB)
    : lazyMatrix(transA ? A.Width() : A.Height(), transB ? B.Height() : B.Width()),
      A_(A),
      B_(B),
      alpha_(alpha),
      beta_(beta),
      transA_(transA),
      transB_(transB),
      shapeA_(A.Size()),
      shapeB_(B.Size()) {}

void MatrixMultiply::KickAss(RMatrix& target) const {
  target.setOK();
  const int m = transA_ ? A_.Width() : A_.Height();
  const int n = transB_ ? B_.Height() : B_.Width();
  const int k = transA_ ? A_.Height() : A_.Width();
  if ((transB_ ? B_.Width() : B_.Height()) != k) {
    target.markFailed(-1);
    return;
  }
  if ((&target == &A_ && A_.Size() != shapeA_) || (&target == &B_ && B_.Size() != shapeB_)) {
    target.markFailed(-1);
    return;
  }
  // The kernel must not write what it reads: shared operands are read from copies.
  const bool sharedA = sharesStorage(target, A_), sharedB = sharesStorage(target, B_);
  std::optional<RMatrix> copyA, copyB;
  if (sharedA) copyA.emplace(A_);
  if (sharedB && !(sharedA && &A_ == &B_)) copyB.emplace(B_);
  const RMatrix* a = copyA ? &*copyA : &A_;
  const RMatrix* b = copyB ? &*copyB : (sharedB && copyA ? &*copyA : &B_);
  const int lda = leadingDimension(*a), ldb = leadingDimension(*b), ldc = leadingDimension(target);
  BLAS_DGEMM(transA_ ? "T" : "N", transB_ ? "T" : "N", &m, &n, &k, &alpha_, a->Array(), &lda,
             b->Array(), &ldb, &beta_, target.Array(), &ldc);
}

Euclidean2::Euclidean2(const RMatrix& A, const RMatrix& B)
    : lazyMatrix(A.Height(), B.Height()), A_(A), B_(B) {}

void Euclidean2::KickAss(RMatrix& target) const {
  target.setOK();
  if (sharesStorage(target, A_) || sharesStorage(target, B_)) {
    target.markFailed(-1);
    return;
  }
  if (A_.Width() != B_.Width()) {
    target.setBad();
    return;
  }
  const int rowsA = A_.Height(), rowsB = B_.Height(), dims = A_.Width();
  if (rowsA == 0 || rowsB == 0) return;
  double* t = target.Array();

  // Column 0 of T first collects |a_i|^2, accumulated column by column through A so that A is
  // read contiguously; each row's sum still runs over its elements in index order.
  std::fill(t, t + rowsA, 0.0);
  for (int c = 0; c < dims; ++c) {
    const double* column = A_.Array() + static_cast<long>(c) * rowsA;
    for (int i = 0; i < rowsA; ++i) t[i] += column[i] * column[i];
  }
  // T(i, j) = |a_i|^2 + |b_j|^2, filled from the last column down so column 0 is read last.
  for (int j = rowsB - 1; j >= 0; --j) {
    double normB = 0.0;
    for (int c = 0; c < dims; ++c) {
      const double value = B_.Array()[j + static_cast<long>(c) * rowsB];
      normB += value * value;
    }
    double* column = t + static_cast<long>(j) * rowsA;
    for (int i = 0; i < rowsA; ++i) column[i] = t[i] + normB;
  }

  const double minusTwo = -2.0, one = 1.0;
  const int lda = leadingDimension(A_), ldb = leadingDimension(B_), ldc = leadingDimension(target);
  BLAS_DGEMM("n", "t", &rowsA, &rowsB, &dims, &minusTwo, A_.Array(), &lda, B_.Array(), &ldb, &one,
             t, &ldc);
}

Euclidean::Euclidean(const RMatrix& A, const RMatrix& B)
    : lazyMatrix(A.Height(), B.Height()), A_(A), B_(B) {}

void Euclidean::KickAss(RMatrix& target) const {
  target = Euclidean2(A_, B_);
  if (!target.isOK()) return;
  // Coincident rows can round to a tiny negative square; their distance is 0.
  double* t = target.Array();
  const long n = static_cast<long>(target.Height()) * target.Width();
  for (long k = 0; k < n; ++k) t[k] = std::sqrt(t[k] < 0.0 ? 0.0 : t[k]);
}

Normalize::Normalize(const RMatrix& A) : lazyMatrix(A.Height(), A.Width()), A_(A) {}

void Normalize::KickAss(RMatrix& target) const {
  const int h = Height();
  for (int c = 0; c < Width(); ++c) {
    Vector<double> column = target.Column(c);
    if (target.Array() != A_.Array()) {
      const double* from = A_.Array() + static_cast<long>(c) * A_.Height();
      std::copy(from, from + h, target.Array() + static_cast<long>(c) * h);
    }
    const double mean = column.Sum() / h;
    for (int i = 0; i < h; ++i) column[i] -= mean;
    const double sd = std::sqrt(column.SumSquares() / (h - 1));
    const double scale = 1.0 / sd;
    for (int i = 0; i < h; ++i) column[i] *= scale;
  }
}

}  // namespace Orvo
