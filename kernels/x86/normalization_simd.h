// The normalisation kernels over a lane type V. The row norms run V::kWidth rows at a time: lane j
// carries row j's statistics, so each row keeps the portable kernel's single chain in column order
// and every tier gives the same bits. A block of columns is loaded row by row and turned in registers
// (transpose_square) so that one vector holds one column of every row in the block; the output
// pass is then element-wise along each row. The instance norm's statistics run over time for each
// channel, so there lane j carries channel j and the rows are read as they lie.
//
// Included only by ISA files, after their lane type and after they define, for V::F:
//   transpose_square(F* t)  -- t[i] lane j <- t[j] lane i, for a V::kWidth x V::kWidth block
//   sqrt_lanes(F v)         -- correctly rounded square root of each lane
#pragma once

#include <cstddef>

#include "kernels/normalization.h"
#include "kernels/thread_pool.h"
#include "kernels/work_split.h"
#include "kernels/x86/row_block.h"

namespace trevalon {
namespace {

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
inline void rms_norm_f32_rows(const float* in, const float* weight, float* out, int rows, int cols,
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
inline void layer_norm_f32_rows(const float* in, const float* gamma, const float* beta, float* out, int rows,
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

template <class V>
inline void ada_layer_norm_f32_rows(const float* in, float* out, const float* gamma, const float* beta,
                                    int rows, int C, float eps) {
  using F = typename V::F;
  if (rows <= 0 || C <= 0) return;
  const F inv_c = V::set1(1.0f / static_cast<float>(C));
  const F eps_v = V::set1(eps), one = V::set1(1.0f);
  for (int first = 0; first < rows; first += V::kWidth) {
    const RowBlock<V> b(in, first, rows, C);
    const F m = V::mul(fold_columns<V>(b, C, V::zero(), [](F acc, F x) { return V::add(acc, x); }), inv_c);
    const F v = fold_columns<V>(b, C, V::zero(), [m](F acc, F x) {
      const F d = V::sub(x, m);
      return V::fmadd(d, d, acc);
    });
    alignas(64) float mean[V::kWidth], rstd[V::kWidth];
    V::store(mean, m);
    V::store(rstd, V::div(one, sqrt_lanes(V::add(V::mul(v, inv_c), eps_v))));
    for (int j = 0; j < b.count; ++j) {
      const F mj = V::set1(mean[j]), rj = V::set1(rstd[j]);
      map_row<V>(b.row[j], out + size_t(first + j) * size_t(C), C, [&](F x, int c, int n) {
        const F scale = V::add(load_part<V>(gamma + c, n), one);
        return V::fmadd(V::mul(V::sub(x, mj), rj), scale, load_part<V>(beta + c, n));
      });
    }
  }
}

// Up to kVectors vectors of channels per pass over time, so each row is read a cache line at a time.
template <class V>
inline void ada_in1d_channels(const float* in, float* out, const float* gamma, const float* beta, int rows,
                              int C, const float* norm_weight, float eps, const float* norm_bias, int c_first,
                              int c_last) {
  using F = typename V::F;
  constexpr int W = V::kWidth, kVectors = 4;
  const F inv_t = V::set1(1.0f / static_cast<float>(rows));
  const F eps_v = V::set1(eps), one = V::set1(1.0f);
  for (int c0 = c_first; c0 < c_last; c0 += W * kVectors) {
    int lanes[kVectors];  // channels in each vector of the block; 0 past the last
    for (int v = 0; v < kVectors; ++v) {
      const int left = c_last - c0 - v * W;
      lanes[v] = left <= 0 ? 0 : left < W ? left : W;
    }
    auto row = [&](auto* base, int t, int v) { return base + size_t(t) * size_t(C) + c0 + v * W; };

    F mean[kVectors], var[kVectors], k[kVectors];
    for (int v = 0; v < kVectors; ++v) mean[v] = var[v] = k[v] = V::zero();
    for (int t = 0; t < rows; ++t)
      for (int v = 0; v < kVectors && lanes[v]; ++v)
        mean[v] = V::add(mean[v], load_part<V>(row(in, t, v), lanes[v]));
    for (int v = 0; v < kVectors; ++v) mean[v] = V::mul(mean[v], inv_t);
    for (int t = 0; t < rows; ++t)
      for (int v = 0; v < kVectors && lanes[v]; ++v) {
        const F d = V::sub(load_part<V>(row(in, t, v), lanes[v]), mean[v]);
        var[v] = V::fmadd(d, d, var[v]);
      }
    for (int v = 0; v < kVectors && lanes[v]; ++v) {
      const F inv = V::div(one, sqrt_lanes(V::add(V::mul(inv_t, var[v]), eps_v)));
      k[v] = norm_weight ? V::mul(inv, load_part<V>(norm_weight + c0 + v * W, lanes[v])) : inv;
    }
    for (int t = 0; t < rows; ++t)
      for (int v = 0; v < kVectors && lanes[v]; ++v) {
        const int c = c0 + v * W, n = lanes[v];
        F y = V::mul(V::sub(load_part<V>(row(in, t, v), n), mean[v]), k[v]);
        if (norm_weight && norm_bias) y = V::add(y, load_part<V>(norm_bias + c, n));
        y = V::fmadd(y, V::add(one, load_part<V>(gamma + c, n)), load_part<V>(beta + c, n));
        if (n == W)
          V::store(row(out, t, v), y);
        else
          V::store_first(row(out, t, v), y, n);
      }
  }
}

// The entries split rows (or, for the instance norm, blocks of 64 channels) between threads: a
// row's or a channel's chain is the same in whichever lane and range it runs.
template <class V>
inline void rms_norm_f32_simd(const float* in, const float* weight, float* out, int rows, int cols,
                              float eps) {
  if (rows <= 0 || cols <= 0) return;
  parallel_for(size_t(rows), 16, rows_of_values(cols), [&](size_t b, size_t e) {
    rms_norm_f32_rows<V>(in + b * size_t(cols), weight, out + b * size_t(cols), int(e - b), cols, eps);
  });
}

template <class V>
inline void layer_norm_f32_simd(const float* in, const float* gamma, const float* beta, float* out, int rows,
                                int cols, float eps) {
  if (rows <= 0 || cols <= 0) return;
  parallel_for(size_t(rows), 16, rows_of_values(cols), [&](size_t b, size_t e) {
    layer_norm_f32_rows<V>(in + b * size_t(cols), gamma, beta, out + b * size_t(cols), int(e - b), cols, eps);
  });
}

template <class V>
inline void ada_layer_norm_f32_simd(const float* in, float* out, const float* gamma, const float* beta,
                                    int rows, int C, float eps) {
  if (rows <= 0 || C <= 0) return;
  parallel_for(size_t(rows), 16, rows_of_values(C), [&](size_t b, size_t e) {
    ada_layer_norm_f32_rows<V>(in + b * size_t(C), out + b * size_t(C), gamma, beta, int(e - b), C, eps);
  });
}

template <class V>
inline void ada_in1d_f32_simd(const float* in, float* out, const float* gamma, const float* beta, int rows,
                              int C, const float* norm_weight, float eps, const float* norm_bias) {
  if (rows <= 0 || C <= 0) return;
  parallel_for(size_t(C), 64, rows_of_values(rows), [&](size_t b, size_t e) {
    ada_in1d_channels<V>(in, out, gamma, beta, rows, C, norm_weight, eps, norm_bias, int(b), int(e));
  });
}

}  // namespace
}  // namespace trevalon
