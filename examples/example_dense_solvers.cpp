// Dense solvers: one LU factorisation reused for two right-hand sides, and a regularised
// least-squares line fit.
#include <cmath>
#include <cstdio>

#include <orvo/dense_solvers.hpp>

int main() {
  using namespace Orvo;
  RMatrix A(3, 3), B(3, 2);
  const double a[3][3] = {{4, -2, 1}, {-2, 4, -2}, {1, -2, 4}};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) A(i, j) = a[i][j];
  for (int i = 0; i < 3; ++i) {  // B's columns: A (1 1 1)^T and A (1 2 3)^T
    B(i, 0) = a[i][0] + a[i][1] + a[i][2];
    B(i, 1) = a[i][0] + 2 * a[i][1] + 3 * a[i][2];
  }
  LUDecomp lu(A);  // A is copied; factorised once
  RMatrix X = LUSolve(lu, B);
  std::printf("LU solve: ok %d, x1 = (%.6f %.6f %.6f), x2 = (%.6f %.6f %.6f)\n", X.isOK(), X(0, 0),
              X(1, 0), X(2, 0), X(0, 1), X(1, 1), X(2, 1));

  RMatrix design(5, 2), y(5, 1);  // y = 2 + 0.5 t exactly
  for (int i = 0; i < 5; ++i) design(i, 0) = 1.0, design(i, 1) = i, y(i, 0) = 2.0 + 0.5 * i;
  RMatrix c = LsqSolve(design, y, 1e-12);
  std::printf("line fit: intercept %.6f, slope %.6f\n", c(0, 0), c(1, 0));
  return X.isOK() && std::fabs(c(1, 0) - 0.5) < 1e-9 ? 0 : 1;
}
