// Int8 Winograd F(2x2, 3x3) input and output stages with AVX-512: 32 input channels per vector in
// 16 bits, 16 output channels per vector in 32 bits, masked vectors for the last few channels;
// same bits as the portable stages.
// GCC 12 reports its own masked-load intrinsics as reading uninitialised values.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <cstddef>

#include "kernels/winograd_i8.h"
#include "kernels/x86/requantize_avx512.h"

namespace trevalon {
namespace {

using x86::RequantLanes512;

// B^T d B on 16 vectors of 16-bit values (d[4 r + c] = patch row r, column c), each result stored
// as saturate_int8((v + 2) >> 2) into its matrix.
inline void transform_and_store(const __m512i d[16], int8_t* V, size_t plane, __mmask32 mask) {
  __m512i t[16];
  for (int j = 0; j < 4; ++j) {
    t[0 + j] = _mm512_sub_epi16(d[0 + j], d[8 + j]);
    t[4 + j] = _mm512_add_epi16(d[4 + j], d[8 + j]);
    t[8 + j] = _mm512_sub_epi16(d[8 + j], d[4 + j]);
    t[12 + j] = _mm512_sub_epi16(d[4 + j], d[12 + j]);
  }
  const __m512i two = _mm512_set1_epi16(2);
  for (int i = 0; i < 4; ++i) {
    const __m512i* r = t + 4 * i;
    const __m512i x[4] = {_mm512_sub_epi16(r[0], r[2]), _mm512_add_epi16(r[1], r[2]),
                          _mm512_sub_epi16(r[2], r[1]), _mm512_sub_epi16(r[1], r[3])};
    for (int j = 0; j < 4; ++j) {
      const __m256i bytes = _mm512_cvtsepi16_epi8(_mm512_srai_epi16(_mm512_add_epi16(x[j], two), 2));
      int8_t* dst = V + (4 * i + j) * plane;
      if (mask == 0xFFFFFFFFu) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), bytes);
      } else {
        _mm256_mask_storeu_epi8(dst, mask, bytes);
      }
    }
  }
}

inline __m512i load_i8x32(const int8_t* p, __mmask32 mask) {
  return _mm512_cvtepi8_epi16(_mm256_maskz_loadu_epi8(mask, p));
}

// A^T R A for one row pair of products, A^T = [[1, 1, 1, 0], [0, 1, -1, -1]].
inline void output_transform(const __m512i R[16], __m512i Y[4]) {
  __m512i u[2][4];
  for (int j = 0; j < 4; ++j) {
    u[0][j] = _mm512_add_epi32(_mm512_add_epi32(R[j], R[4 + j]), R[8 + j]);
    u[1][j] = _mm512_sub_epi32(_mm512_sub_epi32(R[4 + j], R[8 + j]), R[12 + j]);
  }
  for (int r = 0; r < 2; ++r) {
    Y[2 * r + 0] = _mm512_add_epi32(_mm512_add_epi32(u[r][0], u[r][1]), u[r][2]);
    Y[2 * r + 1] = _mm512_sub_epi32(_mm512_sub_epi32(u[r][1], u[r][2]), u[r][3]);
  }
}

// Low 32 bits of 16 int64 biases.
inline __m512i load_bias_low32(const int64_t* b, __mmask16 mask) {
  const __m256i lo = _mm512_cvtepi64_epi32(_mm512_maskz_loadu_epi64(__mmask8(mask), b));
  const __m256i hi = _mm512_cvtepi64_epi32(_mm512_maskz_loadu_epi64(__mmask8(mask >> 8), b + 8));
  return _mm512_inserti64x4(_mm512_castsi256_si512(lo), hi, 1);
}

// Rescale of one product matrix: the same multiplier and shift in every lane.
struct ProductRescale {
  __m512i mult;
  __m128i count, count_minus_1;  // left shift, or right shift and the position of its rounding bit
  bool right;
};

inline ProductRescale product_rescale(int32_t mult, int32_t shift) {
  ProductRescale r;
  r.mult = _mm512_set1_epi32(mult);
  r.right = shift < 0;
  const int64_t count = shift < 0 ? -int64_t(shift) : shift;
  r.count = _mm_cvtsi64_si128(count);
  r.count_minus_1 = _mm_cvtsi64_si128(count - 1);
  return r;
}

// rounding_shift(saturating_rounding_doubling_high_mul(p, mult), shift) for a multiplier other than
// INT32_MIN, which cannot overflow. Right shifts of 32 and more leave the sign plus its own rounding
// bit, i.e. 0, and left shifts of 32 and more give 0, as the scalar helpers do.
inline __m512i rescale_product(__m512i p, const ProductRescale& r) {
  const __m512i round = _mm512_set1_epi64(int64_t(1) << 30);
  const __m512i even = _mm512_add_epi64(_mm512_mul_epi32(p, r.mult), round);
  const __m512i odd = _mm512_add_epi64(_mm512_mul_epi32(_mm512_srli_epi64(p, 32), r.mult), round);
  const __m512i h = _mm512_mask_blend_epi32(0xAAAA, _mm512_srli_epi64(even, 31), _mm512_slli_epi64(odd, 1));
  if (!r.right) return _mm512_sll_epi32(h, r.count);
  const __m512i bit = _mm512_and_si512(_mm512_sra_epi32(h, r.count_minus_1), _mm512_set1_epi32(1));
  return _mm512_add_epi32(_mm512_sra_epi32(h, r.count), bit);
}

}  // namespace

void winograd_i8_input_avx512(const int8_t* input, int C, int H, int W, int8_t in_zp, int ty0, int ty1,
                              int8_t* V, size_t plane) {
  const int tiles_x = (W + 1) / 2;
  const __m512i zp = _mm512_set1_epi16(in_zp);
  size_t t = 0;
  for (int ty = ty0; ty < ty1; ++ty)
    for (int tx = 0; tx < tiles_x; ++tx, ++t) {
      const int8_t* pixel[16];
      bool interior = true;
      for (int r = 0; r < 4; ++r)
        for (int col = 0; col < 4; ++col) {
          const int y = 2 * ty - 1 + r, x = 2 * tx - 1 + col;
          const bool inside = y >= 0 && y < H && x >= 0 && x < W;
          pixel[4 * r + col] = inside ? input + (size_t(y) * W + x) * C : nullptr;
          interior = interior && inside;
        }
      int8_t* row = V + t * C;
      for (int c = 0; c < C; c += 32) {
        const __mmask32 mask = C - c >= 32 ? __mmask32(0xFFFFFFFFu) : __mmask32((1u << (C - c)) - 1);
        __m512i d[16];
        if (interior) {
          for (int k = 0; k < 16; ++k) d[k] = load_i8x32(pixel[k] + c, mask);
        } else {
          for (int k = 0; k < 16; ++k) d[k] = pixel[k] ? load_i8x32(pixel[k] + c, mask) : zp;
        }
        transform_and_store(d, row + c, plane, mask);
      }
    }
}

void winograd_i8_output_avx512(const int32_t* P, size_t plane, const WinogradI8OutputArgs& a, int ty0,
                               int ty1, int8_t* output) {
  const int tiles_x = (a.W + 1) / 2;
  const int C_out = a.C_out;
  ProductRescale rescale[16];
  for (int k = 0; k < 16; ++k) {
    // Scales of the transformed weights are positive, so their multipliers are never INT32_MIN;
    // anything else takes the portable stage.
    if (a.product_mult[k] == INT32_MIN) {
      winograd_i8_output_portable(P, plane, a, ty0, ty1, output);
      return;
    }
    rescale[k] = product_rescale(a.product_mult[k], a.product_shift[k]);
  }
  const __m512i zp_out = _mm512_set1_epi32(a.out_zp);
  const size_t row_stride = size_t(a.W) * C_out;
  for (int o = 0; o < C_out; o += 16) {
    const __mmask16 mask = C_out - o >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (C_out - o)) - 1);
    const __m512i bias = load_bias_low32(a.bias_w + o, mask);
    const RequantLanes512 q = x86::requant_lanes_avx512(_mm512_maskz_loadu_epi32(mask, a.mult + o),
                                                        _mm512_maskz_loadu_epi32(mask, a.shift + o));
    auto store = [&](int8_t* dst, __m512i y) {
      x86::store_saturated_i8x16(dst, x86::requantize_avx512(_mm512_add_epi32(y, bias), q, zp_out), mask);
    };
    size_t t = 0;
    for (int ty = ty0; ty < ty1; ++ty) {
      const bool row1 = 2 * ty + 1 < a.H;
      for (int tx = 0; tx < tiles_x; ++tx, ++t) {
        const int32_t* p = P + t * C_out + o;
        __m512i R[16];
        for (int k = 0; k < 16; ++k)
          R[k] = rescale_product(_mm512_maskz_loadu_epi32(mask, p + k * plane), rescale[k]);
        __m512i Y[4];
        output_transform(R, Y);
        int8_t* out00 = output + (size_t(2 * ty) * a.W + 2 * tx) * C_out + o;
        const bool col1 = 2 * tx + 1 < a.W;
        store(out00, Y[0]);
        if (col1) store(out00 + C_out, Y[1]);
        if (row1) {
          store(out00 + row_stride, Y[2]);
          if (col1) store(out00 + row_stride + C_out, Y[3]);
        }
      }
    }
  }
}

}  // namespace trevalon
