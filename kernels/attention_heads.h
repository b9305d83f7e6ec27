// The attention core over a lane type V (one float, F32x8 or F32x16, each with an `exp` giving the
// shared polynomial): every tier runs these steps in this order, so they agree bit for bit. Scores
// put query rows across the lanes (each score is one fused chain over the head's dimensions, in
// order); the weighted value sum puts the head's dimensions across the lanes. Included by the
// portable and the ISA attention files, each compiling its own copy.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

#include "kernels/thread_pool.h"
#include "kernels/thread_work.h"
#include "kernels/work_split.h"

namespace trevalon {
namespace {

// Queries and keys per tile. Score tiles are stored key-major: s[j * kAttnTile + i].
constexpr int kAttnTile = 64;

inline int round_up(int n, int to) { return (n + to - 1) / to * to; }

// s[c][lanes of r] for R row vectors (starting at qt, row stride qstride: Qt[d][i]) and C keys
// (row-major k, stride hd): one accumulator per score, d ascending, then times the scale.
template <class V, int R, int C>
inline void score_block(const float* qt, size_t qstride, const float* k, int hd, float scale, float* s) {
  using F = typename V::F;
  constexpr int W = V::kWidth;
  F acc[R][C];
  for (int r = 0; r < R; ++r)
    for (int c = 0; c < C; ++c) acc[r][c] = V::zero();
  for (int d = 0; d < hd; ++d) {
    F q[R];
    for (int r = 0; r < R; ++r) q[r] = V::load(qt + size_t(d) * qstride + r * W);
    for (int c = 0; c < C; ++c) {
      const F kc = V::set1(k[size_t(c) * hd + d]);
      for (int r = 0; r < R; ++r) acc[r][c] = V::fmadd(q[r], kc, acc[r][c]);
    }
  }
  const F sc = V::set1(scale);
  for (int r = 0; r < R; ++r)
    for (int c = 0; c < C; ++c) V::store(s + c * kAttnTile + r * W, V::mul(acc[r][c], sc));
}

template <class V, int R, int C>
inline void score_rows(const float* qt, size_t qstride, const float* k, int hd, int keys, float scale,
                       float* s) {
  int c = 0;
  for (; c + C <= keys; c += C)
    score_block<V, R, C>(qt, qstride, k + size_t(c) * hd, hd, scale, s + c * kAttnTile);
  for (; c < keys; ++c) score_block<V, R, 1>(qt, qstride, k + size_t(c) * hd, hd, scale, s + c * kAttnTile);
}

// Running softmax over one tile, lanes across query rows: mt = the tile's row maximum, p = exp(s -
// mt) with its sum st (keys in order), m' = max(m, mt), a = exp(m - m'), b = exp(mt - m'),
// l = l a + b st (fused); the tile becomes the weights b p, and `a` the factor for the accumulator.
template <class V>
inline void tile_softmax(float* s, int keys, int rvec, float* m, float* l, float* a) {
  using F = typename V::F;
  constexpr int W = V::kWidth;
  for (int rv = 0; rv < rvec; ++rv) {
    const int o = rv * W;
    F mt = V::load(s + o);
    for (int j = 1; j < keys; ++j) mt = V::max(V::load(s + j * kAttnTile + o), mt);
    F st = V::zero();
    for (int j = 0; j < keys; ++j) {
      float* p = s + j * kAttnTile + o;
      const F e = V::exp(V::sub(V::load(p), mt));
      V::store(p, e);
      st = V::add(st, e);
    }
    const F m_old = V::load(m + o);
    const F m_new = V::max(mt, m_old);
    const F av = V::exp(V::sub(m_old, m_new));  // 0 on the first tile (m = -inf)
    const F bv = V::exp(V::sub(mt, m_new));
    V::store(l + o, V::fmadd(bv, st, V::mul(V::load(l + o), av)));
    V::store(m + o, m_new);
    V::store(a + o, av);
    for (int j = 0; j < keys; ++j)
      V::store(s + j * kAttnTile + o, V::mul(bv, V::load(s + j * kAttnTile + o)));
  }
}

// acc[r][dims] = acc[r][dims] a[r], then + w[j][r] v[j][dims] for keys j in order, fused: R rows by
// D vectors of the head's (padded) dimensions.
template <class V, int R, int D>
inline void value_block(float* acc, size_t astride, const float* a, const float* w, const float* v,
                        size_t vstride, int keys) {
  using F = typename V::F;
  constexpr int W = V::kWidth;
  F x[R][D];
  for (int r = 0; r < R; ++r) {
    const F ar = V::set1(a[r]);
    for (int c = 0; c < D; ++c) x[r][c] = V::mul(V::load(acc + r * astride + c * W), ar);
  }
  for (int j = 0; j < keys; ++j) {
    F vv[D];
    for (int c = 0; c < D; ++c) vv[c] = V::load(v + size_t(j) * vstride + c * W);
    for (int r = 0; r < R; ++r) {
      const F wr = V::set1(w[j * kAttnTile + r]);
      for (int c = 0; c < D; ++c) x[r][c] = V::fmadd(wr, vv[c], x[r][c]);
    }
  }
  for (int r = 0; r < R; ++r)
    for (int c = 0; c < D; ++c) V::store(acc + r * astride + c * W, x[r][c]);
}

template <class V, int R, int D>
inline void value_rows(float* acc, size_t astride, const float* a, const float* w, const float* v,
                       size_t vstride, int dvec, int keys) {
  constexpr int W = V::kWidth;
  int c = 0;
  for (; c + D <= dvec; c += D) value_block<V, R, D>(acc + c * W, astride, a, w, v + c * W, vstride, keys);
  for (; c < dvec; ++c) value_block<V, R, 1>(acc + c * W, astride, a, w, v + c * W, vstride, keys);
}

// Gathers head h of the T x 3E rows: Qt[d][i] (transposed, rows T..Tp-1 zero), K[j][d], V[j][d]
// (row stride hdp, padded with zeros). Sixteen rows at a time: rows 3E floats apart share few
// cache sets, so a pass over all of them per dimension would miss L1 on every load.
inline void gather_head(const float* qkv, int T, int E, int h, int hd, int hdp, int Tp, float* qt, float* kh,
                        float* vh) {
  const size_t row = size_t(3) * size_t(E);
  const float* q_src = qkv + size_t(h) * hd;
  for (int i0 = 0; i0 < T; i0 += 16) {
    const int i1 = T - i0 < 16 ? T : i0 + 16;
    for (int d = 0; d < hd; ++d) {
      float* dst = qt + size_t(d) * Tp;
      for (int i = i0; i < i1; ++i) dst[i] = q_src[size_t(i) * row + d];
    }
  }
  for (int d = 0; d < hd; ++d) std::memset(qt + size_t(d) * Tp + T, 0, size_t(Tp - T) * sizeof(float));
  for (int j = 0; j < T; ++j) {
    const float* src = qkv + size_t(j) * row + E + size_t(h) * hd;
    std::memcpy(kh + size_t(j) * hd, src, size_t(hd) * sizeof(float));
    std::memcpy(vh + size_t(j) * hdp, src + E, size_t(hd) * sizeof(float));
    std::memset(vh + size_t(j) * hdp + hd, 0, size_t(hdp - hd) * sizeof(float));
  }
}

// The whole core for one tier: R x C score blocks (row vectors x keys) and RA x DA value blocks
// (rows x dimension vectors).
template <class V, int R, int C, int RA, int DA>
void attention_heads_lanes(const float* qkv, float* out, int T, int E, int heads) {
  using F = typename V::F;
  constexpr int W = V::kWidth;
  static_assert(kAttnTile % W == 0, "a tile holds whole vectors");
  if (T <= 0 || E <= 0 || heads <= 0 || E / heads <= 0) return;
  const int hd = E / heads;
  const int hdp = round_up(hd, W);        // value and accumulator rows, padded with zeros
  const int Tp = round_up(T, kAttnTile);  // transposed query rows, padded with zeros
  const float scale = 1.0f / std::sqrt(float(hd));

  const int dvec = hdp / W;
  const int tiles = (T + kAttnTile - 1) / kAttnTile;

  // Each query tile of each head is one task, its streaming softmax whole: ranges of tasks split
  // the heads (and a head's tiles) between threads, each thread gathering the heads it meets into
  // its own buffers. A task is worth splitting off at about a million multiply-adds.
  const size_t task_macs = size_t(2) * kAttnTile * size_t(T) * size_t(hd);
  const size_t min_tasks = task_macs >= kSplitMacsF32 ? 1 : (kSplitMacsF32 + task_macs - 1) / task_macs;
  parallel_for(size_t(heads) * size_t(tiles), 1, min_tasks, [&](size_t first, size_t last) {
    float* qt =
        thread_work<float>(WorkBuffer::AttentionHead, size_t(hd) * Tp + size_t(T) * hd + size_t(T) * hdp);
    float* kh = qt + size_t(hd) * Tp;
    float* vh = kh + size_t(T) * hd;
    float* s = thread_work<float>(WorkBuffer::AttentionTile,
                                  size_t(kAttnTile) * kAttnTile + size_t(kAttnTile) * hdp + 3 * kAttnTile);
    float* acc = s + kAttnTile * kAttnTile;
    float* m = acc + size_t(kAttnTile) * hdp;
    float* l = m + kAttnTile;
    float* a = l + kAttnTile;
    int gathered = -1;

    for (size_t task = first; task < last; ++task) {
      const int h = int(task / size_t(tiles));
      const int i0 = int(task % size_t(tiles)) * kAttnTile;
      if (h != gathered) {
        gather_head(qkv, T, E, h, hd, hdp, Tp, qt, kh, vh);
        gathered = h;
      }
      const int rows = T - i0 < kAttnTile ? T - i0 : kAttnTile;
      const int rvec = (rows + W - 1) / W;
      for (int i = 0; i < kAttnTile; ++i) {
        m[i] = -std::numeric_limits<float>::infinity();
        l[i] = 0.0f;
      }
      std::memset(acc, 0, size_t(kAttnTile) * hdp * sizeof(float));

      for (int j0 = 0; j0 < T; j0 += kAttnTile) {
        const int keys = T - j0 < kAttnTile ? T - j0 : kAttnTile;
        const float* kb = kh + size_t(j0) * hd;
        int rv = 0;
        for (; rv + R <= rvec; rv += R)
          score_rows<V, R, C>(qt + i0 + rv * W, Tp, kb, hd, keys, scale, s + rv * W);
        for (; rv < rvec; ++rv) score_rows<V, 1, C>(qt + i0 + rv * W, Tp, kb, hd, keys, scale, s + rv * W);

        tile_softmax<V>(s, keys, rvec, m, l, a);

        const float* vb = vh + size_t(j0) * hdp;
        int r = 0;
        for (; r + RA <= rows; r += RA)
          value_rows<V, RA, DA>(acc + size_t(r) * hdp, hdp, a + r, s + r, vb, hdp, dvec, keys);
        for (; r < rows; ++r)
          value_rows<V, 1, DA>(acc + size_t(r) * hdp, hdp, a + r, s + r, vb, hdp, dvec, keys);
      }

      // Output rows: A x (1 / l), into the head's columns.
      for (int i = 0; i < rows; ++i) {
        const F inv = V::set1(1.0f / l[i]);
        float* dst = out + size_t(i0 + i) * E + size_t(h) * hd;
        const float* src = acc + size_t(i) * hdp;
        int d = 0;
        for (; d + W <= hd; d += W) V::store(dst + d, V::mul(V::load(src + d), inv));
        if (d < hd) V::store_first(dst + d, V::mul(V::load(src + d), inv), hd - d);
      }
    }
  });
}

}  // namespace
}  // namespace trevalon
