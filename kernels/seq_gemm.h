// Sequence projections: float rows times a weight matrix (table slot gemm_f32_rows), the int8
// product with dynamic per-row quantisation of float activations (gemm_i8_dynamic_rows, slot
// seq_gemm_i8), the int8 matrix-vector product of a decode step (slot gemv_i8_dynamic), and the
// activation fake quantisation of the float layers.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "kernels/kernel_drivers.h"
#include "kernels/prepared_weights.h"

namespace trevalon {

// Symmetric int8 scale of a row whose largest magnitude is `amax`: amax / 127, never below 1e-8.
inline float dynamic_row_scale(float amax) {
  const float s = amax * 0.007874016f;
  return s < 1e-8f ? 1e-8f : s;
}

// Largest |x| of a row; NaNs are skipped so that every tier agrees whatever the lane order.
float row_abs_max(const float* x, int n);

// round-half-away-from-zero(v) clamped to [-128, 127]; NaN gives -128, as a vector conversion
// followed by an integer clamp does.
inline int8_t quantize_clamped(float v) {
  float r = std::round(v);
  r = r > -128.0f ? r : -128.0f;  // NaN fails the test and takes the bound
  r = r < 127.0f ? r : 127.0f;
  return static_cast<int8_t>(static_cast<int>(r));
}

// Quantises `rows` rows of K floats: row r gets s_r = dynamic_row_scale(max|x|) (written to
// scales[r]) and q = quantize_clamped(x * (1 / s_r)) (K bytes per row, rows one after another).
void quantize_rows_i8_portable(const float* x, int rows, int K, int8_t* q, float* scales);

// Activation fake quantisation in place over n values: min/max affine uint8 grid with zero point,
// values snapped to it. A constant tensor is left unchanged (its grid would move it).
void fake_quantize_f32(float* data, size_t n);

using GeluFn = void (*)(float*, int);  // a table's gelu_f32

// The int8 product of float rows (T x K) and a packed int8 weight (N x K, 8x4 blocks): each row
// quantised with its own scale s_r into `q` (T x K bytes), the weight's row scales copied to
// `scale_copy` (N floats), then the tier's gemm_i8 (through `drivers`, reading `prepared` when
// it was made for this tier) with `zero_bias` (N zero int64s) in float-output mode gives
// float(acc) x scale[o]; each output row is multiplied by s_r and `bias` (or nothing) added, then
// `gelu` (the table's gelu_f32 of the same tier, or nothing) applied to all of them.
void gemm_i8_dynamic_rows(const float* input, const int8_t* packed, const float* row_scales,
                          const int64_t* zero_bias, const float* bias, int8_t* q, float* scale_copy,
                          float* out, int T, int K, int N, const KernelDrivers& drivers,
                          const PreparedWeightsI8* prepared, GeluFn gelu = nullptr);

// y[o] = bias[o] (or 0) + scale[o] * (s * float(sum_k xq[k] * w[o][k])) for one vector x of K
// floats quantised as one row (s, xq), against an unpacked row-major N x K int8 weight.
void gemv_i8_dynamic_portable(const float* x, const int8_t* w, const float* row_scales, const float* bias,
                              float* out, int K, int N, void* stream);

// Building blocks of the tiers' entries (kernels/seq_gemm_install.cpp).
using QuantizeRowsFn = void (*)(const float* x, int rows, int K, int8_t* q, float* scales);
using GemmI8DriverFn = decltype(KernelDrivers::gemm_i8);
using GemmI8RowsF32Fn = decltype(KernelDrivers::gemm_i8_rows_f32);
// gemm_i8_dynamic_rows with the given row quantiser and int8 product; `fused`, when given, is the
// tier's product with the row scales, bias and GELU applied in its registers (same numbers, no
// passes). `gelu` (the same tier's) runs over all T x N outputs when given.
void gemm_i8_dynamic_rows_with(QuantizeRowsFn quantize, GemmI8DriverFn gemm,
                               const PreparedWeightsI8* prepared, const float* input, const int8_t* packed,
                               const float* row_scales, const int64_t* zero_bias, const float* bias,
                               int8_t* q, float* scale_copy, float* out, int T, int K, int N,
                               GemmI8RowsF32Fn fused = nullptr, GeluFn gelu = nullptr);
// gemm_f32_rows without packed weights: dot products straight from the row-major N x K weight.
void gemm_f32_rows_direct(const float* input, const float* w, const float* bias, float* out, int T, int K,
                          int N);
// `gelu` over `count` values, in as few calls as the kernel's int count allows.
void gelu_in_chunks(void (*gelu)(float*, int), float* data, size_t count);

#ifndef TREVALON_PORTABLE
void quantize_rows_i8_avx2(const float* x, int rows, int K, int8_t* q, float* scales);
void quantize_rows_i8_avx512(const float* x, int rows, int K, int8_t* q, float* scales);
void gemv_i8_dynamic_avx2(const float* x, const int8_t* w, const float* row_scales, const float* bias,
                          float* out, int K, int N, void* stream);
void gemv_i8_dynamic_avx512vnni(const float* x, const int8_t* w, const float* row_scales, const float* bias,
                                float* out, int K, int N, void* stream);
#endif

}  // namespace trevalon
