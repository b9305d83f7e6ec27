// Per-tap accumulation of the stride-1 int8 convolution on AVX2: eight output channels per vector,
// each lane the portable arithmetic; the channels past the last eight take the portable loop.
#include <immintrin.h>

#include "kernels/conv1d_i8.h"

namespace trevalon {

void conv1d_i8_tap_accumulate_avx2(const int32_t* acc, const float* row_scales, const float* w_scales,
                                   const float* bias, float* y, int rows, int N, bool first) {
  const int vector_end = N / 8 * 8;
  for (int t = 0; t < rows; ++t) {
    const __m256 s = _mm256_set1_ps(row_scales[t]);
    const int32_t* a = acc + size_t(t) * size_t(N);
    float* out = y + size_t(t) * size_t(N);
    for (int o = 0; o < vector_end; o += 8) {
      const __m256 v = _mm256_cvtepi32_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + o)));
      const __m256 w = _mm256_loadu_ps(w_scales + o);
      __m256 r;
      if (!first)
        r = _mm256_fmadd_ps(_mm256_mul_ps(s, v), w, _mm256_loadu_ps(out + o));
      else if (bias)
        r = _mm256_fmadd_ps(v, _mm256_mul_ps(s, w), _mm256_loadu_ps(bias + o));
      else
        r = _mm256_mul_ps(v, _mm256_mul_ps(s, w));
      _mm256_storeu_ps(out + o, r);
    }
    if (vector_end < N)
      conv1d_i8_tap_accumulate_portable(a + vector_end, row_scales + t, w_scales + vector_end,
                                        bias ? bias + vector_end : nullptr, out + vector_end, 1, N - vector_end,
                                        first);
  }
}

}  // namespace trevalon
