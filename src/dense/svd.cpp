// Singular value decomposition and the truncated least-squares solve built on it, through the
// divide-and-conquer LAPACK driver with its workspace query.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "kernel/dense/dense_kernels.hpp"
#include "orvo/dense_solvers.hpp"

namespace Orvo {

namespace {

// Runs the kernel twice: a workspace query, then the decomposition with the optimal workspace.
int decompose(int m, int n, double* a, double* s, double* u, int ldu, double* vt, int ldvt) {
  mvlarray<int> integerWork(8 * std::min(m, n));
  double optimalLength = 0.0;
  int info =
      CLapack_DGESDD("O", m, n, a, m, s, u, ldu, vt, ldvt, &optimalLength, -1, integerWork.Array());
  if (info != 0) return info;
  const int length = std::max(1, static_cast<int>(optimalLength));
  mvlarray<double> work(length);
  return CLapack_DGESDD("O", m, n, a, m, s, u, ldu, vt, ldvt, work.Array(), length,
                        integerWork.Array());
}

}  // namespace

SVDecomp::SVDecomp(RMatrix& A) : source_(A), Vt_(A.Width(), A.Width()), singularValues_(A.Width()) {
  const int m = A.Height(), n = A.Width();
  // The kernel rejects a NaN in A as an illegal argument but would decompose an infinity into
  // NaN singular values: both are refused the same way, before A is touched.
  const long count = static_cast<long>(m) * n;
  for (long k = 0; k < count; ++k) {
    if (!std::isfinite(A.Array()[k])) {
      info_ = NonFiniteInput;
      return;
    }
  }
  if (m >= n) {
    // Overwrite mode: U replaces A, and no U array is needed.
    info_ = decompose(m, n, A.Array(), singularValues_.Array(), nullptr, m, Vt_.Array(), n);
    return;
  }
  // Wide A: overwrite mode then leaves the first m rows of V^T in A and needs U (m x m) apart.
  // Rearranged afterwards into the tall layout, padded with zeros, so Solve needs no case of its
  // own: A = [U 0], V^T with zero rows below m, singular values with trailing zeros.
  RMatrix U(m, m);
  info_ = decompose(m, n, A.Array(), singularValues_.Array(), U.Array(), m, Vt_.Array(), n);
  if (info_ != 0) return;
  for (int j = 0; j < n; ++j) {
    double* target = Vt_.Array() + static_cast<long>(j) * n;
    std::copy(A.Array() + static_cast<long>(j) * m, A.Array() + static_cast<long>(j + 1) * m,
              target);
    std::fill(target + m, target + n, 0.0);
  }
  std::copy(U.Array(), U.Array() + static_cast<long>(m) * m, A.Array());
  std::fill(A.Array() + static_cast<long>(m) * m, A.Array() + static_cast<long>(m) * n, 0.0);
  std::fill(singularValues_.Array() + m, singularValues_.Array() + n, 0.0);
}

void SVDecomp::Solve(const RMatrix& B, RMatrix& X, double tol) const {
  if (B.Height() != source_.Height()) {
    X.markFailed(-1);
    return;
  }
  if (info_ != 0) {
    X.markFailed(info_);
    return;
  }
  RMatrix C = MatrixMultiply(source_, B, 1.0, 0.0, true, false);  // U^T B
  const int n = singularValues_.Length();
  const double largest = n > 0 ? singularValues_[singularValues_.MaxIndex()] : 0.0;
  std::vector<double> factor(n);
  for (int i = 0; i < n; ++i) {
    const double s = singularValues_[i];
    // A zero singular value is dropped even at tol = 0; this also covers A = 0 (largest = 0).
    factor[i] = (s == 0.0 || tol > s / largest) ? 0.0 : 1.0 / s;
  }
  for (int j = 0; j < C.Width(); ++j) {
    double* column = C.Array() + static_cast<long>(j) * n;
    for (int i = 0; i < n; ++i) column[i] *= factor[i];
  }
  X = MatrixMultiply(Vt_, C, 1.0, 0.0, true, false);
}

SVDSolve::SVDSolve(RMatrix& A, const RMatrix& B, double tol)
    : lazyMatrix(A.Width(), B.Width()), decomposition_(A), B_(B), tol_(tol) {}

void SVDSolve::KickAss(RMatrix& target) const {
  decomposition_.Solve(B_, target, tol_);
}

}  // namespace Orvo
