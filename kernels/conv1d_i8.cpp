// Portable pieces of the one-dimensional int8 convolution and the install of each tier's per-tap
// accumulation into the drivers.
#include "kernels/conv1d_i8.h"

#include <cmath>
#include <cstring>

#include "backend/cpu_backend.h"
#include "kernels/seq_gemm.h"

namespace trevalon {

void conv1d_im2col_rows(const float* x, int L, int C, int c0, int Cg, int K, int stride, int dilation,
                        int padding, int L_out, float* rows) {
  const size_t row_len = size_t(K) * size_t(Cg);
  for (int t = 0; t < L_out; ++t) {
    float* row = rows + size_t(t) * row_len;
    for (int k = 0; k < K; ++k) {
      const int64_t src = int64_t(t) * stride + int64_t(k) * dilation - padding;
      float* dst = row + size_t(k) * size_t(Cg);
      if (src < 0 || src >= L)
        std::memset(dst, 0, size_t(Cg) * sizeof(float));
      else
        std::memcpy(dst, x + size_t(src) * size_t(C) + c0, size_t(Cg) * sizeof(float));
    }
  }
}

void conv1d_i8_tap_accumulate_portable(const int32_t* acc, const float* row_scales, const float* w_scales,
                                       const float* bias, float* y, int rows, int N, bool first) {
  for (int t = 0; t < rows; ++t) {
    const float s = row_scales[t];
    const int32_t* a = acc + size_t(t) * size_t(N);
    float* out = y + size_t(t) * size_t(N);
    for (int o = 0; o < N; ++o) {
      const float v = float(a[o]);
      if (!first)
        out[o] = std::fma(s * v, w_scales[o], out[o]);
      else if (bias)
        out[o] = std::fma(v, s * w_scales[o], bias[o]);
      else
        out[o] = v * (s * w_scales[o]);
    }
  }
}

void conv1d_i8_depthwise_portable(const float* x, int L, int C, const int8_t* w, const float* w_taps,
                                  const float* w_scales, const float* bias, float* y, int L_out, int C_out,
                                  int K, int stride, int dilation, int padding) {
  conv1d_i8_depthwise_parallel(
      [C](const float* x, int L, int, const int8_t* w, const float* w_taps, const float* w_scales,
          const float* bias, float* y, int L_out, int C_out, int K, int stride, int dilation, int padding) {
        conv1d_i8_depthwise_channels(x, L, C, w, w_taps, w_scales, bias, y, L_out, C_out, K, stride, dilation,
                                     padding, 0, C);
      },
      x, L, C, w, w_taps, w_scales, bias, y, L_out, C_out, K, stride, dilation, padding);
}

void conv1d_i8_depthwise_channels(const float* x, int L, int C, const int8_t* w, const float*,
                                  const float* w_scales, const float* bias, float* y, int L_out, int C_out,
                                  int K, int stride, int dilation, int padding, int c_begin, int c_end) {
  const int m = C_out / C;
  for (int t = 0; t < L_out; ++t) {
    float* out = y + size_t(t) * size_t(C_out);
    for (int c = c_begin; c < c_end; ++c) {
      auto tap = [&](int k) {
        const int64_t src = int64_t(t) * stride + int64_t(k) * dilation - padding;
        return src < 0 || src >= L ? 0.0f : x[size_t(src) * size_t(C) + c];
      };
      float amax = 0.0f;
      for (int k = 0; k < K; ++k) {
        const float a = std::fabs(tap(k));
        amax = a > amax ? a : amax;  // NaNs skipped, as row_abs_max does
      }
      const float s = dynamic_row_scale(amax), inv = 1.0f / s;
      for (int j = 0; j < m; ++j) {
        const int o = c * m + j;
        const int8_t* wo = w + size_t(o) * size_t(K);
        uint32_t acc = 0;
        for (int k = 0; k < K; ++k) acc += uint32_t(int32_t(quantize_clamped(tap(k) * inv)) * int32_t(wo[k]));
        float v = float(int32_t(acc)) * w_scales[o];
        v = v * s;
        out[o] = bias ? v + bias[o] : v;
      }
    }
  }
}

void install_conv1d_i8_kernels(KernelTable&, KernelDrivers& drivers, CpuTier tier) {
  drivers.conv1d_i8_tap_accumulate = &conv1d_i8_tap_accumulate_portable;
  drivers.conv1d_i8_depthwise = &conv1d_i8_depthwise_portable;
#ifndef TREVALON_PORTABLE
  if (tier >= CpuTier::Avx512) {
    drivers.conv1d_i8_tap_accumulate = &conv1d_i8_tap_accumulate_avx512;
    drivers.conv1d_i8_depthwise = &conv1d_i8_depthwise_avx512;
  } else if (tier >= CpuTier::Avx2) {
    drivers.conv1d_i8_tap_accumulate = &conv1d_i8_tap_accumulate_avx2;
    drivers.conv1d_i8_depthwise = &conv1d_i8_depthwise_avx2;
  }
#else
  (void)tier;
#endif
}

}  // namespace trevalon
