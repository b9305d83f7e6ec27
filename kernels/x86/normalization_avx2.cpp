// RMS norm and layer norm on AVX2 + FMA: eight rows per block, one row per lane.
#include "kernels/x86/simd_f32x8.h"

namespace trevalon {
namespace {

inline __m256 sqrt_lanes(__m256 v) { return _mm256_sqrt_ps(v); }

// 8 x 8 transpose: pairs of rows, then quadruples, then the two 128-bit halves.
inline void transpose_square(__m256* r) {
  __m256 t[8];
  for (int i = 0; i < 8; i += 2) {
    t[i] = _mm256_unpacklo_ps(r[i], r[i + 1]);
    t[i + 1] = _mm256_unpackhi_ps(r[i], r[i + 1]);
  }
  __m256 u[8];  // u[4g + q], half L: column 4L + q of rows 4g .. 4g + 3
  for (int g = 0; g < 8; g += 4) {
    u[g] = _mm256_shuffle_ps(t[g], t[g + 2], _MM_SHUFFLE(1, 0, 1, 0));
    u[g + 1] = _mm256_shuffle_ps(t[g], t[g + 2], _MM_SHUFFLE(3, 2, 3, 2));
    u[g + 2] = _mm256_shuffle_ps(t[g + 1], t[g + 3], _MM_SHUFFLE(1, 0, 1, 0));
    u[g + 3] = _mm256_shuffle_ps(t[g + 1], t[g + 3], _MM_SHUFFLE(3, 2, 3, 2));
  }
  for (int q = 0; q < 4; ++q) {
    r[q] = _mm256_permute2f128_ps(u[q], u[4 + q], 0x20);
    r[4 + q] = _mm256_permute2f128_ps(u[q], u[4 + q], 0x31);
  }
}

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

}  // namespace trevalon
