// Member-function bindings of the callback interfaces.
#include <gtest/gtest.h>

#include "orvo/nonlinear.hpp"

using namespace Orvo;

namespace {
struct Model {
  int calls = 0;
  void residuals(mvlarray<double>& x, mvlarray<double>& y) {
    ++calls;
    for (int i = 0; i < y.Length(); ++i) y[i] = x[0] * (i + 1);
  }
  void jacobian(mvlarray<double>& x, RMatrix& J) {
    ++calls;
    J = x[0];
  }
  double objective(mvlarray<double>& x, mvlarray<double>& g) {
    ++calls;
    g[0] = 2.0 * x[0];
    return 3.5;
  }
};

// Call through the interface only, as a solver does.
void evaluate(FunctorBase_AA& f, mvlarray<double>& x, mvlarray<double>& y) {
  f(x, y);
}
}  // namespace

TEST(Callbacks, BoundMembersAreCalledThroughTheInterfaces) {
  Model model;
  mvlarray<double> x(1), y(3), g(1);
  x[0] = 2.0;

  Functor_AA<Model> f(&model, &Model::residuals);
  Functor_AA<Model> copy = f;
  evaluate(copy, x, y);
  EXPECT_EQ(model.calls, 1);
  EXPECT_EQ(y[2], 6.0);

  Functor_AAretR<Model> objective(&model, &Model::objective);
  FunctorBase_AAretR& asBase = objective;
  EXPECT_EQ(asBase(x, g), 3.5);
  EXPECT_EQ(g[0], 4.0);

  RMatrix J(2, 2);
  Functor_AM<Model> jacobian(&model, &Model::jacobian);
  FunctorBase_AM& jacobianBase = jacobian;
  jacobianBase(x, J);
  EXPECT_EQ(J(1, 1), 2.0);
  EXPECT_EQ(model.calls, 3);
}
