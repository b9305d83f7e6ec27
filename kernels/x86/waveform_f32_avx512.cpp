// Waveform frame loops on AVX-512, sixteen lanes.
#include "kernels/x86/simd_f32x16.h"
#include "kernels/x86/waveform_simd.h"

namespace trevalon {
namespace {

struct V : F32x16 {
  static I add_int(I a, int b) { return _mm512_add_epi32(a, _mm512_set1_epi32(b)); }
  static F pick_odd(F odd, F even, I k) {
    return _mm512_mask_blend_ps(_mm512_test_epi32_mask(k, _mm512_set1_epi32(1)), even, odd);
  }
  static F negate_if_bit1(F v, I k) {
    const I sign = _mm512_and_si512(_mm512_slli_epi32(k, 30), _mm512_set1_epi32(INT32_MIN));
    return _mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(v), sign));
  }
  using M = __mmask16;
  static M gt(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_GT_OQ); }
  static F where(M m, F t, F f) { return _mm512_mask_blend_ps(m, f, t); }
  static F abs(F x) { return _mm512_abs_ps(x); }
  static F copysign(F magnitude, F sign) {
    const __m512i bit = _mm512_set1_epi32(INT32_MIN);
    const __m512i m = _mm512_andnot_si512(bit, _mm512_castps_si512(magnitude));
    return _mm512_castsi512_ps(_mm512_or_si512(m, _mm512_and_si512(bit, _mm512_castps_si512(sign))));
  }
  static F sqrt(F x) { return _mm512_sqrt_ps(x); }
  static I as_int(F x) { return _mm512_castps_si512(x); }
  static F as_float(I x) { return _mm512_castsi512_ps(x); }
  static I shift_right(I x, int n) { return _mm512_srli_epi32(x, n); }
  static I sub_int(I a, int b) { return _mm512_sub_epi32(a, _mm512_set1_epi32(b)); }
  static I and_int(I a, int b) { return _mm512_and_si512(a, _mm512_set1_epi32(b)); }
  static I or_int(I a, int b) { return _mm512_or_si512(a, _mm512_set1_epi32(b)); }
  static I sub_int_where(M m, I a, int b) { return _mm512_mask_sub_epi32(a, m, a, _mm512_set1_epi32(b)); }
  static F to_float(I x) { return _mm512_cvtepi32_ps(x); }
  static unsigned outside_mask(F x, float limit) {
    return _mm512_cmp_ps_mask(_mm512_abs_ps(x), _mm512_set1_ps(limit), _CMP_NLE_UQ);
  }
};

}  // namespace

void waveform_cos_f32_avx512(const float* in, float* out, int count) {
  waveform_trig_map<V, false>(in, out, count);
}

void waveform_sin_f32_avx512(const float* in, float* out, int64_t count) {
  waveform_trig_map<V, true>(in, out, count);
}

void waveform_atan2_f32_avx512(const float* y, const float* x, float* out, int count) {
  waveform_atan2_map<V>(y, x, out, count);
}

void waveform_gaussian_f32_avx512(const float* u1, const float* angle, float* z, int64_t count) {
  waveform_gaussian_map<V>(u1, angle, z, count);
}

void stft_frames_f32_avx512(const float* padded, int T, int hop, int N, const float* basis, float* out,
                            float* work) {
  stft_frames_v<V>(padded, T, hop, N, basis, out, work);
}

void istft_frames_f32_avx512(const float* mag, const float* phase, int T, int N, const float* window,
                             float* out, float* work) {
  istft_frames_v<V>(mag, phase, T, N, window, out, work);
}

}  // namespace trevalon
