// AVX2 dynamic row quantisation and int8 matrix-vector product. The product widens both operands
// to 16 bits and sums pairs exactly (no saturating byte products), so it equals the portable sum.
#include <immintrin.h>

#include "kernels/seq_gemm.h"
#include "kernels/thread_pool.h"
#include "kernels/thread_work.h"
#include "kernels/work_split.h"

namespace trevalon {
namespace {

float abs_max8(const float* x, int K) {
  const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
  __m256 acc = _mm256_setzero_ps();
  int k = 0;
  for (; k + 8 <= K; k += 8) acc = _mm256_max_ps(_mm256_and_ps(_mm256_loadu_ps(x + k), magnitude), acc);
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, acc);
  float amax = 0.0f;
  for (float v : lanes) amax = v > amax ? v : amax;
  for (; k < K; ++k) {
    const float a = std::fabs(x[k]);
    amax = a > amax ? a : amax;
  }
  return amax;
}

inline int32_t hsum8(__m256i v) {
  __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
  return _mm_cvtsi128_si32(s);
}

// Sum over k of xq[k] * w[k] for 16 bytes of each.
inline __m256i dot16(__m256i x16, const int8_t* w) {
  const __m256i w16 = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w)));
  return _mm256_madd_epi16(x16, w16);
}

}  // namespace

void quantize_rows_i8_avx2(const float* x, int rows, int K, int8_t* q, float* scales) {
  const __m256 half = _mm256_set1_ps(0.5f);
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 sign = _mm256_set1_ps(-0.0f);
  const __m256 lo = _mm256_set1_ps(-128.0f), hi = _mm256_set1_ps(127.0f);
  for (int r = 0; r < rows; ++r) {
    const float* row = x + size_t(r) * size_t(K);
    int8_t* qr = q + size_t(r) * size_t(K);
    const float s = dynamic_row_scale(abs_max8(row, K));
    const float inv_s = 1.0f / s;
    const __m256 inv = _mm256_set1_ps(inv_s);
    int k = 0;
    for (; k + 8 <= K; k += 8) {
      const __m256 v = _mm256_mul_ps(_mm256_loadu_ps(row + k), inv);
      __m256 t = _mm256_round_ps(v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
      const __m256 rest = _mm256_andnot_ps(sign, _mm256_sub_ps(v, t));
      const __m256 step =
          _mm256_and_ps(_mm256_cmp_ps(rest, half, _CMP_GE_OQ), _mm256_or_ps(one, _mm256_and_ps(v, sign)));
      t = _mm256_min_ps(_mm256_max_ps(_mm256_add_ps(t, step), lo), hi);  // NaN takes -128
      const __m256i i = _mm256_cvttps_epi32(t);
      const __m128i p16 = _mm_packs_epi32(_mm256_castsi256_si128(i), _mm256_extracti128_si256(i, 1));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(qr + k), _mm_packs_epi16(p16, p16));
    }
    for (; k < K; ++k) qr[k] = quantize_clamped(row[k] * inv_s);
    scales[r] = s;
  }
}

void gemv_i8_dynamic_avx2(const float* x, const int8_t* w, const float* row_scales, const float* bias,
                          float* out, int K, int N, void*) {
  if (N <= 0) return;
  if (K < 0) K = 0;
  int8_t* xq = thread_work<int8_t>(WorkBuffer::GemvI8Input, size_t(K));
  float s = 1e-8f;
  quantize_rows_i8_avx2(x, 1, K, xq, &s);
  const int body = K & ~15;
  auto finish = [&](int o, int32_t acc) {
    const int8_t* wo = w + size_t(o) * size_t(K);
    uint32_t sum = uint32_t(acc);
    for (int k = body; k < K; ++k) sum += uint32_t(int32_t(xq[k]) * int32_t(wo[k]));
    out[o] = (bias ? bias[o] : 0.0f) + row_scales[o] * (s * float(int32_t(sum)));
  };
  // Ranges of whole groups of four rows, each reading the caller's quantised vector.
  parallel_for(size_t(N), 4, gemv_rows_worth_splitting(K), [&](size_t first, size_t last) {
    const int end = int(last);
    int o = int(first);
    // Four rows share each widened slice of x; each row's weights are read once, front to back.
    for (; o + 4 <= end; o += 4) {
      const int8_t* w0 = w + size_t(o) * size_t(K);
      const int8_t* w1 = w0 + K;
      const int8_t* w2 = w1 + K;
      const int8_t* w3 = w2 + K;
      __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
      // Two groups of rows ahead are asked for while this one is summed (one core alone keeps too
      // few lines in flight to stream at the memory's rate); a prefetch past the end is dropped.
      const int8_t* ahead = w0 + 8 * size_t(K);
      for (int k = 0; k < body; k += 16) {
        if ((k & 63) == 0)
          for (int r = 0; r < 4; ++r)
            _mm_prefetch(reinterpret_cast<const char*>(ahead + r * size_t(K) + k), _MM_HINT_T0);
        const __m256i x16 = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(xq + k)));
        a0 = _mm256_add_epi32(a0, dot16(x16, w0 + k));
        a1 = _mm256_add_epi32(a1, dot16(x16, w1 + k));
        a2 = _mm256_add_epi32(a2, dot16(x16, w2 + k));
        a3 = _mm256_add_epi32(a3, dot16(x16, w3 + k));
      }
      finish(o, hsum8(a0));
      finish(o + 1, hsum8(a1));
      finish(o + 2, hsum8(a2));
      finish(o + 3, hsum8(a3));
    }
    for (; o < end; ++o) {
      const int8_t* wo = w + size_t(o) * size_t(K);
      __m256i a = _mm256_setzero_si256();
      for (int k = 0; k < body; k += 16)
        a = _mm256_add_epi32(
            a,
            dot16(_mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(xq + k))), wo + k));
      finish(o, hsum8(a));
    }
  });
}

}  // namespace trevalon
