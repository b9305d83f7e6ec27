// Quantised element-wise add (table slot add_i8): portable and, in x86 builds, AVX2 / AVX-512
// versions that give the same bits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/thread_pool.h"

namespace trevalon {

// Everything an add needs from its scales and zero points, derived once per call.
struct AddI8Plan {
  bool small_ratios;  // both |in_i_scale / out_scale| <= 7.99: Q12 path in groups of 16
  int32_t in1_zp, in2_zp, out_zp;
  int32_t u, v;            // Q12 weights round(r_i * 4096)
  int32_t q12_bias;        // out_zp*4096 - in1_zp*u - in2_zp*v + 2048, wrapping in 32 bits
  int32_t m1, e1, m2, e2;  // Q31 multiplier / exponent pairs of the two ratios
  int group;               // 16 (Q12) or 8 (high-multiply path)
};

AddI8Plan plan_add_i8(int32_t in1_zp, int32_t in2_zp, int32_t out_zp, float in1_scale, float in2_scale,
                      float out_scale);

// Elements [begin, end) by one formula each, for the vector kernels to share.
void add_i8_q12(const AddI8Plan& plan, const int8_t* a, const int8_t* b, int8_t* out, int begin, int end);
void add_i8_high_mul(const AddI8Plan& plan, const int8_t* a, const int8_t* b, int8_t* out, int begin,
                     int end);
void add_i8_single_round(const AddI8Plan& plan, const int8_t* a, const int8_t* b, int8_t* out, int begin,
                         int end);

// Elements [0, count) of an add: complete groups of `plan.group` through q12(a, b, out, n) (the
// tier's group formula on the first n elements from those pointers, n a multiple of 16) or the
// high-multiply formula, the rest by the single-rounding formula. Large adds split over threads
// in ranges starting at multiples of 16, so every element takes the formula it takes in one pass.
template <class Q12>
void add_i8_split(const AddI8Plan& plan, const int8_t* a, const int8_t* b, int8_t* out, int count,
                  Q12&& q12) {
  constexpr size_t kMinRangeElements = size_t(1) << 17;
  const int grouped = count - count % plan.group;
  parallel_for(size_t(count), 16, kMinRangeElements, [&](size_t range_begin, size_t range_end) {
    const int begin = int(range_begin), end = int(range_end);
    const int group_end = end < grouped ? end : grouped;
    if (begin < group_end) {
      if (plan.small_ratios)
        q12(a + begin, b + begin, out + begin, group_end - begin);
      else
        add_i8_high_mul(plan, a, b, out, begin, group_end);
    }
    add_i8_single_round(plan, a, b, out, begin > grouped ? begin : grouped, end);
  });
}

// Complete groups of `plan.group` elements by the group formula, the rest by the single-rounding
// Q31 formula.
void add_i8_portable(const int8_t* a, const int8_t* b, int32_t in1_zp, int32_t in2_zp, int32_t out_zp,
                     int8_t* out, int count, float in1_scale, float in2_scale, float out_scale, void* stream);

#ifndef TREVALON_PORTABLE
void add_i8_avx2(const int8_t* a, const int8_t* b, int32_t in1_zp, int32_t in2_zp, int32_t out_zp,
                 int8_t* out, int count, float in1_scale, float in2_scale, float out_scale, void* stream);
void add_i8_avx512(const int8_t* a, const int8_t* b, int32_t in1_zp, int32_t in2_zp, int32_t out_zp,
                   int8_t* out, int count, float in1_scale, float in2_scale, float out_scale, void* stream);
#endif

}  // namespace trevalon
