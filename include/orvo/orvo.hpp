/// @file
/// Umbrella header: every public part of the library.
#ifndef ORVO_ORVO_HPP
#define ORVO_ORVO_HPP

#include "orvo/dense_solvers.hpp"
#include "orvo/derivative_check.hpp"
#include "orvo/interp.hpp"
#include "orvo/matrix.hpp"
#include "orvo/memory.hpp"
#include "orvo/model_io.hpp"
#include "orvo/nnet.hpp"
#include "orvo/nonlinear.hpp"
#include "orvo/random.hpp"
#include "orvo/sparse.hpp"

#endif
