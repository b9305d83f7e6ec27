// Float Winograd F(2x2, 3x3) tile transforms with AVX2: 8 channels per vector, masked tails.
// The additions run in the portable order (rows first, then columns), so the bits are the same.
#include <immintrin.h>

#include <cstddef>

#include "kernels/winograd_f32.h"

namespace trevalon {
namespace {

// Lane i is active when i < remaining.
inline __m256i tail_mask(int remaining) {
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(remaining < 8 ? remaining : 8), lanes);
}

// Whole vectors use plain moves (masked stores are slow on some cores); only the tail is masked.
struct Lanes {
  bool full;
  __m256i mask;
};
inline Lanes lanes_for(int remaining) { return Lanes{remaining >= 8, tail_mask(remaining)}; }
inline __m256 load(const float* p, const Lanes& l) {
  return l.full ? _mm256_loadu_ps(p) : _mm256_maskload_ps(p, l.mask);
}
inline void store(float* p, const Lanes& l, __m256 v) {
  if (l.full)
    _mm256_storeu_ps(p, v);
  else
    _mm256_maskstore_ps(p, l.mask, v);
}

}  // namespace

void winograd_input_transform_f32_avx2(const float* input, int C, int H, int W, int tiles_w,
                                         int tile_begin, int tile_count, float* V,
                                         size_t matrix_stride) {
  const size_t stride = matrix_stride;
  const __m256 zero = _mm256_setzero_ps();
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
    for (int c = 0; c < C; c += 8) {
      const Lanes m = lanes_for(C - c);
      __m256 r[16];
      for (int x = 0; x < 4; ++x) {
        const __m256 d0 = src[0 + x] ? load(src[0 + x] + c, m) : zero;
        const __m256 d1 = src[4 + x] ? load(src[4 + x] + c, m) : zero;
        const __m256 d2 = src[8 + x] ? load(src[8 + x] + c, m) : zero;
        const __m256 d3 = src[12 + x] ? load(src[12 + x] + c, m) : zero;
        r[0 + x] = _mm256_sub_ps(d0, d2);
        r[4 + x] = _mm256_add_ps(d1, d2);
        r[8 + x] = _mm256_sub_ps(d2, d1);
        r[12 + x] = _mm256_sub_ps(d1, d3);
      }
      for (int i = 0; i < 4; ++i) {
        const __m256* ri = r + 4 * i;
        store(dst + size_t(4 * i + 0) * stride + c, m, _mm256_sub_ps(ri[0], ri[2]));
        store(dst + size_t(4 * i + 1) * stride + c, m, _mm256_add_ps(ri[1], ri[2]));
        store(dst + size_t(4 * i + 2) * stride + c, m, _mm256_sub_ps(ri[2], ri[1]));
        store(dst + size_t(4 * i + 3) * stride + c, m, _mm256_sub_ps(ri[1], ri[3]));
      }
    }
  }
}

void winograd_output_transform_f32_avx2(const float* P, int C_out, int H, int W, int tiles_w,
                                          int tile_begin, int tile_count, const float* bias,
                                          bool relu, float* output, size_t matrix_stride) {
  const size_t stride = matrix_stride;
  const __m256 zero = _mm256_setzero_ps();
  for (int t = 0; t < tile_count; ++t) {
    const int tile = tile_begin + t;
    const int oy = 2 * (tile / tiles_w), ox = 2 * (tile % tiles_w);
    const bool has_right = ox + 1 < W, has_below = oy + 1 < H;
    const float* src = P + size_t(t) * size_t(C_out);
    float* out00 = output + (size_t(oy) * size_t(W) + size_t(ox)) * size_t(C_out);
    float* out10 = out00 + size_t(W) * size_t(C_out);
    for (int n = 0; n < C_out; n += 8) {
      const Lanes m = lanes_for(C_out - n);
      __m256 s0[4], s1[4];
      for (int x = 0; x < 4; ++x) {
        const __m256 m0 = load(src + size_t(0 + x) * stride + n, m);
        const __m256 m1 = load(src + size_t(4 + x) * stride + n, m);
        const __m256 m2 = load(src + size_t(8 + x) * stride + n, m);
        const __m256 m3 = load(src + size_t(12 + x) * stride + n, m);
        s0[x] = _mm256_add_ps(_mm256_add_ps(m0, m1), m2);
        s1[x] = _mm256_sub_ps(_mm256_sub_ps(m1, m2), m3);
      }
      __m256 y[4] = {_mm256_add_ps(_mm256_add_ps(s0[0], s0[1]), s0[2]),
                     _mm256_sub_ps(_mm256_sub_ps(s0[1], s0[2]), s0[3]),
                     _mm256_add_ps(_mm256_add_ps(s1[0], s1[1]), s1[2]),
                     _mm256_sub_ps(_mm256_sub_ps(s1[1], s1[2]), s1[3])};
      if (bias) {
        const __m256 b = load(bias + n, m);
        for (__m256& v : y) v = _mm256_add_ps(v, b);
      }
      if (relu)
        for (__m256& v : y) v = _mm256_max_ps(v, zero);  // v > 0 ? v : 0, NaN becomes 0
      store(out00 + n, m, y[0]);
      if (has_right) store(out00 + C_out + n, m, y[1]);
      if (has_below) {
        store(out10 + n, m, y[2]);
        if (has_right) store(out10 + C_out + n, m, y[3]);
      }
    }
  }
}

}  // namespace trevalon
