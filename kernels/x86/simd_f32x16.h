// Sixteen float lanes on AVX-512, the same operations as the eight-lane AVX2 set. Included only by
// *_avx512.cpp files.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace trevalon {
namespace {  // each ISA file gets its own copy, compiled with its own flags

struct F32x16 {
  using F = __m512;
  using I = __m512i;
  static constexpr int kWidth = 16;

  static F load(const float* p) { return _mm512_loadu_ps(p); }
  static void store(float* p, F v) { _mm512_storeu_ps(p, v); }
  static __mmask16 first_lanes(int n) { return static_cast<__mmask16>((1u << n) - 1u); }
  // Lanes n.. are zero and their memory is not touched.
  static F load_first(const float* p, int n) { return _mm512_maskz_loadu_ps(first_lanes(n), p); }
  static void store_first(float* p, F v, int n) { _mm512_mask_storeu_ps(p, first_lanes(n), v); }
  static F set1(float v) { return _mm512_set1_ps(v); }
  static F zero() { return _mm512_setzero_ps(); }

  static F add(F a, F b) { return _mm512_add_ps(a, b); }
  static F sub(F a, F b) { return _mm512_sub_ps(a, b); }
  static F mul(F a, F b) { return _mm512_mul_ps(a, b); }
  static F div(F a, F b) { return _mm512_div_ps(a, b); }
  static F fmadd(F a, F b, F c) { return _mm512_fmadd_ps(a, b, c); }    // a*b + c, one rounding
  static F fnmadd(F a, F b, F c) { return _mm512_fnmadd_ps(a, b, c); }  // c - a*b, one rounding
  static F neg(F a) { return _mm512_xor_ps(a, _mm512_set1_ps(-0.0f)); }
  static F min(F a, F b) { return _mm512_min_ps(a, b); }  // a < b ? a : b
  static F max(F a, F b) { return _mm512_max_ps(a, b); }  // a > b ? a : b
  static F round_even(F a) { return _mm512_roundscale_ps(a, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC); }
  static I to_int(F a) { return _mm512_cvtps_epi32(a); }
  static F pow2n(I n) {
    return _mm512_castsi512_ps(_mm512_add_epi32(_mm512_slli_epi32(n, 23), _mm512_set1_epi32(0x3f800000)));
  }
  static F negate_if_odd(F v, I k) {
    return _mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(v), _mm512_slli_epi32(k, 31)));
  }
  // The 256-bit estimate on both halves: the same bits as the AVX2 tier (the 512-bit rcp14 differs).
  static F rcp(F d) {
    const __m256 lo = _mm256_rcp_ps(_mm512_castps512_ps256(d));
    const __m256 hi = _mm256_rcp_ps(_mm512_extractf32x8_ps(d, 1));
    return _mm512_insertf32x8(_mm512_castps256_ps512(lo), hi, 1);
  }
  static F relu(F x) { return _mm512_mask_mov_ps(x, _mm512_cmp_ps_mask(x, zero(), _CMP_LT_OQ), zero()); }
  static F leaky(F x, F alpha) {
    const F slope = _mm512_mask_mov_ps(alpha, _mm512_cmp_ps_mask(x, zero(), _CMP_GE_OQ), set1(1.0f));
    return _mm512_mul_ps(slope, x);
  }
};

}  // namespace
}  // namespace trevalon
