// Table interpolators: TableInterpolator (two radial basis networks trained on a table) and
// pTableInterpolator (bilinear interpolation on a rectangular grid filled through a callback).
#ifndef ORVO_INTERP_HPP
#define ORVO_INTERP_HPP

#include <iosfwd>

#include "orvo/config.hpp"
#include "orvo/matrix.hpp"
#include "orvo/memory.hpp"
#include "orvo/nnet.hpp"

namespace Orvo {

// ---------------------------------------------------------------------------------------------
// TableInterpolator
// ---------------------------------------------------------------------------------------------

// (network table interpolator: declarations go here)

// ---------------------------------------------------------------------------------------------
// pTableInterpolator
// ---------------------------------------------------------------------------------------------

// (grid table interpolator: declarations go here)

}  // namespace Orvo

#endif  // ORVO_INTERP_HPP
