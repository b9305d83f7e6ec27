// Pooling kernels: max pooling (float and int8) and global average pooling (float and int8),
// portable and, in x86 builds, AVX2 / AVX-512. Every version gives the same bits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/thread_pool.h"

namespace trevalon {

// Output height of a max pool: (H + 2 pad - k) / stride + 1, truncating toward zero, computed in
// 64 bits; the caller checks it against the int range. Internal linkage: ISA files include it.
static inline int64_t pooled_extent(int64_t in, int64_t k, int64_t stride, int64_t pad) {
  return (in + 2 * pad - k) / stride + 1;
}

// Calls channels(c_begin, c_end) over ranges of channels covering [0, C) (starts multiples of
// `align`), split over threads when the pool reads enough positions: a global pool's channels are
// independent, each summing its positions in row order whichever thread runs it.
template <class Channels>
void pool_channel_ranges(int C, int64_t positions, int align, Channels&& channels) {
  constexpr size_t kMinRangeReads = size_t(1) << 18;
  const size_t reads = positions > 0 ? size_t(positions) : 1;
  parallel_for(size_t(C), size_t(align), kMinRangeReads / reads + 1,
               [&](size_t begin, size_t end) { channels(int(begin), int(end)); });
}

// Window positions outside the input are skipped; a float window wholly in padding gives -inf,
// an int8 one -128. Non-positive sizes, kernels or strides write nothing.
void maxpool_f32_portable(const float* in, float* out, int C, int H, int W, int kH, int kW, int stride_h,
                          int stride_w, int pad_h, int pad_w, void* stream);
void maxpool_i8_portable(const int8_t* in, int8_t* out, int C, int H, int W, int kH, int kW, int stride_h,
                         int stride_w, int pad_h, int pad_w, void* stream);
// out[c] = (sum over positions in row order) * (1 / (H W)); an empty image gives zeros.
void avgpool_f32_portable(const float* in, float* out, int C, int H, int W, void* stream);
// out[c] = clamp(out_zp + single-rounding Q31 scaling of sum(x - in_zp) by in_scale / (H W out_scale)).
void avgpool_i8_portable(const int8_t* in, int32_t in_zp, int32_t out_zp, int8_t* out, int C, int H, int W,
                         float in_scale, float out_scale, void* stream);
void avgpool_i8_to_i8_portable(const int8_t* in, int32_t in_zp, int32_t out_zp, int8_t* out, int C, int H,
                               int W, float in_scale, float out_scale);

#ifndef TREVALON_PORTABLE
void maxpool_f32_avx2(const float* in, float* out, int C, int H, int W, int kH, int kW, int stride_h,
                      int stride_w, int pad_h, int pad_w, void* stream);
void maxpool_i8_avx2(const int8_t* in, int8_t* out, int C, int H, int W, int kH, int kW, int stride_h,
                     int stride_w, int pad_h, int pad_w, void* stream);
void avgpool_f32_avx2(const float* in, float* out, int C, int H, int W, void* stream);
void avgpool_i8_avx2(const int8_t* in, int32_t in_zp, int32_t out_zp, int8_t* out, int C, int H, int W,
                     float in_scale, float out_scale, void* stream);
void avgpool_i8_to_i8_avx2(const int8_t* in, int32_t in_zp, int32_t out_zp, int8_t* out, int C, int H, int W,
                           float in_scale, float out_scale);

void maxpool_f32_avx512(const float* in, float* out, int C, int H, int W, int kH, int kW, int stride_h,
                        int stride_w, int pad_h, int pad_w, void* stream);
void maxpool_i8_avx512(const int8_t* in, int8_t* out, int C, int H, int W, int kH, int kW, int stride_h,
                       int stride_w, int pad_h, int pad_w, void* stream);
void avgpool_f32_avx512(const float* in, float* out, int C, int H, int W, void* stream);
#endif

}  // namespace trevalon
