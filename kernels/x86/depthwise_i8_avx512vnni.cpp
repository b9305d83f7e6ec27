// Depthwise 3x3 int8 convolution with AVX-512 VNNI: for pixels whose nine taps lie inside the image,
// four taps of 64 (or 32) channels are interleaved so that one vpdpbusd adds four products per
// channel. Borders and the last channels go to the AVX-512 kernel; same bits throughout.
//
// vpdpbusd multiplies unsigned by signed bytes, so the inputs are offset by 128 (XOR 0x80) and
// 128 x (the channel's weight sum) is taken off the bias: sum (x + 128) w = sum x w + 128 sum w.
// The byte interleave works inside 128-bit lanes, which leaves the channels of accumulator j in the
// order 16 L + 4 j + (0..3) for lane L; the per-channel tables are loaded in that order, and the
// saturating packs that end the requantisation undo it.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

#include <immintrin.h>

#include <cstddef>

#include "kernels/depthwise_i8.h"
#include "kernels/x86/requantize_avx2.h"
#include "kernels/x86/requantize_avx512.h"

namespace trevalon {
namespace {

// 64 channels per step in 512-bit registers.
struct Zmm {
  using V = __m512i;
  static constexpr int kChannels = 64;
  static V load(const void* p) { return _mm512_loadu_si512(p); }
  static V zero() { return _mm512_setzero_si512(); }
  static V bytes(int v) { return _mm512_set1_epi8(char(v)); }
  static V set1_32(int v) { return _mm512_set1_epi32(v); }
  static V bxor(V a, V b) { return _mm512_xor_si512(a, b); }
  static V lo8(V a, V b) { return _mm512_unpacklo_epi8(a, b); }
  static V hi8(V a, V b) { return _mm512_unpackhi_epi8(a, b); }
  static V lo16(V a, V b) { return _mm512_unpacklo_epi16(a, b); }
  static V hi16(V a, V b) { return _mm512_unpackhi_epi16(a, b); }
  static V dot(V acc, V a, V b) { return _mm512_dpbusd_epi32(acc, a, b); }
  static V add(V a, V b) { return _mm512_add_epi32(a, b); }
  static V sub(V a, V b) { return _mm512_sub_epi32(a, b); }
  static V shl7(V a) { return _mm512_slli_epi32(a, 7); }
  // out lane L = the 4 int32 at src + 16 L + 4 j.
  static V load_permuted(const int32_t* src, int j) {
    V v = _mm512_castsi128_si512(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4 * j)));
    v = _mm512_inserti32x4(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16 + 4 * j)), 1);
    v = _mm512_inserti32x4(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 32 + 4 * j)), 2);
    return _mm512_inserti32x4(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 48 + 4 * j)), 3);
  }
  // Plain requantisation when no multiplier is INT32_MIN and no shift is positive.
  static V requantize_right(V v, V mult, V mult_odd, V right, V right_1, V round_bit, V zp) {
    const V round = _mm512_set1_epi64(int64_t(1) << 30);
    const V even = _mm512_add_epi64(_mm512_mul_epi32(v, mult), round);
    const V odd = _mm512_add_epi64(_mm512_mul_epi32(_mm512_srli_epi64(v, 32), mult_odd), round);
    const V h = _mm512_mask_blend_epi32(0xAAAA, _mm512_srli_epi64(even, 31), _mm512_slli_epi64(odd, 1));
    const V bit = _mm512_and_si512(_mm512_srav_epi32(h, right_1), round_bit);
    return _mm512_add_epi32(_mm512_add_epi32(_mm512_srav_epi32(h, right), bit), zp);
  }
  struct Lanes {
    x86::RequantLanes512 q;
  };
  static Lanes lanes(V mult, V shift) { return {x86::requant_lanes_avx512(mult, shift)}; }
  static V requantize(V v, const Lanes& l, V zp) { return x86::requantize_avx512(v, l.q, zp); }
  static V srli64_32(V v) { return _mm512_srli_epi64(v, 32); }
  static V max0(V v) { return _mm512_max_epi32(v, zero()); }
  static V neg(V v) { return _mm512_sub_epi32(zero(), v); }
  static V ones32() { return _mm512_set1_epi32(1); }
  static V positive_bits(V v) { return _mm512_maskz_mov_epi32(_mm512_cmpgt_epi32_mask(v, zero()), ones32()); }
  static void store_packed(int8_t* dst, const V r[4]) {
    const V lo = _mm512_packs_epi32(r[0], r[1]), hi = _mm512_packs_epi32(r[2], r[3]);
    _mm512_storeu_si512(dst, _mm512_packs_epi16(lo, hi));
  }
};

// 32 channels per step in 256-bit registers.
struct Ymm {
  using V = __m256i;
  static constexpr int kChannels = 32;
  static V load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
  static V zero() { return _mm256_setzero_si256(); }
  static V bytes(int v) { return _mm256_set1_epi8(char(v)); }
  static V set1_32(int v) { return _mm256_set1_epi32(v); }
  static V bxor(V a, V b) { return _mm256_xor_si256(a, b); }
  static V lo8(V a, V b) { return _mm256_unpacklo_epi8(a, b); }
  static V hi8(V a, V b) { return _mm256_unpackhi_epi8(a, b); }
  static V lo16(V a, V b) { return _mm256_unpacklo_epi16(a, b); }
  static V hi16(V a, V b) { return _mm256_unpackhi_epi16(a, b); }
  static V dot(V acc, V a, V b) { return _mm256_dpbusd_epi32(acc, a, b); }
  static V add(V a, V b) { return _mm256_add_epi32(a, b); }
  static V sub(V a, V b) { return _mm256_sub_epi32(a, b); }
  static V shl7(V a) { return _mm256_slli_epi32(a, 7); }
  static V load_permuted(const int32_t* src, int j) {
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4 * j));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16 + 4 * j));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
  }
  static V requantize_right(V v, V mult, V mult_odd, V right, V right_1, V round_bit, V zp) {
    const V round = _mm256_set1_epi64x(int64_t(1) << 30);
    const V even = _mm256_add_epi64(_mm256_mul_epi32(v, mult), round);
    const V odd = _mm256_add_epi64(_mm256_mul_epi32(_mm256_srli_epi64(v, 32), mult_odd), round);
    const V h = _mm256_blend_epi32(_mm256_srli_epi64(even, 31), _mm256_slli_epi64(odd, 1), 0xAA);
    const V bit = _mm256_and_si256(_mm256_srav_epi32(h, right_1), round_bit);
    return _mm256_add_epi32(_mm256_add_epi32(_mm256_srav_epi32(h, right), bit), zp);
  }
  struct Lanes {
    x86::RequantLanes256 q;
  };
  static Lanes lanes(V mult, V shift) { return {x86::requant_lanes_avx2(mult, shift)}; }
  static V requantize(V v, const Lanes& l, V zp) { return x86::requantize_avx2(v, l.q, zp); }
  static V srli64_32(V v) { return _mm256_srli_epi64(v, 32); }
  static V max0(V v) { return _mm256_max_epi32(v, zero()); }
  static V neg(V v) { return _mm256_sub_epi32(zero(), v); }
  static V ones32() { return _mm256_set1_epi32(1); }
  static V positive_bits(V v) { return _mm256_and_si256(_mm256_cmpgt_epi32(v, zero()), ones32()); }
  static void store_packed(int8_t* dst, const V r[4]) {
    const V lo = _mm256_packs_epi32(r[0], r[1]), hi = _mm256_packs_epi32(r[2], r[3]);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), _mm256_packs_epi16(lo, hi));
  }
};

// Four taps of one channel block interleaved into the dword order vpdpbusd reads.
template <class T>
inline void interleave(typename T::V t0, typename T::V t1, typename T::V t2, typename T::V t3,
                       typename T::V out[4]) {
  const auto a = T::lo8(t0, t1), b = T::hi8(t0, t1), c = T::lo8(t2, t3), d = T::hi8(t2, t3);
  out[0] = T::lo16(a, c);
  out[1] = T::hi16(a, c);
  out[2] = T::lo16(b, d);
  out[3] = T::hi16(b, d);
}

// The inner pixels of channels [c, c + T::kChannels). `plain` selects the requantisation without
// left shifts and INT32_MIN multipliers, valid for every channel of the block.
template <class T, bool plain>
void inner_block(const int8_t* input, const int8_t* weights, const int32_t* bias, const int32_t* mult,
                 const int32_t* shift, int8_t out_zp, int8_t* output, int C, int W, int stride, int c,
                 DepthwiseSpan rows, DepthwiseSpan cols, int out_w) {
  using V = typename T::V;
  // Weights in groups of taps (0-3), (4-7), (8 and three zeros).
  V w[3][4];
  auto tap_weights = [&](int t) { return T::load(weights + size_t(t) * C + c); };
  interleave<T>(tap_weights(0), tap_weights(1), tap_weights(2), tap_weights(3), w[0]);
  interleave<T>(tap_weights(4), tap_weights(5), tap_weights(6), tap_weights(7), w[1]);
  interleave<T>(tap_weights(8), T::zero(), T::zero(), T::zero(), w[2]);
  const V ones = T::bytes(1), flip = T::bytes(0x80), zp_out = T::set1_32(out_zp);
  V start[4], m[4], m_odd[4], right[4], right_1[4], round_bit[4];
  typename T::Lanes generic[4];
  for (int j = 0; j < 4; ++j) {
    // bias - 128 x (weight sum), the weight sum by a dot product with bytes of 1.
    const V sum = T::dot(T::dot(T::dot(T::zero(), ones, w[0][j]), ones, w[1][j]), ones, w[2][j]);
    start[j] = T::sub(T::load_permuted(bias + c, j), T::shl7(sum));
    const V mj = T::load_permuted(mult + c, j), sj = T::load_permuted(shift + c, j);
    if constexpr (plain) {
      m[j] = mj;
      m_odd[j] = T::srli64_32(mj);
      right[j] = T::max0(T::neg(sj));
      right_1[j] = T::sub(right[j], T::ones32());
      round_bit[j] = T::positive_bits(right[j]);
    } else {
      generic[j] = T::lanes(mj, sj);
    }
  }
  const size_t row_bytes = size_t(W) * C;
  for (int oy = rows.begin; oy < rows.end; ++oy) {
    const int8_t* r0 = input + size_t(oy * stride - 1) * row_bytes + c;
    int8_t* out_row = output + size_t(oy) * out_w * C + c;
    for (int ox = cols.begin; ox < cols.end; ++ox) {
      const int8_t* p0 = r0 + size_t(ox * stride - 1) * C;
      const int8_t* p1 = p0 + row_bytes;
      const int8_t* p2 = p1 + row_bytes;
      auto x = [&](const int8_t* p) { return T::bxor(T::load(p), flip); };
      V q[4], acc[4];
      interleave<T>(x(p0), x(p0 + C), x(p0 + 2 * C), x(p1), q);
      for (int j = 0; j < 4; ++j) acc[j] = T::dot(start[j], q[j], w[0][j]);
      interleave<T>(x(p1 + C), x(p1 + 2 * C), x(p2), x(p2 + C), q);
      for (int j = 0; j < 4; ++j) acc[j] = T::dot(acc[j], q[j], w[1][j]);
      interleave<T>(x(p2 + 2 * C), T::zero(), T::zero(), T::zero(), q);
      for (int j = 0; j < 4; ++j) {
        acc[j] = T::dot(acc[j], q[j], w[2][j]);
        if constexpr (plain) {
          acc[j] = T::requantize_right(acc[j], m[j], m_odd[j], right[j], right_1[j], round_bit[j], zp_out);
        } else {
          acc[j] = T::requantize(acc[j], generic[j], zp_out);
        }
      }
      T::store_packed(out_row + size_t(ox) * C, acc);
    }
  }
}

template <class T>
void inner_block_any(bool plain, const int8_t* input, const int8_t* weights, const int32_t* bias,
                     const int32_t* mult, const int32_t* shift, int8_t out_zp, int8_t* output, int C, int W,
                     int stride, int c, DepthwiseSpan rows, DepthwiseSpan cols, int out_w) {
  if (plain) {
    inner_block<T, true>(input, weights, bias, mult, shift, out_zp, output, C, W, stride, c, rows, cols, out_w);
  } else {
    inner_block<T, false>(input, weights, bias, mult, shift, out_zp, output, C, W, stride, c, rows, cols, out_w);
  }
}

}  // namespace

void depthwise_i8_3x3_avx512vnni(const int8_t* input, const int8_t* weights, const int32_t* bias,
                                 const int32_t* mult, const int32_t* shift, int8_t in_zp, int8_t out_zp,
                                 int8_t* output, int C, int H, int W, int stride) {
  if (C <= 0 || H <= 0 || W <= 0 || stride <= 0) return;
  const int out_h = (H - 1) / stride + 1, out_w = (W - 1) / stride + 1;
  const DepthwiseSpan rows = depthwise_inner_span(H, stride, out_h);
  const DepthwiseSpan cols = depthwise_inner_span(W, stride, out_w);
  const int vector_channels = C - C % 32;
  if (vector_channels > 0 && rows.end > rows.begin && cols.end > cols.begin) {
    bool plain = true;
    for (int c = 0; c < vector_channels; ++c) plain = plain && shift[c] <= 0 && mult[c] != INT32_MIN;
    int c = 0;
    for (; c + Zmm::kChannels <= vector_channels; c += Zmm::kChannels)
      inner_block_any<Zmm>(plain, input, weights, bias, mult, shift, out_zp, output, C, W, stride, c, rows, cols,
                           out_w);
    if (c < vector_channels)
      inner_block_any<Ymm>(plain, input, weights, bias, mult, shift, out_zp, output, C, W, stride, c, rows, cols,
                           out_w);
    depthwise_i8_3x3_avx512_part(input, weights, bias, mult, shift, in_zp, out_zp, output, C, H, W, stride, 0,
                                 vector_channels, true);
  } else {
    depthwise_i8_3x3_avx512_part(input, weights, bias, mult, shift, in_zp, out_zp, output, C, H, W, stride, 0,
                                 vector_channels, false);
  }
  if (vector_channels < C)
    depthwise_i8_3x3_avx512_part(input, weights, bias, mult, shift, in_zp, out_zp, output, C, H, W, stride,
                                 vector_channels, C, false);
}

}  // namespace trevalon
