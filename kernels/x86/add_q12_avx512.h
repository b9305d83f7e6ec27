// The Q12 form of the quantised addition on 64 int8 values at a time, shared by the add kernel and
// the product epilogue that finishes a residual addition. Included only by *_avx512*.cpp files.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace trevalon::x86 {

// The two Q12 weights as 16-bit pairs (a's in the low half of each dword) and the rounding bias.
struct AddQ12Lanes {
  __m512i weights, bias;
};

inline AddQ12Lanes add_q12_lanes(int32_t weight_a, int32_t weight_b, int32_t bias) {
  const uint32_t pair = (uint32_t(weight_a) & 0xFFFF) | (uint32_t(weight_b) << 16);
  return {_mm512_set1_epi32(int32_t(pair)), _mm512_set1_epi32(bias)};
}

// saturate_int8((bias + weight_a x a + weight_b x b) >> 12) for 64 bytes of a and b, in order.
// weight_a x a + weight_b x b comes from one multiply-add of the 16-bit pairs (a, b): exact in 32
// bits while both weights fit 16 bits; the bias then wraps as 32-bit lanes do.
inline __m512i add_q12_64(__m512i a, __m512i b, const AddQ12Lanes& q) {
  __m512i words[2];
#pragma GCC unroll 2
  for (int h = 0; h < 2; ++h) {
    const __m512i a16 = _mm512_cvtepi8_epi16(h ? _mm512_extracti64x4_epi64(a, 1) : _mm512_castsi512_si256(a));
    const __m512i b16 = _mm512_cvtepi8_epi16(h ? _mm512_extracti64x4_epi64(b, 1) : _mm512_castsi512_si256(b));
    // The interleaves work within 128-bit lanes: lo holds elements 0-3 of each lane, hi 4-7, and
    // the pack puts them back in order, saturated to int16.
    const __m512i lo =
        _mm512_add_epi32(q.bias, _mm512_madd_epi16(_mm512_unpacklo_epi16(a16, b16), q.weights));
    const __m512i hi =
        _mm512_add_epi32(q.bias, _mm512_madd_epi16(_mm512_unpackhi_epi16(a16, b16), q.weights));
    words[h] = _mm512_packs_epi32(_mm512_srai_epi32(lo, 12), _mm512_srai_epi32(hi, 12));
  }
  // After the pack, qword 2L holds elements 8L.. and qword 2L + 1 elements 32 + 8L..; saturating
  // through int16 to int8 equals saturating straight to int8.
  const __m512i order = _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7);
  return _mm512_permutexvar_epi64(order, _mm512_packs_epi16(words[0], words[1]));
}

}  // namespace trevalon::x86
