// Feed-forward neural networks with one hidden layer.
//
// Samples are rows: an input block X has one row per sample and one column per input, an output
// block one row per sample and one column per output. All blocks are column-major RMatrix.
//
// FeedForwardNeuralNet is the common base (the three sizes and the operations every model
// offers); MLP is the multilayer perceptron with logistic hidden units and a linear output layer.
//
// Threads: none are used, and every evaluating operation writes the network's own working
// matrices, so a network (and any expression it handed out) belongs to one thread at a time.
#ifndef ORVO_NNET_HPP
#define ORVO_NNET_HPP

#include <memory>

#include "orvo/config.hpp"
#include "orvo/matrix.hpp"
#include "orvo/memory.hpp"

namespace Orvo {

// Sizes of a network with one hidden layer, and the three operations every model provides.
// Models are never deleted through this base (its destructor is protected and not virtual).
class ORVO_API FeedForwardNeuralNet {
 public:
  // All sizes 0.
  FeedForwardNeuralNet() = default;
  FeedForwardNeuralNet(int ninputs, int nhidden, int noutputs)
      : ninputs_(ninputs), nhidden_(nhidden), noutputs_(noutputs) {}
  FeedForwardNeuralNet(const FeedForwardNeuralNet&) = default;
  // Copies the three sizes.
  FeedForwardNeuralNet& operator=(const FeedForwardNeuralNet&) = default;

  // Loads every parameter from w (at least nwts() values) in the model's fixed layout.
  virtual void SetWeights(mvlarray<double>& w) = 0;
  // Stores every parameter into w (at least nwts() values) in the same layout.
  virtual void GetWeights(mvlarray<double>& w) = 0;
  // Y = the network function of the sample block X.
  virtual void ForwardPropagate(RMatrix& X, RMatrix& Y) = 0;

  int ninputs() const { return ninputs_; }
  int nhidden() const { return nhidden_; }
  int noutputs() const { return noutputs_; }
  // Length of the flat parameter vector: (ninputs + 1) * nhidden + (nhidden + 1) * noutputs.
  int nwts() const { return (ninputs_ + 1) * nhidden_ + (nhidden_ + 1) * noutputs_; }

 protected:
  ~FeedForwardNeuralNet() = default;

  int ninputs_ = 0;
  int nhidden_ = 0;
  int noutputs_ = 0;
};

// Multilayer perceptron: H = s(X * Weights1 + 1 * bias1^T) with the logistic s(z) = 1/(1+e^-z)
// applied element by element (n x nhidden), then Y = H * Weights2 + 1 * bias2^T (n x noutputs).
//
// Weight vector layout, shared by SetWeights, GetWeights, BackPropagate, the columns of
// ComputeJacobian and the trainer (length nwts()):
//   [0, ninputs*nhidden)             Weights1 in storage order: index l + j*ninputs is (l, j),
//                                    so the weights into hidden unit j are contiguous
//   next nhidden values              bias1
//   next nhidden*noutputs values     Weights2 in storage order: index j + k*nhidden is (j, k)
//   last noutputs values             bias2
// The first nhidden*(ninputs+1) values are the hidden layer (hiddenWeightCount()).
//
// Shapes are the caller's to get right; where an operation has a matrix to report in, a
// non-conforming shape is reported there (OK flag cleared, info -1) and nothing else is written.
class ORVO_API MLP : public FeedForwardNeuralNet {
 public:
  // Ridge term added to the diagonal of the normal equations of the output-layer fit.
  static constexpr double OutputRidge = 1e-10;

  // Evaluation of the network as a deferred expression: (rows of X) x noutputs. Evaluating it
  // into a target calls the network's ForwardPropagate(X, target). Holds references to the
  // network and X, which must both outlive it; it reads them when evaluated.
  class ORVO_API MLPFunc : public lazyMatrix {
   public:
    MLPFunc(MLP& network, RMatrix& X);
    MLPFunc(const MLPFunc&) = default;
    void KickAss(RMatrix& target) const override;

   private:
    MLP& network_;
    RMatrix& X_;
  };

  // The design matrix [1 | H] of the output layer, n x (nhidden + 1), H = s(X * W1 + bias1).
  // Evaluation overwrites `hidden` with H (n x nhidden); column 0 of the target is 1.0 and
  // column j + 1 is hidden column j. The logistic goes element by element (Apply<matLogistic>).
  // If X's width differs from W1's height the target is marked failed (OK cleared, info -1)
  // and its elements are not written; otherwise its status is left as it was.
  // Holds references to all operands (and `hidden` is written), which must outlive it.
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

  // Sizes 0; Weights1, Weights2 and the working matrices 1 x 1; empty biases.
  MLP();
  // Weights1 ninputs x nhidden, Weights2 nhidden x noutputs, bias1 of nhidden and bias2 of
  // noutputs values, all unset until SetWeights (or a trainer) sets them. A negative size, or
  // a weight count beyond the int range, throws mvlException.
  MLP(int ninputs, int nhidden, int noutputs);
  // Copies sizes, weights and biases; the working matrices start 1 x 1, no expression object.
  MLP(const MLP& other);
  // Copies sizes, weights, biases and working matrices; this network keeps its own expression
  // object (an outstanding MLPFunc of this network stays valid and now sees the copied weights).
  MLP& operator=(const MLP& other);
  // Releases the expression object handed out last, if any.
  ~MLP();

  RMatrix& Weights1() { return weights1_; }
  const RMatrix& Weights1() const { return weights1_; }
  RMatrix& Weights2() { return weights2_; }
  const RMatrix& Weights2() const { return weights2_; }

  // Length of the hidden-layer part of the weight vector: nhidden * (ninputs + 1).
  int hiddenWeightCount() const { return nhidden_ * (ninputs_ + 1); }

  // Loads all four blocks from w[0 .. nwts()-1]; w's length is not changed. Exactly nwts()
  // values are read, whatever shape the weight matrices have (a default network reads none).
  void SetWeights(mvlarray<double>& w) override;
  // Stores all four blocks into w[0 .. nwts()-1]; w's length is not changed. Exactly nwts()
  // values are written (a default network writes none).
  void GetWeights(mvlarray<double>& w) override;

  // Y = network(X). Gives Y the shape (rows of X) x noutputs (its storage is reused when it
  // already has that shape) and the hidden working matrix (rows of X) x nhidden, then runs the
  // three-argument form. Y's status is set by it.
  void ForwardPropagate(RMatrix& X, RMatrix& Y) override;
  // The network function: on return H holds the hidden values and Y the outputs. H must be
  // n x nhidden and Y n x noutputs (n = rows of X); neither is resized. The logistic runs as one
  // vector exponential and one vector reciprocal over the whole hidden block.
  // Status: Y is set OK on success. If X has not ninputs columns, or H or Y has the wrong shape,
  // Y is marked failed (info -1) and neither H nor Y is written.
  void ForwardPropagate(const RMatrix& X, RMatrix& H, RMatrix& Y);

  // Returns an MLPFunc over X ((rows of X) x noutputs) that the network owns: it is released by
  // the next call of operator() or by the network's destruction, and valid until then. X must
  // stay alive (and keep its shape) until the expression has been evaluated.
  //     RMatrix Y = net(X);
  lazyMatrix& operator()(RMatrix& X);

  // Gradient of an error E with respect to the weights, by back-propagation.
  //   X: the n x ninputs input block; H: the hidden values of the forward pass on X (n x nhidden);
  //   D: dE/dY for every output (n x noutputs); for E = 1/2 sum (Y - T)^2, D = Y - T.
  // Writes into g from its start, in the weight vector layout: the Weights1 and bias1 gradients;
  // then, only if g holds at least nwts() values, the Weights2 and bias2 gradients. An array of
  // hiddenWeightCount() values so receives the hidden-layer gradient alone. g's length is not
  // changed. Overwrites the network's gradient and delta working matrices.
  // If g is shorter than hiddenWeightCount(), every element of g is set to NaN; if the shapes of
  // X, H and D do not conform, the elements that would have been written are set to NaN.
  void BackPropagate(const RMatrix& X, const RMatrix& H, const RMatrix& D, mvlarray<double>& g);

  // Jacobian of the outputs with respect to the weights, at the inputs X (n samples).
  // J must have n * noutputs rows and either hiddenWeightCount() columns (hidden layer only) or
  // at least nwts() columns (all weights; columns past nwts() are left alone); it is not resized.
  // Row k*n + i belongs to output k of sample i (the column-by-column order of an n x noutputs
  // output block), column p to weight p of the weight vector layout. Overwrites the hidden and
  // delta working matrices. Status: J is set OK; a J of any other shape, or an X without
  // ninputs columns, is marked failed (info -1) and not written.
  void ComputeJacobian(const RMatrix& X, RMatrix& J);

  // Refits the output layer to the targets T (n x noutputs) by regularised least squares with
  // the hidden layer fixed: with the design matrix F = [1 | H] (n x (nhidden + 1)), Z solves
  // (F^T F + OutputRidge I) Z = F^T T; bias2 becomes row 0 of Z and Weights2 rows 1..nhidden.
  // Y receives the outputs of the refitted network on X, F * Z (shape n x noutputs), and is set
  // OK. Overwrites the design, hidden and solution working matrices.
  // Failure: T whose width is not noutputs() marks Y failed (info -1) and changes nothing
  // else. If the design matrix cannot be formed (X without ninputs columns: info -1) or the
  // solve fails (T without n rows: info -1; normal equations not positive definite: the
  // factorisation's info), the output layer is left unchanged, Y receives the outputs of the
  // unchanged network when X conforms (otherwise Y's elements are not written) and Y is marked
  // failed with that info. Non-finite data is not detected: it makes the fitted weights
  // non-finite.
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

}  // namespace Orvo

// The perceptron trainer, kept in a header of its own.
#include "orvo/mlp_trainer.hpp"

#endif  // ORVO_NNET_HPP
