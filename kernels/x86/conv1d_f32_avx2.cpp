// One-dimensional float convolution kernels with AVX2: the shared vector code on eight lanes, and
// the direct convolution as blocks of gathered patch rows times the tier's product.
#include "kernels/conv1d_f32.h"
#include "kernels/gemm_f32.h"
#include "kernels/x86/simd_f32x8.h"
#include "kernels/x86/conv1d_f32_simd.h"

namespace trevalon {

void conv1d_gemm_avx2(const float* A, const float* packed, const float* prepared, const float* bias,
                      float* out, bool relu, int M, int K, int N) {
  gemm_f32_avx2(A, packed, bias, out, relu, M, K, N);
}

void winograd1d_input_avx2(const Winograd1d& plan, const float* x, int L, int C, int padding,
                           const float* zeros, int tile_begin, int count, float* V, size_t stride) {
  winograd1d_input_for<F32x8>(plan.taps, x, L, C, padding, zeros, tile_begin, count, V, stride);
}

void winograd1d_output_avx2(const Winograd1d& plan, const float* P, size_t stride, int count, int C_out,
                            const float* bias, bool relu, float* y, int rows) {
  winograd1d_output_for<F32x8>(plan.taps, P, stride, count, C_out, bias, relu, y, rows);
}

void conv1d_direct_avx2(const Conv1dShape& s, const float* x, const float* const* packed,
                        const float* const* prepared, const float* bias, float* y, bool relu) {
  conv1d_patches_with(&conv1d_gemm_avx2, s, x, packed, prepared, bias, y, relu);
}

void conv1d_depthwise_avx2(const float* x, int L, int C, int stride, int padding, int dilation, int taps,
                           const float* w_kc, const float* bias, float* y, int L_out, bool relu) {
  conv1d_depthwise_parallel(&depthwise1d_simd<F32x8>, x, L, C, stride, padding, dilation, taps, w_kc, bias, y,
                            L_out, relu);
}

void add_row_bias_f32_avx2(float* data, const float* bias, int rows, int cols) {
  add_row_bias_parallel(&add_row_bias_simd<F32x8>, data, bias, rows, cols);
}

}  // namespace trevalon
