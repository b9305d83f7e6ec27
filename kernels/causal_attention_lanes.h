// The causal attention core over a lane type V (one float, F32x8 or F32x16). Every tier runs these
// steps in this order, so they agree bit for bit: scores put cached positions across the lanes
// (each score one fused chain over the head's dimensions, in order), the weighted value sum puts
// the head's dimensions across the lanes (each output one fused chain over the positions, in
// order). The lane type brings, besides the usual operations:
//   exp(F)              -- the activation kernels' exp polynomial, lane by lane
//   transpose(F* t)     -- t[i] lane j <- t[j] lane i, for a kWidth x kWidth block
// Included by the portable and the ISA files, each compiling its own copy.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

#include "kernels/causal_attention.h"
#include "kernels/thread_pool.h"
#include "kernels/thread_work.h"

namespace trevalon {
namespace {

// Value rows ahead of the weighted sum that are asked for (a hint only: it changes no result).
constexpr size_t kValueRowsAhead = 8;

// Rotates each head of `rows` (T rows of `heads` vectors of hd floats, row stride `stride`) at
// absolute position offset + t: the pair (v[i], v[i + hd/2]) turns by f_i x position.
inline void rotate_heads(float* rows, int T, size_t stride, int heads, int hd, const float* freq,
                         int offset) {
  const int half = hd / 2;
  for (int t = 0; t < T; ++t) {
    const float pos = float(offset + t);
    float* row = rows + size_t(t) * stride;
    for (int i = 0; i < half; ++i) {
      const float angle = freq[i] * pos;
      const float c = std::cos(angle), s = std::sin(angle);
      for (int h = 0; h < heads; ++h) {
        float* x = row + size_t(h) * hd;
        const float x1 = x[i], x2 = x[i + half];
        x[i] = c * x1 - s * x2;
        x[i + half] = c * x2 + s * x1;
      }
    }
  }
}

// Up to W keys (rows, `count` of them) as kt[d][lane], dimensions 0..hd-1; lanes past `count` are 0.
template <class V>
inline void transpose_keys(const float* const* rows, int count, int hd, float* kt) {
  using F = typename V::F;
  constexpr int W = V::kWidth;
  F t[W];
  for (int d0 = 0; d0 < hd; d0 += W) {
    const int dn = hd - d0 < W ? hd - d0 : W;
    for (int l = 0; l < W; ++l) t[l] = l < count ? V::load_first(rows[l] + d0, dn) : V::zero();
    V::transpose(t);
    for (int i = 0; i < dn; ++i) V::store(kt + size_t(d0 + i) * W, t[i]);
  }
}

// R queries against the block's keys: dst[r][lane] = (sum over d of q[r][d] k[lane][d]) x scale.
template <class V, int R>
inline void score_queries(const float* const* q, const float* kt, int hd, float scale, float* const* dst,
                          int count) {
  using F = typename V::F;
  constexpr int W = V::kWidth;
  F acc[R];
  for (int r = 0; r < R; ++r) acc[r] = V::zero();
  for (int d = 0; d < hd; ++d) {
    const F kv = V::load(kt + size_t(d) * W);
    for (int r = 0; r < R; ++r) acc[r] = V::fmadd(V::set1(q[r][d]), kv, acc[r]);
  }
  const F sc = V::set1(scale);
  for (int r = 0; r < R; ++r) V::store_first(dst[r], V::mul(acc[r], sc), count);
}

template <class V>
inline void score_some(const float* const* q, int n, const float* kt, int hd, float scale, float* const* dst,
                       int count) {
  switch (n) {
    case 4: score_queries<V, 4>(q, kt, hd, scale, dst, count); break;
    case 3: score_queries<V, 3>(q, kt, hd, scale, dst, count); break;
    case 2: score_queries<V, 2>(q, kt, hd, scale, dst, count); break;
    default: score_queries<V, 1>(q, kt, hd, scale, dst, count); break;
  }
}

// Softmax over the first L scores of a row of n: the rest become -1e30, the first L become
// exp(s - max) x (1 / total), the total summed in position order.
template <class V>
inline void softmax_visible(float* s, int L, int n) {
  using F = typename V::F;
  constexpr int W = V::kWidth;
  for (int j = L; j < n; ++j) s[j] = -1.0e30f;
  F mv = V::set1(-std::numeric_limits<float>::infinity());
  int j = 0;
  for (; j + W <= L; j += W) mv = V::max(V::load(s + j), mv);
  float lanes[W];
  V::store(lanes, mv);
  float m = lanes[0];
  for (int l = 1; l < W; ++l) m = lanes[l] > m ? lanes[l] : m;
  for (; j < L; ++j) m = s[j] > m ? s[j] : m;
  const F mb = V::set1(m);
  for (j = 0; j + W <= L; j += W) V::store(s + j, V::exp(V::sub(V::load(s + j), mb)));
  if (j < L) V::store_first(s + j, V::exp(V::sub(V::load_first(s + j, L - j), mb)), L - j);
  float total = 0.0f;
  for (j = 0; j < L; ++j) total += s[j];
  const F inv = V::set1(total > 0.0f ? 1.0f / total : 0.0f);
  for (j = 0; j + W <= L; j += W) V::store(s + j, V::mul(V::load(s + j), inv));
  if (j < L) V::store_first(s + j, V::mul(V::load_first(s + j, L - j), inv), L - j);
}

// out[r][dims] = sum over j < L of w[r][j] v[j][dims], fused, j ascending: R rows by D vectors of
// dimensions, the last holding `last` lanes.
template <class V, int R, int D>
inline void value_queries(const float* const* w, const float* v, size_t vstride, int L, int last,
                          float* const* out) {
  using F = typename V::F;
  constexpr int W = V::kWidth;
  F acc[R][D];
  for (int r = 0; r < R; ++r)
    for (int c = 0; c < D; ++c) acc[r][c] = V::zero();
  for (int j = 0; j < L; ++j) {
    const float* row = v + size_t(j) * vstride;
    F vv[D];
    // Rows far apart in a cache the weights' stream has evicted: ask for later ones early.
    for (int c = 0; c < D; ++c) __builtin_prefetch(row + kValueRowsAhead * vstride + c * W);
    for (int c = 0; c < D - 1; ++c) vv[c] = V::load(row + c * W);
    vv[D - 1] = last == W ? V::load(row + (D - 1) * W) : V::load_first(row + (D - 1) * W, last);
    for (int r = 0; r < R; ++r) {
      const F wr = V::set1(w[r][j]);
      for (int c = 0; c < D; ++c) acc[r][c] = V::fmadd(wr, vv[c], acc[r][c]);
    }
  }
  for (int r = 0; r < R; ++r) {
    for (int c = 0; c < D - 1; ++c) V::store(out[r] + c * W, acc[r][c]);
    V::store_first(out[r] + (D - 1) * W, acc[r][D - 1], last);
  }
}

template <class V, int R, int DA>
inline void value_rows(const float* const* w, const float* v, size_t vstride, int L, int hd,
                       float* const* out) {
  constexpr int W = V::kWidth;
  const float* wr[R];
  float* o[R];
  for (int d0 = 0; d0 < hd; d0 += DA * W) {
    const int dims = hd - d0 < DA * W ? hd - d0 : DA * W;
    const int vecs = (dims + W - 1) / W, last = dims - (vecs - 1) * W;
    for (int r = 0; r < R; ++r) {
      wr[r] = w[r];
      o[r] = out[r] + d0;
    }
    switch (vecs) {
      case 4:
        if constexpr (DA >= 4) value_queries<V, R, 4>(wr, v + d0, vstride, L, last, o);
        break;
      case 3:
        if constexpr (DA >= 3) value_queries<V, R, 3>(wr, v + d0, vstride, L, last, o);
        break;
      case 2:
        if constexpr (DA >= 2) value_queries<V, R, 2>(wr, v + d0, vstride, L, last, o);
        break;
      default: value_queries<V, R, 1>(wr, v + d0, vstride, L, last, o); break;
    }
  }
}

template <class V, int DA>
inline void value_some(const float* const* w, int n, const float* v, size_t vstride, int L, int hd,
                       float* const* out) {
  switch (n) {
    case 4: value_rows<V, 4, DA>(w, v, vstride, L, hd, out); break;
    case 3: value_rows<V, 3, DA>(w, v, vstride, L, hd, out); break;
    case 2: value_rows<V, 2, DA>(w, v, vstride, L, hd, out); break;
    default: value_rows<V, 1, DA>(w, v, vstride, L, hd, out); break;
  }
}

// Tasks of `macs` multiply-adds each that make a range worth handing to another thread.
inline size_t tasks_worth_splitting(size_t macs) {
  constexpr size_t kRangeMacs = size_t(1) << 18;
  return macs >= kRangeMacs ? 1 : (kRangeMacs + (macs ? macs : 1) - 1) / (macs ? macs : 1);
}

// A softmax value (maximum, exponential, sum, scaling) costs about as much as this many
// multiply-adds of the products.
constexpr size_t kSoftmaxCost = 32;

// body(task) for every task: in order on the caller when tasks of up to `macs` multiply-adds are
// too little to share, else claimed one at a time by the threads, so that tasks of unequal size
// (a prompt's later positions see more keys) even out.
template <class Body>
inline void run_tasks(size_t tasks, size_t macs, Body&& body) {
  if (range_count(tasks, tasks_worth_splitting(macs)) <= 1) {
    for (size_t task = 0; task < tasks; ++task) body(task);
    return;
  }
  parallel_tasks(tasks, body);
}

// The scores of key head kh's positions j0 .. j0 + W - 1 (those that exist) for every new
// position that sees them: the keys turned into kt, then each group of up to four query heads.
template <class V>
inline void score_key_block(const float* rows, const float* keys, float* scores, float* kt, int kh, int j0,
                            int n, int P, int T, int nq, int group, int hd, size_t kw, size_t stride,
                            float scale) {
  constexpr int W = V::kWidth;
  const float* qrow[4];
  float* dst[4];
  const int g0 = kh * group;
  const int count = n - j0 < W ? n - j0 : W;
  const float* krows[W];
  for (int l = 0; l < W; ++l) krows[l] = keys + size_t(j0 + (l < count ? l : 0)) * kw + size_t(kh) * hd;
  for (int l = 0; l < W && j0 + W + l < n; ++l)  // the next block's rows, while this one is summed
    for (int d = 0; d < hd; d += 16) __builtin_prefetch(keys + size_t(j0 + W + l) * kw + size_t(kh) * hd + d);
  transpose_keys<V>(krows, count, hd, kt);
  // Position t sees j0 only when P + t >= j0.
  for (int t = j0 > P ? j0 - P : 0; t < T; ++t) {
    for (int g = g0; g < g0 + group; g += 4) {
      const int m = g0 + group - g < 4 ? g0 + group - g : 4;
      for (int r = 0; r < m; ++r) {
        qrow[r] = rows + size_t(t) * stride + size_t(g + r) * hd;
        dst[r] = scores + (size_t(t) * nq + g + r) * n + j0;
      }
      score_some<V>(qrow, m, kt, hd, scale, dst, count);
    }
  }
}

// The whole kernel for one lane type; DA dimension vectors per value block.
template <class V, int DA>
void causal_attn_core_lanes(const float* q, const float* k, const float* v, float* cache, int P, int capacity,
                            float* out, int T, float rope_theta, int nq, int nkv, int hd, int rope_offset,
                            float* scratch) {
  constexpr int W = V::kWidth;
  static_assert(W <= 16, "the key block of the scratch holds 16 positions");
  if (T <= 0 || nq <= 0 || nkv <= 0 || hd <= 0 || nq % nkv != 0 || P < 0 || capacity < 0 ||
      int64_t(P) + T > capacity)
    return;
  const int n = P + T;  // positions in the cache after this call
  const int group = nq / nkv;
  const size_t qw = size_t(nq) * hd, kw = size_t(nkv) * hd, stride = qw + kw;

  // Scratch: copied rows (T x stride), score rows (T x nq x n), a key block, the frequencies.
  float* rows = scratch;
  float* scores = rows + size_t(T) * stride;
  float* kt = scores + size_t(T) * nq * size_t(n);
  float* freq = kt + size_t(16) * hd;

  if (hd > 1) {
    const float inv_hd = 1.0f / float(hd);
    for (int i = 0; i < hd / 2; ++i) freq[i] = std::pow(rope_theta, -(float(2 * i) * inv_hd));
  }
  float* keys = cache;
  float* values = cache + size_t(capacity) * kw;
  // Each new position's rows: copied, rotated at its own position, appended to the cache (its
  // rows of the cache are its own).
  parallel_for(size_t(T), 1, 8, [&](size_t t0, size_t t1) {
    for (size_t t = t0; t < t1; ++t) {
      std::memcpy(rows + t * stride, q + t * qw, qw * sizeof(float));
      std::memcpy(rows + t * stride + qw, k + t * kw, kw * sizeof(float));
    }
    if (hd > 1)
      rotate_heads(rows + t0 * stride, int(t1 - t0), stride, nq + nkv, hd, freq, rope_offset + int(t0));
    for (size_t t = t0; t < t1; ++t) {
      std::memcpy(keys + (size_t(P) + t) * kw, rows + t * stride + qw, kw * sizeof(float));
      std::memcpy(values + (size_t(P) + t) * kw, v + t * kw, kw * sizeof(float));
    }
  });

  const float scale = 1.0f / std::sqrt(float(hd));
  const size_t group_macs = size_t(group) * size_t(hd);

  // Scores: one task per block of W positions and key head, the blocks that the most new
  // positions see first (each score is computed whole, with the same block of keys, whichever
  // thread runs it). Shared, each thread turns keys in its own buffer.
  const int blocks = (n + W - 1) / W;
  run_tasks(size_t(nkv) * size_t(blocks), size_t(W) * size_t(T) * group_macs, [&](size_t task) {
    float* kt_own =
        in_parallel_region() ? thread_work<float>(WorkBuffer::CausalKeyBlock, size_t(16) * hd) : kt;
    const int kh = int(task % size_t(nkv));
    const int j0 = int(task / size_t(nkv)) * W;
    score_key_block<V>(rows, keys, scores, kt_own, kh, j0, n, P, T, nq, group, hd, kw, stride, scale);
  });

  parallel_for(size_t(T) * size_t(nq), 1, tasks_worth_splitting(size_t(n) * kSoftmaxCost),
               [&](size_t first, size_t last) {
                 for (size_t r = first; r < last; ++r) {
                   const int t = int(r / size_t(nq));
                   softmax_visible<V>(scores + r * n, P + t + 1, n);
                 }
               });

  // Weighted values: one task per position and key head, the last positions (the most keys)
  // first; a task's query heads go in groups of four, and it writes its own heads' columns.
  run_tasks(size_t(T) * size_t(nkv), size_t(n) * group_macs, [&](size_t task) {
    const int t = T - 1 - int(task / size_t(nkv)), kh = int(task % size_t(nkv));
    const int g0 = kh * group;
    const float* wrow[4];
    float* dst[4];
    for (int g = g0; g < g0 + group; g += 4) {
      const int m = g0 + group - g < 4 ? g0 + group - g : 4;
      for (int r = 0; r < m; ++r) {
        wrow[r] = scores + (size_t(t) * nq + g + r) * n;
        dst[r] = out + size_t(t) * qw + size_t(g + r) * hd;
      }
      value_some<V, DA>(wrow, m, values + size_t(kh) * hd, kw, P + t + 1, hd, dst);
    }
  });
}

}  // namespace
}  // namespace trevalon
