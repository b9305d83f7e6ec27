// The waveform frame loops over a lane type V (F32x8 or F32x16 extended with the few operations
// below), step for step the portable kernels: the STFT vectorised across bins, the iSTFT across
// frames with waveform_cos_lane's cosine in every lane. Included only by ISA files, after V.
//
// V adds to its base: pick_odd(odd, even, k) (per lane: k odd ? odd : even), negate_if_bit1(v, k)
// (per lane: k & 2 ? -v : v), outside_mask(x, limit) (a bit per lane where !(|x| <= limit)),
// gt(a, b) and where(mask, t, f) (per lane: mask ? t : f), abs(x) and copysign(magnitude, sign).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstring>

#include "kernels/waveform_f32.h"
#include "kernels/waveform_lanes.h"

namespace trevalon {
namespace {

// waveform_trig_lane's steps. kChecked: lanes beyond the reduction's range take the C library's
// value; callers that know every argument is within range skip the test.
template <class V, bool kChecked = true, bool kSine = false>
inline typename V::F waveform_trig_v(typename V::F x) {
  using F = typename V::F;
  const F q = V::round_even(V::mul(x, V::set1(0.636619772f)));
  F r = V::fnmadd(q, V::set1(1.57079637f), x);
  r = V::fnmadd(q, V::set1(-4.37113883e-08f), r);
  r = V::fnmadd(q, V::set1(-1.71512451e-15f), r);
  const F z = V::mul(r, r);
  F ps = V::fmadd(z, V::set1(-1.9515295891e-4f), V::set1(8.3321608736e-3f));
  ps = V::fmadd(ps, z, V::set1(-1.6666654611e-1f));
  const F s = V::fmadd(V::mul(ps, z), r, r);
  F pc = V::fmadd(z, V::set1(2.443315711809948e-5f), V::set1(-1.388731625493765e-3f));
  pc = V::fmadd(pc, z, V::set1(4.166664568298827e-2f));
  const F c = V::fmadd(pc, V::mul(z, z), V::fmadd(z, V::set1(-0.5f), V::set1(1.0f)));
  const typename V::I k = V::add_int(V::to_int(q), kSine ? 3 : 0);
  F v = V::negate_if_bit1(V::pick_odd(s, c, k), V::add_int(k, 1));
  if (!kChecked) return v;
  if (const unsigned outside = V::outside_mask(x, kWaveformCosLimit)) {  // rare: the C library per lane
    alignas(64) float xs[V::kWidth], vs[V::kWidth];
    V::store(xs, x);
    V::store(vs, v);
    for (int l = 0; l < V::kWidth; ++l)
      if (outside >> l & 1u) vs[l] = kSine ? sinf(xs[l]) : cosf(xs[l]);
    v = V::load(vs);
  }
  return v;
}

template <class V, bool kChecked = true>
inline typename V::F waveform_cos_v(typename V::F x) {
  return waveform_trig_v<V, kChecked, false>(x);
}

// waveform_gaussian_lane's steps.
template <class V>
inline typename V::F waveform_gaussian_v(typename V::F u1, typename V::F angle) {
  using F = typename V::F;
  using I = typename V::I;
  const F x = V::max(u1, V::set1(1e-7f));  // u1 > 1e-7 ? u1 : 1e-7
  const I bits = V::as_int(x);
  I e = V::sub_int(V::shift_right(bits, 23), 126);
  F m = V::as_float(V::or_int(V::and_int(bits, 0x007fffff), 0x3f000000));
  const auto low = V::gt(V::set1(0.707106781f), m);
  e = V::sub_int_where(low, e, 1);
  m = V::sub(V::where(low, V::add(m, m), m), V::set1(1.0f));
  const F z = V::mul(m, m);
  F p = V::fmadd(V::set1(7.0376836292e-2f), m, V::set1(-1.1514610310e-1f));
  p = V::fmadd(p, m, V::set1(1.1676998740e-1f));
  p = V::fmadd(p, m, V::set1(-1.2420140846e-1f));
  p = V::fmadd(p, m, V::set1(1.4249322787e-1f));
  p = V::fmadd(p, m, V::set1(-1.6668057665e-1f));
  p = V::fmadd(p, m, V::set1(2.0000714765e-1f));
  p = V::fmadd(p, m, V::set1(-2.4999993993e-1f));
  p = V::fmadd(p, m, V::set1(3.3333331174e-1f));
  const F fe = V::to_float(e);
  F y = V::mul(V::mul(m, z), p);
  y = V::fmadd(fe, V::set1(-2.12194440e-4f), y);
  y = V::fmadd(z, V::set1(-0.5f), y);
  const F ln = V::fmadd(fe, V::set1(0.693359375f), V::add(m, y));
  return V::mul(V::sqrt(V::mul(V::set1(-2.0f), ln)), waveform_trig_v<V, false, false>(angle));
}

template <class V>
inline void waveform_gaussian_map(const float* u1, const float* angle, float* z, int64_t count) {
  int64_t i = 0;
  for (; i + V::kWidth <= count; i += V::kWidth)
    V::store(z + i, waveform_gaussian_v<V>(V::load(u1 + i), V::load(angle + i)));
  for (; i < count; ++i) z[i] = waveform_gaussian_lane(u1[i], angle[i]);
}

// Lanes below `valid` of atan2(y, x), waveform_atan2_lane's steps.
template <class V>
inline typename V::F waveform_atan2_v(typename V::F y, typename V::F x, int valid) {
  using F = typename V::F;
  const F ax = V::abs(x), ay = V::abs(y);
  const auto steep = V::gt(ay, ax);
  const F a = V::div(V::where(steep, ax, ay), V::where(steep, ay, ax));
  const auto upper = V::gt(a, V::set1(0.414213562f));
  const F one = V::set1(1.0f);
  const F u = V::where(upper, V::div(V::sub(a, one), V::add(a, one)), a);
  const F z = V::mul(u, u);
  F p = V::fmadd(V::set1(8.05374449538e-2f), z, V::set1(-1.38776856032e-1f));
  p = V::fmadd(p, z, V::set1(1.99777106478e-1f));
  p = V::fmadd(p, z, V::set1(-3.33329491539e-1f));
  F r = V::add(V::fmadd(V::mul(u, z), p, u), V::where(upper, V::set1(0.785398163f), V::zero()));
  r = V::where(steep, V::sub(V::set1(1.57079637f), r), r);
  r = V::where(V::gt(V::zero(), x), V::sub(V::set1(3.14159274f), r), r);
  constexpr float kFinite = 3.40282347e38f;
  const unsigned bad = (V::outside_mask(x, kFinite) | V::outside_mask(y, kFinite) | V::outside_mask(r, 4.0f)) &
                       ((valid >= 32 ? 0u : 1u << valid) - 1u);
  r = V::copysign(r, y);
  if (bad) {  // rare: the C library per lane
    alignas(64) float xs[V::kWidth], ys[V::kWidth], rs[V::kWidth];
    V::store(xs, x);
    V::store(ys, y);
    V::store(rs, r);
    for (int l = 0; l < V::kWidth; ++l)
      if (bad >> l & 1u) rs[l] = atan2f(ys[l], xs[l]);
    r = V::load(rs);
  }
  return r;
}

template <class V>
inline void waveform_atan2_map(const float* y, const float* x, float* out, int count) {
  int i = 0;
  for (; i + V::kWidth <= count; i += V::kWidth)
    V::store(out + i, waveform_atan2_v<V>(V::load(y + i), V::load(x + i), V::kWidth));
  for (; i < count; ++i) out[i] = waveform_atan2_lane(y[i], x[i]);
}

template <class V, bool kSine>
inline void waveform_trig_map(const float* in, float* out, int64_t count) {
  int64_t i = 0;
  for (; i + V::kWidth <= count; i += V::kWidth)
    V::store(out + i, waveform_trig_v<V, true, kSine>(V::load(in + i)));
  for (; i < count; ++i) out[i] = waveform_trig_lane<kSine>(in[i]);
}

// Up to four vectors of bins per pass over the frame's samples, each lane its own fused chain.
template <class V>
inline void stft_frames_v(const float* padded, int T, int hop, int N, const float* basis, float* out,
                          float* work) {
  using F = typename V::F;
  constexpr int W = V::kWidth;
  const int F_bins = stft_bins(N), stride = stft_basis_stride(F_bins);
  for (int t = 0; t < T; ++t) {
    const float* x = padded + size_t(t) * size_t(hop);
    for (int c0 = 0; c0 < stride; c0 += 4 * W) {
      const int vecs = std::min(4, (stride - c0) / W);
      F acc[4] = {V::zero(), V::zero(), V::zero(), V::zero()};
      const float* b = basis + c0;
      if (vecs == 4) {
        for (int n = 0; n < N; ++n, b += stride) {
          const F xn = V::set1(x[n]);
          acc[0] = V::fmadd(xn, V::load(b), acc[0]);
          acc[1] = V::fmadd(xn, V::load(b + W), acc[1]);
          acc[2] = V::fmadd(xn, V::load(b + 2 * W), acc[2]);
          acc[3] = V::fmadd(xn, V::load(b + 3 * W), acc[3]);
        }
      } else {
        for (int n = 0; n < N; ++n, b += stride) {
          const F xn = V::set1(x[n]);
          for (int v = 0; v < vecs; ++v) acc[v] = V::fmadd(xn, V::load(b + v * W), acc[v]);
        }
      }
      for (int v = 0; v < vecs; ++v) V::store(work + c0 + v * W, acc[v]);
    }
    float* row = out + size_t(t) * 2 * F_bins;
    for (int f = 0; f < F_bins; f += W) {
      const int valid = std::min(W, F_bins - f);
      const F re = V::load_first(work + f, valid), im = V::load_first(work + F_bins + f, valid);
      V::store_first(row + f, V::sqrt(V::add(V::mul(im, im), V::mul(re, re))), valid);
      V::store_first(row + F_bins + f, waveform_atan2_v<V>(im, re, valid), valid);
    }
  }
}

// One block of W frames from bin-major magnitudes (bins 1..J already doubled) and phases.
template <class V, bool kChecked>
inline void istft_block_v(const float* M, const float* P, int N, int J, bool even, float step, float inv_n,
                          const float* window, float* out) {
  using F = typename V::F;
  constexpr int W = V::kWidth;
  const int A = N / 2;
  alignas(64) float lanes[W];
  const F dc = V::mul(V::load(M), waveform_cos_v<V, kChecked>(V::load(P)));
  for (int n = 0; n < N; ++n) {
    const F base = V::set1(float(n) * step);
    F s = dc;
    for (int j = 1; j <= J; ++j) {
      const F angle = V::fmadd(base, V::set1(float(j)), V::load(P + size_t(j) * W));
      s = V::add(s, V::mul(V::load(M + size_t(j) * W), waveform_cos_v<V, kChecked>(angle)));
    }
    if (even && A >= 1) {
      const F angle = V::add(V::set1(float(n) * 3.14159274f), V::load(P + size_t(A) * W));
      s = V::add(s, V::mul(V::load(M + size_t(A) * W), waveform_cos_v<V, kChecked>(angle)));
    }
    V::store(lanes, V::mul(V::mul(s, V::set1(window[n])), V::set1(inv_n)));
    for (int l = 0; l < W; ++l) out[size_t(l) * N + n] = lanes[l];
  }
}

// W frames at a time, one lane per frame: the frames' magnitudes and phases are turned bin-major
// in `work` so every (bin, sample) step is one vector of cosines. Leftover frames go through the
// portable loop, which does the same arithmetic.
template <class V>
inline void istft_frames_v(const float* mag, const float* phase, int T, int N, const float* window, float* out,
                           float* work) {
  constexpr int W = V::kWidth;
  const int F_bins = stft_bins(N), A = N / 2;
  const bool even = N % 2 == 0;
  const int J = even ? A - 1 : A;
  const float step = 6.2831855f / float(N), inv_n = 1.0f / float(N);
  float* M = work;                         // [bin][lane]
  float* P = work + size_t(F_bins) * W;    // [bin][lane]
  int t0 = 0;
  for (; t0 + W <= T; t0 += W) {
    // Phases of at most 1e4 keep every angle, n * step * j + p with n * step * j <= pi * N,
    // inside the cosine's reduction range: the per-lane test is then skipped (same bits).
    bool in_range = true;
    for (int l = 0; l < W; ++l)
      for (int j = 0; j < F_bins; ++j) {
        const float m = mag[size_t(t0 + l) * F_bins + j], p = phase[size_t(t0 + l) * F_bins + j];
        M[size_t(j) * W + l] = j >= 1 && j <= J ? m * 2.0f : m;
        P[size_t(j) * W + l] = p;
        in_range = in_range && std::fabs(p) <= 1.0e4f;
      }
    if (in_range)
      istft_block_v<V, false>(M, P, N, J, even, step, inv_n, window, out + size_t(t0) * N);
    else
      istft_block_v<V, true>(M, P, N, J, even, step, inv_n, window, out + size_t(t0) * N);
  }
  if (t0 < T)
    istft_frames_f32_portable(mag + size_t(t0) * F_bins, phase + size_t(t0) * F_bins, T - t0, N, window,
                              out + size_t(t0) * N, work);
}

}  // namespace
}  // namespace trevalon
