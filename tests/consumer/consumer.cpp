// Uses only the installed umbrella header and liborvo.so.
#include <orvo/orvo.hpp>

int main() {
  int status = 0;
  {
    Orvo::RMatrix A(2, 2);
    A = 1.0;
    Orvo::RMatrix C = Orvo::MatrixMultiply(A, A, 1.0, 0.0, false, false);
    status = (C.isOK() && C(1, 1) == 2.0) ? 0 : 1;
  }
  return status == 0 && OrvomemUsed() == 0 ? 0 : 1;
}
