// Callback interfaces between the solvers and their callers, and the solver drivers.
//
// A solver never holds the caller's problem: whenever it needs function values, derivatives or a
// progress decision it calls back through one of the small interfaces below, each with a single
// operation. The letters name the argument kinds in order (A: mvlarray of doubles, M: RMatrix,
// I: IMatrix, R: double) and the letter after "ret" the result. The caller owns every callback
// object and keeps it alive for the duration of the call that receives it; the library never
// copies or deletes one. Callbacks are invoked only between the solver's own steps, on the
// calling thread, and their outputs are read as soon as they return.
#ifndef ORVO_NONLINEAR_HPP
#define ORVO_NONLINEAR_HPP

#include "orvo/config.hpp"
#include "orvo/matrix.hpp"
#include "orvo/memory.hpp"

namespace Orvo {

// Evaluate a vector function at x and write all its values into y (y already has its length).
class FunctorBase_AA {
 public:
  virtual void operator()(mvlarray<double>& x, mvlarray<double>& y) = 0;

 protected:
  ~FunctorBase_AA() = default;
};

// Evaluate the Jacobian of the same vector function at x into J: J(i, j) = d f_i / d x_j, every
// element written.
class FunctorBase_AM {
 public:
  virtual void operator()(mvlarray<double>& x, RMatrix& J) = 0;

 protected:
  ~FunctorBase_AM() = default;
};

// Return a scalar objective at x and write its gradient (all n components) into g.
class FunctorBase_AAretR {
 public:
  virtual double operator()(mvlarray<double>& x, mvlarray<double>& g) = 0;

 protected:
  ~FunctorBase_AAretR() = default;
};

// Write function or constraint values into c and their first derivatives into J through
// IMatrix::SetValue (a dense matrix: gradient of constraint k in column k; a sparse Jacobian: each
// nonzero entry added, the matrix emptied by the solver before every call).
class FunctorBase_AAI {
 public:
  virtual void operator()(mvlarray<double>& x, mvlarray<double>& c, IMatrix& J) = 0;

 protected:
  ~FunctorBase_AAI() = default;
};

// Return the value of a scalar function of one variable.
class FunctorBase_RretR {
 public:
  virtual double operator()(double x) = 0;

 protected:
  ~FunctorBase_RretR() = default;
};

// Progress report (e: current error, r: relative change); nonzero lets the caller go on, zero
// makes it stop.
class FunctorBase_RRretI {
 public:
  virtual int operator()(double e, double r) = 0;

 protected:
  ~FunctorBase_RRretI() = default;
};

// Bind a member function of an existing object to an interface. The object is not owned and must
// outlive the binding; copies call the same member of the same object.
template <class T>
class Functor_AA : public FunctorBase_AA {
 public:
  using Member = void (T::*)(mvlarray<double>&, mvlarray<double>&);
  Functor_AA(T* object, Member member) : object_(object), member_(member) {}
  void operator()(mvlarray<double>& x, mvlarray<double>& y) override { (object_->*member_)(x, y); }

 private:
  T* object_;
  Member member_;
};

template <class T>
class Functor_AM : public FunctorBase_AM {
 public:
  using Member = void (T::*)(mvlarray<double>&, RMatrix&);
  Functor_AM(T* object, Member member) : object_(object), member_(member) {}
  void operator()(mvlarray<double>& x, RMatrix& J) override { (object_->*member_)(x, J); }

 private:
  T* object_;
  Member member_;
};

template <class T>
class Functor_AAretR : public FunctorBase_AAretR {
 public:
  using Member = double (T::*)(mvlarray<double>&, mvlarray<double>&);
  Functor_AAretR(T* object, Member member) : object_(object), member_(member) {}
  double operator()(mvlarray<double>& x, mvlarray<double>& g) override {
    return (object_->*member_)(x, g);
  }

 private:
  T* object_;
  Member member_;
};

}  // namespace Orvo

#endif  // ORVO_NONLINEAR_HPP
