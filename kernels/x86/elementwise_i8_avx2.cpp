// Quantised add on AVX2: the Q12 path 32 elements a step; the other
// formulas come from the portable kernel.
#include <immintrin.h>

#include "kernels/elementwise_i8.h"

namespace trevalon {
namespace {

// u x a + v x b of every element in one multiply-add of 16-bit pairs (a, b) by (u, v): exact in
// 32 bits, since |u| and |v| stay below 2^15 on this path. 32 elements a step, then a last 16
// (`end` is a multiple of 16).
void add_q12_avx2(const AddI8Plan& plan, const int8_t* a, const int8_t* b, int8_t* out, int end) {
  const __m256i weights = _mm256_set1_epi32(int32_t((uint32_t(plan.u) & 0xFFFF) | (uint32_t(plan.v) << 16)));
  const __m256i bias = _mm256_set1_epi32(plan.q12_bias);
  // Sixteen elements saturated to int16, in order: the interleaves work within 128-bit lanes (lo
  // holds elements 0-3 of each lane, hi 4-7) and the pack puts them back.
  auto words = [&](__m128i x, __m128i y) {
    const __m256i xa = _mm256_cvtepi8_epi16(x), yb = _mm256_cvtepi8_epi16(y);
    const __m256i lo = _mm256_add_epi32(bias, _mm256_madd_epi16(_mm256_unpacklo_epi16(xa, yb), weights));
    const __m256i hi = _mm256_add_epi32(bias, _mm256_madd_epi16(_mm256_unpackhi_epi16(xa, yb), weights));
    return _mm256_packs_epi32(_mm256_srai_epi32(lo, 12), _mm256_srai_epi32(hi, 12));
  };
  auto load = [](const int8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
  int i = 0;
  for (; i + 32 <= end; i += 32) {
    // Saturating through int16 to int8 equals saturating straight to int8; the permute undoes the
    // per-lane interleave of the pack.
    const __m256i bytes =
        _mm256_packs_epi16(words(load(a + i), load(b + i)), words(load(a + i + 16), load(b + i + 16)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_permute4x64_epi64(bytes, 0xD8));
  }
  if (i < end) {
    const __m256i w = words(load(a + i), load(b + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                     _mm_packs_epi16(_mm256_castsi256_si128(w), _mm256_extracti128_si256(w, 1)));
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
