/// @file
/// Table interpolators: TableInterpolator (two radial basis networks trained on a table) and
/// pTableInterpolator (bilinear interpolation on a rectangular grid filled through a callback).
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

/// Interpolation of a table through two radial basis function networks trained once, at
/// construction. The table is three blocks with one row per entry: I (n x 2, two input
/// variables), X (n x q, intermediate variables) and Y (n x p, the tabulated values). The first
/// network learns X from I, the second Y from X; PredictI estimates X at new values of I,
/// PredictX estimates Y at new values of X.
///
/// The two columns of I are standardised (mean 0, standard deviation 1 with divisor n) in the
/// caller's own matrix by the constructor, and every input of PredictI likewise in place, with the
/// table's mean and scale: x <- (x - mean) * (1 / scale). A column whose values are all equal has
/// no spread; its scale is taken as 1, so it is only centred. X is used unchanged.
///
/// Both networks are RBF(.., ncentres, ..) trained by the three-argument Train with a subsample of
/// ClusterSubsample rows: tables of at most that many rows are clustered whole, larger ones
/// through a random subsample (and whole whenever ncentres exceeds it). A table of fewer rows
/// than ncentres uses its rows as centres. Both keep the default seed RBF::DefaultSeed, whose
/// first sub-seed is negative: the k-means start (and the subsample) come from the clock, so two
/// interpolators built from one table can differ slightly, and so can their errors.
///
/// Preconditions: I has exactly two columns; X and Y have as many rows as I (n >= 1) and at least
/// one column; ncentres >= 1. These are checked: otherwise nothing is trained, I is left as it was,
/// GetErrors gives NaN for both, and every prediction marks its target failed (OK cleared, info -1)
/// without touching its input. An ncentres whose networks' weight counts exceed the int range
/// throws mvlException (as RBF's constructor does) before anything is touched.
///
/// The interpolator references I, X and Y (they must outlive it) and owns its networks and the
/// expression it handed out last. One thread at a time.
class ORVO_API TableInterpolator {
 public:
  static constexpr int ClusterSubsample = 1000;

  /// One network over an input block, deferred: (rows of input) x (the network's noutputs()).
  /// Evaluating it into a target calls the network's ForwardPropagate(input, target), which gives
  /// the target its final shape and status. A null network marks the target failed (info -1).
  /// Holds a pointer to the network and a reference to the input, which must outlive it.
  class ORVO_API RBFRun : public lazyMatrix {
   public:
    RBFRun(RBF* network, RMatrix& input);
    RBFRun(const RBFRun&) = default;
    void KickAss(RMatrix& target) const override;

   private:
    RBF* network_;
    RMatrix& input_;
  };

  /// Standardises I in place, then trains both networks with ncentres centres each (see above).
  TableInterpolator(RMatrix& I, RMatrix& X, RMatrix& Y, int ncentres);
  /// @{
  /// Same references, copies of both networks, errors, mean and scale; no expression object (the
  /// source keeps its own).
  TableInterpolator(const TableInterpolator& other);
  TableInterpolator& operator=(const TableInterpolator&) = delete;
  /// @}
  /// Releases the expression handed out last, if any.
  ~TableInterpolator();

  /// The root-mean-square training errors of the first (I -> X) and second (X -> Y) network.
  void GetErrors(double& first, double& second) const {
    first = firstError_;
    second = secondError_;
  }

  /// @{
  /// Estimates of X at the inputs I2 (m x 2). Both forms first standardise I2 in place (calling
  /// again on the same matrix standardises it again); an I2 without two columns is not touched
  /// and the result fails (info -1). The one-argument form returns a deferred RBFRun over I2 that
  /// the interpolator owns: it is released by the next one-argument PredictI or PredictX call or
  /// by the interpolator's destruction, and valid until then; I2 must stay alive until it is
  /// evaluated. The two-argument form writes out ((rows of I2) x columns of X) directly.
  lazyMatrix& PredictI(RMatrix& I2);
  void PredictI(RMatrix& I2, RMatrix& out);
  /// @}
  /// @{
  /// Estimates of Y at the intermediate values X2 (m x columns of X), which are not modified.
  /// Forms and ownership as for PredictI.
  lazyMatrix& PredictX(RMatrix& X2);
  void PredictX(RMatrix& X2, RMatrix& out);
  /// @}

  /// @{
  /// The trained networks: the first maps I to X, the second X to Y.
  const RBF& FirstNetwork() const { return first_; }
  const RBF& SecondNetwork() const { return second_; }
  /// @}
  /// @{
  /// Mean and scale of the two columns of I over the table.
  const Vector<double>& Mean() const { return mean_; }
  const Vector<double>& Scale() const { return scale_; }
  /// @}

 private:
  // Loading a saved record replaces the trained state wholesale.
  friend ORVO_API void LoadModel(std::istream& in, TableInterpolator& interpolator);
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

/// The function a grid interpolator tabulates: returns f(x, y), receiving x and y in this order.
/// It carries no data; the caller owns the object and keeps it alive as long as any interpolator
/// (or copy of one) that was built with it. It is called only while the grid is built or extended
/// (Initialize, AddXvar, AddYvar), never by a query, and must not change the interpolator that
/// calls it. If it throws, the exception reaches the caller of that operation, which then leaves
/// the grid and table exactly as they were before the call.
class FunctorBase_pTableInterpolator {
 public:
  virtual double operator()(double x, double y) = 0;

 protected:
  ~FunctorBase_pTableInterpolator() = default;
};

namespace detail {
/// Grids and table of a pTableInterpolator; defined by the library.
struct GridTableStorage;
}  // namespace detail

// ---------------------------------------------------------------------------------------------
/// pTableInterpolator: f(x, y) tabulated through a callback on a rectangular grid, queried by
/// bilinear interpolation.
///
/// Grid. Two strictly increasing coordinate lists, x_0 < ... < x_{nX-1} and y_0 < ... < y_{nY-1},
/// and the table T[i][j] = f(x_i, y_j): one row per x value and one column per y value, in grid
/// order. The grid starts empty and only grows: Initialize adds two arithmetic sequences,
/// AddXvar and AddYvar one value at a time, in any order and mixed freely; new values are merged
/// into their sorted place. A value equal (==) to one already on its axis adds nothing and calls
/// nothing. A value that is not a number is refused in the same way, since it has no place in a
/// sorted grid.
///
/// Callback calls. Exactly one per grid point evaluated: nY per new x value (AddXvar), nX per new
/// y value (AddYvar), and nX * nY over the whole merged grid per Initialize (which evaluates every
/// point again). A query never calls it.
///
/// Query (Interpolate). Each coordinate is located by bisection, first checking the interval of
/// the previous query on that axis: x in [x_i, x_{i+1}) uses interval i, x = x_{nX-1} the last
/// interval, and likewise for y. Then, with ty = (y - y_j) / (y_{j+1} - y_j) and
/// tx = (x - x_i) / (x_{i+1} - x_i), the result is tx * (c1 - c0) + c0 with
/// c0 = (T[i][j+1] - T[i][j]) * ty + T[i][j] and c1 = (T[i+1][j+1] - T[i+1][j]) * ty + T[i+1][j],
/// so a query on a grid point returns the tabulated value exactly (on the last value of an axis,
/// which lies in the last interval, up to the rounding of (c1 - c0) + c0). Outside the grid, on an
/// axis with fewer than two values, and for an argument that is not a number, the result is
/// OutOfRange.
///
/// Derived classes. Interpolate, Train and SetOption are virtual, in this order. Every
/// Initialize, AddXvar and AddYvar call (even one that adds nothing) marks the interpolator as
/// changed; the next Interpolate then calls Train through the virtual table and clears the mark
/// when it returns, so an overriding Train runs exactly once before the first query after each
/// change (and again on the next query if it threw). The destructor is not virtual: never delete
/// a derived interpolator through a pointer to this class.
///
/// Storage. Grids and table live on the general heap (the tracked counters of Orvomalloc do not
/// see them) in one block shared by an interpolator and its copies through a holder count. The
/// first Initialize, AddXvar or AddYvar that changes a sharing interpolator gives it a block of
/// its own, so its copies never see the change; the last holder releases the block. Arrays grow
/// their capacity by 10 elements whenever an insertion finds them full; inserting a value moves
/// the later grid values and rows (or, for a y value, the later entries of every row) up by one.
/// Initialize builds a new block of the merged grid and swaps it in only once every callback has
/// returned, so for a moment it holds the old and the new table. Counts are 32-bit: a grid that
/// would pass 2^31 - 1 values on an axis, or storage the heap cannot supply, raises
/// mvlException and leaves the interpolator unchanged.
///
/// Threads. Queries store their intervals in the object, so one object serves one thread at a
/// time; copies may be queried from different threads, but copying, changing or destroying any
/// of the interpolators that share a block must not overlap with other use of that group.
class ORVO_API pTableInterpolator {
 public:
  /// The value of every query that falls outside the grid.
  static constexpr double OutOfRange = 2.14365e-100;

  /// An empty grid bound to f (referenced, not owned), marked unchanged.
  explicit pTableInterpolator(FunctorBase_pTableInterpolator& f);
  /// Shares the grids and table of other (no copying of numbers), with its callback, its changed
  /// mark and its last query intervals.
  pTableInterpolator(const pTableInterpolator& other);
  /// Drops the present block and shares other's, as the copy constructor does.
  pTableInterpolator& operator=(const pTableInterpolator& other);
  /// Drops this interpolator's hold on the block; the last holder releases it.
  ~pTableInterpolator();

  /// Bilinear interpolation at (x, y), or OutOfRange (see above). Calls Train first if changed.
  virtual double Interpolate(double x, double y);
  /// Preparation hook for derived classes, called by Interpolate after a change. Clears the
  /// changed mark and does nothing else here.
  virtual void Train();
  /// Accepts a named option for derived classes; this class ignores every option.
  virtual void SetOption(char* name, double value);

  /// Adds x0 + i * dx for i = 0 ... nx - 1 (computed as x0 + double(i) * dx) to the x grid and
  /// y0 + j * dy for j = 0 ... ny - 1 to the y grid, skipping values already present (so dx = 0
  /// adds one value at most, and the table gets one row per distinct x value and one column per
  /// distinct y value, never a surplus one), then evaluates the whole table row by row,
  /// nX * nY callback calls. nx <= 0 or ny <= 0 adds nothing on that axis.
  void Initialize(double x0, double dx, int nx, double y0, double dy, int ny);
  /// Adds one x value and evaluates its row, f(x, y_j) for j = 0 ... nY - 1 in this order.
  void AddXvar(double x);
  /// Adds one y value and evaluates its column, f(x_i, y) for i = 0 ... nX - 1 in this order.
  void AddYvar(double y);

  /// Writes the table as text: "Table( " nX " x " nY ")" and a line end; then each row's values
  /// with the stream's own formatting (precision, fixed or scientific: whatever the caller has
  /// set stays in force) right-aligned in fields of width 15, a space after each value except that
  /// every fourth value of a row is followed by a line end instead; a line end closing each row,
  /// followed by a space, or by one more line end after every fourth row; a final line end. Every
  /// line end is std::endl (newline and flush). The counts are always written in decimal. The
  /// width is set just before each value, so it pads nothing else and, even for rows without
  /// values, is not left pending on the caller's stream.
  void Write2Stream(std::ostream& os) const;

  /// @{
  /// The grid and table, for inspection and for derived classes preparing themselves in Train.
  /// Indices are 0-based and not checked: 0 <= i < nX(), 0 <= j < nY().
  int nX() const;
  int nY() const;
  double getX(int i) const;
  double getY(int j) const;
  /// @}
  /// T[i][j] = f(x_i, y_j).
  double getValue(int i, int j) const;

 private:
  void makeOwnStorage();

  // Grids and table, shared with copies; null until a value is first added.
  detail::GridTableStorage* storage_;
  int xLower_;  // interval (xLower_, xLower_ + 1) found by the last x lookup
  int yLower_;  // the same for y
  FunctorBase_pTableInterpolator* callback_;  // not owned
  bool changed_;
};

}  // namespace Orvo

#endif  // ORVO_INTERP_HPP
