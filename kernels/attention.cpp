// The attention blocks around the per-head core, and the portable core (one float per lane).
#include "kernels/attention.h"

#include <math.h>
#include <cstring>

#include "kernels/activation_lanes.h"
#include "kernels/seq_gemm.h"
#include "kernels/attention_heads.h"
#include "kernels/thread_pool.h"
#include "kernels/work_split.h"

namespace trevalon {
namespace {

// One float lane with the operations of the vector lane types, step for step.
struct F32x1 {
  using F = float;
  static constexpr int kWidth = 1;
  static F load(const float* p) { return *p; }
  static void store(float* p, F v) { *p = v; }
  static void store_first(float* p, F v, int n) {
    if (n > 0) *p = v;
  }
  static F set1(float v) { return v; }
  static F zero() { return 0.0f; }
  static F add(F a, F b) { return a + b; }
  static F sub(F a, F b) { return a - b; }
  static F mul(F a, F b) { return a * b; }
  static F fmadd(F a, F b, F c) { return fmaf(a, b, c); }
  static F max(F a, F b) { return a > b ? a : b; }
  static F exp(F x) { return exp_lane(x); }
};

// Every head writes its own hd columns; only when heads x hd falls short of E (which the layers
// refuse) would columns stay unwritten, and those read as zero.
void clear_unheaded_columns(float* out, int T, int E, int heads) {
  if ((E / heads) * heads != E) std::memset(out, 0, size_t(T) * size_t(E) * sizeof(float));
}

// The heads' output copied to the work area for the projection, rows split between threads.
void copy_heads(const float* out, float* work, int T, int E) {
  parallel_for(size_t(T), 1, rows_of_values(E), [&](size_t b, size_t e) {
    std::memcpy(work + b * size_t(E), out + b * size_t(E), (e - b) * size_t(E) * sizeof(float));
  });
}

}  // namespace

void attention_heads_portable(const float* qkv, float* out, int T, int E, int heads) {
  attention_heads_lanes<F32x1, 4, 4, 4, 4>(qkv, out, T, E, heads);
}

void attention_f32_steps(AttentionGemmF32 gemm, AttentionHeadsKernel heads, const float* x,
                         const float* qkv_packed, const float* qkv_prepared, const float* qkv_bias,
                         const float* proj_packed, const float* proj_prepared, const float* proj_bias,
                         float* out, int T, int E, int num_heads, float* work, bool fake_quant) {
  if (T <= 0 || E <= 0 || num_heads <= 0) return;
  gemm(x, qkv_packed, qkv_prepared, qkv_bias, work, T, E, 3 * E);
  clear_unheaded_columns(out, T, E, num_heads);
  heads(work, out, T, E, num_heads);
  // The projection reads the heads from the work area, whose queries, keys and values are spent.
  copy_heads(out, work, T, E);
  if (fake_quant) fake_quantize_f32(work, T * E);
  gemm(work, proj_packed, proj_prepared, proj_bias, out, T, E, E);
}

void attention_i8_steps(QuantizeRowsFn quantize, GemmI8DriverFn gemm, AttentionHeadsKernel heads,
                        const float* x, const int8_t* qkv_packed, const PreparedWeightsI8* qkv_prepared,
                        const float* qkv_scales, const int64_t* zeros, const float* qkv_bias,
                        const int8_t* proj_packed, const PreparedWeightsI8* proj_prepared,
                        const float* proj_scales, const float* proj_bias, float* out, int T, int E,
                        int num_heads, float* work, int8_t* q, float* scale_buffer, GemmI8RowsF32Fn fused) {
  if (T <= 0 || E <= 0 || num_heads <= 0) return;
  gemm_i8_dynamic_rows_with(quantize, gemm, qkv_prepared, x, qkv_packed, qkv_scales, zeros, qkv_bias, q,
                            scale_buffer, work, T, E, 3 * E, fused);
  clear_unheaded_columns(out, T, E, num_heads);
  heads(work, out, T, E, num_heads);
  copy_heads(out, work, T, E);
  gemm_i8_dynamic_rows_with(quantize, gemm, proj_prepared, work, proj_packed, proj_scales, zeros, proj_bias,
                            q, scale_buffer, out, T, E, E, fused);
}

}  // namespace trevalon
