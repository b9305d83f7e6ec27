// Quantised add on AVX-512: the Q12 path 64 elements a step; the other
// formulas come from the portable kernel.
// GCC 12 reports the _mm512_undefined_* operands inside its own intrinsics as uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <immintrin.h>

#include "kernels/elementwise_i8.h"

namespace trevalon {
namespace {

// u x a + v x b of every element in one multiply-add of 16-bit pairs (a, b) by (u, v): exact in
// 32 bits, since |u| and |v| stay below 2^15 on this path. 64 elements a step; `end` is a multiple
// of 16, so the last step may be a masked 16, 32 or 48.
void add_q12_avx512(const AddI8Plan& plan, const int8_t* a, const int8_t* b, int8_t* out, int end) {
  const __m512i weights = _mm512_set1_epi32(int32_t((uint32_t(plan.u) & 0xFFFF) | (uint32_t(plan.v) << 16)));
  const __m512i bias = _mm512_set1_epi32(plan.q12_bias);
  // After the packs, qword 2L holds elements 8L.. and qword 2L + 1 elements 32 + 8L..
  const __m512i order = _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7);
  for (int i = 0; i < end; i += 64) {
    const __mmask64 mask = end - i >= 64 ? ~__mmask64(0) : (__mmask64(1) << (end - i)) - 1;
    const __m512i x = _mm512_maskz_loadu_epi8(mask, a + i), y = _mm512_maskz_loadu_epi8(mask, b + i);
    __m512i words[2];
#pragma GCC unroll 2
    for (int h = 0; h < 2; ++h) {
      const __m512i xa =
          _mm512_cvtepi8_epi16(h ? _mm512_extracti64x4_epi64(x, 1) : _mm512_castsi512_si256(x));
      const __m512i yb =
          _mm512_cvtepi8_epi16(h ? _mm512_extracti64x4_epi64(y, 1) : _mm512_castsi512_si256(y));
      // The interleaves work within 128-bit lanes: lo holds elements 0-3 of each lane, hi 4-7, and
      // the pack puts them back in order, saturated to int16.
      const __m512i lo = _mm512_add_epi32(bias, _mm512_madd_epi16(_mm512_unpacklo_epi16(xa, yb), weights));
      const __m512i hi = _mm512_add_epi32(bias, _mm512_madd_epi16(_mm512_unpackhi_epi16(xa, yb), weights));
      words[h] = _mm512_packs_epi32(_mm512_srai_epi32(lo, 12), _mm512_srai_epi32(hi, 12));
    }
    // Saturating through int16 to int8 equals saturating straight to int8.
    _mm512_mask_storeu_epi8(out + i, mask,
                            _mm512_permutexvar_epi64(order, _mm512_packs_epi16(words[0], words[1])));
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
