// Normalisation kernels on AVX-512: sixteen rows (or channels) per block, one per lane.
// GCC 12 reports the _mm512_undefined_* operands inside its own intrinsics as uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "kernels/x86/simd_f32x16.h"
#include "kernels/x86/transpose_f32x16.h"

namespace trevalon {
namespace {

inline __m512 sqrt_lanes(__m512 v) { return _mm512_sqrt_ps(v); }

}  // namespace
}  // namespace trevalon

#include "kernels/x86/normalization_simd.h"

namespace trevalon {

void rms_norm_f32_avx512(const float* in, const float* weight, float* out, int rows, int cols, float eps) {
  rms_norm_f32_simd<F32x16>(in, weight, out, rows, cols, eps);
}

void layer_norm_f32_avx512(const float* in, const float* gamma, const float* beta, float* out, int rows,
                           int cols, float eps) {
  layer_norm_f32_simd<F32x16>(in, gamma, beta, out, rows, cols, eps);
}

void ada_in1d_f32_avx512(const float* in, float* out, const float* gamma, const float* beta, int rows, int C,
                         const float* norm_weight, float eps, const float* norm_bias) {
  ada_in1d_f32_simd<F32x16>(in, out, gamma, beta, rows, C, norm_weight, eps, norm_bias);
}

void ada_layer_norm_f32_avx512(const float* in, float* out, const float* gamma, const float* beta, int rows,
                               int C, float eps) {
  ada_layer_norm_f32_simd<F32x16>(in, out, gamma, beta, rows, C, eps);
}

}  // namespace trevalon
