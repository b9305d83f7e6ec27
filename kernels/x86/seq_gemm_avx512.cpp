// AVX-512 dynamic row quantisation: 16 lanes per step, the same rounding and clamping as the
// portable loop (truncate, then step away from zero when the remainder is at least one half).
#include <immintrin.h>

#include "kernels/seq_gemm.h"

namespace trevalon {
namespace {

inline __mmask16 first_lanes(int count) {
  return count >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << count) - 1);
}

float abs_max16(const float* x, int K) {
  const __m512 magnitude = _mm512_castsi512_ps(_mm512_set1_epi32(0x7FFFFFFF));
  __m512 acc = _mm512_setzero_ps();
  for (int k = 0; k < K; k += 16) {
    const __m512 a = _mm512_and_ps(_mm512_maskz_loadu_ps(first_lanes(K - k), x + k), magnitude);
    acc = _mm512_max_ps(a, acc);  // a NaN lane keeps acc
  }
  return _mm512_reduce_max_ps(acc);
}

}  // namespace

void quantize_rows_i8_avx512(const float* x, int rows, int K, int8_t* q, float* scales) {
  const __m512 half = _mm512_set1_ps(0.5f);
  const __m512 one = _mm512_set1_ps(1.0f);
  const __m512 sign = _mm512_set1_ps(-0.0f);
  const __m512 lo = _mm512_set1_ps(-128.0f), hi = _mm512_set1_ps(127.0f);
  for (int r = 0; r < rows; ++r) {
    const float* row = x + size_t(r) * size_t(K);
    int8_t* qr = q + size_t(r) * size_t(K);
    const float s = dynamic_row_scale(abs_max16(row, K));
    const __m512 inv = _mm512_set1_ps(1.0f / s);
    for (int k = 0; k < K; k += 16) {
      const __mmask16 m = first_lanes(K - k);
      const __m512 v = _mm512_mul_ps(_mm512_maskz_loadu_ps(m, row + k), inv);
      __m512 t = _mm512_roundscale_ps(v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
      const __m512 rest = _mm512_andnot_ps(sign, _mm512_sub_ps(v, t));
      const __mmask16 away = _mm512_cmp_ps_mask(rest, half, _CMP_GE_OQ);
      t = _mm512_mask_add_ps(t, away, t, _mm512_or_ps(one, _mm512_and_ps(v, sign)));
      t = _mm512_min_ps(_mm512_max_ps(t, lo), hi);  // NaN takes -128, as the scalar clamp
      _mm512_mask_cvtepi32_storeu_epi8(qr + k, m, _mm512_cvttps_epi32(t));
    }
    scales[r] = s;
  }
}

}  // namespace trevalon
