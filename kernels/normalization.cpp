// Portable normalisation kernels: the row norms one row at a time, each statistic one chain in
// column order; the instance norm a block of channels at a time, each channel's chain in time order.
#include "kernels/normalization.h"

#include <cmath>
#include <algorithm>
#include <cstddef>

#include "kernels/thread_pool.h"
#include "kernels/work_split.h"

namespace trevalon {
namespace {

void rms_norm_rows(const float* in, const float* weight, float* out, int rows, int cols, float eps) {
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

void layer_norm_rows(const float* in, const float* gamma, const float* beta, float* out, int rows, int cols,
                     float eps) {
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

void ada_in1d_channels(const float* in, float* out, const float* gamma, const float* beta, int rows, int C,
                       const float* norm_weight, float eps, const float* norm_bias, int c_first, int c_last) {
  const float inv_t = 1.0f / static_cast<float>(rows);
  // A block of channels per pass over time keeps the reads along rows; each channel's sums still
  // run over t in order, as one chain.
  constexpr int kBlock = 64;
  for (int c0 = c_first; c0 < c_last; c0 += kBlock) {
    const int nc = std::min(kBlock, c_last - c0);
    float mean[kBlock], var[kBlock], k[kBlock];
    std::fill(mean, mean + nc, 0.0f);
    std::fill(var, var + nc, 0.0f);
    for (int t = 0; t < rows; ++t) {
      const float* x = in + size_t(t) * size_t(C) + c0;
      for (int j = 0; j < nc; ++j) mean[j] += x[j];
    }
    for (int j = 0; j < nc; ++j) mean[j] *= inv_t;
    for (int t = 0; t < rows; ++t) {
      const float* x = in + size_t(t) * size_t(C) + c0;
      for (int j = 0; j < nc; ++j) {
        const float d = x[j] - mean[j];
        var[j] = std::fma(d, d, var[j]);
      }
    }
    for (int j = 0; j < nc; ++j) {
      const float inv = 1.0f / std::sqrt(inv_t * var[j] + eps);
      k[j] = norm_weight ? inv * norm_weight[c0 + j] : inv;
    }
    for (int t = 0; t < rows; ++t) {
      const float* x = in + size_t(t) * size_t(C) + c0;
      float* y = out + size_t(t) * size_t(C) + c0;
      for (int j = 0; j < nc; ++j) {
        float n = (x[j] - mean[j]) * k[j];
        if (norm_weight && norm_bias) n = n + norm_bias[c0 + j];
        y[j] = std::fma(n, 1.0f + gamma[c0 + j], beta[c0 + j]);
      }
    }
  }
}

void ada_layer_norm_rows(const float* in, float* out, const float* gamma, const float* beta, int rows, int C,
                         float eps) {
  const float inv_c = 1.0f / static_cast<float>(C);
  for (int r = 0; r < rows; ++r) {
    const float* x = in + size_t(r) * size_t(C);
    float* y = out + size_t(r) * size_t(C);
    float sum = 0.0f;
    for (int c = 0; c < C; ++c) sum += x[c];
    const float m = sum * inv_c;
    float v = 0.0f;
    for (int c = 0; c < C; ++c) {
      const float d = x[c] - m;
      v = std::fma(d, d, v);
    }
    const float rstd = 1.0f / std::sqrt(v * inv_c + eps);
    for (int c = 0; c < C; ++c) y[c] = std::fma((x[c] - m) * rstd, gamma[c] + 1.0f, beta[c]);
  }
}

}  // namespace

// The entries split rows (or, for the instance norm, blocks of 64 channels) between threads: each
// row's or channel's chain is the same in whichever range it runs.
void rms_norm_f32_portable(const float* in, const float* weight, float* out, int rows, int cols, float eps) {
  if (rows <= 0 || cols <= 0) return;
  parallel_for(size_t(rows), 16, rows_of_values(cols), [&](size_t b, size_t e) {
    rms_norm_rows(in + b * size_t(cols), weight, out + b * size_t(cols), int(e - b), cols, eps);
  });
}

void layer_norm_f32_portable(const float* in, const float* gamma, const float* beta, float* out, int rows,
                             int cols, float eps) {
  if (rows <= 0 || cols <= 0) return;
  parallel_for(size_t(rows), 16, rows_of_values(cols), [&](size_t b, size_t e) {
    layer_norm_rows(in + b * size_t(cols), gamma, beta, out + b * size_t(cols), int(e - b), cols, eps);
  });
}

void ada_in1d_f32_portable(const float* in, float* out, const float* gamma, const float* beta, int rows,
                           int C, const float* norm_weight, float eps, const float* norm_bias) {
  if (rows <= 0 || C <= 0) return;
  parallel_for(size_t(C), 64, rows_of_values(rows), [&](size_t b, size_t e) {
    ada_in1d_channels(in, out, gamma, beta, rows, C, norm_weight, eps, norm_bias, int(b), int(e));
  });
}

void ada_layer_norm_f32_portable(const float* in, float* out, const float* gamma, const float* beta, int rows,
                                 int C, float eps) {
  if (rows <= 0 || C <= 0) return;
  parallel_for(size_t(rows), 16, rows_of_values(C), [&](size_t b, size_t e) {
    ada_layer_norm_rows(in + b * size_t(C), out + b * size_t(C), gamma, beta, int(e - b), C, eps);
  });
}

}  // namespace trevalon
