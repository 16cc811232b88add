// Sparse matrices: steady heat conduction on a plate, solved, re-solved with a new heat load
// from the kept factors, and refactorised after the conductivity changes.
#include <cstdio>

#include "demo_section.hpp"
#include "orvo/sparse.hpp"

using namespace Orvo;

namespace {
constexpr int kGrid = 60;  // interior points per side
constexpr int kUnknowns = kGrid * kGrid;

// Finite-volume conduction: conductivity `k_left` in the left half of the plate and 1 in the
// right half, the mean of two neighbours on the face between them; edges held at 0 degrees.
double conductivity(int i, double k_left) {
  return i < kGrid / 2 ? k_left : 1.0;
}

void assemble(sparseMatrix& a, double k_left) {
  const int di[] = {-1, 1, 0, 0}, dj[] = {0, 0, -1, 1};
  for (int j = 0; j < kGrid; ++j)
    for (int i = 0; i < kGrid; ++i) {
      const int p = i + kGrid * j;
      const double k = conductivity(i, k_left);
      double diagonal = 0.0;
      for (int d = 0; d < 4; ++d) {
        const int ni = i + di[d], nj = j + dj[d];
        const bool inside = ni >= 0 && ni < kGrid && nj >= 0 && nj < kGrid;
        const double face = inside ? 0.5 * (k + conductivity(ni, k_left)) : k;
        diagonal += face;
        if (inside) a.SetAt(p, ni + kGrid * nj, -face);
      }
      a.SetAt(p, p, diagonal);
    }
}

void heatSource(mvlarray<double>& q, int ci, int cj, double power) {
  for (int p = 0; p < kUnknowns; ++p) q[p] = 0.0;
  for (int dj = -2; dj <= 2; ++dj)
    for (int di = -2; di <= 2; ++di) q[(ci + di) + kGrid * (cj + dj)] = power;
}

void summarise(const char* what, bool ok, sparseMatrix& a, mvlarray<double>& t,
               mvlarray<double>& q) {
  int hottest = t.MaxIndex();
  std::printf("%-44s %s  max %.4f at (%d, %d), rms residual %.2e\n", what, ok ? "ok " : "FAIL",
              t[hottest], hottest % kGrid, hottest / kGrid, a.CheckSolution(t.Array(), q.Array()));
}

void run() {
  sparseMatrix plate(5 * kUnknowns, kUnknowns, kUnknowns);
  assemble(plate, 1.0);
  std::printf("plate: %d unknowns, %d entries\n", plate.Nr(), plate.Nz());

  mvlarray<double> q(kUnknowns), t(kUnknowns);
  heatSource(q, 15, 30, 1.0);
  summarise("heater at (15, 30): first Solve", plate.Solve(q, t), plate, t, q);

  heatSource(q, 33, 20, 2.0);
  summarise("heater at (33, 20): Solve with kept factors", plate.Solve(q, t), plate, t, q);

  // Left half becomes five times as conductive: same pattern, new values.
  plate.Uncompress();
  plate.Nz() = 0;
  assemble(plate, 5.0);
  summarise("left half 5x conductive: ReSolve", plate.ReSolve(q, t), plate, t, q);
  std::printf("  solver status Info(0) = %d, entries in L and U: %d and %d\n", plate.Info(0),
              plate.Info(9), plate.Info(10));

  // A plate with one point attached to nothing: the factorisation reports it as singular.
  sparseMatrix broken(4, 2, 2);
  broken.SetAt(0, 0, 1.0);
  broken.SetAt(1, 0, 1.0);
  mvlarray<double> b(2), x(2);
  b[0] = b[1] = 1.0;
  const bool ok = broken.Solve(b, x);
  std::printf("2 x 2 matrix with an empty column: Solve = %s, Info(0) = %d (singular)\n",
              ok ? "true" : "false", broken.Info(0));
}

const DemoSection section("40-sparse", "Sparse matrices: heat conduction on a plate", &run);
}  // namespace
