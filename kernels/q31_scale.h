// Scaling by a Q31 multiplier and power-of-two exponent with a single rounding in 64 bits, as the
// int8 add tail and the int8 average pool use it. Portable code only.
#pragma once

#include <cstdint>

namespace trevalon {

// (p + 2^(30 - e)) >> (31 - e) for the product p = d * m, exact for every exponent: the shift is
// done as (p >> s) + bit s-1 of p, which cannot overflow. `d` must satisfy |d| <= 2^32 so that the
// product fits. Exponents of 31 and above (scales of 2^30 and more) have no rounding term; their
// results saturate at +-2^61, far beyond any int8 output.
inline int64_t q31_scale_single_round(int64_t d, int32_t m, int32_t e) {
  const int64_t p = d * int64_t(m);
  const int64_t s = 31 - int64_t(e);
  if (s >= 64) return 0;  // |p| < 2^63 <= 2^(s-1): rounds to 0
  if (s >= 1) return (p >> s) + ((p >> (s - 1)) & 1);
  constexpr int64_t kLimit = int64_t(1) << 61;
  const int64_t left = -s;
  if (p == 0) return 0;
  if (left >= 61 || p > (kLimit >> left) || p < -(kLimit >> left)) return p > 0 ? kLimit : -kLimit;
  return p * (int64_t(1) << left);
}

}  // namespace trevalon
