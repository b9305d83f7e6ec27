// Float element-wise kernels (add, product, scale, snake, bilinear upsampling) on AVX-512.
// GCC 12 reports the _mm512_undefined_* operands inside its own intrinsics as uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "kernels/elementwise_f32.h"
#include "kernels/x86/simd_f32x16.h"
#include "kernels/x86/elementwise_simd.h"

namespace trevalon {

void add_f32_avx512(const float* a, const float* b, float* out, int count, bool relu, void*) {
  add_f32_simd<F32x16>(a, b, out, count, relu);
}

void scale_f32_avx512(const float* in, float* out, int count, float scalar) {
  scale_f32_simd<F32x16>(in, out, count, scalar);
}

void elemwise_mul_f32_avx512(const float* a, const float* b, float* out, int count) {
  elemwise_mul_f32_simd<F32x16>(a, b, out, count);
}

void snake_f32_avx512(const float* in, float* out, const float* alpha, const float* inv, int positions, int C,
                      void*) {
  snake_f32_simd<F32x16>(in, out, alpha, inv, positions, C);
}

void upsample_bilinear_f32_avx512(const float* in, float* out, int C, int H, int W, int out_H, int out_W,
                                  void*) {
  upsample_bilinear_f32_simd<F32x16>(in, out, C, H, W, out_H, out_W);
}

}  // namespace trevalon
