// AVX-512 float GEMM on 64-channel weight panels (prepared at load, or regrouped from the 4-channel
// panels for one call of the slot): lanes are 16 output channels and every A
// element is broadcast straight from its row. No transposes; each output keeps one accumulator
// built in k order, so results equal the scalar fused-multiply-add reference bit for bit.
// GCC 12 flags the deliberately undefined pass-through operand inside its own AVX-512 max
// intrinsic as "maybe uninitialized"; the warning is about the header, not this code.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "kernels/x86/gemm_f32_avx512.h"
#include "kernels/thread_work.h"

namespace trevalon::x86 {
namespace {

constexpr int kRows = 6;    // rows of a tile
constexpr int kGroups = 4;  // 16-channel groups of a panel and of a tile: 24 accumulators + 4 weights
constexpr int kPanel = 16 * kGroups;
// k steps per block for short products: a block's weights (kc x 64 channels, 256 bytes a step)
// stay in L1 while every row tile passes over them, and the next block comes from memory
// meanwhile. The partial sums wait in the output between blocks: a fused multiply-add chain
// continued from a stored float gives the same bits as one unbroken chain.
constexpr int kBlockK = 128;
// Passes of at most this many rows (the 16 tiles of a 7x7 Winograd layer: three tiles a block, so
// each block's weights are read from memory by one tile and serve two more) take shorter blocks:
// the next block, fetched meanwhile, arrives in time more often (measured on the 16 x 512 x 512
// products: blocks of at most 96 steps, 86 there, beat at most 64 and at most 128).
constexpr int kFewRows = 16;
constexpr int kFewRowsBlockK = 96;
// Passes of at least this many rows run each panel's whole K per tile: the panel, read by many
// tiles, stays in L2, and each tile's rows of A (contiguous in a plain matrix) stream in order.
constexpr int kUnblockedRows = 72;
constexpr size_t kUnblockedPanelBytes = size_t(1) << 20;
// Rows per pass: their part of A stays in L2 while every channel block passes over it.
constexpr size_t kRowBlockBytes = size_t(1) << 20;

inline __mmask16 first_lanes(int count) {
  return count >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << count) - 1);
}

// Memory that tiles bring into L2 on the side while they compute, one 64-byte line per k step:
// the weights a later block reads.
struct Lines {
  const char* next = nullptr;
  size_t left = 0;

  static Lines range(const void* p, size_t bytes) {
    return Lines{static_cast<const char*>(p), p ? (bytes + 63) / 64 : 0};
  }
  // A tile's share: at most `steps` lines.
  Lines take(int steps) {
    Lines part{next, left < size_t(steps) ? left : size_t(steps)};
    next += part.left * 64;
    left -= part.left;
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

// What a tile does with its k range [k0, k1): start from zero (the first block) or from the partial
// sums in `out`, and end with bias, ReLU and the residual addition (the last block) or store the
// partial sums.
struct TileStep {
  int k0, k1;
  bool first, last;
};

// R rows by the first G groups of the 64-channel panel `w` (k from 0, 64 floats a step).
template <int R, int G, class Rows>
void tile(Rows rows, TileStep s, const float* w, const float* bias, float* out, bool relu, ResidualAdd add,
          int N, int n0, Lines fetch, Lines extra, int next_rows) {
  __mmask16 mask[G];
#pragma GCC unroll 4
  for (int g = 0; g < G; ++g) mask[g] = first_lanes(N - n0 - 16 * g);
  __m512 acc[R * G];
  {
    __m512 reg[R * G];
    if (s.first) {
#pragma GCC unroll 32
      for (int i = 0; i < R * G; ++i) reg[i] = _mm512_setzero_ps();
    } else {
#pragma GCC unroll 8
      for (int r = 0; r < R; ++r)
#pragma GCC unroll 4
        for (int g = 0; g < G; ++g)
          reg[r * G + g] = _mm512_maskz_loadu_ps(mask[g], out + size_t(r) * N + n0 + 16 * g);
    }
    if (s.first) {
      // The tile's output lines come into L1 while it computes: the stores at its end would
      // otherwise each wait for a line from memory, which short products (a few hundred cycles a
      // tile at K = 64) cannot hide.
      const char* line = reinterpret_cast<const char*>(out + n0);
#pragma GCC unroll 8
      for (int r = 0; r < R; ++r, line += size_t(N) * sizeof(float))
#pragma GCC unroll 4
        for (int g = 0; g < G; ++g) _mm_prefetch(line + 64 * g, _MM_HINT_T0);
    }
    // The residual's lines that the last block adds come into L1 two every four steps: a burst
    // of them from memory would hold the fill buffers that the weight loads need.
    const char* const residual = s.last ? reinterpret_cast<const char*>(add.other + n0) : nullptr;
    int residual_line = add.other && s.last ? 0 : R * G;
    auto fetch_residual = [&]() __attribute__((always_inline)) {
      if (residual_line < R * G) {
        _mm_prefetch(residual + size_t(residual_line / G) * N * sizeof(float) + 64 * (residual_line % G),
                     _MM_HINT_T0);
        ++residual_line;
      }
    };
    const char* fp = fetch.next;
    size_t fn = fetch.left;
    // The tile's share of lines goes out evenly over its steps, four lines at a time: a burst
    // would hold the fill buffers that the tile's own loads need.
    const int bursts = int((fn + 3) / 4), quads = (s.k1 - s.k0) / 4;
    const int period = bursts > 0 && quads > bursts ? quads / bursts : 1;
    int countdown = period;
    const char* ep = extra.next;
    size_t en = extra.left;
    // One k step: the weight vectors of step i, each A value broadcast once.
    auto step = [&](const float* const* a, const float* wk, int i) __attribute__((always_inline)) {
      __m512 wv[G];
#pragma GCC unroll 4
      for (int g = 0; g < G; ++g) wv[g] = _mm512_loadu_ps(wk + 16 * g);
#pragma GCC unroll 8
      for (int r = 0; r < R; ++r) {
        const __m512 av = _mm512_set1_ps(a[r][i]);
#pragma GCC unroll 4
        for (int g = 0; g < G; ++g) reg[r * G + g] = _mm512_fmadd_ps(wv[g], av, reg[r * G + g]);
      }
    };
    const int len = rows.len();
    for (int k = s.k0; k < s.k1;) {
      const int j = k / len, i0 = k - j * len;
      const int i1 = len - i0 < s.k1 - k ? len : i0 + (s.k1 - k);
      const float* a[R];
#pragma GCC unroll 8
      for (int r = 0; r < R; ++r) a[r] = rows.run(r, j);
      const float* wk = w + size_t(k) * kPanel;
      // The next tile's rows of this run come into L1 meanwhile, two lines every four steps: rows
      // of A a few hundred bytes long, strided, are too short for the hardware to fetch ahead.
      const float* na[R];
      const Rows next = rows.at(R);
#pragma GCC unroll 8
      for (int r = 0; r < R; ++r) na[r] = r < next_rows ? next.run(r, j) + i0 : nullptr;
      const int next_lines = next_rows > 0 ? (i1 - i0 + 15) / 16 + 1 : 0;
      int nr = 0, nl = 0;
      auto fetch_next_rows = [&]() __attribute__((always_inline)) {
        if (nl < next_lines) {
          _mm_prefetch(reinterpret_cast<const char*>(na[nr] + 16 * nl), _MM_HINT_T0);
          if (++nr == next_rows) {
            nr = 0;
            ++nl;
          }
        }
      };
      int i = i0;
      // Four steps at a time, with the lines fetched on the side for all four.
      for (; i + 4 <= i1; i += 4, wk += 4 * kPanel) {
        fetch_next_rows();
        fetch_next_rows();
        fetch_residual();
        fetch_residual();
        if (fn >= 4 && --countdown == 0) {
          countdown = period;
#pragma GCC unroll 4
          for (int l = 0; l < 4; ++l) _mm_prefetch(fp + 64 * l, _MM_HINT_T1);
          fp += 256;
          fn -= 4;
        }
        if (en >= 4) {
#pragma GCC unroll 4
          for (int l = 0; l < 4; ++l) _mm_prefetch(ep + 64 * l, _MM_HINT_T1);
          ep += 256;
          en -= 4;
        }
        step(a, wk, i);
        step(a, wk + kPanel, i + 1);
        step(a, wk + 2 * kPanel, i + 2);
        step(a, wk + 3 * kPanel, i + 3);
      }
      for (; i < i1; ++i, wk += kPanel) step(a, wk, i);
      k += i1 - i0;
    }
#pragma GCC unroll 32
    for (int i = 0; i < R * G; ++i) acc[i] = reg[i];
  }
  const __m512 zero = _mm512_setzero_ps();
  // Unrolled whole, so that the accumulators stay in registers.
#pragma GCC unroll 4
  for (int g = 0; g < G; ++g) {
    const int c0 = n0 + 16 * g;
    // No bias still adds +0, as the reference does (a -0 sum becomes +0).
    const __m512 b = s.last && bias ? _mm512_maskz_loadu_ps(mask[g], bias + c0) : zero;
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r) {
      __m512 v = acc[r * G + g];
      if (s.last) {
        v = _mm512_add_ps(v, b);
        if (relu) v = _mm512_max_ps(v, zero);
        if (add.other) {
          v = _mm512_add_ps(v, _mm512_maskz_loadu_ps(mask[g], add.other + size_t(r) * N + c0));
          // add_f32's ReLU: max answers its second operand unless the first is greater, so
          // negatives become +0 while -0 and NaN pass.
          if (add.relu) v = _mm512_max_ps(zero, v);
        }
      }
      _mm512_mask_storeu_ps(out + size_t(r) * N + c0, mask[g], v);
    }
  }
}

template <class Rows>
using TileFn = void (*)(Rows, TileStep, const float*, const float*, float*, bool, ResidualAdd, int, int,
                        Lines, Lines, int);

template <class Rows, int... I>
constexpr auto make_tiles(std::integer_sequence<int, I...>) {
  return std::array<TileFn<Rows>, sizeof...(I)>{&tile<I / kGroups + 1, I % kGroups + 1, Rows>...};
}
template <class Rows>
constexpr auto kTiles = make_tiles<Rows>(std::make_integer_sequence<int, kRows * kGroups>{});

// Steps per k block for a pass of `rows` rows: all K, or equal blocks of at most kBlockK steps
// (kFewRowsBlockK for few rows).
int block_k(int K, int rows) {
  if (rows >= kUnblockedRows && size_t(K) * kPanel * sizeof(float) <= kUnblockedPanelBytes) return K;
  // Up to a quarter more in one block (40 KiB of weights) rather than two short ones.
  const int kb = rows <= kFewRows ? kFewRowsBlockK : kBlockK;
  const int blocks = K <= kb + kb / 4 ? 1 : (K + kb - 1) / kb;
  return (K + blocks - 1) / blocks;
}

// Rows [m0, m1) by panel q (its first `count` groups), every k block. While a block runs, its tiles
// bring the next block's weights into L2: the panel's next k block, else `after` (the next
// panel's first block, or nothing). `extra` lines are fetched on the side throughout.
template <class Rows>
void panel_product(Rows rows, int m0, int m1, int q, int count, const float* w16, const float* bias,
                   float* out, bool relu, ResidualAdd add, int K, int N, Lines after, Lines& extra) {
  const float* w = w16 + size_t(q) * K * kPanel;
  const int kc = block_k(K, m1 - m0);
  for (int k0 = 0; k0 == 0 || k0 < K; k0 += kc) {
    const int k1 = K - k0 < kc ? K : k0 + kc;
    const int k2 = K - k1 < kc ? K : k1 + kc;
    Lines fetch =
        k1 < K ? Lines::range(w + size_t(k1) * kPanel, size_t(k2 - k1) * kPanel * sizeof(float)) : after;
    const TileStep step{k0, k1, k0 == 0, k1 == K};
    // Each tile of the block fetches an equal share of the next block (whole bursts of four lines,
    // at most one line a step).
    const size_t tiles = size_t(m1 - m0 + kRows - 1) / kRows;
    size_t share = (fetch.left + tiles - 1) / tiles;
    share = (share + 3) & ~size_t(3);
    if (share > size_t(k1 - k0)) share = size_t(k1 - k0);
    for (int m = m0; m < m1; m += kRows) {
      const int row_count = m1 - m < kRows ? m1 - m : kRows;
      kTiles<Rows>[(row_count - 1) * kGroups + (count - 1)](
          rows.at(m), step, w, bias, out + size_t(m) * N, relu, add.at(size_t(m), N), N, q * kPanel,
          fetch.take(share), extra.take(k1 - k0), m1 - m - row_count < kRows ? m1 - m - row_count : kRows);
    }
    if (K == 0) break;
  }
}

// Rows per pass: whole tiles whose rows of A fit the L2 budget, the passes of a product about
// equal (so that the last is no short pass of its own).
size_t row_pass(int M, int K) {
  size_t pass = kRowBlockBytes / (size_t(K > 0 ? K : 1) * sizeof(float));
  pass = pass < size_t(kRows) ? size_t(kRows) : pass - pass % kRows;
  if (pass >= size_t(M)) return size_t(M);
  const size_t passes = (size_t(M) + pass - 1) / pass;
  const size_t even = (size_t(M) + passes - 1) / passes;
  return (even + kRows - 1) / kRows * kRows;
}

// Panels [q_begin, q_end) of the regrouped weights (q_end past the last: up to the last).
template <class Rows>
void product_w16(Rows rows, const float* w16, const float* bias, float* out, bool relu, ResidualAdd add,
                 int M, int K, int N, Lines extra, int q_begin = 0, int q_end = INT32_MAX) {
  const int groups = (N + 15) / 16;
  const int panels = std::min(q_end, (N + kPanel - 1) / kPanel);
  const size_t panel_floats = size_t(K) * kPanel;
  const size_t pass = row_pass(M, K);
  for (int m0 = 0; m0 < M; m0 += int(pass)) {
    const int m1 = M - m0 < int(pass) ? M : m0 + int(pass);
    const int kc = block_k(K, m1 - m0);
    for (int q = q_begin; q < panels; ++q) {
      const int count = groups - q * kGroups < kGroups ? groups - q * kGroups : kGroups;
      const Lines after = q + 1 < panels ? Lines::range(w16 + (q + 1) * panel_floats,
                                                        size_t(K < kc ? K : kc) * kPanel * sizeof(float))
                                         : Lines{};
      panel_product(rows, m0, m1, q, count, w16, bias, out, relu, add, K, N, after, extra);
    }
  }
}

}  // namespace

size_t regrouped16_floats(int K, int N) {
  if (K <= 0 || N <= 0) return 0;
  return size_t((N + kPanel - 1) / kPanel) * size_t(K) * kPanel;
}

namespace {

// Groups [g_begin, g_end) of the regrouped weights.
void regroup_groups(const float* packed, int K, int N, int g_begin, int g_end, float* w16) {
  const int panels = (N + 3) / 4;
  const size_t panel_stride = size_t(K) * 4;
  for (int g = g_begin; g < g_end; ++g) {
    // Group g is lanes 16 (g % 4) .. of panel g / 4, whose rows (one per k) are 64 floats.
    float* dst = w16 + size_t(g / kGroups) * K * kPanel + 16 * (g % kGroups);
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
        float* d = dst + size_t(k) * kPanel;
        _mm512_storeu_ps(d, _mm512_shuffle_f32x4(t0, t2, 0x88));
        _mm512_storeu_ps(d + kPanel, _mm512_shuffle_f32x4(t0, t2, 0xDD));
        _mm512_storeu_ps(d + 2 * kPanel, _mm512_shuffle_f32x4(t1, t3, 0x88));
        _mm512_storeu_ps(d + 3 * kPanel, _mm512_shuffle_f32x4(t1, t3, 0xDD));
      }
      for (; k < K; ++k) {
        const float* s = src + size_t(k) * 4;
        __m512 v = _mm512_zextps128_ps512(_mm_loadu_ps(s));
        v = _mm512_insertf32x4(v, _mm_loadu_ps(s + panel_stride), 1);
        v = _mm512_insertf32x4(v, _mm_loadu_ps(s + 2 * panel_stride), 2);
        v = _mm512_insertf32x4(v, _mm_loadu_ps(s + 3 * panel_stride), 3);
        _mm512_storeu_ps(dst + size_t(k) * kPanel, v);
      }
    } else {
      for (int k = 0; k < K; ++k)
        for (int q = 0; q < 4; ++q)
          _mm_storeu_ps(
              dst + size_t(k) * kPanel + 4 * q,
              q < present ? _mm_loadu_ps(src + q * panel_stride + size_t(k) * 4) : _mm_setzero_ps());
    }
  }
}

}  // namespace

void regroup16_avx512(const float* packed, int K, int N, float* w16) {
  if (K <= 0 || N <= 0) return;
  regroup_groups(packed, K, N, 0, (N + kPanel - 1) / kPanel * kGroups, w16);
}

void regroup16_panels_avx512(const float* packed, int K, int N, int panel_begin, int panel_end, float* w16) {
  if (K <= 0 || N <= 0) return;
  const int panels = std::min(panel_end, (N + kPanel - 1) / kPanel);
  if (panel_begin < panels) regroup_groups(packed, K, N, panel_begin * kGroups, panels * kGroups, w16);
}

float* regroup16_buffer(size_t floats) { return thread_work<float>(WorkBuffer::Regrouped16, floats); }

namespace {

template <class Rows>
void product_tall(Rows rows, const float* packed, float* w16, const float* bias, float* out, bool relu,
                  ResidualAdd add, int M, int K, int N) {
  const int groups = (N + 15) / 16, panels = (N + kPanel - 1) / kPanel, panels4 = (N + 3) / 4;
  const size_t panel_stride = size_t(K) * 4, panel_floats = size_t(K) * kPanel;
  const size_t pass = row_pass(M, K);
  regroup_groups(packed, K, N, 0, groups < kGroups ? groups : kGroups, w16);
  for (int m0 = 0; m0 < M; m0 += int(pass)) {
    const int m1 = M - m0 < int(pass) ? M : m0 + int(pass);
    const int kc = block_k(K, m1 - m0);
    for (int q = 0; q < panels; ++q) {
      const int g = q * kGroups, count = groups - g < kGroups ? groups - g : kGroups;
      Lines after, fetch;
      if (m0 == 0) {
        // The first pass regroups each 64-channel block just before its rows run; the next
        // block's 4-channel panels (contiguous in the packed form) come into L2 meanwhile.
        const int next = 4 * (g + kGroups);
        const int next_count = panels4 - next < 16 ? panels4 - next : 16;
        if (next_count > 0)
          fetch = Lines::range(packed + size_t(next) * panel_stride,
                               size_t(next_count) * panel_stride * sizeof(float));
      } else if (q + 1 < panels) {
        after = Lines::range(w16 + (q + 1) * panel_floats, size_t(K < kc ? K : kc) * kPanel * sizeof(float));
      }
      panel_product(rows, m0, m1, q, count, w16, bias, out, relu, add, K, N, after, fetch);
      const int g_next = g + kGroups;
      if (m0 == 0 && g_next < groups)
        regroup_groups(packed, K, N, g_next, groups - g_next < kGroups ? groups : g_next + kGroups, w16);
    }
  }
}

}  // namespace

void gemm_f32_w16_avx512(const float* A, const float* w16, const float* bias, float* out, bool relu, int M,
                         int K, int N, const void* fetch_next, size_t fetch_bytes) {
  if (M <= 0 || N <= 0) return;
  if (K < 0) K = 0;
  product_w16(PlainRows{A, K}, w16, bias, out, relu, ResidualAdd{}, M, K, N,
              Lines::range(fetch_next, fetch_bytes));
}

void gemm_f32_w16_add_avx512(const float* A, const float* w16, const float* bias, float* out, bool relu,
                             int M, int K, int N, ResidualAdd add, int panel_begin, int panel_end) {
  if (M <= 0 || N <= 0) return;
  if (K < 0) K = 0;
  product_w16(PlainRows{A, K}, w16, bias, out, relu, add, M, K, N, Lines{}, panel_begin, panel_end);
}

void gemm_f32_tall_avx512(const float* A, const float* packed, float* w16, const float* bias, float* out,
                          bool relu, int M, int K, int N) {
  if (M <= 0 || N <= 0) return;
  if (K < 0) K = 0;
  product_tall(PlainRows{A, K}, packed, w16, bias, out, relu, ResidualAdd{}, M, K, N);
}

void gemm_f32_runs_avx512(const float* const* runs, int run_count, int run_len, const float* packed,
                          float* w16, bool regrouped, const float* bias, float* out, bool relu, int M, int N,
                          ResidualAdd add) {
  const int K = run_count * run_len;
  if (M <= 0 || N <= 0 || K <= 0) return;
  const RunRows rows{runs, run_count, run_len};
  if (regrouped)
    product_w16(rows, w16, bias, out, relu, add, M, K, N, Lines{});
  else
    product_tall(rows, packed, w16, bias, out, relu, add, M, K, N);
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
