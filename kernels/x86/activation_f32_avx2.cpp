// Float activation kernels on AVX2 + FMA, eight lanes.
#include "kernels/activation_f32.h"
#include "kernels/x86/simd_f32x8.h"
#include "kernels/x86/activation_simd.h"

namespace trevalon {
namespace {
using V = F32x8;
using F = V::F;
}  // namespace

void relu_f32_avx2(float* data, int count) {
  map_all<V>(data, data, count, [](F x) { return V::relu(x); });
}

void leaky_relu_f32_avx2(const float* in, float* out, int count, float alpha) {
  const F a = V::set1(alpha);
  map_all<V>(in, out, count, [a](F x) { return V::leaky(x, a); });
}

void gelu_f32_avx2(float* data, int count) { map_groups_of_four<V>(data, data, count, gelu_v<V>, gelu_tail); }

void sigmoid_f32_avx2(const float* in, float* out, int count) {
  map_groups_of_four<V>(in, out, count, sigmoid_v<V>, sigmoid_tail);
}

void tanh_f32_avx2(const float* in, float* out, int count) {
  map_groups_of_four<V>(in, out, count, tanh_v<V>, [](float x) { return tanhf(x); });
}

void silu_f32_avx2(const float* in, float* out, int count) {
  map_groups_of_four<V>(in, out, count, silu_v<V>, silu_tail);
}

void exp_f32_avx2(const float* in, float* out, int count) {
  map_groups_of_four<V>(in, out, count, exp_v<V>, [](float x) { return expf(x); });
}

void sin_f32_avx2(const float* in, float* out, int count) {
  map_groups_of_four<V>(in, out, count, sin_v<V>, [](float x) { return sinf(x); });
}

}  // namespace trevalon
