// One lane of the waveform kernels' cosine, sine and arc tangent in plain C++. The vector kernels
// (x86/waveform_simd.h) compute the same steps, so every tier gives the same bits.
#pragma once

#include <math.h>
#include <cstdint>
#include <cstring>

namespace trevalon {
// Internal linkage and C math functions, as in activation_lanes.h: ISA files include this header.
namespace {

// Beyond this the reduction below is not trusted and the C library answers.
constexpr float kWaveformCosLimit = 1.0e5f;

// Polynomials of sin and cos on |r| <= ~pi/4 (minimax, single precision).
inline float waveform_sin_poly(float r, float z) {
  float p = fmaf(z, -1.9515295891e-4f, 8.3321608736e-3f);
  p = fmaf(p, z, -1.6666654611e-1f);
  return fmaf(p * z, r, r);
}

inline float waveform_cos_poly(float z) {
  float p = fmaf(z, 2.443315711809948e-5f, -1.388731625493765e-3f);
  p = fmaf(p, z, 4.166664568298827e-2f);
  return fmaf(p, z * z, fmaf(z, -0.5f, 1.0f));
}

// cos(x) = cos(r + q pi/2): q = x * 2/pi rounded to even, r = x - q pi/2 in three fused steps
// (the first is exact: q * P1 and x share the grid of P1's last bit). Quadrant q mod 4 picks
// cos r, -sin r, -cos r, sin r. sin(x) = cos(x - pi/2) is the same with the quadrant moved by 3.
template <bool kSine>
inline float waveform_trig_lane(float x) {
  if (!(fabsf(x) <= kWaveformCosLimit)) return kSine ? sinf(x) : cosf(x);
  const float q = nearbyintf(x * 0.636619772f);
  float r = fmaf(-q, 1.57079637f, x);
  r = fmaf(-q, -4.37113883e-08f, r);
  r = fmaf(-q, -1.71512451e-15f, r);
  const float z = r * r;
  const int32_t k = static_cast<int32_t>(q) + (kSine ? 3 : 0);
  const float v = (k & 1) ? waveform_sin_poly(r, z) : waveform_cos_poly(z);
  return ((k + 1) & 2) ? -v : v;
}

inline float waveform_cos_lane(float x) { return waveform_trig_lane<false>(x); }
inline float waveform_sin_lane(float x) { return waveform_trig_lane<true>(x); }

// ln(x) for normal positive x: x = m 2^e with m in [sqrt(1/2), sqrt(2)), ln(1 + (m - 1)) by a
// minimax polynomial, e ln 2 added in two parts. The noise source's logarithm.
inline float waveform_log_lane(float x) {
  uint32_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  int32_t e = static_cast<int32_t>(bits >> 23) - 126;
  const uint32_t mbits = (bits & 0x007fffffu) | 0x3f000000u;  // m in [0.5, 1)
  float m;
  std::memcpy(&m, &mbits, sizeof m);
  const bool low = m < 0.707106781f;
  e -= low ? 1 : 0;
  m = (low ? m + m : m) - 1.0f;
  const float z = m * m;
  float p = fmaf(7.0376836292e-2f, m, -1.1514610310e-1f);
  p = fmaf(p, m, 1.1676998740e-1f);
  p = fmaf(p, m, -1.2420140846e-1f);
  p = fmaf(p, m, 1.4249322787e-1f);
  p = fmaf(p, m, -1.6668057665e-1f);
  p = fmaf(p, m, 2.0000714765e-1f);
  p = fmaf(p, m, -2.4999993993e-1f);
  p = fmaf(p, m, 3.3333331174e-1f);
  const float fe = static_cast<float>(e);
  float y = (m * z) * p;
  y = fmaf(fe, -2.12194440e-4f, y);
  y = fmaf(z, -0.5f, y);
  return fmaf(fe, 0.693359375f, m + y);
}

// One Gaussian sample from the two uniforms of the noise source: sqrt(-2 ln(max(u1, 1e-7))) *
// cos(angle), angle in [0, 2 pi).
inline float waveform_gaussian_lane(float u1, float angle) {
  const float u = u1 > 1e-7f ? u1 : 1e-7f;
  return sqrtf(-2.0f * waveform_log_lane(u)) * waveform_cos_lane(angle);
}

// atan2(y, x) for finite x, y not both zero: the ratio of the smaller to the larger magnitude,
// reduced once more by pi/4 above tan(pi/8), a minimax polynomial, then the octant. Anything
// else (an infinity, a NaN, two zeros) gets the C library's answer.
inline float waveform_atan2_lane(float y, float x) {
  constexpr float kFinite = 3.40282347e38f;
  if (!(fabsf(x) <= kFinite) || !(fabsf(y) <= kFinite)) return atan2f(y, x);
  const float ax = fabsf(x), ay = fabsf(y);
  const bool steep = ay > ax;
  const float a = (steep ? ax : ay) / (steep ? ay : ax);
  const bool upper = a > 0.414213562f;
  const float u = upper ? (a - 1.0f) / (a + 1.0f) : a;
  const float z = u * u;
  float p = fmaf(8.05374449538e-2f, z, -1.38776856032e-1f);
  p = fmaf(p, z, 1.99777106478e-1f);
  p = fmaf(p, z, -3.33329491539e-1f);
  float r = fmaf(u * z, p, u) + (upper ? 0.785398163f : 0.0f);
  if (steep) r = 1.57079637f - r;
  if (x < 0.0f) r = 3.14159274f - r;
  if (!(r <= 4.0f)) return atan2f(y, x);  // 0 / 0: both zero
  return copysignf(r, y);
}

}  // namespace
}  // namespace trevalon
