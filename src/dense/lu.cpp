// LU factorisation kept with its pivots (LUDecomp) and the solves that reuse it (LUSolve); the
// one-shot LinSolve lives with it because it shares the factor layout and the status rules.
#include "dense/condition.hpp"
#include "dense/inverse_norm_estimate.hpp"
#include "kernel/dense/dense_kernels.hpp"
#include "orvo/dense_solvers.hpp"

#include <limits>

namespace Orvo {

LUDecomp::LUDecomp(const RMatrix& A) : factors_(A), pivots_(A.Height()) {
  Factorize();
}

LUDecomp::LUDecomp(int n) : factors_(n, n), pivots_(n) {}

LUDecomp::LUDecomp(const LUDecomp& other)
    : factors_(other.factors_), pivots_(other.pivots_), oneNorm_(other.oneNorm_) {
  factors_.setInfo(other.factors_.getInfo());
  if (!other.factors_.isOK()) factors_.setBad();
}

LUDecomp& LUDecomp::operator=(const LUDecomp& other) {
  factors_ = other.factors_;
  pivots_ = other.pivots_;
  oneNorm_ = other.oneNorm_;
  return *this;
}

LUDecomp& LUDecomp::operator=(const RMatrix& A) {
  factors_ = A;
  if (pivots_.Length() != A.Height()) pivots_.Reallocate(A.Height());
  Factorize();
  return *this;
}

void LUDecomp::Factorize() {
  oneNorm_ = detail::denseOneNorm(factors_.Height(), factors_.Width(), factors_.Array(),
                                  factors_.Height());
  const int info = CLapack_DGETRF(factors_.Height(), factors_.Width(), factors_.Array(),
                                  factors_.Height(), pivots_.Array());
  if (info != 0) factors_.markFailed(info);
}

LUSolve::LUSolve(const LUDecomp& decomposition, const RMatrix& B)
    : lazyMatrix(B.Height(), B.Width()), decomposition_(decomposition), B_(B) {}

void LUSolve::KickAss(RMatrix& target) const {
  target = B_;
  const RMatrix& factors = decomposition_.Factors();
  if (!factors.isOK()) {
    // Solving with the factors of a singular matrix would divide by the zero pivot.
    target.markFailed(factors.getInfo());
    return;
  }
  const int n = target.Height();
  if (factors.Height() != n || factors.Width() != n) {
    target.markFailed(-1);
    return;
  }
  const int info = CLapack_DGETRS("n", n, target.Width(), factors.Array(), n,
                                  decomposition_.Pivots().Array(), target.Array(), n);
  if (info != 0) target.markFailed(info);
}

LinSolve::LinSolve(RMatrix& A, const RMatrix& B, int threshold)
    : lazyMatrix(A.Width(), B.Width()), A_(A), B_(B), threshold_(threshold) {}

LinSolve::LinSolve(RMatrix& A, const RMatrix& B, int threshold, double& rcond)
    : LinSolve(A, B, threshold) {
  rcond_ = &rcond;
}

void LinSolve::KickAss(RMatrix& target) const {
  const int n = A_.Width();
  mvlarray<int> pivots(n);
  target = B_;
  if (rcond_ != nullptr) *rcond_ = std::numeric_limits<double>::quiet_NaN();
  if (A_.Height() != n || target.Height() != n) {
    target.markFailed(-1);
    return;
  }
  // The norm must be taken before the factorisation overwrites A.
  const double oneNorm = rcond_ != nullptr ? detail::denseOneNorm(n, n, A_.Array(), n) : 0.0;
  const int nrhs = target.Width();
  if (n < threshold_) {
    const int info = CLinpack_DGEFA(A_.Array(), n, n, pivots.Array());
    if (info != 0) {
      if (rcond_ != nullptr) *rcond_ = 0.0;
      target.markFailed(info);
      return;
    }
    if (rcond_ != nullptr)
      *rcond_ = detail::classicalLuRCond(n, A_.Array(), pivots.Array(), oneNorm);
    for (int c = 0; c < nrhs; ++c)
      CLinpack_DGESL(A_.Array(), n, n, pivots.Array(), target.Array() + static_cast<long>(c) * n,
                     0);
    return;
  }
  const int info = CLapack_DGESV(n, nrhs, A_.Array(), n, pivots.Array(), target.Array(), n);
  if (rcond_ != nullptr)
    *rcond_ = info > 0   ? 0.0
              : info < 0 ? std::numeric_limits<double>::quiet_NaN()
                         : detail::luRCond(n, A_.Array(), oneNorm);
  if (info != 0) target.markFailed(info);
}

}  // namespace Orvo
