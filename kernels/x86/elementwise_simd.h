// Float element-wise kernels (add, product, scale, snake, bilinear upsampling) over a lane type V; the same
// arithmetic as the portable kernels, vectorised across elements or channels. Included only by ISA
// files, after their lane type.
#pragma once

#include <math.h>
#include <cstddef>
#include <cstring>

#include "kernels/bilinear_taps.h"
#include "kernels/x86/activation_simd.h"

namespace trevalon {
namespace {

template <class V>
inline void add_f32_simd(const float* a, const float* b, float* out, int count, bool relu) {
  using F = typename V::F;
  if (!b) {
    map_all<V>(a, out, count, [relu](F x) { return relu ? V::relu(x) : x; });
    return;
  }
  if (count <= 0) return;
  int i = 0;
  for (; i + V::kWidth <= count; i += V::kWidth) {
    const F s = V::add(V::load(a + i), V::load(b + i));
    V::store(out + i, relu ? V::relu(s) : s);
  }
  if (i < count) {
    const int n = count - i;
    const F s = V::add(V::load_first(a + i, n), V::load_first(b + i, n));
    V::store_first(out + i, relu ? V::relu(s) : s, n);
  }
}

template <class V>
inline void elemwise_mul_f32_simd(const float* a, const float* b, float* out, int count) {
  if (count <= 0) return;
  int i = 0;
  for (; i + V::kWidth <= count; i += V::kWidth) V::store(out + i, V::mul(V::load(b + i), V::load(a + i)));
  if (i < count) {
    const int n = count - i;
    V::store_first(out + i, V::mul(V::load_first(b + i, n), V::load_first(a + i, n)), n);
  }
}

template <class V>
inline void scale_f32_simd(const float* in, float* out, int count, float scalar) {
  const typename V::F k = V::set1(scalar);
  map_all<V>(in, out, count, [k](typename V::F x) { return V::mul(x, k); });
}

template <class V>
inline typename V::F snake_lanes(typename V::F x, typename V::F alpha, const float* inv, int c, int n) {
  using F = typename V::F;
  const F s = sin_v<V>(V::mul(alpha, x));
  const F s2 = V::mul(s, s);
  if (inv) return V::fmadd(s2, n == V::kWidth ? V::load(inv + c) : V::load_first(inv + c, n), x);
  return V::add(x, V::div(s2, V::add(alpha, V::set1(1e-9f))));
}

template <class V>
inline void snake_f32_simd(const float* in, float* out, const float* alpha, const float* inv, int positions,
                           int C) {
  if (positions <= 0 || C <= 0) return;
  const size_t total = size_t(positions) * size_t(C);
  if (!alpha) {
    if (out != in) std::memmove(out, in, total * sizeof(float));
    return;
  }
  const int grouped = C & ~3;  // channels past the last group of four use sinf
  for (size_t base = 0; base < total; base += size_t(C)) {
    const float* x = in + base;
    float* o = out + base;
    int c = 0;
    for (; c + V::kWidth <= grouped; c += V::kWidth)
      V::store(o + c, snake_lanes<V>(V::load(x + c), V::load(alpha + c), inv, c, V::kWidth));
    if (c < grouped) {
      const int n = grouped - c;
      V::store_first(o + c, snake_lanes<V>(V::load_first(x + c, n), V::load_first(alpha + c, n), inv, c, n),
                     n);
    }
    for (c = grouped; c < C; ++c) {
      const float s = sinf(alpha[c] * x[c]);
      o[c] = inv ? fmaf(s * s, inv[c], x[c]) : x[c] + (s * s) / (alpha[c] + 1e-9f);
    }
  }
}

template <class V>
inline typename V::F bilinear_lanes(const float* a, const float* b, const float* c, const float* d,
                                    const typename V::F* w, int n) {
  auto ld = [n](const float* p) { return n == V::kWidth ? V::load(p) : V::load_first(p, n); };
  typename V::F v = V::mul(ld(a), w[0]);
  v = V::fmadd(ld(b), w[1], v);
  v = V::fmadd(ld(c), w[2], v);
  return V::fmadd(ld(d), w[3], v);
}

template <class V>
inline void upsample_bilinear_f32_simd(const float* in, float* out, int C, int H, int W, int out_H,
                                       int out_W) {
  if (C <= 0 || H <= 0 || W <= 0 || out_H <= 0 || out_W <= 0) return;
  const float inv_h = 1.0f / static_cast<float>(out_H);
  const float inv_w = 1.0f / static_cast<float>(out_W);
  const size_t row_stride = size_t(W) * size_t(C);
  for (int oy = 0; oy < out_H; ++oy) {
    const BilinearTap ty = bilinear_tap(oy, H, inv_h);
    const float* upper = in + size_t(ty.lo) * row_stride;
    const float* lower = in + size_t(ty.hi) * row_stride;
    for (int ox = 0; ox < out_W; ++ox) {
      const BilinearTap tx = bilinear_tap(ox, W, inv_w);
      const typename V::F w[4] = {V::set1((1.0f - tx.frac) * (1.0f - ty.frac)),
                                  V::set1(tx.frac * (1.0f - ty.frac)), V::set1((1.0f - tx.frac) * ty.frac),
                                  V::set1(tx.frac * ty.frac)};
      const float* a = upper + size_t(tx.lo) * size_t(C);
      const float* b = upper + size_t(tx.hi) * size_t(C);
      const float* c = lower + size_t(tx.lo) * size_t(C);
      const float* d = lower + size_t(tx.hi) * size_t(C);
      int ch = 0;
      for (; ch + V::kWidth <= C; ch += V::kWidth)
        V::store(out + ch, bilinear_lanes<V>(a + ch, b + ch, c + ch, d + ch, w, V::kWidth));
      if (ch < C)
        V::store_first(out + ch, bilinear_lanes<V>(a + ch, b + ch, c + ch, d + ch, w, C - ch), C - ch);
      out += C;
    }
  }
}

}  // namespace
}  // namespace trevalon
