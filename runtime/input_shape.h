// Matching an array a caller gives for a declared input against the declared shape: the shape the
// engine binds it with, or an error that names the input, both shapes and both element counts.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "arch/arch_loader.h"

namespace trevalon {

// The tensor shape for an array of dimensions `dims` given to `input`.
// A fully declared shape takes exactly its element count and is bound as declared. A shape with a
// variable (0) entry takes whole rows of width x channels and is bound as rows of them; a row of
// 0 elements (variable channels) takes anything and binds no rows.
// Either way the array's dimensions other than 1 must be, in order, the declared ones other than 1
// (a declared 0 matches any size); an array that is 1-D once its 1s are dropped always matches.
// Throws "input 'x' expects shape [224, 224, 3] (150528 elements), got shape [...] (N elements)",
// with a hint appended when the array is the channels-first transpose of the declared shape.
std::vector<int32_t> input_tensor_shape(const InputSpec& input, std::span<const int64_t> dims);

// The runtime's check of a tensor shape a caller already resolved: a fully declared input follows
// the rule above; for a variable one, the channels and the width the declaration fixes must be
// where binding reads them (the last dimension, and the second of three or more).
void check_bound_shape(const InputSpec& input, const std::vector<int32_t>& shape);

}  // namespace trevalon
