// AVX-512 float GEMM on 4-row weight panels. Lanes are 16 rows of A: each 16-row tile of A is
// transposed once into a per-thread buffer (one vector per k), every weight is broadcast from its
// panel straight into the fused multiply-add, and the 16 x 4P accumulators are transposed back on
// store. Each output keeps one accumulator in k order, so results equal the scalar reference.
// GCC 12 flags the deliberately undefined upper halves inside its own AVX-512 cast and convert
// intrinsics as "maybe uninitialized"; the warning is about the header, not this code.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <array>
#include <utility>
#include <vector>

#include "kernels/gemm_f32.h"
#include "kernels/x86/gemm_f32_tiles.h"

namespace trevalon {
namespace {

constexpr int kMaxPanels = 6;
// From this many rows per output channel on, regrouping the weights beats transposing A.
constexpr int kTallMinRatio = 2;  // 24 accumulators + the A vector leave room in 32 registers

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
  for (int k = 0; k < K; ++k) {
    const __m512 a = _mm512_loadu_ps(at + size_t(k) * 16);
    for (int p = 0; p < P; ++p)
      for (int c = 0; c < 4; ++c)
        acc[4 * p + c] = _mm512_fmadd_ps(a, _mm512_set1_ps(wp[p][4 * k + c]), acc[4 * p + c]);
  }
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

// Tall products (many rows, few channels): the weights are regrouped once per call into panels of
// 16 channels, w16[g][k][16], costing ~16/M of the work instead of the ~16/N of transposing A.
// Lanes are then 16 channels, each A element is broadcast from its row: no transposes at all.
constexpr int kTallRows = 6;
constexpr int kTallGroups = 4;  // 64 channels: 24 accumulators + 4 weight vectors

const float* regroup_weights16(const float* packed, int K, int N) {
  thread_local std::vector<float> buffer;
  const int groups = (N + 15) / 16, panels = (N + 3) / 4;
  const size_t total = size_t(groups) * size_t(K) * 16;
  if (buffer.size() < total) buffer.resize(total);
  float* w16 = buffer.data();
  const size_t panel_stride = size_t(K) * 4;
  for (int g = 0; g < groups; ++g)
    for (int q = 0; q < 4; ++q) {
      const int p = 4 * g + q;
      float* dst = w16 + size_t(g) * K * 16 + 4 * q;
      if (p < panels) {
        const float* src = packed + size_t(p) * panel_stride;
        for (int k = 0; k < K; ++k) _mm_storeu_ps(dst + size_t(k) * 16, _mm_loadu_ps(src + size_t(k) * 4));
      } else {
        for (int k = 0; k < K; ++k) _mm_storeu_ps(dst + size_t(k) * 16, _mm_setzero_ps());
      }
    }
  return w16;
}

template <int R, int G>
void tall_tile(const float* A, const float* w16, const float* bias, float* out, bool relu, int K,
               int N, int n0) {
  __m512 acc[R * G];
  {
    __m512 reg[R * G];
#pragma GCC unroll 32
    for (int i = 0; i < R * G; ++i) reg[i] = _mm512_setzero_ps();
    const size_t group_stride = size_t(K) * 16;
    for (int k = 0; k < K; ++k) {
      __m512 w[G];
#pragma GCC unroll 4
      for (int g = 0; g < G; ++g) w[g] = _mm512_loadu_ps(w16 + g * group_stride + size_t(k) * 16);
#pragma GCC unroll 8
      for (int r = 0; r < R; ++r) {
        const __m512 a = _mm512_set1_ps(A[size_t(r) * K + k]);
#pragma GCC unroll 4
        for (int g = 0; g < G; ++g) reg[r * G + g] = _mm512_fmadd_ps(w[g], a, reg[r * G + g]);
      }
    }
#pragma GCC unroll 32
    for (int i = 0; i < R * G; ++i) acc[i] = reg[i];
  }
  const __m512 zero = _mm512_setzero_ps();
  for (int g = 0; g < G; ++g) {
    const int c0 = n0 + 16 * g;
    const __mmask16 mask = first_lanes(N - c0);
    const __m512 b = bias ? _mm512_maskz_loadu_ps(mask, bias + c0) : zero;
    for (int r = 0; r < R; ++r) {
      __m512 v = _mm512_add_ps(acc[r * G + g], b);
      if (relu) v = _mm512_max_ps(v, zero);
      _mm512_mask_storeu_ps(out + size_t(r) * N + c0, mask, v);
    }
  }
}

using TallTileFn = void (*)(const float*, const float*, const float*, float*, bool, int, int, int);

template <int... I>
constexpr auto make_tall_tiles(std::integer_sequence<int, I...>) {
  return std::array<TallTileFn, sizeof...(I)>{&tall_tile<I / kTallGroups + 1, I % kTallGroups + 1>...};
}
constexpr auto kTallTiles = make_tall_tiles(std::make_integer_sequence<int, kTallRows * kTallGroups>{});

void gemm_f32_tall(const float* A, const float* packed, const float* bias, float* out, bool relu,
                   int M, int K, int N) {
  const float* w16 = regroup_weights16(packed, K, N);
  const int groups = (N + 15) / 16;
  for (int m = 0; m < M; m += kTallRows) {
    const int rows = M - m < kTallRows ? M - m : kTallRows;
    for (int g = 0; g < groups; g += kTallGroups) {
      const int count = groups - g < kTallGroups ? groups - g : kTallGroups;
      kTallTiles[(rows - 1) * kTallGroups + (count - 1)](A + size_t(m) * K, w16 + size_t(g) * K * 16,
                                                          bias, out + size_t(m) * N, relu, K, N, 16 * g);
    }
  }
}

}  // namespace

void gemm_f32_avx512(const float* A, const float* packed, const float* bias, float* out, bool relu,
                     int M, int K, int N) {
  if (M <= 0 || N <= 0) return;
  if (K < 0) K = 0;
  if (M >= kTallMinRatio * N) return gemm_f32_tall(A, packed, bias, out, relu, M, K, N);
  int m = 0;
  // A 16-row tile costs as much as two 8-row ones where the FMA units are 256 bits wide, so short
  // tails go to 8-row tiles and the last rows to the one-row kernel.
  for (; M - m >= 12; m += 16) {
    const int rows = M - m < 16 ? M - m : 16;
    rows16(A + size_t(m) * K, packed, bias, out + size_t(m) * N, relu, rows, K, N);
  }
  for (; M - m >= 4; m += 8) {
    const int rows = M - m < 8 ? M - m : 8;
    x86::gemm_f32_rows8_avx2(A + size_t(m) * K, packed, bias, out + size_t(m) * N, relu, rows, K, N);
  }
  for (; m < M; ++m)
    x86::gemm_f32_row_avx2(A + size_t(m) * K, packed, bias, out + size_t(m) * N, relu, K, N);
}

}  // namespace trevalon
