// Sequence projections: the portable kernels, and the pieces every tier shares (the direct float
// product, the dynamic-row int8 product around the tier's gemm_i8, the fake quantisation).
#include "kernels/seq_gemm.h"

#include <climits>
#include <cmath>
#include <cstring>

#include "kernels/activation_f32.h"
#include "kernels/gemm_f32.h"
#include "kernels/gemm_i8.h"
#include "kernels/thread_pool.h"
#include "kernels/thread_work.h"
#include "kernels/work_split.h"

namespace trevalon {

float row_abs_max(const float* x, int n) {
  float amax = 0.0f;
  for (int k = 0; k < n; ++k) {
    const float a = std::fabs(x[k]);
    amax = a > amax ? a : amax;  // NaN fails the test and is skipped
  }
  return amax;
}

void quantize_rows_i8_portable(const float* x, int rows, int K, int8_t* q, float* scales) {
  for (int r = 0; r < rows; ++r) {
    const float* row = x + size_t(r) * size_t(K);
    int8_t* qr = q + size_t(r) * size_t(K);
    const float s = dynamic_row_scale(row_abs_max(row, K));
    const float inv = 1.0f / s;
    for (int k = 0; k < K; ++k) qr[k] = quantize_clamped(row[k] * inv);
    scales[r] = s;
  }
}

void fake_quantize_f32(float* data, size_t n) {
  if (n == 0) return;
  float lo = data[0], hi = data[0];
  for (size_t i = 1; i < n; ++i) {
    lo = std::fmin(lo, data[i]);
    hi = std::fmax(hi, data[i]);
  }
  // A constant tensor would get scale 1e-8 and zero point 0, which clamps every value above
  // 255e-8 to 255e-8; it is already on any grid, so it stays as it is.
  if (!(hi - lo > 0.0f)) return;
  // The zero point is clamped to the grid, so a range that does not hold 0 would clip: [1, 2] would
  // map 2 to 1. Widening the range to take in 0 keeps every value within a step; ranges that
  // already hold 0 are unchanged.
  lo = std::fmin(lo, 0.0f);
  hi = std::fmax(hi, 0.0f);
  const float scale = (hi - lo) * 0.003921569f;
  const float inv = 1.0f / scale;
  const float z = std::round(std::fmin(std::fmax(-lo / scale, 0.0f), 255.0f));
  // The range search above is one pass in order; snapping is value by value.
  parallel_for(n, 64, kSplitValues, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      const float v = std::round(data[i] * inv) + z;
      data[i] = (std::fmin(std::fmax(v, 0.0f), 255.0f) - z) * scale;
    }
  });
}

void gemm_f32_rows_direct(const float* input, const float* w, const float* bias, float* out, int T, int K,
                          int N) {
  if (K < 0) K = 0;
  if (T <= 0 || N <= 0) return;
  parallel_for(size_t(T), 1, rows_worth_splitting(K, N), [&](size_t t0, size_t t1) {
    for (size_t t = t0; t < t1; ++t) {
      const float* x = input + t * size_t(K);
      float* y = out + t * size_t(N);
      for (int o = 0; o < N; ++o) {
        const float* wo = w + size_t(o) * size_t(K);
        float acc = 0.0f;
        for (int k = 0; k < K; ++k) acc = std::fma(x[k], wo[k], acc);
        y[o] = acc + (bias ? bias[o] : 0.0f);
      }
    }
  });
}

void gelu_in_chunks(void (*gelu)(float*, int), float* data, size_t count) {
  // One call per range when it fits the kernel's int; otherwise chunks. Ranges and chunks start on
  // multiples of 64, so every group of four the whole count has stays whole, and the scalar tail
  // stays at the end of the last range.
  constexpr size_t kChunk = size_t(INT_MAX) & ~size_t(63);
  parallel_for(count, 64, kSplitTranscendentals, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; i += kChunk) gelu(data + i, int(end - i < kChunk ? end - i : kChunk));
  });
}

void gemm_i8_dynamic_rows_with(QuantizeRowsFn quantize, GemmI8DriverFn gemm,
                               const PreparedWeightsI8* prepared, const float* input, const int8_t* packed,
                               const float* row_scales, const int64_t* zero_bias, const float* bias,
                               int8_t* q, float* scale_copy, float* out, int T, int K, int N,
                               GemmI8RowsF32Fn fused, GeluFn gelu) {
  if (T <= 0 || N <= 0) return;
  if (K <= 0) {  // nothing to multiply: every row is the bias
    for (int t = 0; t < T; ++t)
      for (int o = 0; o < N; ++o) out[size_t(t) * N + o] = bias ? bias[o] : 0.0f;
    if (gelu) gelu_in_chunks(gelu, out, size_t(T) * size_t(N));
    return;
  }
  // The caller's scales serve every range: each range writes its own rows' entries.
  float* s = thread_work<float>(WorkBuffer::DynamicRowScales, size_t(T));
  // A count that is not a multiple of four ends in gelu's scalar tail, which the fused lanes are not.
  // Decided on the whole count, so every range takes the same path.
  const bool use_fused = fused && (!gelu || size_t(T) * size_t(N) % 4 == 0);
  if (!use_fused) std::memcpy(scale_copy, row_scales, size_t(N) * sizeof(float));
  // Rows are independent: each range quantises its rows and multiplies them. Range starts on
  // multiples of eight rows keep every GELU group of four whole (8N is a multiple of four).
  parallel_for(size_t(T), 8, rows_worth_splitting(K, N, kSplitMacsI8), [&](size_t t0, size_t t1) {
    const int rows = int(t1 - t0);
    const float* x = input + t0 * size_t(K);
    int8_t* qr = q + t0 * size_t(K);
    float* sr = s + t0;
    float* y0 = out + t0 * size_t(N);
    quantize(x, rows, K, qr, sr);
    if (use_fused) {
      fused(qr, packed, prepared, row_scales, sr, bias, y0, rows, K, N, gelu != nullptr);
      return;
    }
    gemm(qr, packed, prepared, zero_bias, nullptr, nullptr, scale_copy, 0, y0, true, rows, K, N, false,
         nullptr);
    for (int t = 0; t < rows; ++t) {
      float* y = y0 + size_t(t) * size_t(N);
      const float st = sr[t];
      for (int o = 0; o < N; ++o) y[o] *= st;
      if (bias)
        for (int o = 0; o < N; ++o) y[o] += bias[o];
    }
    if (gelu) gelu_in_chunks(gelu, y0, size_t(rows) * size_t(N));
  });
}

void gemm_i8_dynamic_rows(const float* input, const int8_t* packed, const float* row_scales,
                          const int64_t* zero_bias, const float* bias, int8_t* q, float* scale_copy,
                          float* out, int T, int K, int N, const KernelDrivers& drivers,
                          const PreparedWeightsI8* prepared, GeluFn gelu) {
  // A form prepared for another tier is not read: the driver then derives what it needs.
  if (prepared && prepared->format != drivers.format) prepared = nullptr;
  gemm_i8_dynamic_rows_with(drivers.quantize_rows_i8, drivers.gemm_i8, prepared, input, packed, row_scales,
                            zero_bias, bias, q, scale_copy, out, T, K, N, drivers.gemm_i8_rows_f32, gelu);
}

void gemv_i8_dynamic_portable(const float* x, const int8_t* w, const float* row_scales, const float* bias,
                              float* out, int K, int N, void*) {
  if (N <= 0) return;
  if (K < 0) K = 0;
  int8_t* xq = thread_work<int8_t>(WorkBuffer::GemvI8Input, size_t(K));
  float s = 1e-8f;
  quantize_rows_i8_portable(x, 1, K, xq, &s);
  // Every range reads the caller's quantised vector.
  parallel_for(size_t(N), 4, gemv_rows_worth_splitting(K), [&](size_t o0, size_t o1) {
    for (size_t o = o0; o < o1; ++o) {
      const int8_t* wo = w + o * size_t(K);
      uint32_t acc = 0;  // wraps as the vector lanes do
      for (int k = 0; k < K; ++k) acc += uint32_t(int32_t(xq[k]) * int32_t(wo[k]));
      out[o] = (bias ? bias[o] : 0.0f) + row_scales[o] * (s * float(int32_t(acc)));
    }
  });
}

}  // namespace trevalon
