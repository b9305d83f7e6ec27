// Portable RMS norm and layer norm: one row at a time, each statistic one chain in column order.
#include "kernels/normalization.h"

#include <cmath>
#include <cstddef>

namespace trevalon {

void rms_norm_f32_portable(const float* in, const float* weight, float* out, int rows, int cols, float eps) {
  if (rows <= 0 || cols <= 0) return;
  const float inv_c = 1.0f / static_cast<float>(cols);
  for (int r = 0; r < rows; ++r) {
    const float* x = in + size_t(r) * size_t(cols);
    float* y = out + size_t(r) * size_t(cols);
    float s = 0.0f;
    for (int c = 0; c < cols; ++c) s = std::fma(x[c], x[c], s);
    const float rms = std::sqrt(std::fma(s, inv_c, eps));
    if (cols <= 3) {
      for (int c = 0; c < cols; ++c) y[c] = (weight ? x[c] * weight[c] : x[c]) / rms;
      continue;
    }
    const float inv = 1.0f / rms;
    for (int c = 0; c < cols; ++c) y[c] = weight ? (x[c] * inv) * weight[c] : x[c] * inv;
  }
}

void layer_norm_f32_portable(const float* in, const float* gamma, const float* beta, float* out, int rows,
                             int cols, float eps) {
  if (rows <= 0 || cols <= 0) return;
  const float inv_c = 1.0f / static_cast<float>(cols);
  for (int r = 0; r < rows; ++r) {
    const float* x = in + size_t(r) * size_t(cols);
    float* y = out + size_t(r) * size_t(cols);
    float sum = 0.0f;
    for (int c = 0; c < cols; ++c) sum += x[c];
    const float m = sum * inv_c;
    float v = 0.0f;
    for (int c = 0; c < cols; ++c) {
      const float d = x[c] - m;
      v = std::fma(d, d, v);
    }
    const float rstd = 1.0f / std::sqrt(std::fma(v, inv_c, eps));
    for (int c = 0; c < cols; ++c) {
      const float n = (x[c] - m) * rstd;
      if (gamma && beta)
        y[c] = std::fma(n, gamma[c], beta[c]);
      else if (gamma)
        y[c] = n * gamma[c];
      else
        y[c] = beta ? n + beta[c] : n;
    }
  }
}

}  // namespace trevalon
