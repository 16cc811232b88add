// Multilayer perceptron: a network with a random hidden layer whose output layer is fitted by
// least squares to a damped oscillation, then checked on points between the training samples.
#include <cmath>
#include <cstdio>

#include "demo_section.hpp"
#include "orvo/nnet.hpp"
#include "orvo/random.hpp"

using namespace Orvo;

namespace {
constexpr int kHidden = 16, kTrain = 41, kCheck = 9;
constexpr double kPi = 3.14159265358979323846;
constexpr double kSpan = 2.0 * kPi;

double oscillation(double t) {
  return std::exp(-0.3 * t) * std::sin(2.0 * t);
}

void run() {
  MLP net(1, kHidden, 1);
  // Hidden units with steep random slopes and their switching points spread over the span.
  MTRng rng(2026);
  mvlarray<double> w(net.nwts());
  for (int j = 0; j < kHidden; ++j) {
    const double slope = 4.0 * rng.nRand();
    const double centre = kSpan * rng.dRand();
    w[j] = slope;                      // Weights1(0, j)
    w[kHidden + j] = -slope * centre;  // bias1(j)
  }
  for (int p = 2 * kHidden; p < net.nwts(); ++p) w[p] = 0.0;
  net.SetWeights(w);

  RMatrix X(kTrain, 1), T(kTrain, 1), fitted(kTrain, 1);
  for (int i = 0; i < kTrain; ++i) {
    X(i, 0) = kSpan * i / (kTrain - 1);
    T(i, 0) = oscillation(X(i, 0));
  }
  net.ComputeOutputWeights(X, T, fitted);
  double sumSquares = 0.0;
  for (int i = 0; i < kTrain; ++i) sumSquares += std::pow(fitted(i, 0) - T(i, 0), 2);
  std::printf("1-%d-1 perceptron, output layer fitted to %d samples of exp(-0.3t) sin(2t)\n",
              kHidden, kTrain);
  std::printf("fit status %s, RMS training error %.2e\n", fitted.isOK() ? "OK" : "failed",
              std::sqrt(sumSquares / kTrain));

  // Between the training samples, through the network's deferred evaluation.
  RMatrix between(kCheck, 1);
  for (int i = 0; i < kCheck; ++i) between(i, 0) = kSpan * (i + 0.5) / kCheck;
  RMatrix predicted = net(between);
  std::printf("%8s %12s %12s\n", "t", "exact", "network");
  for (int i = 0; i < kCheck; ++i)
    std::printf("%8.4f %12.6f %12.6f\n", between(i, 0), oscillation(between(i, 0)),
                predicted(i, 0));

  // At a least-squares fit the error gradient of the output layer vanishes.
  RMatrix H(kTrain, kHidden), Y(kTrain, 1);
  net.ForwardPropagate(X, H, Y);
  for (int i = 0; i < kTrain; ++i) Y(i, 0) -= T(i, 0);
  mvlarray<double> g(net.nwts());
  net.BackPropagate(X, H, Y, g);
  double outputGradient = 0.0, hiddenGradient = 0.0;
  for (int p = 0; p < net.nwts(); ++p)
    (p < net.hiddenWeightCount() ? hiddenGradient : outputGradient) += g[p] * g[p];
  std::printf("gradient norm: output layer %.1e, hidden layer %.1e (a trainer moves these)\n",
              std::sqrt(outputGradient), std::sqrt(hiddenGradient));
}

const DemoSection section("60-mlp", "Multilayer perceptron", &run);
}  // namespace
