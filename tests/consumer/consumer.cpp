// Uses only the installed umbrella header, the generated version header and liborvo.so.
#include <orvo/orvo.hpp>
#include <orvo/version.hpp>

#include <cstring>

static_assert(ORVO_VERSION ==
                  ORVO_VERSION_MAJOR * 10000 + ORVO_VERSION_MINOR * 100 + ORVO_VERSION_PATCH,
              "version numbers agree");

int main() {
  int status = 0;
  {
    Orvo::RMatrix A(2, 2);
    A = 1.0;
    Orvo::RMatrix C = Orvo::MatrixMultiply(A, A, 1.0, 0.0, false, false);
    status = (C.isOK() && C(1, 1) == 2.0) ? 0 : 1;
  }
  if (std::strchr(ORVO_VERSION_STRING, '.') == nullptr) status = 1;
  return status == 0 && OrvomemUsed() == 0 ? 0 : 1;
}
