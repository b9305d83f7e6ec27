// Float matrix products on 4-row weight panels: packer, portable kernels, the scalar reference and
// the ISA entry points the CPU table chooses from.
#pragma once

#include <cstddef>

namespace trevalon {

// Packed W: ceil(N/4) panels of K x 4 floats; element (n, k) at (n/4)*4K + 4k + n%4, rows past N zero.
size_t packed_weights_f32_floats(int rows, int cols);
float* pack_weights_f32(const float* w, int rows, int cols);
void free_packed_f32(float* packed);
// Packs into a caller-owned buffer of packed_weights_f32_floats(rows, cols) floats.
void pack_weights_f32_into(const float* w, int rows, int cols, float* packed);
// Packs into a per-thread buffer that grows once and is reused (gemv without a packed form).
const float* pack_weights_f32_scratch(const float* w, int rows, int cols);

// C[m][n] = (sum_k A[m][k] * W[n][k]) + bias[n], then max(., 0) when relu. Every element is one
// accumulator built with fused multiply-adds in increasing k, the bias added after the k loop.
void gemm_f32_portable(const float* A, const float* packed, const float* bias, float* out, bool relu, int M,
                       int K, int N);
void gemv_f32_portable(const float* x, const float* w, const float* bias, float* out, int K, int N,
                       const float* packed, void* stream);

// Plain scalar reference on unpacked row-major W (N x K) with the same arithmetic; used by tests.
void gemm_f32_reference(const float* A, const float* W, const float* bias, float* out, bool relu, int M,
                        int K, int N);

#ifndef TREVALON_PORTABLE
void gemm_f32_avx2(const float* A, const float* packed, const float* bias, float* out, bool relu, int M,
                   int K, int N);
void gemv_f32_avx2(const float* x, const float* w, const float* bias, float* out, int K, int N,
                   const float* packed, void* stream);
void gemm_f32_avx512(const float* A, const float* packed, const float* bias, float* out, bool relu, int M,
                     int K, int N);
// The same product given also the 64-channel panel form of the weights (regrouped per call when null).
void gemm_f32_prepared_avx512(const float* A, const float* packed, const float* w16, const float* bias,
                              float* out, bool relu, int M, int K, int N);
#endif

}  // namespace trevalon
