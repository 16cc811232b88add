// Condition estimates of the dense factorisations, shared by the decompositions and the
// one-shot solves.
#ifndef ORVO_SRC_DENSE_CONDITION_HPP
#define ORVO_SRC_DENSE_CONDITION_HPP

namespace Orvo::detail {

// ||A + lambda I||_1 of a symmetric n x n matrix of which only the upper triangle is read.
double symmetricOneNorm(int n, const double* a, double lambda);
// Reciprocal condition from LAPACK LU factors (dgetrf layout) and ||A||_1.
double luRCond(int n, const double* factors, double oneNorm);
// Reciprocal condition from classical LU factors (negated multipliers) and ||A||_1.
double classicalLuRCond(int n, const double* factors, const int* pivots, double oneNorm);
// Reciprocal condition from an upper Cholesky factor and ||A||_1.
double choleskyRCond(int n, const double* factor, double oneNorm);

}  // namespace Orvo::detail

#endif
