// The attention core on eight lanes: 16 query rows by four keys per score block, two rows by four
// dimension vectors per value block (sixteen registers).
#include "kernels/attention.h"
#include "kernels/x86/simd_f32x8.h"
#include "kernels/x86/activation_simd.h"
#include "kernels/attention_heads.h"

namespace trevalon {
namespace {

struct AttentionLanes8 : F32x8 {
  static F exp(F x) { return exp_v<F32x8>(x); }
};

}  // namespace

void attention_heads_avx2(const float* qkv, float* out, int T, int E, int heads) {
  attention_heads_lanes<AttentionLanes8, 2, 4, 2, 4>(qkv, out, T, E, heads);
}

}  // namespace trevalon
