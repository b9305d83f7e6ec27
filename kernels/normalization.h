// Normalisation kernels: RMS norm and layer norm over the C values of each row (transformer layers),
// and the style-conditioned instance norm and layer norm of the speech models, portable and (in x86
// builds) AVX2 / AVX-512.
//
// Every statistic of a row is one chain of float operations in increasing column order (a plain
// sum for the mean, fused multiply-adds for the squares), so the vector versions keep each row's
// chain whole and run several rows at once, one row per lane: every tier gives the same bits. The
// instance norm's statistics run over time instead, so there one lane carries one channel.
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

// The style-conditioned norms take gamma and beta (C values each) from a projection of the style.
// Instance norm over time, per channel c of `rows` positions x C: mean = (sum_t x) * (1/T);
// v = sum_t (x - mean)^2 (fused); inv = 1 / sqrt((1/T) * v + eps); n = (x - mean) * (inv * w) + b
// (without w: (x - mean) * inv; b added only when present); y = n * (1 + gamma) + beta, fused.
// `out` may be `in`.
void ada_in1d_f32_portable(const float* in, float* out, const float* gamma, const float* beta, int rows,
                           int C, const float* norm_weight, float eps, const float* norm_bias);
// Layer norm over the C channels of each position: m = (sum x) * (1/C); v = sum (x - m)^2 (fused);
// r = 1 / sqrt(v * (1/C) + eps); y = (x - m) * r * (gamma + 1) + beta, the last step fused.
void ada_layer_norm_f32_portable(const float* in, float* out, const float* gamma, const float* beta, int rows,
                                 int C, float eps);

#ifndef TREVALON_PORTABLE
void rms_norm_f32_avx2(const float* in, const float* weight, float* out, int rows, int cols, float eps);
void layer_norm_f32_avx2(const float* in, const float* gamma, const float* beta, float* out, int rows,
                         int cols, float eps);
void rms_norm_f32_avx512(const float* in, const float* weight, float* out, int rows, int cols, float eps);
void layer_norm_f32_avx512(const float* in, const float* gamma, const float* beta, float* out, int rows,
                           int cols, float eps);
void ada_in1d_f32_avx2(const float* in, float* out, const float* gamma, const float* beta, int rows, int C,
                       const float* norm_weight, float eps, const float* norm_bias);
void ada_layer_norm_f32_avx2(const float* in, float* out, const float* gamma, const float* beta, int rows,
                             int C, float eps);
void ada_in1d_f32_avx512(const float* in, float* out, const float* gamma, const float* beta, int rows, int C,
                         const float* norm_weight, float eps, const float* norm_bias);
void ada_layer_norm_f32_avx512(const float* in, float* out, const float* gamma, const float* beta, int rows,
                               int C, float eps);
#endif

}  // namespace trevalon
