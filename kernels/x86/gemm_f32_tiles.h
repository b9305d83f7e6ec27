// The AVX2 float GEMM's two row kernels: the 8-row tile, and the one-row kernel used for the last
// few rows and for GEMV.
#pragma once

#include <cstddef>

namespace trevalon::x86 {

// Rows [0, rows) of A (rows <= 8, row stride K) by the 4-channel panels [p_begin, p_end) of the
// packed weights (N channels in all: the output's row stride).
void gemm_f32_rows8_avx2(const float* A, const float* packed, const float* bias, float* out, bool relu,
                         int rows, int K, int N, int p_begin, int p_end);
// One row of A by the panels [p_begin, p_end): lanes are channels, one accumulator per channel, k
// ascending.
void gemm_f32_row_avx2(const float* a, const float* packed, const float* bias, float* out, bool relu, int K,
                       int N, int p_begin, int p_end);

}  // namespace trevalon::x86
