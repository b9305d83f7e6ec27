// Int8 Winograd F(2x2, 3x3) input and output stages with AVX-512: 32 input channels per vector in
// 16 bits, 16 output channels per vector in 32 bits, masked vectors for the last few channels;
// same bits as the portable stages. The input stage can store its values offset for the VNNI
// product; the output stage moves the products' left shifts behind the transform where they
// commute with it, and requantises by one 64-bit division where every channel allows it.
// GCC 12 reports its own masked-load intrinsics as reading uninitialised values.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <algorithm>
#include <climits>
#include <cstddef>

#include "kernels/winograd_i8.h"
#include "kernels/winograd_tiles.h"
#include "kernels/x86/requantize_avx512.h"

namespace trevalon {
namespace {

using x86::RequantLanes512;

// B^T d B on 16 vectors of 16-bit values (d[4 r + c] = patch row r, column c), each result stored
// as saturate_int8((v + 2) >> 2) into its matrix; Offset: stored XOR 0x80, i.e. plus 128 read as
// unsigned, the form the VNNI product takes its activations in.
template <bool Offset>
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
      __m256i bytes = _mm512_cvtsepi16_epi8(_mm512_srai_epi16(_mm512_add_epi16(x[j], two), 2));
      if (Offset) bytes = _mm256_xor_si256(bytes, _mm256_set1_epi8(char(0x80)));
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

template <bool Offset>
void input_stage(const int8_t* input, int C, int H, int W, int8_t in_zp, int ty0, int ty1, int8_t* V,
                 size_t plane) {
  const int tiles_x = (W + 1) / 2;
  const __m512i zp = _mm512_set1_epi16(in_zp);
  size_t t = 0;
  for (int ty = ty0; ty < ty1; ++ty)
    for (int tx = 0; tx < tiles_x; ++tx, ++t) {
      const int8_t* pixel[16];
      const bool interior = winograd_tile_pixels(input, C, H, W, ty, tx, pixel);
      int8_t* row = V + t * C;
      for (int c = 0; c < C; c += 32) {
        const __mmask32 mask = C - c >= 32 ? __mmask32(0xFFFFFFFFu) : __mmask32((1u << (C - c)) - 1);
        __m512i d[16];
        if (interior) {
          for (int k = 0; k < 16; ++k) d[k] = load_i8x32(pixel[k] + c, mask);
        } else {
          for (int k = 0; k < 16; ++k) d[k] = pixel[k] ? load_i8x32(pixel[k] + c, mask) : zp;
        }
        transform_and_store<Offset>(d, row + c, plane, mask);
      }
    }
}

}  // namespace

void winograd_i8_input_avx512(const int8_t* input, int C, int H, int W, int8_t in_zp, int ty0, int ty1,
                              int8_t* V, size_t plane) {
  input_stage<false>(input, C, H, W, in_zp, ty0, ty1, V, plane);
}

void winograd_i8_input_avx512_offset(const int8_t* input, int C, int H, int W, int8_t in_zp, int ty0, int ty1,
                                     int8_t* V, size_t plane) {
  input_stage<true>(input, C, H, W, in_zp, ty0, ty1, V, plane);
}

namespace {

// srdhm(p, m) for one multiplier in every lane (not INT32_MIN, so nothing saturates).
inline __m512i high_multiply(__m512i p, __m512i mult) {
  const __m512i round = _mm512_set1_epi64(int64_t(1) << 30);
  const __m512i even = _mm512_add_epi64(_mm512_mul_epi32(p, mult), round);
  const __m512i odd = _mm512_add_epi64(_mm512_mul_epi32(_mm512_srli_epi64(p, 32), mult), round);
  return _mm512_mask_blend_epi32(0xAAAA, _mm512_srli_epi64(even, 31), _mm512_slli_epi64(odd, 1));
}

// How one call rescales its 16 products.
struct OutputPlan {
  ProductRescale rescale[16];
  // Every product shift left (e_k >= 0): left shifts commute with the wrapping sums of the output
  // transform, so each product is shifted by e_k - e_min only and the four sums by e_min.
  bool fold_left;
  __m512i mult[16];
  __m128i relative[16], common;
  bool shifted[16], common_shift;
  // Every channel's requantisation fits one 64-bit division.
  bool division;
};

// One channel vector (channels [o, o + 16) under `mask`) of tile rows [ty0, ty1).
template <bool FoldLeft, bool Division>
void output_channels(const int32_t* P, size_t plane, const WinogradI8OutputArgs& a, const OutputPlan& plan,
                     int ty0, int ty1, int8_t* output, int o, __mmask16 mask) {
  const int tiles_x = (a.W + 1) / 2;
  const int C_out = a.C_out;
  const size_t row_stride = size_t(a.W) * C_out, width = size_t(a.channel_end - a.channel_begin);
  const __m512i bias = load_bias_low32(a.bias_w + o, mask);
  const int count = a.channel_end - o < 16 ? a.channel_end - o : 16;
  x86::DivisionRequant512 d{};
  if (Division) d = x86::division_requant_avx512(a.mult + o, a.shift + o, a.out_zp, count);
  const RequantLanes512 q = x86::requant_lanes_avx512(_mm512_maskz_loadu_epi32(mask, a.mult + o),
                                                      _mm512_maskz_loadu_epi32(mask, a.shift + o));
  const __m512i zp_out = _mm512_set1_epi32(a.out_zp);
  auto store = [&](int8_t* dst, __m512i y) {
    const __m512i v = _mm512_add_epi32(y, bias);
    x86::store_saturated_i8x16(
        dst, Division ? x86::requantize_division_avx512(v, d) : x86::requantize_avx512(v, q, zp_out), mask);
  };
  size_t t = 0;
  for (int ty = ty0; ty < ty1; ++ty) {
    const bool row1 = 2 * ty + 1 < a.H;
    for (int tx = 0; tx < tiles_x; ++tx, ++t) {
      const int32_t* p = P + t * width + (o - a.channel_begin);
      __m512i R[16];
#pragma GCC unroll 16
      for (int k = 0; k < 16; ++k) {
        const __m512i product = _mm512_maskz_loadu_epi32(mask, p + k * plane);
        if (FoldLeft) {
          R[k] = high_multiply(product, plan.mult[k]);
          if (plan.shifted[k]) R[k] = _mm512_sll_epi32(R[k], plan.relative[k]);
        } else {
          R[k] = rescale_product(product, plan.rescale[k]);
        }
      }
      __m512i Y[4];
      output_transform(R, Y);
      if (FoldLeft && plan.common_shift)
#pragma GCC unroll 4
        for (int i = 0; i < 4; ++i) Y[i] = _mm512_sll_epi32(Y[i], plan.common);
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

}  // namespace

void winograd_i8_output_avx512(const int32_t* P, size_t plane, const WinogradI8OutputArgs& a, int ty0,
                               int ty1, int8_t* output) {
  OutputPlan plan;
  int lowest = INT32_MAX;
  plan.fold_left = true;
  for (int k = 0; k < 16; ++k) {
    // Scales of the transformed weights are positive, so their multipliers are never INT32_MIN;
    // anything else takes the portable stage.
    if (a.product_mult[k] == INT32_MIN) {
      winograd_i8_output_portable(P, plane, a, ty0, ty1, output);
      return;
    }
    plan.rescale[k] = product_rescale(a.product_mult[k], a.product_shift[k]);
    plan.mult[k] = _mm512_set1_epi32(a.product_mult[k]);
    plan.fold_left = plan.fold_left && a.product_shift[k] >= 0;
    lowest = std::min(lowest, a.product_shift[k]);
  }
  if (plan.fold_left) {
    for (int k = 0; k < 16; ++k) {
      // Shifts of 32 and more give 0 either way: the instructions do so for counts past 31.
      const int64_t relative = int64_t(a.product_shift[k]) - lowest;
      plan.relative[k] = _mm_cvtsi64_si128(relative);
      plan.shifted[k] = relative != 0;
    }
    plan.common = _mm_cvtsi64_si128(lowest);
    plan.common_shift = lowest != 0;
  }
  plan.division = true;
  for (int o = a.channel_begin; plan.division && o < a.channel_end; ++o)
    plan.division = requantize_as_division(a.mult[o], a.shift[o]);

  for (int o = a.channel_begin; o < a.channel_end; o += 16) {
    const int left = a.channel_end - o;
    const __mmask16 mask = left >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << left) - 1);
    if (plan.fold_left) {
      if (plan.division) {
        output_channels<true, true>(P, plane, a, plan, ty0, ty1, output, o, mask);
      } else {
        output_channels<true, false>(P, plane, a, plan, ty0, ty1, output, o, mask);
      }
    } else if (plan.division) {
      output_channels<false, true>(P, plane, a, plan, ty0, ty1, output, o, mask);
    } else {
      output_channels<false, false>(P, plane, a, plan, ty0, ty1, output, o, mask);
    }
  }
}

}  // namespace trevalon
