// Fixed-point requantisation shared by every int8 kernel: Q31 multipliers, rounding shifts and
// the float-scale conversion done once per channel at load time.
#pragma once

#include <cmath>
#include <cstdint>

namespace trevalon {

// (a * b * 2 + 2^31) >> 32, i.e. (a * b + 2^30) >> 31; the one overflowing case saturates.
inline int32_t saturating_rounding_doubling_high_mul(int32_t a, int32_t b) {
  if (a == INT32_MIN && b == INT32_MIN) return INT32_MAX;
  const int64_t product = int64_t(a) * int64_t(b);
  return static_cast<int32_t>((product + (int64_t(1) << 30)) >> 31);
}

// shift >= 0: left shift without saturation; shift < 0: rounding right shift, ties toward +inf.
inline int32_t rounding_shift(int32_t v, int32_t shift) {
  if (shift >= 32) return 0;  // every bit shifted out
  if (shift >= 0) return static_cast<int32_t>(static_cast<uint32_t>(v) << shift);
  // From s = 32 on, |v| <= 2^31 <= 2^(s-1) makes v + 2^(s-1) >= 0 and every bit shifts out: the
  // result is 0, negatives included (and -shift is never formed for INT32_MIN).
  if (shift <= -32) return 0;
  const int s = -shift;
  return static_cast<int32_t>((int64_t(v) + (int64_t(1) << (s - 1))) >> s);
}

inline int8_t saturate_int8(int32_t v) { return static_cast<int8_t>(v < -128 ? -128 : (v > 127 ? 127 : v)); }

// Requantise an accumulator that already includes the bias: high multiply, rounding shift, zero
// point, then saturation through int16 to int8.
inline int8_t requantize(int32_t acc_with_bias, int32_t multiplier, int32_t shift, int32_t out_zp) {
  int32_t v = saturating_rounding_doubling_high_mul(acc_with_bias, multiplier);
  v = rounding_shift(v, shift);
  v = static_cast<int32_t>(static_cast<uint32_t>(v) + static_cast<uint32_t>(out_zp));
  v = v < -32768 ? -32768 : (v > 32767 ? 32767 : v);
  return saturate_int8(v);
}

// Steps 2 to 4 as one rounding division in 64 bits: with s = -shift,
//   floor((v x m + 2^30 + [s > 0] 2^(30 + s) + out_zp x 2^(31 + s)) / 2^(31 + s))
// equals rounding_shift(high multiply, shift) + out_zp, because nested floor divisions by positive
// integers compose; its low 32 bits are the wrapped sum the scalar steps give. Exact when the
// multiplier is not INT32_MIN (so the high multiply cannot saturate) and s <= 23 (every term then
// stays below 2^61 and the sum below 2^63). Vector kernels use it as their fast requantisation.
inline bool requantize_as_division(int32_t multiplier, int32_t shift) {
  return multiplier != INT32_MIN && shift <= 0 && shift >= -23;
}
inline int64_t requantize_division_offset(int32_t shift, int32_t out_zp) {
  const int s = -shift;
  int64_t offset = (int64_t(1) << 30) + int64_t(out_zp) * (int64_t(1) << (31 + s));
  if (s > 0) offset += int64_t(1) << (30 + s);
  return offset;
}
inline int8_t requantize_by_division(int32_t acc_with_bias, int32_t multiplier, int32_t shift,
                                     int32_t out_zp) {
  const int64_t q =
      (int64_t(acc_with_bias) * multiplier + requantize_division_offset(shift, out_zp)) >> (31 - shift);
  const int32_t v = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(q)));
  return saturate_int8(v < -32768 ? -32768 : (v > 32767 ? 32767 : v));
}

// Split a float scale into a Q31 multiplier and a power-of-two shift: scale = m / 2^31 * 2^shift.
inline void scale_to_multiplier(float scale, int32_t& multiplier, int32_t& shift) {
  if (scale == 0.0f || !std::isfinite(scale)) {  // a non-finite scale from a bad file gives 0
    multiplier = 0;
    shift = 0;
    return;
  }
  int exponent = 0;
  const double fraction = std::frexp(static_cast<double>(scale), &exponent);
  const double q = std::round(fraction * 2147483648.0);  // ties away from zero
  if (q == 2147483648.0) {
    multiplier = 1 << 30;
    shift = exponent + 1;
  } else {
    multiplier = static_cast<int32_t>(q);
    shift = exponent;
  }
}

}  // namespace trevalon
