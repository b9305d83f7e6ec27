// Float 2-D convolution (slot 11) with AVX-512. Tall products read the patch rows in place through
// run pointers (no patch matrix) on 64-channel weight panels, prepared at load or regrouped for the call
// (the slot); short ones gather the patch rows with vector copies and work on the prepared weights
// or, without them, on the 4-row panels. With a residual addition every product runs on
// 64-channel panels, whose tiles add the other operand as they store their outputs.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/conv2d_f32.h"
#include "kernels/gemm_f32.h"
#include "kernels/gemm_split.h"
#include "kernels/thread_pool.h"
#include "kernels/thread_work.h"
#include "kernels/x86/gemm_f32_avx512.h"

namespace trevalon {
namespace {

inline __mmask16 first_lanes(size_t count) {
  return count >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << count) - 1);
}

// n >= 16 uses whole vectors only, the last one overlapping its neighbour: short unaligned runs
// (21 floats for a 7-wide kernel on 3 channels) then need no masked stores.
inline void copy_floats(float* dst, const float* src, size_t n) {
  if (n < 16) {
    const __mmask16 m = first_lanes(n);
    _mm512_mask_storeu_ps(dst, m, _mm512_maskz_loadu_ps(m, src));
    return;
  }
  size_t i = 0;
  for (; i + 16 < n; i += 16) _mm512_storeu_ps(dst + i, _mm512_loadu_ps(src + i));
  _mm512_storeu_ps(dst + n - 16, _mm512_loadu_ps(src + n - 16));
}

inline void zero_floats(float* dst, size_t n) {
  const __m512 zero = _mm512_setzero_ps();
  size_t i = 0;
  for (; i + 16 <= n; i += 16) _mm512_storeu_ps(dst + i, zero);
  if (i < n) _mm512_mask_storeu_ps(dst + i, first_lanes(n - i), zero);
}

// The portable gather's rows, with inline vector copies instead of a library call per tap run
// (the runs are short: 21 floats for a 7-wide kernel on 3 channels).
void gather_patches(const float* input, int C, int H, int W, int kH, int kW, int stride_h, int stride_w,
                    int pad_h, int pad_w, int dilation_h, int dilation_w, int out_w, int row_begin, int rows,
                    float* patches) {
  const size_t row_floats = size_t(kW) * size_t(C);
  float* dst = patches;
  int oy = row_begin / out_w, ox = row_begin % out_w;
  for (int r = 0; r < rows; ++r) {
    const int64_t ix0 = int64_t(ox) * stride_w - pad_w;
    int kx_begin = 0, kx_end = kW;
    while (kx_begin < kW && ix0 + int64_t(kx_begin) * dilation_w < 0) ++kx_begin;
    while (kx_end > kx_begin && ix0 + int64_t(kx_end - 1) * dilation_w >= W) --kx_end;
    for (int ky = 0; ky < kH; ++ky, dst += row_floats) {
      const int64_t iy = int64_t(oy) * stride_h + int64_t(ky) * dilation_h - pad_h;
      if (iy < 0 || iy >= H || kx_begin == kx_end) {
        zero_floats(dst, row_floats);
        continue;
      }
      const float* src_row = input + size_t(iy) * size_t(W) * size_t(C);
      if (kx_begin > 0) zero_floats(dst, size_t(kx_begin) * C);
      if (dilation_w == 1) {
        copy_floats(dst + size_t(kx_begin) * C, src_row + size_t(ix0 + kx_begin) * C,
                    size_t(kx_end - kx_begin) * C);
      } else {
        for (int kx = kx_begin; kx < kx_end; ++kx)
          copy_floats(dst + size_t(kx) * C, src_row + size_t(ix0 + int64_t(kx) * dilation_w) * C, size_t(C));
      }
      if (kx_end < kW) zero_floats(dst + size_t(kx_end) * C, size_t(kW - kx_end) * C);
    }
    if (++ox == out_w) {
      ox = 0;
      ++oy;
    }
  }
}

float* patch_buffer(size_t floats) { return thread_work<float>(WorkBuffer::ConvPatchesF32Wide, floats); }

// The patch matrix read in place: each patch row is a list of runs, one per kernel row when the
// taps of a kernel row are neighbouring pixels (else one per tap), pointing into the image, at a
// shared run of zeros for kernel rows above or below it, or into a gathered copy for the few rows
// whose taps cross the left or right border.
class PatchRuns {
 public:
  PatchRuns(const float* input, int C, int H, int W, int kH, int kW, int stride_h, int stride_w, int pad_h,
            int pad_w, int dilation_h, int dilation_w, int out_w)
      : input_(input),
        C_(C),
        H_(H),
        W_(W),
        kH_(kH),
        kW_(kW),
        stride_h_(stride_h),
        stride_w_(stride_w),
        pad_h_(pad_h),
        pad_w_(pad_w),
        dilation_h_(dilation_h),
        dilation_w_(dilation_w),
        out_w_(out_w),
        joined_(dilation_w == 1),
        count_(joined_ ? kH : kH * kW),
        len_(joined_ ? kW * C : C) {}

  int count() const { return count_; }
  int len() const { return len_; }

  // Runs of rows [row_begin, row_begin + rows).
  const float* const* build(int row_begin, int rows) {
    const size_t K = size_t(count_) * len_;
    const float** const first = thread_work<const float*>(WorkBuffer::PatchRuns, size_t(rows) * count_);
    // Zero when it grows, and only ever read.
    const float* const zero_run = thread_work<float>(WorkBuffer::PatchZeros, size_t(len_));
    // Rows crossing a side border: the same output columns in every output row.
    int edge_columns = 0;
    for (int ox = 0; ox < out_w_; ++ox) edge_columns += !inside(ox);
    size_t edge_bound = size_t(edge_columns) * (size_t(rows) / size_t(out_w_) + 2);
    if (edge_bound > size_t(rows) || count_ > kMaxRuns) edge_bound = size_t(rows);
    float* edge = thread_work<float>(WorkBuffer::PatchEdges, edge_bound * K);

    const int taps = joined_ ? 1 : kW_;
    // Per output row: where each run starts for output column 0, and how far it moves per input
    // column (0 for the zero run of a kernel row outside the image).
    const float* base[kMaxRuns];
    size_t step[kMaxRuns];
    int oy = row_begin / out_w_, ox = row_begin % out_w_;
    const bool gather_all = count_ > kMaxRuns;
    for (int r = 0; r < rows; ++r) {
      if ((r == 0 || ox == 0) && !gather_all)
        for (int ky = 0; ky < kH_; ++ky) {
          const int64_t iy = int64_t(oy) * stride_h_ + int64_t(ky) * dilation_h_ - pad_h_;
          const bool outside = iy < 0 || iy >= H_;
          const float* line = outside ? zero_run : input_ + size_t(iy) * size_t(W_) * size_t(C_);
          for (int t = 0; t < taps; ++t) {
            base[ky * taps + t] = outside ? zero_run : line + size_t(t) * dilation_w_ * C_;
            step[ky * taps + t] = outside ? 0 : size_t(C_);
          }
        }
      const float** row = first + size_t(r) * count_;
      if (gather_all || !inside(ox)) {
        gather_patches(input_, C_, H_, W_, kH_, kW_, stride_h_, stride_w_, pad_h_, pad_w_, dilation_h_,
                       dilation_w_, out_w_, row_begin + r, 1, edge);
        for (int j = 0; j < count_; ++j) row[j] = edge + size_t(j) * len_;
        edge += K;
      } else {
        const size_t x0 = size_t(int64_t(ox) * stride_w_ - pad_w_);
        for (int j = 0; j < count_; ++j) row[j] = base[j] + x0 * step[j];
      }
      if (++ox == out_w_) {
        ox = 0;
        ++oy;
      }
    }
    return first;
  }

 private:
  static constexpr int kMaxRuns = 64;  // kernels with more runs per row gather every row

  // Whether every tap of output column ox lies inside the image horizontally.
  bool inside(int ox) const {
    const int64_t ix0 = int64_t(ox) * stride_w_ - pad_w_;
    return ix0 >= 0 && ix0 + int64_t(kW_ - 1) * dilation_w_ < W_;
  }

  const float* input_;
  int C_, H_, W_, kH_, kW_, stride_h_, stride_w_, pad_h_, pad_w_, dilation_h_, dilation_w_, out_w_;
  bool joined_;
  int count_, len_;
};

// conv2d_f32_prepared_avx512 with every output finished by `add` (when it has an operand).
void conv_prepared(const float* input, const float* bias, float* output, int C, int H, int W, int C_out,
                   int kH, int kW, int stride_h, int stride_w, int pad_h, int pad_w, bool relu,
                   const float* packed, const float* w16, float* scratch, int dilation_h, int dilation_w,
                   x86::ResidualAdd add) {
  ConvProductShape shape;
  if (!conv2d_f32_product_shape(C, H, W, C_out, kH, kW, stride_h, stride_w, pad_h, pad_w, dilation_h,
                                dilation_w, shape))
    return;
  const int out_w = shape.out_w, M = shape.M, K = shape.K;
  // A product over rows [m0, m0 + rows) of the patch matrix, finished with the addition.
  auto product = [&](const float* A, int m0, int rows) {
    float* out = output + size_t(m0) * C_out;
    if (add.other)
      x86::gemm_f32_prepared_add_avx512(A, packed, w16, bias, out, relu, rows, K, C_out, add.at(m0, C_out));
    else
      gemm_f32_prepared_avx512(A, packed, w16, bias, out, relu, rows, K, C_out);
  };

  if (kH == 1 && kW == 1 && stride_h == 1 && stride_w == 1 && pad_h == 0 && pad_w == 0) {
    product(input, 0, M);
    return;
  }

  const size_t row_bytes = size_t(K) * sizeof(float);
  if (x86::gemm_f32_prefers_w16(M, K, C_out)) {
    // The tall product reads the patch rows in place; without prepared weights the first block of
    // rows regroups them as it goes, the others reuse them.
    bool regrouped = w16 != nullptr;
    float* u = regrouped ? const_cast<float*>(w16) : x86::regroup16_buffer(x86::regrouped16_floats(K, C_out));
    PatchRuns patches(input, C, H, W, kH, kW, stride_h, stride_w, pad_h, pad_w, dilation_h, dilation_w,
                      out_w);
    // Threads take ranges of whole 6-row tiles; each builds its own runs. Weights not yet regrouped
    // are regrouped first, each thread its share of the panels.
    const size_t min_rows = kSplitMacsF32 / (size_t(K) * size_t(C_out)) + 1;
    if (!regrouped && range_count(size_t(M), min_rows) > 1) {
      parallel_for(size_t(C_out + 63) / 64, 1, 1, [&](size_t q0, size_t q1) {
        x86::regroup16_panels_avx512(packed, K, C_out, int(q0), int(q1), u);
      });
      regrouped = true;
    }
    constexpr int kBlockRows = 1020;  // whole 6-row tiles
    parallel_for(size_t(M), 6, min_rows, [&](size_t begin, size_t end) {
      for (int m0 = int(begin); m0 < int(end); m0 += kBlockRows) {
        const int rows = int(end) - m0 < kBlockRows ? int(end) - m0 : kBlockRows;
        x86::gemm_f32_runs_avx512(patches.build(m0, rows), patches.count(), patches.len(), packed, u,
                                  regrouped || m0 > 0, bias, output + size_t(m0) * C_out, relu, rows, C_out,
                                  add.at(size_t(m0), C_out));
      }
    });
    return;
  }
  // Short products work on the panels; all rows at once up to 2 MiB of patches, so that each
  // weight panel streams through the core once. Threads gather their share of the rows, then share
  // the product.
  size_t block = (size_t(2) << 20) / row_bytes;
  block = block < 64 ? 64 : block & ~size_t(15);
  if (block > size_t(M)) block = size_t(M);
  float* patches = scratch ? scratch : patch_buffer(block * size_t(K));
  const size_t min_gather_rows = (size_t(1) << 15) / size_t(K) + 1;  // 128 KiB of copies
  for (int m0 = 0; m0 < M; m0 += int(block)) {
    const int rows = M - m0 < int(block) ? M - m0 : int(block);
    parallel_for(size_t(rows), 1, min_gather_rows, [&](size_t begin, size_t end) {
      gather_patches(input, C, H, W, kH, kW, stride_h, stride_w, pad_h, pad_w, dilation_h, dilation_w, out_w,
                     m0 + int(begin), int(end - begin), patches + begin * size_t(K));
    });
    // Prepared weights are read in their panel form whatever the rows.
    product(patches, m0, rows);
  }
}

}  // namespace

void conv2d_f32_avx512(const float* input, const float* weights, const float* bias, float* output, int C,
                       int H, int W, int C_out, int kH, int kW, int stride_h, int stride_w, int pad_h,
                       int pad_w, bool relu, const float* packed, float* scratch, int dilation_h,
                       int dilation_w, void* stream) {
  if (!packed) {  // unpacked weights: the portable driver packs them for the call
    conv2d_f32_with(&gemm_f32_avx512, input, weights, bias, output, C, H, W, C_out, kH, kW, stride_h,
                    stride_w, pad_h, pad_w, relu, packed, scratch, dilation_h, dilation_w);
    return;
  }
  conv2d_f32_prepared_avx512(input, bias, output, C, H, W, C_out, kH, kW, stride_h, stride_w, pad_h, pad_w,
                             relu, packed, nullptr, scratch, dilation_h, dilation_w);
}

void conv2d_f32_prepared_avx512(const float* input, const float* bias, float* output, int C, int H, int W,
                                int C_out, int kH, int kW, int stride_h, int stride_w, int pad_h, int pad_w,
                                bool relu, const float* packed, const float* w16, float* scratch,
                                int dilation_h, int dilation_w) {
  conv_prepared(input, bias, output, C, H, W, C_out, kH, kW, stride_h, stride_w, pad_h, pad_w, relu, packed,
                w16, scratch, dilation_h, dilation_w, x86::ResidualAdd{});
}

void conv2d_f32_add_prepared_avx512(const float* input, const float* bias, float* output, int C, int H, int W,
                                    int C_out, int kH, int kW, int stride_h, int stride_w, int pad_h,
                                    int pad_w, bool relu, const float* packed, const float* w16,
                                    float* scratch, int dilation_h, int dilation_w, const float* other,
                                    bool relu_after) {
  conv_prepared(input, bias, output, C, H, W, C_out, kH, kW, stride_h, stride_w, pad_h, pad_w, relu, packed,
                w16, scratch, dilation_h, dilation_w, x86::ResidualAdd{other, relu_after});
}

}  // namespace trevalon
