// The causal attention core on sixteen lanes: keys turned sixteen at a time, four dimension vectors
// per value block (up to four query heads by a 64-wide head: sixteen accumulators).
// GCC 12 reports the _mm512_undefined_* operands inside its own intrinsics as uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "kernels/causal_attention.h"
#include "kernels/x86/simd_f32x16.h"
#include "kernels/x86/activation_simd.h"

namespace trevalon {
namespace {

struct CausalLanes16 : F32x16 {
  static F exp(F x) { return exp_v<F32x16>(x); }
  // 16 x 16 transpose: pairs of rows, then quadruples, then the 128-bit quarters.
  static void transpose(F* r) {
    F t[16];
    for (int i = 0; i < 16; i += 2) {
      t[i] = _mm512_unpacklo_ps(r[i], r[i + 1]);
      t[i + 1] = _mm512_unpackhi_ps(r[i], r[i + 1]);
    }
    F u[16];  // u[4g + q], quarter L: column 4L + q of rows 4g .. 4g + 3
    for (int g = 0; g < 16; g += 4) {
      const __m512d a = _mm512_castps_pd(t[g]), b = _mm512_castps_pd(t[g + 1]);
      const __m512d c = _mm512_castps_pd(t[g + 2]), d = _mm512_castps_pd(t[g + 3]);
      u[g] = _mm512_castpd_ps(_mm512_unpacklo_pd(a, c));
      u[g + 1] = _mm512_castpd_ps(_mm512_unpackhi_pd(a, c));
      u[g + 2] = _mm512_castpd_ps(_mm512_unpacklo_pd(b, d));
      u[g + 3] = _mm512_castpd_ps(_mm512_unpackhi_pd(b, d));
    }
    for (int q = 0; q < 4; ++q) {
      const F v0 = _mm512_shuffle_f32x4(u[q], u[4 + q], 0x88);
      const F v1 = _mm512_shuffle_f32x4(u[q], u[4 + q], 0xDD);
      const F v2 = _mm512_shuffle_f32x4(u[8 + q], u[12 + q], 0x88);
      const F v3 = _mm512_shuffle_f32x4(u[8 + q], u[12 + q], 0xDD);
      r[q] = _mm512_shuffle_f32x4(v0, v2, 0x88);
      r[4 + q] = _mm512_shuffle_f32x4(v1, v3, 0x88);
      r[8 + q] = _mm512_shuffle_f32x4(v0, v2, 0xDD);
      r[12 + q] = _mm512_shuffle_f32x4(v1, v3, 0xDD);
    }
  }
};

}  // namespace
}  // namespace trevalon

#include "kernels/causal_attention_lanes.h"

namespace trevalon {

void causal_attn_core_f32_avx512(const float* q, const float* k, const float* v, float* cache, int P,
                                 int capacity, float* out, int T, float rope_theta, int num_q_heads,
                                 int num_kv_heads, int head_dim, int rope_offset, uint8_t, float* scratch,
                                 void*) {
  causal_attn_core_lanes<CausalLanes16, 4>(q, k, v, cache, P, capacity, out, T, rope_theta, num_q_heads,
                                           num_kv_heads, head_dim, rope_offset, scratch);
}

}  // namespace trevalon
