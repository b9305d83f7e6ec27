// Portable pooling kernels: max pooling over clipped windows and global average pooling.
#include "kernels/pooling.h"

#include <limits>

#include "kernels/pool_window.h"
#include "kernels/q31_scale.h"
#include "kernels/requantize.h"

namespace trevalon {
namespace {

template <class T>
void maxpool_portable(const T* in, T* out, int C, int H, int W, int kH, int kW, int stride_h, int stride_w,
                      int pad_h, int pad_w, T lowest) {
  const size_t row = size_t(W) * size_t(C);
  for_each_pool_window(C, H, W, kH, kW, stride_h, stride_w, pad_h, pad_w,
                       [&](size_t offset, const PoolWindow& win) {
                         T* o = out + offset;
                         for (int c = 0; c < C; ++c) o[c] = lowest;
                         for (int64_t y = win.y0; y < win.y1; ++y)
                           for (int64_t x = win.x0; x < win.x1; ++x) {
                             const T* p = in + size_t(y) * row + size_t(x) * size_t(C);
                             for (int c = 0; c < C; ++c) o[c] = p[c] > o[c] ? p[c] : o[c];
                           }
                       });
}

}  // namespace

void maxpool_f32_portable(const float* in, float* out, int C, int H, int W, int kH, int kW, int stride_h,
                          int stride_w, int pad_h, int pad_w, void*) {
  maxpool_portable(in, out, C, H, W, kH, kW, stride_h, stride_w, pad_h, pad_w,
                   -std::numeric_limits<float>::infinity());
}

void maxpool_i8_portable(const int8_t* in, int8_t* out, int C, int H, int W, int kH, int kW, int stride_h,
                         int stride_w, int pad_h, int pad_w, void*) {
  maxpool_portable(in, out, C, H, W, kH, kW, stride_h, stride_w, pad_h, pad_w, int8_t(-128));
}

void avgpool_f32_portable(const float* in, float* out, int C, int H, int W, void*) {
  if (C <= 0) return;
  const int64_t positions = (H > 0 && W > 0) ? int64_t(H) * W : 0;
  pool_channel_ranges(C, positions, 1, [&](int c_begin, int c_end) {
    for (int c = c_begin; c < c_end; ++c) out[c] = 0.0f;
    if (positions == 0) return;
    // The output row is the accumulator: sums run over positions in row order, one per channel.
    for (int64_t p = 0; p < positions; ++p) {
      const float* x = in + size_t(p) * size_t(C);
      for (int c = c_begin; c < c_end; ++c) out[c] += x[c];
    }
    const float inv = 1.0f / static_cast<float>(positions);
    for (int c = c_begin; c < c_end; ++c) out[c] *= inv;
  });
}

void avgpool_i8_portable(const int8_t* in, int32_t in_zp, int32_t out_zp, int8_t* out, int C, int H, int W,
                         float in_scale, float out_scale, void*) {
  if (C <= 0) return;
  const int64_t positions = (H > 0 && W > 0) ? int64_t(H) * W : 0;
  int32_t m = 0, e = 0;
  scale_to_multiplier(in_scale / (static_cast<float>(positions) * out_scale), m, e);
  constexpr int kChunk = 64;  // channels summed together, so the input is read row by row
  pool_channel_ranges(C, positions, kChunk, [&](int c_begin, int c_end) {
    for (int c0 = c_begin; c0 < c_end; c0 += kChunk) {
      const int n = c_end - c0 < kChunk ? c_end - c0 : kChunk;
      uint32_t sum[kChunk] = {};  // 32-bit sums wrap like the hardware lanes would
      for (int64_t p = 0; p < positions; ++p) {
        const int8_t* x = in + size_t(p) * size_t(C) + size_t(c0);
        for (int c = 0; c < n; ++c) sum[c] += uint32_t(int32_t(x[c])) - uint32_t(in_zp);
      }
      for (int c = 0; c < n; ++c) {
        const int64_t v = int64_t(out_zp) + q31_scale_single_round(int32_t(sum[c]), m, e);
        out[c0 + c] = static_cast<int8_t>(v < -128 ? -128 : (v > 127 ? 127 : v));
      }
    }
  });
}

void avgpool_i8_to_i8_portable(const int8_t* in, int32_t in_zp, int32_t out_zp, int8_t* out, int C, int H,
                               int W, float in_scale, float out_scale) {
  avgpool_i8_portable(in, in_zp, out_zp, out, C, H, W, in_scale, out_scale, nullptr);
}

}  // namespace trevalon
