// Sharing a matrix product's outputs among threads: ranges of rows, or ranges of output channels
// when the rows are too few to share evenly or the weights outweigh the rows (each thread then reads
// only its part of the weights). Either way every output is computed whole by one thread, so the
// bytes do not depend on the split.
#pragma once

#include <cstddef>

#include "kernels/thread_pool.h"
#include "kernels/work_split.h"

namespace trevalon {


// The useful share of the threads when `items` in blocks of `align` go to `ranges` ranges: the
// largest range sets the time.
inline double split_balance(size_t items, size_t align, size_t ranges) {
  if (ranges <= 1) return 0.0;
  const size_t blocks = (items + align - 1) / align;
  const size_t largest = (blocks + ranges - 1) / ranges * align;
  return double(items) / double(ranges) / double(largest < items ? largest : items);
}

// Runs an M x N product (K deep) as by_rows(m_begin, m_end) over ranges of rows in multiples of
// `row_align`, or by_cols(n_begin, n_end) over ranges of channels in multiples of `col_align`, or
// as by_rows(0, M) alone when the product is too small to share.
template <class Rows, class Cols>
void split_product(int M, int N, int K, size_t row_align, size_t col_align, size_t min_macs, Rows&& by_rows,
                   Cols&& by_cols) {
  if (M <= 0 || N <= 0) return;
  const size_t k = size_t(K > 0 ? K : 1);
  const size_t row_macs = k * size_t(N), col_macs = k * size_t(M);
  const size_t min_rows = (min_macs + row_macs - 1) / row_macs,
               min_cols = (min_macs + col_macs - 1) / col_macs;
  auto ranges = [](size_t items, size_t align, size_t min_items) {
    const size_t count = range_count(items, min_items < align ? align : min_items);
    const size_t blocks = (items + align - 1) / align;
    return count < blocks ? count : blocks;
  };
  const size_t row_ranges = ranges(size_t(M), row_align, min_rows);
  const size_t col_ranges = ranges(size_t(N), col_align, min_cols);
  const double rows_balance = split_balance(size_t(M), row_align, row_ranges);
  const double cols_balance = split_balance(size_t(N), col_align, col_ranges);
  if (rows_balance == 0.0 && cols_balance == 0.0) {
    by_rows(size_t(0), size_t(M));
    return;
  }
  // Channels when the weights are the larger operand, unless that leaves a thread idle for longer.
  const bool cols = N >= M ? cols_balance >= 0.85 * rows_balance : rows_balance < 0.85 * cols_balance;
  if (cols)
    parallel_for(size_t(N), col_align, min_cols < col_align ? col_align : min_cols, by_cols);
  else
    parallel_for(size_t(M), row_align, min_rows < row_align ? row_align : min_rows, by_rows);
}

}  // namespace trevalon
