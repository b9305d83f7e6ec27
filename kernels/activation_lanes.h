// One lane of the float activation formulas (exponential, sine, sigmoid family) in plain C++,
// plus the C-library tails. The portable kernels run these lane by lane; the vector kernels
// compute the same steps, so both give the same bits wherever no reciprocal estimate is involved.
#pragma once

#include <math.h>
#include <cstdint>
#include <cstring>

namespace trevalon {
// Internal linkage and plain C math functions on purpose: ISA files include this header too, and an
// out-of-line copy compiled with -mavx512f must never be the one the linker hands to portable code.
namespace {

inline float bits_to_float(uint32_t u) {
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

// min/max with the operand order of the x86 min/max instructions: a NaN in `x` comes through.
inline float lane_min(float c, float x) { return c < x ? c : x; }
inline float lane_max(float c, float x) { return c > x ? c : x; }

// Integer value of an already-rounded float as the x86 conversion gives it: out-of-range and NaN
// become INT32_MIN.
inline int32_t lane_to_int(float rounded) {
  if (!(fabsf(rounded) < 2147483648.0f)) return INT32_MIN;
  return static_cast<int32_t>(rounded);
}

// 2^n as the bit pattern of 1.0 plus n << 23 (wrapping, like the vector integer add).
inline float lane_pow2n(int32_t n) { return bits_to_float(0x3f800000u + (static_cast<uint32_t>(n) << 23)); }

struct ExpLane {
  float p;      // e^r for the reduced argument r
  float scale;  // 2^n
};

// The polynomial exponential: e^x = p * 2^n after a two-constant range reduction.
inline ExpLane vexp_lane(float x) {
  x = lane_max(-88.0f, lane_min(88.0f, x));
  const float n = nearbyintf(x * 1.44269502f);
  float r = fmaf(-n, 0.693359375f, x);
  r = fmaf(n, 0.000212194442f, r);
  float p = fmaf(0.000198756912f, r, 0.00139819994f);
  p = fmaf(p, r, 0.00833345205f);
  p = fmaf(p, r, 0.0416657962f);
  p = fmaf(p, r, 0.166666657f);
  p = fmaf(p, r, 0.5f);
  p = fmaf(p, r, 1.0f);
  p = fmaf(p, r, 1.0f);
  return {p, lane_pow2n(lane_to_int(n))};
}

// The portable reciprocal estimate is the correctly rounded quotient; the Newton steps that follow
// keep it there. Vector code uses the hardware estimate, so results may differ in the last bits.
inline float lane_reciprocal_estimate(float d) { return 1.0f / d; }

inline float newton_step(float d, float r) { return r * (2.0f - d * r); }

inline float exp_lane(float x) {
  const ExpLane e = vexp_lane(x);
  return e.p * e.scale;
}

inline float sigmoid_lane(float x) {
  const ExpLane e = vexp_lane(-x);
  const float d = fmaf(e.p, e.scale, 1.0f);
  float r = lane_reciprocal_estimate(d);
  r = newton_step(d, r);
  return newton_step(d, r);
}

inline float tanh_lane(float x) {
  const ExpLane e = vexp_lane(-2.0f * x);
  const float d = fmaf(e.p, e.scale, 1.0f);
  const float r = newton_step(d, lane_reciprocal_estimate(d));
  return fmaf(2.0f - d * r, 2.0f * r, -1.0f);
}

inline float silu_lane(float x) {
  const ExpLane e = vexp_lane(-x);
  const float d = fmaf(e.p, e.scale, 1.0f);
  const float r = newton_step(d, lane_reciprocal_estimate(d));
  return (x * r) * (2.0f - d * r);
}

// x * sigmoid(2 * sqrt(2/pi) * (x + 0.044715 x^3)), written as x * (1 - 1 / (1 + e^z)).
inline float gelu_lane(float x) {
  const float u = fmaf(0.044715f, (x * x) * x, x);
  const ExpLane e = vexp_lane(u * 1.5957692f);
  const float d = fmaf(e.p, e.scale, 1.0f);
  const float r = newton_step(d, lane_reciprocal_estimate(d));
  return x * (1.0f - r * (2.0f - d * r));
}

// Parity of a rounded float as the vector code sees it: beyond 2^24 every float is even, and
// out-of-range or NaN values convert to the even INT32_MIN.
inline bool lane_is_odd(float k) { return (lane_to_int(k) & 1) != 0; }

// Sine with one reduction by pi: sin(x) = (-1)^k sin(x - k pi).
inline float sin_lane(float x) {
  const float k = nearbyintf(x * 0.318309873f);
  const float r = fmaf(-3.14159274f, k, x);
  const float q = r * r;
  float p = fmaf(2.75573166e-06f, q, -0.000198412701f);
  p = fmaf(p, q, 0.00833333377f);
  p = fmaf(p, q, -0.166666672f);
  p = fmaf(p, q, 1.0f);
  const float s = p * r;
  return lane_is_odd(k) ? -s : s;
}

// C-library tails for the elements after the last complete group of four.
inline float sigmoid_tail(float x) { return 1.0f / (1.0f + expf(-x)); }
inline float silu_tail(float x) { return x / (1.0f + expf(-x)); }
inline float gelu_tail(float x) {
  const float u = fmaf(x * x, 0.044715f * x, x);
  return (0.5f * x) * (tanhf(u * 0.7978846f) + 1.0f);
}

inline float leaky_relu_lane(float x, float alpha) { return (x >= 0.0f ? 1.0f : alpha) * x; }
// Negative values become 0; -0 and NaN pass unchanged.
inline float relu_lane(float x) { return x < 0.0f ? 0.0f : x; }

}  // namespace
}  // namespace trevalon
