// Neural networks: a perceptron trained on a smooth function by the trust-region solver, then
// evaluated on points it has not seen.
#include <cmath>
#include <cstdio>

#include <orvo/nnet.hpp>

int main() {
  using namespace Orvo;
  RMatrix X(200, 1), Y(200, 1);
  for (int i = 0; i < 200; ++i) X(i, 0) = -3.0 + 6.0 * i / 199.0, Y(i, 0) = std::tanh(X(i, 0));
  MLPTrainer trainer(6, X, Y, MLPTrainer::lmder);
  trainer.Seed(17);
  trainer.SetStoppingCriteria(1e-8, 1e-10, 300);
  while (trainer.Cycle() == 1) {
  }
  trainer.restoreBest();
  RMatrix Xnew(3, 1);
  Xnew(0, 0) = -1.234, Xnew(1, 0) = 0.1, Xnew(2, 0) = 2.5;
  RMatrix prediction = trainer.getMLP()(Xnew);
  double worst = 0.0;
  for (int i = 0; i < 3; ++i)
    worst = std::fmax(worst, std::fabs(prediction(i, 0) - std::tanh(Xnew(i, 0))));
  std::printf("trained in %d steps, worst error at new points %s 1e-3\n", trainer.Iters(),
              worst < 1e-3 ? "below" : "ABOVE");
  return worst < 1e-3 ? 0 : 1;
}
