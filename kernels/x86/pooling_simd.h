// Max and global average pooling over lane types: V for floats, B for int8 bytes. The window walk
// is the portable one; channels run across the lanes. Included only by ISA files.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/pool_window.h"

namespace trevalon {
namespace {

// Max pool on any lane type L offering load/load_first/store/store_first/max/set1 over T.
template <class L, class T>
inline void maxpool_simd(const T* in, T* out, int C, int H, int W, int kH, int kW, int stride_h, int stride_w,
                         int pad_h, int pad_w, T lowest) {
  const size_t row = size_t(W) * size_t(C);
  for_each_pool_window(C, H, W, kH, kW, stride_h, stride_w, pad_h, pad_w,
                       [&](size_t offset, const PoolWindow& win) {
                         for (int c = 0; c < C; c += L::kWidth) {
                           const int n = C - c < L::kWidth ? C - c : L::kWidth;
                           auto acc = L::set1(lowest);
                           for (int64_t y = win.y0; y < win.y1; ++y)
                             for (int64_t x = win.x0; x < win.x1; ++x) {
                               const T* p = in + size_t(y) * row + size_t(x) * size_t(C) + size_t(c);
                               acc = L::max(n == L::kWidth ? L::load(p) : L::load_first(p, n), acc);
                             }
                           if (n == L::kWidth)
                             L::store(out + offset + size_t(c), acc);
                           else
                             L::store_first(out + offset + size_t(c), acc, n);
                         }
                       });
}

// Channels [c_begin, c_end) of a global average pool over `positions` rows of C channels.
template <class V>
inline void avgpool_f32_simd_channels(const float* in, float* out, int C, int64_t positions, int c_begin,
                                      int c_end) {
  auto each_chunk = [c_begin, c_end](auto body) {
    int c = c_begin;
    for (; c + V::kWidth <= c_end; c += V::kWidth) body(c, V::kWidth);
    if (c < c_end) body(c, c_end - c);
  };
  auto load = [](const float* p, int n) { return n == V::kWidth ? V::load(p) : V::load_first(p, n); };
  auto store = [](float* p, typename V::F v, int n) {
    if (n == V::kWidth)
      V::store(p, v);
    else
      V::store_first(p, v, n);
  };
  // The output row is the accumulator, as in the portable kernel: the input streams by once and
  // every channel adds its positions in row order.
  each_chunk([&](int c, int n) { store(out + c, V::zero(), n); });
  for (int64_t p = 0; p < positions; ++p) {
    const float* x = in + size_t(p) * size_t(C);
    each_chunk([&](int c, int n) { store(out + c, V::add(load(out + c, n), load(x + c, n)), n); });
  }
  const typename V::F inv = V::set1(positions ? 1.0f / static_cast<float>(positions) : 0.0f);
  each_chunk([&](int c, int n) { store(out + c, V::mul(load(out + c, n), inv), n); });
}

template <class V>
inline void avgpool_f32_simd(const float* in, float* out, int C, int H, int W) {
  if (C <= 0) return;
  const int64_t positions = (H > 0 && W > 0) ? int64_t(H) * W : 0;
  // Ranges of whole vectors: every channel adds in its own lane, so the ranges only decide which
  // thread forms it.
  pool_channel_ranges(C, positions, V::kWidth, [&](int c_begin, int c_end) {
    avgpool_f32_simd_channels<V>(in, out, C, positions, c_begin, c_end);
  });
}

}  // namespace
}  // namespace trevalon
