// AVX-512 float GEMM pieces that the float convolution drivers of the same tier call directly: the
// weights regrouped into 64-channel panels (once at load, or for one call), and the product on them.
#pragma once

#include <cstddef>

#include "kernels/prepared_weights.h"

namespace trevalon::x86 {

// A residual added to a product's finished outputs in registers (after bias and the product's own
// ReLU): out[m][n] + other[m][n], other laid out as out; then with `relu` negatives become +0 while
// -0 and NaN pass, as add_f32 does. Null `other`: nothing added.
struct ResidualAdd {
  const float* other = nullptr;
  bool relu = false;
  // The same addition for the outputs from row m on (N per row).
  ResidualAdd at(size_t m, int N) const { return other ? ResidualAdd{other + m * size_t(N), relu} : *this; }
};

// A packed rows x cols matrix regrouped once into 64-channel panels (panel width 64).
void prepare_weights_f32_avx512(const float* packed, int rows, int cols, int format, PreparedWeightsF32& out);

// Regrouped weights: ceil(N/64) panels of K x 64 floats, one row of four 16-channel vectors per k;
// channel n sits in panel n/64, lane n%64; lanes past N are zero.
size_t regrouped16_floats(int K, int N);
void regroup16_avx512(const float* packed, int K, int N, float* w16);
// A per-thread buffer for regrouped weights: grows to the largest size asked, then reused.
float* regroup16_buffer(size_t floats);

// gemm_f32 on regrouped weights: lanes are 16 output channels and each A element is broadcast from
// its row, so every output keeps one accumulator in k order (bias added after the k loop). While it
// computes, the `fetch_bytes` at `fetch_next` (when given) are brought into L2 for a later step.
void gemm_f32_w16_avx512(const float* A, const float* w16, const float* bias, float* out, bool relu, int M,
                         int K, int N, const void* fetch_next = nullptr, size_t fetch_bytes = 0);
// gemm_f32_w16_avx512 finishing every output with `add` (when it has an operand), on the 64-channel
// panels [panel_begin, panel_end) only (one thread's share of the channels): writes those channels
// of every row, each as the whole product would.
void gemm_f32_w16_add_avx512(const float* A, const float* w16, const float* bias, float* out, bool relu,
                             int M, int K, int N, ResidualAdd add, int panel_begin = 0,
                             int panel_end = 1 << 30);
// regroup16_avx512 for the 64-channel panels [panel_begin, panel_end) only.
void regroup16_panels_avx512(const float* packed, int K, int N, int panel_begin, int panel_end, float* w16);
// The same product straight from the packed panels: each block of 64 channels is regrouped into
// `w16` (regrouped16_floats(K, N) floats, complete on return) just before the first pass of rows
// runs over it, while the next block's panels come into L2, so that reading the weights from
// memory overlaps the product.
void gemm_f32_tall_avx512(const float* A, const float* packed, float* w16, const float* bias, float* out,
                          bool relu, int M, int K, int N);

// The tall product with A given implicitly (a convolution's patch matrix read in place): row r of
// A is the concatenation of the runs runs[r * run_count + j], j < run_count, each run_len floats,
// so K = run_count * run_len. Regrouped weights are taken from `w16` when `regrouped`, else
// regrouped into it as gemm_f32_tall_avx512 does.
void gemm_f32_runs_avx512(const float* const* runs, int run_count, int run_len, const float* packed,
                          float* w16, bool regrouped, const float* bias, float* out, bool relu, int M, int N,
                          ResidualAdd add = {});

// gemm_f32_prepared_avx512 finishing every output with `add`; without `w16` the weights are
// regrouped for the call (every output of the product then runs on 64-channel panels).
void gemm_f32_prepared_add_avx512(const float* A, const float* packed, const float* w16, const float* bias,
                                  float* out, bool relu, int M, int K, int N, ResidualAdd add);

// gemm_f32 on the 4-channel panels directly: 16-row tiles with A transposed, row tails in 4-row
// lane groups. Best for short products, where regrouping the weights would not pay.
void gemm_f32_panels_avx512(const float* A, const float* packed, const float* bias, float* out, bool relu,
                            int M, int K, int N);
// gemm_f32_panels_avx512 on the 4-channel panels [panel_begin, panel_end) only.
void gemm_f32_panel_range_avx512(const float* A, const float* packed, const float* bias, float* out,
                                 bool relu, int M, int K, int N, int panel_begin, int panel_end);

// True when regrouping the weights and running the tall product beats working on the panels
// directly for an M x K x N product.
bool gemm_f32_prefers_w16(int M, int K, int N);

}  // namespace trevalon::x86
