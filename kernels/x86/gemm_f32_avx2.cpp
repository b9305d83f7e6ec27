// AVX2/FMA float GEMM and GEMV on 4-row weight panels. Lanes are 8 rows of A (A is transposed into
// a per-thread buffer), each weight is broadcast, so every output keeps its own accumulator and its
// k order: results equal the scalar fused-multiply-add reference bit for bit.
#include <immintrin.h>

#include <cstring>
#include <vector>

#include "kernels/gemm_f32.h"
#include "kernels/gemm_split.h"
#include "kernels/thread_work.h"
#include "kernels/x86/gemm_f32_row128.h"
#include "kernels/x86/gemm_f32_tiles.h"

namespace trevalon {
namespace x86 {
namespace {

inline __m256 finish8(__m256 acc, float bias, bool relu) {
  __m256 v = _mm256_add_ps(acc, _mm256_set1_ps(bias));
  return relu ? _mm256_max_ps(v, _mm256_setzero_ps()) : v;
}

inline __m128 finish4(__m128 acc, __m128 bias, bool relu) {
  __m128 v = _mm_add_ps(acc, bias);
  return relu ? _mm_max_ps(v, _mm_setzero_ps()) : v;
}

inline void transpose8(__m256 r[8]) {
  __m256 t[8];
  for (int i = 0; i < 4; ++i) {
    t[2 * i] = _mm256_unpacklo_ps(r[2 * i], r[2 * i + 1]);
    t[2 * i + 1] = _mm256_unpackhi_ps(r[2 * i], r[2 * i + 1]);
  }
  __m256 u[8];
  for (int i = 0; i < 2; ++i) {
    u[4 * i + 0] = _mm256_shuffle_ps(t[4 * i], t[4 * i + 2], 0x44);
    u[4 * i + 1] = _mm256_shuffle_ps(t[4 * i], t[4 * i + 2], 0xEE);
    u[4 * i + 2] = _mm256_shuffle_ps(t[4 * i + 1], t[4 * i + 3], 0x44);
    u[4 * i + 3] = _mm256_shuffle_ps(t[4 * i + 1], t[4 * i + 3], 0xEE);
  }
  for (int i = 0; i < 4; ++i) {
    r[i] = _mm256_permute2f128_ps(u[i], u[i + 4], 0x20);
    r[i + 4] = _mm256_permute2f128_ps(u[i], u[i + 4], 0x31);
  }
}

// at[k*8 + r] = A[r][k] for r < rows, 0 for the missing rows.
void transpose_rows8(const float* A, int rows, int K, float* at) {
  int k = 0;
  if (rows == 8) {
    for (; k + 8 <= K; k += 8) {
      __m256 r[8];
      for (int i = 0; i < 8; ++i) r[i] = _mm256_loadu_ps(A + size_t(i) * K + k);
      transpose8(r);
      for (int i = 0; i < 8; ++i) _mm256_storeu_ps(at + size_t(k + i) * 8, r[i]);
    }
  }
  for (; k < K; ++k)
    for (int i = 0; i < 8; ++i) at[size_t(k) * 8 + i] = i < rows ? A[size_t(i) * K + k] : 0.0f;
}

inline __m256i lane_mask8(int count) {
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(count), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// 8 rows by P panels (4P channels); acc[j] holds channel j for the 8 rows.
template <int P>
void tile8(const float* at, const float* w, size_t panel_stride, const float* bias, float* out, bool relu,
           int rows, int K, int N, int n0) {
  __m256 acc[4 * P];
  {
    // Accumulate in registers; results go to memory once, after the k loop.
    __m256 reg[4 * P];
#pragma GCC unroll 16
    for (int j = 0; j < 4 * P; ++j) reg[j] = _mm256_setzero_ps();
    for (int k = 0; k < K; ++k) {
      const __m256 a = _mm256_loadu_ps(at + size_t(k) * 8);
#pragma GCC unroll 4
      for (int p = 0; p < P; ++p) {
        const float* wk = w + p * panel_stride + size_t(k) * 4;
#pragma GCC unroll 4
        for (int c = 0; c < 4; ++c)
          reg[4 * p + c] = _mm256_fmadd_ps(a, _mm256_broadcast_ss(wk + c), reg[4 * p + c]);
      }
    }
#pragma GCC unroll 16
    for (int j = 0; j < 4 * P; ++j) acc[j] = reg[j];
  }
  const int valid = N - n0 < 4 * P ? N - n0 : 4 * P;
  for (int j0 = 0; j0 < 4 * P; j0 += 8) {
    __m256 r[8];
    for (int j = 0; j < 8; ++j)
      r[j] = (j0 + j < valid) ? finish8(acc[j0 + j], bias ? bias[n0 + j0 + j] : 0.0f, relu)
                              : _mm256_setzero_ps();
    transpose8(r);
    const int count = valid - j0 < 8 ? valid - j0 : 8;
    if (count <= 0) break;
    const __m256i mask = lane_mask8(count);
    for (int i = 0; i < rows; ++i) {
      float* dst = out + size_t(i) * N + n0 + j0;
      if (count == 8) {
        _mm256_storeu_ps(dst, r[i]);
      } else {
        _mm256_maskstore_ps(dst, mask, r[i]);
      }
    }
  }
}

// One row by up to 8 panels: lanes are 4 channels of a panel.
template <int P>
void row_panels(const float* a, const float* w, size_t panel_stride, const float* bias, float* out, bool relu,
                int K, int N, int n0) {
  __m128 acc[P];
  row_products128<P>(a, w, panel_stride, K, acc);
  for (int p = 0; p < P; ++p) {
    const int n = n0 + 4 * p;
    const int count = N - n < 4 ? N - n : 4;
    if (count <= 0) break;
    float b[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    if (bias) std::memcpy(b, bias + n, size_t(count) * sizeof(float));
    const __m128 v = finish4(acc[p], _mm_loadu_ps(b), relu);
    if (count == 4) {
      _mm_storeu_ps(out + n, v);
    } else {
      float tmp[4];
      _mm_storeu_ps(tmp, v);
      std::memcpy(out + n, tmp, size_t(count) * sizeof(float));
    }
  }
}

float* transposed_a_buffer(size_t floats) { return thread_work<float>(WorkBuffer::GemmF32RowsAvx2, floats); }

}  // namespace

void gemm_f32_rows8_avx2(const float* A, const float* packed, const float* bias, float* out, bool relu,
                         int rows, int K, int N, int p_begin, int p_end) {
  float* at = transposed_a_buffer(size_t(K) * 8);
  transpose_rows8(A, rows, K, at);
  const size_t panel_stride = size_t(K) * 4;
  const int panels = p_end;
  for (int p = p_begin; p < panels; p += 3) {
    const float* w = packed + size_t(p) * panel_stride;
    switch (panels - p < 3 ? panels - p : 3) {
      case 1: tile8<1>(at, w, panel_stride, bias, out, relu, rows, K, N, 4 * p); break;
      case 2: tile8<2>(at, w, panel_stride, bias, out, relu, rows, K, N, 4 * p); break;
      default: tile8<3>(at, w, panel_stride, bias, out, relu, rows, K, N, 4 * p); break;
    }
  }
}

void gemm_f32_row_avx2(const float* a, const float* packed, const float* bias, float* out, bool relu, int K,
                       int N, int p_begin, int p_end) {
  const size_t panel_stride = size_t(K) * 4;
  const int panels = p_end;
  for (int p = p_begin; p < panels; p += 8) {
    const float* w = packed + size_t(p) * panel_stride;
    const int n0 = 4 * p;
    switch (panels - p < 8 ? panels - p : 8) {
      case 1: row_panels<1>(a, w, panel_stride, bias, out, relu, K, N, n0); break;
      case 2: row_panels<2>(a, w, panel_stride, bias, out, relu, K, N, n0); break;
      case 3: row_panels<3>(a, w, panel_stride, bias, out, relu, K, N, n0); break;
      case 4: row_panels<4>(a, w, panel_stride, bias, out, relu, K, N, n0); break;
      case 5: row_panels<5>(a, w, panel_stride, bias, out, relu, K, N, n0); break;
      case 6: row_panels<6>(a, w, panel_stride, bias, out, relu, K, N, n0); break;
      case 7: row_panels<7>(a, w, panel_stride, bias, out, relu, K, N, n0); break;
      default: row_panels<8>(a, w, panel_stride, bias, out, relu, K, N, n0); break;
    }
  }
}

}  // namespace x86

namespace {

// Rows [0, M) by the panels [p_begin, p_end): 8-row tiles, the last 1-3 rows one at a time.
void product_avx2(const float* A, const float* packed, const float* bias, float* out, bool relu, int M, int K,
                  int N, int p_begin, int p_end) {
  int m = 0;
  for (; M - m >= 4; m += 8) {
    const int rows = M - m < 8 ? M - m : 8;
    x86::gemm_f32_rows8_avx2(A + size_t(m) * K, packed, bias, out + size_t(m) * N, relu, rows, K, N, p_begin,
                             p_end);
  }
  for (; m < M; ++m)
    x86::gemm_f32_row_avx2(A + size_t(m) * K, packed, bias, out + size_t(m) * N, relu, K, N, p_begin, p_end);
}

}  // namespace

void gemm_f32_avx2(const float* A, const float* packed, const float* bias, float* out, bool relu, int M,
                   int K, int N) {
  if (M <= 0 || N <= 0) return;
  if (K < 0) K = 0;
  const int panels = (N + 3) / 4;
  // Channel ranges in whole 3-panel tiles (24 channels: two) and row ranges in whole 8-row tiles.
  split_product(
      M, N, K, 8, 24, kSplitMacsF32,
      [&](size_t m0, size_t m1) {
        product_avx2(A + m0 * K, packed, bias, out + m0 * N, relu, int(m1 - m0), K, N, 0, panels);
      },
      [&](size_t n0, size_t n1) {
        product_avx2(A, packed, bias, out, relu, M, K, N, int(n0 / 4), int((n1 + 3) / 4));
      });
}

void gemv_f32_avx2(const float* x, const float* w, const float* bias, float* out, int K, int N,
                   const float* packed, void* stream) {
  if (N <= 0) return;
  if (K < 0) K = 0;
  if (!packed) packed = pack_weights_f32_scratch(w, N, K);
  // One row: ranges of channels in whole 8-panel groups, each reading its own part of the weights.
  parallel_for(size_t(N), 32, kSplitGemvMacsF32 / size_t(K > 0 ? K : 1) + 1, [&](size_t n0, size_t n1) {
    x86::gemm_f32_row_avx2(x, packed, bias, out, false, K, N, int(n0 / 4), int((n1 + 3) / 4));
  });
}

}  // namespace trevalon
