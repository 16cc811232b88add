// Sparse matrices: a 1-D Poisson matrix assembled entry by entry, solved, re-solved with new
// values on the same pattern, and checked.
#include <cstdio>

#include <orvo/memory.hpp>
#include <orvo/sparse.hpp>

int main() {
  using namespace Orvo;
  constexpr int n = 1000;
  bool ok = true;
  {
    sparseMatrix A(3 * n, n, n);  // capacity, rows, columns
    for (int i = 0; i < n; ++i) {
      A.SetAt(i, i, 2.0);
      if (i > 0) A.SetAt(i, i - 1, -1.0);
      if (i + 1 < n) A.SetAt(i, i + 1, -1.0);
    }
    mvlarray<double> b(n), x(n);
    for (int i = 0; i < n; ++i) b[i] = 1.0 / (n + 1.0) / (n + 1.0);  // -u'' = 1 on (0, 1)
    ok = A.Solve(b, x);
    const double middle = x[n / 2 - 1];  // u(1/2) = 1/8 for the continuous problem
    std::printf("first solve: %s, u(0.5) = %.6f, rms residual %.1e\n", ok ? "ok" : "failed", middle,
                A.CheckSolution(x.Array(), b.Array()));
    for (int k = 0; k < A.Nz(); ++k) A.Data()[k] *= 2.0;  // same pattern, doubled values
    ok = ok && A.ReSolve(b, x);
    std::printf("re-solve:    %s, u(0.5) = %.6f\n", ok ? "ok" : "failed", x[n / 2 - 1]);
  }
  std::printf("bytes outstanding: %d\n", OrvomemUsed());
  return ok && OrvomemUsed() == 0 ? 0 : 1;
}
