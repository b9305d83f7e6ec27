// Requantisation of sixteen int32 lanes, bit for bit the scalar helpers of kernels/requantize.h.
// Included only by *_avx512*.cpp files, which are built with the AVX-512 flags.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "kernels/requantize.h"

namespace trevalon::x86 {

// (a x b + 2^30) >> 31 per lane; the one overflowing case (both INT32_MIN) gives INT32_MAX.
inline __m512i srdhm_avx512(__m512i a, __m512i b) {
  const __m512i round = _mm512_set1_epi64(int64_t(1) << 30);
  const __m512i even = _mm512_add_epi64(_mm512_mul_epi32(a, b), round);
  const __m512i odd =
      _mm512_add_epi64(_mm512_mul_epi32(_mm512_srli_epi64(a, 32), _mm512_srli_epi64(b, 32)), round);
  // Bits 31..62 of each 64-bit sum are the result: move them to the low half for even lanes and
  // to the high half for odd lanes.
  const __m512i r = _mm512_mask_blend_epi32(0xAAAA, _mm512_srli_epi64(even, 31), _mm512_slli_epi64(odd, 1));
  const __m512i min = _mm512_set1_epi32(INT32_MIN);
  const __mmask16 overflow = _mm512_cmpeq_epi32_mask(a, min) & _mm512_cmpeq_epi32_mask(b, min);
  return _mm512_mask_mov_epi32(r, overflow, _mm512_set1_epi32(INT32_MAX));
}

// Per-lane multiplier and shift, split into the parts the shift instructions want.
struct RequantLanes512 {
  __m512i mult, left, right, round_bit;
};

inline RequantLanes512 requant_lanes_avx512(__m512i mult, __m512i shift) {
  const __m512i zero = _mm512_setzero_si512();
  // Shifts below -63 act as -63 (everything shifts out either way); negating INT32_MIN would wrap.
  const __m512i right =
      _mm512_max_epi32(_mm512_sub_epi32(zero, _mm512_max_epi32(shift, _mm512_set1_epi32(-63))), zero);
  // Every right shift adds its rounding bit. From 32 on the shifts fill with the sign, so the bit
  // is 1 exactly for negative v and the sum is 0, as the helper answers.
  const __mmask16 rounds = _mm512_cmpgt_epi32_mask(right, zero);
  return {mult, _mm512_max_epi32(shift, zero), right, _mm512_maskz_mov_epi32(rounds, _mm512_set1_epi32(1))};
}

// rounding_shift per lane: v << left (0 from 32 on), or (v + 2^(right-1)) >> right computed without
// overflow as (v >> right) + bit (right - 1) of v.
inline __m512i rounding_shift_avx512(__m512i v, const RequantLanes512& q) {
  v = _mm512_sllv_epi32(v, q.left);
  const __m512i bit = _mm512_and_si512(
      _mm512_srav_epi32(v, _mm512_sub_epi32(q.right, _mm512_set1_epi32(1))), q.round_bit);
  return _mm512_add_epi32(_mm512_srav_epi32(v, q.right), bit);
}

// Steps 2-4 of requantisation on an accumulator that already holds the bias; saturate with
// _mm512_cvtsepi32_epi8 (int32 -> int8 saturation equals the int16-then-int8 one).
inline __m512i requantize_avx512(__m512i acc_with_bias, const RequantLanes512& q, __m512i out_zp) {
  return _mm512_add_epi32(rounding_shift_avx512(srdhm_avx512(acc_with_bias, q.mult), q), out_zp);
}

// requantize_by_division (kernels/requantize.h) for sixteen channels: even and odd lanes are
// multiplied, offset and shifted as 64-bit halves and their low dwords merged back. The result is
// the int32 before saturation, zero point included.
struct DivisionRequant512 {
  __m512i mult_even, mult_odd, offset_even, offset_odd, count_even, count_odd;
};

// Constants of channels [0, count) of `mult` / `shift` (count <= 16; missing lanes get zeros).
inline DivisionRequant512 division_requant_avx512(const int32_t* mult, const int32_t* shift,
                                                  int32_t out_zp, int count) {
  alignas(64) int64_t offset[2][8] = {}, bits[2][8] = {};
  for (int c = 0; c < count; ++c) {
    offset[c & 1][c >> 1] = requantize_division_offset(shift[c], out_zp);
    bits[c & 1][c >> 1] = 31 - int64_t(shift[c]);
  }
  const __m512i m = _mm512_maskz_loadu_epi32(count >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << count) - 1), mult);
  return {m,
          _mm512_srli_epi64(m, 32),
          _mm512_load_si512(offset[0]),
          _mm512_load_si512(offset[1]),
          _mm512_load_si512(bits[0]),
          _mm512_load_si512(bits[1])};
}

inline __m512i requantize_division_avx512(__m512i acc_with_bias, const DivisionRequant512& q) {
  __m512i even = _mm512_mul_epi32(acc_with_bias, q.mult_even);
  __m512i odd = _mm512_mul_epi32(_mm512_srli_epi64(acc_with_bias, 32), q.mult_odd);
  even = _mm512_srav_epi64(_mm512_add_epi64(even, q.offset_even), q.count_even);
  odd = _mm512_srav_epi64(_mm512_add_epi64(odd, q.offset_odd), q.count_odd);
  // Low dword of each odd-lane quotient moved up into the odd dword.
  return _mm512_mask_shuffle_epi32(even, 0xAAAA, odd, _MM_PERM_CDAB);
}

// Sixteen int32 lanes saturated to int8 and stored under `mask`. Converting in a register and
// storing the 16 bytes is much faster than the converting store on some cores.
inline void store_saturated_i8x16(int8_t* dst, __m512i v, __mmask16 mask) {
  const __m128i bytes = _mm512_cvtsepi32_epi8(v);
  if (mask == 0xFFFF) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), bytes);
  } else {
    _mm_mask_storeu_epi8(dst, mask, bytes);
  }
}

}  // namespace trevalon::x86
