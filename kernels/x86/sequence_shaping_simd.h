// The channel sum over a lane type V, V::kWidth positions at a time, one position per lane: a
// block of columns is loaded row by row and turned in registers, so each lane adds its row's
// channels in the portable kernel's order. Included only by ISA files, after their lane type and
// transpose_square(F* t) for a V::kWidth x V::kWidth block.
#pragma once

#include <cstddef>

#include "kernels/sequence_shaping_f32.h"
#include "kernels/x86/row_block.h"

namespace trevalon {
namespace {

template <class V>
inline void sum_channels_f32_simd(const float* in, float* out, int positions, int C) {
  using F = typename V::F;
  constexpr int W = V::kWidth;  // a multiple of four: column c0 + i feeds partial sum i % 4
  if (positions <= 0) return;
  if (C <= 0) {
    for (int t = 0; t < positions; ++t) out[t] = 0.0f;
    return;
  }
  const int grouped = C - C % 4;
  for (int first = 0; first < positions; first += W) {
    const RowBlock<V> b(in, first, positions, C);
    F p[4] = {V::zero(), V::zero(), V::zero(), V::zero()};
    F t[W];
    int c0 = 0;
    for (; c0 + W <= grouped; c0 += W) {
      for (int j = 0; j < W; ++j) t[j] = V::load(b.row[j] + c0);
      transpose_square(t);
      for (int i = 0; i < W; ++i) p[i % 4] = V::add(p[i % 4], t[i]);
    }
    // Fewer than W columns are left: the rest of the groups of four, then at most three more.
    const int left = C - c0, in_groups = grouped - c0;
    if (left > 0) {
      for (int j = 0; j < W; ++j) t[j] = V::load_first(b.row[j] + c0, left);
      transpose_square(t);
      for (int i = 0; i < in_groups; ++i) p[i % 4] = V::add(p[i % 4], t[i]);
    }
    F s = V::add(V::add(V::add(p[0], p[1]), p[2]), p[3]);
    for (int i = in_groups; i < left; ++i) s = V::add(s, t[i]);
    if (b.count == W)
      V::store(out + first, s);
    else
      V::store_first(out + first, s, b.count);
  }
}

}  // namespace
}  // namespace trevalon
