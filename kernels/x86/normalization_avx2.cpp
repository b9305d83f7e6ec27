// Normalisation kernels on AVX2 + FMA: eight rows (or channels) per block, one per lane.
#include "kernels/x86/simd_f32x8.h"
#include "kernels/x86/transpose_f32x8.h"

namespace trevalon {
namespace {

inline __m256 sqrt_lanes(__m256 v) { return _mm256_sqrt_ps(v); }

}  // namespace
}  // namespace trevalon

#include "kernels/x86/normalization_simd.h"

namespace trevalon {

void rms_norm_f32_avx2(const float* in, const float* weight, float* out, int rows, int cols, float eps) {
  rms_norm_f32_simd<F32x8>(in, weight, out, rows, cols, eps);
}

void layer_norm_f32_avx2(const float* in, const float* gamma, const float* beta, float* out, int rows,
                         int cols, float eps) {
  layer_norm_f32_simd<F32x8>(in, gamma, beta, out, rows, cols, eps);
}

void ada_in1d_f32_avx2(const float* in, float* out, const float* gamma, const float* beta, int rows, int C,
                       const float* norm_weight, float eps, const float* norm_bias) {
  ada_in1d_f32_simd<F32x8>(in, out, gamma, beta, rows, C, norm_weight, eps, norm_bias);
}

void ada_layer_norm_f32_avx2(const float* in, float* out, const float* gamma, const float* beta, int rows,
                             int C, float eps) {
  ada_layer_norm_f32_simd<F32x8>(in, out, gamma, beta, rows, C, eps);
}

}  // namespace trevalon
