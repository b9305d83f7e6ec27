// The causal attention core on sixteen lanes: keys turned sixteen at a time, four dimension vectors
// per value block (up to four query heads by a 64-wide head: sixteen accumulators).
// GCC 12 reports the _mm512_undefined_* operands inside its own intrinsics as uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "kernels/causal_attention.h"
#include "kernels/x86/simd_f32x16.h"
#include "kernels/x86/activation_simd.h"
#include "kernels/x86/transpose_f32x16.h"

namespace trevalon {
namespace {

struct CausalLanes16 : F32x16 {
  static F exp(F x) { return exp_v<F32x16>(x); }
  static void transpose(F* r) { transpose_square(r); }
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
