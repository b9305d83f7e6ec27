// LSTM recurrence on AVX-512: the hidden product on the 64-row weight form (two panels at once, eight
// accumulator chains), the cell update sixteen units (four groups of four) per vector, each lane
// the portable scalar arithmetic.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "kernels/gemm_f32.h"
#include "kernels/lstm_f32.h"

namespace trevalon {
namespace {

using namespace lstm_math;

inline __mmask16 first_lanes(int count) {
  return count >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << count) - 1);
}

// r[n] = bias[n] + sum_k x[k] w[n][k] on panels of 64 rows (row n at panel n/64, lane n%64, k-major).
void gemv_w64(const float* x, const float* w64, const float* bias, float* r, int K, int N) {
  const int panels = (N + 63) / 64;
  const size_t panel_floats = size_t(64) * size_t(K);
  auto finish = [&](const __m512* acc, int row0, int groups) {
    for (int j = 0; j < groups; ++j) {
      const int row = row0 + 16 * j;
      if (row >= N) return;
      const __mmask16 m = first_lanes(N - row);
      const __m512 b = bias ? _mm512_maskz_loadu_ps(m, bias + row) : _mm512_setzero_ps();
      _mm512_mask_storeu_ps(r + row, m, _mm512_add_ps(acc[j], b));
    }
  };
  int p = 0;
  for (; p + 2 <= panels; p += 2) {
    const float* a = w64 + size_t(p) * panel_floats;
    const float* b = a + panel_floats;
    __m512 acc[8];
    for (auto& v : acc) v = _mm512_setzero_ps();
    for (int k = 0; k < K; ++k) {
      const __m512 xk = _mm512_set1_ps(x[k]);
      const float* ak = a + size_t(64) * k;
      const float* bk = b + size_t(64) * k;
      acc[0] = _mm512_fmadd_ps(_mm512_loadu_ps(ak), xk, acc[0]);
      acc[1] = _mm512_fmadd_ps(_mm512_loadu_ps(ak + 16), xk, acc[1]);
      acc[2] = _mm512_fmadd_ps(_mm512_loadu_ps(ak + 32), xk, acc[2]);
      acc[3] = _mm512_fmadd_ps(_mm512_loadu_ps(ak + 48), xk, acc[3]);
      acc[4] = _mm512_fmadd_ps(_mm512_loadu_ps(bk), xk, acc[4]);
      acc[5] = _mm512_fmadd_ps(_mm512_loadu_ps(bk + 16), xk, acc[5]);
      acc[6] = _mm512_fmadd_ps(_mm512_loadu_ps(bk + 32), xk, acc[6]);
      acc[7] = _mm512_fmadd_ps(_mm512_loadu_ps(bk + 48), xk, acc[7]);
    }
    finish(acc, p * 64, 8);
  }
  if (p < panels) {
    const float* a = w64 + size_t(p) * panel_floats;
    __m512 acc[4];
    for (auto& v : acc) v = _mm512_setzero_ps();
    for (int k = 0; k < K; ++k) {
      const __m512 xk = _mm512_set1_ps(x[k]);
      for (int j = 0; j < 4; ++j)
        acc[j] = _mm512_fmadd_ps(_mm512_loadu_ps(a + size_t(64) * k + 16 * j), xk, acc[j]);
    }
    finish(acc, p * 64, 4);
  }
}

// Rows [n0, n1) of the same product: the 16-row groups holding them (a group never crosses a
// panel), each row's chain as above, only the rows of the range stored.
void gemv_w64_rows(const float* x, const float* w64, const float* bias, float* r, int K, int n0, int n1) {
  const size_t panel_floats = size_t(64) * size_t(K);
  constexpr int kChains = 8;
  for (int g0 = n0 / 16 * 16; g0 < n1; g0 += 16 * kChains) {
    const int count = (n1 - g0 + 15) / 16 < kChains ? (n1 - g0 + 15) / 16 : kChains;
    const float* w[kChains];
    for (int j = 0; j < count; ++j) {
      const int row = g0 + 16 * j;
      w[j] = w64 + size_t(row / 64) * panel_floats + size_t(row % 64);
    }
    __m512 acc[kChains];
    for (auto& v : acc) v = _mm512_setzero_ps();
    for (int k = 0; k < K; ++k) {
      const __m512 xk = _mm512_set1_ps(x[k]);
      for (int j = 0; j < count; ++j) acc[j] = _mm512_fmadd_ps(_mm512_loadu_ps(w[j] + size_t(64) * k), xk, acc[j]);
    }
    for (int j = 0; j < count; ++j) {
      const int row = g0 + 16 * j, lo = row < n0 ? n0 - row : 0, hi = n1 - row < 16 ? n1 - row : 16;
      const __mmask16 m = __mmask16(first_lanes(hi) & ~first_lanes(lo));
      const __m512 b = bias ? _mm512_maskz_loadu_ps(m, bias + row) : _mm512_setzero_ps();
      _mm512_mask_storeu_ps(r + row, m, _mm512_add_ps(acc[j], b));
    }
  }
}

inline __m512 exp16(__m512 x) {
  x = _mm512_min_ps(x, _mm512_set1_ps(kExpHi));
  x = _mm512_max_ps(x, _mm512_set1_ps(kExpLo));
  const __m512 n = _mm512_roundscale_ps(_mm512_mul_ps(x, _mm512_set1_ps(kLog2e)),
                                        _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
  __m512 r = _mm512_fnmadd_ps(n, _mm512_set1_ps(kLn2Hi), x);
  r = _mm512_fnmadd_ps(n, _mm512_set1_ps(kLn2Lo), r);
  const __m512 z = _mm512_mul_ps(r, r);
  __m512 y = _mm512_set1_ps(kExpP0);
  y = _mm512_fmadd_ps(y, r, _mm512_set1_ps(kExpP1));
  y = _mm512_fmadd_ps(y, r, _mm512_set1_ps(kExpP2));
  y = _mm512_fmadd_ps(y, r, _mm512_set1_ps(kExpP3));
  y = _mm512_fmadd_ps(y, r, _mm512_set1_ps(kExpP4));
  y = _mm512_fmadd_ps(y, r, _mm512_set1_ps(kExpP5));
  y = _mm512_fmadd_ps(y, z, r);
  y = _mm512_add_ps(y, _mm512_set1_ps(1.0f));
  const __m512i e = _mm512_slli_epi32(_mm512_add_epi32(_mm512_cvttps_epi32(n), _mm512_set1_epi32(127)), 23);
  return _mm512_mul_ps(y, _mm512_castsi512_ps(e));
}

inline __m512 reciprocal16(__m512 d) {
  const __m512i bits = _mm512_castps_si512(d);
  const __m512 m = _mm512_castsi512_ps(
      _mm512_or_si512(_mm512_and_si512(bits, _mm512_set1_epi32(0x007FFFFF)), _mm512_set1_epi32(0x3F800000)));
  const __m512 inverse_power = _mm512_castsi512_ps(
      _mm512_sub_epi32(_mm512_set1_epi32(0x7F000000), _mm512_and_si512(bits, _mm512_set1_epi32(0x7F800000))));
  __m512 p = _mm512_fmadd_ps(_mm512_set1_ps(kRcpC3), m, _mm512_set1_ps(kRcpC2));
  p = _mm512_fmadd_ps(p, m, _mm512_set1_ps(kRcpC1));
  p = _mm512_fmadd_ps(p, m, _mm512_set1_ps(kRcpC0));
  const __m512 one = _mm512_set1_ps(1.0f);
  __m512 r = _mm512_mul_ps(p, inverse_power);
  r = _mm512_fmadd_ps(r, _mm512_fnmadd_ps(d, r, one), r);
  r = _mm512_fmadd_ps(r, _mm512_fnmadd_ps(d, r, one), r);
  return r;
}

inline __m512 sigmoid16(__m512 x) {
  const __m512 neg = _mm512_xor_ps(x, _mm512_set1_ps(-0.0f));
  return reciprocal16(_mm512_add_ps(_mm512_set1_ps(1.0f), exp16(neg)));
}

inline __m512 tanh16(__m512 x) {
  const __m512 s = sigmoid16(_mm512_add_ps(x, x));
  return _mm512_sub_ps(_mm512_add_ps(s, s), _mm512_set1_ps(1.0f));
}

// Units [begin, end) of the cell update; begin is a multiple of 16.
void cell_avx512(const float* gates, const float* r, float* c, float* h, int H, int begin, int end) {
  const int grouped = H / 4 * 4, poly_end = end < grouped ? end : grouped;
  auto gate = [&](int row, __mmask16 m) {
    return _mm512_add_ps(_mm512_maskz_loadu_ps(m, gates + row), _mm512_maskz_loadu_ps(m, r + row));
  };
  for (int u = begin; u < poly_end; u += 16) {
    const __mmask16 m = first_lanes(poly_end - u);
    const __m512 i = sigmoid16(gate(u, m));
    const __m512 f = sigmoid16(gate(H + u, m));
    const __m512 g = tanh16(gate(2 * H + u, m));
    const __m512 o = sigmoid16(gate(3 * H + u, m));
    const __m512 cu = _mm512_add_ps(_mm512_mul_ps(_mm512_maskz_loadu_ps(m, c + u), f), _mm512_mul_ps(g, i));
    _mm512_mask_storeu_ps(c + u, m, cu);
    _mm512_mask_storeu_ps(h + u, m, _mm512_mul_ps(tanh16(cu), o));
  }
  lstm_cell_library_units(gates, r, c, h, H, begin > grouped ? begin : grouped, end);
}

}  // namespace

void lstm_recurrence_f32_avx512(const float* gates, const float* w_hh_packed, const float* w_hh_prepared,
                                const float* b_hh, float* out, size_t out_stride, int T, int H, bool reverse,
                                float* work) {
  auto gemv = [&](const float* h, float* r) {
    if (w_hh_prepared)
      gemv_w64(h, w_hh_prepared, b_hh, r, H, 4 * H);
    else
      gemm_f32_avx512(h, w_hh_packed, b_hh, r, false, 1, H, 4 * H);
  };
  auto cell = [&](const float* g, const float* r, float* c, float* h) { cell_avx512(g, r, c, h, H, 0, H); };
  auto cell_units = [&](const float* g, const float* r, float* c, float* h, int b, int e) {
    cell_avx512(g, r, c, h, H, b, e);
  };
  if (!w_hh_prepared) {  // panels alone: the split would need their product's row ranges
    lstm_recurrence_with(gemv, cell, gates, out, out_stride, T, H, reverse, work);
    return;
  }
  lstm_recurrence_split(
      gemv, cell,
      [&](const float* h, float* r, int n0, int n1) { gemv_w64_rows(h, w_hh_prepared, b_hh, r, H, n0, n1); },
      cell_units, gates, out, out_stride, T, H, reverse, work);
}

}  // namespace trevalon
