// Quantised element-wise add (table slot add_i8): portable and, in x86 builds, AVX2 / AVX-512
// versions that give the same bits.
#pragma once

#include <cstdint>

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
