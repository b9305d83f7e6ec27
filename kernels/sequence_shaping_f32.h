// Kernels of the sequence shaping layers: joining and slicing channels (row copies) and summing the
// channels of each position, portable and (in x86 builds) AVX2 / AVX-512 for the sum.
#pragma once

#include <cstddef>

#include "kernels/thread_pool.h"

namespace trevalon {

// rows(begin, end) over ranges of positions on the threads; these kernels only copy or add, so a
// range must hold enough values (a quarter MiB) to pay for the hand-off. Ranges start at multiples
// of 16 positions, the vector kernels' blocks.
template <class Rows>
void shaping_rows_parallel(int positions, size_t values_per_row, Rows&& rows) {
  if (positions <= 0) return;
  const size_t min_rows = (size_t(1) << 16) / (values_per_row + 1) + 1;
  parallel_for(size_t(positions), 16, min_rows, [&](size_t b, size_t e) { rows(int(b), int(e)); });
}

// Row t of `out` = row t of `first` (C1 values), then C2 values of `second`: its row t, or its only
// row when `broadcast` is set.
void concat1d_f32_portable(const float* first, const float* second, float* out, int positions, int C1, int C2,
                           bool broadcast, void* stream);
// Row t of `out` = in[t][start .. start + count - 1], rows of `in` holding C values.
void slice_channels_f32_portable(const float* in, float* out, int positions, int C, int start, int count,
                                 void* stream);
// out[t] = sum of the C values of row t: four partial sums p0..p3 (pj over the channels 4i + j of
// the complete groups of four, in order), added as ((p0 + p1) + p2) + p3, then the remaining
// channels one by one. Rows of C <= 0 give 0. The vector versions run one row per lane and keep
// this order, so every tier gives the same bits.
void sum_channels_f32_portable(const float* in, float* out, int positions, int C, void* stream);

#ifndef TREVALON_PORTABLE
void sum_channels_f32_avx2(const float* in, float* out, int positions, int C, void* stream);
void sum_channels_f32_avx512(const float* in, float* out, int positions, int C, void* stream);
#endif

}  // namespace trevalon
