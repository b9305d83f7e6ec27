// Float weight packing, the portable float GEMM/GEMV and the scalar reference.
#include "kernels/gemm_f32.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "kernels/gemm_split.h"
#include "kernels/huge_page_memory.h"
#include "kernels/thread_work.h"

namespace trevalon {

size_t packed_weights_f32_floats(int rows, int cols) {
  if (rows <= 0 || cols <= 0) return 0;
  return size_t((rows + 3) / 4) * size_t(cols) * 4;
}

void pack_weights_f32_into(const float* w, int rows, int cols, float* packed) {
  const size_t total = packed_weights_f32_floats(rows, cols);
  if (total == 0) return;
  std::memset(packed, 0, total * sizeof(float));
  for (int n = 0; n < rows; ++n) {
    float* panel = packed + size_t(n / 4) * 4 * size_t(cols) + (n % 4);
    const float* row = w + size_t(n) * size_t(cols);
    for (int k = 0; k < cols; ++k) panel[size_t(k) * 4] = row[k];
  }
}

float* pack_weights_f32(const float* w, int rows, int cols) {
  const size_t total = packed_weights_f32_floats(rows, cols);
  auto* packed = static_cast<float*>(allocate_huge_page_array((total > 0 ? total : 1) * sizeof(float)));
  pack_weights_f32_into(w, rows, cols, packed);
  return packed;
}

void free_packed_f32(float* packed) { free_huge_page_array(packed); }

const float* pack_weights_f32_scratch(const float* w, int rows, int cols) {
  const size_t total = packed_weights_f32_floats(rows, cols);
  float* scratch = thread_work<float>(WorkBuffer::PackedF32, total);
  pack_weights_f32_into(w, rows, cols, scratch);
  return scratch;
}

namespace {

inline float finish(float acc, const float* bias, int n, bool relu) {
  float v = acc + (bias ? bias[n] : 0.0f);
  return relu ? (v > 0.0f ? v : 0.0f) : v;
}

// Up to 4 rows by one 4-channel panel, k ascending.
void panel_tile(const float* A, int rows, int K, const float* panel, float acc[4][4]) {
  for (int r = 0; r < 4; ++r)
    for (int j = 0; j < 4; ++j) acc[r][j] = 0.0f;
  for (int k = 0; k < K; ++k) {
    const float* wv = panel + size_t(k) * 4;
    for (int r = 0; r < rows; ++r) {
      const float a = A[size_t(r) * size_t(K) + k];
      for (int j = 0; j < 4; ++j) acc[r][j] = std::fma(a, wv[j], acc[r][j]);
    }
  }
}

}  // namespace

namespace {

// Rows [0, M) by the panels [p_begin, p_end), 4 rows at a time.
void portable_product(const float* A, const float* packed, const float* bias, float* out, bool relu, int M,
                      int K, int N, int p_begin, int p_end) {
  const size_t panel_stride = size_t(K) * 4;
  for (int m0 = 0; m0 < M; m0 += 4) {
    const int rows = M - m0 < 4 ? M - m0 : 4;
    for (int p = p_begin; p < p_end; ++p) {
      float acc[4][4];
      panel_tile(A + size_t(m0) * size_t(K), rows, K, packed + size_t(p) * panel_stride, acc);
      for (int r = 0; r < rows; ++r)
        for (int j = 0; j < 4 && p * 4 + j < N; ++j)
          out[size_t(m0 + r) * size_t(N) + p * 4 + j] = finish(acc[r][j], bias, p * 4 + j, relu);
    }
  }
}

}  // namespace

void gemm_f32_portable(const float* A, const float* packed, const float* bias, float* out, bool relu, int M,
                       int K, int N) {
  if (M <= 0 || N <= 0) return;
  if (K < 0) K = 0;
  const int panels = (N + 3) / 4;
  split_product(
      M, N, K, 4, 4, kSplitMacsF32 / 4,  // scalar code: a quarter of the work takes as long
      [&](size_t m0, size_t m1) {
        portable_product(A + m0 * K, packed, bias, out + m0 * N, relu, int(m1 - m0), K, N, 0, panels);
      },
      [&](size_t n0, size_t n1) {
        portable_product(A, packed, bias, out, relu, M, K, N, int(n0 / 4), int((n1 + 3) / 4));
      });
}

void gemv_f32_portable(const float* x, const float* w, const float* bias, float* out, int K, int N,
                       const float* packed, void* stream) {
  if (N <= 0) return;
  if (!packed) packed = pack_weights_f32_scratch(w, N, K);
  gemm_f32_portable(x, packed, bias, out, false, 1, K, N);
}

void gemm_f32_reference(const float* A, const float* W, const float* bias, float* out, bool relu, int M,
                        int K, int N) {
  for (int m = 0; m < M; ++m)
    for (int n = 0; n < N; ++n) {
      float acc = 0.0f;
      for (int k = 0; k < K; ++k) acc = std::fma(A[size_t(m) * K + k], W[size_t(n) * K + k], acc);
      out[size_t(m) * N + n] = finish(acc, bias, n, relu);
    }
}

}  // namespace trevalon
