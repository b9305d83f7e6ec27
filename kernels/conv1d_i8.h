// Pieces of the one-dimensional int8 convolution with float activations: the gather of im2col rows
// and the per-tap accumulation of the int32 products of stride-1 convolutions into float outputs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/thread_pool.h"

namespace trevalon {

// Row t of `rows` (L_out rows of K x Cg floats, tap after tap) holds, for tap k, the Cg channels
// [c0, c0 + Cg) of input row t * stride + k * dilation - padding, or zeros when that row lies outside
// 0..L-1. The input has L rows of C floats.
void conv1d_im2col_rows(const float* x, int L, int C, int c0, int Cg, int K, int stride, int dilation,
                        int padding, int L_out, float* rows);

// One tap of a stride-1 convolution: acc holds rows x N int32 products of the tap, row_scales[t]
// the scale of the input row that row t of the tap read. With `first`,
// y = float(acc) x (s x w_scale[o]) + bias[o] as one fused multiply-add (the product alone when
// bias is null); otherwise y = (s x float(acc)) x w_scale[o] + y, fused. acc may alias y (each element
// is read before it is written).
void conv1d_i8_tap_accumulate_portable(const int32_t* acc, const float* row_scales, const float* w_scales,
                                       const float* bias, float* y, int rows, int N, bool first);

// Groups of one input channel (depthwise, any channel multiplier m = C_out / C): for output
// position t and input channel c the K taps x[t stride + k dilation - padding][c] (0 outside the
// signal) are one row quantised with its own scale s, and output channel o = c m + j gets
// ((float(acc) x w_scale[o]) x s) + bias[o], acc the int32 sum of the taps times w[o][k] (w is
// [C_out][K]): the numbers of the im2col path, without its per-group products.
// w_taps: the same weights as floats [K][C_out] (what vector tiers read; the portable code reads w).
void conv1d_i8_depthwise_portable(const float* x, int L, int C, const int8_t* w, const float* w_taps,
                                  const float* w_scales, const float* bias, float* y, int L_out, int C_out,
                                  int K, int stride, int dilation, int padding);

// depthwise(...) (one of the entries' one-thread loops) over ranges of output rows on the threads:
// a range starting at row b is the same convolution with padding less b strides, writing from row
// b of y.
template <class Depthwise>
void conv1d_i8_depthwise_parallel(Depthwise&& depthwise, const float* x, int L, int C, const int8_t* w,
                                  const float* w_taps, const float* w_scales, const float* bias, float* y,
                                  int L_out, int C_out, int K, int stride, int dilation, int padding) {
  if (L_out <= 0 || C_out <= 0) return;
  // A row quantises K C values and sums K C_out products: a range of at least ~128 Ki of them.
  const size_t per_row = size_t(K > 0 ? K : 1) * (size_t(C) + size_t(C_out));
  const size_t min_rows = (size_t(1) << 17) / per_row + 1;
  parallel_for(size_t(L_out), 1, min_rows, [&](size_t b, size_t e) {
    depthwise(x, L, C, w, w_taps, w_scales, bias, y + b * size_t(C_out), int(e - b), C_out, K, stride, dilation,
              int(int64_t(padding) - int64_t(b) * stride));
  });
}

// The same for input channels [c_begin, c_end) only, on one thread.
void conv1d_i8_depthwise_channels(const float* x, int L, int C, const int8_t* w, const float* w_taps,
                                  const float* w_scales, const float* bias, float* y, int L_out, int C_out,
                                  int K, int stride, int dilation, int padding, int c_begin, int c_end);

#ifndef TREVALON_PORTABLE
void conv1d_i8_depthwise_avx2(const float* x, int L, int C, const int8_t* w, const float* w_taps,
                              const float* w_scales, const float* bias, float* y, int L_out, int C_out, int K,
                              int stride, int dilation, int padding);
void conv1d_i8_tap_accumulate_avx2(const int32_t* acc, const float* row_scales, const float* w_scales,
                                   const float* bias, float* y, int rows, int N, bool first);
void conv1d_i8_depthwise_avx512(const float* x, int L, int C, const int8_t* w, const float* w_taps,
                                const float* w_scales, const float* bias, float* y, int L_out, int C_out,
                                int K, int stride, int dilation, int padding);
void conv1d_i8_tap_accumulate_avx512(const int32_t* acc, const float* row_scales, const float* w_scales,
                                     const float* bias, float* y, int rows, int N, bool first);
#endif

}  // namespace trevalon
