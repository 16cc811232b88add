// One-dimensional root finding, reverse communication.
#ifndef ORVO_SRC_KERNEL_ROOT_ROOT_KERNEL_HPP
#define ORVO_SRC_KERNEL_ROOT_ROOT_KERNEL_HPP

// Root of f from two abscissae a and b. state 0 on entry starts a search; state 1 on return asks
// for f(x) in val; a value above 1 ends the search with the result in x.
void HSL_NB01AD(int* state, double* a, double* b, double* tol, double* x, double* val, int* maxit);

#endif
