// Depthwise 3x3 int8 convolution of channels-fastest data (padding 1, stride 1 or 2, one output
// channel per input channel) with tap-major weights.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "kernels/thread_pool.h"

namespace trevalon {

// weights: 9 x C int8, tap t = 3 ky + kx of channel c at t x C + c. bias: int32 per channel.
// out_h = (H - 1) / stride + 1, out_w likewise; taps outside the input read in_zp.
using DepthwiseI8Kernel = void (*)(const int8_t* input, const int8_t* weights, const int32_t* bias,
                                   const int32_t* mult, const int32_t* shift, int8_t in_zp, int8_t out_zp,
                                   int8_t* output, int C, int H, int W, int stride);

// Output positions [begin, end) along one axis (input length n, `out` outputs) whose three taps
// all lie inside the input: o x stride - 1 >= 0 and o x stride + 1 <= n - 1.
struct DepthwiseSpan {
  int begin, end;
};
inline DepthwiseSpan depthwise_inner_span(int n, int stride, int out) {
  const int begin = out > 1 ? 1 : out;
  const int end = n >= 2 ? std::max(begin, std::min(out, (n - 2) / stride + 1)) : begin;
  return {begin, end};
}

// Calls rows(oy_begin, oy_end) over bands of output rows covering the output once, split over
// threads when the layer is large enough (band starts multiples of `align`). Every pixel's taps,
// sum and requantisation are those of the whole-image pass, whichever band holds it.
// The minimum is low: a band also reads the input rows that the layer before, split the same way,
// left in the same core's cache.
template <class Rows>
void depthwise_i8_row_bands(int C, int H, int W, int stride, int align, Rows&& rows) {
  constexpr size_t kMinBandMacs = size_t(1) << 18;
  const int out_h = (H - 1) / stride + 1, out_w = (W - 1) / stride + 1;
  const size_t row_macs = size_t(out_w) * size_t(C) * 9;
  parallel_for(size_t(out_h), size_t(align), kMinBandMacs / row_macs + 1,
               [&](size_t begin, size_t end) { rows(int(begin), int(end)); });
}

// Each tier's implementation; the CPU backend's drivers (kernel_drivers.h) hold the current one.
// Plain C++: 16 channels at a time, then the rest one by one.
void depthwise_i8_3x3_portable(const int8_t* input, const int8_t* weights, const int32_t* bias,
                               const int32_t* mult, const int32_t* shift, int8_t in_zp, int8_t out_zp,
                               int8_t* output, int C, int H, int W, int stride);

#ifndef TREVALON_PORTABLE
void depthwise_i8_3x3_avx2(const int8_t* input, const int8_t* weights, const int32_t* bias,
                           const int32_t* mult, const int32_t* shift, int8_t in_zp, int8_t out_zp,
                           int8_t* output, int C, int H, int W, int stride);
void depthwise_i8_3x3_avx512(const int8_t* input, const int8_t* weights, const int32_t* bias,
                             const int32_t* mult, const int32_t* shift, int8_t in_zp, int8_t out_zp,
                             int8_t* output, int C, int H, int W, int stride);
// Channels [c_begin, c_end) of output rows [oy_begin, oy_end) only: the VNNI kernel leaves it the
// channels past the last 16.
void depthwise_i8_3x3_avx512_part(const int8_t* input, const int8_t* weights, const int32_t* bias,
                                  const int32_t* mult, const int32_t* shift, int8_t in_zp, int8_t out_zp,
                                  int8_t* output, int C, int H, int W, int stride, int c_begin, int c_end,
                                  int oy_begin, int oy_end);
void depthwise_i8_3x3_avx512vnni(const int8_t* input, const int8_t* weights, const int32_t* bias,
                                 const int32_t* mult, const int32_t* shift, int8_t in_zp, int8_t out_zp,
                                 int8_t* output, int C, int H, int W, int stride);
#endif

}  // namespace trevalon
