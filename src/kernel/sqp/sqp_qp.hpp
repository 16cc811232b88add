// Building blocks of the sequential quadratic programming kernel: packed symmetric storage, the
// Cholesky factor of the Hessian approximation and the convex quadratic subproblem.
//
// Symmetric and upper-triangular matrices of order n are kept column-packed: element (i, j) with
// i <= j at offset j * (j + 1) / 2 + i, n * (n + 1) / 2 doubles in all. Nothing here allocates;
// every array is a slice of the kernel's workspace.
#ifndef ORVO_SRC_KERNEL_SQP_SQP_QP_HPP
#define ORVO_SRC_KERNEL_SQP_SQP_QP_HPP

namespace Orvo::sqp {

inline int PackedIndex(int i, int j) {
  return j * (j + 1) / 2 + i;
}
inline int PackedLength(int n) {
  return n * (n + 1) / 2;
}

// y = B s for symmetric B held packed (upper triangle).
void PackedSymmetricMultiply(int n, const double* B, const double* s, double* y);

// B = U^T U with U upper triangular, packed like B. Returns false, leaving U partly written, when
// a pivot is not safely positive (B not numerically positive definite).
bool PackedCholesky(int n, const double* B, double* U);

// The subproblem
//     minimise 1/2 d^T H d + gradientWeight g^T d
//     subject to a_i^T d + b_i = 0 (i < meq),  a_i^T d + b_i >= 0 (meq <= i < m),
// with H = U^T U given by its packed Cholesky factor U and a_i in column i of `a` (leading
// dimension lda >= n). With caps (cap non-null) it is the elastic form instead, which always
// has a solution:
//     minimise 1/2 d^T H d + gradientWeight g^T d + sum_i capScale cap_i viol_i(a_i^T d + b_i)
// with viol_i as in ConstraintViolation and every cap_i > 0; gradientWeight 0 then asks for the
// step that removes the most violation, shortened by H.
struct QpProblem {
  int n = 0;
  int m = 0;
  int meq = 0;
  const double* U = nullptr;
  const double* g = nullptr;
  const double* a = nullptr;
  int lda = 0;
  const double* b = nullptr;
  const double* cap = nullptr;
  double capScale = 1.0;
  double gradientWeight = 1.0;
};

// Scratch of the dual active-set method, all sliced from the caller's workspace.
//   J        n * n    L^{-T} Q, column-major; its first q columns span the active normals
//   R        n(n+1)/2 packed upper-triangular R of J^T N_active = [R; 0]
//   dvec, z, r, normal   n each (J^T n_p, primal step direction, dual step direction, n_p)
//   u        n        multipliers of the active constraints, in active-set order
//   slack    m        a_i^T d + b_i at the current d
//   isActive m        1.0 for constraints in the active set, 0.0 otherwise
//   active   n + 1    active[0..q-1]: (i + 1) for constraint i taken as a_i^T d + b_i >= 0,
//                     -(i + 1) for an equality taken with the opposite sign; active[n] = q
struct QpWorkspace {
  double* J = nullptr;
  double* R = nullptr;
  double* dvec = nullptr;
  double* z = nullptr;
  double* r = nullptr;
  double* normal = nullptr;
  double* u = nullptr;
  double* slack = nullptr;
  double* isActive = nullptr;
  int* active = nullptr;
};

enum class QpStatus { Solved, Infeasible, Failed };

// Goldfarb–Idnani dual active-set method (Math. Programming 27, 1983): starts from the
// unconstrained minimiser and adds the most violated constraint (equalities first) until all
// hold, dropping inequalities whose multipliers would turn negative (and, in the elastic form,
// fixing multipliers that reach their caps). On Solved, d holds the minimiser, lambda[i] the
// multiplier of constraint i (>= 0 for inequalities, 0 when inactive, |lambda_i| <= capScale cap_i
// in the elastic form, with H d + gradientWeight g = sum lambda_i a_i), and work.slack the
// constraint residuals at d. Infeasible (never in the elastic form): the constraints admit no d.
// Failed: the iteration limit was reached (degeneracy or rounding).
QpStatus SolveQp(const QpProblem& problem, QpWorkspace& work, double* d, double* lambda);

// Violation of constraint i at residual r: |r| for an equality, max(0, -r) for an inequality.
inline double ConstraintViolation(int i, int meq, double r) {
  return i < meq ? (r < 0.0 ? -r : r) : (r < 0.0 ? -r : 0.0);
}

}  // namespace Orvo::sqp

#endif  // ORVO_SRC_KERNEL_SQP_SQP_QP_HPP
