// The float activation formulas over a lane type V (F32x8 or F32x16), step for step the lanes of
// kernels/activation_lanes.h, and the driver that runs every complete group of four elements
// through them. Included only by ISA files, after their lane type.
#pragma once

#include "kernels/activation_lanes.h"

namespace trevalon {
namespace {

template <class V>
struct ExpParts {
  typename V::F p;      // e^r for the reduced argument r
  typename V::F scale;  // 2^n
};

template <class V>
inline ExpParts<V> vexp_parts(typename V::F x) {
  using F = typename V::F;
  x = V::max(V::set1(-88.0f), V::min(V::set1(88.0f), x));
  const F n = V::round_even(V::mul(x, V::set1(1.44269502f)));
  F r = V::fnmadd(n, V::set1(0.693359375f), x);
  r = V::fmadd(n, V::set1(0.000212194442f), r);
  F p = V::fmadd(V::set1(0.000198756912f), r, V::set1(0.00139819994f));
  p = V::fmadd(p, r, V::set1(0.00833345205f));
  p = V::fmadd(p, r, V::set1(0.0416657962f));
  p = V::fmadd(p, r, V::set1(0.166666657f));
  p = V::fmadd(p, r, V::set1(0.5f));
  p = V::fmadd(p, r, V::set1(1.0f));
  p = V::fmadd(p, r, V::set1(1.0f));
  return {p, V::pow2n(V::to_int(n))};
}

template <class V>
inline typename V::F newton_step_v(typename V::F d, typename V::F r) {
  return V::mul(r, V::sub(V::set1(2.0f), V::mul(d, r)));
}

// 1 + p * 2^n for the exponential of x.
template <class V>
inline typename V::F one_plus_exp_v(typename V::F x) {
  const ExpParts<V> e = vexp_parts<V>(x);
  return V::fmadd(e.p, e.scale, V::set1(1.0f));
}

template <class V>
inline typename V::F exp_v(typename V::F x) {
  const ExpParts<V> e = vexp_parts<V>(x);
  return V::mul(e.p, e.scale);
}

template <class V>
inline typename V::F sigmoid_v(typename V::F x) {
  const typename V::F d = one_plus_exp_v<V>(V::neg(x));
  const typename V::F r = newton_step_v<V>(d, V::rcp(d));
  return newton_step_v<V>(d, r);
}

template <class V>
inline typename V::F tanh_v(typename V::F x) {
  const typename V::F d = one_plus_exp_v<V>(V::mul(V::set1(-2.0f), x));
  const typename V::F r = newton_step_v<V>(d, V::rcp(d));
  return V::fmadd(V::sub(V::set1(2.0f), V::mul(d, r)), V::mul(V::set1(2.0f), r), V::set1(-1.0f));
}

template <class V>
inline typename V::F silu_v(typename V::F x) {
  const typename V::F d = one_plus_exp_v<V>(V::neg(x));
  const typename V::F r = newton_step_v<V>(d, V::rcp(d));
  return V::mul(V::mul(x, r), V::sub(V::set1(2.0f), V::mul(d, r)));
}

template <class V>
inline typename V::F gelu_v(typename V::F x) {
  using F = typename V::F;
  const F u = V::fmadd(V::set1(0.044715f), V::mul(V::mul(x, x), x), x);
  const F d = one_plus_exp_v<V>(V::mul(u, V::set1(1.5957692f)));
  const F r = newton_step_v<V>(d, V::rcp(d));
  const F refined = V::mul(r, V::sub(V::set1(2.0f), V::mul(d, r)));
  return V::mul(x, V::sub(V::set1(1.0f), refined));
}

template <class V>
inline typename V::F sin_v(typename V::F x) {
  using F = typename V::F;
  const F k = V::round_even(V::mul(x, V::set1(0.318309873f)));
  const F r = V::fnmadd(V::set1(3.14159274f), k, x);
  const F q = V::mul(r, r);
  F p = V::fmadd(V::set1(2.75573166e-06f), q, V::set1(-0.000198412701f));
  p = V::fmadd(p, q, V::set1(0.00833333377f));
  p = V::fmadd(p, q, V::set1(-0.166666672f));
  p = V::fmadd(p, q, V::set1(1.0f));
  return V::negate_if_odd(V::mul(p, r), V::to_int(k));
}

// Full vectors, then the last complete groups of four through a partial vector, then the
// remaining count % 4 elements through the scalar `tail`. `in` may equal `out`.
template <class V, class Vec, class Tail>
inline void map_groups_of_four(const float* in, float* out, int count, Vec vec, Tail tail) {
  if (count <= 0) return;
  int i = 0;
  for (; i + V::kWidth <= count; i += V::kWidth) V::store(out + i, vec(V::load(in + i)));
  const int grouped = count & ~3;
  if (i < grouped) {
    V::store_first(out + i, vec(V::load_first(in + i, grouped - i)), grouped - i);
    i = grouped;
  }
  for (; i < count; ++i) out[i] = tail(in[i]);
}

// Every element by the same lane operation (no scalar tail formula).
template <class V, class Vec>
inline void map_all(const float* in, float* out, int count, Vec vec) {
  if (count <= 0) return;
  int i = 0;
  for (; i + V::kWidth <= count; i += V::kWidth) V::store(out + i, vec(V::load(in + i)));
  if (i < count) V::store_first(out + i, vec(V::load_first(in + i, count - i)), count - i);
}

}  // namespace
}  // namespace trevalon
