// Float activation kernels (table slots relu, gelu, sigmoid, tanh, leaky_relu, exp, sin, silu):
// the portable versions and, in x86 builds, the AVX2 and AVX-512 ones.
#pragma once

namespace trevalon {

// Portable kernels: every complete group of four elements follows the vector formulas lane by
// lane, the remaining elements the C library.
void relu_f32_portable(float* data, int count);
void gelu_f32_portable(float* data, int count);
void sigmoid_f32_portable(const float* in, float* out, int count);
void tanh_f32_portable(const float* in, float* out, int count);
void silu_f32_portable(const float* in, float* out, int count);
void exp_f32_portable(const float* in, float* out, int count);
void sin_f32_portable(const float* in, float* out, int count);
void leaky_relu_f32_portable(const float* in, float* out, int count, float alpha);

#ifndef TREVALON_PORTABLE
// Both tiers take their reciprocal estimate from the 256-bit instruction, so they agree bit for bit.
void relu_f32_avx2(float* data, int count);
void gelu_f32_avx2(float* data, int count);
void sigmoid_f32_avx2(const float* in, float* out, int count);
void tanh_f32_avx2(const float* in, float* out, int count);
void silu_f32_avx2(const float* in, float* out, int count);
void exp_f32_avx2(const float* in, float* out, int count);
void sin_f32_avx2(const float* in, float* out, int count);
void leaky_relu_f32_avx2(const float* in, float* out, int count, float alpha);

void relu_f32_avx512(float* data, int count);
void gelu_f32_avx512(float* data, int count);
void sigmoid_f32_avx512(const float* in, float* out, int count);
void tanh_f32_avx512(const float* in, float* out, int count);
void silu_f32_avx512(const float* in, float* out, int count);
void exp_f32_avx512(const float* in, float* out, int count);
void sin_f32_avx512(const float* in, float* out, int count);
void leaky_relu_f32_avx512(const float* in, float* out, int count, float alpha);
#endif

}  // namespace trevalon
