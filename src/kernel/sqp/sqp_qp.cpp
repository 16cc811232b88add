// Dual active-set solution of the convex quadratic subproblem (Goldfarb and Idnani, 1983).
//
// The method keeps J = L^{-T} Q, where H = L L^T (here L = U^T) and L^{-1} N = Q [R; 0] for the
// matrix N of active constraint normals. Then the first q columns of J (J1) and the rest (J2) give
// the primal direction z = J2 J2^T n_p, along which the added constraint moves while the active
// ones stay put, and the dual direction r = R^{-1} J1^T n_p of the active multipliers. Adding and
// dropping a constraint are Givens updates of J and R, so each iteration costs O(n^2).
//
// The elastic (l1) form caps every multiplier, |lambda_i| <= cap_i. A multiplier that reaches its
// cap leaves the active set and stays fixed there: its constraint is left violated, its weighted
// normal acts as a constant part of the gradient from then on. A capped constraint whose residual
// crosses to the other side is taken up again like a violated one, its multiplier moving back
// from the cap. The dual objective still rises at every step, so the method ends as before.
#include "kernel/sqp/sqp_qp.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/array_helpers.hpp"

namespace Orvo::sqp {
namespace {

using detail::kEpsilon;
constexpr double kInfinity = std::numeric_limits<double>::infinity();
// A residual counts as violated only beyond this multiple of the magnitude of its terms, so that
// rounding in a constraint already met (or linearly dependent on active ones) is never taken for
// a violation.
constexpr double kViolationTolerance = 1.0e-12;
// A new normal whose component outside the active span has squared relative size below this is
// treated as linearly dependent on the active normals.
constexpr double kDependenceTolerance = 1.0e-14;
// Pivots of the Cholesky factor below this fraction of the diagonal mean "not positive definite".
constexpr double kPivotTolerance = 1.0e-14;

using detail::dot;

// Plane rotation mapping (a, b) to (hypot(a, b), 0).
struct Rotation {
  double c = 1.0;
  double s = 0.0;
  double radius = 0.0;
};

Rotation MakeRotation(double a, double b) {
  Rotation rot;
  rot.radius = std::hypot(a, b);
  if (rot.radius > 0.0) {
    rot.c = a / rot.radius;
    rot.s = b / rot.radius;
  } else {
    rot.radius = 0.0;
  }
  return rot;
}

void RotateColumns(int n, double* x, double* y, const Rotation& rot) {
  for (int i = 0; i < n; ++i) {
    const double xi = x[i];
    x[i] = rot.c * xi + rot.s * y[i];
    y[i] = -rot.s * xi + rot.c * y[i];
  }
}

// States of a constraint in work.isActive.
constexpr double kFree = 0.0;
constexpr double kActive = 1.0;
constexpr double kCapped = 2.0;

// Removes the active constraint at position k: shifts the later columns of R one to the left,
// restores the triangle with rotations of rows (l, l+1) and applies them to columns l, l+1 of J.
void DropActive(int n, int& q, int k, QpWorkspace& work) {
  double* R = work.R;
  work.isActive[std::abs(work.active[k]) - 1] = kFree;
  for (int l = k; l + 1 < q; ++l) {
    const Rotation rot = MakeRotation(R[PackedIndex(l, l + 1)], R[PackedIndex(l + 1, l + 1)]);
    R[PackedIndex(l, l + 1)] = rot.radius;
    R[PackedIndex(l + 1, l + 1)] = 0.0;
    for (int col = l + 2; col < q; ++col) {
      const double x = R[PackedIndex(l, col)];
      const double y = R[PackedIndex(l + 1, col)];
      R[PackedIndex(l, col)] = rot.c * x + rot.s * y;
      R[PackedIndex(l + 1, col)] = -rot.s * x + rot.c * y;
    }
    RotateColumns(n, work.J + static_cast<long>(l) * n, work.J + static_cast<long>(l + 1) * n, rot);
  }
  for (int l = k; l + 1 < q; ++l) {
    for (int i = 0; i <= l; ++i) R[PackedIndex(i, l)] = R[PackedIndex(i, l + 1)];
    work.u[l] = work.u[l + 1];
    work.active[l] = work.active[l + 1];
  }
  --q;
  work.active[n] = q;
}

// Appends the normal whose transform J^T n_p is in dvec: rotates dvec[q..n-1] into dvec[q]
// (the same rotations applied to J) and takes dvec[0..q] as the new column of R.
void AddActive(int n, int& q, int entry, double multiplier, QpWorkspace& work) {
  double* dvec = work.dvec;
  for (int j = n - 1; j > q; --j) {
    if (dvec[j] == 0.0) continue;
    const Rotation rot = MakeRotation(dvec[j - 1], dvec[j]);
    dvec[j - 1] = rot.radius;
    dvec[j] = 0.0;
    RotateColumns(n, work.J + static_cast<long>(j - 1) * n, work.J + static_cast<long>(j) * n, rot);
  }
  for (int i = 0; i <= q; ++i) work.R[PackedIndex(i, q)] = dvec[i];
  work.u[q] = multiplier;
  work.active[q] = entry;
  work.isActive[std::abs(entry) - 1] = kActive;
  ++q;
  work.active[n] = q;
}

double Cap(const QpProblem& p, int i) {
  return p.cap ? p.capScale * p.cap[i] : kInfinity;
}
double LowestMultiplier(const QpProblem& p, int i) {
  return i < p.meq ? -Cap(p, i) : 0.0;
}

// Residuals a_i^T d + b_i of every constraint; returns the constraint to take up next, or -1 when
// none is violated: equalities first, then the most violated inequality or capped constraint
// (one at its cap whose residual has crossed to the side its multiplier does not allow). sigma
// is the sign with which its normal enters: sigma (a^T d + b) is negative.
int ChooseViolated(const QpProblem& p, QpWorkspace& work, const double* d, const double* lambda,
                   double& sigma) {
  int chosen = -1;
  double worst = 0.0;
  for (int i = 0; i < p.m; ++i) {
    const double* a = p.a + static_cast<long>(i) * p.lda;
    double residual = p.b[i];
    double magnitude = std::abs(p.b[i]);
    for (int j = 0; j < p.n; ++j) {
      residual += a[j] * d[j];
      magnitude += std::abs(a[j] * d[j]);
    }
    work.slack[i] = residual;
    if (work.isActive[i] == kActive) continue;
    const double tolerance = kViolationTolerance * magnitude;
    if (work.isActive[i] == kCapped) {
      const double side = lambda[i] > 0.0 ? 1.0 : -1.0;
      if ((chosen < 0 || chosen >= p.meq || work.isActive[chosen] == kCapped) &&
          side * residual > tolerance && (chosen < 0 || side * residual > worst)) {
        chosen = i;
        worst = side * residual;
        sigma = -side;
      }
    } else if (i < p.meq) {
      // Any unmet equality goes before every inequality.
      const bool equalityChosen = chosen >= 0 && chosen < p.meq && work.isActive[chosen] != kCapped;
      if (std::abs(residual) > tolerance && (!equalityChosen || std::abs(residual) > worst)) {
        chosen = i;
        worst = std::abs(residual);
        sigma = residual > 0.0 ? -1.0 : 1.0;
      }
    } else if (chosen < 0 || chosen >= p.meq || work.isActive[chosen] == kCapped) {
      if (residual < -tolerance && (chosen < 0 || -residual > worst)) {
        chosen = i;
        worst = -residual;
        sigma = 1.0;
      }
    }
  }
  return chosen;
}

// One step of iterative refinement on the active constraints. Adding and dropping move d by
// steps that may be far larger than d itself (the unconstrained minimiser can lie far outside),
// so the active residuals carry the rounding of those intermediate steps. The correction
// delta = J1 v with R^T v = -residual zeroes them to first order; since H delta = N R^{-1} v lies
// in the span of the active normals, stationarity is kept by adding R^{-1} v to the multipliers.
void RefineActive(const QpProblem& p, int q, QpWorkspace& work, double* d) {
  const int n = p.n;
  const double* R = work.R;
  double* v = work.dvec;
  for (int j = 0; j < q; ++j) {
    const int entry = work.active[j];
    const int i = std::abs(entry) - 1;
    const double sigma = entry > 0 ? 1.0 : -1.0;
    double residual = sigma * (p.b[i] + dot(n, p.a + static_cast<long>(i) * p.lda, d));
    for (int k = 0; k < j; ++k) residual += R[PackedIndex(k, j)] * v[k];
    v[j] = -residual / R[PackedIndex(j, j)];
  }
  for (int j = 0; j < q; ++j) {
    const double* column = work.J + static_cast<long>(j) * n;
    for (int i = 0; i < n; ++i) d[i] += v[j] * column[i];
  }
  for (int j = q - 1; j >= 0; --j) {
    double sum = v[j];
    for (int k = j + 1; k < q; ++k) sum -= R[PackedIndex(j, k)] * work.r[k];
    work.r[j] = sum / R[PackedIndex(j, j)];
  }
  for (int j = 0; j < q; ++j) work.u[j] += work.r[j];
}

}  // namespace

void PackedSymmetricMultiply(int n, const double* B, const double* s, double* y) {
  for (int i = 0; i < n; ++i) y[i] = 0.0;
  for (int j = 0; j < n; ++j) {
    const double* column = B + PackedIndex(0, j);
    double sum = 0.0;
    for (int i = 0; i < j; ++i) {
      y[i] += column[i] * s[j];
      sum += column[i] * s[i];
    }
    y[j] += sum + column[j] * s[j];
  }
}

bool PackedCholesky(int n, const double* B, double* U) {
  for (int j = 0; j < n; ++j) {
    double* uj = U + PackedIndex(0, j);
    const double* bj = B + PackedIndex(0, j);
    for (int i = 0; i < j; ++i) {
      const double* ui = U + PackedIndex(0, i);
      uj[i] = (bj[i] - dot(i, ui, uj)) / ui[i];
    }
    const double pivot = bj[j] - dot(j, uj, uj);
    if (!(pivot > kPivotTolerance * std::abs(bj[j])) || !std::isfinite(pivot)) return false;
    uj[j] = std::sqrt(pivot);
  }
  return true;
}

QpStatus SolveQp(const QpProblem& p, QpWorkspace& work, double* d, double* lambda) {
  const int n = p.n;
  double* J = work.J;

  // J = U^{-1} (= L^{-T}) with nothing active.
  for (int j = 0; j < n; ++j) {
    double* column = J + static_cast<long>(j) * n;
    for (int i = 0; i < n; ++i) column[i] = 0.0;
    column[j] = 1.0 / p.U[PackedIndex(j, j)];
    for (int i = j - 1; i >= 0; --i) {
      double sum = 0.0;
      for (int k = i + 1; k <= j; ++k) sum += p.U[PackedIndex(i, k)] * column[k];
      column[i] = -sum / p.U[PackedIndex(i, i)];
    }
  }
  // Unconstrained minimiser d = -J J^T g.
  for (int j = 0; j < n; ++j)
    work.dvec[j] = p.gradientWeight * dot(j + 1, J + static_cast<long>(j) * n, p.g);
  for (int i = 0; i < n; ++i) d[i] = 0.0;
  for (int j = 0; j < n; ++j) {
    const double* column = J + static_cast<long>(j) * n;
    for (int i = 0; i <= j; ++i) d[i] -= work.dvec[j] * column[i];
  }

  // lambda[i] holds the fixed multiplier of a capped constraint and, while a constraint is active,
  // the part of its multiplier not in u (its cap when it was taken up from there, else 0).
  int q = 0;
  work.active[n] = 0;
  for (int i = 0; i < p.m; ++i) {
    work.isActive[i] = kFree;
    lambda[i] = 0.0;
  }

  const long iterationLimit = 20L * (n + p.m) + 100;
  long iterations = 0;
  bool refined = false;
  for (;;) {
    double sigma = 1.0;
    const int chosen = ChooseViolated(p, work, d, lambda, sigma);
    if (chosen < 0) {
      if (refined || q == 0) break;
      RefineActive(p, q, work, d);
      refined = true;
      continue;
    }
    refined = false;

    // Work with the constraint as sigma (a^T d + b) >= 0; its multiplier is base + sigma t.
    const double* a = p.a + static_cast<long>(chosen) * p.lda;
    for (int i = 0; i < n; ++i) work.normal[i] = sigma * a[i];
    double residual = sigma * work.slack[chosen];
    const double base = lambda[chosen];
    work.isActive[chosen] = kFree;
    const double multiplierLimit =
        sigma > 0.0 ? Cap(p, chosen) - base : base - LowestMultiplier(p, chosen);
    double multiplier = 0.0;
    const int entry = static_cast<int>(sigma) * (chosen + 1);

    for (;;) {
      if (++iterations > iterationLimit) return QpStatus::Failed;

      double total = 0.0;
      for (int j = 0; j < n; ++j) {
        work.dvec[j] = dot(n, J + static_cast<long>(j) * n, work.normal);
        total += work.dvec[j] * work.dvec[j];
      }
      for (int i = 0; i < n; ++i) work.z[i] = 0.0;
      for (int j = q; j < n; ++j) {
        const double* column = J + static_cast<long>(j) * n;
        for (int i = 0; i < n; ++i) work.z[i] += work.dvec[j] * column[i];
      }
      for (int j = q - 1; j >= 0; --j) {
        double sum = work.dvec[j];
        for (int k = j + 1; k < q; ++k) sum -= work.R[PackedIndex(j, k)] * work.r[k];
        work.r[j] = sum / work.R[PackedIndex(j, j)];
      }

      // Largest dual step before an active multiplier reaches one of its bounds (0 for an
      // inequality, the caps).
      double dualStep = kInfinity;
      int blocking = -1;
      double blockingBound = 0.0;
      for (int j = 0; j < q; ++j) {
        const int i = std::abs(work.active[j]) - 1;
        const double sign = work.active[j] > 0 ? 1.0 : -1.0;
        const double value = lambda[i] + sign * work.u[j];
        const double rate = -sign * work.r[j];
        double ratio = kInfinity, bound = 0.0;
        if (rate > 0.0 && Cap(p, i) < kInfinity) {
          bound = Cap(p, i);
          ratio = (bound - value) / rate;
        } else if (rate < 0.0 && LowestMultiplier(p, i) > -kInfinity) {
          bound = LowestMultiplier(p, i);
          ratio = (value - bound) / -rate;
        }
        if (ratio < dualStep) {
          dualStep = std::max(ratio, 0.0);
          blocking = j;
          blockingBound = bound;
        }
      }
      const double curvature = dot(n, work.z, work.normal);
      const bool canMove = curvature > kDependenceTolerance * total;
      const double fullStep = canMove ? -residual / curvature : kInfinity;
      const double capStep = multiplierLimit - multiplier;
      const double step = std::min(fullStep, std::min(dualStep, capStep));
      if (!(step < kInfinity)) return QpStatus::Infeasible;

      for (int j = 0; j < q; ++j) work.u[j] -= step * work.r[j];
      multiplier += step;
      if (canMove) {
        for (int i = 0; i < n; ++i) d[i] += step * work.z[i];
        residual += step * curvature;
      }
      if (canMove && fullStep <= dualStep && fullStep <= capStep) {
        AddActive(n, q, entry, multiplier, work);
        break;
      }
      if (capStep <= dualStep) {
        // The multiplier reached its far bound before the constraint was met.
        lambda[chosen] = base + sigma * multiplierLimit;
        if (lambda[chosen] != 0.0) work.isActive[chosen] = kCapped;
        break;
      }
      const int dropped = std::abs(work.active[blocking]) - 1;
      DropActive(n, q, blocking, work);
      lambda[dropped] = blockingBound;
      if (blockingBound != 0.0) work.isActive[dropped] = kCapped;
    }
  }

  for (int j = 0; j < q; ++j) {
    const int entry = work.active[j];
    lambda[std::abs(entry) - 1] += (entry > 0 ? 1.0 : -1.0) * work.u[j];
  }
  return QpStatus::Solved;
}

}  // namespace Orvo::sqp
