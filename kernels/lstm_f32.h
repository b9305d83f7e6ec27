// The LSTM recurrence of one direction: per step the hidden-to-gates product and the cell update.
// Complete groups of four units take a polynomial exponential and a reciprocal refined from an
// estimate every tier computes the same way, so all tiers give the same bits; units past the last
// group of four take the C library's expf and tanhf.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/thread_pool.h"

namespace trevalon {

namespace lstm_math {

inline float bits_to_float(uint32_t b) {
  float f;
  std::memcpy(&f, &b, 4);
  return f;
}
inline uint32_t float_to_bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}

constexpr float kExpHi = 88.0f, kExpLo = -88.0f;
constexpr float kLog2e = 1.44269504088896341f;
constexpr float kLn2Hi = 0.6933594f, kLn2Lo = -2.12194440e-4f;
constexpr float kExpP0 = 1.9875691e-4f, kExpP1 = 1.3981999e-3f, kExpP2 = 8.333452e-3f, kExpP3 = 4.1665796e-2f,
                kExpP4 = 0.16666666f, kExpP5 = 0.5f;
// 1/m on [1, 2) to a relative 1.8e-3 (a cubic fitted for the smallest largest error): the
// reciprocal's estimate. Two Newton steps take it to float precision (1.8e-3 -> 3e-6 -> 1e-11).
constexpr float kRcpC0 = 2.82842837f, kRcpC1 = -2.93935078f, kRcpC2 = 1.33102754f, kRcpC3 = -0.22183792f;

}  // namespace lstm_math

// e^x: clamped to [-88, 88] (a NaN takes 88, as the vector min does), x = n ln2 + r with
// n = x log2(e) rounded to nearest even, a degree-5 polynomial in r, scaled by 2^n through the
// exponent bits. Every step is the operation the vector tiers perform lane by lane.
float lstm_exp(float x);
// 1/d for d in [1, 2^127): the cubic estimate of the mantissa's reciprocal scaled by the inverse
// power of two, then two Newton steps r += r (1 - d r). Only 1 + e^x (x clamped) reaches it.
float lstm_reciprocal(float d);
inline float lstm_sigmoid(float x) { return lstm_reciprocal(1.0f + lstm_exp(-x)); }
inline float lstm_tanh(float x) {
  const float s = lstm_sigmoid(x + x);
  return s + s - 1.0f;
}

// Cell update of units [first, H) with the C library: a = gates[row] + r[row] for the rows u,
// H + u, 2H + u, 3H + u (gates i, f, g, o), c = c sigma(a_f) + tanh(a_g) sigma(a_i),
// h = tanh(c) sigma(a_o), sigma(x) = 1 / (1 + expf(-x)).
void lstm_cell_library(const float* gates, const float* r, float* c, float* h, int H, int first);
// The same for units [first, end).
void lstm_cell_library_units(const float* gates, const float* r, float* c, float* h, int H, int first, int end);
// The same update, complete groups of four units with the polynomial functions above, the rest
// with lstm_cell_library.
void lstm_cell_portable(const float* gates, const float* r, float* c, float* h, int H);
// Units [begin, end) of it, each exactly as in the whole update.
void lstm_cell_portable_units(const float* gates, const float* r, float* c, float* h, int H, int begin, int end);

// One direction over T steps. gates: T x 4H, the input projection with its bias. The hidden
// weight (4H x H) comes as the table's 4-row panels and this tier's prepared form of them (null
// when the tier reads the panels). Per step: r = W_hh h + b_hh (b_hh may be null; one accumulator
// per row, k ascending), then the cell update; h goes to out + t * out_stride. Steps run t = 0..T-1,
// or T-1..0 when `reverse`. work: lstm_work_floats(H) floats; h and c start at zero.
size_t lstm_work_floats(int H);

// The step loop shared by the tiers: gemv(h, r) computes r = W_hh h + b_hh, cell(gates_t, r, c, h)
// updates c and h.
template <class Gemv, class Cell>
void lstm_recurrence_with(Gemv gemv, Cell cell, const float* gates, float* out, size_t out_stride, int T,
                          int H, bool reverse, float* work) {
  if (T <= 0 || H <= 0) return;
  float* r = work;
  float* h = r + size_t(4) * size_t(H);
  float* c = h + H;
  std::memset(h, 0, size_t(2) * size_t(H) * sizeof(float));
  for (int s = 0; s < T; ++s) {
    const int t = reverse ? T - 1 - s : s;
    gemv(h, r);
    cell(gates + size_t(t) * size_t(4) * size_t(H), r, c, h);
    std::memcpy(out + size_t(t) * out_stride, h, size_t(H) * sizeof(float));
  }
}
// Hidden units a thread's range holds at least: a unit costs 4 H multiply-adds of the product.
inline size_t lstm_min_units(int H) { return (size_t(1) << 15) / size_t(H > 0 ? H : 1) + 1; }

// The step loop with each step's units split over the threads, in ranges of whole groups of 16
// (so every complete group of four still takes the polynomial): a range computes its units' rows
// of every gate, gemv_rows(h, r, first_row, end_row), then their cell update, cell_units(gates_t,
// r, c, h_out, begin, end). A step reads the previous step's hidden state from its output row
// (zeros first) and writes its own there, so no range reads what another writes. With one range,
// the one-thread loop above.
template <class Gemv, class Cell, class GemvRows, class CellUnits>
void lstm_recurrence_split(Gemv gemv, Cell cell, GemvRows gemv_rows, CellUnits cell_units, const float* gates,
                           float* out, size_t out_stride, int T, int H, bool reverse, float* work) {
  if (T <= 0 || H <= 0) return;
  if (range_count(size_t(H), lstm_min_units(H)) <= 1 || (H + 15) / 16 <= 1) {
    lstm_recurrence_with(gemv, cell, gates, out, out_stride, T, H, reverse, work);
    return;
  }
  float* r = work;
  float* zeros = r + size_t(4) * size_t(H);
  float* c = zeros + H;
  std::memset(zeros, 0, size_t(2) * size_t(H) * sizeof(float));
  const float* h_prev = zeros;
  for (int s = 0; s < T; ++s) {
    const int t = reverse ? T - 1 - s : s;
    float* h_next = out + size_t(t) * out_stride;
    const float* gates_t = gates + size_t(t) * size_t(4) * size_t(H);
    parallel_for(size_t(H), 16, lstm_min_units(H), [&](size_t b, size_t e) {
      for (int g = 0; g < 4; ++g) gemv_rows(h_prev, r, g * H + int(b), g * H + int(e));
      cell_units(gates_t, r, c, h_next, int(b), int(e));
    });
    h_prev = h_next;
  }
}

void lstm_recurrence_f32_portable(const float* gates, const float* w_hh_packed, const float* w_hh_prepared,
                                  const float* b_hh, float* out, size_t out_stride, int T, int H,
                                  bool reverse, float* work);

#ifndef TREVALON_PORTABLE
void lstm_recurrence_f32_avx2(const float* gates, const float* w_hh_packed, const float* w_hh_prepared,
                              const float* b_hh, float* out, size_t out_stride, int T, int H, bool reverse,
                              float* work);
// Reads the 64-row form of the AVX-512 float products when given.
void lstm_recurrence_f32_avx512(const float* gates, const float* w_hh_packed, const float* w_hh_prepared,
                                const float* b_hh, float* out, size_t out_stride, int T, int H, bool reverse,
                                float* work);
#endif

}  // namespace trevalon
