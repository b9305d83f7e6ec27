// Per-tap accumulation of the stride-1 int8 convolution on AVX-512: sixteen output channels per
// vector, each lane the portable arithmetic.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "kernels/conv1d_i8.h"

namespace trevalon {

void conv1d_i8_tap_accumulate_avx512(const int32_t* acc, const float* row_scales, const float* w_scales,
                                     const float* bias, float* y, int rows, int N, bool first) {
  for (int t = 0; t < rows; ++t) {
    const __m512 s = _mm512_set1_ps(row_scales[t]);
    const int32_t* a = acc + size_t(t) * size_t(N);
    float* out = y + size_t(t) * size_t(N);
    for (int o = 0; o < N; o += 16) {
      const __mmask16 m = N - o >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (N - o)) - 1);
      const __m512 v = _mm512_cvtepi32_ps(_mm512_maskz_loadu_epi32(m, a + o));
      const __m512 w = _mm512_maskz_loadu_ps(m, w_scales + o);
      __m512 r;
      if (!first)
        r = _mm512_fmadd_ps(_mm512_mul_ps(s, v), w, _mm512_maskz_loadu_ps(m, out + o));
      else if (bias)
        r = _mm512_fmadd_ps(v, _mm512_mul_ps(s, w), _mm512_maskz_loadu_ps(m, bias + o));
      else
        r = _mm512_mul_ps(v, _mm512_mul_ps(s, w));
      _mm512_mask_storeu_ps(out + o, m, r);
    }
  }
}

}  // namespace trevalon
