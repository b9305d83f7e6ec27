// Quantised add on AVX-512: the Q12 path 64 elements a step; the other
// formulas come from the portable kernel.
// GCC 12 reports the _mm512_undefined_* operands inside its own intrinsics as uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <immintrin.h>

#include "kernels/elementwise_i8.h"
#include "kernels/x86/add_q12_avx512.h"

namespace trevalon {
namespace {

// 64 elements a step; `end` is a multiple of 16, so the last step may be a masked 16, 32 or 48.
void add_q12_avx512(const AddI8Plan& plan, const int8_t* a, const int8_t* b, int8_t* out, int end) {
  const x86::AddQ12Lanes q = x86::add_q12_lanes(plan.u, plan.v, plan.q12_bias);
  for (int i = 0; i < end; i += 64) {
    const __mmask64 mask = end - i >= 64 ? ~__mmask64(0) : (__mmask64(1) << (end - i)) - 1;
    const __m512i sum =
        x86::add_q12_64(_mm512_maskz_loadu_epi8(mask, a + i), _mm512_maskz_loadu_epi8(mask, b + i), q);
    _mm512_mask_storeu_epi8(out + i, mask, sum);
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
