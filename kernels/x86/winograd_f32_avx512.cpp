// Float Winograd F(2x2, 3x3) tile transforms with AVX-512: 16 channels per vector, masked tails.
// The additions run in the portable order (rows first, then columns), so the bits are the same.
#include <immintrin.h>

#include <cstddef>

#include "kernels/winograd_f32.h"

namespace trevalon {
namespace {

inline __mmask16 tail_mask(int remaining) {
  return remaining >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << remaining) - 1u);
}

}  // namespace

void winograd_input_transform_f32_avx512(const float* input, int C, int H, int W, int tiles_w,
                                         int tile_begin, int tile_count, float* V) {
  const size_t stride = size_t(tile_count) * size_t(C);
  const __m512 zero = _mm512_setzero_ps();
  for (int t = 0; t < tile_count; ++t) {
    const int tile = tile_begin + t;
    const int iy0 = 2 * (tile / tiles_w) - 1, ix0 = 2 * (tile % tiles_w) - 1;
    const float* src[16];
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 4; ++x) {
        const int iy = iy0 + y, ix = ix0 + x;
        const bool inside = iy >= 0 && iy < H && ix >= 0 && ix < W;
        src[4 * y + x] = inside ? input + (size_t(iy) * size_t(W) + size_t(ix)) * size_t(C) : nullptr;
      }
    float* dst = V + size_t(t) * size_t(C);
    for (int c = 0; c < C; c += 16) {
      const __mmask16 m = tail_mask(C - c);
      __m512 r[16];
      for (int x = 0; x < 4; ++x) {
        const __m512 d0 = src[0 + x] ? _mm512_maskz_loadu_ps(m, src[0 + x] + c) : zero;
        const __m512 d1 = src[4 + x] ? _mm512_maskz_loadu_ps(m, src[4 + x] + c) : zero;
        const __m512 d2 = src[8 + x] ? _mm512_maskz_loadu_ps(m, src[8 + x] + c) : zero;
        const __m512 d3 = src[12 + x] ? _mm512_maskz_loadu_ps(m, src[12 + x] + c) : zero;
        r[0 + x] = _mm512_sub_ps(d0, d2);
        r[4 + x] = _mm512_add_ps(d1, d2);
        r[8 + x] = _mm512_sub_ps(d2, d1);
        r[12 + x] = _mm512_sub_ps(d1, d3);
      }
      for (int i = 0; i < 4; ++i) {
        const __m512* ri = r + 4 * i;
        _mm512_mask_storeu_ps(dst + size_t(4 * i + 0) * stride + c, m, _mm512_sub_ps(ri[0], ri[2]));
        _mm512_mask_storeu_ps(dst + size_t(4 * i + 1) * stride + c, m, _mm512_add_ps(ri[1], ri[2]));
        _mm512_mask_storeu_ps(dst + size_t(4 * i + 2) * stride + c, m, _mm512_sub_ps(ri[2], ri[1]));
        _mm512_mask_storeu_ps(dst + size_t(4 * i + 3) * stride + c, m, _mm512_sub_ps(ri[1], ri[3]));
      }
    }
  }
}

void winograd_output_transform_f32_avx512(const float* P, int C_out, int H, int W, int tiles_w,
                                          int tile_begin, int tile_count, const float* bias,
                                          bool relu, float* output) {
  const size_t stride = size_t(tile_count) * size_t(C_out);
  const __m512 zero = _mm512_setzero_ps();
  for (int t = 0; t < tile_count; ++t) {
    const int tile = tile_begin + t;
    const int oy = 2 * (tile / tiles_w), ox = 2 * (tile % tiles_w);
    const bool has_right = ox + 1 < W, has_below = oy + 1 < H;
    const float* src = P + size_t(t) * size_t(C_out);
    float* out00 = output + (size_t(oy) * size_t(W) + size_t(ox)) * size_t(C_out);
    float* out10 = out00 + size_t(W) * size_t(C_out);
    for (int n = 0; n < C_out; n += 16) {
      const __mmask16 m = tail_mask(C_out - n);
      __m512 s0[4], s1[4];
      for (int x = 0; x < 4; ++x) {
        const __m512 m0 = _mm512_maskz_loadu_ps(m, src + size_t(0 + x) * stride + n);
        const __m512 m1 = _mm512_maskz_loadu_ps(m, src + size_t(4 + x) * stride + n);
        const __m512 m2 = _mm512_maskz_loadu_ps(m, src + size_t(8 + x) * stride + n);
        const __m512 m3 = _mm512_maskz_loadu_ps(m, src + size_t(12 + x) * stride + n);
        s0[x] = _mm512_add_ps(_mm512_add_ps(m0, m1), m2);
        s1[x] = _mm512_sub_ps(_mm512_sub_ps(m1, m2), m3);
      }
      __m512 y[4] = {_mm512_add_ps(_mm512_add_ps(s0[0], s0[1]), s0[2]),
                     _mm512_sub_ps(_mm512_sub_ps(s0[1], s0[2]), s0[3]),
                     _mm512_add_ps(_mm512_add_ps(s1[0], s1[1]), s1[2]),
                     _mm512_sub_ps(_mm512_sub_ps(s1[1], s1[2]), s1[3])};
      if (bias) {
        const __m512 b = _mm512_maskz_loadu_ps(m, bias + n);
        for (__m512& v : y) v = _mm512_add_ps(v, b);
      }
      if (relu)
        for (__m512& v : y) v = _mm512_maskz_max_ps(m, v, zero);  // v > 0 ? v : 0, NaN becomes 0
      _mm512_mask_storeu_ps(out00 + n, m, y[0]);
      if (has_right) _mm512_mask_storeu_ps(out00 + C_out + n, m, y[1]);
      if (has_below) {
        _mm512_mask_storeu_ps(out10 + n, m, y[2]);
        if (has_right) _mm512_mask_storeu_ps(out10 + C_out + n, m, y[3]);
      }
    }
  }
}

}  // namespace trevalon
