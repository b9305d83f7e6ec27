// LSTM recurrence on AVX2: the hidden product on the 4-row panels (eight panels at once, one
// 4-lane chain each), the cell update eight units (two groups of four) per vector, each lane the
// portable scalar arithmetic.
#include <immintrin.h>

#include "kernels/lstm_f32.h"

namespace trevalon {
namespace {

using namespace lstm_math;

// r[n] = bias[n] + sum_k x[k] w[n][k] on the table's 4-row panels; N is a multiple of 4 here.
void gemv_panels(const float* x, const float* packed, const float* bias, float* r, int K, int N) {
  const int panels = N / 4;
  const size_t stride = size_t(4) * size_t(K);
  auto finish = [&](__m128 acc, int p) {
    const __m128 b = bias ? _mm_loadu_ps(bias + 4 * p) : _mm_setzero_ps();
    _mm_storeu_ps(r + 4 * p, _mm_add_ps(acc, b));
  };
  int p = 0;
  for (; p + 8 <= panels; p += 8) {
    const float* w = packed + size_t(p) * stride;
    __m128 acc[8];
    for (auto& v : acc) v = _mm_setzero_ps();
    for (int k = 0; k < K; ++k) {
      const __m128 xk = _mm_set1_ps(x[k]);
      for (int j = 0; j < 8; ++j)
        acc[j] = _mm_fmadd_ps(_mm_loadu_ps(w + size_t(j) * stride + 4 * k), xk, acc[j]);
    }
    for (int j = 0; j < 8; ++j) finish(acc[j], p + j);
  }
  for (; p < panels; ++p) {
    const float* w = packed + size_t(p) * stride;
    __m128 acc = _mm_setzero_ps();
    for (int k = 0; k < K; ++k) acc = _mm_fmadd_ps(_mm_loadu_ps(w + 4 * k), _mm_set1_ps(x[k]), acc);
    finish(acc, p);
  }
}

// Rows [n0, n1) of the same product: the panels holding them, each computed as above, only the
// rows of the range stored.
void gemv_panel_rows(const float* x, const float* packed, const float* bias, float* r, int K, int n0, int n1) {
  const size_t stride = size_t(4) * size_t(K);
  constexpr int kChains = 8;
  for (int p0 = n0 / 4, end = (n1 + 3) / 4; p0 < end; p0 += kChains) {
    const int count = end - p0 < kChains ? end - p0 : kChains;
    __m128 acc[kChains];
    for (auto& v : acc) v = _mm_setzero_ps();
    for (int k = 0; k < K; ++k) {
      const __m128 xk = _mm_set1_ps(x[k]);
      for (int j = 0; j < count; ++j)
        acc[j] = _mm_fmadd_ps(_mm_loadu_ps(packed + size_t(p0 + j) * stride + 4 * k), xk, acc[j]);
    }
    for (int j = 0; j < count; ++j) {
      const int row0 = 4 * (p0 + j);
      alignas(16) float v[4];
      _mm_store_ps(v, _mm_add_ps(acc[j], bias ? _mm_loadu_ps(bias + row0) : _mm_setzero_ps()));
      for (int i = 0; i < 4; ++i)
        if (row0 + i >= n0 && row0 + i < n1) r[row0 + i] = v[i];
    }
  }
}

inline __m256 exp8(__m256 x) {
  x = _mm256_min_ps(x, _mm256_set1_ps(kExpHi));
  x = _mm256_max_ps(x, _mm256_set1_ps(kExpLo));
  const __m256 n = _mm256_round_ps(_mm256_mul_ps(x, _mm256_set1_ps(kLog2e)),
                                   _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
  __m256 r = _mm256_fnmadd_ps(n, _mm256_set1_ps(kLn2Hi), x);
  r = _mm256_fnmadd_ps(n, _mm256_set1_ps(kLn2Lo), r);
  const __m256 z = _mm256_mul_ps(r, r);
  __m256 y = _mm256_set1_ps(kExpP0);
  y = _mm256_fmadd_ps(y, r, _mm256_set1_ps(kExpP1));
  y = _mm256_fmadd_ps(y, r, _mm256_set1_ps(kExpP2));
  y = _mm256_fmadd_ps(y, r, _mm256_set1_ps(kExpP3));
  y = _mm256_fmadd_ps(y, r, _mm256_set1_ps(kExpP4));
  y = _mm256_fmadd_ps(y, r, _mm256_set1_ps(kExpP5));
  y = _mm256_fmadd_ps(y, z, r);
  y = _mm256_add_ps(y, _mm256_set1_ps(1.0f));
  const __m256i e = _mm256_slli_epi32(_mm256_add_epi32(_mm256_cvttps_epi32(n), _mm256_set1_epi32(127)), 23);
  return _mm256_mul_ps(y, _mm256_castsi256_ps(e));
}

inline __m256 reciprocal8(__m256 d) {
  const __m256i bits = _mm256_castps_si256(d);
  const __m256 m = _mm256_castsi256_ps(
      _mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi32(0x007FFFFF)), _mm256_set1_epi32(0x3F800000)));
  const __m256 inverse_power = _mm256_castsi256_ps(
      _mm256_sub_epi32(_mm256_set1_epi32(0x7F000000), _mm256_and_si256(bits, _mm256_set1_epi32(0x7F800000))));
  __m256 p = _mm256_fmadd_ps(_mm256_set1_ps(kRcpC3), m, _mm256_set1_ps(kRcpC2));
  p = _mm256_fmadd_ps(p, m, _mm256_set1_ps(kRcpC1));
  p = _mm256_fmadd_ps(p, m, _mm256_set1_ps(kRcpC0));
  const __m256 one = _mm256_set1_ps(1.0f);
  __m256 r = _mm256_mul_ps(p, inverse_power);
  r = _mm256_fmadd_ps(r, _mm256_fnmadd_ps(d, r, one), r);
  r = _mm256_fmadd_ps(r, _mm256_fnmadd_ps(d, r, one), r);
  return r;
}

inline __m256 sigmoid8(__m256 x) {
  const __m256 neg = _mm256_xor_ps(x, _mm256_set1_ps(-0.0f));
  return reciprocal8(_mm256_add_ps(_mm256_set1_ps(1.0f), exp8(neg)));
}

inline __m256 tanh8(__m256 x) {
  const __m256 s = sigmoid8(_mm256_add_ps(x, x));
  return _mm256_sub_ps(_mm256_add_ps(s, s), _mm256_set1_ps(1.0f));
}

// Units [begin, end) of the cell update; begin is a multiple of 8 (of 16 from the split).
void cell_avx2(const float* gates, const float* r, float* c, float* h, int H, int begin, int end) {
  const int grouped = H / 4 * 4, poly_end = end < grouped ? end : grouped;
  for (int u = begin; u < poly_end; u += 8) {
    // A last group of four loads and stores through the mask's low half.
    const bool full = poly_end - u >= 8;
    const __m256i m = _mm256_setr_epi32(-1, -1, -1, -1, full ? -1 : 0, full ? -1 : 0, full ? -1 : 0, full ? -1 : 0);
    auto gate = [&](int row) {
      return _mm256_add_ps(_mm256_maskload_ps(gates + row, m), _mm256_maskload_ps(r + row, m));
    };
    const __m256 i = sigmoid8(gate(u));
    const __m256 f = sigmoid8(gate(H + u));
    const __m256 g = tanh8(gate(2 * H + u));
    const __m256 o = sigmoid8(gate(3 * H + u));
    const __m256 cu = _mm256_add_ps(_mm256_mul_ps(_mm256_maskload_ps(c + u, m), f), _mm256_mul_ps(g, i));
    _mm256_maskstore_ps(c + u, m, cu);
    _mm256_maskstore_ps(h + u, m, _mm256_mul_ps(tanh8(cu), o));
  }
  lstm_cell_library_units(gates, r, c, h, H, begin > grouped ? begin : grouped, end);
}

}  // namespace

void lstm_recurrence_f32_avx2(const float* gates, const float* w_hh_packed, const float*, const float* b_hh,
                              float* out, size_t out_stride, int T, int H, bool reverse, float* work) {
  lstm_recurrence_split(
      [&](const float* h, float* r) { gemv_panels(h, w_hh_packed, b_hh, r, H, 4 * H); },
      [&](const float* g, const float* r, float* c, float* h) { cell_avx2(g, r, c, h, H, 0, H); },
      [&](const float* h, float* r, int n0, int n1) { gemv_panel_rows(h, w_hh_packed, b_hh, r, H, n0, n1); },
      [&](const float* g, const float* r, float* c, float* h, int b, int e) { cell_avx2(g, r, c, h, H, b, e); },
      gates, out, out_stride, T, H, reverse, work);
}

}  // namespace trevalon
