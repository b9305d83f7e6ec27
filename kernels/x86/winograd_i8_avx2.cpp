// Int8 Winograd F(2x2, 3x3) input and output stages with AVX2: 16 input channels per vector in 16
// bits, 8 output channels per vector in 32 bits, the last few channels by the portable stages;
// same bits throughout.
#include <immintrin.h>

#include <cstddef>

#include "kernels/winograd_i8.h"
#include "kernels/winograd_tiles.h"
#include "kernels/x86/requantize_avx2.h"

namespace trevalon {
namespace {

using x86::RequantLanes256;

inline __m256i load_i8x16(const int8_t* p) {
  return _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

inline void store_i16_as_i8(int8_t* dst, __m256i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst),
                   _mm_packs_epi16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1)));
}

// B^T d B on 16 vectors of 16-bit values, each result stored as saturate_int8((v + 2) >> 2).
inline void transform_and_store(const __m256i d[16], int8_t* V, size_t plane) {
  __m256i t[16];
  for (int j = 0; j < 4; ++j) {
    t[0 + j] = _mm256_sub_epi16(d[0 + j], d[8 + j]);
    t[4 + j] = _mm256_add_epi16(d[4 + j], d[8 + j]);
    t[8 + j] = _mm256_sub_epi16(d[8 + j], d[4 + j]);
    t[12 + j] = _mm256_sub_epi16(d[4 + j], d[12 + j]);
  }
  const __m256i two = _mm256_set1_epi16(2);
  for (int i = 0; i < 4; ++i) {
    const __m256i* r = t + 4 * i;
    const __m256i x[4] = {_mm256_sub_epi16(r[0], r[2]), _mm256_add_epi16(r[1], r[2]),
                          _mm256_sub_epi16(r[2], r[1]), _mm256_sub_epi16(r[1], r[3])};
    for (int j = 0; j < 4; ++j)
      store_i16_as_i8(V + (4 * i + j) * plane, _mm256_srai_epi16(_mm256_add_epi16(x[j], two), 2));
  }
}

}  // namespace

void winograd_i8_input_avx2(const int8_t* input, int C, int H, int W, int8_t in_zp, int ty0, int ty1,
                            int8_t* V, size_t plane) {
  const int tiles_x = (W + 1) / 2;
  const int vector_channels = C - C % 16;
  const __m256i zp = _mm256_set1_epi16(in_zp);
  size_t t = 0;
  for (int ty = ty0; ty < ty1; ++ty)
    for (int tx = 0; tx < tiles_x; ++tx, ++t) {
      const int8_t* pixel[16];
      winograd_tile_pixels(input, C, H, W, ty, tx, pixel);
      int8_t* row = V + t * C;
      for (int c = 0; c < vector_channels; c += 16) {
        __m256i d[16];
        for (int k = 0; k < 16; ++k) d[k] = pixel[k] ? load_i8x16(pixel[k] + c) : zp;
        transform_and_store(d, row + c, plane);
      }
    }
  if (vector_channels < C)
    winograd_i8_input_channels(input, C, H, W, in_zp, ty0, ty1, V, plane, vector_channels, C);
}

void winograd_i8_output_avx2(const int32_t* P, size_t plane, const WinogradI8OutputArgs& a, int ty0, int ty1,
                             int8_t* output) {
  const int tiles_x = (a.W + 1) / 2;
  const int C_out = a.C_out;
  const int begin = a.channel_begin, width = a.channel_end - a.channel_begin;
  const int vector_end = begin + width - width % 8;
  RequantLanes256 rescale[16];
  for (int k = 0; k < 16; ++k)
    rescale[k] =
        x86::requant_lanes_avx2(_mm256_set1_epi32(a.product_mult[k]), _mm256_set1_epi32(a.product_shift[k]));
  const __m256i zp_out = _mm256_set1_epi32(a.out_zp);
  size_t t = 0;
  for (int ty = ty0; ty < ty1; ++ty)
    for (int tx = 0; tx < tiles_x; ++tx, ++t) {
      const bool row1 = 2 * ty + 1 < a.H, col1 = 2 * tx + 1 < a.W;
      int8_t* out00 = output + (size_t(2 * ty) * a.W + 2 * tx) * C_out;
      int8_t* out10 = out00 + size_t(a.W) * C_out;
      for (int o = begin; o < vector_end; o += 8) {
        const int32_t* products = P + t * size_t(width) + (o - begin);
        __m256i R[16];
        for (int k = 0; k < 16; ++k) {
          const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(products + k * plane));
          R[k] = x86::rounding_shift_avx2(x86::srdhm_avx2(p, rescale[k].mult), rescale[k]);
        }
        __m256i u[2][4];
        for (int j = 0; j < 4; ++j) {
          u[0][j] = _mm256_add_epi32(_mm256_add_epi32(R[j], R[4 + j]), R[8 + j]);
          u[1][j] = _mm256_sub_epi32(_mm256_sub_epi32(R[4 + j], R[8 + j]), R[12 + j]);
        }
        // Low 32 bits of the eight int64 biases: even dwords of the two loads.
        const __m256i b_lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a.bias_w + o));
        const __m256i b_hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a.bias_w + o + 4));
        const __m256i pick = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
        const __m256i bias = _mm256_blend_epi32(_mm256_permutevar8x32_epi32(b_lo, pick),
                                                _mm256_permutevar8x32_epi32(b_hi, pick), 0xF0);
        const RequantLanes256 q =
            x86::requant_lanes_avx2(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a.mult + o)),
                                    _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a.shift + o)));
        auto store = [&](int8_t* dst, __m256i y) {
          x86::store_saturated_i8x8(dst + o, x86::requantize_avx2(_mm256_add_epi32(y, bias), q, zp_out));
        };
        for (int r = 0; r < 2; ++r) {
          if (r == 1 && !row1) break;
          int8_t* dst = r == 0 ? out00 : out10;
          store(dst, _mm256_add_epi32(_mm256_add_epi32(u[r][0], u[r][1]), u[r][2]));
          if (col1) store(dst + C_out, _mm256_sub_epi32(_mm256_sub_epi32(u[r][1], u[r][2]), u[r][3]));
        }
      }
    }
  if (vector_end < a.channel_end)
    winograd_i8_output_channels(P, plane, a, ty0, ty1, output, vector_end, a.channel_end);
}

}  // namespace trevalon
