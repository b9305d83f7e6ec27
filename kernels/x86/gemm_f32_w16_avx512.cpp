// AVX-512 float GEMM on 16-channel weight panels (prepared at load, or regrouped from the 4-channel
// panels for one call of the slot): lanes are 16 output channels and every A
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
#include "kernels/thread_work.h"

namespace trevalon::x86 {
namespace {

constexpr int kRows = 6;    // rows of a tile
constexpr int kGroups = 4;  // 16-channel groups of a tile: 24 accumulators + 4 weight vectors
// Weights of one block of channels stay in L2 while every row of A passes over them.
constexpr size_t kBlockBytes = size_t(512) << 10;

inline __mmask16 first_lanes(int count) {
  return count >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << count) - 1);
}

// Lines of memory that tiles fetch into L2 on the side, at most one per k step of a tile: the
// weights a later step will read while this product still computes.
struct Fetch {
  const char* next = nullptr;
  size_t lines = 0;
  // The share of one tile of K steps.
  Fetch take(int K) {
    Fetch part{next, lines < size_t(K) ? lines : size_t(K)};
    next += part.lines * 64;
    lines -= part.lines;
    return part;
  }
};

// Where a tile's rows of A come from: a plain row-major matrix (one run of K floats per row), or
// runs of `len` floats given by pointers (an implicit patch matrix: row r is the concatenation of
// runs[r * count + j], j < count).
struct PlainRows {
  const float* A;
  int K;
  int count() const { return 1; }
  int len() const { return K; }
  const float* run(int r, int) const { return A + size_t(r) * K; }
  PlainRows at(int m) const { return PlainRows{A + size_t(m) * K, K}; }
};

struct RunRows {
  const float* const* runs;
  int n, length;
  int count() const { return n; }
  int len() const { return length; }
  const float* run(int r, int j) const { return runs[size_t(r) * n + j]; }
  RunRows at(int m) const { return RunRows{runs + size_t(m) * n, n, length}; }
};

template <int R, int G, class Rows>
void tile(Rows rows, const float* w16, const float* bias, float* out, bool relu, int K, int N, int n0,
          Fetch fetch) {
  __m512 acc[R * G];
  {
    __m512 reg[R * G];
#pragma GCC unroll 32
    for (int i = 0; i < R * G; ++i) reg[i] = _mm512_setzero_ps();
    const size_t group_stride = size_t(K) * 16;
    const int len = rows.len();
    int k = 0;
    for (int j = 0; j < rows.count(); ++j) {
      const float* a[R];
#pragma GCC unroll 8
      for (int r = 0; r < R; ++r) a[r] = rows.run(r, j);
      for (int i = 0; i < len; ++i, ++k) {
        if (size_t(k) < fetch.lines) _mm_prefetch(fetch.next + size_t(k) * 64, _MM_HINT_T1);
        __m512 w[G];
#pragma GCC unroll 4
        for (int g = 0; g < G; ++g) w[g] = _mm512_loadu_ps(w16 + g * group_stride + size_t(k) * 16);
#pragma GCC unroll 8
        for (int r = 0; r < R; ++r) {
          const __m512 av = _mm512_set1_ps(a[r][i]);
#pragma GCC unroll 4
          for (int g = 0; g < G; ++g) reg[r * G + g] = _mm512_fmadd_ps(w[g], av, reg[r * G + g]);
        }
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

template <class Rows>
using TileFn = void (*)(Rows, const float*, const float*, float*, bool, int, int, int, Fetch);

template <class Rows, int... I>
constexpr auto make_tiles(std::integer_sequence<int, I...>) {
  return std::array<TileFn<Rows>, sizeof...(I)>{&tile<I / kGroups + 1, I % kGroups + 1, Rows>...};
}
template <class Rows>
constexpr auto kTiles = make_tiles<Rows>(std::make_integer_sequence<int, kRows * kGroups>{});

template <class Rows>
void run_tile(Rows rows, int m, int row_count, int g, int group_count, const float* w16, const float* bias,
              float* out, bool relu, int K, int N, Fetch fetch) {
  kTiles<Rows>[(row_count - 1) * kGroups + (group_count - 1)](rows.at(m), w16 + size_t(g) * K * 16, bias,
                                                              out + size_t(m) * N, relu, K, N, 16 * g, fetch);
}

template <class Rows>
void product_w16(Rows rows, const float* w16, const float* bias, float* out, bool relu, int M, int K, int N,
                 Fetch fetch) {
  const int groups = (N + 15) / 16;
  const size_t group_bytes = size_t(K) * 16 * sizeof(float);
  // Channel blocks of whole tiles whose weights fit the L2 budget.
  int block = group_bytes > 0 ? int(kBlockBytes / group_bytes) : groups;
  block = block < kGroups ? kGroups : block - block % kGroups;
  for (int g0 = 0; g0 < groups; g0 += block) {
    const int g1 = groups - g0 < block ? groups : g0 + block;
    for (int m = 0; m < M; m += kRows) {
      const int row_count = M - m < kRows ? M - m : kRows;
      for (int g = g0; g < g1; g += kGroups)
        run_tile(rows, m, row_count, g, g1 - g < kGroups ? g1 - g : kGroups, w16, bias, out, relu, K, N,
                 fetch.take(K));
    }
  }
}

}  // namespace

size_t regrouped16_floats(int K, int N) {
  if (K <= 0 || N <= 0) return 0;
  return size_t((N + 15) / 16) * size_t(K) * 16;
}

namespace {

// Groups [g_begin, g_end) of the regrouped weights.
void regroup_groups(const float* packed, int K, int N, int g_begin, int g_end, float* w16) {
  const int panels = (N + 3) / 4;
  const size_t panel_stride = size_t(K) * 4;
  for (int g = g_begin; g < g_end; ++g) {
    float* dst = w16 + size_t(g) * K * 16;
    const float* src = packed + size_t(4 * g) * panel_stride;
    const int present = panels - 4 * g < 4 ? panels - 4 * g : 4;
    if (present == 4) {
      int k = 0;
      // Four k at a time: one vector per panel holds k..k+3, and a 4x4 transpose of their
      // 128-bit lanes gives the 16-channel vector of each k.
      for (; k + 4 <= K; k += 4) {
        const float* s = src + size_t(k) * 4;
        const __m512 z0 = _mm512_loadu_ps(s), z1 = _mm512_loadu_ps(s + panel_stride);
        const __m512 z2 = _mm512_loadu_ps(s + 2 * panel_stride);
        const __m512 z3 = _mm512_loadu_ps(s + 3 * panel_stride);
        const __m512 t0 = _mm512_shuffle_f32x4(z0, z1, 0x44);
        const __m512 t1 = _mm512_shuffle_f32x4(z0, z1, 0xEE);
        const __m512 t2 = _mm512_shuffle_f32x4(z2, z3, 0x44);
        const __m512 t3 = _mm512_shuffle_f32x4(z2, z3, 0xEE);
        float* d = dst + size_t(k) * 16;
        _mm512_storeu_ps(d, _mm512_shuffle_f32x4(t0, t2, 0x88));
        _mm512_storeu_ps(d + 16, _mm512_shuffle_f32x4(t0, t2, 0xDD));
        _mm512_storeu_ps(d + 32, _mm512_shuffle_f32x4(t1, t3, 0x88));
        _mm512_storeu_ps(d + 48, _mm512_shuffle_f32x4(t1, t3, 0xDD));
      }
      for (; k < K; ++k) {
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
          _mm_storeu_ps(
              dst + size_t(k) * 16 + 4 * q,
              q < present ? _mm_loadu_ps(src + q * panel_stride + size_t(k) * 4) : _mm_setzero_ps());
    }
  }
}

}  // namespace

void regroup16_avx512(const float* packed, int K, int N, float* w16) {
  if (K <= 0 || N <= 0) return;
  regroup_groups(packed, K, N, 0, (N + 15) / 16, w16);
}

float* regroup16_buffer(size_t floats) { return thread_work<float>(WorkBuffer::Regrouped16, floats); }

namespace {

template <class Rows>
void product_tall(Rows rows, const float* packed, float* w16, const float* bias, float* out, bool relu, int M,
                  int K, int N) {
  const int groups = (N + 15) / 16, panels = (N + 3) / 4;
  const size_t panel_stride = size_t(K) * 4;
  regroup_groups(packed, K, N, 0, groups < kGroups ? groups : kGroups, w16);
  for (int g = 0; g < groups; g += kGroups) {
    const int count = groups - g < kGroups ? groups - g : kGroups;
    // The next block's panels (contiguous in the packed form) come into L2 during this block.
    const int next_panel = 4 * (g + kGroups);
    const int next_panels = panels - next_panel < 16 ? panels - next_panel : 16;
    Fetch fetch;
    if (next_panels > 0)
      fetch = Fetch{reinterpret_cast<const char*>(packed + size_t(next_panel) * panel_stride),
                    (size_t(next_panels) * panel_stride * sizeof(float) + 63) / 64};
    for (int m = 0; m < M; m += kRows)
      run_tile(rows, m, M - m < kRows ? M - m : kRows, g, count, w16, bias, out, relu, K, N, fetch.take(K));
    const int g_next = g + kGroups;
    if (g_next < groups)
      regroup_groups(packed, K, N, g_next, groups - g_next < kGroups ? groups : g_next + kGroups, w16);
  }
}

}  // namespace

void gemm_f32_w16_avx512(const float* A, const float* w16, const float* bias, float* out, bool relu, int M,
                         int K, int N, const void* fetch_next, size_t fetch_bytes) {
  if (M <= 0 || N <= 0) return;
  if (K < 0) K = 0;
  Fetch fetch{static_cast<const char*>(fetch_next), fetch_next ? (fetch_bytes + 63) / 64 : 0};
  product_w16(PlainRows{A, K}, w16, bias, out, relu, M, K, N, fetch);
}

void gemm_f32_tall_avx512(const float* A, const float* packed, float* w16, const float* bias, float* out,
                          bool relu, int M, int K, int N) {
  if (M <= 0 || N <= 0) return;
  if (K < 0) K = 0;
  product_tall(PlainRows{A, K}, packed, w16, bias, out, relu, M, K, N);
}

void gemm_f32_runs_avx512(const float* const* runs, int run_count, int run_len, const float* packed,
                          float* w16, bool regrouped, const float* bias, float* out, bool relu, int M,
                          int N) {
  const int K = run_count * run_len;
  if (M <= 0 || N <= 0 || K <= 0) return;
  const RunRows rows{runs, run_count, run_len};
  if (regrouped)
    product_w16(rows, w16, bias, out, relu, M, K, N, Fetch{});
  else
    product_tall(rows, packed, w16, bias, out, relu, M, K, N);
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
