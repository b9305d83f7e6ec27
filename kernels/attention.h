// Multi-head self-attention without a mask: the projections around it run on the matrix kernels,
// the per-head core streams 64-query x 64-key tiles with a running softmax, so the T x T score
// matrix never exists.
#pragma once

#include <cstdint>

#include "kernels/prepared_weights.h"
#include "kernels/seq_gemm.h"

namespace trevalon {

// The per-head core over a T x 3E matrix of query, key and value rows (head h reads columns
// h*hd, E + h*hd and 2E + h*hd): writes the T x E attention output, head h into columns h*hd.
// Every tier computes the same steps in the same order, so all tiers give the same bits: scores
// are one fused chain over the head's dimensions, the exponential is the shared polynomial, row
// sums add keys in increasing order and the weighted values add keys in increasing order onto the
// rescaled accumulator.
using AttentionHeadsKernel = void (*)(const float* qkv, float* out, int T, int E, int heads);
void attention_heads_portable(const float* qkv, float* out, int T, int E, int heads);
#ifndef TREVALON_PORTABLE
void attention_heads_avx2(const float* qkv, float* out, int T, int E, int heads);
void attention_heads_avx512(const float* qkv, float* out, int T, int E, int heads);
#endif

// A float product C = A x W^T + bias on W packed in 4-row panels, or on the tier's prepared form of
// it (`prepared` non-null: what KernelDrivers::prepare_f32 made, read alone).
using AttentionGemmF32 = void (*)(const float* A, const float* packed, const float* prepared,
                                  const float* bias, float* out, int M, int K, int N);

// The float block: QKV = x W_qkv^T + b_qkv into `work` (T x 3E floats), the heads into `out`, the
// heads' output copied to `work` and fake-quantised there when `fake_quant`, then
// out = work W_proj^T + b_proj.
void attention_f32_steps(AttentionGemmF32 gemm, AttentionHeadsKernel heads, const float* x,
                         const float* qkv_packed, const float* qkv_prepared, const float* qkv_bias,
                         const float* proj_packed, const float* proj_prepared, const float* proj_bias,
                         float* out, int T, int E, int num_heads, float* work, bool fake_quant);

// The int8 block: both projections through gemm_i8_dynamic_rows on the given row quantiser and
// int8 product (reading the prepared forms, when given), the same heads, and the heads' output
// copied to `work` without fake quantisation. `q` holds T x E bytes, `scale_buffer` 3E floats.
void attention_i8_steps(QuantizeRowsFn quantize, GemmI8DriverFn gemm, AttentionHeadsKernel heads,
                        const float* x, const int8_t* qkv_packed, const PreparedWeightsI8* qkv_prepared,
                        const float* qkv_scales, const int64_t* zeros, const float* qkv_bias,
                        const int8_t* proj_packed, const PreparedWeightsI8* proj_prepared,
                        const float* proj_scales, const float* proj_bias, float* out, int T, int E,
                        int num_heads, float* work, int8_t* q, float* scale_buffer,
                        GemmI8RowsF32Fn fused = nullptr);

}  // namespace trevalon
