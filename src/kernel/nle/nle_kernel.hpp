// Sparse nonlinear equations and least squares by a trust-region method, reverse communication.
#ifndef ORVO_SRC_KERNEL_NLE_NLE_KERNEL_HPP
#define ORVO_SRC_KERNEL_NLE_NLE_KERNEL_HPP

// Defaults for the controls and save areas.
void HSL_NS23ID(int* icntl, double* cntl, int* isave, double* rsave, int* lsave);
// One reverse-communication step. On return iflag > 0 asks for the residuals f and the Jacobian
// values at x; 0 = converged; negative = end or workspace request (-2: iw too short, -3: iw or w
// too short, sizes in info(4), info(5)).
void HSL_NS23AD(const int* m, const int* n, const double* stopReal1, const double* stopReal2,
                const int* stopInt, int* kernelInt, int* jacobianRows, int* jacobianColumnStarts,
                double* auxValues, int* auxRows, int* auxColumnStarts, double* kernelReal, int* liw,
                int* iw, int* lw, double* w, double* x, double* f, double* jacobianValues,
                int* iflag, int* icntl, double* cntl, int* info, double* rinfo, int* isave,
                double* rsave, int* lsave);

#endif
