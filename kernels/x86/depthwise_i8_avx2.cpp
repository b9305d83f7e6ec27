// Depthwise 3x3 int8 convolution with AVX2: eight channels per vector, the last few one by one;
// same bits as the portable kernel.
#include <immintrin.h>

#include <algorithm>
#include <cstddef>

#include "kernels/depthwise_i8.h"
#include "kernels/requantize.h"
#include "kernels/x86/requantize_avx2.h"

namespace trevalon {
namespace {

inline __m256i load_i8x8(const int8_t* p) {
  return _mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}

}  // namespace

void depthwise_i8_3x3_avx2(const int8_t* input, const int8_t* weights, const int32_t* bias,
                           const int32_t* mult, const int32_t* shift, int8_t in_zp, int8_t out_zp,
                           int8_t* output, int C, int H, int W, int stride) {
  if (C <= 0 || H <= 0 || W <= 0 || stride <= 0) return;
  const int out_w = (W - 1) / stride + 1;
  const int vector_channels = C - C % 8;
  const __m256i zp_in = _mm256_set1_epi32(in_zp), zp_out = _mm256_set1_epi32(out_zp);

  depthwise_i8_row_bands(C, H, W, stride, 1, [&](int oy_begin, int oy_end) {
    for (int oy = oy_begin; oy < oy_end; ++oy) {
      const int8_t* rows[3];
      for (int ky = 0; ky < 3; ++ky) {
        const int iy = oy * stride - 1 + ky;
        rows[ky] = (iy >= 0 && iy < H) ? input + size_t(iy) * W * C : nullptr;
      }
      int8_t* out_row = output + size_t(oy) * out_w * C;

      for (int c = 0; c < vector_channels; c += 8) {
        __m256i w[9];
        for (int t = 0; t < 9; ++t) w[t] = load_i8x8(weights + size_t(t) * C + c);
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bias + c));
        const x86::RequantLanes256 q =
            x86::requant_lanes_avx2(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(mult + c)),
                                    _mm256_loadu_si256(reinterpret_cast<const __m256i*>(shift + c)));
        for (int ox = 0; ox < out_w; ++ox) {
          __m256i acc = _mm256_setzero_si256();
          for (int ky = 0; ky < 3; ++ky)
            for (int kx = 0; kx < 3; ++kx) {
              const int ix = ox * stride - 1 + kx;
              const __m256i x =
                  (rows[ky] && ix >= 0 && ix < W) ? load_i8x8(rows[ky] + size_t(ix) * C + c) : zp_in;
              acc = _mm256_add_epi32(acc, _mm256_mullo_epi32(x, w[3 * ky + kx]));
            }
          const __m256i v = x86::requantize_avx2(_mm256_add_epi32(acc, b), q, zp_out);
          x86::store_saturated_i8x8(out_row + size_t(ox) * C + c, v);
        }
      }
      for (int c = vector_channels; c < C; ++c) {
        for (int ox = 0; ox < out_w; ++ox) {
          int32_t acc = 0;
          for (int ky = 0; ky < 3; ++ky)
            for (int kx = 0; kx < 3; ++kx) {
              const int ix = ox * stride - 1 + kx;
              const int32_t x = (rows[ky] && ix >= 0 && ix < W) ? rows[ky][size_t(ix) * C + c] : in_zp;
              acc += x * weights[size_t(3 * ky + kx) * C + c];
            }
          const int32_t v = int32_t(uint32_t(acc) + uint32_t(bias[c]));
          out_row[size_t(ox) * C + c] = requantize(v, mult[c], shift[c], out_zp);
        }
      }
    }
  });
}

}  // namespace trevalon
