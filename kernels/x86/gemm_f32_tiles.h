// Pieces of the float GEMM that the AVX-512 path borrows from the AVX2 one: the 8-row tile used for
// short row tails and the one-row kernel used for the last few rows and for GEMV.
#pragma once

#include <cstddef>

namespace trevalon::x86 {

// Rows [0, rows) of A (rows <= 8, row stride K) by all N channels of the packed weights.
void gemm_f32_rows8_avx2(const float* A, const float* packed, const float* bias, float* out,
                         bool relu, int rows, int K, int N);
// One row of A by all N channels: lanes are channels, one accumulator per channel, k ascending.
void gemm_f32_row_avx2(const float* a, const float* packed, const float* bias, float* out, bool relu,
                       int K, int N);

}  // namespace trevalon::x86
