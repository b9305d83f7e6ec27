// One-dimensional float convolutions on position-major signals (L rows of C floats): Winograd
// F(4,3), F(2,7) and F(2,11) by one product per transform point, the direct convolution of
// stride-1 layers, grouped and depthwise convolutions, the transposed convolution, and the row bias
// of slot add_row_bias_f32.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/thread_pool.h"
#include "kernels/winograd1d.h"

namespace trevalon {

// The product every path reduces to, on a matrix packed in 4-row panels (`packed`) and its form
// prepared for the tier (`prepared`, or null; where given the panels may be null):
// out[m][n] = sum_k A[m][k] W[n][k] (one fused chain in k order) + bias[n], then max(., 0) when relu.
using Conv1dGemmFn = void (*)(const float* A, const float* packed, const float* prepared, const float* bias,
                              float* out, bool relu, int M, int K, int N);

// The transforms for 3 taps (F(4,3)), 7 (F(2,7)) or 11 (F(2,11)); false for any other count.
bool winograd1d_for_taps(int taps, Winograd1d& out);

// Tiles whose transformed inputs and products share one block of the Winograd working memory.
int conv1d_winograd_block_tiles(const Winograd1d& plan, int tiles, int C_in, int C_out);
// Floats of Winograd working memory for `tiles` tiles (one block and a row of zeros).
size_t conv1d_winograd_work_floats(const Winograd1d& plan, int tiles, int C_in, int C_out);

// Input transform of tiles [tile_begin, tile_begin + count): tile t reads rows m t - padding ..
// of the L x C signal x (rows outside it read `zeros`, C zeros) and writes point p's values to
// V + p * stride + (t - tile_begin) * C.
using Winograd1dInputFn = void (*)(const Winograd1d& plan, const float* x, int L, int C, int padding,
                                   const float* zeros, int tile_begin, int count, float* V, size_t stride);
// Output transform of `count` tiles from their products (point p of tile t at P + p * stride + t *
// C_out): output row m t + j (only rows below `rows`, counted from the block's first row at y) is
// the AT combination, plus the bias when given, then max(., 0) when relu.
using Winograd1dOutputFn = void (*)(const Winograd1d& plan, const float* P, size_t stride, int count,
                                    int C_out, const float* bias, bool relu, float* y, int rows);

struct Conv1dWinogradKernels {
  Winograd1dInputFn input;
  Winograd1dOutputFn output;
  Conv1dGemmFn gemm;
};

// Stride-1 convolution of x (L x C_in) by Winograd: tiles of m outputs, `padding` zero rows before
// the signal and as many after as whole tiles read; one product per point with the transformed
// weights (packed[p], prepared[p] or null: C_out x C_in each). `work` holds
// conv1d_winograd_work_floats floats (null or `work_floats` short of that: per-thread memory).
// Ranges of whole tiles go to the threads; the first uses `work`, the others their own memory.
void conv1d_winograd_with(const Conv1dWinogradKernels& kernels, const Winograd1d& plan, const float* x, int L,
                          int C_in, int padding, const float* const* packed, const float* const* prepared,
                          const float* bias, float* y, int L_out, int C_out, bool relu, float* work,
                          size_t work_floats);

// Geometry of a convolution read by patch rows.
struct Conv1dShape {
  int L, C_in, L_out, C_out, taps, stride, padding, dilation, groups;
};

// Convolution by patch rows: output row t of group g is the row of taps (C_in/groups channels of
// group g from input row t stride + k dilation - padding, zeros outside the signal) times the
// group's packed C_out/groups x (taps C_in/groups) weights [o][k][c] (packed[g], prepared[g] or
// null): y[t][o] = bias[o] + sum over k, then c, one fused chain per output, then max(., 0) when
// relu. This version gathers blocks of patch rows for `gemm`; a group's outputs pass through a
// block of their own when groups > 1. Ranges of output rows go to the threads.
void conv1d_patches_with(Conv1dGemmFn gemm, const Conv1dShape& s, const float* x, const float* const* packed,
                         const float* const* prepared, const float* bias, float* y, bool relu);

// The same on one thread (conv1d_patches_with splits the output rows over the threads first).
void conv1d_patches_rows(Conv1dGemmFn gemm, const Conv1dShape& s, const float* x, const float* const* packed,
                         const float* const* prepared, const float* bias, float* y, bool relu);

// Fewest outputs a thread's range may hold when each costs `work_per_output` multiply-adds.
size_t conv1d_min_outputs(size_t work_per_output);

// Runs serial(shape, y_rows) over ranges of output rows on the threads: a range starting at row b
// is the same convolution with b fewer output rows in front, that is with padding less b strides,
// writing from row b of y. Each output row is computed exactly as in one call over all of them.
template <class Serial>
void conv1d_rows_parallel(const Conv1dShape& s, float* y, Serial&& serial) {
  if (s.L_out <= 0 || s.C_out <= 0 || s.groups <= 0) return;
  const size_t per_row = size_t(s.taps > 0 ? s.taps : 0) * size_t(s.C_in > 0 ? s.C_in : 0) *
                         size_t(s.C_out / s.groups);
  parallel_for(size_t(s.L_out), 1, conv1d_min_outputs(per_row), [&](size_t b, size_t e) {
    Conv1dShape part = s;
    part.L_out = int(e - b);
    part.padding = int(int64_t(s.padding) - int64_t(b) * s.stride);
    serial(static_cast<const Conv1dShape&>(part), y + b * size_t(s.C_out));
  });
}

// Rows of one group's outputs (rows x cols) into their columns of y (rows of y_cols).
void conv1d_scatter_group(const float* part, int rows, int cols, float* y, int y_cols);

// The same contract, the tier's way (conv1d_patches_with on the tier's product, or patch rows read
// in place).
using Conv1dDirectFn = void (*)(const Conv1dShape& s, const float* x, const float* const* packed,
                                const float* const* prepared, const float* bias, float* y, bool relu);

// Depthwise convolution (one input and one output channel per group): y[t][c] = bias[c] +
// sum_k x[t stride + k dilation - padding][c] w_kc[k][c], one fused chain per output in k order
// over the taps inside the signal, then max(., 0) when relu. `w_kc` is taps x C.
using Conv1dDepthwiseFn = void (*)(const float* x, int L, int C, int stride, int padding, int dilation,
                                   int taps, const float* w_kc, const float* bias, float* y, int L_out,
                                   bool relu);

// depthwise(...) over ranges of output rows on the threads, the padding moved as above.
template <class Depthwise>
void conv1d_depthwise_parallel(Depthwise&& depthwise, const float* x, int L, int C, int stride, int padding,
                               int dilation, int taps, const float* w_kc, const float* bias, float* y, int L_out,
                               bool relu) {
  if (L_out <= 0 || C <= 0) return;
  const size_t per_row = size_t(taps > 0 ? taps : 0) * size_t(C);
  parallel_for(size_t(L_out), 1, conv1d_min_outputs(per_row), [&](size_t b, size_t e) {
    depthwise(x, L, C, stride, int(int64_t(padding) - int64_t(b) * stride), dilation, taps, w_kc, bias,
              y + b * size_t(C), int(e - b), relu);
  });
}

// add(data, bias, rows, cols) (a row bias) over ranges of rows on the threads, when large.
template <class AddRowBias>
void add_row_bias_parallel(AddRowBias&& add, float* data, const float* bias, int rows, int cols) {
  if (rows <= 0 || cols <= 0) return;
  // Bound by memory: a range of at least 64 Ki values.
  const size_t min_rows = (size_t(1) << 16) / size_t(cols) + 1;
  parallel_for(size_t(rows), 1, min_rows, [&](size_t b, size_t e) {
    add(data + b * size_t(cols), bias, int(e - b), cols);
  });
}

// Transposed convolution without bias into y (L_out x C_out, overwritten): for each group, tap k and
// input row j with u = stride j + k - padding inside 0..L_out-1, y[u] gains the row of
// sum_c M_gk[o][c] x[j][c] (one fused chain over the group's channels). `packed[g taps + k]` holds
// M_gk (C_out/groups x C_in/groups) in panels, `prepared` its tier form or null. Input rows go
// through in blocks, taps in increasing k inside a block; `work` (or, when null or shorter than
// conv_transpose1d_work_floats, per-thread memory) holds one tap's rows of a block. Ranges of
// output rows go to the threads, each reading the input rows that reach it (a row reaching two
// ranges is multiplied by both), so that no two add into the same output row; the first range
// uses `work`, the others their own memory.
struct ConvTranspose1dShape {
  int L, C_in, L_out, C_out, taps, stride, padding, groups;
};
size_t conv_transpose1d_work_floats(const ConvTranspose1dShape& s);
void conv_transpose1d_with(Conv1dGemmFn gemm, void (*add)(float* a, const float* b, int count),
                           const ConvTranspose1dShape& s, const float* x, const float* const* packed,
                           const float* const* prepared, float* y, float* work, size_t work_floats);

// The tier's entries, installed with the kernel table (see kernel_drivers.h).
struct Conv1dF32Drivers {
  Conv1dGemmFn gemm = nullptr;
  Winograd1dInputFn winograd_input = nullptr;
  Winograd1dOutputFn winograd_output = nullptr;
  Conv1dDirectFn direct = nullptr;
  Conv1dDepthwiseFn depthwise = nullptr;
};

// Portable entries.
void conv1d_gemm_portable(const float* A, const float* packed, const float* prepared, const float* bias,
                          float* out, bool relu, int M, int K, int N);
void winograd1d_input_portable(const Winograd1d& plan, const float* x, int L, int C, int padding,
                               const float* zeros, int tile_begin, int count, float* V, size_t stride);
void winograd1d_output_portable(const Winograd1d& plan, const float* P, size_t stride, int count, int C_out,
                                const float* bias, bool relu, float* y, int rows);
void conv1d_direct_portable(const Conv1dShape& s, const float* x, const float* const* packed,
                            const float* const* prepared, const float* bias, float* y, bool relu);
void conv1d_depthwise_portable(const float* x, int L, int C, int stride, int padding, int dilation, int taps,
                               const float* w_kc, const float* bias, float* y, int L_out, bool relu);
// Slot add_row_bias_f32: data[r][c] += bias[c].
void add_row_bias_f32_portable(float* data, const float* bias, int rows, int cols);

#ifndef TREVALON_PORTABLE
void conv1d_gemm_avx2(const float* A, const float* packed, const float* prepared, const float* bias,
                      float* out, bool relu, int M, int K, int N);
void winograd1d_input_avx2(const Winograd1d& plan, const float* x, int L, int C, int padding,
                           const float* zeros, int tile_begin, int count, float* V, size_t stride);
void winograd1d_output_avx2(const Winograd1d& plan, const float* P, size_t stride, int count, int C_out,
                            const float* bias, bool relu, float* y, int rows);
void conv1d_direct_avx2(const Conv1dShape& s, const float* x, const float* const* packed,
                        const float* const* prepared, const float* bias, float* y, bool relu);
void conv1d_depthwise_avx2(const float* x, int L, int C, int stride, int padding, int dilation, int taps,
                           const float* w_kc, const float* bias, float* y, int L_out, bool relu);
void add_row_bias_f32_avx2(float* data, const float* bias, int rows, int cols);

void conv1d_gemm_avx512(const float* A, const float* packed, const float* prepared, const float* bias,
                        float* out, bool relu, int M, int K, int N);
void winograd1d_input_avx512(const Winograd1d& plan, const float* x, int L, int C, int padding,
                             const float* zeros, int tile_begin, int count, float* V, size_t stride);
void winograd1d_output_avx512(const Winograd1d& plan, const float* P, size_t stride, int count, int C_out,
                              const float* bias, bool relu, float* y, int rows);
void conv1d_direct_avx512(const Conv1dShape& s, const float* x, const float* const* packed,
                          const float* const* prepared, const float* bias, float* y, bool relu);
void conv1d_depthwise_avx512(const float* x, int L, int C, int stride, int padding, int dilation, int taps,
                             const float* w_kc, const float* bias, float* y, int L_out, bool relu);
void add_row_bias_f32_avx512(float* data, const float* bias, int rows, int cols);
#endif

}  // namespace trevalon
