// The attention core on sixteen lanes: 32 query rows (two vectors) by eight keys per score block,
// four rows by four dimension vectors per value block.
#include "kernels/attention.h"
#include "kernels/x86/simd_f32x16.h"
#include "kernels/x86/activation_simd.h"
#include "kernels/attention_heads.h"

namespace trevalon {
namespace {

struct AttentionLanes16 : F32x16 {
  static F exp(F x) { return exp_v<F32x16>(x); }
};

}  // namespace

void attention_heads_avx512(const float* qkv, float* out, int T, int E, int heads) {
  attention_heads_lanes<AttentionLanes16, 2, 8, 4, 4>(qkv, out, T, E, heads);
}

}  // namespace trevalon
