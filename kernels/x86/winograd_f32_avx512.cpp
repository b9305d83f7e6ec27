// Float Winograd F(2x2, 3x3) with AVX-512: tile transforms on 16 channels per vector (masked tails,
// additions in the portable order, so the bits are the same) and the driver, which picks the
// product kernel by the number of tiles.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "kernels/gemm_f32.h"
#include "kernels/winograd_f32.h"
#include "kernels/x86/gemm_f32_avx512.h"

namespace trevalon {
namespace {

inline __mmask16 tail_mask(int remaining) {
  return remaining >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << remaining) - 1u);
}

}  // namespace

void winograd_input_transform_f32_avx512(const float* input, int C, int H, int W, int tiles_w,
                                         int tile_begin, int tile_count, float* V,
                                         size_t matrix_stride) {
  const size_t stride = matrix_stride;
  const __m512 zero = _mm512_setzero_ps();
  for (int t = 0; t < tile_count; ++t) {
    const int tile = tile_begin + t;
    const int iy0 = 2 * (tile / tiles_w) - 1, ix0 = 2 * (tile % tiles_w) - 1;
    const float* src[16];
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 4; ++x) {
        const int iy = iy0 + y, ix = ix0 + x;
        const bool inside = iy >= 0 && iy < H && ix >= 0 && ix < W;
        src[4 * y + x] = inside ? input + (size_t(iy) * size_t(W) + size_t(ix)) * size_t(C) : nullptr;
      }
    float* dst = V + size_t(t) * size_t(C);
    for (int c = 0; c < C; c += 16) {
      const __mmask16 m = tail_mask(C - c);
      __m512 r[16];
      for (int x = 0; x < 4; ++x) {
        const __m512 d0 = src[0 + x] ? _mm512_maskz_loadu_ps(m, src[0 + x] + c) : zero;
        const __m512 d1 = src[4 + x] ? _mm512_maskz_loadu_ps(m, src[4 + x] + c) : zero;
        const __m512 d2 = src[8 + x] ? _mm512_maskz_loadu_ps(m, src[8 + x] + c) : zero;
        const __m512 d3 = src[12 + x] ? _mm512_maskz_loadu_ps(m, src[12 + x] + c) : zero;
        r[0 + x] = _mm512_sub_ps(d0, d2);
        r[4 + x] = _mm512_add_ps(d1, d2);
        r[8 + x] = _mm512_sub_ps(d2, d1);
        r[12 + x] = _mm512_sub_ps(d1, d3);
      }
      for (int i = 0; i < 4; ++i) {
        const __m512* ri = r + 4 * i;
        _mm512_mask_storeu_ps(dst + size_t(4 * i + 0) * stride + c, m, _mm512_sub_ps(ri[0], ri[2]));
        _mm512_mask_storeu_ps(dst + size_t(4 * i + 1) * stride + c, m, _mm512_add_ps(ri[1], ri[2]));
        _mm512_mask_storeu_ps(dst + size_t(4 * i + 2) * stride + c, m, _mm512_sub_ps(ri[2], ri[1]));
        _mm512_mask_storeu_ps(dst + size_t(4 * i + 3) * stride + c, m, _mm512_sub_ps(ri[1], ri[3]));
      }
    }
  }
}

void winograd_output_transform_f32_avx512(const float* P, int C_out, int H, int W, int tiles_w,
                                          int tile_begin, int tile_count, const float* bias,
                                          bool relu, float* output, size_t matrix_stride) {
  const size_t stride = matrix_stride;
  const __m512 zero = _mm512_setzero_ps();
  for (int t = 0; t < tile_count; ++t) {
    const int tile = tile_begin + t;
    const int oy = 2 * (tile / tiles_w), ox = 2 * (tile % tiles_w);
    const bool has_right = ox + 1 < W, has_below = oy + 1 < H;
    const float* src = P + size_t(t) * size_t(C_out);
    float* out00 = output + (size_t(oy) * size_t(W) + size_t(ox)) * size_t(C_out);
    float* out10 = out00 + size_t(W) * size_t(C_out);
    for (int n = 0; n < C_out; n += 16) {
      const __mmask16 m = tail_mask(C_out - n);
      __m512 s0[4], s1[4];
      for (int x = 0; x < 4; ++x) {
        const __m512 m0 = _mm512_maskz_loadu_ps(m, src + size_t(0 + x) * stride + n);
        const __m512 m1 = _mm512_maskz_loadu_ps(m, src + size_t(4 + x) * stride + n);
        const __m512 m2 = _mm512_maskz_loadu_ps(m, src + size_t(8 + x) * stride + n);
        const __m512 m3 = _mm512_maskz_loadu_ps(m, src + size_t(12 + x) * stride + n);
        s0[x] = _mm512_add_ps(_mm512_add_ps(m0, m1), m2);
        s1[x] = _mm512_sub_ps(_mm512_sub_ps(m1, m2), m3);
      }
      __m512 y[4] = {_mm512_add_ps(_mm512_add_ps(s0[0], s0[1]), s0[2]),
                     _mm512_sub_ps(_mm512_sub_ps(s0[1], s0[2]), s0[3]),
                     _mm512_add_ps(_mm512_add_ps(s1[0], s1[1]), s1[2]),
                     _mm512_sub_ps(_mm512_sub_ps(s1[1], s1[2]), s1[3])};
      if (bias) {
        const __m512 b = _mm512_maskz_loadu_ps(m, bias + n);
        for (__m512& v : y) v = _mm512_add_ps(v, b);
      }
      if (relu)
        for (__m512& v : y) v = _mm512_maskz_max_ps(m, v, zero);  // v > 0 ? v : 0, NaN becomes 0
      _mm512_mask_storeu_ps(out00 + n, m, y[0]);
      if (has_right) _mm512_mask_storeu_ps(out00 + C_out + n, m, y[1]);
      if (has_below) {
        _mm512_mask_storeu_ps(out10 + n, m, y[2]);
        if (has_right) _mm512_mask_storeu_ps(out10 + C_out + n, m, y[3]);
      }
    }
  }
}

void conv2d_f32_winograd_avx512(const float* input, const float* const* packed16,
                                const float* bias, float* output, int C, int H, int W, int C_out,
                                bool relu, float* scratch, void* stream, const float* raw_weights) {
  conv2d_f32_winograd_prepared_avx512(input, packed16, nullptr, bias, output, C, H, W, C_out, relu);
}

void conv2d_f32_winograd_prepared_avx512(const float* input, const float* const* packed16,
                                         const float* const* w16, const float* bias, float* output,
                                         int C, int H, int W, int C_out, bool relu) {
  if (C <= 0 || H <= 0 || W <= 0 || C_out <= 0 || (!packed16 && !w16)) return;
  const int tiles_h = H / 2 + H % 2, tiles_w = W / 2 + W % 2;
  const int64_t tiles64 = int64_t(tiles_h) * tiles_w;
  if (tiles64 > INT32_MAX) return;
  const int tiles = int(tiles64);

  // Many tiles: the 16 matrices are regrouped once for the tall product, and blocks of tiles
  // (whole 6-row tiles of it) keep the transformed data in L2. Few tiles: the products run on the
  // panels, over all tiles at once when that fits, so each matrix streams through the core once.
  // Prepared matrices are read in their 16-channel form either way.
  const bool tall = x86::gemm_f32_prefers_w16(tiles, C, C_out);
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
        // prepared weights, regroups it next).
        const bool first = tall && t0 == 0 && m + 1 < 16;
        const float* fetch = !first ? nullptr : w16 ? u[m + 1] : packed16[m + 1];
        x86::gemm_f32_w16_avx512(V + m * v_stride, u[m], nullptr, P + m * p_stride, false, count, C,
                                 C_out, fetch, !first ? 0 : w16 ? u_floats * sizeof(float) : packed_bytes);
        if (first && !w16)
          x86::regroup16_avx512(packed16[m + 1], C, C_out, const_cast<float*>(u[m + 1]));
      } else {
        x86::gemm_f32_panels_avx512(V + m * v_stride, packed16[m], nullptr, P + m * p_stride, false,
                                    count, C, C_out);
      }
    }
    winograd_output_transform_f32_avx512(P, C_out, H, W, tiles_w, t0, count, bias, relu, output,
                                         p_stride);
  }
}

}  // namespace trevalon
