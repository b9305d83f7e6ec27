// Waveform frame loops on AVX2 + FMA, eight lanes.
#include "kernels/x86/simd_f32x8.h"
#include "kernels/x86/waveform_simd.h"

namespace trevalon {
namespace {

struct V : F32x8 {
  static I add_int(I a, int b) { return _mm256_add_epi32(a, _mm256_set1_epi32(b)); }
  static F pick_odd(F odd, F even, I k) {
    return _mm256_blendv_ps(even, odd, _mm256_castsi256_ps(_mm256_slli_epi32(k, 31)));
  }
  static F negate_if_bit1(F v, I k) {
    const I sign = _mm256_and_si256(_mm256_slli_epi32(k, 30), _mm256_set1_epi32(INT32_MIN));
    return _mm256_xor_ps(v, _mm256_castsi256_ps(sign));
  }
  using M = __m256;
  static M gt(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_GT_OQ); }
  static F where(M m, F t, F f) { return _mm256_blendv_ps(f, t, m); }
  static F abs(F x) { return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), x); }
  static F copysign(F magnitude, F sign) {
    const F bit = _mm256_set1_ps(-0.0f);
    return _mm256_or_ps(_mm256_andnot_ps(bit, magnitude), _mm256_and_ps(bit, sign));
  }
  static F sqrt(F x) { return _mm256_sqrt_ps(x); }
  static I as_int(F x) { return _mm256_castps_si256(x); }
  static F as_float(I x) { return _mm256_castsi256_ps(x); }
  static I shift_right(I x, int n) { return _mm256_srli_epi32(x, n); }
  static I sub_int(I a, int b) { return _mm256_sub_epi32(a, _mm256_set1_epi32(b)); }
  static I and_int(I a, int b) { return _mm256_and_si256(a, _mm256_set1_epi32(b)); }
  static I or_int(I a, int b) { return _mm256_or_si256(a, _mm256_set1_epi32(b)); }
  static I sub_int_where(M m, I a, int b) {
    return _mm256_sub_epi32(a, _mm256_and_si256(_mm256_castps_si256(m), _mm256_set1_epi32(b)));
  }
  static F to_float(I x) { return _mm256_cvtepi32_ps(x); }
  static unsigned outside_mask(F x, float limit) {
    const F a = _mm256_andnot_ps(_mm256_set1_ps(-0.0f), x);
    return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(a, _mm256_set1_ps(limit), _CMP_NLE_UQ)));
  }
};

}  // namespace

void waveform_cos_f32_avx2(const float* in, float* out, int count) {
  waveform_trig_map<V, false>(in, out, count);
}

void waveform_sin_f32_avx2(const float* in, float* out, int64_t count) {
  waveform_trig_map<V, true>(in, out, count);
}

void waveform_atan2_f32_avx2(const float* y, const float* x, float* out, int count) {
  waveform_atan2_map<V>(y, x, out, count);
}

void waveform_gaussian_f32_avx2(const float* u1, const float* angle, float* z, int64_t count) {
  waveform_gaussian_map<V>(u1, angle, z, count);
}

void stft_frames_f32_avx2(const float* padded, int T, int hop, int N, const float* basis, float* out,
                          float* work) {
  stft_frames_v<V>(padded, T, hop, N, basis, out, work);
}

void istft_frames_f32_avx2(const float* mag, const float* phase, int T, int N, const float* window, float* out,
                           float* work) {
  istft_frames_v<V>(mag, phase, T, N, window, out, work);
}

}  // namespace trevalon
