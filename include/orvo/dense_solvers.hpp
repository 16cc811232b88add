/// @file
/// Dense linear solvers: LU (general square systems), Cholesky (symmetric positive definite and
/// regularised least squares), truncated singular value decomposition, and a banded matrix with
/// its own LU solve.
///
/// The solves are lazy expressions (see orvo/matrix.hpp): nothing is computed until the
/// expression constructs an RMatrix or is assigned to one. A solve first copies the right-hand
/// side B (elements, shape, OK flag, info code) into the target and then overwrites it with the
/// solution. Failure is reported in the target's status word, never by throwing:
///   * info -1: operands of non-conforming shapes (nothing is factorised or solved);
///   * a positive info: the kernel's, e.g. the 1-based index of a zero pivot (LU) or the order of
///     the first leading minor that is not positive definite (Cholesky);
///   * another negative info: the kernel rejected an argument (for instance a zero order).
/// Expressions keep references to their operands (temporaries are rejected at compile time);
/// the operands must live and stay unchanged until the expression has been evaluated.
#ifndef ORVO_DENSE_SOLVERS_HPP
#define ORVO_DENSE_SOLVERS_HPP

#include <limits>

#include "orvo/config.hpp"
#include "orvo/matrix.hpp"
#include "orvo/memory.hpp"

namespace Orvo {

// ---------------------------------------------------------------------------------------------
// LU factorisation with partial pivoting.

/// Keeps the LU factors of a square matrix so that many right-hand sides can be solved with
/// LUSolve without factorising again. The caller's matrix is copied, never modified.
///
/// The factors are an n x n RMatrix: unit lower triangle L below the diagonal, U on and above
/// it. Their status records the outcome of the latest factorisation: a non-zero kernel info
/// (the 1-based index of the first zero pivot, or a negative code for an illegal argument such
/// as order 0) clears their OK flag and becomes their info code; success leaves the status as it
/// was (the copy of A starts OK with info 0; an assigned A passes on its own status).
/// Pivots are 1-based, as the kernel returns them: row i was interchanged with row pivots[i].
class ORVO_API LUDecomp {
 public:
  /// Copies A (elements and shape; status OK, info 0) and factorises the copy at once.
  explicit LUDecomp(const RMatrix& A);
  /// An unfactorised n x n holder (OK, elements undefined), meant to be assigned a matrix later.
  explicit LUDecomp(int n);
  /// @{
  /// Deep copy of the factors (with their status, so a failed decomposition stays failed) and
  /// of the pivots.
  LUDecomp(const LUDecomp& other);
  ~LUDecomp() = default;
  /// @}
  /// Factors (elements, shape, status) and pivots copied.
  LUDecomp& operator=(const LUDecomp& other);
  /// Takes A's elements, shape, OK flag and info code, gives the pivots A's height as length,
  /// then factorises.
  LUDecomp& operator=(const RMatrix& A);

  /// Factorises the held matrix in place. Meant to be called once per held matrix: a second call
  /// factorises the factors again, which means nothing.
  void Factorize();

  /// @{
  /// The held matrix (its LU factors once factorised, with the status) and the pivot indices.
  const RMatrix& Factors() const { return factors_; }
  const mvlarray<int>& Pivots() const { return pivots_; }
  /// @}
  /// Reciprocal of the condition number in the 1-norm, 1 / (||A||_1 ||A^-1||_1), estimated from
  /// the factors (LAPACK's estimator: O(n^2), a few triangular solves, rarely more than a factor
  /// 3 from the truth) and ||A||_1 taken when the matrix was factorised (one O(n^2) pass).
  /// Computed at each call; nothing is changed. 0 for a failed (singular) factorisation, NaN
  /// for a holder never factorised or a matrix with non-finite entries.
  double RCond() const;
  /// @{
  /// The factors' status: true unless the factorisation (or the assigned matrix) failed.
  bool isOK() const { return factors_.isOK(); }
  int getInfo() const { return factors_.getInfo(); }
  /// @}

 private:
  RMatrix factors_;
  mvlarray<int> pivots_;
  double oneNorm_ = std::numeric_limits<double>::quiet_NaN();  // of the matrix factorised
};

/// X = A^-1 B with the factors of an LUDecomp; shape B.height x B.width. The decomposition is not
/// changed and can be used again.
/// Status of the target: B's status, then
///   * the decomposition's info code with OK cleared if its factorisation failed (no solve is
///     attempted, the target holds B);
///   * -1 if the decomposition's order is not B.height (the target holds B);
///   * the kernel's info (negative, an illegal argument) otherwise, if non-zero.
class ORVO_API LUSolve : public lazyMatrix {
 public:
  LUSolve(const LUDecomp& decomposition, const RMatrix& B);
  LUSolve(const LUDecomp&&, const RMatrix&) = delete;
  LUSolve(const LUDecomp&, const RMatrix&&) = delete;
  LUSolve(const LUSolve&) = default;
  void KickAss(RMatrix& target) const override;

 private:
  const LUDecomp& decomposition_;
  const RMatrix& B_;
};

/// X = A^-1 B in one evaluation, shape A.width x B.width. A is factorised IN PLACE: afterwards it
/// holds its LU factors, not its former elements (evaluate on a copy to keep A). B is not
/// changed; the target may be B itself.
///
/// Route: orders below `threshold` use the classical column-oriented LU (cheapest for small
/// systems); orders at or above it use the blocked LAPACK driver. A threshold of 0 always takes
/// the LAPACK route. Measured crossover on this library's reference machine (2-core x86_64,
/// single-threaded OpenBLAS, one right-hand side): the classical route takes 75-85 % of the
/// LAPACK route's time up to order 32, the two are even at order 36, and from order 40 on the
/// LAPACK route wins (by 2x at order 128). LinpackCrossoverOrder is that threshold.
///
/// Status of the target: B's status, then
///   * -1 with OK cleared if A is not square or B.height != A.width (A untouched, target holds B);
///   * singular A: OK cleared and info = index of a zero pivot (1-based; the first one found by
///     the LAPACK route, the last one by the classical route); the target holds B and no solve
///     is carried out; A holds the partial factors;
///   * a negative kernel info (illegal argument, e.g. order 0) the same way.
class ORVO_API LinSolve : public lazyMatrix {
 public:
  static constexpr int LinpackCrossoverOrder = 36;

  /// X = A^-1 B by the route `threshold` selects (above). A and B are referenced, not copied:
  /// both must outlive the expression.
  LinSolve(RMatrix& A, const RMatrix& B, int threshold);
  /// @{
  /// The same, and every evaluation also writes into rcond the reciprocal condition number of A
  /// in the 1-norm, estimated from the factors at O(n^2) cost (no second factorisation): 0 when A
  /// is singular, NaN when the shapes do not conform or A has non-finite entries. rcond must
  /// outlive the expression.
  LinSolve(RMatrix& A, const RMatrix& B, int threshold, double& rcond);
  LinSolve(RMatrix&&, const RMatrix&, int) = delete;
  LinSolve(RMatrix&, const RMatrix&&, int) = delete;
  LinSolve(const LinSolve&) = default;
  void KickAss(RMatrix& target) const override;
  /// @}

 private:
  RMatrix& A_;
  const RMatrix& B_;
  int threshold_;
  double* rcond_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Cholesky: U^T U = M with U upper triangular; every factorising expression adds a ridge term
// lambda to the diagonal first. A failed factorisation (M + lambda I not positive definite)
// clears the target's OK flag and sets its info code to the order of the first leading minor
// that is not positive definite.

/// The factor of A + lambda I, shape A.height x A.width, computed in the target: its upper
/// triangle (diagonal included) holds U, its strictly lower triangle keeps A's elements. A is not
/// changed unless it is the target itself (which works, in place).
/// Status: A's, then -1 if A is not square (target holds A), or the kernel's info if non-zero.
class ORVO_API CholDecomp : public lazyMatrix {
 public:
  CholDecomp(const RMatrix& A, double lambda);
  CholDecomp(const RMatrix&&, double) = delete;
  CholDecomp(const CholDecomp&) = default;
  void KickAss(RMatrix& target) const override;

 private:
  const RMatrix& A_;
  double lambda_;
};

/// X = (U^T U)^-1 B with a factor F from a successful CholDecomp; shape B.height x B.width.
/// F's status is not consulted. The target may be B itself; a target sharing storage with F is a
/// shape error (OK cleared, info -1).
/// Status: B's, then -1 if F is not square of order B.height (target holds B), or the kernel's
/// info if non-zero.
class ORVO_API CholSolve : public lazyMatrix {
 public:
  CholSolve(const RMatrix& F, const RMatrix& B);
  CholSolve(const RMatrix&&, const RMatrix&) = delete;
  CholSolve(const RMatrix&, const RMatrix&&) = delete;
  CholSolve(const CholSolve&) = default;
  void KickAss(RMatrix& target) const override;

 private:
  const RMatrix& F_;
  const RMatrix& B_;
};

/// X = (A + lambda I)^-1 B for symmetric A (only its upper triangle is read); shape B.height x
/// B.width. Works on a private copy of A: A is never modified. The target may be B itself.
/// Status:
///   * -1 with OK cleared if A is not square or B.height != A.width (target not touched);
///   * not positive definite: OK cleared, info = kernel's; the target's elements are not touched;
///   * otherwise the target takes B's status, then the solve's kernel info if non-zero.
class ORVO_API SPDSolve : public lazyMatrix {
 public:
  SPDSolve(const RMatrix& A, const RMatrix& B, double lambda);
  /// @{
  /// The same, and every evaluation also writes into rcond the reciprocal 1-norm condition
  /// number of A + lambda I, estimated from its factor (LAPACK's estimator, O(n^2)): 0 when the
  /// matrix is not positive definite, NaN when the shapes do not conform. rcond must outlive the
  /// expression.
  SPDSolve(const RMatrix& A, const RMatrix& B, double lambda, double& rcond);
  SPDSolve(const RMatrix&&, const RMatrix&, double) = delete;
  SPDSolve(const RMatrix&, const RMatrix&&, double) = delete;
  SPDSolve(const SPDSolve&) = default;
  void KickAss(RMatrix& target) const override;
  /// @}

 private:
  const RMatrix& A_;
  const RMatrix& B_;
  double lambda_;
  double* rcond_ = nullptr;
};

/// Reciprocal 1-norm condition number of A + lambda I from its factor F, made by a successful
/// CholDecomp(A, lambda): ||A + lambda I||_1 is taken from A's upper triangle (the part the
/// factorisation read), ||(A + lambda I)^-1||_1 estimated from F by LAPACK's estimator; O(n^2),
/// nothing is changed. 0 when F's status is bad (the factorisation failed), NaN when the shapes
/// differ or A has non-finite entries.
ORVO_API double CholRCond(const RMatrix& A, const RMatrix& F, double lambda);

/// Regularised least squares: X = (A^T A + lambda I)^-1 A^T B, shape A.width x B.width, through
/// the normal equations (two matrix products, then a Cholesky solve on private storage). A and B
/// are never modified; a target sharing storage with either is a shape error (info -1).
/// Status: a successful solve leaves the target's status exactly as it was (it is NOT set OK).
/// Failures clear OK and set the info code, leaving the target's elements untouched:
///   * -1 if A.height != B.height;
///   * the kernel's info if A^T A + lambda I is not positive definite (or the solve fails).
class ORVO_API LsqSolve : public lazyMatrix {
 public:
  LsqSolve(const RMatrix& A, const RMatrix& B, double lambda);
  LsqSolve(const RMatrix&&, const RMatrix&, double) = delete;
  LsqSolve(const RMatrix&, const RMatrix&&, double) = delete;
  LsqSolve(const LsqSolve&) = default;
  void KickAss(RMatrix& target) const override;

 private:
  const RMatrix& A_;
  const RMatrix& B_;
  double lambda_;
};

// ---------------------------------------------------------------------------------------------
// Truncated singular value decomposition.

/// A = U S V^T of an m x n matrix A, computed once at construction by the divide-and-conquer
/// kernel in overwrite mode, then used by Solve for any number of right-hand sides.
///
/// A IS OVERWRITTEN and stays in use: afterwards it holds U (m x n), so A must outlive the
/// decomposition and must not change until the last Solve. For m >= n its columns are the n left
/// singular vectors. For a wide A (m < n) its first m columns hold the m x m matrix U and the
/// others are zero; the singular values and Vt are padded with zeros to length n (extra storage
/// of m x m doubles is used during construction), so Solve gives the minimum-norm solution.
///
/// Info(): 0 on success; negative, an argument the kernel rejected (for example an empty A);
/// positive, the kernel's iteration did not converge.
class ORVO_API SVDecomp {
 public:
  /// Info() when A holds a NaN or an infinity: A is left untouched (the kernel's own code for
  /// the illegal matrix argument).
  static constexpr int NonFiniteInput = -4;

  /// @{
  /// Decomposes A, overwriting it with U (above); A must outlive the decomposition.
  explicit SVDecomp(RMatrix& A);
  SVDecomp(RMatrix&&) = delete;
  /// @}
  /// @{
  /// Shares the source A; Vt, the singular values and the info are copied.
  SVDecomp(const SVDecomp& other) = default;
  SVDecomp& operator=(const SVDecomp&) = delete;
  ~SVDecomp() = default;
  /// @}

  /// @{
  /// The n singular values, in descending order.
  mvlarray<double>& Eigenvalues() { return singularValues_; }
  const mvlarray<double>& Eigenvalues() const { return singularValues_; }
  /// @}
  /// @{
  /// V^T, n x n.
  const RMatrix& Vt() const { return Vt_; }
  int Info() const { return info_; }
  /// @}

  /// X = V diag(f) U^T B, the truncated least-squares solution; X takes the shape n x B.width.
  /// f_i = 1 / s_i, except that a singular value is dropped (f_i = 0) when it is 0 or when
  /// s_i / s_max < tol; one exactly at the boundary is kept. tol = 0 inverts every non-zero value,
  /// and A = 0 gives X = 0. X may be B itself.
  /// Status of X: OK and info 0 on success; OK cleared and info -1 if B.height != A.height, or
  /// info = Info() if the decomposition failed; X's elements are then left alone.
  void Solve(const RMatrix& B, RMatrix& X, double tol) const;

 private:
  RMatrix& source_;
  RMatrix Vt_;
  mvlarray<double> singularValues_;
  int info_ = 0;
};

/// The truncated least-squares solution of A X = B as an expression, shape A.width x B.width.
/// A is decomposed (and OVERWRITTEN, see SVDecomp) when the expression is constructed, not when it
/// is evaluated; B is read at evaluation. Status as SVDecomp::Solve.
class ORVO_API SVDSolve : public lazyMatrix {
 public:
  SVDSolve(RMatrix& A, const RMatrix& B, double tol);
  SVDSolve(RMatrix&&, const RMatrix&, double) = delete;
  SVDSolve(RMatrix&, const RMatrix&&, double) = delete;
  SVDSolve(const SVDSolve&) = default;
  void KickAss(RMatrix& target) const override;
  const SVDecomp& Decomposition() const { return decomposition_; }

 private:
  SVDecomp decomposition_;
  const RMatrix& B_;
  double tol_;
};

// ---------------------------------------------------------------------------------------------
// Banded matrix with LU solve.

/// A square matrix of order n with kl sub-diagonals and ku super-diagonals, kept in the band
/// layout of the banded LU kernel: element (i, j), max(0, j - ku) <= i <= min(n - 1, j + kl), is
/// band index (kl + ku + i - j) + j * ldab with ldab = 2 kl + ku + 1. The first kl rows of every
/// column are room for the fill-in of the factorisation. Storage is n * ldab doubles and n pivots.
///
/// Use: construct, write every element inside the band through operator() (the storage starts
/// undefined, not zeroed), then Solve one right-hand side at a time. The first Solve (or
/// Factorize) replaces the band by its LU factors; later solves only substitute. To solve another
/// matrix of the same shape, refill the band, call Reset(), and Solve again.
///
/// Indices are not validated; sizes whose storage exceeds the int range, or negative ones, throw
/// mvlException at construction. Info() keeps the kernel's verdict: 0, or the 1-based
/// index of a zero pivot (the matrix is exactly singular; solves still run and give non-finite
/// values), or a negative code for an argument the kernel rejected.
class ORVO_API BandedMatrix {
 public:
  BandedMatrix(int n, int kl, int ku);
  /// @{
  /// Sizes, band, pivots, state and Info() copied.
  BandedMatrix(const BandedMatrix&) = default;
  BandedMatrix& operator=(const BandedMatrix&) = default;
  ~BandedMatrix() = default;
  /// @}

  /// @{
  /// Element (i, j), which must lie inside the band (not checked); Data() is the band storage in
  /// the layout above.
  double& operator()(int i, int j) { return band_.Array()[bandIndex(i, j)]; }
  double operator()(int i, int j) const { return band_.Array()[bandIndex(i, j)]; }
  double* Data() { return band_.Array(); }
  /// @}

  /// Factorises in place unless already factorised; sets Info() to the factorisation's code.
  void Factorize();
  /// Overwrites the n values at b by the solution of A x = b, factorising first if needed. A
  /// failing solve (negative code) replaces Info(); otherwise Info() keeps the factorisation's.
  void Solve(double* b);
  /// @{
  /// Forgets the factorisation (the band is not touched) and clears Info().
  void Reset();
  bool isFactorised() const { return factorised_; }
  int Info() const { return info_; }
  /// @}

  /// @{
  /// The order n and the numbers of sub- and super-diagonals.
  int Order() const { return n_; }
  int SubDiagonals() const { return kl_; }
  int SuperDiagonals() const { return ku_; }
  /// @}

  /// @{
  /// Column range of row i inside the band: [rowStart(i), rowEnd(i)).
  int rowStart(int i) const { return i - kl_ > 0 ? i - kl_ : 0; }
  int rowEnd(int i) const { return i + ku_ + 1 < n_ ? i + ku_ + 1 : n_; }
  /// @}
  /// @{
  /// Row range of column j inside the band: [colStart(j), colEnd(j)).
  int colStart(int j) const { return j - ku_ > 0 ? j - ku_ : 0; }
  int colEnd(int j) const { return j + kl_ + 1 < n_ ? j + kl_ + 1 : n_; }
  /// @}

  /// Root-mean-square residual sqrt(sum_j (A x - b)_j^2 / n) of x (n values) for right-hand
  /// side b. Reads the band as the matrix, so it means something only before factorisation.
  double test(const double* x, const double* b) const;

 private:
  long bandIndex(int i, int j) const {
    return static_cast<long>(kl_ + ku_ + i - j) + static_cast<long>(j) * ldab_;
  }

  int n_;
  int kl_;
  int ku_;
  int ldab_;
  mvlarray<double> band_;
  mvlarray<int> pivots_;
  bool factorised_ = false;
  int info_ = 0;
};

}  // namespace Orvo

#endif  // ORVO_DENSE_SOLVERS_HPP
