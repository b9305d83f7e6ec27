// Convolution geometry shared by the float and int8 layers and kernels: the output size of one
// spatial dimension and the overflow-checked products that size buffers.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace trevalon {

// Output size of one spatial dimension, (in + 2 pad - dilation (kernel - 1) - 1) / stride + 1
// truncating; 0 or less when the dilated kernel does not fit the padded input. A zero stride
// counts as 1 so that callers may ask before they check the parameters.
constexpr int64_t conv_output_size(int64_t in, int64_t kernel, int64_t stride, int64_t pad,
                                   int64_t dilation = 1) {
  return (in + 2 * pad - dilation * (kernel - 1) - 1) / (stride == 0 ? 1 : stride) + 1;
}

// a x b, or std::runtime_error(message()) when the product passes `limit` (UINT64_MAX: when it
// passes 64 bits). The message is built only on failure.
template <class Message>
uint64_t checked_mul(uint64_t a, uint64_t b, uint64_t limit, Message&& message) {
  if (a != 0 && b > limit / a) throw std::runtime_error(message());
  return a * b;
}

}  // namespace trevalon
