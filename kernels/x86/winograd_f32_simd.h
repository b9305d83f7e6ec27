// Float Winograd F(2x2, 3x3) tile transforms written once over the float SIMD wrappers (F32x8,
// F32x16): one vector of channels at a time, the channel tail through partial loads and stores.
// The additions run in the portable order (rows first, then columns), so every tier gives the same
// bits. Included only by *_avx2.cpp and *_avx512.cpp files, which instantiate it for their width.
#pragma once

#include <cstddef>

#include "kernels/winograd_tiles.h"

// GCC 12 reports the deliberately undefined source operand inside _mm512_max_ps as maybe
// uninitialised once the output transform inlines it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace trevalon {
namespace {  // each ISA file gets its own copy, compiled with its own flags

// Whole vectors use plain moves (masked stores are slow on some cores); only the tail is partial.
template <class Simd>
inline typename Simd::F load_lanes(const float* p, int remaining) {
  return remaining >= Simd::kWidth ? Simd::load(p) : Simd::load_first(p, remaining);
}
template <class Simd>
inline void store_lanes(float* p, typename Simd::F v, int remaining) {
  if (remaining >= Simd::kWidth)
    Simd::store(p, v);
  else
    Simd::store_first(p, v, remaining);
}

// V = B^T d B for tiles [tile_begin, tile_begin + tile_count); matrix k of tile t at
// V + k * matrix_stride + t * C.
template <class Simd>
void winograd_input_transform_simd(const float* input, int C, int H, int W, int tiles_w, int tile_begin,
                                   int tile_count, float* V, size_t matrix_stride) {
  using F = typename Simd::F;
  const size_t stride = matrix_stride;
  const F zero = Simd::zero();
  for (int t = 0; t < tile_count; ++t) {
    const int tile = tile_begin + t;
    const float* src[16];
    winograd_tile_pixels(input, C, H, W, tile / tiles_w, tile % tiles_w, src);
    float* dst = V + size_t(t) * size_t(C);
    for (int c = 0; c < C; c += Simd::kWidth) {
      const int n = C - c;
      F r[16];
      for (int x = 0; x < 4; ++x) {
        const F d0 = src[0 + x] ? load_lanes<Simd>(src[0 + x] + c, n) : zero;
        const F d1 = src[4 + x] ? load_lanes<Simd>(src[4 + x] + c, n) : zero;
        const F d2 = src[8 + x] ? load_lanes<Simd>(src[8 + x] + c, n) : zero;
        const F d3 = src[12 + x] ? load_lanes<Simd>(src[12 + x] + c, n) : zero;
        r[0 + x] = Simd::sub(d0, d2);
        r[4 + x] = Simd::add(d1, d2);
        r[8 + x] = Simd::sub(d2, d1);
        r[12 + x] = Simd::sub(d1, d3);
      }
      for (int i = 0; i < 4; ++i) {
        const F* ri = r + 4 * i;
        store_lanes<Simd>(dst + size_t(4 * i + 0) * stride + c, Simd::sub(ri[0], ri[2]), n);
        store_lanes<Simd>(dst + size_t(4 * i + 1) * stride + c, Simd::add(ri[1], ri[2]), n);
        store_lanes<Simd>(dst + size_t(4 * i + 2) * stride + c, Simd::sub(ri[2], ri[1]), n);
        store_lanes<Simd>(dst + size_t(4 * i + 3) * stride + c, Simd::sub(ri[1], ri[3]), n);
      }
    }
  }
}

// y = A^T m A, then bias and ReLU, written to the tile's 2x2 outputs that lie inside the image.
template <class Simd>
void winograd_output_transform_simd(const float* P, int C_out, int H, int W, int tiles_w, int tile_begin,
                                    int tile_count, const float* bias, bool relu, float* output,
                                    size_t matrix_stride) {
  using F = typename Simd::F;
  const size_t stride = matrix_stride;
  const F zero = Simd::zero();
  for (int t = 0; t < tile_count; ++t) {
    const int tile = tile_begin + t;
    const int oy = 2 * (tile / tiles_w), ox = 2 * (tile % tiles_w);
    const bool has_right = ox + 1 < W, has_below = oy + 1 < H;
    const float* src = P + size_t(t) * size_t(C_out);
    float* out00 = output + (size_t(oy) * size_t(W) + size_t(ox)) * size_t(C_out);
    float* out10 = out00 + size_t(W) * size_t(C_out);
    for (int n = 0; n < C_out; n += Simd::kWidth) {
      const int lanes = C_out - n;
      F s0[4], s1[4];
      for (int x = 0; x < 4; ++x) {
        const F m0 = load_lanes<Simd>(src + size_t(0 + x) * stride + n, lanes);
        const F m1 = load_lanes<Simd>(src + size_t(4 + x) * stride + n, lanes);
        const F m2 = load_lanes<Simd>(src + size_t(8 + x) * stride + n, lanes);
        const F m3 = load_lanes<Simd>(src + size_t(12 + x) * stride + n, lanes);
        s0[x] = Simd::add(Simd::add(m0, m1), m2);
        s1[x] = Simd::sub(Simd::sub(m1, m2), m3);
      }
      F y[4] = {Simd::add(Simd::add(s0[0], s0[1]), s0[2]), Simd::sub(Simd::sub(s0[1], s0[2]), s0[3]),
                Simd::add(Simd::add(s1[0], s1[1]), s1[2]), Simd::sub(Simd::sub(s1[1], s1[2]), s1[3])};
      if (bias) {
        const F b = load_lanes<Simd>(bias + n, lanes);
        for (F& v : y) v = Simd::add(v, b);
      }
      if (relu)
        for (F& v : y) v = Simd::max(v, zero);  // v > 0 ? v : 0, NaN becomes 0
      store_lanes<Simd>(out00 + n, y[0], lanes);
      if (has_right) store_lanes<Simd>(out00 + C_out + n, y[1], lanes);
      if (has_below) {
        store_lanes<Simd>(out10 + n, y[2], lanes);
        if (has_right) store_lanes<Simd>(out10 + C_out + n, y[3], lanes);
      }
    }
  }
}

}  // namespace
}  // namespace trevalon

#pragma GCC diagnostic pop
