// One-dimensional float convolution kernels with AVX-512: the shared vector code on sixteen lanes,
// the products on the 64-channel weight panels, and the direct convolution reading its patch rows
// in place (one run of C_in floats per tap, pointing into the signal or at a run of zeros).
#include <cstdint>

#include "kernels/conv1d_f32.h"
#include "kernels/gemm_f32.h"
#include "kernels/thread_work.h"
#include "kernels/x86/gemm_f32_avx512.h"
#include "kernels/x86/simd_f32x16.h"
#include "kernels/x86/conv1d_f32_simd.h"

namespace trevalon {

void conv1d_gemm_avx512(const float* A, const float* packed, const float* prepared, const float* bias,
                        float* out, bool relu, int M, int K, int N) {
  gemm_f32_prepared_avx512(A, packed, prepared, bias, out, relu, M, K, N);
}

void winograd1d_input_avx512(const Winograd1d& plan, const float* x, int L, int C, int padding,
                             const float* zeros, int tile_begin, int count, float* V, size_t stride) {
  winograd1d_input_for<F32x16>(plan.taps, x, L, C, padding, zeros, tile_begin, count, V, stride);
}

void winograd1d_output_avx512(const Winograd1d& plan, const float* P, size_t stride, int count, int C_out,
                              const float* bias, bool relu, float* y, int rows) {
  winograd1d_output_for<F32x16>(plan.taps, P, stride, count, C_out, bias, relu, y, rows);
}

void conv1d_direct_avx512(const float* x, int L, int C_in, int padding, int dilation, int taps,
                          const float* packed, const float* prepared, const float* bias, float* y, int L_out,
                          int C_out, bool relu) {
  if (L_out <= 0 || C_out <= 0 || C_in <= 0 || taps <= 0) return;
  const int K = taps * C_in;
  // Without prepared weights the first block regroups the panels as it goes; later blocks reuse them.
  float* w16 = prepared ? const_cast<float*>(prepared) : x86::regroup16_buffer(x86::regrouped16_floats(K, C_out));
  // Zero when it grows, and only ever read.
  const float* zeros = thread_work<float>(WorkBuffer::Conv1dZeros, size_t(C_in));
  constexpr int kBlockRows = 1020;  // whole 6-row tiles
  const int block = L_out < kBlockRows ? L_out : kBlockRows;
  const float** runs = thread_work<const float*>(WorkBuffer::Conv1dRuns, size_t(block) * size_t(taps));
  for (int t0 = 0; t0 < L_out; t0 += block) {
    const int rows = L_out - t0 < block ? L_out - t0 : block;
    for (int r = 0; r < rows; ++r) {
      const int64_t first = int64_t(t0 + r) - padding;
      for (int k = 0; k < taps; ++k) {
        const int64_t i = first + int64_t(k) * dilation;
        runs[size_t(r) * size_t(taps) + size_t(k)] = i >= 0 && i < L ? x + size_t(i) * size_t(C_in) : zeros;
      }
    }
    x86::gemm_f32_runs_avx512(runs, taps, C_in, packed, w16, prepared != nullptr || t0 > 0, bias,
                              y + size_t(t0) * size_t(C_out), relu, rows, C_out);
  }
}

void conv1d_depthwise_avx512(const float* x, int L, int C, int stride, int padding, int dilation, int taps,
                             const float* w_kc, const float* bias, float* y, int L_out, bool relu) {
  depthwise1d_simd<F32x16>(x, L, C, stride, padding, dilation, taps, w_kc, bias, y, L_out, relu);
}

void add_row_bias_f32_avx512(float* data, const float* bias, int rows, int cols) {
  add_row_bias_simd<F32x16>(data, bias, rows, cols);
}

}  // namespace trevalon
