// Dense matrices and lazy expressions: a design matrix built by a join, its Gram matrix by a
// transposed product evaluated straight into the target, and the storage counters at the end.
#include <cstdio>

#include <orvo/matrix.hpp>
#include <orvo/memory.hpp>

int main() {
  using namespace Orvo;
  {
    RMatrix X(4, 1);
    for (int i = 0; i < 4; ++i) X(i, 0) = i + 1.0;  // 1 2 3 4
    RMatrix ones = Vals<1>(4, 1);
    RMatrix D = colJoin(ones, X);  // [1 x]
    RMatrix G = MatrixMultiply(D, D, 1.0, 0.0, /*transA=*/true, /*transB=*/false);
    std::printf("D^T D = [%g %g; %g %g]\n", G(0, 0), G(0, 1), G(1, 0), G(1, 1));  // [4 10; 10 30]
    RMatrix bad = MatrixMultiply(D, X, 1.0, 0.0, false, false);  // 4x2 times 4x1: no product
    std::printf("non-conforming product: isOK %d, info %d\n", bad.isOK(), bad.getInfo());
  }
  std::printf("bytes outstanding: %d\n", OrvomemUsed());
  return OrvomemUsed() == 0 ? 0 : 1;
}
