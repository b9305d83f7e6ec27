// Float Winograd F(2x2, 3x3) convolution (3x3, stride 1, padding 1): the tile transforms in every
// tier and the driver that feeds the 16 transformed products to gemm_f32.
#pragma once

#include <cstddef>

#include "kernels/thread_pool.h"

namespace trevalon {

// Input transform V = B^T d B of tiles [tile_begin, tile_begin + tile_count) of a channels-fastest
// H x W x C image; tile t reads the 4x4 patch at (2 ty - 1, 2 tx - 1), outside pixels read as 0.
// Value (i, j) of block tile t goes to V[(4i + j) * matrix_stride + t * C + c]. Every tier sums in
// the same order (rows first, then columns), so all tiers give identical bits.
using WinogradInputTransformF32 = void (*)(const float* input, int C, int H, int W, int tiles_w,
                                           int tile_begin, int tile_count, float* V, size_t matrix_stride);
// Output transform Y = A^T M A of the products P[(4i + j) * matrix_stride + t * C_out + n], then
// + bias (when given), then max(., 0) when relu; writes the 2x2 outputs inside H x W.
using WinogradOutputTransformF32 = void (*)(const float* P, int C_out, int H, int W, int tiles_w,
                                            int tile_begin, int tile_count, const float* bias, bool relu,
                                            float* output, size_t matrix_stride);

// A tier's transforms and the product of the same tier between them.
struct WinogradTransformsF32 {
  WinogradInputTransformF32 input;
  WinogradOutputTransformF32 output;
  void (*gemm)(const float* A, const float* packed, const float* bias, float* out, bool relu, int M, int K,
               int N);
};

void winograd_input_transform_f32_portable(const float* input, int C, int H, int W, int tiles_w,
                                           int tile_begin, int tile_count, float* V, size_t matrix_stride);
void winograd_output_transform_f32_portable(const float* P, int C_out, int H, int W, int tiles_w,
                                            int tile_begin, int tile_count, const float* bias, bool relu,
                                            float* output, size_t matrix_stride);
#ifndef TREVALON_PORTABLE
void winograd_input_transform_f32_avx2(const float* input, int C, int H, int W, int tiles_w, int tile_begin,
                                       int tile_count, float* V, size_t matrix_stride);
void winograd_output_transform_f32_avx2(const float* P, int C_out, int H, int W, int tiles_w, int tile_begin,
                                        int tile_count, const float* bias, bool relu, float* output,
                                        size_t matrix_stride);
void winograd_input_transform_f32_avx512(const float* input, int C, int H, int W, int tiles_w, int tile_begin,
                                         int tile_count, float* V, size_t matrix_stride);
void winograd_output_transform_f32_avx512(const float* P, int C_out, int H, int W, int tiles_w,
                                          int tile_begin, int tile_count, const float* bias, bool relu,
                                          float* output, size_t matrix_stride);
#endif

// Output tiles per block: the block's transformed input and products (16 x tiles x (C + C_out)
// floats) stay in the core's cache between the transforms and the products.
int winograd_tile_block_f32(int tiles, int C, int C_out);
// Floats between the 16 transformed matrices of a block of `tile_count` tiles.
size_t winograd_matrix_stride_f32(int tile_count, int channels);
// The per-thread working set of the drivers: grows to the largest size asked, then reused.
float* winograd_work_f32(size_t floats);

// One block of all `tiles` tiles with the threads sharing each phase: the input transform by
// ranges of tiles into one working set, the 16 products by matrix (product(m, V_m, P_m), each
// reading only its own weights), the output transform by ranges of tiles. Every value is computed
// as the one-block loop of one thread computes it.
template <class Product>
void winograd_block_phases_f32(const WinogradTransformsF32& transforms, const float* input, int C, int H,
                               int W, int C_out, int tiles, int tiles_w, const float* bias, bool relu,
                               float* output, Product&& product) {
  const size_t v_stride = winograd_matrix_stride_f32(tiles, C);
  const size_t p_stride = winograd_matrix_stride_f32(tiles, C_out);
  float* V = winograd_work_f32(16 * (v_stride + p_stride));
  float* P = V + 16 * v_stride;
  // A range transforms at least 64 Ki values.
  parallel_for(size_t(tiles), 1, (size_t(1) << 16) / (size_t(16) * C) + 1, [&](size_t begin, size_t end) {
    transforms.input(input, C, H, W, tiles_w, int(begin), int(end - begin), V + begin * C, v_stride);
  });
  parallel_tasks(16, [&](size_t m) { product(int(m), V + m * v_stride, P + m * p_stride); });
  parallel_for(size_t(tiles), 1, (size_t(1) << 16) / (size_t(16) * C_out) + 1, [&](size_t begin, size_t end) {
    transforms.output(P + begin * C_out, C_out, H, W, tiles_w, int(begin), int(end - begin), bias, relu,
                      output, p_stride);
  });
}

// The slot-12 contract with the given transforms and product (the portable and AVX2 tiers). The working set
// (one block of transformed inputs and products) lives in a per-thread buffer that grows once and is reused;
// the slot's `scratch` is not used, since it comes without a size and the patch-matrix scratch the layer asks
// for (9 x C x H x W floats) does not cover 16 x tiles x (C + C_out) floats when C_out is large or
// the image is tiny. The AVX-512 tier has its own driver, which picks the product kernel by the
// number of tiles.
void conv2d_f32_winograd_with(const WinogradTransformsF32& transforms, const float* input,
                              const float* const* packed16, const float* bias, float* output, int C, int H,
                              int W, int C_out, bool relu);

// Slot-12 entry points, one per tier.
void conv2d_f32_winograd_portable(const float* input, const float* const* packed16, const float* bias,
                                  float* output, int C, int H, int W, int C_out, bool relu, float* scratch,
                                  void* stream, const float* raw_weights);
#ifndef TREVALON_PORTABLE
void conv2d_f32_winograd_avx2(const float* input, const float* const* packed16, const float* bias,
                              float* output, int C, int H, int W, int C_out, bool relu, float* scratch,
                              void* stream, const float* raw_weights);
void conv2d_f32_winograd_avx512(const float* input, const float* const* packed16, const float* bias,
                                float* output, int C, int H, int W, int C_out, bool relu, float* scratch,
                                void* stream, const float* raw_weights);
// conv2d_f32_winograd_avx512 given also the 64-channel panel forms of the 16 matrices (each regrouped
// per call when `w16` is null).
void conv2d_f32_winograd_prepared_avx512(const float* input, const float* const* packed16,
                                         const float* const* w16, const float* bias, float* output, int C,
                                         int H, int W, int C_out, bool relu);
#endif

}  // namespace trevalon
