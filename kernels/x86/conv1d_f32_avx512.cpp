// One-dimensional float convolution kernels with AVX-512: the shared vector code on sixteen lanes,
// the products on the 64-channel weight panels, and the direct convolution reading its patch rows
// in place (one run of C_in floats per tap, pointing into the signal or at a run of zeros).
// GCC 12 flags the deliberately undefined pass-through operand inside its own AVX-512 max
// intrinsic as "maybe uninitialized"; the warning is about the header, not this code.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
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

namespace {

void direct_rows(const Conv1dShape& s, const float* x, const float* const* packed, const float* const* prepared,
                 const float* bias, float* y, bool relu) {
  const int Cg = s.C_in / s.groups, Cog = s.C_out / s.groups;
  // Zero when it grows, and only ever read.
  const float* zeros = thread_work<float>(WorkBuffer::Conv1dZeros, size_t(Cg));
  constexpr int kBlockRows = 1020;  // whole 6-row tiles
  const int block = s.L_out < kBlockRows ? s.L_out : kBlockRows;
  const float** runs = thread_work<const float*>(WorkBuffer::Conv1dRuns, size_t(block) * size_t(s.taps));
  float* part = s.groups > 1 ? thread_work<float>(WorkBuffer::Conv1dGroupOut, size_t(block) * size_t(Cog)) : nullptr;
  for (int t0 = 0; t0 < s.L_out; t0 += block) {
    const int rows = s.L_out - t0 < block ? s.L_out - t0 : block;
    for (int g = 0; g < s.groups; ++g) {
      const float* base = x + size_t(g) * size_t(Cg);
      for (int r = 0; r < rows; ++r) {
        const int64_t first = int64_t(t0 + r) * s.stride - s.padding;
        for (int k = 0; k < s.taps; ++k) {
          const int64_t i = first + int64_t(k) * s.dilation;
          runs[size_t(r) * size_t(s.taps) + size_t(k)] = i >= 0 && i < s.L ? base + size_t(i) * size_t(s.C_in) : zeros;
        }
      }
      const float* b = bias ? bias + size_t(g) * size_t(Cog) : nullptr;
      float* out = s.groups == 1 ? y + size_t(t0) * size_t(s.C_out) : part;
      x86::gemm_f32_runs_avx512(runs, s.taps, Cg, packed[g], const_cast<float*>(prepared[g]), true, b, out, relu,
                                rows, Cog);
      if (s.groups > 1)
        conv1d_scatter_group(part, rows, Cog, y + size_t(t0) * size_t(s.C_out) + size_t(g) * size_t(Cog), s.C_out);
    }
  }
}

}  // namespace

void conv1d_direct_avx512(const Conv1dShape& s, const float* x, const float* const* packed,
                          const float* const* prepared, const float* bias, float* y, bool relu) {
  if (s.L_out <= 0 || s.C_out <= 0 || s.C_in <= 0 || s.taps <= 0 || s.groups <= 0) return;
  // Weights kept in panels (too few channels a group for the 64-channel form) are read by the
  // product that suits their shape, on gathered patches.
  for (int g = 0; g < s.groups; ++g)
    if (!prepared || !prepared[g]) {
      conv1d_patches_with(&conv1d_gemm_avx512, s, x, packed, prepared, bias, y, relu);
      return;
    }
  conv1d_rows_parallel(s, y, [&](const Conv1dShape& part, float* y_rows) {
    direct_rows(part, x, packed, prepared, bias, y_rows, relu);
  });
}

void conv1d_depthwise_avx512(const float* x, int L, int C, int stride, int padding, int dilation, int taps,
                             const float* w_kc, const float* bias, float* y, int L_out, bool relu) {
  conv1d_depthwise_parallel(&depthwise1d_simd<F32x16>, x, L, C, stride, padding, dilation, taps, w_kc, bias, y,
                            L_out, relu);
}

void add_row_bias_f32_avx512(float* data, const float* bias, int rows, int cols) {
  add_row_bias_parallel(&add_row_bias_simd<F32x16>, data, bias, rows, cols);
}

}  // namespace trevalon
