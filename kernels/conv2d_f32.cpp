// Float 2-D convolution (slot 11): patch gathering in row blocks, each block multiplied by the
// patch-ordered packed weights with the tier's gemm_f32 while it is still in cache.
#include "kernels/conv2d_f32.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "kernels/conv_geometry.h"
#include "kernels/gemm_f32.h"
#include "kernels/gemm_split.h"
#include "kernels/packed_weights.h"
#include "kernels/thread_work.h"

namespace trevalon {

void conv2d_f32_gather_patches(const float* input, int C, int H, int W, int kH, int kW, int stride_h,
                               int stride_w, int pad_h, int pad_w, int dilation_h, int dilation_w, int out_w,
                               int row_begin, int rows, float* patches) {
  const size_t row_floats = size_t(kW) * size_t(C);
  float* dst = patches;
  for (int r = row_begin; r < row_begin + rows; ++r) {
    const int oy = r / out_w, ox = r % out_w;
    const int64_t ix0 = int64_t(ox) * stride_w - pad_w;
    // Taps kx in [kx_begin, kx_end) read inside the row; the rest are zeros.
    int kx_begin = 0, kx_end = kW;
    while (kx_begin < kW && ix0 + int64_t(kx_begin) * dilation_w < 0) ++kx_begin;
    while (kx_end > kx_begin && ix0 + int64_t(kx_end - 1) * dilation_w >= W) --kx_end;
    for (int ky = 0; ky < kH; ++ky, dst += row_floats) {
      const int64_t iy = int64_t(oy) * stride_h + int64_t(ky) * dilation_h - pad_h;
      if (iy < 0 || iy >= H || kx_begin == kx_end) {
        std::memset(dst, 0, row_floats * sizeof(float));
        continue;
      }
      const float* src_row = input + size_t(iy) * size_t(W) * size_t(C);
      std::memset(dst, 0, size_t(kx_begin) * C * sizeof(float));
      if (dilation_w == 1) {  // neighbouring taps are neighbouring pixels: one copy
        std::memcpy(dst + size_t(kx_begin) * C, src_row + size_t(ix0 + kx_begin) * C,
                    size_t(kx_end - kx_begin) * C * sizeof(float));
      } else {
        for (int kx = kx_begin; kx < kx_end; ++kx)
          std::memcpy(dst + size_t(kx) * C, src_row + size_t(ix0 + int64_t(kx) * dilation_w) * C,
                      size_t(C) * sizeof(float));
      }
      std::memset(dst + size_t(kx_end) * C, 0, size_t(kW - kx_end) * C * sizeof(float));
    }
  }
}

namespace {

// Patch rows per block: about 512 KiB of patches (read back by the product while still in L2),
// in whole 16-row tiles of the product and never fewer than 64 rows, so that the product's
// 16-row tiles stay full.
int patch_block_rows(int M, int K) {
  constexpr size_t kBlockBytes = size_t(512) << 10;
  size_t rows = kBlockBytes / (size_t(K) * sizeof(float));
  rows = rows < 64 ? 64 : rows & ~size_t(15);
  return rows >= size_t(M) ? M : int(rows);
}

}  // namespace

bool conv2d_f32_product_shape(int C, int H, int W, int C_out, int kH, int kW, int stride_h, int stride_w,
                              int pad_h, int pad_w, int dilation_h, int dilation_w, ConvProductShape& shape) {
  // Zero rows or columns are an image too: with padding, the output pixels read zeros only.
  if (C <= 0 || H < 0 || W < 0 || C_out <= 0 || kH <= 0 || kW <= 0 || stride_h <= 0 || stride_w <= 0 ||
      dilation_h <= 0 || dilation_w <= 0 || pad_h < 0 || pad_w < 0)
    return false;
  const int out_h = int(std::min<int64_t>(conv_output_size(H, kH, stride_h, pad_h, dilation_h), INT32_MAX));
  const int out_w = int(std::min<int64_t>(conv_output_size(W, kW, stride_w, pad_w, dilation_w), INT32_MAX));
  const int64_t M = int64_t(out_h) * out_w, K = int64_t(kH) * kW * C;
  if (out_h <= 0 || out_w <= 0 || M > INT32_MAX || K > INT32_MAX) return false;
  shape = ConvProductShape{out_h, out_w, int(M), int(K)};
  return true;
}

void conv2d_f32_with(GemmF32Kernel gemm, const float* input, const float* weights, const float* bias,
                     float* output, int C, int H, int W, int C_out, int kH, int kW, int stride_h,
                     int stride_w, int pad_h, int pad_w, bool relu, const float* packed, float* scratch,
                     int dilation_h, int dilation_w) {
  ConvProductShape shape;
  if (!conv2d_f32_product_shape(C, H, W, C_out, kH, kW, stride_h, stride_w, pad_h, pad_w, dilation_h,
                                dilation_w, shape))
    return;
  const int out_w = shape.out_w, M = shape.M, K = shape.K;
  if (!gemm) return;

  PackedWeights<float> owned;  // weights packed for this call only
  if (!packed) {
    if (!weights) return;
    const std::vector<float> reordered = to_patch_order(weights, C_out, C, kH * kW);
    owned = PackedWeights<float>(pack_weights_f32(reordered.data(), C_out, K), &free_packed_f32);
    packed = owned.get();
  }

  // A 1x1 stride-1 unpadded kernel: the image already is the (H x W) x C patch matrix.
  if (kH == 1 && kW == 1 && stride_h == 1 && stride_w == 1 && pad_h == 0 && pad_w == 0) {
    gemm(input, packed, bias, output, relu, M, K, C_out);
    return;
  }

  const int block = patch_block_rows(M, K);
  // Threads take ranges of patch rows (whole 16-row tiles), each gathering and multiplying its own:
  // in its part of `scratch`, which holds every row, or in its own working buffer.
  const size_t min_rows = kSplitMacsF32 / (size_t(K) * size_t(C_out)) + 1;
  parallel_for(size_t(M), 16, min_rows, [&](size_t begin, size_t end) {
    float* patches = scratch ? scratch + begin * size_t(K) : nullptr;
    if (!patches) patches = thread_work<float>(WorkBuffer::ConvPatchesF32, size_t(block) * size_t(K));
    for (int m0 = int(begin); m0 < int(end); m0 += block) {
      const int rows = int(end) - m0 < block ? int(end) - m0 : block;
      conv2d_f32_gather_patches(input, C, H, W, kH, kW, stride_h, stride_w, pad_h, pad_w, dilation_h,
                                dilation_w, out_w, m0, rows, patches);
      gemm(patches, packed, bias, output + size_t(m0) * size_t(C_out), relu, rows, K, C_out);
    }
  });
}

void conv2d_f32(const float* input, const float* weights, const float* bias, float* output, int C, int H,
                int W, int C_out, int kH, int kW, int stride_h, int stride_w, int pad_h, int pad_w, bool relu,
                const float* packed, float* scratch, int dilation_h, int dilation_w, void* stream) {
  conv2d_f32_with(&gemm_f32_portable, input, weights, bias, output, C, H, W, C_out, kH, kW, stride_h,
                  stride_w, pad_h, pad_w, relu, packed, scratch, dilation_h, dilation_w);
}

#ifndef TREVALON_PORTABLE
void conv2d_f32_avx2(const float* input, const float* weights, const float* bias, float* output, int C, int H,
                     int W, int C_out, int kH, int kW, int stride_h, int stride_w, int pad_h, int pad_w,
                     bool relu, const float* packed, float* scratch, int dilation_h, int dilation_w,
                     void* stream) {
  conv2d_f32_with(&gemm_f32_avx2, input, weights, bias, output, C, H, W, C_out, kH, kW, stride_h, stride_w,
                  pad_h, pad_w, relu, packed, scratch, dilation_h, dilation_w);
}
#endif

}  // namespace trevalon
