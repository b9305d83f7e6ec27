// AVX-512 float GEMM for tall products (many rows per output channel): the 4-channel weight panels
// are regrouped once per call into 16-channel panels, lanes are 16 output channels and every A
// element is broadcast straight from its row. No transposes; each output keeps one accumulator
// built in k order, so results equal the scalar fused-multiply-add reference bit for bit.
// GCC 12 flags the deliberately undefined pass-through operand inside its own AVX-512 max
// intrinsic as "maybe uninitialized"; the warning is about the header, not this code.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <array>
#include <utility>
#include <vector>

#include "kernels/x86/gemm_f32_avx512.h"

namespace trevalon::x86 {
namespace {

constexpr int kRows = 6;    // rows of a tile
constexpr int kGroups = 4;  // 16-channel groups of a tile: 24 accumulators + 4 weight vectors
// Weights of one block of channels stay in L2 while every row of A passes over them.
constexpr size_t kBlockBytes = size_t(512) << 10;

inline __mmask16 first_lanes(int count) {
  return count >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << count) - 1);
}

template <int R, int G>
void tile(const float* A, const float* w16, const float* bias, float* out, bool relu, int K, int N,
          int n0) {
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
    // No bias still adds +0, as the reference does (a -0 sum becomes +0).
    const __m512 b = bias ? _mm512_maskz_loadu_ps(mask, bias + c0) : zero;
    for (int r = 0; r < R; ++r) {
      __m512 v = _mm512_add_ps(acc[r * G + g], b);
      if (relu) v = _mm512_max_ps(v, zero);
      _mm512_mask_storeu_ps(out + size_t(r) * N + c0, mask, v);
    }
  }
}

using TileFn = void (*)(const float*, const float*, const float*, float*, bool, int, int, int);

template <int... I>
constexpr auto make_tiles(std::integer_sequence<int, I...>) {
  return std::array<TileFn, sizeof...(I)>{&tile<I / kGroups + 1, I % kGroups + 1>...};
}
constexpr auto kTiles = make_tiles(std::make_integer_sequence<int, kRows * kGroups>{});

}  // namespace

size_t regrouped16_floats(int K, int N) {
  if (K <= 0 || N <= 0) return 0;
  return size_t((N + 15) / 16) * size_t(K) * 16;
}

void regroup16_avx512(const float* packed, int K, int N, float* w16) {
  if (K <= 0 || N <= 0) return;
  const int groups = (N + 15) / 16, panels = (N + 3) / 4;
  const size_t panel_stride = size_t(K) * 4;
  for (int g = 0; g < groups; ++g) {
    float* dst = w16 + size_t(g) * K * 16;
    const float* src = packed + size_t(4 * g) * panel_stride;
    const int present = panels - 4 * g < 4 ? panels - 4 * g : 4;
    if (present == 4) {
      for (int k = 0; k < K; ++k) {
        const float* s = src + size_t(k) * 4;
        __m512 v = _mm512_zextps128_ps512(_mm_loadu_ps(s));
        v = _mm512_insertf32x4(v, _mm_loadu_ps(s + panel_stride), 1);
        v = _mm512_insertf32x4(v, _mm_loadu_ps(s + 2 * panel_stride), 2);
        v = _mm512_insertf32x4(v, _mm_loadu_ps(s + 3 * panel_stride), 3);
        _mm512_storeu_ps(dst + size_t(k) * 16, v);
      }
    } else {
      for (int k = 0; k < K; ++k)
        for (int q = 0; q < 4; ++q)
          _mm_storeu_ps(dst + size_t(k) * 16 + 4 * q,
                        q < present ? _mm_loadu_ps(src + q * panel_stride + size_t(k) * 4)
                                    : _mm_setzero_ps());
    }
  }
}

float* regroup16_buffer(size_t floats) {
  thread_local std::vector<float> buffer;
  if (buffer.size() < floats) buffer.resize(floats);
  return buffer.data();
}

void gemm_f32_w16_avx512(const float* A, const float* w16, const float* bias, float* out, bool relu,
                         int M, int K, int N) {
  if (M <= 0 || N <= 0) return;
  if (K < 0) K = 0;
  const int groups = (N + 15) / 16;
  const size_t group_bytes = size_t(K) * 16 * sizeof(float);
  // Channel blocks of whole tiles whose weights fit the L2 budget.
  int block = group_bytes > 0 ? int(kBlockBytes / group_bytes) : groups;
  block = block < kGroups ? kGroups : block - block % kGroups;
  for (int g0 = 0; g0 < groups; g0 += block) {
    const int g1 = groups - g0 < block ? groups : g0 + block;
    for (int m = 0; m < M; m += kRows) {
      const int rows = M - m < kRows ? M - m : kRows;
      for (int g = g0; g < g1; g += kGroups) {
        const int count = g1 - g < kGroups ? g1 - g : kGroups;
        kTiles[(rows - 1) * kGroups + (count - 1)](A + size_t(m) * K, w16 + size_t(g) * K * 16,
                                                   bias, out + size_t(m) * N, relu, K, N, 16 * g);
      }
    }
  }
}

bool gemm_f32_prefers_w16(int M, int K, int N) {
  // Regrouping streams the weights once more (about 1/M of the product, more once they outgrow
  // L2); the panel path pays for transposing A (about 16/N) and for short row tails. Measured on
  // the convolution shapes: from ~160 rows the tall product wins whatever the weights, from 64
  // rows when the weights fit in L2.
  const size_t weights = size_t(K) * size_t(N);
  return M >= 160 || (M >= 64 && weights <= (size_t(256) << 10));
}

}  // namespace trevalon::x86
