// Float Winograd F(2x2, 3x3) with AVX-512: tile transforms on 16 channels per vector and the
// driver, which picks the product kernel by the number of tiles.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "kernels/gemm_f32.h"
#include "kernels/winograd_f32.h"
#include "kernels/x86/gemm_f32_avx512.h"
#include "kernels/x86/simd_f32x16.h"
#include "kernels/x86/winograd_f32_simd.h"

namespace trevalon {

void winograd_input_transform_f32_avx512(const float* input, int C, int H, int W, int tiles_w, int tile_begin,
                                         int tile_count, float* V, size_t matrix_stride) {
  winograd_input_transform_simd<F32x16>(input, C, H, W, tiles_w, tile_begin, tile_count, V, matrix_stride);
}

void winograd_output_transform_f32_avx512(const float* P, int C_out, int H, int W, int tiles_w,
                                          int tile_begin, int tile_count, const float* bias, bool relu,
                                          float* output, size_t matrix_stride) {
  winograd_output_transform_simd<F32x16>(P, C_out, H, W, tiles_w, tile_begin, tile_count, bias, relu, output,
                                         matrix_stride);
}

void conv2d_f32_winograd_avx512(const float* input, const float* const* packed16, const float* bias,
                                float* output, int C, int H, int W, int C_out, bool relu, float* scratch,
                                void* stream, const float* raw_weights) {
  conv2d_f32_winograd_prepared_avx512(input, packed16, nullptr, bias, output, C, H, W, C_out, relu);
}

void conv2d_f32_winograd_prepared_avx512(const float* input, const float* const* packed16,
                                         const float* const* w16, const float* bias, float* output, int C,
                                         int H, int W, int C_out, bool relu) {
  if (C <= 0 || H <= 0 || W <= 0 || C_out <= 0 || (!packed16 && !w16)) return;
  const int tiles_h = H / 2 + H % 2, tiles_w = W / 2 + W % 2;
  const int64_t tiles64 = int64_t(tiles_h) * tiles_w;
  if (tiles64 > INT32_MAX) return;
  const int tiles = int(tiles64);

  // Many tiles: the 16 matrices are regrouped once for the tall product, and blocks of tiles
  // (whole 6-row tiles of it) keep the transformed data in L2. Few tiles: the products run on the
  // panels, over all tiles at once when that fits, so each matrix streams through the core once.
  // Prepared matrices are read in their panel form either way.
  const bool tall = x86::gemm_f32_prefers_w16(tiles, C, C_out);
  // The first weight block of a product (128 k steps of a 64-channel panel).
  constexpr size_t kStartBytes = size_t(32) << 10;
  const size_t u_floats = x86::regrouped16_floats(C, C_out);
  const size_t packed_bytes = packed_weights_f32_floats(C_out, C) * sizeof(float);
  const float* u[16] = {};
  if (w16)
    for (int m = 0; m < 16; ++m) u[m] = w16[m];
  int block;
  if (tall) {
    if (!w16) {
      // Regrouped during the first block, each matrix just before its product, while the next
      // matrix's panels come into L2.
      float* u16 = x86::regroup16_buffer(16 * u_floats);
      for (int m = 0; m < 16; ++m) u[m] = u16 + m * u_floats;
      x86::regroup16_avx512(packed16[0], C, C_out, u16);
    }
    block = winograd_tile_block_f32(tiles, C, C_out);
    if (block < tiles && block > 6) block -= block % 6;
  } else {
    constexpr size_t kWholeBytes = size_t(2) << 20;
    const size_t all = size_t(16) * size_t(tiles) * (size_t(C) + size_t(C_out)) * sizeof(float);
    block = all <= kWholeBytes ? tiles : winograd_tile_block_f32(tiles, C, C_out);
  }

  const size_t v_stride = winograd_matrix_stride_f32(block, C);
  const size_t p_stride = winograd_matrix_stride_f32(block, C_out);
  float* V = winograd_work_f32(16 * (v_stride + p_stride));
  float* P = V + 16 * v_stride;
  for (int t0 = 0; t0 < tiles; t0 += block) {
    const int count = tiles - t0 < block ? tiles - t0 : block;
    winograd_input_transform_f32_avx512(input, C, H, W, tiles_w, t0, count, V, v_stride);
    for (int m = 0; m < 16; ++m) {
      if (tall || w16) {
        // The first block brings the next matrix into L2 while this one computes (and, without
        // prepared weights, regroups it next). Few tiles: each product fetches the start of the
        // next prepared matrix; the product fetches the rest of a matrix ahead of itself.
        const bool first = tall && t0 == 0 && m + 1 < 16;
        const bool start = !tall && m + 1 < 16;
        const float* fetch = first ? (w16 ? u[m + 1] : packed16[m + 1]) : start ? u[m + 1] : nullptr;
        const size_t start_bytes =
            u_floats * sizeof(float) < kStartBytes ? u_floats * sizeof(float) : kStartBytes;
        x86::gemm_f32_w16_avx512(V + m * v_stride, u[m], nullptr, P + m * p_stride, false, count, C, C_out,
                                 fetch,
                                 first   ? (w16 ? u_floats * sizeof(float) : packed_bytes)
                                 : start ? start_bytes
                                         : 0);
        if (first && !w16) x86::regroup16_avx512(packed16[m + 1], C, C_out, const_cast<float*>(u[m + 1]));
      } else {
        x86::gemm_f32_panels_avx512(V + m * v_stride, packed16[m], nullptr, P + m * p_stride, false, count, C,
                                    C_out);
      }
    }
    winograd_output_transform_f32_avx512(P, C_out, H, W, tiles_w, t0, count, bias, relu, output, p_stride);
  }
}

}  // namespace trevalon
