// Direct int8 convolution for images of few channels (the stem of an image network): no patch
// matrix, the kernel reads each output pixel's taps straight from a padded copy of the input.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/prepared_weights.h"

namespace trevalon {

// Shapes the direct kernels take: one kernel row of an input channel run fits 32 bytes, and the
// output channels fill whole vectors of 16 (at most 64).
inline bool conv2d_i8_direct_shape(int C_in, int C_out, int kH, int kW) {
  return C_in > 0 && kH > 0 && kW > 0 && kH <= 11 && kW * C_in <= 32 && C_out > 0 && C_out % 16 == 0 &&
         C_out <= 64;
}

// Shapes where the direct kernel beats the patch product: 3x3 kernels on three or four channels.
// Longer kernel rows (a 7x7 stem) favour the product, which runs them as long dot products.
inline bool conv2d_i8_direct_pays(int C_in, int kH, int kW) {
  return kH == 3 && kW == 3 && (C_in == 3 || C_in == 4);
}

// Scratch bytes of the padded copy: the rows and columns the output pixels reach, plus slack for
// the last pixel's whole-dword reads.
inline size_t conv2d_i8_direct_scratch(int C_in, int kH, int kW, int stride_h, int stride_w, int out_h,
                                       int out_w) {
  const size_t rows = size_t(out_h - 1) * size_t(stride_h) + size_t(kH);
  const size_t cols = size_t(out_w - 1) * size_t(stride_w) + size_t(kW);
  return rows * cols * size_t(C_in) + 64;
}

#ifndef TREVALON_PORTABLE
// The prepared form of weights in patch order (C_out x kH x kW x C_in) with the low 32 bits of
// `bias`, and the channels' requantisation constants. Leaves `out.starts` empty when the shape or a
// channel's multiplier and shift fall outside what the kernel handles; the caller then takes the
// general path.
void prepare_conv2d_i8_direct_avx512vnni(const int8_t* patch_weights, int C_out, int C_in, int kH, int kW,
                                         const int64_t* bias, const int32_t* mult, const int32_t* shift,
                                         int8_t out_zp, int format, PreparedWeightsI8& out);
// Channels-fastest input H x W x C_in to output out_h x out_w x C_out with the prepared form above
// (non-empty); taps outside the input read in_zp. `scratch` holds conv2d_i8_direct_scratch bytes.
void conv2d_i8_direct_avx512vnni(const int8_t* input, const PreparedWeightsI8& prepared, int8_t in_zp,
                                 int8_t* output, int C_in, int H, int W, int C_out, int kH, int kW,
                                 int stride_h, int stride_w, int pad_h, int pad_w, void* scratch);
#endif

}  // namespace trevalon
