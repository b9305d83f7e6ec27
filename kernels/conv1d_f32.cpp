// One-dimensional float convolutions: the Winograd transforms built from their points, the blocked
// drivers every tier shares (Winograd, patch rows, transposed), and the portable entries.
#include "kernels/conv1d_f32.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "kernels/gemm_f32.h"
#include "kernels/thread_pool.h"
#include "kernels/thread_work.h"
#include "kernels/work_split.h"

namespace trevalon {
namespace {

size_t round16(size_t n) { return (n + 15) & ~size_t(15); }

// floor(a / b) for b > 0.
int64_t floor_div(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

}  // namespace

bool winograd1d_for_taps(int taps, Winograd1d& out) {
  switch (taps) {
    case 3: out = kWinograd1d<3>; return true;
    case 7: out = kWinograd1d<7>; return true;
    case 11: out = kWinograd1d<11>; return true;
    default: return false;
  }
}

int conv1d_winograd_block_tiles(const Winograd1d& plan, int tiles, int C_in, int C_out) {
  // A block's transformed inputs and products (about 1 MiB) stay in L2 between the transforms and
  // the products; at least one 6-row tile of the products per block.
  constexpr size_t kBlockFloats = size_t(1) << 18;
  const size_t per_tile = size_t(plan.points) * (size_t(C_in) + size_t(C_out));
  size_t block = kBlockFloats / (per_tile ? per_tile : 1);
  if (block < 6) block = 6;
  return tiles < int(block) ? (tiles > 0 ? tiles : 1) : int(block);
}

size_t conv1d_winograd_work_floats(const Winograd1d& plan, int tiles, int C_in, int C_out) {
  const size_t block = size_t(conv1d_winograd_block_tiles(plan, tiles, C_in, C_out));
  return round16(size_t(C_in)) + size_t(plan.points) * block * (size_t(C_in) + size_t(C_out));
}

namespace {

void winograd_tiles(const Conv1dWinogradKernels& kernels, const Winograd1d& plan, const float* x, int L, int C_in,
                    int padding, const float* const* packed, const float* const* prepared, const float* bias,
                    float* y, int L_out, int C_out, bool relu, float* work, size_t work_floats) {
  const int m = plan.m, points = plan.points;
  const int tiles = int((int64_t(L_out) + m - 1) / m);
  const int block = conv1d_winograd_block_tiles(plan, tiles, C_in, C_out);
  const size_t need = conv1d_winograd_work_floats(plan, tiles, C_in, C_out);
  if (!work || work_floats < need) work = thread_work<float>(WorkBuffer::Conv1dWinograd, need);
  float* zeros = work;
  std::memset(zeros, 0, size_t(C_in) * sizeof(float));  // shared scratch arrives uninitialised
  float* V = work + round16(size_t(C_in));
  float* P = V + size_t(points) * size_t(block) * size_t(C_in);
  for (int t0 = 0; t0 < tiles; t0 += block) {
    const int count = tiles - t0 < block ? tiles - t0 : block;
    const size_t v_stride = size_t(count) * size_t(C_in), p_stride = size_t(count) * size_t(C_out);
    kernels.input(plan, x, L, C_in, padding, zeros, t0, count, V, v_stride);
    for (int p = 0; p < points; ++p)
      kernels.gemm(V + size_t(p) * v_stride, packed[p], prepared ? prepared[p] : nullptr, nullptr,
                   P + size_t(p) * p_stride, false, count, C_in, C_out);
    const int64_t first = int64_t(t0) * m;
    const int rows = int(L_out - first < int64_t(count) * m ? L_out - first : int64_t(count) * m);
    kernels.output(plan, P, p_stride, count, C_out, bias, relu, y + size_t(first) * size_t(C_out), rows);
  }
}

}  // namespace

void conv1d_winograd_with(const Conv1dWinogradKernels& kernels, const Winograd1d& plan, const float* x, int L,
                          int C_in, int padding, const float* const* packed, const float* const* prepared,
                          const float* bias, float* y, int L_out, int C_out, bool relu, float* work,
                          size_t work_floats) {
  if (L_out <= 0 || C_out <= 0 || C_in <= 0) return;
  const int m = plan.m;
  const size_t tiles = size_t((int64_t(L_out) + m - 1) / m);
  const size_t per_tile = size_t(plan.points) * size_t(C_in) * size_t(C_out);
  // Ranges of whole tiles: a range starting at tile b is the same convolution with its first
  // output row at m b, that is, b m rows less padding. The first range keeps the caller's working
  // memory; the others take their thread's.
  parallel_for(tiles, 1, conv1d_min_outputs(per_tile), [&](size_t b, size_t e) {
    const int64_t first = int64_t(b) * m;
    const int rows = int(std::min<int64_t>(L_out - first, int64_t(e - b) * m));
    winograd_tiles(kernels, plan, x, L, C_in, int(padding - first), packed, prepared, bias,
                   y + size_t(first) * size_t(C_out), rows, C_out, relu, b == 0 ? work : nullptr,
                   b == 0 ? work_floats : 0);
  });
}

size_t conv1d_min_outputs(size_t work_per_output) {
  return work_per_output >= kSplitMacsF32 ? 1 : kSplitMacsF32 / (work_per_output ? work_per_output : 1);
}

void conv1d_patches_with(Conv1dGemmFn gemm, const Conv1dShape& shape, const float* x, const float* const* packed,
                         const float* const* prepared, const float* bias, float* y, bool relu) {
  conv1d_rows_parallel(shape, y, [&](const Conv1dShape& s, float* y_rows) {
    conv1d_patches_rows(gemm, s, x, packed, prepared, bias, y_rows, relu);
  });
}

void conv1d_patches_rows(Conv1dGemmFn gemm, const Conv1dShape& s, const float* x, const float* const* packed,
                         const float* const* prepared, const float* bias, float* y, bool relu) {
  if (s.L_out <= 0 || s.C_out <= 0 || s.C_in <= 0 || s.taps <= 0 || s.groups <= 0) return;
  const int Cg = s.C_in / s.groups, Cog = s.C_out / s.groups;
  const size_t row = size_t(s.taps) * size_t(Cg);
  // About 1 MiB of patches per block, which the product then reads from L2.
  size_t block = (size_t(1) << 18) / row;
  if (block < 16) block = 16;
  if (block > size_t(s.L_out)) block = size_t(s.L_out);
  float* patches = thread_work<float>(WorkBuffer::Conv1dPatches, block * row);
  float* part = s.groups > 1 ? thread_work<float>(WorkBuffer::Conv1dGroupOut, block * size_t(Cog)) : nullptr;
  for (int t0 = 0; t0 < s.L_out; t0 += int(block)) {
    const int rows = s.L_out - t0 < int(block) ? s.L_out - t0 : int(block);
    for (int g = 0; g < s.groups; ++g) {
      for (int r = 0; r < rows; ++r) {
        const int64_t first = int64_t(t0 + r) * s.stride - s.padding;
        float* dst = patches + size_t(r) * row;
        for (int k = 0; k < s.taps; ++k, dst += Cg) {
          const int64_t i = first + int64_t(k) * s.dilation;
          if (i >= 0 && i < s.L)
            std::memcpy(dst, x + size_t(i) * size_t(s.C_in) + size_t(g) * size_t(Cg), size_t(Cg) * sizeof(float));
          else
            std::memset(dst, 0, size_t(Cg) * sizeof(float));
        }
      }
      const float* b = bias ? bias + size_t(g) * size_t(Cog) : nullptr;
      float* out = s.groups == 1 ? y + size_t(t0) * size_t(s.C_out) : part;
      gemm(patches, packed[g], prepared ? prepared[g] : nullptr, b, out, relu, rows, int(row), Cog);
      if (s.groups > 1) conv1d_scatter_group(part, rows, Cog, y + size_t(t0) * size_t(s.C_out) + size_t(g) * size_t(Cog), s.C_out);
    }
  }
}

void conv1d_scatter_group(const float* part, int rows, int cols, float* y, int y_cols) {
  for (int r = 0; r < rows; ++r)
    std::memcpy(y + size_t(r) * size_t(y_cols), part + size_t(r) * size_t(cols), size_t(cols) * sizeof(float));
}

namespace {

// Input rows per block of the transposed convolution: the block's inputs, the output rows its taps
// reach (stride per input row) and one tap's products take about 1.5 MiB, so that every tap's
// product and scatter work in L2; at least 64 rows, for the products' sake.
int transpose_block_rows(const ConvTranspose1dShape& s) {
  const int64_t row_floats = int64_t(s.C_in) + (int64_t(s.stride) + 1) * s.C_out;
  int64_t rows = (int64_t(3) << 18) / (row_floats > 0 ? row_floats : 1) / 2;
  if (rows < 64) rows = 64;
  return int(rows < s.L ? rows : (s.L > 0 ? s.L : 1));
}

// Input rows j of tap k that land inside the output: 0 <= stride j + k - padding < L_out.
struct RowRange {
  int64_t begin, end;
};
RowRange tap_rows(const ConvTranspose1dShape& s, int k) {
  int64_t begin = floor_div(int64_t(s.padding) - k + s.stride - 1, s.stride);
  int64_t end = floor_div(int64_t(s.L_out) - 1 + s.padding - k, s.stride) + 1;
  if (begin < 0) begin = 0;
  if (end > s.L) end = s.L;
  return RowRange{begin, end > begin ? end : begin};
}

}  // namespace

size_t conv_transpose1d_work_floats(const ConvTranspose1dShape& s) {
  if (s.L_out <= 0 || s.stride <= 0 || s.groups <= 0) return 0;
  const size_t rows = size_t(transpose_block_rows(s));
  const size_t Cog = size_t(s.C_out / s.groups), Cig = size_t(s.C_in / s.groups);
  return rows * Cog + (s.groups > 1 ? rows * Cig : 0);
}

namespace {

// Output rows [u0, u1) of the transposed convolution: input rows [j0, j1) (all that reach them)
// go through in blocks, each tap's product then added only into rows of the range. A product row
// reaching rows on both sides of a range boundary is computed by both ranges, the same way.
void transpose_rows(Conv1dGemmFn gemm, void (*add)(float* a, const float* b, int count),
                    const ConvTranspose1dShape& s, const float* x, const float* const* packed,
                    const float* const* prepared, float* y, int64_t u0, int64_t u1, int64_t j0, int64_t j1,
                    float* work) {
  std::memset(y + size_t(u0) * size_t(s.C_out), 0, size_t(u1 - u0) * size_t(s.C_out) * sizeof(float));
  const int Cig = s.C_in / s.groups, Cog = s.C_out / s.groups;
  const int64_t block = transpose_block_rows(s);
  float* Y = work;
  float* gathered = work + size_t(block) * size_t(Cog);
  // An output row adds its taps' rows in the order of one whole pass: increasing k with one group
  // (tap after tap), increasing j with several (row after row), where a later row lands with a
  // smaller k. Blocks of rows keep that order, wherever they start, when one group walks the
  // blocks backwards and several walk each block's taps backwards.
  const bool one_group = s.groups == 1;
  const int64_t blocks = (j1 - j0 + block - 1) / block;
  for (int64_t b = 0; b < blocks; ++b) {
    const int64_t b0 = j0 + (one_group ? blocks - 1 - b : b) * block;
    const int64_t b1 = std::min(j1, b0 + block);
    for (int t = 0; t < s.taps; ++t) {
      const int k = one_group ? t : s.taps - 1 - t;
      const RowRange all = tap_rows(s, k);
      // Rows of this block whose tap-k output u = stride j + k - padding lies in [u0, u1).
      const int64_t lo = floor_div(u0 + s.padding - k + s.stride - 1, s.stride);
      const int64_t hi = floor_div(u1 - 1 + s.padding - k, s.stride) + 1;
      const int64_t begin = std::max({all.begin, b0, lo}), end = std::min({all.end, b1, hi});
      if (end <= begin) continue;
      const int J = int(end - begin);
      for (int g = 0; g < s.groups; ++g) {
        const float* A = x + size_t(begin) * size_t(s.C_in);
        if (s.groups > 1) {
          for (int j = 0; j < J; ++j)
            std::memcpy(gathered + size_t(j) * size_t(Cig), A + size_t(j) * size_t(s.C_in) + size_t(g) * size_t(Cig),
                        size_t(Cig) * sizeof(float));
          A = gathered;
        }
        const size_t at = size_t(g) * size_t(s.taps) + size_t(k);
        gemm(A, packed[at], prepared ? prepared[at] : nullptr, nullptr, Y, false, J, Cig, Cog);
        for (int j = 0; j < J; ++j) {
          const int64_t u = int64_t(s.stride) * (begin + j) + k - s.padding;
          add(y + size_t(u) * size_t(s.C_out) + size_t(g) * size_t(Cog), Y + size_t(j) * size_t(Cog), Cog);
        }
      }
    }
  }
}

}  // namespace

void conv_transpose1d_with(Conv1dGemmFn gemm, void (*add)(float* a, const float* b, int count),
                           const ConvTranspose1dShape& s, const float* x, const float* const* packed,
                           const float* const* prepared, float* y, float* work, size_t work_floats) {
  if (s.L_out <= 0 || s.C_out <= 0 || s.stride <= 0 || s.groups <= 0) return;
  if (s.L <= 0) {
    std::memset(y, 0, size_t(s.L_out) * size_t(s.C_out) * sizeof(float));
    return;
  }
  const size_t need = conv_transpose1d_work_floats(s);
  const int64_t taps = s.taps, reach = (taps + s.stride - 1) / s.stride;  // input rows per output row
  const size_t per_row = size_t(reach) * size_t(s.C_in) * size_t(s.C_out / s.groups);
  // Ranges of output rows, so that no two add into the same row. The first keeps the caller's
  // working memory; the others take their thread's.
  parallel_for(size_t(s.L_out), 1, conv1d_min_outputs(per_row), [&](size_t b, size_t e) {
    const int64_t u0 = int64_t(b), u1 = int64_t(e);
    // Input rows reaching the range: stride j + k - padding in [u0, u1) for some tap k.
    const int64_t j0 = std::max<int64_t>(0, floor_div(u0 + s.padding - (taps - 1) + s.stride - 1, s.stride));
    const int64_t j1 = std::min<int64_t>(s.L, floor_div(u1 - 1 + s.padding, s.stride) + 1);
    float* w = b == 0 && work && work_floats >= need ? work
                                                     : thread_work<float>(WorkBuffer::Conv1dTranspose, need);
    if (j1 <= j0) {
      std::memset(y + size_t(u0) * size_t(s.C_out), 0, size_t(u1 - u0) * size_t(s.C_out) * sizeof(float));
      return;
    }
    transpose_rows(gemm, add, s, x, packed, prepared, y, u0, u1, j0, j1, w);
  });
}

// ---- portable entries ---------------------------------------------------------------------------

void conv1d_gemm_portable(const float* A, const float* packed, const float* prepared, const float* bias,
                          float* out, bool relu, int M, int K, int N) {
  gemm_f32_portable(A, packed, bias, out, relu, M, K, N);
}

void winograd1d_input_portable(const Winograd1d& plan, const float* x, int L, int C, int padding,
                               const float* zeros, int tile_begin, int count, float* V, size_t stride) {
  winograd1d_input_for<ScalarLane>(plan.taps, x, L, C, padding, zeros, tile_begin, count, V, stride);
}

void winograd1d_output_portable(const Winograd1d& plan, const float* P, size_t stride, int count, int C_out,
                                const float* bias, bool relu, float* y, int rows) {
  winograd1d_output_for<ScalarLane>(plan.taps, P, stride, count, C_out, bias, relu, y, rows);
}

void conv1d_direct_portable(const Conv1dShape& s, const float* x, const float* const* packed,
                            const float* const* prepared, const float* bias, float* y, bool relu) {
  conv1d_patches_with(&conv1d_gemm_portable, s, x, packed, prepared, bias, y, relu);
}

namespace {

void depthwise_rows(const float* x, int L, int C, int stride, int padding, int dilation, int taps,
                    const float* w_kc, const float* bias, float* y, int L_out, bool relu) {
  for (int t = 0; t < L_out; ++t) {
    const int64_t first = int64_t(t) * stride - padding;
    float* out = y + size_t(t) * size_t(C);
    for (int c = 0; c < C; ++c) {
      float acc = 0.0f;
      for (int k = 0; k < taps; ++k) {
        const int64_t i = first + int64_t(k) * dilation;
        if (i >= 0 && i < L) acc = std::fma(x[size_t(i) * size_t(C) + c], w_kc[size_t(k) * size_t(C) + c], acc);
      }
      if (bias) acc += bias[c];
      out[c] = relu ? (acc > 0.0f ? acc : 0.0f) : acc;
    }
  }
}

void add_row_bias_rows(float* data, const float* bias, int rows, int cols) {
  for (int r = 0; r < rows; ++r) {
    float* row = data + size_t(r) * size_t(cols);
    for (int c = 0; c < cols; ++c) row[c] += bias[c];
  }
}

}  // namespace

void conv1d_depthwise_portable(const float* x, int L, int C, int stride, int padding, int dilation, int taps,
                               const float* w_kc, const float* bias, float* y, int L_out, bool relu) {
  conv1d_depthwise_parallel(&depthwise_rows, x, L, C, stride, padding, dilation, taps, w_kc, bias, y, L_out, relu);
}

void add_row_bias_f32_portable(float* data, const float* bias, int rows, int cols) {
  add_row_bias_parallel(&add_row_bias_rows, data, bias, rows, cols);
}

}  // namespace trevalon
