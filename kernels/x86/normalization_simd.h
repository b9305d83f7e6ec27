// RMS norm and layer norm over a lane type V, V::kWidth rows at a time: lane j carries row j's
// statistics, so each row keeps the portable kernel's single chain in column order and every tier
// gives the same bits. A block of columns is loaded row by row and turned in registers
// (transpose_square) so that one vector holds one column of every row in the block; the output
// pass is then element-wise along each row.
//
// Included only by ISA files, after their lane type and after they define, for V::F:
//   transpose_square(F* t)  -- t[i] lane j <- t[j] lane i, for a V::kWidth x V::kWidth block
//   sqrt_lanes(F v)         -- correctly rounded square root of each lane
#pragma once

#include <cstddef>

#include "kernels/normalization.h"

namespace trevalon {
namespace {

// Rows of a block of up to V::kWidth rows; lanes past the last row repeat it (computed, never
// stored), so a short block needs no scalar path.
template <class V>
struct RowBlock {
  const float* row[V::kWidth];
  int count;

  RowBlock(const float* in, int first, int rows, int cols) {
    count = rows - first < V::kWidth ? rows - first : V::kWidth;
    for (int j = 0; j < V::kWidth; ++j)
      row[j] = in + size_t(first + (j < count ? j : count - 1)) * size_t(cols);
  }
};

// acc = step(acc, column c) for c = 0 .. cols - 1 in order, lane j reading row j.
template <class V, class Step>
inline typename V::F fold_columns(const RowBlock<V>& b, int cols, typename V::F acc, Step step) {
  constexpr int W = V::kWidth;
  typename V::F t[W];
  int c0 = 0;
  for (; c0 + W <= cols; c0 += W) {
    for (int j = 0; j < W; ++j) t[j] = V::load(b.row[j] + c0);
    transpose_square(t);
    for (int i = 0; i < W; ++i) acc = step(acc, t[i]);
  }
  if (c0 < cols) {
    const int k = cols - c0;
    for (int j = 0; j < W; ++j) t[j] = V::load_first(b.row[j] + c0, k);
    transpose_square(t);
    for (int i = 0; i < k; ++i) acc = step(acc, t[i]);
  }
  return acc;
}

// y[c] = f(x[c], c) along one row, f taking and giving lanes; `n` lanes valid.
template <class V, class F>
inline void map_row(const float* x, float* y, int cols, F f) {
  int c = 0;
  for (; c + V::kWidth <= cols; c += V::kWidth) V::store(y + c, f(V::load(x + c), c, V::kWidth));
  if (c < cols) V::store_first(y + c, f(V::load_first(x + c, cols - c), c, cols - c), cols - c);
}

template <class V>
inline typename V::F load_part(const float* p, int n) {
  return n == V::kWidth ? V::load(p) : V::load_first(p, n);
}

template <class V>
inline void rms_norm_f32_simd(const float* in, const float* weight, float* out, int rows, int cols,
                              float eps) {
  using F = typename V::F;
  if (rows <= 0 || cols <= 0) return;
  if (cols <= 3) {  // x * weight / r: a different formula, and nothing to gain from lanes
    rms_norm_f32_portable(in, weight, out, rows, cols, eps);
    return;
  }
  const F inv_c = V::set1(1.0f / static_cast<float>(cols));
  const F eps_v = V::set1(eps);
  for (int first = 0; first < rows; first += V::kWidth) {
    const RowBlock<V> b(in, first, rows, cols);
    const F s = fold_columns<V>(b, cols, V::zero(), [](F acc, F x) { return V::fmadd(x, x, acc); });
    alignas(64) float inv[V::kWidth];
    V::store(inv, V::div(V::set1(1.0f), sqrt_lanes(V::fmadd(s, inv_c, eps_v))));
    for (int j = 0; j < b.count; ++j) {
      const F k = V::set1(inv[j]);
      float* y = out + size_t(first + j) * size_t(cols);
      if (weight)
        map_row<V>(b.row[j], y, cols,
                   [&](F x, int c, int n) { return V::mul(V::mul(x, k), load_part<V>(weight + c, n)); });
      else
        map_row<V>(b.row[j], y, cols, [&](F x, int, int) { return V::mul(x, k); });
    }
  }
}

template <class V>
inline void layer_norm_f32_simd(const float* in, const float* gamma, const float* beta, float* out, int rows,
                                int cols, float eps) {
  using F = typename V::F;
  if (rows <= 0 || cols <= 0) return;
  const F inv_c = V::set1(1.0f / static_cast<float>(cols));
  const F eps_v = V::set1(eps);
  for (int first = 0; first < rows; first += V::kWidth) {
    const RowBlock<V> b(in, first, rows, cols);
    const F m = V::mul(fold_columns<V>(b, cols, V::zero(), [](F acc, F x) { return V::add(acc, x); }), inv_c);
    const F v = fold_columns<V>(b, cols, V::zero(), [m](F acc, F x) {
      const F d = V::sub(x, m);
      return V::fmadd(d, d, acc);
    });
    alignas(64) float mean[V::kWidth], rstd[V::kWidth];
    V::store(mean, m);
    V::store(rstd, V::div(V::set1(1.0f), sqrt_lanes(V::fmadd(v, inv_c, eps_v))));
    for (int j = 0; j < b.count; ++j) {
      const F mj = V::set1(mean[j]), rj = V::set1(rstd[j]);
      float* y = out + size_t(first + j) * size_t(cols);
      auto norm = [&](F x) { return V::mul(V::sub(x, mj), rj); };
      if (gamma && beta)
        map_row<V>(b.row[j], y, cols, [&](F x, int c, int n) {
          return V::fmadd(norm(x), load_part<V>(gamma + c, n), load_part<V>(beta + c, n));
        });
      else if (gamma)
        map_row<V>(b.row[j], y, cols,
                   [&](F x, int c, int n) { return V::mul(norm(x), load_part<V>(gamma + c, n)); });
      else if (beta)
        map_row<V>(b.row[j], y, cols,
                   [&](F x, int c, int n) { return V::add(norm(x), load_part<V>(beta + c, n)); });
      else
        map_row<V>(b.row[j], y, cols, [&](F x, int, int) { return norm(x); });
    }
  }
}

}  // namespace
}  // namespace trevalon
