// Portable LSTM recurrence, the scalar exp/reciprocal the vector tiers reproduce lane by lane, and
// the install of each tier's recurrence into the drivers.
#include "kernels/lstm_f32.h"

#include <cmath>

#include "backend/cpu_backend.h"
#include "kernels/gemm_f32.h"

namespace trevalon {

using namespace lstm_math;

float lstm_exp(float x) {
  x = x < kExpHi ? x : kExpHi;  // min(x, hi), then max(., lo), in the vector instructions' order
  x = x > kExpLo ? x : kExpLo;
  const float n = std::nearbyint(x * kLog2e);
  float r = std::fma(-n, kLn2Hi, x);
  r = std::fma(-n, kLn2Lo, r);
  const float z = r * r;
  float y = kExpP0;
  y = std::fma(y, r, kExpP1);
  y = std::fma(y, r, kExpP2);
  y = std::fma(y, r, kExpP3);
  y = std::fma(y, r, kExpP4);
  y = std::fma(y, r, kExpP5);
  y = std::fma(y, z, r);
  y = y + 1.0f;
  const uint32_t scale = uint32_t(int32_t(n) + 127) << 23;
  return y * bits_to_float(scale);
}

float lstm_reciprocal(float d) {
  const uint32_t bits = float_to_bits(d);
  const float m = bits_to_float((bits & 0x007FFFFFu) | 0x3F800000u);              // d = m 2^e, m in [1, 2)
  const float inverse_power = bits_to_float(0x7F000000u - (bits & 0x7F800000u));  // 2^-e
  float p = std::fma(kRcpC3, m, kRcpC2);
  p = std::fma(p, m, kRcpC1);
  p = std::fma(p, m, kRcpC0);
  float r = p * inverse_power;
  r = std::fma(r, std::fma(-d, r, 1.0f), r);
  r = std::fma(r, std::fma(-d, r, 1.0f), r);
  return r;
}

void lstm_cell_library(const float* gates, const float* r, float* c, float* h, int H, int first) {
  lstm_cell_library_units(gates, r, c, h, H, first, H);
}

void lstm_cell_library_units(const float* gates, const float* r, float* c, float* h, int H, int first, int end) {
  auto sigmoid = [](float x) { return 1.0f / (1.0f + std::exp(-x)); };
  for (int u = first; u < end; ++u) {
    const float i = sigmoid(gates[u] + r[u]);
    const float f = sigmoid(gates[H + u] + r[H + u]);
    const float g = std::tanh(gates[2 * H + u] + r[2 * H + u]);
    const float o = sigmoid(gates[3 * H + u] + r[3 * H + u]);
    c[u] = c[u] * f + g * i;
    h[u] = std::tanh(c[u]) * o;
  }
}

void lstm_cell_portable(const float* gates, const float* r, float* c, float* h, int H) {
  lstm_cell_portable_units(gates, r, c, h, H, 0, H);
}

void lstm_cell_portable_units(const float* gates, const float* r, float* c, float* h, int H, int begin, int end) {
  const int grouped = H / 4 * 4, poly_end = end < grouped ? end : grouped;
  for (int u = begin; u < poly_end; ++u) {
    const float i = lstm_sigmoid(gates[u] + r[u]);
    const float f = lstm_sigmoid(gates[H + u] + r[H + u]);
    const float g = lstm_tanh(gates[2 * H + u] + r[2 * H + u]);
    const float o = lstm_sigmoid(gates[3 * H + u] + r[3 * H + u]);
    c[u] = c[u] * f + g * i;
    h[u] = lstm_tanh(c[u]) * o;
  }
  lstm_cell_library_units(gates, r, c, h, H, begin > grouped ? begin : grouped, end);
}

namespace {

// Rows [n0, n1) of r = W h + b on the 4-row panels (element (n, k) at (n/4) 4K + 4k + n%4): one
// fused chain per row in k order, the bias after, as the whole product computes them.
void gemv_panel_rows(const float* x, const float* packed, const float* bias, float* r, int K, int n0, int n1) {
  for (int n = n0; n < n1; ++n) {
    const float* w = packed + size_t(n / 4) * size_t(4) * size_t(K) + size_t(n % 4);
    float acc = 0.0f;
    for (int k = 0; k < K; ++k) acc = std::fma(x[k], w[size_t(4) * size_t(k)], acc);
    r[n] = acc + (bias ? bias[n] : 0.0f);
  }
}

}  // namespace

size_t lstm_work_floats(int H) { return size_t(6) * size_t(H > 0 ? H : 0); }

void lstm_recurrence_f32_portable(const float* gates, const float* w_hh_packed, const float*,
                                  const float* b_hh, float* out, size_t out_stride, int T, int H,
                                  bool reverse, float* work) {
  lstm_recurrence_split(
      [&](const float* h, float* r) { gemm_f32_portable(h, w_hh_packed, b_hh, r, false, 1, H, 4 * H); },
      [&](const float* g, const float* r, float* c, float* h) { lstm_cell_portable(g, r, c, h, H); },
      [&](const float* h, float* r, int n0, int n1) { gemv_panel_rows(h, w_hh_packed, b_hh, r, H, n0, n1); },
      [&](const float* g, const float* r, float* c, float* h, int b, int e) {
        lstm_cell_portable_units(g, r, c, h, H, b, e);
      },
      gates, out, out_stride, T, H, reverse, work);
}

void install_lstm_kernels(KernelTable&, KernelDrivers& drivers, CpuTier tier) {
  // The table's lstm_f32 slot serves device inputs only: the CPU leaves it empty.
  drivers.lstm_f32_recurrence = &lstm_recurrence_f32_portable;
#ifndef TREVALON_PORTABLE
  if (tier >= CpuTier::Avx512)
    drivers.lstm_f32_recurrence = &lstm_recurrence_f32_avx512;
  else if (tier >= CpuTier::Avx2)
    drivers.lstm_f32_recurrence = &lstm_recurrence_f32_avx2;
#else
  (void)tier;
#endif
}

}  // namespace trevalon
