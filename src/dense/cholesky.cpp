// Cholesky expressions: the ridge-shifted factorisation, solves with a kept factor and the
// one-shot symmetric positive definite solve, all through the LAPACK wrappers.
#include <algorithm>
#include <cassert>

#include <limits>

#include "dense/condition.hpp"
#include "kernel/dense/dense_kernels.hpp"
#include "orvo/dense_solvers.hpp"

namespace Orvo {

namespace {
void addToDiagonal(RMatrix& M, double lambda) {
  const int n = std::min(M.Height(), M.Width());
  for (int i = 0; i < n; ++i) M(i, i) += lambda;
}
}  // namespace

CholDecomp::CholDecomp(const RMatrix& A, double lambda)
    : lazyMatrix(A.Height(), A.Width()), A_(A), lambda_(lambda) {}

void CholDecomp::KickAss(RMatrix& target) const {
  target = A_;
  if (target.Height() != target.Width()) {
    target.markFailed(-1);
    return;
  }
  addToDiagonal(target, lambda_);
  const int info = CLapack_DPOTRF("U", target.Height(), target.Array(), target.Height());
  if (info != 0) target.markFailed(info);
}

CholSolve::CholSolve(const RMatrix& F, const RMatrix& B)
    : lazyMatrix(B.Height(), B.Width()), F_(F), B_(B) {}

void CholSolve::KickAss(RMatrix& target) const {
  // Copying B into a target that holds the factor would overwrite the factor before the solve.
  if (sharesStorage(target, F_)) {
    target.markFailed(-1);
    return;
  }
  target = B_;
  const int n = target.Height();
  if (F_.Height() != n || F_.Width() != n) {
    target.markFailed(-1);
    return;
  }
  const int info = CLapack_DPOTRS("U", n, target.Width(), F_.Array(), n, target.Array(), n);
  if (info != 0) target.markFailed(info);
}

SPDSolve::SPDSolve(const RMatrix& A, const RMatrix& B, double lambda)
    : lazyMatrix(B.Height(), B.Width()), A_(A), B_(B), lambda_(lambda) {}

SPDSolve::SPDSolve(const RMatrix& A, const RMatrix& B, double lambda, double& rcond)
    : SPDSolve(A, B, lambda) {
  rcond_ = &rcond;
}

void SPDSolve::KickAss(RMatrix& target) const {
  const int n = A_.Width();
  if (rcond_ != nullptr) *rcond_ = std::numeric_limits<double>::quiet_NaN();
  if (A_.Height() != n || B_.Height() != n) {
    target.markFailed(-1);
    return;
  }
  // The factorisation and the solve read and write only the upper triangle, so only that half
  // of A is copied; the strictly lower part of the private copy is never looked at.
  RMatrix factor(n, n);
  for (int j = 0; j < n; ++j) {
    const double* from = A_.Array() + static_cast<long>(j) * n;
    std::copy(from, from + j + 1, factor.Array() + static_cast<long>(j) * n);
  }
  addToDiagonal(factor, lambda_);
  int info = CLapack_DPOTRF("U", n, factor.Array(), n);
  if (info != 0) {
    if (rcond_ != nullptr && info > 0) *rcond_ = 0.0;
    target.markFailed(info);
    return;
  }
  if (rcond_ != nullptr)
    *rcond_ =
        detail::choleskyRCond(n, factor.Array(), detail::symmetricOneNorm(n, A_.Array(), lambda_));
  target = B_;
  info = CLapack_DPOTRS("U", n, target.Width(), factor.Array(), n, target.Array(), n);
  if (info != 0) target.markFailed(info);
}

LsqSolve::LsqSolve(const RMatrix& A, const RMatrix& B, double lambda)
    : lazyMatrix(A.Width(), B.Width()), A_(A), B_(B), lambda_(lambda) {}

void LsqSolve::KickAss(RMatrix& target) const {
  // A target that is an operand has been re-shaped, or is written before it is read.
  if (A_.Height() != B_.Height() || sharesStorage(target, A_) || sharesStorage(target, B_)) {
    target.markFailed(-1);
    return;
  }
  RMatrix normal = MatrixMultiply(A_, A_, 1.0, 0.0, true, false);
  RMatrix projected = MatrixMultiply(A_, B_, 1.0, 0.0, true, false);
  const int n = normal.Height();
  addToDiagonal(normal, lambda_);
  int info = CLapack_DPOTRF("U", n, normal.Array(), n);
  if (info == 0)
    info = CLapack_DPOTRS("U", n, projected.Width(), normal.Array(), n, projected.Array(), n);
  if (info != 0) {
    target.markFailed(info);
    return;
  }
  // The target already has the result's shape; copying the elements alone keeps its status.
  assert(target.Height() == n && target.Width() == projected.Width());
  std::copy(projected.Array(), projected.Array() + static_cast<long>(n) * projected.Width(),
            target.Array());
}

}  // namespace Orvo
