// The causal attention core on eight lanes: keys turned eight at a time, two dimension vectors per
// value block (up to four query heads by two vectors: eight accumulators).
#include "kernels/causal_attention.h"
#include "kernels/x86/simd_f32x8.h"
#include "kernels/x86/activation_simd.h"

namespace trevalon {
namespace {

struct CausalLanes8 : F32x8 {
  static F exp(F x) { return exp_v<F32x8>(x); }
  // 8 x 8 transpose: pairs of rows, then quadruples, then the two 128-bit halves.
  static void transpose(F* r) {
    F t[8];
    for (int i = 0; i < 8; i += 2) {
      t[i] = _mm256_unpacklo_ps(r[i], r[i + 1]);
      t[i + 1] = _mm256_unpackhi_ps(r[i], r[i + 1]);
    }
    F u[8];
    for (int g = 0; g < 8; g += 4) {
      u[g] = _mm256_shuffle_ps(t[g], t[g + 2], _MM_SHUFFLE(1, 0, 1, 0));
      u[g + 1] = _mm256_shuffle_ps(t[g], t[g + 2], _MM_SHUFFLE(3, 2, 3, 2));
      u[g + 2] = _mm256_shuffle_ps(t[g + 1], t[g + 3], _MM_SHUFFLE(1, 0, 1, 0));
      u[g + 3] = _mm256_shuffle_ps(t[g + 1], t[g + 3], _MM_SHUFFLE(3, 2, 3, 2));
    }
    for (int q = 0; q < 4; ++q) {
      r[q] = _mm256_permute2f128_ps(u[q], u[4 + q], 0x20);
      r[4 + q] = _mm256_permute2f128_ps(u[q], u[4 + q], 0x31);
    }
  }
};

}  // namespace
}  // namespace trevalon

#include "kernels/causal_attention_lanes.h"

namespace trevalon {

void causal_attn_core_f32_avx2(const float* q, const float* k, const float* v, float* cache, int P,
                               int capacity, float* out, int T, float rope_theta, int num_q_heads,
                               int num_kv_heads, int head_dim, int rope_offset, uint8_t, float* scratch,
                               void*) {
  causal_attn_core_lanes<CausalLanes8, 2>(q, k, v, cache, P, capacity, out, T, rope_theta, num_q_heads,
                                          num_kv_heads, head_dim, rope_offset, scratch);
}

}  // namespace trevalon
