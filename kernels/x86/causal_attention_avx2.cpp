// The causal attention core on eight lanes: keys turned eight at a time, two dimension vectors per
// value block (up to four query heads by two vectors: eight accumulators).
#include "kernels/causal_attention.h"
#include "kernels/x86/simd_f32x8.h"
#include "kernels/x86/activation_simd.h"
#include "kernels/x86/transpose_f32x8.h"

namespace trevalon {
namespace {

struct CausalLanes8 : F32x8 {
  static F exp(F x) { return exp_v<F32x8>(x); }
  static void transpose(F* r) { transpose_square(r); }
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
