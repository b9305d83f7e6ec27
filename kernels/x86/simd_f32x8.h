// Eight float lanes on AVX2 + FMA, the operations the float kernels are written in. Included only
// by *_avx2.cpp files.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace trevalon {
namespace {  // each ISA file gets its own copy, compiled with its own flags

struct F32x8 {
  using F = __m256;
  using I = __m256i;
  static constexpr int kWidth = 8;

  static F load(const float* p) { return _mm256_loadu_ps(p); }
  static void store(float* p, F v) { _mm256_storeu_ps(p, v); }
  static I first_lanes(int n) {
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(n), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  }
  // Lanes n.. are zero and their memory is not touched.
  static F load_first(const float* p, int n) { return _mm256_maskload_ps(p, first_lanes(n)); }
  static void store_first(float* p, F v, int n) { _mm256_maskstore_ps(p, first_lanes(n), v); }
  static F set1(float v) { return _mm256_set1_ps(v); }
  static F zero() { return _mm256_setzero_ps(); }

  static F add(F a, F b) { return _mm256_add_ps(a, b); }
  static F sub(F a, F b) { return _mm256_sub_ps(a, b); }
  static F mul(F a, F b) { return _mm256_mul_ps(a, b); }
  static F div(F a, F b) { return _mm256_div_ps(a, b); }
  static F fmadd(F a, F b, F c) { return _mm256_fmadd_ps(a, b, c); }    // a*b + c, one rounding
  static F fnmadd(F a, F b, F c) { return _mm256_fnmadd_ps(a, b, c); }  // c - a*b, one rounding
  static F neg(F a) { return _mm256_xor_ps(a, _mm256_set1_ps(-0.0f)); }
  static F min(F a, F b) { return _mm256_min_ps(a, b); }  // a < b ? a : b
  static F max(F a, F b) { return _mm256_max_ps(a, b); }  // a > b ? a : b
  static F round_even(F a) { return _mm256_round_ps(a, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC); }
  static I to_int(F a) { return _mm256_cvtps_epi32(a); }
  static F pow2n(I n) {
    return _mm256_castsi256_ps(_mm256_add_epi32(_mm256_slli_epi32(n, 23), _mm256_set1_epi32(0x3f800000)));
  }
  static F negate_if_odd(F v, I k) { return _mm256_xor_ps(v, _mm256_castsi256_ps(_mm256_slli_epi32(k, 31))); }
  static F rcp(F d) { return _mm256_rcp_ps(d); }
  static F relu(F x) { return _mm256_andnot_ps(_mm256_cmp_ps(x, zero(), _CMP_LT_OQ), x); }
  static F leaky(F x, F alpha) {
    const F slope = _mm256_blendv_ps(alpha, set1(1.0f), _mm256_cmp_ps(x, zero(), _CMP_GE_OQ));
    return _mm256_mul_ps(slope, x);
  }
};

}  // namespace
}  // namespace trevalon
