// Every conversion between the dimensions callers and files give and the runtime's TensorShape
// (c, h, w): binding and planning input shapes, the dimensions of a returned output, checked
// element counts, and matching an array given for a declared input against the declared shape.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "arch/arch_loader.h"
#include "layers/layer.h"

namespace trevalon {

// a * b, or "tensor '<what>' is too large" when the product passes 64 bits.
uint64_t checked_mul(uint64_t a, uint64_t b, const std::string& what);
// Elements of `s` (negative dimensions count as 0), with the overflow check of checked_mul.
uint64_t checked_elements(const TensorShape& s, const std::string& what);
// Elements of a tensor of non-negative dimensions `dims` (1 for none), checked the same way.
uint64_t checked_elements(const std::vector<int32_t>& dims, const std::string& what);

// The shape a slot records for a bound tensor of dimensions `dims`: none -> (1, 1, 1); one ->
// c; two -> h, c; three or more -> h, w, ..., c (the last is c, the first two are h and w, and
// an h or w below 1 is taken as 1).
TensorShape bound_shape(const std::vector<int32_t>& dims);

// The shape planned for a declared input: from the declared dims, with each variable (0) entry
// the planner reads (first, second of three or more, last) taken from `supplied` when given and
// not empty. No declared dims -> (1, 1, 1); a variable last dim without a supplied one stays 0.
TensorShape planned_input_shape(const std::vector<int32_t>& declared, const std::vector<int32_t>* supplied);

// The dimensions a tensor of shape `s` is returned with: [h, w, c] when w >= 2, else [h, c] when
// h >= 2, else [c]. Assigns into `out` so a caller can reuse its storage.
void output_dims(const TensorShape& s, std::vector<int32_t>& out);

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
