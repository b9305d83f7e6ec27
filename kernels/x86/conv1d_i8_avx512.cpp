// The stride-1 int8 convolution's per-tap accumulation and the depthwise int8 convolution on
// AVX-512: sixteen channels per vector, each lane the portable arithmetic.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "kernels/conv1d_i8.h"

namespace trevalon {
namespace {

inline __mmask16 first_lanes(int count) {
  return count >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << count) - 1);
}

// round-half-away-from-zero, clamped to [-128, 127] (NaN to -128), as quantize_clamped.
inline __m512 quantize16(__m512 v) {
  const __m512 sign = _mm512_set1_ps(-0.0f);
  __m512 t = _mm512_roundscale_ps(v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
  const __m512 rest = _mm512_andnot_ps(sign, _mm512_sub_ps(v, t));
  const __mmask16 away = _mm512_cmp_ps_mask(rest, _mm512_set1_ps(0.5f), _CMP_GE_OQ);
  t = _mm512_mask_add_ps(t, away, t, _mm512_or_ps(_mm512_set1_ps(1.0f), _mm512_and_ps(v, sign)));
  return _mm512_min_ps(_mm512_max_ps(t, _mm512_set1_ps(-128.0f)), _mm512_set1_ps(127.0f));
}

// Lanes are channels (one output per input channel). The tap sums are formed in float: each
// product is an integer of at most 2^14 in magnitude and every partial sum stays below 2^24 for
// K < 1024, so the float sum is exact and equals float(acc).
void depthwise_rows(const float* x, int L, int C, const int8_t*, const float* w_taps, const float* w_scales,
                    const float* bias, float* y, int L_out, int, int K, int stride, int dilation, int padding) {
  constexpr int kMaxTaps = 32;  // taps held in registers; longer kernels reload them
  const __m512 magnitude = _mm512_castsi512_ps(_mm512_set1_epi32(0x7FFFFFFF));
  for (int t = 0; t < L_out; ++t) {
    float* out = y + size_t(t) * size_t(C);
    const int64_t first = int64_t(t) * stride - padding;
    auto row = [&](int k) -> const float* {
      const int64_t src = first + int64_t(k) * dilation;
      return src < 0 || src >= L ? nullptr : x + size_t(src) * size_t(C);
    };
    for (int c = 0; c < C; c += 16) {
      const __mmask16 m = first_lanes(C - c);
      __m512 taps[kMaxTaps];
      auto load = [&](int k) {
        const float* r = row(k);
        return r ? _mm512_maskz_loadu_ps(m, r + c) : _mm512_setzero_ps();
      };
      __m512 amax = _mm512_setzero_ps();
      for (int k = 0; k < K; ++k) {
        const __m512 v = load(k);
        if (k < kMaxTaps) taps[k] = v;
        amax = _mm512_max_ps(_mm512_and_ps(v, magnitude), amax);  // a NaN lane keeps amax
      }
      __m512 s = _mm512_mul_ps(amax, _mm512_set1_ps(0.007874016f));
      s = _mm512_mask_mov_ps(s, _mm512_cmp_ps_mask(s, _mm512_set1_ps(1e-8f), _CMP_LT_OQ),
                             _mm512_set1_ps(1e-8f));
      const __m512 inv = _mm512_div_ps(_mm512_set1_ps(1.0f), s);
      __m512 acc = _mm512_setzero_ps();
      for (int k = 0; k < K; ++k) {
        const __m512 q = quantize16(_mm512_mul_ps(k < kMaxTaps ? taps[k] : load(k), inv));
        acc = _mm512_fmadd_ps(q, _mm512_maskz_loadu_ps(m, w_taps + size_t(k) * size_t(C) + c), acc);
      }
      __m512 v = _mm512_mul_ps(acc, _mm512_maskz_loadu_ps(m, w_scales + c));
      v = _mm512_mul_ps(v, s);
      if (bias) v = _mm512_add_ps(v, _mm512_maskz_loadu_ps(m, bias + c));
      _mm512_mask_storeu_ps(out + c, m, v);
    }
  }
}

}  // namespace

void conv1d_i8_depthwise_avx512(const float* x, int L, int C, const int8_t* w, const float* w_taps,
                                const float* w_scales, const float* bias, float* y, int L_out, int C_out,
                                int K, int stride, int dilation, int padding) {
  if (C_out != C || K >= 1024) {
    conv1d_i8_depthwise_portable(x, L, C, w, w_taps, w_scales, bias, y, L_out, C_out, K, stride, dilation,
                                 padding);
    return;
  }
  conv1d_i8_depthwise_parallel(&depthwise_rows, x, L, C, w, w_taps, w_scales, bias, y, L_out, C_out, K, stride,
                               dilation, padding);
}

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
