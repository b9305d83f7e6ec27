// AVX-512 float GEMM. Short products work on the 4-row weight panels directly: lanes are 16 rows of
// A (each 16-row tile of A is transposed once into a per-thread buffer, every weight is broadcast
// from its panel straight into the fused multiply-add, and the accumulators are transposed back on
// store), with row tails of up to 12 rows in 4-row lane groups. Tall products regroup the weights
// (gemm_f32_w16_avx512.cpp). Each output keeps one accumulator in k order, so results equal the
// scalar reference.
// GCC 12 flags the deliberately undefined upper halves inside its own AVX-512 cast and convert
// intrinsics as "maybe uninitialized"; the warning is about the header, not this code.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <vector>

#include "kernels/gemm_f32.h"
#include "kernels/x86/gemm_f32_avx512.h"
#include "kernels/x86/gemm_f32_tiles.h"

namespace trevalon {
namespace {

constexpr int kMaxPanels = 6;  // 24 accumulators + the A vector leave room in 32 registers
constexpr int kPrefetchFloats = 512;

// In place: r[i] lane j becomes r[j] lane i.
inline void transpose16(__m512 r[16]) {
  __m512 t[16], u[16];
  for (int i = 0; i < 8; ++i) {
    t[2 * i] = _mm512_unpacklo_ps(r[2 * i], r[2 * i + 1]);
    t[2 * i + 1] = _mm512_unpackhi_ps(r[2 * i], r[2 * i + 1]);
  }
  for (int i = 0; i < 4; ++i) {
    u[4 * i + 0] = _mm512_shuffle_ps(t[4 * i], t[4 * i + 2], 0x44);
    u[4 * i + 1] = _mm512_shuffle_ps(t[4 * i], t[4 * i + 2], 0xEE);
    u[4 * i + 2] = _mm512_shuffle_ps(t[4 * i + 1], t[4 * i + 3], 0x44);
    u[4 * i + 3] = _mm512_shuffle_ps(t[4 * i + 1], t[4 * i + 3], 0xEE);
  }
  for (int e = 0; e < 4; ++e) {
    const __m512 a0 = _mm512_shuffle_f32x4(u[e], u[4 + e], 0x88);
    const __m512 a1 = _mm512_shuffle_f32x4(u[e], u[4 + e], 0xDD);
    const __m512 b0 = _mm512_shuffle_f32x4(u[8 + e], u[12 + e], 0x88);
    const __m512 b1 = _mm512_shuffle_f32x4(u[8 + e], u[12 + e], 0xDD);
    r[e] = _mm512_shuffle_f32x4(a0, b0, 0x88);
    r[8 + e] = _mm512_shuffle_f32x4(a0, b0, 0xDD);
    r[4 + e] = _mm512_shuffle_f32x4(a1, b1, 0x88);
    r[12 + e] = _mm512_shuffle_f32x4(a1, b1, 0xDD);
  }
}

inline __mmask16 first_lanes(int count) {
  return count >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << count) - 1);
}

// at[k*16 + r] = A[r][k] for r < rows, 0 for the missing rows.
void transpose_rows16(const float* A, int rows, int K, float* at) {
  for (int k = 0; k < K; k += 16) {
    const int width = K - k < 16 ? K - k : 16;
    const __mmask16 mask = first_lanes(width);
    __m512 r[16];
    for (int i = 0; i < 16; ++i)
      r[i] = i < rows ? _mm512_maskz_loadu_ps(mask, A + size_t(i) * K + k) : _mm512_setzero_ps();
    transpose16(r);
    for (int c = 0; c < width; ++c) _mm512_storeu_ps(at + size_t(k + c) * 16, r[c]);
  }
}

// 16 rows by P panels; acc[j] holds output channel n0 + j for the 16 rows.
template <int P>
void tile16(const float* at, const float* w, size_t panel_stride, const float* bias, float* out,
            bool relu, int rows, int K, int N, int n0) {
  __m512 acc[4 * P];
  for (int j = 0; j < 4 * P; ++j) acc[j] = _mm512_setzero_ps();
  const float* wp[P];
  for (int p = 0; p < P; ++p) wp[p] = w + p * panel_stride;
  auto step = [&](int k) {
    const __m512 a = _mm512_loadu_ps(at + size_t(k) * 16);
    for (int p = 0; p < P; ++p)
      for (int c = 0; c < 4; ++c)
        acc[4 * p + c] = _mm512_fmadd_ps(a, _mm512_set1_ps(wp[p][4 * k + c]), acc[4 * p + c]);
  };
  // Each panel is read once per 16 rows, often straight from memory: fetch its lines ahead.
  int k = 0;
  for (; k + 4 <= K; k += 4) {
    for (int p = 0; p < P; ++p) _mm_prefetch(reinterpret_cast<const char*>(wp[p] + 4 * k + kPrefetchFloats), _MM_HINT_T0);
    step(k);
    step(k + 1);
    step(k + 2);
    step(k + 3);
  }
  for (; k < K; ++k) step(k);
  const int valid = N - n0 < 4 * P ? N - n0 : 4 * P;
  const __m512 zero = _mm512_setzero_ps();
  for (int j0 = 0; j0 < valid; j0 += 16) {
    __m512 r[16];
    for (int j = 0; j < 16; ++j) {
      if (j0 + j < valid) {
        r[j] = _mm512_add_ps(acc[j0 + j], _mm512_set1_ps(bias ? bias[n0 + j0 + j] : 0.0f));
        if (relu) r[j] = _mm512_max_ps(r[j], zero);
      } else {
        r[j] = zero;
      }
    }
    transpose16(r);
    const __mmask16 mask = first_lanes(valid - j0);
    for (int i = 0; i < rows; ++i) _mm512_mask_storeu_ps(out + size_t(i) * N + n0 + j0, mask, r[i]);
  }
}

float* transposed_a_buffer(size_t floats) {
  thread_local std::vector<float> buffer;
  if (buffer.size() < floats) buffer.resize(floats);
  return buffer.data();
}

void rows16(const float* A, const float* packed, const float* bias, float* out, bool relu, int rows,
            int K, int N) {
  float* at = transposed_a_buffer(size_t(K) * 16);
  transpose_rows16(A, rows, K, at);
  const size_t panel_stride = size_t(K) * 4;
  const int panels = (N + 3) / 4;
  for (int p = 0; p < panels; p += kMaxPanels) {
    const float* w = packed + size_t(p) * panel_stride;
    const int n0 = 4 * p;
    switch (panels - p < kMaxPanels ? panels - p : kMaxPanels) {
      case 1: tile16<1>(at, w, panel_stride, bias, out, relu, rows, K, N, n0); break;
      case 2: tile16<2>(at, w, panel_stride, bias, out, relu, rows, K, N, n0); break;
      case 3: tile16<3>(at, w, panel_stride, bias, out, relu, rows, K, N, n0); break;
      case 4: tile16<4>(at, w, panel_stride, bias, out, relu, rows, K, N, n0); break;
      case 5: tile16<5>(at, w, panel_stride, bias, out, relu, rows, K, N, n0); break;
      default: tile16<6>(at, w, panel_stride, bias, out, relu, rows, K, N, n0); break;
    }
  }
}

// Row tails of up to 12 rows: lanes are 4 rows x the 4 channels of a panel. A is expanded once
// (each value repeated over its row's 4 lanes), every panel vector is broadcast to the 4 row slots,
// so a tail costs its rows rounded up to 4 rather than a full 16-row tile.
constexpr int kQuadPanels = 6;

// ax[(k*RG + g)*16 + 4i + j] = A[4g + i][k], zero for rows >= rows.
void expand_quads(const float* A, int rows, int K, int RG, float* ax) {
  const __m512i pick[4] = {_mm512_set_epi32(12, 12, 12, 12, 8, 8, 8, 8, 4, 4, 4, 4, 0, 0, 0, 0),
                           _mm512_set_epi32(13, 13, 13, 13, 9, 9, 9, 9, 5, 5, 5, 5, 1, 1, 1, 1),
                           _mm512_set_epi32(14, 14, 14, 14, 10, 10, 10, 10, 6, 6, 6, 6, 2, 2, 2, 2),
                           _mm512_set_epi32(15, 15, 15, 15, 11, 11, 11, 11, 7, 7, 7, 7, 3, 3, 3, 3)};
  for (int g = 0; g < RG; ++g) {
    const float* r[4];
    for (int i = 0; i < 4; ++i) r[i] = 4 * g + i < rows ? A + size_t(4 * g + i) * K : nullptr;
    for (int k = 0; k < K; k += 4) {
      const __mmask8 mask = __mmask8(K - k >= 4 ? 0xF : (1u << (K - k)) - 1);
      __m128 q[4];
      for (int i = 0; i < 4; ++i) q[i] = r[i] ? _mm_maskz_loadu_ps(mask, r[i] + k) : _mm_setzero_ps();
      // x lane 4i + d = A[4g + i][k + d]
      __m512 x = _mm512_castps128_ps512(q[0]);
      x = _mm512_insertf32x4(x, q[1], 1);
      x = _mm512_insertf32x4(x, q[2], 2);
      x = _mm512_insertf32x4(x, q[3], 3);
      for (int d = 0; d < 4 && k + d < K; ++d)
        _mm512_storeu_ps(ax + (size_t(k + d) * RG + g) * 16, _mm512_permutexvar_ps(pick[d], x));
    }
  }
}

inline __m128 quarter(__m512 v, int i) {
  switch (i) {
    case 0: return _mm512_castps512_ps128(v);
    case 1: return _mm512_extractf32x4_ps(v, 1);
    case 2: return _mm512_extractf32x4_ps(v, 2);
    default: return _mm512_extractf32x4_ps(v, 3);
  }
}

template <int RG, int P>
void quad_tile(const float* ax, const float* w, size_t panel_stride, const float* bias, float* out,
               bool relu, int rows, int K, int N, int n0) {
  __m512 acc[RG * P];
  {
    __m512 reg[RG * P];
#pragma GCC unroll 32
    for (int i = 0; i < RG * P; ++i) reg[i] = _mm512_setzero_ps();
    for (int k = 0; k < K; ++k) {
      __m512 wv[P];
#pragma GCC unroll 8
      for (int p = 0; p < P; ++p)
        wv[p] = _mm512_broadcast_f32x4(_mm_loadu_ps(w + p * panel_stride + size_t(k) * 4));
#pragma GCC unroll 4
      for (int g = 0; g < RG; ++g) {
        const __m512 a = _mm512_loadu_ps(ax + (size_t(k) * RG + g) * 16);
#pragma GCC unroll 8
        for (int p = 0; p < P; ++p) reg[g * P + p] = _mm512_fmadd_ps(wv[p], a, reg[g * P + p]);
      }
    }
#pragma GCC unroll 32
    for (int i = 0; i < RG * P; ++i) acc[i] = reg[i];
  }
  const __m512 zero = _mm512_setzero_ps();
  for (int p = 0; p < P; ++p) {
    const int n = n0 + 4 * p;
    if (n >= N) break;
    const __mmask8 mask = __mmask8(N - n >= 4 ? 0xF : (1u << (N - n)) - 1);
    const __m512 b = _mm512_broadcast_f32x4(bias ? _mm_maskz_loadu_ps(mask, bias + n) : _mm_setzero_ps());
    for (int g = 0; g < RG; ++g) {
      __m512 v = _mm512_add_ps(acc[g * P + p], b);
      if (relu) v = _mm512_max_ps(v, zero);
      for (int i = 0; i < 4 && 4 * g + i < rows; ++i)
        _mm_mask_storeu_ps(out + size_t(4 * g + i) * N + n, mask, quarter(v, i));
    }
  }
}

template <int RG>
void quad_rows_rg(const float* ax, const float* packed, const float* bias, float* out, bool relu,
                  int rows, int K, int N) {
  const size_t panel_stride = size_t(K) * 4;
  const int panels = (N + 3) / 4;
  for (int p = 0; p < panels; p += kQuadPanels) {
    const float* w = packed + size_t(p) * panel_stride;
    const int n0 = 4 * p;
    switch (panels - p < kQuadPanels ? panels - p : kQuadPanels) {
      case 1: quad_tile<RG, 1>(ax, w, panel_stride, bias, out, relu, rows, K, N, n0); break;
      case 2: quad_tile<RG, 2>(ax, w, panel_stride, bias, out, relu, rows, K, N, n0); break;
      case 3: quad_tile<RG, 3>(ax, w, panel_stride, bias, out, relu, rows, K, N, n0); break;
      case 4: quad_tile<RG, 4>(ax, w, panel_stride, bias, out, relu, rows, K, N, n0); break;
      case 5: quad_tile<RG, 5>(ax, w, panel_stride, bias, out, relu, rows, K, N, n0); break;
      default: quad_tile<RG, 6>(ax, w, panel_stride, bias, out, relu, rows, K, N, n0); break;
    }
  }
}

// Rows [0, rows) with rows <= 12.
void quad_rows(const float* A, const float* packed, const float* bias, float* out, bool relu,
               int rows, int K, int N) {
  const int RG = (rows + 3) / 4;
  float* ax = transposed_a_buffer(size_t(K) * RG * 16);
  expand_quads(A, rows, K, RG, ax);
  switch (RG) {
    case 1: quad_rows_rg<1>(ax, packed, bias, out, relu, rows, K, N); break;
    case 2: quad_rows_rg<2>(ax, packed, bias, out, relu, rows, K, N); break;
    default: quad_rows_rg<3>(ax, packed, bias, out, relu, rows, K, N); break;
  }
}

}  // namespace

namespace x86 {

void gemm_f32_panels_avx512(const float* A, const float* packed, const float* bias, float* out,
                            bool relu, int M, int K, int N) {
  if (M <= 0 || N <= 0) return;
  if (K < 0) K = 0;
  int m = 0;
  for (; M - m >= 13; m += 16) {
    const int rows = M - m < 16 ? M - m : 16;
    rows16(A + size_t(m) * K, packed, bias, out + size_t(m) * N, relu, rows, K, N);
  }
  // A last lone row runs on 4-channel vectors: a 4-row lane group would waste 3 of its 4 rows.
  const int quads = (M - m) % 4 == 1 ? M - m - 1 : M - m;
  if (quads > 0) quad_rows(A + size_t(m) * K, packed, bias, out + size_t(m) * N, relu, quads, K, N);
  if (m + quads < M)
    gemm_f32_row_avx2(A + size_t(M - 1) * K, packed, bias, out + size_t(M - 1) * N, relu, K, N);
}

}  // namespace x86

void gemm_f32_avx512(const float* A, const float* packed, const float* bias, float* out, bool relu,
                     int M, int K, int N) {
  if (M <= 0 || N <= 0) return;
  if (K < 0) K = 0;
  if (x86::gemm_f32_prefers_w16(M, K, N)) {
    float* w16 = x86::regroup16_buffer(x86::regrouped16_floats(K, N));
    x86::regroup16_avx512(packed, K, N, w16);
    x86::gemm_f32_w16_avx512(A, w16, bias, out, relu, M, K, N);
    return;
  }
  x86::gemm_f32_panels_avx512(A, packed, bias, out, relu, M, K, N);
}

}  // namespace trevalon
