// Quantised add on AVX2: the Q12 path sixteen elements at a time in 32-bit lanes; the other
// formulas come from the portable kernel.
#include <immintrin.h>

#include "kernels/elementwise_i8.h"

namespace trevalon {
namespace {

// 8 int8 values widened to int32, times the Q12 weight.
inline __m256i weighted(__m128i bytes, __m256i weight) {
  return _mm256_mullo_epi32(_mm256_cvtepi8_epi32(bytes), weight);
}

void add_q12_avx2(const AddI8Plan& plan, const int8_t* a, const int8_t* b, int8_t* out, int end) {
  const __m256i u = _mm256_set1_epi32(plan.u), v = _mm256_set1_epi32(plan.v);
  const __m256i bias = _mm256_set1_epi32(plan.q12_bias);
  for (int i = 0; i + 16 <= end; i += 16) {
    const __m128i a16 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
    const __m128i b16 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    __m256i lo = _mm256_add_epi32(bias, _mm256_add_epi32(weighted(a16, u), weighted(b16, v)));
    __m256i hi = _mm256_add_epi32(
        bias, _mm256_add_epi32(weighted(_mm_srli_si128(a16, 8), u), weighted(_mm_srli_si128(b16, 8), v)));
    lo = _mm256_srai_epi32(lo, 12);
    hi = _mm256_srai_epi32(hi, 12);
    // Saturating through int16 to int8 equals saturating straight to int8; the permute undoes the
    // per-128-bit-lane interleave of the pack.
    const __m256i words = _mm256_permute4x64_epi64(_mm256_packs_epi32(lo, hi), 0xD8);
    const __m128i bytes = _mm_packs_epi16(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), bytes);
  }
}

}  // namespace

void add_i8_avx2(const int8_t* a, const int8_t* b, int32_t in1_zp, int32_t in2_zp, int32_t out_zp,
                 int8_t* out, int count, float in1_scale, float in2_scale, float out_scale, void*) {
  if (count <= 0) return;
  const AddI8Plan plan = plan_add_i8(in1_zp, in2_zp, out_zp, in1_scale, in2_scale, out_scale);
  add_i8_split(plan, a, b, out, count,
               [&](const int8_t* x, const int8_t* y, int8_t* z, int n) { add_q12_avx2(plan, x, y, z, n); });
}

}  // namespace trevalon
