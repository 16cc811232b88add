// Table interpolators: TableInterpolator (two radial basis networks trained on a table) and
// pTableInterpolator (bilinear interpolation on a rectangular grid filled through a callback).
#ifndef ORVO_INTERP_HPP
#define ORVO_INTERP_HPP

#include <iosfwd>

#include "orvo/config.hpp"
#include "orvo/matrix.hpp"
#include "orvo/memory.hpp"
#include "orvo/nnet.hpp"

namespace Orvo {

// ---------------------------------------------------------------------------------------------
// TableInterpolator
// ---------------------------------------------------------------------------------------------

// Interpolation of a table through two radial basis function networks trained once, at
// construction. The table is three blocks with one row per entry: I (n x 2, two input
// variables), X (n x q, intermediate variables) and Y (n x p, the tabulated values). The first
// network learns X from I, the second Y from X; PredictI estimates X at new values of I,
// PredictX estimates Y at new values of X.
//
// The two columns of I are standardised (mean 0, standard deviation 1 with divisor n) in the
// caller's own matrix by the constructor, and every input of PredictI likewise in place, with the
// table's mean and scale: x <- (x - mean) * (1 / scale). A column whose values are all equal has
// no spread; its scale is taken as 1, so it is only centred. X is used unchanged.
//
// Both networks are RBF(.., ncentres, ..) trained by the three-argument Train with a subsample of
// ClusterSubsample rows: tables of at most that many rows are clustered whole, larger ones
// through a random subsample (and whole whenever ncentres exceeds it). A table of fewer rows
// than ncentres uses its rows as centres. Both keep the default seed RBF::DefaultSeed, whose
// first sub-seed is negative: the k-means start (and the subsample) come from the clock, so two
// interpolators built from one table can differ slightly, and so can their errors.
//
// Preconditions: I has exactly two columns; X and Y have as many rows as I (n >= 1). These are
// checked: otherwise nothing is trained, I is left as it was, GetErrors gives NaN for both, and
// every prediction marks its target failed (OK cleared, info -1) without touching its input.
//
// The interpolator references I, X and Y (they must outlive it) and owns its networks and the
// expression it handed out last. One thread at a time.
class ORVO_API TableInterpolator {
 public:
  static constexpr int ClusterSubsample = 1000;

  // One network over an input block, deferred: (rows of input) x (the network's noutputs()).
  // Evaluating it into a target calls the network's ForwardPropagate(input, target), which gives
  // the target its final shape and status. A null network marks the target failed (info -1).
  // Holds a pointer to the network and a reference to the input, which must outlive it.
  class ORVO_API RBFRun : public lazyMatrix {
   public:
    RBFRun(RBF* network, RMatrix& input);
    RBFRun(const RBFRun&) = default;
    void KickAss(RMatrix& target) const override;

   private:
    RBF* network_;
    RMatrix& input_;
  };

  // Standardises I in place, then trains both networks with ncentres centres each (see above).
  TableInterpolator(RMatrix& I, RMatrix& X, RMatrix& Y, int ncentres);
  // Same references, copies of both networks, errors, mean and scale; no expression object (the
  // source keeps its own).
  TableInterpolator(const TableInterpolator& other);
  TableInterpolator& operator=(const TableInterpolator&) = delete;
  // Releases the expression handed out last, if any.
  ~TableInterpolator();

  // The root-mean-square training errors of the first (I -> X) and second (X -> Y) network.
  void GetErrors(double& first, double& second) const {
    first = firstError_;
    second = secondError_;
  }

  // Estimates of X at the inputs I2 (m x 2). Both forms first standardise I2 in place (calling
  // again on the same matrix standardises it again); an I2 without two columns is not touched
  // and the result fails (info -1). The one-argument form returns a deferred RBFRun over I2 that
  // the interpolator owns: it is released by the next one-argument PredictI or PredictX call or
  // by the interpolator's destruction, and valid until then; I2 must stay alive until it is
  // evaluated. The two-argument form writes out ((rows of I2) x columns of X) directly.
  lazyMatrix& PredictI(RMatrix& I2);
  void PredictI(RMatrix& I2, RMatrix& out);
  // Estimates of Y at the intermediate values X2 (m x columns of X), which are not modified.
  // Forms and ownership as for PredictI.
  lazyMatrix& PredictX(RMatrix& X2);
  void PredictX(RMatrix& X2, RMatrix& out);

  const RBF& FirstNetwork() const { return first_; }
  const RBF& SecondNetwork() const { return second_; }
  // Mean and scale of the two columns of I over the table.
  const Vector<double>& Mean() const { return mean_; }
  const Vector<double>& Scale() const { return scale_; }

 private:
  // Standardises columns 0 and 1 of a two-column block in place; false (untouched) otherwise.
  bool standardise(RMatrix& inputs) const;

  std::unique_ptr<RBFRun> expression_;
  RMatrix& I_;
  RMatrix& X_;
  RMatrix& Y_;
  RBF first_;
  RBF second_;
  double firstError_;
  double secondError_;
  Vector<double> mean_;
  Vector<double> scale_;
  bool trained_ = false;  // the table met the preconditions and both networks are trained
};

// ---------------------------------------------------------------------------------------------
// pTableInterpolator
// ---------------------------------------------------------------------------------------------

// (grid table interpolator: declarations go here)

}  // namespace Orvo

#endif  // ORVO_INTERP_HPP
