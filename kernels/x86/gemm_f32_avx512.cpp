// AVX-512 float GEMM. Short products work on the 4-row weight panels directly: lanes are 16 rows of
// A (each 16-row tile of A is transposed once into a per-thread buffer, every weight is broadcast
// from its panel straight into the fused multiply-add, and the accumulators are transposed back on
// store), row tails of up to 12 rows go in 4-row lane groups and a last lone row rides along with
// the last tile. Tall products, and every product on prepared weights, run on 64-channel panels
// (gemm_f32_w16_avx512.cpp). Each output keeps one
// accumulator in k order, so results equal the scalar reference.
// GCC 12 flags the deliberately undefined upper halves inside its own AVX-512 cast and convert
// intrinsics as "maybe uninitialized"; the warning is about the header, not this code.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <type_traits>
#include <vector>

#include "kernels/gemm_f32.h"
#include "kernels/gemm_split.h"
#include "kernels/prepared_weights.h"
#include "kernels/thread_pool.h"
#include "kernels/thread_work.h"
#include "kernels/x86/gemm_f32_avx512.h"
#include "kernels/x86/gemm_f32_row128.h"

namespace trevalon {
namespace {

constexpr int kMaxPanels = 6;  // 24 accumulators + the A vector leave room in 32 registers
// How far ahead (in k) the first tile of a group fetches its panels into L1. The panels come from
// memory; the hardware alone keeps too few of their lines in flight.
constexpr int kFetchAheadK = 128;

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

// Epilogue of a lone row: lanes are the 4 channels of a panel.
template <int P>
void store_row(const __m128* acc, const float* bias, float* out, bool relu, int N, int n0) {
  const __m128 zero = _mm_setzero_ps();
  for (int p = 0; p < P; ++p) {
    const int n = n0 + 4 * p;
    if (n >= N) break;
    const __mmask8 mask = __mmask8(N - n >= 4 ? 0xF : (1u << (N - n)) - 1);
    __m128 v = _mm_add_ps(acc[p], bias ? _mm_maskz_loadu_ps(mask, bias + n) : zero);
    if (relu) v = _mm_max_ps(v, zero);
    _mm_mask_storeu_ps(out + n, mask, v);
  }
}

// 16 rows by P panels; acc[j] holds output channel n0 + j for the 16 rows. With `Lone`, one more
// row (lone_a, lone_out) rides along on 4-channel vectors of the same panel data: on its own its
// few accumulator chains would wait on the multiply-add latency.
template <int P, bool Lone = false>
void tile16(const float* at, const float* w, size_t panel_stride, const float* bias, float* out, bool relu,
            int rows, int K, int N, int n0, bool fetch, const float* lone_a = nullptr,
            float* lone_out = nullptr) {
  __m512 acc[4 * P];
  __m128 lone[Lone ? P : 1];
  {
    // Accumulate in registers; results go to memory once, after the k loop.
    __m512 reg[4 * P];
    __m128 lreg[Lone ? P : 1];
#pragma GCC unroll 24
    for (int j = 0; j < 4 * P; ++j) reg[j] = _mm512_setzero_ps();
#pragma GCC unroll 6
    for (int p = 0; p < (Lone ? P : 1); ++p) lreg[p] = _mm_setzero_ps();
    const float* wp[P];
#pragma GCC unroll 6
    for (int p = 0; p < P; ++p) wp[p] = w + p * panel_stride;
    for (int k = 0; k < K; ++k) {
      // One line of each panel holds 4 k.
      if (fetch && (k & 3) == 0)
#pragma GCC unroll 6
        for (int p = 0; p < P; ++p)
          _mm_prefetch(reinterpret_cast<const char*>(wp[p] + 4 * (k + kFetchAheadK)), _MM_HINT_T0);
      const __m512 a = _mm512_loadu_ps(at + size_t(k) * 16);
#pragma GCC unroll 6
      for (int p = 0; p < P; ++p)
#pragma GCC unroll 4
        for (int c = 0; c < 4; ++c)
          reg[4 * p + c] = _mm512_fmadd_ps(a, _mm512_set1_ps(wp[p][4 * k + c]), reg[4 * p + c]);
      if constexpr (Lone) {
        const __m128 la = _mm_broadcast_ss(lone_a + k);
#pragma GCC unroll 6
        for (int p = 0; p < P; ++p) lreg[p] = _mm_fmadd_ps(_mm_loadu_ps(wp[p] + 4 * k), la, lreg[p]);
      }
    }
#pragma GCC unroll 24
    for (int j = 0; j < 4 * P; ++j) acc[j] = reg[j];
#pragma GCC unroll 6
    for (int p = 0; p < (Lone ? P : 1); ++p) lone[p] = lreg[p];
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
  if constexpr (Lone) store_row<P>(lone, bias, lone_out, relu, N, n0);
}

// Row tails of up to 12 rows: lanes are 4 rows x the 4 channels of a panel. A is expanded once
// (each value repeated over its row's 4 lanes), every panel vector is broadcast to the 4 row slots,
// so a tail costs its rows rounded up to 4 rather than a full 16-row tile.

// ax[(k*RG + g)*16 + 4i + j] = A[4g + i][k], zero for rows >= rows.
void expand_quads(const float* A, int rows, int K, int RG, float* ax) {
  // pick[d] lane 4i + j = lane 4i + d: row i's value at k + d, repeated over its 4 lanes.
  __m512i pick[4];
  for (int d = 0; d < 4; ++d)
    pick[d] = _mm512_add_epi32(_mm512_set_epi32(12, 12, 12, 12, 8, 8, 8, 8, 4, 4, 4, 4, 0, 0, 0, 0),
                               _mm512_set1_epi32(d));
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
void quad_tile(const float* ax, const float* w, size_t panel_stride, const float* bias, float* out, bool relu,
               int rows, int K, int N, int n0) {
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
    const __m128 b4 = bias ? _mm_maskz_loadu_ps(mask, bias + n) : _mm_setzero_ps();
    const __m512 b = _mm512_broadcast_f32x4(b4);
    for (int g = 0; g < RG; ++g) {
      __m512 v = _mm512_add_ps(acc[g * P + p], b);
      if (relu) v = _mm512_max_ps(v, zero);
      for (int i = 0; i < 4 && 4 * g + i < rows; ++i)
        _mm_mask_storeu_ps(out + size_t(4 * g + i) * N + n, mask, quarter(v, i));
    }
  }
}

// A lone row with no 16-row tile to ride on (products of fewer than 13 rows).
template <int P>
void row_tile(const float* a, const float* w, size_t panel_stride, const float* bias, float* out, bool relu,
              int K, int N, int n0) {
  __m128 acc[P];
  row_products128<P>(a, w, panel_stride, K, acc);
  store_row<P>(acc, bias, out, relu, N, n0);
}

// How the rows of a panel-path product are covered: 16-row tiles (the last may hold 13-15 rows),
// then up to 12 rows in 4-row lane groups, then at most one lone row.
struct RowPlan {
  int tiles = 0, last_tile_rows = 16;
  int quad_rows = 0, quad_groups = 0;
  bool lone = false;
  int tile_rows(int t) const { return t + 1 < tiles ? 16 : last_tile_rows; }
};

RowPlan plan_rows(int M) {
  RowPlan plan;
  int m = 0;
  for (; M - m >= 13; m += 16) {
    ++plan.tiles;
    plan.last_tile_rows = M - m < 16 ? M - m : 16;
  }
  const int tail = M - m;
  plan.quad_rows = tail % 4 == 1 ? tail - 1 : tail;  // a lone row would waste 3 of 4 lanes
  plan.quad_groups = (plan.quad_rows + 3) / 4;
  plan.lone = plan.quad_rows < tail;
  return plan;
}

float* prepared_a_buffer(size_t floats) { return thread_work<float>(WorkBuffer::GemmF32RowsAvx512, floats); }

// One group of P panels (channels n0 .. n0 + 4P) for every row the plan covers: `at` holds the
// transposed 16-row tiles one after the other, `ax` the expanded quad rows.
template <int P>
void panel_group(const RowPlan& plan, const float* A, const float* at, const float* ax, const float* w,
                 size_t panel_stride, const float* bias, float* out, bool relu, int K, int N, int n0) {
  const int m = plan.tiles > 0 ? (plan.tiles - 1) * 16 + plan.last_tile_rows : 0;
  const size_t lone = size_t(m + plan.quad_rows);
  for (int t = 0; t < plan.tiles; ++t) {
    const float* at_t = at + size_t(t) * K * 16;
    float* out_t = out + size_t(t) * 16 * N;
    // Only the first tile fetches ahead: the others find the panels in cache.
    const bool fetch = t == 0;
    if (plan.lone && t + 1 == plan.tiles)
      tile16<P, true>(at_t, w, panel_stride, bias, out_t, relu, plan.tile_rows(t), K, N, n0, fetch,
                      A + lone * K, out + lone * N);
    else
      tile16<P>(at_t, w, panel_stride, bias, out_t, relu, plan.tile_rows(t), K, N, n0, fetch);
  }
  float* out_q = out + size_t(m) * N;
  const int q = plan.quad_rows;
  switch (plan.quad_groups) {
    case 0: break;
    case 1: quad_tile<1, P>(ax, w, panel_stride, bias, out_q, relu, q, K, N, n0); break;
    case 2: quad_tile<2, P>(ax, w, panel_stride, bias, out_q, relu, q, K, N, n0); break;
    default: quad_tile<3, P>(ax, w, panel_stride, bias, out_q, relu, q, K, N, n0); break;
  }
  if (plan.lone && plan.tiles == 0)
    row_tile<P>(A + lone * K, w, panel_stride, bias, out + lone * N, relu, K, N, n0);
}

// Groups of up to kMaxPanels panels from p_begin, up to panel p_end (exclusive).
void panel_groups(const RowPlan& plan, const float* A, const float* at, const float* ax, const float* packed,
                  const float* bias, float* out, bool relu, int K, int N, int p_begin, int p_end) {
  const size_t panel_stride = size_t(K) * 4;
  const int panels = p_end;
  for (int p = p_begin; p < panels; p += kMaxPanels) {
    const float* w = packed + size_t(p) * panel_stride;
    const int n0 = 4 * p;
    const int count = panels - p < kMaxPanels ? panels - p : kMaxPanels;
    auto group = [&](auto width) {
      panel_group<decltype(width)::value>(plan, A, at, ax, w, panel_stride, bias, out, relu, K, N, n0);
    };
    switch (count) {
      case 1: group(std::integral_constant<int, 1>()); break;
      case 2: group(std::integral_constant<int, 2>()); break;
      case 3: group(std::integral_constant<int, 3>()); break;
      case 4: group(std::integral_constant<int, 4>()); break;
      case 5: group(std::integral_constant<int, 5>()); break;
      default: group(std::integral_constant<int, 6>()); break;
    }
  }
}

}  // namespace

namespace x86 {

void gemm_f32_panels_avx512(const float* A, const float* packed, const float* bias, float* out, bool relu,
                            int M, int K, int N) {
  gemm_f32_panel_range_avx512(A, packed, bias, out, relu, M, K, N, 0, (N + 3) / 4);
}

void gemm_f32_panel_range_avx512(const float* A, const float* packed, const float* bias, float* out,
                                 bool relu, int M, int K, int N, int p_begin, int p_end) {
  if (M <= 0 || N <= 0) return;
  if (K < 0) K = 0;
  if (p_end > (N + 3) / 4) p_end = (N + 3) / 4;
  if (p_begin >= p_end) return;
  const RowPlan plan = plan_rows(M);
  const size_t tile_floats = size_t(K) * 16;
  const size_t quad_floats = size_t(K) * size_t(plan.quad_groups) * 16;
  // When every row's prepared copy fits in L2, each weight panel is read once (often from memory)
  // and serves all rows; otherwise the rows go one 16-row tile at a time.
  constexpr size_t kAllRowsBytes = size_t(1024) << 10;
  const size_t all_floats = size_t(plan.tiles) * tile_floats + quad_floats;
  if (all_floats * sizeof(float) <= kAllRowsBytes || plan.tiles <= 1) {
    float* at = prepared_a_buffer(all_floats);
    float* ax = at + size_t(plan.tiles) * tile_floats;
    for (int t = 0; t < plan.tiles; ++t)
      transpose_rows16(A + size_t(t) * 16 * K, plan.tile_rows(t), K, at + size_t(t) * tile_floats);
    const int m = plan.tiles > 0 ? (plan.tiles - 1) * 16 + plan.last_tile_rows : 0;
    if (plan.quad_groups > 0) expand_quads(A + size_t(m) * K, plan.quad_rows, K, plan.quad_groups, ax);
    panel_groups(plan, A, at, ax, packed, bias, out, relu, K, N, p_begin, p_end);
    return;
  }
  // One 16-row tile at a time; the row tail goes with the last tile, while its panels are hot.
  float* at = prepared_a_buffer(tile_floats + quad_floats);
  RowPlan one;
  one.tiles = 1;
  for (int t = 0; t + 1 < plan.tiles; ++t) {
    transpose_rows16(A + size_t(t) * 16 * K, 16, K, at);
    panel_groups(one, nullptr, at, nullptr, packed, bias, out + size_t(t) * 16 * N, relu, K, N, p_begin,
                 p_end);
  }
  RowPlan last = plan;
  last.tiles = 1;
  const size_t m = size_t(plan.tiles - 1) * 16;
  transpose_rows16(A + m * K, plan.last_tile_rows, K, at);
  if (plan.quad_groups > 0)
    expand_quads(A + (m + plan.last_tile_rows) * K, plan.quad_rows, K, plan.quad_groups, at + tile_floats);
  panel_groups(last, A + m * K, at, at + tile_floats, packed, bias, out + m * N, relu, K, N, p_begin, p_end);
}

void prepare_weights_f32_avx512(const float* packed, int rows, int cols, int format,
                                PreparedWeightsF32& out) {
  out = PreparedWeightsF32{};
  out.format = format;
  out.panel = 64;
  count_weight_preparation();
  const size_t floats = regrouped16_floats(cols, rows);
  if (floats == 0 || !packed) return;
  out.data.assign_zeros(floats * sizeof(float));
  regroup16_avx512(packed, cols, rows, static_cast<float*>(out.data.data()));
}

}  // namespace x86

void gemm_f32_avx512(const float* A, const float* packed, const float* bias, float* out, bool relu, int M,
                     int K, int N) {
  gemm_f32_prepared_avx512(A, packed, nullptr, bias, out, relu, M, K, N);
}

namespace {

// The product on regrouped weights, shared among the threads by rows (whole 6-row tiles) or by
// 64-channel panels, each output finished with `add` where it has one.
void w16_product(const float* A, const float* w16, const float* bias, float* out, bool relu, int M, int K,
                 int N, x86::ResidualAdd add = {}) {
  split_product(
      M, N, K, 6, 64, kSplitMacsF32,
      [&](size_t m0, size_t m1) {
        if (add.other)
          x86::gemm_f32_w16_add_avx512(A + m0 * K, w16, bias, out + m0 * N, relu, int(m1 - m0), K, N,
                                       add.at(m0, N));
        else
          x86::gemm_f32_w16_avx512(A + m0 * K, w16, bias, out + m0 * N, relu, int(m1 - m0), K, N);
      },
      [&](size_t n0, size_t n1) {
        x86::gemm_f32_w16_add_avx512(A, w16, bias, out, relu, M, K, N, add, int(n0 / 64),
                                     int((n1 + 63) / 64));
      });
}

// Regrouped weights for one call: each thread regroups its share of the panels into the one
// buffer.
const float* regroup_for_call(const float* packed, int K, int N) {
  float* w16 = x86::regroup16_buffer(x86::regrouped16_floats(K, N));
  const size_t panels = size_t(N + 63) / 64;
  // A range copies at least 256 KiB of weights.
  parallel_for(panels, 1, size_t(1 << 16) / (size_t(K) * 64) + 1, [&](size_t q0, size_t q1) {
    x86::regroup16_panels_avx512(packed, K, N, int(q0), int(q1), w16);
  });
  return w16;
}

}  // namespace

void gemm_f32_prepared_avx512(const float* A, const float* packed, const float* w16, const float* bias,
                              float* out, bool relu, int M, int K, int N) {
  if (M <= 0 || N <= 0) return;
  if (K < 0) K = 0;
  // Prepared weights are read in their panel form whatever the rows: they cost nothing to
  // regroup, and the layer keeps no other copy.
  if (w16) {
    w16_product(A, w16, bias, out, relu, M, K, N);
    return;
  }
  if (x86::gemm_f32_prefers_w16(M, K, N)) {
    if (num_threads() > 1 && !in_parallel_region()) {
      // Threads regroup their share of the panels, then share the product.
      w16_product(A, regroup_for_call(packed, K, N), bias, out, relu, M, K, N);
      return;
    }
    float* w16 = x86::regroup16_buffer(x86::regrouped16_floats(K, N));
    // Weights that fit in L2 are regrouped up front and every row passes under each channel block
    // once; larger ones are regrouped block by block while the product runs.
    constexpr size_t kUpFrontBytes = size_t(512) << 10;
    if (size_t(K) * size_t(N) * sizeof(float) <= kUpFrontBytes) {
      x86::regroup16_avx512(packed, K, N, w16);
      x86::gemm_f32_w16_avx512(A, w16, bias, out, relu, M, K, N);
    } else {
      x86::gemm_f32_tall_avx512(A, packed, w16, bias, out, relu, M, K, N);
    }
    return;
  }
  split_product(
      M, N, K, 16, 24, kSplitMacsF32,
      [&](size_t m0, size_t m1) {
        x86::gemm_f32_panels_avx512(A + m0 * K, packed, bias, out + m0 * N, relu, int(m1 - m0), K, N);
      },
      [&](size_t n0, size_t n1) {
        x86::gemm_f32_panel_range_avx512(A, packed, bias, out, relu, M, K, N, int(n0 / 4), int((n1 + 3) / 4));
      });
}

namespace x86 {

void gemm_f32_prepared_add_avx512(const float* A, const float* packed, const float* w16, const float* bias,
                                  float* out, bool relu, int M, int K, int N, ResidualAdd add) {
  if (M <= 0 || N <= 0) return;
  if (K < 0) K = 0;
  // The 4-channel panel path has no epilogue of its own: weights not yet regrouped are regrouped here.
  w16_product(A, w16 ? w16 : regroup_for_call(packed, K, N), bias, out, relu, M, K, N, add);
}

}  // namespace x86

}  // namespace trevalon
