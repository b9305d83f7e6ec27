// Requantisation of eight int32 lanes, bit for bit the scalar helpers of kernels/requantize.h.
// Included only by *_avx2.cpp files, which are built with the AVX2 flags.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace trevalon::x86 {

// (a x b + 2^30) >> 31 per lane; the one overflowing case (both INT32_MIN) gives INT32_MAX.
inline __m256i srdhm_avx2(__m256i a, __m256i b) {
  const __m256i round = _mm256_set1_epi64x(int64_t(1) << 30);
  const __m256i even = _mm256_add_epi64(_mm256_mul_epi32(a, b), round);
  const __m256i odd =
      _mm256_add_epi64(_mm256_mul_epi32(_mm256_srli_epi64(a, 32), _mm256_srli_epi64(b, 32)), round);
  // Bits 31..62 of each 64-bit sum: low half for even lanes, high half for odd lanes.
  const __m256i r = _mm256_blend_epi32(_mm256_srli_epi64(even, 31), _mm256_slli_epi64(odd, 1), 0xAA);
  const __m256i min = _mm256_set1_epi32(INT32_MIN);
  const __m256i overflow = _mm256_and_si256(_mm256_cmpeq_epi32(a, min), _mm256_cmpeq_epi32(b, min));
  return _mm256_blendv_epi8(r, _mm256_set1_epi32(INT32_MAX), overflow);
}

struct RequantLanes256 {
  __m256i mult, left, right, round_bit;
};

inline RequantLanes256 requant_lanes_avx2(__m256i mult, __m256i shift) {
  const __m256i zero = _mm256_setzero_si256();
  // Shifts below -63 act as -63 (everything shifts out either way); negating INT32_MIN would wrap.
  const __m256i right =
      _mm256_max_epi32(_mm256_sub_epi32(zero, _mm256_max_epi32(shift, _mm256_set1_epi32(-63))), zero);
  // Every right shift adds its rounding bit. From 32 on the shifts fill with the sign, so the bit
  // is 1 exactly for negative v and the sum is 0, as the helper answers.
  const __m256i rounds = _mm256_cmpgt_epi32(right, zero);
  return {mult, _mm256_max_epi32(shift, zero), right, _mm256_and_si256(rounds, _mm256_set1_epi32(1))};
}

// rounding_shift per lane: v << left (0 from 32 on), or (v >> right) + bit (right - 1) of v.
inline __m256i rounding_shift_avx2(__m256i v, const RequantLanes256& q) {
  v = _mm256_sllv_epi32(v, q.left);
  const __m256i bit =
      _mm256_and_si256(_mm256_srav_epi32(v, _mm256_sub_epi32(q.right, _mm256_set1_epi32(1))), q.round_bit);
  return _mm256_add_epi32(_mm256_srav_epi32(v, q.right), bit);
}

// Steps 2-4 of requantisation; the caller saturates through int16 to int8.
inline __m256i requantize_avx2(__m256i acc_with_bias, const RequantLanes256& q, __m256i out_zp) {
  return _mm256_add_epi32(rounding_shift_avx2(srdhm_avx2(acc_with_bias, q.mult), q), out_zp);
}

// Eight int32 lanes saturated through int16 to int8, stored as 8 bytes.
inline void store_saturated_i8x8(int8_t* dst, __m256i v) {
  const __m128i w16 = _mm_packs_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), _mm_packs_epi16(w16, w16));
}

}  // namespace trevalon::x86
