// The stride-1 int8 convolution's per-tap accumulation and the depthwise int8 convolution on AVX2:
// eight channels per vector, each lane the portable arithmetic; channels past the last eight take
// the portable loop.
#include <immintrin.h>

#include "kernels/conv1d_i8.h"

namespace trevalon {
namespace {

// round-half-away-from-zero, clamped to [-128, 127] (NaN to -128), as quantize_clamped.
inline __m256 quantize8(__m256 v) {
  const __m256 sign = _mm256_set1_ps(-0.0f);
  __m256 t = _mm256_round_ps(v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
  const __m256 rest = _mm256_andnot_ps(sign, _mm256_sub_ps(v, t));
  const __m256 away = _mm256_cmp_ps(rest, _mm256_set1_ps(0.5f), _CMP_GE_OQ);
  t = _mm256_add_ps(t, _mm256_and_ps(away, _mm256_or_ps(_mm256_set1_ps(1.0f), _mm256_and_ps(v, sign))));
  return _mm256_min_ps(_mm256_max_ps(t, _mm256_set1_ps(-128.0f)), _mm256_set1_ps(127.0f));
}

// Lanes are channels; the tap sums are exact in float (see the AVX-512 version).
void depthwise_rows(const float* x, int L, int C, const int8_t* w, const float* w_taps, const float* w_scales,
                    const float* bias, float* y, int L_out, int C_out, int K, int stride, int dilation,
                    int padding) {
  const int vector_end = C_out == C && K < 1024 ? C / 8 * 8 : 0;
  const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
  for (int t = 0; t < L_out; ++t) {
    float* out = y + size_t(t) * size_t(C);
    const int64_t first = int64_t(t) * stride - padding;
    for (int c = 0; c < vector_end; c += 8) {
      auto load = [&](int k) {
        const int64_t src = first + int64_t(k) * dilation;
        return src < 0 || src >= L ? _mm256_setzero_ps() : _mm256_loadu_ps(x + size_t(src) * size_t(C) + c);
      };
      __m256 amax = _mm256_setzero_ps();
      for (int k = 0; k < K; ++k) amax = _mm256_max_ps(_mm256_and_ps(load(k), magnitude), amax);
      __m256 s = _mm256_mul_ps(amax, _mm256_set1_ps(0.007874016f));
      s = _mm256_blendv_ps(s, _mm256_set1_ps(1e-8f), _mm256_cmp_ps(s, _mm256_set1_ps(1e-8f), _CMP_LT_OQ));
      const __m256 inv = _mm256_div_ps(_mm256_set1_ps(1.0f), s);
      __m256 acc = _mm256_setzero_ps();
      for (int k = 0; k < K; ++k)
        acc = _mm256_fmadd_ps(quantize8(_mm256_mul_ps(load(k), inv)),
                              _mm256_loadu_ps(w_taps + size_t(k) * size_t(C) + c), acc);
      __m256 v = _mm256_mul_ps(acc, _mm256_loadu_ps(w_scales + c));
      v = _mm256_mul_ps(v, s);
      if (bias) v = _mm256_add_ps(v, _mm256_loadu_ps(bias + c));
      _mm256_storeu_ps(out + c, v);
    }
  }
  if (vector_end < C)
    conv1d_i8_depthwise_channels(x, L, C, w, w_taps, w_scales, bias, y, L_out, C_out, K, stride, dilation,
                                 padding, vector_end, C);
}

}  // namespace

void conv1d_i8_depthwise_avx2(const float* x, int L, int C, const int8_t* w, const float* w_taps,
                              const float* w_scales, const float* bias, float* y, int L_out, int C_out, int K,
                              int stride, int dilation, int padding) {
  conv1d_i8_depthwise_parallel(&depthwise_rows, x, L, C, w, w_taps, w_scales, bias, y, L_out, C_out, K, stride,
                               dilation, padding);
}

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
                                        bias ? bias + vector_end : nullptr, out + vector_end, 1,
                                        N - vector_end, first);
  }
}

}  // namespace trevalon
