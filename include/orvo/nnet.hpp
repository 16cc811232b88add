/// @file
/// Feed-forward neural networks with one hidden layer.
///
/// Samples are rows: an input block X has one row per sample and one column per input, an output
/// block one row per sample and one column per output. All blocks are column-major RMatrix.
///
/// FeedForwardNeuralNet is the common base (the three sizes and the operations every model
/// offers); MLP is the multilayer perceptron with logistic hidden units and a linear output layer;
/// RBF is the radial basis function network, trained in one pass.
///
/// Threads: none are used, and every evaluating operation writes the network's own working
/// matrices, so a network (and any expression it handed out) belongs to one thread at a time.
#ifndef ORVO_NNET_HPP
#define ORVO_NNET_HPP

#include <memory>

#include "orvo/config.hpp"
#include "orvo/matrix.hpp"
#include "orvo/memory.hpp"

namespace Orvo {

/// Sizes of a network with one hidden layer, and the three operations every model provides.
/// Models are never deleted through this base (its destructor is protected and not virtual).
class ORVO_API FeedForwardNeuralNet {
 public:
  /// @{
  /// All sizes 0.
  FeedForwardNeuralNet() = default;
  FeedForwardNeuralNet(int ninputs, int nhidden, int noutputs)
      : ninputs_(ninputs), nhidden_(nhidden), noutputs_(noutputs) {}
  FeedForwardNeuralNet(const FeedForwardNeuralNet&) = default;
  /// @}
  /// Copies the three sizes.
  FeedForwardNeuralNet& operator=(const FeedForwardNeuralNet&) = default;

  /// Loads every parameter from w (at least nwts() values) in the model's fixed layout.
  virtual void SetWeights(mvlarray<double>& w) = 0;
  /// Stores every parameter into w (at least nwts() values) in the same layout.
  virtual void GetWeights(mvlarray<double>& w) = 0;
  /// Y = the network function of the sample block X.
  virtual void ForwardPropagate(RMatrix& X, RMatrix& Y) = 0;

  /// @{
  /// The sizes of the input, hidden and output layers.
  int ninputs() const { return ninputs_; }
  int nhidden() const { return nhidden_; }
  int noutputs() const { return noutputs_; }
  /// @}
  /// Length of the flat parameter vector: (ninputs + 1) * nhidden + (nhidden + 1) * noutputs.
  int nwts() const { return (ninputs_ + 1) * nhidden_ + (nhidden_ + 1) * noutputs_; }

 protected:
  ~FeedForwardNeuralNet() = default;

  int ninputs_ = 0;
  int nhidden_ = 0;
  int noutputs_ = 0;
};

/// Multilayer perceptron: H = s(X * Weights1 + 1 * bias1^T) with the logistic s(z) = 1/(1+e^-z)
/// applied element by element (n x nhidden), then Y = H * Weights2 + 1 * bias2^T (n x noutputs).
///
/// Weight vector layout, shared by SetWeights, GetWeights, BackPropagate, the columns of
/// ComputeJacobian and the trainer (length nwts()):
///   [0, ninputs*nhidden)             Weights1 in storage order: index l + j*ninputs is (l, j),
///                                    so the weights into hidden unit j are contiguous
///   next nhidden values              bias1
///   next nhidden*noutputs values     Weights2 in storage order: index j + k*nhidden is (j, k)
///   last noutputs values             bias2
/// The first nhidden*(ninputs+1) values are the hidden layer (hiddenWeightCount()).
///
/// Shapes are the caller's to get right; where an operation has a matrix to report in, a
/// non-conforming shape is reported there (OK flag cleared, info -1) and nothing else is written.
class ORVO_API MLP : public FeedForwardNeuralNet {
 public:
  /// Ridge term added to the diagonal of the normal equations of the output-layer fit.
  static constexpr double OutputRidge = 1e-10;

  /// Evaluation of the network as a deferred expression: (rows of X) x noutputs. Evaluating it
  /// into a target calls the network's ForwardPropagate(X, target). Holds references to the
  /// network and X, which must both outlive it; it reads them when evaluated.
  class ORVO_API MLPFunc : public lazyMatrix {
   public:
    MLPFunc(MLP& network, RMatrix& X);
    MLPFunc(const MLPFunc&) = default;
    void KickAss(RMatrix& target) const override;

   private:
    MLP& network_;
    RMatrix& X_;
  };

  /// The design matrix [1 | H] of the output layer, n x (nhidden + 1), H = s(X * W1 + bias1).
  /// Evaluation overwrites `hidden` with H (n x nhidden); column 0 of the target is 1.0 and
  /// column j + 1 is hidden column j. The logistic goes element by element (Apply<matLogistic>).
  /// If X's width differs from W1's height the target is marked failed (OK cleared, info -1)
  /// and its elements are not written; otherwise its status is left as it was.
  /// Holds references to all operands (and `hidden` is written), which must outlive it.
  class ORVO_API DesignMatrix : public lazyMatrix {
   public:
    DesignMatrix(const RMatrix& W1, const RMatrix& X, RMatrix& hidden,
                 const mvlarray<double>& bias1, int nhidden);
    DesignMatrix(const RMatrix&&, const RMatrix&, RMatrix&, const mvlarray<double>&, int) = delete;
    DesignMatrix(const RMatrix&, const RMatrix&&, RMatrix&, const mvlarray<double>&, int) = delete;
    DesignMatrix(const RMatrix&, const RMatrix&, RMatrix&, const mvlarray<double>&&, int) = delete;
    DesignMatrix(const DesignMatrix&) = default;
    void KickAss(RMatrix& target) const override;

   private:
    const RMatrix& W1_;
    const RMatrix& X_;
    RMatrix& hidden_;
    const mvlarray<double>& bias1_;
    int nhidden_;
  };

  /// Sizes 0; Weights1, Weights2 and the working matrices 1 x 1; empty biases.
  MLP();
  /// Weights1 ninputs x nhidden, Weights2 nhidden x noutputs, bias1 of nhidden and bias2 of
  /// noutputs values, all unset until SetWeights (or a trainer) sets them. A negative size, or
  /// a weight count beyond the int range, throws mvlException.
  MLP(int ninputs, int nhidden, int noutputs);
  /// Copies sizes, weights and biases; the working matrices start 1 x 1, no expression object.
  MLP(const MLP& other);
  /// Copies sizes, weights, biases and working matrices; this network keeps its own expression
  /// object (an outstanding MLPFunc of this network stays valid and now sees the copied weights).
  MLP& operator=(const MLP& other);
  /// Releases the expression object handed out last, if any.
  ~MLP();

  /// @{
  /// The input-to-hidden and hidden-to-output weight matrices; valid for the network's lifetime.
  RMatrix& Weights1() { return weights1_; }
  const RMatrix& Weights1() const { return weights1_; }
  RMatrix& Weights2() { return weights2_; }
  const RMatrix& Weights2() const { return weights2_; }
  /// @}

  /// Length of the hidden-layer part of the weight vector: nhidden * (ninputs + 1).
  int hiddenWeightCount() const { return nhidden_ * (ninputs_ + 1); }

  /// Loads all four blocks from w[0 .. nwts()-1]; w's length is not changed. Exactly nwts()
  /// values are read, whatever shape the weight matrices have (a default network reads none).
  void SetWeights(mvlarray<double>& w) override;
  /// Stores all four blocks into w[0 .. nwts()-1]; w's length is not changed. Exactly nwts()
  /// values are written (a default network writes none).
  void GetWeights(mvlarray<double>& w) override;

  /// Y = network(X). Gives Y the shape (rows of X) x noutputs (its storage is reused when it
  /// already has that shape) and the hidden working matrix (rows of X) x nhidden, then runs the
  /// three-argument form. Y's status is set by it.
  void ForwardPropagate(RMatrix& X, RMatrix& Y) override;
  /// The network function: on return H holds the hidden values and Y the outputs. H must be
  /// n x nhidden and Y n x noutputs (n = rows of X); neither is resized. The logistic runs as one
  /// vector exponential and one vector reciprocal over the whole hidden block.
  /// Status: Y is set OK on success. If X has not ninputs columns, or H or Y has the wrong shape,
  /// Y is marked failed (info -1) and neither H nor Y is written.
  void ForwardPropagate(const RMatrix& X, RMatrix& H, RMatrix& Y);

  /// Returns an MLPFunc over X ((rows of X) x noutputs) that the network owns: it is released by
  /// the next call of operator() or by the network's destruction, and valid until then. X must
  /// stay alive (and keep its shape) until the expression has been evaluated.
  ///     RMatrix Y = net(X);
  lazyMatrix& operator()(RMatrix& X);

  /// Gradient of an error E with respect to the weights, by back-propagation.
  ///   X: the n x ninputs input block; H: the hidden values of the forward pass on X (n x nhidden);
  ///   D: dE/dY for every output (n x noutputs); for E = 1/2 sum (Y - T)^2, D = Y - T.
  /// Writes into g from its start, in the weight vector layout: the Weights1 and bias1 gradients;
  /// then, only if g holds at least nwts() values, the Weights2 and bias2 gradients. An array of
  /// hiddenWeightCount() values so receives the hidden-layer gradient alone. g's length is not
  /// changed. Overwrites the network's gradient and delta working matrices.
  /// If g is shorter than hiddenWeightCount(), every element of g is set to NaN; if the shapes of
  /// X, H and D do not conform, the elements that would have been written are set to NaN.
  void BackPropagate(const RMatrix& X, const RMatrix& H, const RMatrix& D, mvlarray<double>& g);

  /// Jacobian of the outputs with respect to the weights, at the inputs X (n samples).
  /// J must have n * noutputs rows and either hiddenWeightCount() columns (hidden layer only) or
  /// at least nwts() columns (all weights; columns past nwts() are left alone); it is not resized.
  /// Row k*n + i belongs to output k of sample i (the column-by-column order of an n x noutputs
  /// output block), column p to weight p of the weight vector layout. Overwrites the hidden and
  /// delta working matrices. Status: J is set OK; a J of any other shape, or an X without
  /// ninputs columns, is marked failed (info -1) and not written.
  void ComputeJacobian(const RMatrix& X, RMatrix& J);

  /// Refits the output layer to the targets T (n x noutputs) by regularised least squares with
  /// the hidden layer fixed: with the design matrix F = [1 | H] (n x (nhidden + 1)), Z solves
  /// (F^T F + OutputRidge I) Z = F^T T; bias2 becomes row 0 of Z and Weights2 rows 1..nhidden.
  /// Y receives the outputs of the refitted network on X, F * Z (shape n x noutputs), and is set
  /// OK. Overwrites the design, hidden and solution working matrices.
  /// Failure: T whose width is not noutputs() marks Y failed (info -1) and changes nothing
  /// else. If the design matrix cannot be formed (X without ninputs columns: info -1) or the
  /// solve fails (T without n rows: info -1; normal equations not positive definite: the
  /// factorisation's info), the output layer is left unchanged, Y receives the outputs of the
  /// unchanged network when X conforms (otherwise Y's elements are not written) and Y is marked
  /// failed with that info. Non-finite data is not detected: it makes the fitted weights
  /// non-finite.
  void ComputeOutputWeights(const RMatrix& X, const RMatrix& T, RMatrix& Y);

 private:
  // H = s(X * Weights1 + bias1) into an H of shape n x nhidden, through the vector kernels.
  void hiddenLayer(const RMatrix& X, RMatrix& H);
  // Sets every row of M (height x values.Length()) to `values`.
  static void fillRows(RMatrix& M, const mvlarray<double>& values);

  RMatrix weights1_;
  RMatrix weights2_;
  mvlarray<double> bias1_;
  mvlarray<double> bias2_;
  RMatrix design_;
  RMatrix hidden_;
  RMatrix solution_;
  RMatrix gradient1_;
  RMatrix gradient2_;
  RMatrix delta_;
  std::unique_ptr<MLPFunc> expression_;
};

// ---------------------------------------------------------------------------------------------
/// Radial basis function network: one layer of inverse-quadratic basis functions and a linear
/// output layer with bias. For a sample x (a row of X), with centres c_k and widths s_k > 0:
///     d_k = |x - c_k|^2,  phi_k = 1 / (1 + d_k / (2 s_k)),  y_o = W(0, o) + sum_k phi_k W(k+1, o)
/// so phi_k is 1 at its centre and 0.5 at squared distance 2 s_k.
///
/// Parameters: the centres (nhidden x ninputs, row k is c_k), the widths (nhidden values) and the
/// output weights W ((nhidden + 1) x noutputs, row 0 the biases). Weight vector layout of
/// SetWeights and GetWeights (length nwts() = nhidden*ninputs + nhidden + (nhidden+1)*noutputs),
/// matrices packed row by row, unlike the perceptron's:
///   [0, nhidden*ninputs)          centres: index k*ninputs + l holds centres(k, l)
///   next nhidden values           widths: index nhidden*ninputs + k holds s_k
///   last (nhidden+1)*noutputs     W row by row: index r*noutputs + o holds W(r, o), biases first
///
/// Training (Train) is one pass, not iterative: centres by k-means of the samples (or the samples
/// themselves), widths from the distances between centres, W by the regularised least-squares fit
/// to the targets. The three sizes always describe the parameters as they stand: training sets
/// ninputs to the width of X, noutputs to the width of T and nhidden to the number of centres it
/// chose (see Train), so nwts() and the layout follow.
///
/// Copies are deep. A network is used by one thread at a time.
class ORVO_API RBF : public FeedForwardNeuralNet {
 public:
  /// Ridge term added to the diagonal of the normal equations of the output-layer fit.
  static constexpr double OutputRidge = 1e-10;
  /// Seed a new network trains with.
  static constexpr int DefaultSeed = 24;
  /// The squared distance a centre without a usable neighbour is given in the nearest-centre rule
  /// (the width is four times it): its basis function is 1 to within rounding wherever the data
  /// lie, so it adds a second constant column to the fit.
  static constexpr double NoNeighbourDistance = 1.0e100;
  /// The nearest-centre rule takes four times the squared distance to the nearest centre.
  static constexpr double NearestWidthFactor = 4.0;

  /// The design matrix [1 | phi] of the output layer over the samples X: (rows of X) x
  /// (rows of centres + 1); column 0 is 1.0, column k + 1 holds phi_k of every sample. The squared
  /// distances are Euclidean2(X, centres), formed in the target itself, then each is turned into
  /// 1 / (1 - d * (1 / (-2 s_k))). Holds references to the operands, which must outlive it; it
  /// reads them when evaluated.
  /// Status: set OK. If X's width differs from the centres' width, there are not as many widths
  /// as centres, or the target is X itself, the target is marked failed (info -1) and its
  /// elements are not written.
  class ORVO_API DesignMatrix : public lazyMatrix {
   public:
    DesignMatrix(const RMatrix& centres, const Vector<double>& widths, const RMatrix& X);
    DesignMatrix(const RMatrix&&, const Vector<double>&, const RMatrix&) = delete;
    DesignMatrix(const RMatrix&, const Vector<double>&&, const RMatrix&) = delete;
    DesignMatrix(const RMatrix&, const Vector<double>&, const RMatrix&&) = delete;
    DesignMatrix(const DesignMatrix&) = default;
    void KickAss(RMatrix& target) const override;

   private:
    const RMatrix& centres_;
    const Vector<double>& widths_;
    const RMatrix& X_;
  };

  /// Centres nhidden x ninputs, nhidden widths, output weights (nhidden + 1) x noutputs, all
  /// unset until SetWeights or Train sets them; seed DefaultSeed. A negative size, or sizes whose
  /// weight count nwts() exceeds the int range, throw mvlException before any storage is taken.
  RBF(int ninputs, int nhidden, int noutputs);
  /// @{
  /// Copy the sizes, centres, widths, output weights and seed; the target takes the source's
  /// shapes.
  RBF(const RBF& other);
  RBF& operator=(const RBF& other);
  ~RBF();
  /// @}

  /// Seed of the generator the next training builds (see Train); 0 means the clock.
  void Seed(int seed) { seed_ = seed; }

  /// @{
  /// The trained parameters: centres, widths and output weights.
  const RMatrix& Centres() const { return centres_; }
  const Vector<double>& Widths() const { return widths_; }
  const RMatrix& OutputWeights() const { return outputWeights_; }
  /// @}

  /// @{
  /// Load or store every parameter in the layout above, w[0 .. nwts()-1]; w's length is not
  /// changed. The counts are the current shapes. Loaded widths must be positive (a zero width
  /// makes its basis function infinite at its centre).
  void SetWeights(mvlarray<double>& w) override;
  void GetWeights(mvlarray<double>& w) override;
  /// @}

  /// Y = network(X): Y takes the shape (rows of X) x noutputs (its storage is reused when it has
  /// it already) and is set OK. The samples go through in blocks of rows, so the scratch (a block
  /// of the design matrix) stays small however many samples there are; the values are those of
  /// DesignMatrix(X) * W. If X has not ninputs columns, or Y is X (the same matrix or storage),
  /// Y is marked failed (info -1) and its elements are not written.
  void ForwardPropagate(RMatrix& X, RMatrix& Y) override;

  /// @{
  /// Fit centres, widths and output weights to the inputs X (n x d) and targets T (n x p) and
  /// return the root-mean-square training error sqrt(sum_i |T_i - P_i|^2 / (n p)), P the fitted
  /// network's outputs on X. Afterwards ninputs = d, noutputs = p and nhidden = the number of
  /// centres. X and T are only read.
  ///
  /// Both forms build MTRng(seed) (so training again with the same seed repeats its draws) and
  /// take sub-seeds for KMeans and RandPerm as raw draws iRand(0, 0), in the order below. Those
  /// treat a seed <= 0 as "seed from the clock", so a run is repeatable only when the sub-seeds
  /// it draws are positive. The default seed 24 draws a negative first sub-seed: with it the
  /// k-means start (and the subsample) come from the clock.
  ///
  /// The number of centres asked for is the nhidden the network was built with; a training that
  /// places fewer (see below) does not lower it for the next one.
  ///
  /// Train(X, T): if nhidden < n, centres = KMeans(X, nhidden, first draw); otherwise every
  /// sample is a centre, no draw is taken, and the network has n basis functions (also when it
  /// was built with more: there are no further centres to place). Width of centre k: four times
  /// the squared distance to its nearest other centre.
  ///
  /// Train(X, T, nsub), nsub the size of the random subsample that is clustered: if nhidden > n
  /// every sample is a centre (as above); else if nsub < nhidden or nsub >= n, centres =
  /// KMeans(X, nhidden, first draw); otherwise p = RandPerm(n, 0, first draw), the rows
  /// p[0 .. nsub-1] of X are clustered: KMeans(subsample, nhidden, second draw). Width of centre
  /// k: the squared distance to its farthest other centre.
  ///
  /// Distances between centres are formed from coordinate differences, so coinciding centres are
  /// exactly 0 apart (squared distances below the smallest normal double count as 0). A centre
  /// whose rule gives 0 (it coincides with its nearest neighbour, or with every other centre) takes
  /// instead the smallest non-zero squared distance to another centre (times four in the
  /// nearest-centre rule), and a centre with no other centre at a non-zero distance (a single
  /// centre, or all centres coinciding) takes NearestWidthFactor * NoNeighbourDistance. Widths are
  /// thus positive and finite, and the network's outputs are finite for finite inputs.
  ///
  /// Output layer: W = LsqSolve(DesignMatrix(X), T, OutputRidge). Should those normal equations
  /// not be numerically positive definite even so (many nearly coinciding centres), the fit is
  /// repeated with the ridge a hundred times larger until the factorisation succeeds.
  ///
  /// Preconditions, checked: n >= 1, T has n rows, X and T have at least one column, nhidden >= 1;
  /// otherwise nothing changes and the result is NaN. (nsub <= 0 simply means no subsample.) Work
  /// and storage: the design matrix n x (m + 1) for m centres, and O(m^2 d) for the widths;
  /// KMeans's scratch.
  double Train(RMatrix& X, RMatrix& T);
  double Train(RMatrix& X, RMatrix& T, int nsub);
  /// @}

 private:
  // Which width rule a training run applies.
  enum class WidthRule { NearestTimesFour, Farthest };
  // The training steps after the centres are placed: widths, output layer, error.
  double fitAfterCentres(const RMatrix& X, const RMatrix& T, WidthRule rule);
  void computeWidths(WidthRule rule);
  bool trainable(const RMatrix& X, const RMatrix& T) const;

  RMatrix centres_;
  Vector<double> widths_;
  RMatrix outputWeights_;
  int seed_ = DefaultSeed;
  // The number of centres asked for at construction; nhidden is the number training placed.
  int requestedCentres_;
};

}  // namespace Orvo

// The perceptron trainer, kept in a header of its own.
#include "orvo/mlp_trainer.hpp"

#endif  // ORVO_NNET_HPP
