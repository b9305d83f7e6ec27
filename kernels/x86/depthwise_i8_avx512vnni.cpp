// Depthwise 3x3 int8 convolution with AVX-512 VNNI. Each input row is rewritten once into
// "triples": for every output column and channel the dword (x[col - 1], x[col], x[col + 1], 0), so
// that one vpdpbusd adds a whole kernel row and an output pixel takes three per channel block. A
// rewritten row serves every output row that reads it; taps outside the image read in_zp there,
// so borders and interior run the same loop. Same bits as the portable kernel.
//
// vpdpbusd multiplies unsigned by signed bytes, so the inputs are offset by 128 (XOR 0x80) and
// 128 x (the channel's weight sum) is taken off the bias: sum (x + 128) w = sum x w + 128 sum w.
// The byte interleave works inside 128-bit lanes, which leaves the channels of accumulator j in the
// order 16 L + 4 j + (0..3) for lane L; the per-channel tables are built in that order, and the
// saturating packs that end the requantisation undo it.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "kernels/depthwise_i8.h"
#include "kernels/x86/requantize_avx2.h"
#include "kernels/x86/requantize_avx512.h"

namespace trevalon {
namespace {

// 64, 32 or 16 channels per step; the operations the kernel needs at each width.
struct Zmm {
  using V = __m512i;
  static constexpr int kChannels = 64;
  static V load(const void* p) { return _mm512_loadu_si512(p); }
  static void store(void* p, V v) { _mm512_storeu_si512(p, v); }
  static V zero() { return _mm512_setzero_si512(); }
  static V bytes(int v) { return _mm512_set1_epi8(char(v)); }
  static V set1_32(int v) { return _mm512_set1_epi32(v); }
  static V bxor(V a, V b) { return _mm512_xor_si512(a, b); }
  static V lo8(V a, V b) { return _mm512_unpacklo_epi8(a, b); }
  static V hi8(V a, V b) { return _mm512_unpackhi_epi8(a, b); }
  static V lo16(V a, V b) { return _mm512_unpacklo_epi16(a, b); }
  static V hi16(V a, V b) { return _mm512_unpackhi_epi16(a, b); }
  static V dot(V acc, V a, V b) { return _mm512_dpbusd_epi32(acc, a, b); }
  static V sub(V a, V b) { return _mm512_sub_epi32(a, b); }
  static V shl7(V a) { return _mm512_slli_epi32(a, 7); }
  static V mul_even(V a, V b) { return _mm512_mul_epi32(a, b); }
  static V add64(V a, V b) { return _mm512_add_epi64(a, b); }
  static V sra64(V a, V n) { return _mm512_srav_epi64(a, n); }
  static V odd_to_even(V a) { return _mm512_srli_epi64(a, 32); }
  static V even_odd(V even, V odd) { return _mm512_mask_blend_epi32(0xAAAA, even, odd); }
  static V requantize_generic(V v, V mult, V shift, V zp) {
    return x86::requantize_avx512(v, x86::requant_lanes_avx512(mult, shift), zp);
  }
  static void store_packed(int8_t* dst, const V r[4]) {
    const V lo = _mm512_packs_epi32(r[0], r[1]), hi = _mm512_packs_epi32(r[2], r[3]);
    _mm512_storeu_si512(dst, _mm512_packs_epi16(lo, hi));
  }
};

struct Ymm {
  using V = __m256i;
  static constexpr int kChannels = 32;
  static V load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
  static void store(void* p, V v) { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }
  static V zero() { return _mm256_setzero_si256(); }
  static V bytes(int v) { return _mm256_set1_epi8(char(v)); }
  static V set1_32(int v) { return _mm256_set1_epi32(v); }
  static V bxor(V a, V b) { return _mm256_xor_si256(a, b); }
  static V lo8(V a, V b) { return _mm256_unpacklo_epi8(a, b); }
  static V hi8(V a, V b) { return _mm256_unpackhi_epi8(a, b); }
  static V lo16(V a, V b) { return _mm256_unpacklo_epi16(a, b); }
  static V hi16(V a, V b) { return _mm256_unpackhi_epi16(a, b); }
  static V dot(V acc, V a, V b) { return _mm256_dpbusd_epi32(acc, a, b); }
  static V sub(V a, V b) { return _mm256_sub_epi32(a, b); }
  static V shl7(V a) { return _mm256_slli_epi32(a, 7); }
  static V mul_even(V a, V b) { return _mm256_mul_epi32(a, b); }
  static V add64(V a, V b) { return _mm256_add_epi64(a, b); }
  static V sra64(V a, V n) { return _mm256_srav_epi64(a, n); }
  static V odd_to_even(V a) { return _mm256_srli_epi64(a, 32); }
  static V even_odd(V even, V odd) { return _mm256_blend_epi32(even, odd, 0xAA); }
  static V requantize_generic(V v, V mult, V shift, V zp) {
    return x86::requantize_avx2(v, x86::requant_lanes_avx2(mult, shift), zp);
  }
  static void store_packed(int8_t* dst, const V r[4]) {
    const V lo = _mm256_packs_epi32(r[0], r[1]), hi = _mm256_packs_epi32(r[2], r[3]);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), _mm256_packs_epi16(lo, hi));
  }
};

struct Xmm {
  using V = __m128i;
  static constexpr int kChannels = 16;
  static V load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
  static void store(void* p, V v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
  static V zero() { return _mm_setzero_si128(); }
  static V bytes(int v) { return _mm_set1_epi8(char(v)); }
  static V set1_32(int v) { return _mm_set1_epi32(v); }
  static V bxor(V a, V b) { return _mm_xor_si128(a, b); }
  static V lo8(V a, V b) { return _mm_unpacklo_epi8(a, b); }
  static V hi8(V a, V b) { return _mm_unpackhi_epi8(a, b); }
  static V lo16(V a, V b) { return _mm_unpacklo_epi16(a, b); }
  static V hi16(V a, V b) { return _mm_unpackhi_epi16(a, b); }
  static V dot(V acc, V a, V b) { return _mm_dpbusd_epi32(acc, a, b); }
  static V sub(V a, V b) { return _mm_sub_epi32(a, b); }
  static V shl7(V a) { return _mm_slli_epi32(a, 7); }
  static V mul_even(V a, V b) { return _mm_mul_epi32(a, b); }
  static V add64(V a, V b) { return _mm_add_epi64(a, b); }
  static V sra64(V a, V n) { return _mm_srav_epi64(a, n); }
  static V odd_to_even(V a) { return _mm_srli_epi64(a, 32); }
  static V even_odd(V even, V odd) { return _mm_blend_epi32(even, odd, 0xA); }
  static V requantize_generic(V v, V mult, V shift, V zp) {
    const __m256i r = x86::requantize_avx2(_mm256_castsi128_si256(v),
                                           x86::requant_lanes_avx2(_mm256_castsi128_si256(mult),
                                                                   _mm256_castsi128_si256(shift)),
                                           _mm256_castsi128_si256(zp));
    return _mm256_castsi256_si128(r);
  }
  static void store_packed(int8_t* dst, const V r[4]) {
    const V lo = _mm_packs_epi32(r[0], r[1]), hi = _mm_packs_epi32(r[2], r[3]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_packs_epi16(lo, hi));
  }
};

// Bytes of one rewritten row strip; a strip holds kStripBytes / (4 x channels) output columns, so
// the three rows in use stay in the first-level cache.
constexpr int kStripBytes = 8192;

// Three channel blocks a, b, c interleaved into the dwords (a, b, c, 0) that vpdpbusd reads.
template <class T>
inline void triples(typename T::V a, typename T::V b, typename T::V c, typename T::V out[4]) {
  const auto ab_lo = T::lo8(a, b), ab_hi = T::hi8(a, b);
  const auto c_lo = T::lo8(c, T::zero()), c_hi = T::hi8(c, T::zero());
  out[0] = T::lo16(ab_lo, c_lo);
  out[1] = T::hi16(ab_lo, c_lo);
  out[2] = T::lo16(ab_hi, c_hi);
  out[3] = T::hi16(ab_hi, c_hi);
}

// The 4 channels of accumulator j in lane L sit at 16 L + 4 j + (0..3): gather a table in that order.
template <class T>
inline void permuted(const int32_t* src, int j, int32_t* dst) {
  for (int lane = 0; lane < T::kChannels / 16; ++lane)
    for (int i = 0; i < 4; ++i) dst[4 * lane + i] = src[16 * lane + 4 * j + i];
}

// Requantisation constants of one channel block, in accumulator order. For a channel with a right
// shift r in [1, 23] and a multiplier other than INT32_MIN, the two roundings of requantisation
// and the zero point fold into one 64-bit sum and shift (nested floors compose):
//   out = (acc x m + 2^30 + 2^(30 + r) + out_zp x 2^(31 + r)) >> (31 + r),
// whose low 32 bits are the wrapped int32 result. |acc x m| < 2^62 keeps the sum inside int64.
// Odd lanes shift by r - 1 only, which leaves their result in the high half of the 64-bit lane.
template <class T>
struct BlockRequant {
  static constexpr int kLanes = T::kChannels / 4;  // int32 lanes per vector
  bool folded = true;
  alignas(64) int32_t mult[4][kLanes], mult_odd[4][kLanes], shift[4][kLanes];
  alignas(64) int64_t sum_even[4][kLanes / 2], sum_odd[4][kLanes / 2];
  alignas(64) int64_t count_even[4][kLanes / 2], count_odd[4][kLanes / 2];

  BlockRequant(const int32_t* m, const int32_t* s, int8_t out_zp) {
    for (int j = 0; j < 4; ++j) {
      permuted<T>(m, j, mult[j]);
      permuted<T>(s, j, shift[j]);
      for (int k = 0; k < kLanes; ++k) {
        const int r = -shift[j][k];
        folded = folded && mult[j][k] != INT32_MIN && r >= 1 && r <= 23;
      }
    }
    if (!folded) return;
    for (int j = 0; j < 4; ++j)
      for (int k = 0; k < kLanes; ++k) {
        const int r = -shift[j][k];
        const int64_t sum = (int64_t(1) << 30) + (int64_t(1) << (30 + r)) + int64_t(out_zp) * (int64_t(1) << (31 + r));
        if (k % 2 == 0) {
          sum_even[j][k / 2] = sum;
          count_even[j][k / 2] = 31 + r;
        } else {
          mult_odd[j][k - 1] = mult[j][k];  // where vpmuldq reads it
          mult_odd[j][k] = 0;
          sum_odd[j][k / 2] = sum;
          count_odd[j][k / 2] = r - 1;
        }
      }
  }
};

// Rewrites the output columns [x0, x1) of one input row (null: the row lies outside the image)
// into triples, four vectors per column.
template <class T>
inline void rewrite_row(const int8_t* row, int C, int W, int stride, int x0, int x1, typename T::V edge,
                        typename T::V* dst) {
  using V = typename T::V;
  if (!row) return;
  const V flip = T::bytes(0x80);
  auto column = [&](int x) { return (x >= 0 && x < W) ? T::bxor(T::load(row + size_t(x) * C), flip) : edge; };
  if (stride == 1) {
    V a = column(x0 - 1), b = column(x0);
    for (int ox = x0; ox < x1; ++ox, dst += 4) {
      const V c = column(ox + 1);
      triples<T>(a, b, c, dst);
      a = b;
      b = c;
    }
  } else {
    V a = column(x0 * stride - 1);
    for (int ox = x0; ox < x1; ++ox, dst += 4) {
      const V b = column(ox * stride), c = column(ox * stride + 1);
      triples<T>(a, b, c, dst);
      a = stride == 2 ? c : column((ox + 1) * stride - 1);
    }
  }
}

// Channels [c, c + T::kChannels) of the whole output.
template <class T>
void depthwise_block(const int8_t* input, const int8_t* weights, const int32_t* bias, const int32_t* mult,
                     const int32_t* shift, int8_t in_zp, int8_t out_zp, int8_t* output, int C, int H, int W,
                     int stride, int c) {
  using V = typename T::V;
  constexpr int kLanes = T::kChannels / 4;
  constexpr int kStripColumns = kStripBytes / (4 * T::kChannels);

  // Kernel row ky as triples (w[ky][0], w[ky][1], w[ky][2], 0).
  V w[3][4];
  auto tap = [&](int t) { return T::load(weights + size_t(t) * C + c); };
  for (int ky = 0; ky < 3; ++ky) triples<T>(tap(3 * ky), tap(3 * ky + 1), tap(3 * ky + 2), w[ky]);
  // Accumulators start at bias - 128 x (weight sum), the sum by a dot product with bytes of 1.
  V start[4];
  const V ones = T::bytes(1);
  alignas(64) int32_t table[kLanes];
  for (int j = 0; j < 4; ++j) {
    const V sum = T::dot(T::dot(T::dot(T::zero(), ones, w[0][j]), ones, w[1][j]), ones, w[2][j]);
    permuted<T>(bias + c, j, table);
    start[j] = T::sub(T::load(table), T::shl7(sum));
  }
  const BlockRequant<T> q(mult + c, shift + c, out_zp);
  V generic_mult[4], generic_shift[4];
  for (int j = 0; j < 4; ++j) {
    generic_mult[j] = T::load(q.mult[j]);
    generic_shift[j] = T::load(q.shift[j]);
  }
  const V zp_out = T::set1_32(out_zp);

  // Three rewritten row strips, slot iy mod 3, and one column of in_zp for rows outside the image.
  alignas(64) V rows[3][kStripColumns * 4];
  alignas(64) V outside[4];
  const V edge = T::bxor(T::bytes(in_zp), T::bytes(0x80));
  triples<T>(edge, edge, edge, outside);

  const int out_h = (H - 1) / stride + 1, out_w = (W - 1) / stride + 1;
  for (int x0 = 0; x0 < out_w; x0 += kStripColumns) {
    const int x1 = std::min(out_w, x0 + kStripColumns);
    int held[3] = {-2, -2, -2};  // input row in each slot
    for (int oy = 0; oy < out_h; ++oy) {
      const V* r[3];
      int step[3];
      for (int ky = 0; ky < 3; ++ky) {
        const int iy = oy * stride - 1 + ky;
        if (iy < 0 || iy >= H) {
          r[ky] = outside;
          step[ky] = 0;
          continue;
        }
        const int slot = iy % 3;
        if (held[slot] != iy) {
          rewrite_row<T>(input + size_t(iy) * W * C + c, C, W, stride, x0, x1, edge, rows[slot]);
          held[slot] = iy;
        }
        r[ky] = rows[slot];
        step[ky] = 4;
      }
      int8_t* out = output + (size_t(oy) * out_w + x0) * C + c;
      for (int ox = x0; ox < x1; ++ox, out += C) {
        V acc[4];
        for (int j = 0; j < 4; ++j) acc[j] = start[j];
        for (int ky = 0; ky < 3; ++ky) {
          for (int j = 0; j < 4; ++j) acc[j] = T::dot(acc[j], r[ky][j], w[ky][j]);
          r[ky] += step[ky];
        }
        if (q.folded) {
          for (int j = 0; j < 4; ++j) {
            const V even = T::sra64(
                T::add64(T::mul_even(acc[j], T::load(q.mult[j])), T::load(q.sum_even[j])), T::load(q.count_even[j]));
            const V odd = T::sra64(T::add64(T::mul_even(T::odd_to_even(acc[j]), T::load(q.mult_odd[j])),
                                            T::load(q.sum_odd[j])),
                                   T::load(q.count_odd[j]));
            acc[j] = T::even_odd(even, odd);
          }
        } else {
          for (int j = 0; j < 4; ++j) acc[j] = T::requantize_generic(acc[j], generic_mult[j], generic_shift[j], zp_out);
        }
        T::store_packed(out, acc);
      }
    }
  }
}

}  // namespace

void depthwise_i8_3x3_avx512vnni(const int8_t* input, const int8_t* weights, const int32_t* bias,
                                 const int32_t* mult, const int32_t* shift, int8_t in_zp, int8_t out_zp,
                                 int8_t* output, int C, int H, int W, int stride) {
  if (C <= 0 || H <= 0 || W <= 0 || stride <= 0) return;
  const int vector_channels = C - C % 16;
  int c = 0;
  for (; c + Zmm::kChannels <= vector_channels; c += Zmm::kChannels)
    depthwise_block<Zmm>(input, weights, bias, mult, shift, in_zp, out_zp, output, C, H, W, stride, c);
  if (c + Ymm::kChannels <= vector_channels) {
    depthwise_block<Ymm>(input, weights, bias, mult, shift, in_zp, out_zp, output, C, H, W, stride, c);
    c += Ymm::kChannels;
  }
  if (c < vector_channels) {
    depthwise_block<Xmm>(input, weights, bias, mult, shift, in_zp, out_zp, output, C, H, W, stride, c);
    c += Xmm::kChannels;
  }
  if (c < C)
    depthwise_i8_3x3_avx512_part(input, weights, bias, mult, shift, in_zp, out_zp, output, C, H, W, stride, c, C,
                                 false);
}

}  // namespace trevalon
