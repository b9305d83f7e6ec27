// Float Winograd F(2x2, 3x3): portable tile transforms and the blocked driver around gemm_f32.
#include "kernels/winograd_f32.h"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/gemm_f32.h"
#include "kernels/gemm_split.h"
#include "kernels/thread_work.h"
#include "kernels/winograd_tiles.h"

namespace trevalon {
void winograd_input_transform_f32_portable(const float* input, int C, int H, int W, int tiles_w,
                                           int tile_begin, int tile_count, float* V, size_t matrix_stride) {
  const size_t stride = matrix_stride;
  for (int t = 0; t < tile_count; ++t) {
    const int tile = tile_begin + t;
    const float* src[16];
    winograd_tile_pixels(input, C, H, W, tile / tiles_w, tile % tiles_w, src);
    float* dst = V + size_t(t) * size_t(C);
    // Four channels at a time, so that the lane loops below compile to short vectors.
    for (int c0 = 0; c0 < C; c0 += 4) {
      const int lanes = C - c0 < 4 ? C - c0 : 4;
      float d[16][4] = {};
      for (int p = 0; p < 16; ++p)
        if (src[p])
          for (int l = 0; l < lanes; ++l) d[p][l] = src[p][c0 + l];
      // Rows first: r = B^T d.
      float r[16][4];
      for (int x = 0; x < 4; ++x)
        for (int l = 0; l < 4; ++l) {
          r[0 + x][l] = d[0 + x][l] - d[8 + x][l];
          r[4 + x][l] = d[4 + x][l] + d[8 + x][l];
          r[8 + x][l] = d[8 + x][l] - d[4 + x][l];
          r[12 + x][l] = d[4 + x][l] - d[12 + x][l];
        }
      // Then columns: V = r B.
      for (int i = 0; i < 4; ++i) {
        float v[4][4];
        for (int l = 0; l < 4; ++l) {
          v[0][l] = r[4 * i + 0][l] - r[4 * i + 2][l];
          v[1][l] = r[4 * i + 1][l] + r[4 * i + 2][l];
          v[2][l] = r[4 * i + 2][l] - r[4 * i + 1][l];
          v[3][l] = r[4 * i + 1][l] - r[4 * i + 3][l];
        }
        for (int j = 0; j < 4; ++j)
          for (int l = 0; l < lanes; ++l) dst[size_t(4 * i + j) * stride + c0 + l] = v[j][l];
      }
    }
  }
}

void winograd_output_transform_f32_portable(const float* P, int C_out, int H, int W, int tiles_w,
                                            int tile_begin, int tile_count, const float* bias, bool relu,
                                            float* output, size_t matrix_stride) {
  const size_t stride = matrix_stride;
  for (int t = 0; t < tile_count; ++t) {
    const int tile = tile_begin + t;
    const int oy = 2 * (tile / tiles_w), ox = 2 * (tile % tiles_w);
    const bool has_right = ox + 1 < W, has_below = oy + 1 < H;
    const float* src = P + size_t(t) * size_t(C_out);
    float* out00 = output + (size_t(oy) * size_t(W) + size_t(ox)) * size_t(C_out);
    float* out10 = out00 + size_t(W) * size_t(C_out);
    for (int n = 0; n < C_out; ++n) {
      float m[16];
      for (int k = 0; k < 16; ++k) m[k] = src[size_t(k) * stride + n];
      // Rows first: s = A^T m, then columns: y = s A.
      float s0[4], s1[4];
      for (int x = 0; x < 4; ++x) {
        s0[x] = (m[0 + x] + m[4 + x]) + m[8 + x];
        s1[x] = (m[4 + x] - m[8 + x]) - m[12 + x];
      }
      float y[4] = {(s0[0] + s0[1]) + s0[2], (s0[1] - s0[2]) - s0[3], (s1[0] + s1[1]) + s1[2],
                    (s1[1] - s1[2]) - s1[3]};
      for (float& v : y) {
        if (bias) v = v + bias[n];
        if (relu) v = v > 0.0f ? v : 0.0f;
      }
      out00[n] = y[0];
      if (has_right) out00[C_out + n] = y[1];
      if (has_below) {
        out10[n] = y[2];
        if (has_right) out10[C_out + n] = y[3];
      }
    }
  }
}

int winograd_tile_block_f32(int tiles, int C, int C_out) {
  // About half of a 1 MiB L2 for the block's 16 transformed inputs and 16 products.
  constexpr size_t kBlockBytes = size_t(512) << 10;
  const size_t per_tile = size_t(16) * (size_t(C) + size_t(C_out)) * sizeof(float);
  size_t block = kBlockBytes / per_tile;
  block = block < 16 ? 16 : block & ~size_t(15);  // whole 16-row tiles of the product
  return block >= size_t(tiles) ? tiles : int(block);
}

size_t winograd_matrix_stride_f32(int tile_count, int channels) {
  // Rounded to whole cache lines plus one: with power-of-two sizes the 16 matrices would
  // otherwise start on the same cache set and the transforms' 16 streams would evict each other.
  const size_t floats = size_t(tile_count) * size_t(channels);
  return ((floats + 15) & ~size_t(15)) + 16;
}

void conv2d_f32_winograd_with(const WinogradTransformsF32& transforms, const float* input,
                              const float* const* packed16, const float* bias, float* output, int C, int H,
                              int W, int C_out, bool relu) {
  if (C <= 0 || H <= 0 || W <= 0 || C_out <= 0 || !packed16) return;
  const auto gemm = transforms.gemm;
  if (!gemm) return;
  const int tiles_h = H / 2 + H % 2, tiles_w = W / 2 + W % 2;
  const int64_t tiles64 = int64_t(tiles_h) * tiles_w;
  if (tiles64 > INT32_MAX) return;
  const int tiles = int(tiles64);
  const int block = winograd_tile_block_f32(tiles, C, C_out);

  // Tiles [t_begin, t_end) in blocks on this thread's working set: transformed inputs and products
  // of one block, grown to the largest block seen, then reused.
  auto run_blocks = [&](size_t t_begin, size_t t_end) {
    const size_t v_stride = winograd_matrix_stride_f32(block, C);
    const size_t p_stride = winograd_matrix_stride_f32(block, C_out);
    float* V = winograd_work_f32(16 * (v_stride + p_stride));
    float* P = V + 16 * v_stride;
    for (int t0 = int(t_begin); t0 < int(t_end); t0 += block) {
      const int count = int(t_end) - t0 < block ? int(t_end) - t0 : block;
      transforms.input(input, C, H, W, tiles_w, t0, count, V, v_stride);
      for (int k = 0; k < 16; ++k)
        gemm(V + k * v_stride, packed16[k], nullptr, P + k * p_stride, false, count, C, C_out);
      transforms.output(P, C_out, H, W, tiles_w, t0, count, bias, relu, output, p_stride);
    }
  };
  const size_t macs = size_t(16) * size_t(tiles) * size_t(C) * size_t(C_out);
  if (block == tiles && range_count(macs, kSplitMacsF32) > 1) {
    // One block: the threads share each phase, the products by matrix.
    winograd_block_phases_f32(transforms, input, C, H, W, C_out, tiles, tiles_w, bias, relu, output,
                              [&](int k, const float* Vk, float* Pk) {
                                gemm(Vk, packed16[k], nullptr, Pk, false, tiles, C, C_out);
                              });
    return;
  }
  // Several blocks: threads take ranges of tiles (whole 16-row tiles of the product).
  parallel_for(size_t(tiles), 16, kSplitMacsF32 / (size_t(16) * C * C_out) + 1, run_blocks);
}

float* winograd_work_f32(size_t floats) { return thread_work<float>(WorkBuffer::WinogradF32, floats); }

void conv2d_f32_winograd_portable(const float* input, const float* const* packed16, const float* bias,
                                  float* output, int C, int H, int W, int C_out, bool relu, float* scratch,
                                  void* stream, const float* raw_weights) {
  static constexpr WinogradTransformsF32 kPortable{
      &winograd_input_transform_f32_portable, &winograd_output_transform_f32_portable, &gemm_f32_portable};
  conv2d_f32_winograd_with(kPortable, input, packed16, bias, output, C, H, W, C_out, relu);
}

#ifndef TREVALON_PORTABLE
void conv2d_f32_winograd_avx2(const float* input, const float* const* packed16, const float* bias,
                              float* output, int C, int H, int W, int C_out, bool relu, float* scratch,
                              void* stream, const float* raw_weights) {
  static constexpr WinogradTransformsF32 kAvx2{&winograd_input_transform_f32_avx2,
                                               &winograd_output_transform_f32_avx2, &gemm_f32_avx2};
  conv2d_f32_winograd_with(kAvx2, input, packed16, bias, output, C, H, W, C_out, relu);
}
#endif

}  // namespace trevalon
