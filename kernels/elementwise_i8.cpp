// Portable quantised add: Q12 fixed point or high-multiply requantisation for complete groups,
// single-rounding Q31 scaling for the remaining elements.
#include "kernels/elementwise_i8.h"

#include <cmath>

#include "kernels/q31_scale.h"
#include "kernels/requantize.h"

namespace trevalon {
namespace {

// Two's-complement wrap-around arithmetic, as the 32-bit vector lanes compute it.
int32_t wrap_add(int32_t a, int32_t b) { return int32_t(uint32_t(a) + uint32_t(b)); }
int32_t wrap_sub(int32_t a, int32_t b) { return int32_t(uint32_t(a) - uint32_t(b)); }
int32_t wrap_mul(int32_t a, int32_t b) { return int32_t(uint32_t(a) * uint32_t(b)); }

}  // namespace

AddI8Plan plan_add_i8(int32_t in1_zp, int32_t in2_zp, int32_t out_zp, float in1_scale, float in2_scale,
                      float out_scale) {
  AddI8Plan plan{};
  plan.in1_zp = in1_zp;
  plan.in2_zp = in2_zp;
  plan.out_zp = out_zp;
  const float r1 = in1_scale / out_scale;
  const float r2 = in2_scale / out_scale;
  scale_to_multiplier(r1, plan.m1, plan.e1);
  scale_to_multiplier(r2, plan.m2, plan.e2);
  // A NaN ratio fails the test and takes the multiplier path, whose multiplier is then 0.
  plan.small_ratios = std::fabs(r1) <= 7.99f && std::fabs(r2) <= 7.99f;
  plan.group = plan.small_ratios ? 16 : 8;
  if (plan.small_ratios) {
    plan.u = static_cast<int32_t>(std::round(r1 * 4096.0f));  // ties away from zero
    plan.v = static_cast<int32_t>(std::round(r2 * 4096.0f));
    int32_t j = wrap_mul(out_zp, 4096);
    j = wrap_sub(j, wrap_mul(in1_zp, plan.u));
    j = wrap_sub(j, wrap_mul(in2_zp, plan.v));
    plan.q12_bias = wrap_add(j, 2048);
  }
  return plan;
}

void add_i8_q12(const AddI8Plan& plan, const int8_t* a, const int8_t* b, int8_t* out, int begin, int end) {
  for (int i = begin; i < end; ++i) {
    int32_t acc = wrap_add(plan.q12_bias, wrap_mul(plan.u, a[i]));
    acc = wrap_add(acc, wrap_mul(plan.v, b[i]));
    out[i] = saturate_int8(acc >> 12);
  }
}

void add_i8_high_mul(const AddI8Plan& plan, const int8_t* a, const int8_t* b, int8_t* out, int begin,
                     int end) {
  for (int i = begin; i < end; ++i) {
    const int32_t t1 =
        rounding_shift(saturating_rounding_doubling_high_mul(wrap_sub(a[i], plan.in1_zp), plan.m1), plan.e1);
    const int32_t t2 =
        rounding_shift(saturating_rounding_doubling_high_mul(wrap_sub(b[i], plan.in2_zp), plan.m2), plan.e2);
    out[i] = saturate_int8(wrap_add(wrap_add(plan.out_zp, t1), t2));
  }
}

void add_i8_single_round(const AddI8Plan& plan, const int8_t* a, const int8_t* b, int8_t* out, int begin,
                         int end) {
  for (int i = begin; i < end; ++i) {
    const int64_t t1 = q31_scale_single_round(int64_t(a[i]) - plan.in1_zp, plan.m1, plan.e1);
    const int64_t t2 = q31_scale_single_round(int64_t(b[i]) - plan.in2_zp, plan.m2, plan.e2);
    const int64_t v = int64_t(plan.out_zp) + t1 + t2;
    out[i] = static_cast<int8_t>(v < -128 ? -128 : (v > 127 ? 127 : v));
  }
}

void add_i8_portable(const int8_t* a, const int8_t* b, int32_t in1_zp, int32_t in2_zp, int32_t out_zp,
                     int8_t* out, int count, float in1_scale, float in2_scale, float out_scale, void*) {
  if (count <= 0) return;
  const AddI8Plan plan = plan_add_i8(in1_zp, in2_zp, out_zp, in1_scale, in2_scale, out_scale);
  add_i8_split(plan, a, b, out, count,
               [&](const int8_t* x, const int8_t* y, int8_t* z, int n) { add_i8_q12(plan, x, y, z, 0, n); });
}

}  // namespace trevalon
