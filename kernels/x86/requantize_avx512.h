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
  const __m512i bit =
      _mm512_and_si512(_mm512_srav_epi32(v, _mm512_sub_epi32(q.right, _mm512_set1_epi32(1))), q.round_bit);
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

// Constants of channels [0, count) of `mult` / `shift` (count <= 16; missing lanes get zeros),
// which must satisfy requantize_as_division.
inline DivisionRequant512 division_requant_avx512(const int32_t* mult, const int32_t* shift, int32_t out_zp,
                                                  int count) {
  const __mmask16 lanes =
      count >= 16 ? __mmask16(0xFFFF) : (count > 0 ? __mmask16((1u << count) - 1) : __mmask16(0));
  const __m512i m = _mm512_maskz_loadu_epi32(lanes, mult);
  const __m512i right = _mm512_sub_epi32(_mm512_setzero_si512(), _mm512_maskz_loadu_epi32(lanes, shift));
  // s = -shift of the even and the odd channels as 64-bit lanes; then requantize_division_offset.
  const __m512i s_even = _mm512_srai_epi64(_mm512_slli_epi64(right, 32), 32);
  const __m512i s_odd = _mm512_srai_epi64(right, 32);
  const __m512i base = _mm512_set1_epi64(int64_t(1) << 30), zp = _mm512_set1_epi64(out_zp);
  const __m512i one = _mm512_set1_epi64(1), c30 = _mm512_set1_epi64(30), c31 = _mm512_set1_epi64(31);
  auto offset = [&](__m512i s) {
    const __m512i zero_point = _mm512_sllv_epi64(zp, _mm512_add_epi64(s, c31));
    const __m512i half = _mm512_maskz_sllv_epi64(_mm512_cmpgt_epi64_mask(s, _mm512_setzero_si512()), one,
                                                 _mm512_add_epi64(s, c30));
    return _mm512_add_epi64(_mm512_add_epi64(base, zero_point), half);
  };
  return {m,
          _mm512_srli_epi64(m, 32),
          offset(s_even),
          offset(s_odd),
          _mm512_add_epi64(s_even, c31),
          _mm512_add_epi64(s_odd, c31)};
}

inline __m512i requantize_division_avx512(__m512i acc_with_bias, const DivisionRequant512& q) {
  __m512i even = _mm512_mul_epi32(acc_with_bias, q.mult_even);
  __m512i odd = _mm512_mul_epi32(_mm512_shuffle_epi32(acc_with_bias, _MM_PERM_CDAB), q.mult_odd);
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
