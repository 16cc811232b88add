/// @file
/// Dense column-major matrices, strided views and lazy matrix expressions.
///
/// Storage: element (i, j) of an h x w matrix is element i + j*h of its array; the leading
/// dimension is always the height, so matrices go to the BLAS/LAPACK kernels without copies.
///
/// Lazy expressions. A matrix-valued operation (join, range, product, distance matrix, solve,
/// random fill, ...) is an object derived from lazyMatrix that records references to its operands
/// and the shape of its result. Nothing is computed until the expression constructs an RMatrix
/// or is assigned to one; the target then has exactly the expression's shape and the expression
/// writes straight into it (KickAss), reporting failure in the target's status word.
///
/// Lifetime of an expression. An expression holds references, never copies: it must not outlive
/// any operand, and it reads the operands as they are when it is evaluated, not when it was
/// built. The safe pattern is to evaluate it in the statement that builds it:
///     RMatrix C = MatrixMultiply(A, B, 1.0, 0.0, false, false);
///     C = colJoin(A, B);
/// Keeping one in a named variable (`auto e = Euclidean2(A, B);`) is allowed while A and B live;
/// binding a temporary matrix as an operand is rejected at compile time.
/// Aliasing of target and operand: every expression says in its comment whether its target may be
/// one of its operands (or share storage with one). Where it may not, the evaluation is refused
/// as a shape error (OK cleared, info -1) rather than computed from overwritten elements.
#ifndef ORVO_MATRIX_HPP
#define ORVO_MATRIX_HPP

#include <cassert>
#include <cmath>
#include <cstdint>
#include <utility>

#include "orvo/config.hpp"
#include "orvo/memory.hpp"

namespace Orvo {

/// Shape of a matrix: first the height (rows), second the width (columns).
using mSize = std::pair<int, int>;

/// Forward declaration; defined below.
template <class V, class E>
class lazy;

// ---------------------------------------------------------------------------------------------
/// Vector<T>: a strided sequence of elements, usually a view of a matrix row or column.
/// Element k is at first + k*stride. A Vector built from a length owns n contiguous elements.
/// Copy-constructing yields an owning, contiguous copy of the elements. Assigning a Vector of the
/// same length writes element by element through this vector's stride (into the viewed storage);
/// a different length turns this vector into an owning contiguous copy.
template <class T>
class Vector {
 public:
  Vector() = default;
  explicit Vector(int n) : elements_(n), length_(n), stride_(1) {}
  Vector(T* first, int length, int stride)
      : elements_(first, length > 0 ? (length - 1) * stride + 1 : 0),
        length_(length),
        stride_(stride) {}
  Vector(const Vector& other) : elements_(other.length_), length_(other.length_), stride_(1) {
    for (int k = 0; k < length_; ++k) elements_[k] = other[k];
  }
  Vector& operator=(const Vector& other) {
    if (this == &other) return *this;
    if (other.length_ != length_) {
      // `other` may view this vector's own block: gather it before letting the block go.
      mvlarray<T> gathered(other.length_);
      for (int k = 0; k < other.length_; ++k) gathered[k] = other[k];
      makeOwning(other.length_);
      for (int k = 0; k < length_; ++k) elements_[k] = gathered[k];
      return *this;
    }
    for (int k = 0; k < length_; ++k) (*this)[k] = other[k];
    return *this;
  }
  /// @{
  /// Evaluates a deferred vector expression (for instance RandPerm) into this vector. A vector
  /// that already has the expression's length keeps its storage and stride, so a view delivers
  /// the values into the storage it views; any other length re-makes it as an owning contiguous
  /// vector of the expression's length (the previous storage is released if owned).
  Vector(const lazy<Vector<T>, T>& expression);
  Vector& operator=(const lazy<Vector<T>, T>& expression);
  /// @}

  /// @{
  /// Element k (at first + k * stride); Debug builds assert the index.
  T& operator[](int k) {
    assert(k >= 0 && k < length_);
    return elements_.Array()[static_cast<long>(k) * stride_];
  }
  const T& operator[](int k) const {
    assert(k >= 0 && k < length_);
    return elements_.Array()[static_cast<long>(k) * stride_];
  }
  /// @}
  /// @{
  /// Number of elements, and the distance between consecutive ones in the storage.
  int Length() const { return length_; }
  int Stride() const { return stride_; }
  /// @}

  /// Sum of the elements, in index order.
  T Sum() const {
    T total = T(0);
    for (int k = 0; k < length_; ++k) total += (*this)[k];
    return total;
  }
  /// Sum of the squares of the elements, in index order.
  T SumSquares() const {
    T total = T(0);
    for (int k = 0; k < length_; ++k) total += (*this)[k] * (*this)[k];
    return total;
  }
  /// Sum over k < Length() of (other[k] - this[k])^2; other must be at least as long.
  T DistanceSquared(const Vector& other) const {
    T total = T(0);
    for (int k = 0; k < length_; ++k) {
      const T d = other[k] - (*this)[k];
      total += d * d;
    }
    return total;
  }
  /// Index of the first smallest element (ties keep the earliest); 0 for length 0 or 1.
  int MinIndex() const {
    int best = 0;
    for (int k = 1; k < length_; ++k)
      if ((*this)[k] < (*this)[best]) best = k;
    return best;
  }

 private:
  void makeOwning(int n) {
    if (elements_.isOwner() && elements_.Length() == n && stride_ == 1) return;
    elements_.Reallocate(n);  // a viewed block is left to its owner
    length_ = n;
    stride_ = 1;
  }

  mvlarray<T> elements_;
  int length_ = 0;
  int stride_ = 1;
};

/// Deferred expression producing a vector of E (the integer counterpart of lazyMatrix).
/// KickAss receives a target of exactly Length() elements, possibly strided, and writes through
/// its operator[].
template <class V, class E>
class lazy {
 public:
  explicit lazy(int length) : length_(length) {}
  lazy(const lazy&) = default;
  virtual void KickAss(V& /*target*/) const {}
  int Length() const { return length_; }

 protected:
  ~lazy() = default;
  int length_;
};

/// Evaluates the expression through the assignment below.
template <class T>
Vector<T>::Vector(const lazy<Vector<T>, T>& expression) {
  *this = expression;
}

/// Re-makes this vector as an owning one only when the lengths differ, then evaluates.
template <class T>
Vector<T>& Vector<T>::operator=(const lazy<Vector<T>, T>& expression) {
  if (length_ != expression.Length()) makeOwning(expression.Length());
  expression.KickAss(*this);
  return *this;
}

/// Forward declaration; defined below.
template <class T>
class Matrix;

/// Proxy for row i of a matrix, so that m[i][j] designates element (i, j).
template <class T>
class Matrix_Row {
 public:
  Matrix_Row(Matrix<T>* matrix, int row) : matrix_(matrix), row_(row) {}
  T& operator[](int j) { return (*matrix_)(row_, j); }

 private:
  Matrix<T>* matrix_;
  int row_;
};

// ---------------------------------------------------------------------------------------------
/// Matrix<T>: storage (an mvlarray, owning or a view) and a shape. No operation checks shapes or
/// indices; Debug builds assert indices.
template <class T>
class Matrix {
 public:
  /// Owns height*width uninitialised elements. A negative dimension, or a product beyond the int
  /// range, throws mvlException before anything is obtained.
  explicit Matrix(int height = 1, int width = 1)
      : elements_(checkedElementCount(height, width, "Matrix")), shape_(height, width) {}
  /// Owns a copy of `a` (the caller passes height*width elements).
  Matrix(int height, int width, const mvlarray<T>& a) : elements_(a), shape_(height, width) {}
  /// @{
  /// Views the height*width elements at p, which stay the caller's and must outlive the matrix.
  Matrix(int height, int width, T* p)
      : elements_(p, checkedElementCount(height, width, "Matrix")), shape_(height, width) {}
  explicit Matrix(mSize shape) : Matrix(shape.first, shape.second) {}
  Matrix(const Matrix&) = default;
  Matrix(Matrix&&) = default;
  ~Matrix() = default;
  /// @}

  /// Elements assigned as for mvlarray (storage re-made only when element counts differ; a view
  /// of equal size is written through), shape copied.
  Matrix& operator=(const Matrix&) = default;
  /// Sets every element to `value`; the shape is unchanged.
  Matrix& operator=(T value) {
    T* p = elements_.Array();
    const int n = elements_.Length();
    for (int k = 0; k < n; ++k) p[k] = value;
    return *this;
  }

  /// @{
  /// Element k in storage order (column-major); Debug builds assert the index.
  T& operator()(int k) { return elements_[k]; }
  const T& operator()(int k) const { return elements_[k]; }
  /// @}
  /// @{
  /// Element (i, j), column-major (at i + j * Height()); Debug builds assert the indices.
  T& operator()(int i, int j) {
    assert(i >= 0 && i < shape_.first && j >= 0 && j < shape_.second);
    return elements_.Array()[i + static_cast<long>(j) * shape_.first];
  }
  T operator()(int i, int j) const {
    assert(i >= 0 && i < shape_.first && j >= 0 && j < shape_.second);
    return elements_.Array()[i + static_cast<long>(j) * shape_.first];
  }
  /// @}
  /// Row proxy: m[i][j] is element (i, j); valid while the matrix lives.
  Matrix_Row<T> operator[](int i) { return Matrix_Row<T>(this, i); }

  /// @{
  /// Element-wise over this matrix's element count, in storage order; shapes are not compared
  /// and `other` must hold at least as many elements.
  Matrix& operator+=(const Matrix& other) {
    T* p = elements_.Array();
    const T* q = other.elements_.Array();
    const int n = elements_.Length();
    for (int k = 0; k < n; ++k) p[k] += q[k];
    return *this;
  }
  Matrix& operator-=(const Matrix& other) {
    T* p = elements_.Array();
    const T* q = other.elements_.Array();
    const int n = elements_.Length();
    for (int k = 0; k < n; ++k) p[k] -= q[k];
    return *this;
  }
  /// @}

  /// @{
  /// Views valid until the matrix is resized, re-shaped by an assignment, or destroyed.
  Vector<T> Row(int i) { return Vector<T>(elements_.Array() + i, shape_.second, shape_.first); }
  Vector<T> Column(int j) {
    return Vector<T>(elements_.Array() + static_cast<long>(j) * shape_.first, shape_.first, 1);
  }
  /// @}

  /// @{
  /// Shape, and the column-major storage (element (i, j) at i + j * Height()). Pointers and
  /// references stay valid until the storage is re-made or the matrix is destroyed.
  int Height() const { return shape_.first; }
  int Width() const { return shape_.second; }
  mSize Size() const { return shape_; }
  T* Array() { return elements_.Array(); }
  const T* Array() const { return elements_.Array(); }
  mvlarray<T>& Data() { return elements_; }
  const mvlarray<T>& Data() const { return elements_; }
  /// @}

 protected:
  mvlarray<T> elements_;
  mSize shape_;
};

/// Element-by-element write access shared by dense and sparse matrices, so that callbacks can
/// fill either. Never deleted through this interface.
class ORVO_API IMatrix {
 public:
  virtual void SetValue(int row, int col, double value) = 0;

 protected:
  IMatrix() = default;
  IMatrix(const IMatrix&) = default;
  IMatrix& operator=(const IMatrix&) = default;
  ~IMatrix() = default;
};

/// Forward declaration; defined below.
class RMatrix;

/// Base of every deferred matrix expression: the shape of the result and KickAss, which writes
/// the result into a target of exactly that shape. The base KickAss does nothing.
class ORVO_API lazyMatrix {
 public:
  lazyMatrix(int height, int width) : height_(height), width_(width) {}
  lazyMatrix(const lazyMatrix&) = default;
  virtual void KickAss(RMatrix& target) const;
  int Height() const { return height_; }
  int Width() const { return width_; }

 protected:
  ~lazyMatrix() = default;
  int height_;
  int width_;
};

// ---------------------------------------------------------------------------------------------
/// RMatrix: the dense real matrix with a status word (OK flag, info code) through which
/// expressions and solvers report failure. Info is -1 for operands of non-conforming shapes,
/// otherwise the info value of the kernel routine that failed.
class ORVO_API RMatrix : public Matrix<double>, public IMatrix {
 public:
  /// Owns height*width uninitialised elements; OK, info 0.
  explicit RMatrix(int height = 1, int width = 1) : Matrix<double>(height, width), IMatrix() {}
  /// @{
  /// As the Matrix<double> forms (copy of `a`; view of p); OK, info 0.
  RMatrix(int height, int width, const mvlarray<double>& a) : Matrix<double>(height, width, a) {}
  RMatrix(int height, int width, double* p) : Matrix<double>(height, width, p) {}
  explicit RMatrix(mSize shape) : Matrix<double>(shape) {}
  /// @}
  /// Owning copy of the elements and shape; the status is not copied (OK, info 0).
  RMatrix(const RMatrix& other) : Matrix<double>(other), IMatrix() {}
  /// Takes over the storage (a view stays a view of the same storage) and the status.
  RMatrix(RMatrix&& other)
      : Matrix<double>(std::move(other)), IMatrix(), ok_(other.ok_), info_(other.info_) {}
  /// @{
  /// Owns storage of the expression's shape, then evaluates the expression into it; the status
  /// is whatever the expression leaves (OK, info 0 if it sets none).
  RMatrix(const lazyMatrix& expression);
  ~RMatrix() = default;
  /// @}

  /// Elements (as for mvlarray), shape, OK flag and info code all copied.
  RMatrix& operator=(const RMatrix& other);
  /// If the expression's shape differs, the matrix takes that shape and its storage is re-made
  /// (contents undefined); a matching shape keeps the existing storage and allocates nothing.
  /// Then the expression is evaluated in place. The status is left to the expression.
  RMatrix& operator=(const lazyMatrix& expression);
  /// Every element set to `value`; shape and status unchanged.
  RMatrix& operator=(double value) {
    Matrix<double>::operator=(value);
    return *this;
  }

  /// Takes the new shape and re-makes the storage: every element is undefined afterwards, even
  /// when the shape did not change. The status is untouched. A negative dimension or an element
  /// count beyond the int range throws mvlException and leaves the matrix as it was.
  void Resize(int height, int width);

  /// Element (row, col) = value; the status is unchanged.
  void SetValue(int row, int col, double value) override { (*this)(row, col) = value; }

  /// @{
  /// Status word: OK flag and info code. The setters change only the status, never the elements.
  bool isOK() const { return ok_; }
  void setOK() { ok_ = true; }
  void setBad() { ok_ = false; }
  int getInfo() const { return info_; }
  void setInfo(int info) { info_ = info; }
  /// @}

  /// Marks the matrix as the result of a failed operation: OK flag cleared, info code set.
  void markFailed(int info) {
    ok_ = false;
    info_ = info;
  }

 private:
  void remake(int height, int width);

  bool ok_ = true;
  int info_ = 0;
};

/// Whether the element blocks of a and b overlap (a matrix shares storage with itself, even when
/// empty, and with any view into its block). Distinct empty matrices share nothing.
inline bool sharesStorage(const RMatrix& a, const RMatrix& b) {
  if (&a == &b) return true;  // even empty: re-shaping the target re-shapes the operand
  const long countA = static_cast<long>(a.Height()) * a.Width();
  const long countB = static_cast<long>(b.Height()) * b.Width();
  if (countA <= 0 || countB <= 0) return false;
  const auto startA = reinterpret_cast<std::uintptr_t>(a.Array());
  const auto startB = reinterpret_cast<std::uintptr_t>(b.Array());
  return startA < startB + countB * sizeof(double) && startB < startA + countA * sizeof(double);
}

// ---------------------------------------------------------------------------------------------
// Structural expressions. None calls a kernel; each writes straight into its target.

/// [A B]: A.height x (A.width + B.width). Sets OK; if the heights differ, clears OK, sets info -1
/// and writes nothing. Aliasing: a target that is A or B (or shares storage with either) is a
/// shape error (OK cleared, info -1); an operand that is the target has lost its elements to the
/// re-shaping by then.
class ORVO_API colJoin : public lazyMatrix {
 public:
  colJoin(const RMatrix& A, const RMatrix& B);
  colJoin(const RMatrix&&, const RMatrix&) = delete;
  colJoin(const RMatrix&, const RMatrix&&) = delete;
  void KickAss(RMatrix& target) const override;

 private:
  const RMatrix& A_;
  const RMatrix& B_;
};

/// [A; B]: (A.height + B.height) x A.width. Sets OK; if the widths differ, clears OK, sets info -1
/// and writes nothing. Aliasing as for colJoin: a target sharing storage with A or B is a shape
/// error (info -1).
class ORVO_API rowJoin : public lazyMatrix {
 public:
  rowJoin(const RMatrix& A, const RMatrix& B);
  rowJoin(const RMatrix&&, const RMatrix&) = delete;
  rowJoin(const RMatrix&, const RMatrix&&) = delete;
  void KickAss(RMatrix& target) const override;

 private:
  const RMatrix& A_;
  const RMatrix& B_;
};

/// Columns first..last (inclusive) of A. No status change; the range is not checked.
/// Aliasing: a target that is A (or shares storage with it) is a shape error (OK cleared, info -1).
class ORVO_API colRange : public lazyMatrix {
 public:
  colRange(const RMatrix& A, int first, int last);
  colRange(const RMatrix&&, int, int) = delete;
  void KickAss(RMatrix& target) const override;

 private:
  const RMatrix& A_;
  int first_;
  int last_;
};

/// Rows first..last (inclusive) of A. No status change; the range is not checked.
/// Aliasing: a target that is A (or shares storage with it) is a shape error (OK cleared, info -1).
class ORVO_API rowRange : public lazyMatrix {
 public:
  rowRange(const RMatrix& A, int first, int last);
  rowRange(const RMatrix&&, int, int) = delete;
  void KickAss(RMatrix& target) const override;

 private:
  const RMatrix& A_;
  int first_;
  int last_;
};

/// A height x width matrix whose every element is Value (0 or 1). No status change; no operand.
template <int Value>
class Vals : public lazyMatrix {
 public:
  Vals(int height, int width) : lazyMatrix(height, width) {}
  void KickAss(RMatrix& target) const override { target = static_cast<double>(Value); }
};

/// Only a shape: assigning it to a matrix gives the matrix that shape (elements undefined if the
/// shape changed, untouched otherwise) and computes nothing. No operand, nothing to alias.
class ORVO_API ShapeShifter : public lazyMatrix {
 public:
  ShapeShifter(int height, int width) : lazyMatrix(height, width) {}
};

/// A - B, element by element in storage order: the target is assigned A (elements, shape and
/// status), then B is subtracted. Shapes are not compared, but B holding fewer elements than A
/// is a shape error: the target is marked failed (OK cleared, info -1) and not written.
/// Aliasing: works in place when the target is A; a target that is B is exact too (B is read
/// from a copy).
class ORVO_API MSub : public lazyMatrix {
 public:
  MSub(const RMatrix& A, const RMatrix& B);
  MSub(const RMatrix&&, const RMatrix&) = delete;
  MSub(const RMatrix&, const RMatrix&&) = delete;
  void KickAss(RMatrix& target) const override;

 private:
  const RMatrix& A_;
  const RMatrix& B_;
};

/// Replaces every element x of the target by F()(x), in place. Build it with the target's own
/// shape and assign it to that target: `M = Apply<matLogistic>(M.Height(), M.Width());`.
/// It has no operand, so there is nothing to alias.
/// No status change.
template <class F>
class Apply : public lazyMatrix {
 public:
  Apply(int height, int width) : lazyMatrix(height, width) {}
  void KickAss(RMatrix& target) const override {
    const F f{};
    double* p = target.Array();
    const long n = static_cast<long>(target.Height()) * target.Width();
    for (long k = 0; k < n; ++k) p[k] = f(p[k]);
  }
};

/// 1 / (1 + exp(-x)).
struct matLogistic {
  double operator()(double x) const { return 1.0 / (1.0 + std::exp(-x)); }
};
/// 1 / (1 - x); +infinity at x = 1.
struct matCauchy {
  double operator()(double x) const { return 1.0 / (1.0 - x); }
};

// ---------------------------------------------------------------------------------------------
// Products, distances and standardisation: one BLAS dgemm call each for the heavy part.

/// T = alpha * op(A) * op(B) + beta * T, op(X) = X or its transpose. Result shape
/// (transA ? A.width : A.height) x (transB ? B.height : B.width). Sets OK; inner dimensions that
/// disagree clear OK, set info -1 and leave T's elements untouched. With beta != 0 the result
/// depends on T's previous elements, which are meaningful only when T already had the result
/// shape before the assignment (accumulating into such a T with beta = 1 is supported).
/// Aliasing: the target may be A or B (or share storage with them): the product is then formed
/// from copies of the shared operands, so `A = MatrixMultiply(A, A, ...)` is exact when the
/// result has A's shape. When the assignment had to re-shape an operand that is the target, that
/// operand's elements are gone before the product starts: the target is marked failed (info -1).
class ORVO_API MatrixMultiply : public lazyMatrix {
 public:
  MatrixMultiply(const RMatrix& A, const RMatrix& B, double alpha, double beta, bool transA,
                 bool transB);
  MatrixMultiply(const RMatrix&&, const RMatrix&, double, double, bool, bool) = delete;
  MatrixMultiply(const RMatrix&, const RMatrix&&, double, double, bool, bool) = delete;
  void KickAss(RMatrix& target) const override;

  /// @{
  /// The operands (referenced, not copied) and the transposition flags of the product.
  const RMatrix& A() const { return A_; }
  const RMatrix& B() const { return B_; }
  bool transA() const { return transA_; }
  bool transB() const { return transB_; }
  /// @}

 private:
  const RMatrix& A_;
  const RMatrix& B_;
  double alpha_;
  double beta_;
  bool transA_;
  bool transB_;
  mSize shapeA_;  // the operands' shapes when the expression was built, to recognise a target
  mSize shapeB_;  // that re-shaping has stripped of its elements
};

/// Squared Euclidean distances between the rows of A and the rows of B: T(i, j) = |a_i - b_j|^2,
/// A.height x B.height, formed as |a|^2 + |b|^2 - 2 A B^T. Not clamped: rounding may leave a tiny
/// negative value where two rows coincide. Sets OK; if A.width != B.width clears OK (the info
/// code is left alone) and writes nothing. Aliasing: a target sharing storage with A or B is a
/// shape error (OK cleared, info -1).
class ORVO_API Euclidean2 : public lazyMatrix {
 public:
  Euclidean2(const RMatrix& A, const RMatrix& B);
  Euclidean2(const RMatrix&&, const RMatrix&) = delete;
  Euclidean2(const RMatrix&, const RMatrix&&) = delete;
  void KickAss(RMatrix& target) const override;

 private:
  const RMatrix& A_;
  const RMatrix& B_;
};

/// Euclidean distances between the rows of A and the rows of B: the squared distances of
/// Euclidean2, with values that rounding left below zero taken as 0, then square-rooted, so the
/// distance of a point to itself is 0, never NaN. Status and aliasing as for Euclidean2 (no root
/// taken on failure).
class ORVO_API Euclidean : public lazyMatrix {
 public:
  Euclidean(const RMatrix& A, const RMatrix& B);
  Euclidean(const RMatrix&&, const RMatrix&) = delete;
  Euclidean(const RMatrix&, const RMatrix&&) = delete;
  void KickAss(RMatrix& target) const override;

 private:
  const RMatrix& A_;
  const RMatrix& B_;
};

/// Column-wise standardisation to mean 0 and sample standard deviation 1 (divisor h - 1). Works in
/// place (the target may be A). No guard against zero spread: a constant column becomes NaN, as
/// does a one-row matrix. The means and deviations are not returned; no status change.
class ORVO_API Normalize : public lazyMatrix {
 public:
  explicit Normalize(const RMatrix& A);
  Normalize(const RMatrix&&) = delete;
  void KickAss(RMatrix& target) const override;

 private:
  const RMatrix& A_;
};

}  // namespace Orvo

/// Square root of an element; a negative argument gives NaN.
struct mySqrt {
  double operator()(double x) const { return std::sqrt(x); }
};

/// T = C0 + op(A) op(B), the product's A, B and transposition flags taken from `product` (its own
/// alpha and beta are ignored). If T is not C0 (compared by storage) T is first assigned C0
/// (elements, shape, status); built with C0 = T it adds the product in place. Used by the network
/// code to add a bias block to a product.
/// A C0 whose shape is not the product's is a shape error: T is marked failed (OK cleared, info
/// -1) and its elements are not written. Aliasing: T may be C0 (in place), and A or B as for
/// MatrixMultiply.
class MatrixMultiplyAndAdd : public Orvo::lazyMatrix {
 public:
  MatrixMultiplyAndAdd(Orvo::RMatrix& C0, Orvo::MatrixMultiply& product)
      : lazyMatrix(C0.Height(), C0.Width()), C0_(C0), product_(product) {}
  void KickAss(Orvo::RMatrix& target) const override {
    const Orvo::RMatrix& A = product_.A();
    const Orvo::RMatrix& B = product_.B();
    const int rows = product_.transA() ? A.Width() : A.Height();
    const int columns = product_.transB() ? B.Height() : B.Width();
    if (C0_.Height() != rows || C0_.Width() != columns) {
      target.markFailed(-1);
      return;
    }
    if (target.Array() != C0_.Array()) target = C0_;
    target = Orvo::MatrixMultiply(product_.A(), product_.B(), 1.0, 1.0, product_.transA(),
                                  product_.transB());
  }

 private:
  Orvo::RMatrix& C0_;
  Orvo::MatrixMultiply& product_;
};

#endif  // ORVO_MATRIX_HPP
