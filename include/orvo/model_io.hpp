/// @file
/// Saving trained models to a text stream and loading them back.
///
/// A trained MLP, RBF or TableInterpolator is written as a small, versioned text record that
/// reproduces every parameter bit for bit (doubles in hexadecimal floating point, as printf's %a
/// writes them). The layout, one item per line:
///
///   orvo-model 1                        format name and version
///   kind MLP | kind RBF                 the model kind
///   sizes NINPUTS NHIDDEN NOUTPUTS
///   values COUNT                        COUNT = the model's nwts()
///   VALUE                               COUNT lines: the weight vector in the model's own layout
///   end                                 (the layout of GetWeights / SetWeights)
///
/// A TableInterpolator's record has kind TableInterpolator, then `errors E1 E2`, `mean M0 M1`,
/// `scale S0 S1`, then `network first` and `network second`, each followed by an RBF record from
/// its `kind RBF` line to its `end`, and a final `end`.
///
/// Loading reads the whole record before anything is changed: a truncated, corrupt or
/// wrong-kind record throws mvlException whose message names the line and the reason
/// ("model record line 4: expected 'sizes'"), and the target is left untouched. Values must be
/// finite; sizes must be positive and give at most INT_MAX weights. Anything after the final
/// `end` is not read. Writing leaves the stream's formatting flags as they were; a stream in a
/// failed state after writing is the caller's to check.
#ifndef ORVO_MODEL_IO_HPP
#define ORVO_MODEL_IO_HPP

#include <iosfwd>

#include "orvo/config.hpp"
#include "orvo/interp.hpp"
#include "orvo/nnet.hpp"

namespace Orvo {

/// Version written in the first line; records of other versions are refused.
constexpr int kModelFormatVersion = 1;

/// @{
/// Writes the network's record (above) to out.
ORVO_API void SaveModel(std::ostream& out, const MLP& net);
ORVO_API void SaveModel(std::ostream& out, const RBF& net);
/// @}
/// The interpolator's two networks, training errors, mean and scale (not its table, which the
/// caller owns).
ORVO_API void SaveModel(std::ostream& out, const TableInterpolator& interpolator);

/// @{
/// Replaces net's sizes and weights by the record's (working matrices and any expression object
/// handed out are released or re-made as by assignment).
ORVO_API void LoadModel(std::istream& in, MLP& net);
ORVO_API void LoadModel(std::istream& in, RBF& net);
/// @}
/// Replaces the interpolator's networks, errors, mean and scale; its table references stay. A
/// loaded interpolator predicts exactly as the one saved.
ORVO_API void LoadModel(std::istream& in, TableInterpolator& interpolator);

}  // namespace Orvo

#endif  // ORVO_MODEL_IO_HPP
