// The portable causal attention core: the shared steps on one float per lane.
#include "kernels/causal_attention.h"

#include <math.h>

#include "kernels/activation_lanes.h"
#include "kernels/causal_attention_lanes.h"

namespace trevalon {
namespace {

// One float lane with the operations of the vector lane types, step for step.
struct CausalLane1 {
  using F = float;
  static constexpr int kWidth = 1;
  static F load(const float* p) { return *p; }
  static void store(float* p, F v) { *p = v; }
  static F load_first(const float* p, int n) { return n > 0 ? *p : 0.0f; }
  static void store_first(float* p, F v, int n) {
    if (n > 0) *p = v;
  }
  static F set1(float v) { return v; }
  static F zero() { return 0.0f; }
  static F sub(F a, F b) { return a - b; }
  static F mul(F a, F b) { return a * b; }
  static F fmadd(F a, F b, F c) { return fmaf(a, b, c); }
  static F max(F a, F b) { return a > b ? a : b; }
  static F exp(F x) { return exp_lane(x); }
  static void transpose(F*) {}
};

}  // namespace

void causal_attn_core_f32_portable(const float* q, const float* k, const float* v, float* cache, int P,
                                   int capacity, float* out, int T, float rope_theta, int num_q_heads,
                                   int num_kv_heads, int head_dim, int rope_offset, uint8_t, float* scratch,
                                   void*) {
  causal_attn_core_lanes<CausalLane1, 4>(q, k, v, cache, P, capacity, out, T, rope_theta, num_q_heads,
                                         num_kv_heads, head_dim, rope_offset, scratch);
}

}  // namespace trevalon
