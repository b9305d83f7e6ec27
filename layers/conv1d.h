// What the one-dimensional convolution layers decide at load, for tests and tools that check it.
#pragma once

#include <string>

#include "layers/layer.h"

namespace trevalon {

// Whether the value of BRASKO_FP32_CONV1D_DIRECT (null when unset) forbids Winograd for a
// stride-1 group-1 layer of `taps` taps: "1" or "all" forbid it for every layer; a list of base-10
// integers separated by spaces, commas, colons or semicolons forbids it for the listed tap counts
// (reading stops at the first token that is not a number); unset, empty, a value starting with the
// digit 0, and "wino" forbid nothing.
bool conv1d_winograd_forbidden(const char* value, int taps);

// The path a loaded Conv1dFp32 layer runs: "winograd", "direct", "pointwise", "general", "grouped",
// "depthwise", or "none" (no weights); empty for a layer of another class.
std::string conv1d_fp32_path(const ILayer& layer);

}  // namespace trevalon
