// Depthwise 3x3 int8 convolution with AVX-512: sixteen channels per vector (a masked vector for the
// last few), same bits as the portable kernel.
// GCC 12 reports its own masked-load intrinsics as reading uninitialised values.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <algorithm>
#include <cstddef>

#include "kernels/depthwise_i8.h"
#include "kernels/x86/requantize_avx512.h"

namespace trevalon {
namespace {

using x86::RequantLanes512;

inline __m512i load_i8x16(const int8_t* p, __mmask16 mask) {
  return _mm512_cvtepi8_epi32(_mm_maskz_loadu_epi8(mask, p));
}

}  // namespace

void depthwise_i8_3x3_avx512_part(const int8_t* input, const int8_t* weights, const int32_t* bias,
                                  const int32_t* mult, const int32_t* shift, int8_t in_zp, int8_t out_zp,
                                  int8_t* output, int C, int H, int W, int stride, int c_begin, int c_end,
                                  int oy_begin, int oy_end) {
  if (C <= 0 || H <= 0 || W <= 0 || stride <= 0) return;
  const int out_w = (W - 1) / stride + 1;
  const DepthwiseSpan inner = depthwise_inner_span(W, stride, out_w);
  const __m512i zp_in = _mm512_set1_epi32(in_zp), zp_out = _mm512_set1_epi32(out_zp);
  const size_t row_bytes = size_t(W) * C;

  for (int oy = oy_begin; oy < oy_end; ++oy) {
    const int8_t* rows[3];
    bool all_rows = true;
    for (int ky = 0; ky < 3; ++ky) {
      const int iy = oy * stride - 1 + ky;
      rows[ky] = (iy >= 0 && iy < H) ? input + size_t(iy) * row_bytes : nullptr;
      all_rows = all_rows && rows[ky];
    }
    int8_t* out_row = output + size_t(oy) * out_w * C;

    for (int c = c_begin; c < c_end; c += 16) {
      const __mmask16 mask = c_end - c >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (c_end - c)) - 1);
      __m512i w[9];
      for (int t = 0; t < 9; ++t) w[t] = load_i8x16(weights + size_t(t) * C + c, mask);
      const __m512i b = _mm512_maskz_loadu_epi32(mask, bias + c);
      const RequantLanes512 q = x86::requant_lanes_avx512(_mm512_maskz_loadu_epi32(mask, mult + c),
                                                          _mm512_maskz_loadu_epi32(mask, shift + c));

      auto finish = [&](int ox, __m512i acc) {
        const __m512i v = x86::requantize_avx512(_mm512_add_epi32(acc, b), q, zp_out);
        x86::store_saturated_i8x16(out_row + size_t(ox) * C + c, v, mask);
      };
      // A pixel whose taps may fall outside the input: those taps read in_zp.
      auto edge_pixel = [&](int ox) {
        __m512i acc = _mm512_setzero_si512();
        for (int ky = 0; ky < 3; ++ky)
          for (int kx = 0; kx < 3; ++kx) {
            const int ix = ox * stride - 1 + kx;
            const __m512i x =
                (rows[ky] && ix >= 0 && ix < W) ? load_i8x16(rows[ky] + size_t(ix) * C + c, mask) : zp_in;
            acc = _mm512_add_epi32(acc, _mm512_mullo_epi32(x, w[3 * ky + kx]));
          }
        finish(ox, acc);
      };

      if (!all_rows) {
        for (int ox = 0; ox < out_w; ++ox) edge_pixel(ox);
        continue;
      }
      for (int ox = 0; ox < inner.begin; ++ox) edge_pixel(ox);
      for (int ox = inner.begin; ox < inner.end; ++ox) {
        const size_t at = size_t(ox * stride - 1) * C + c;
        __m512i acc = _mm512_setzero_si512();
        for (int ky = 0; ky < 3; ++ky) {
          const int8_t* p = rows[ky] + at;
          acc = _mm512_add_epi32(acc, _mm512_mullo_epi32(load_i8x16(p, mask), w[3 * ky]));
          acc = _mm512_add_epi32(acc, _mm512_mullo_epi32(load_i8x16(p + C, mask), w[3 * ky + 1]));
          acc = _mm512_add_epi32(acc, _mm512_mullo_epi32(load_i8x16(p + 2 * size_t(C), mask), w[3 * ky + 2]));
        }
        finish(ox, acc);
      }
      for (int ox = inner.end; ox < out_w; ++ox) edge_pixel(ox);
    }
  }
}

void depthwise_i8_3x3_avx512(const int8_t* input, const int8_t* weights, const int32_t* bias,
                             const int32_t* mult, const int32_t* shift, int8_t in_zp, int8_t out_zp,
                             int8_t* output, int C, int H, int W, int stride) {
  if (C <= 0 || H <= 0 || W <= 0 || stride <= 0) return;
  depthwise_i8_row_bands(C, H, W, stride, 1, [&](int oy_begin, int oy_end) {
    depthwise_i8_3x3_avx512_part(input, weights, bias, mult, shift, in_zp, out_zp, output, C, H, W, stride, 0,
                                 C, oy_begin, oy_end);
  });
}

}  // namespace trevalon
