// Row normalisation kernels of the transformer layers: RMS norm and layer norm over the C values of
// each row, portable and (in x86 builds) AVX2 / AVX-512.
//
// Every statistic of a row is one chain of float operations in increasing column order (a plain
// sum for the mean, fused multiply-adds for the squares), so the vector versions keep each row's
// chain whole and run several rows at once, one row per lane: every tier gives the same bits.
#pragma once

namespace trevalon {

// s = sum x^2 (fused), r = sqrt(s * (1/C) + eps) (fused); y = x * (1/r) * weight, or, for rows of
// C <= 3, y = x * weight / r. A null weight multiplies by 1. `out` may be `in`.
void rms_norm_f32_portable(const float* in, const float* weight, float* out, int rows, int cols, float eps);
// m = (sum x) * (1/C); v = sum (x - m)^2 (fused); r = 1 / sqrt(v * (1/C) + eps) (fused);
// y = (x - m) * r * gamma + beta, the last step fused. A null gamma multiplies by 1 and a null beta
// adds nothing (y = (x - m) * r * gamma, or (x - m) * r + beta). `out` may be `in`.
void layer_norm_f32_portable(const float* in, const float* gamma, const float* beta, float* out, int rows,
                             int cols, float eps);

#ifndef TREVALON_PORTABLE
void rms_norm_f32_avx2(const float* in, const float* weight, float* out, int rows, int cols, float eps);
void layer_norm_f32_avx2(const float* in, const float* gamma, const float* beta, float* out, int rows,
                         int cols, float eps);
void rms_norm_f32_avx512(const float* in, const float* weight, float* out, int rows, int cols, float eps);
void layer_norm_f32_avx512(const float* in, const float* gamma, const float* beta, float* out, int rows,
                           int cols, float eps);
#endif

}  // namespace trevalon
