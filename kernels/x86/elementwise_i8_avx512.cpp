// Quantised add on AVX-512: the Q12 path sixteen elements per 512-bit register; the other
// formulas come from the portable kernel.
// GCC 12 reports the _mm512_undefined_* operands inside its own intrinsics as uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <immintrin.h>

#include "kernels/elementwise_i8.h"

namespace trevalon {
namespace {

void add_q12_avx512(const AddI8Plan& plan, const int8_t* a, const int8_t* b, int8_t* out, int end) {
  const __m512i u = _mm512_set1_epi32(plan.u), v = _mm512_set1_epi32(plan.v);
  const __m512i bias = _mm512_set1_epi32(plan.q12_bias);
  for (int i = 0; i + 16 <= end; i += 16) {
    const __m512i a32 = _mm512_cvtepi8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i)));
    const __m512i b32 = _mm512_cvtepi8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)));
    __m512i acc =
        _mm512_add_epi32(bias, _mm512_add_epi32(_mm512_mullo_epi32(a32, u), _mm512_mullo_epi32(b32, v)));
    acc = _mm512_srai_epi32(acc, 12);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm512_cvtsepi32_epi8(acc));
  }
}

}  // namespace

void add_i8_avx512(const int8_t* a, const int8_t* b, int32_t in1_zp, int32_t in2_zp, int32_t out_zp,
                   int8_t* out, int count, float in1_scale, float in2_scale, float out_scale, void*) {
  if (count <= 0) return;
  const AddI8Plan plan = plan_add_i8(in1_zp, in2_zp, out_zp, in1_scale, in2_scale, out_scale);
  add_i8_split(plan, a, b, out, count,
               [&](const int8_t* x, const int8_t* y, int8_t* z, int n) { add_q12_avx512(plan, x, y, z, n); });
}

}  // namespace trevalon
