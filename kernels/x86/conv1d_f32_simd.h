// One-dimensional float convolution kernels over the SIMD wrappers (F32x8, F32x16): vectors run
// across channels, and every output keeps the portable code's order of operations, so each tier
// gives its bits. Included only by the *_avx2.cpp / *_avx512.cpp files of this family.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/conv1d_f32.h"

namespace trevalon {
namespace {  // each ISA file gets its own copy, compiled with its own flags

template <class V>
typename V::F load_lanes(const float* p, int lanes) {
  return lanes == V::kWidth ? V::load(p) : V::load_first(p, lanes);
}

template <class V>
void store_lanes(float* p, typename V::F v, int lanes) {
  if (lanes == V::kWidth)
    V::store(p, v);
  else
    V::store_first(p, v, lanes);
}

template <class V>
void depthwise1d_simd(const float* x, int L, int C, int stride, int padding, int dilation, int taps,
                      const float* w_kc, const float* bias, float* y, int L_out, bool relu) {
  using F = typename V::F;
  for (int t = 0; t < L_out; ++t) {
    const int64_t first = int64_t(t) * stride - padding;
    // Taps [k0, k1) read rows inside the signal.
    int k0 = 0, k1 = taps;
    while (k0 < taps && first + int64_t(k0) * dilation < 0) ++k0;
    while (k1 > k0 && first + int64_t(k1 - 1) * dilation >= L) --k1;
    float* dst = y + size_t(t) * size_t(C);
    for (int c = 0; c < C; c += V::kWidth) {
      const int lanes = C - c < V::kWidth ? C - c : V::kWidth;
      F acc = V::zero();
      for (int k = k0; k < k1; ++k) {
        const float* src = x + size_t(first + int64_t(k) * dilation) * size_t(C) + c;
        acc = V::fmadd(load_lanes<V>(src, lanes), load_lanes<V>(w_kc + size_t(k) * size_t(C) + c, lanes), acc);
      }
      if (bias) acc = V::add(acc, load_lanes<V>(bias + c, lanes));
      if (relu) acc = V::max(acc, V::zero());
      store_lanes<V>(dst + c, acc, lanes);
    }
  }
}

template <class V>
void add_row_bias_simd(float* data, const float* bias, int rows, int cols) {
  if (rows <= 0 || cols <= 0) return;
  for (int r = 0; r < rows; ++r) {
    float* row = data + size_t(r) * size_t(cols);
    for (int c = 0; c < cols; c += V::kWidth) {
      const int lanes = cols - c < V::kWidth ? cols - c : V::kWidth;
      store_lanes<V>(row + c, V::add(load_lanes<V>(row + c, lanes), load_lanes<V>(bias + c, lanes)), lanes);
    }
  }
}

}  // namespace
}  // namespace trevalon
