// The parts of the bound-constrained interpolation method that need no function values: the
// view of the model held in the workspace, the product of its second derivative matrix with a
// vector, the trust-region step within the box, the geometry-improving step, and the update of
// the inverse of the interpolation system when one point is exchanged.
#ifndef ORVO_SRC_KERNEL_BOBYQA_BOBYQA_STEPS_HPP
#define ORVO_SRC_KERNEL_BOBYQA_BOBYQA_STEPS_HPP

namespace Orvo {
namespace bobyqa {

// The model and the interpolation set, as slices of the caller's workspace. Points are stored
// relative to xbase; the model's second derivative matrix is the explicit packed part hq plus
// sum_k pq[k] y_k y_k^T over the points y_k. The inverse of the interpolation (KKT) matrix is
// held as B (its last n columns, (npt + n) x n) and Z (npt x (npt - n - 1)), whose leading
// npt x npt block is Z Z^T.
struct Model {
  int n = 0;
  int npt = 0;
  int ndim = 0;  // npt + n, the leading dimension of B
  int nptm = 0;  // npt - n - 1, the columns of Z
  double* xbase = nullptr;
  double* xpt = nullptr;
  double* fval = nullptr;
  double* xopt = nullptr;
  double* gopt = nullptr;
  double* hq = nullptr;
  double* pq = nullptr;
  double* bmat = nullptr;
  double* zmat = nullptr;
  double* sl = nullptr;  // bounds relative to xbase
  double* su = nullptr;

  double& Xpt(int k, int j) const { return xpt[static_cast<long>(k) * n + j]; }
  double* Point(int k) const { return xpt + static_cast<long>(k) * n; }
  double& B(int i, int j) const { return bmat[i + static_cast<long>(j) * ndim]; }
  double& Z(int k, int j) const { return zmat[k + static_cast<long>(j) * npt]; }
};

// Index of element (i, j), i <= j, of a packed upper triangle stored by columns.
inline int PackedIndex(int i, int j) {
  return i + j * (j + 1) / 2;
}

// hs = (model second derivative matrix) s.
void HessianTimes(const Model& m, const double* s, double* hs);

// Approximate minimiser of the model within ||d|| <= delta and sl <= xopt + d <= su. Writes
// xnew = xopt + d (components on a bound set exactly to it), d, and gnew, the model gradient at
// xnew for the free variables; crvmin receives the least curvature met along a full
// conjugate-gradient step that stayed inside, 0 if the trust-region boundary was reached, -1
// otherwise. Returns |d|^2. Scratch: xbdi, s, hs, hred (n each).
double TrustRegionStep(const Model& m, double delta, double* xnew, double* d, double* gnew,
                       double* xbdi, double* s, double* hs, double* hred, double* crvmin);

struct GeometryChoice {
  double alpha;   // the knew-th diagonal element of Z Z^T
  double cauchy;  // square of the knew-th Lagrange function at xalt (0 when xalt is xopt)
};

// Two candidate new positions for point knew within distance adelt of xopt, both inside the
// bounds: xnew on a line through xopt and another point, maximising a prediction of the update
// denominator; xalt a constrained Cauchy step of the Lagrange function of point knew. Scratch:
// glag (n), hcol (npt), scratch (3 n).
GeometryChoice GeometryStep(const Model& m, int kopt, int knew, double adelt, double* xnew,
                            double* xalt, double* glag, double* hcol, double* scratch);

// Updates B and Z for the replacement of point knew, given the Lagrange values vlag (npt + n,
// modified), beta and the denominator denom > 0 of the exchange. Scratch: npt + n.
void UpdateInverse(const Model& m, double* vlag, double beta, double denom, int knew,
                   double* scratch);

}  // namespace bobyqa
}  // namespace Orvo

#endif  // ORVO_SRC_KERNEL_BOBYQA_BOBYQA_STEPS_HPP
