// Convolution geometry shared by the float and int8 layers and kernels: the output size of one
// spatial dimension, the overflow-checked products that size buffers, and the patch order of weights.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

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

// Weights stored (output channel, input channel, kernel row, kernel column) in patch order
// (output channel, kernel row, kernel column, input channel): the order of a gathered patch, with
// the channel fastest. `taps` is kernel rows x kernel columns.
template <class T>
std::vector<T> to_patch_order(const T* weights, int C_out, int C_in, int taps) {
  std::vector<T> out(size_t(C_out) * size_t(C_in) * size_t(taps));
  for (int o = 0; o < C_out; ++o)
    for (int c = 0; c < C_in; ++c)
      for (int t = 0; t < taps; ++t)
        out[(size_t(o) * taps + t) * C_in + c] = weights[(size_t(o) * C_in + c) * taps + t];
  return out;
}

}  // namespace trevalon
