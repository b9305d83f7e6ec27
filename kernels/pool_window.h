// Walks the output positions of a max pool and hands each one its window, clipped to the input.
// Shared by the portable and the ISA pooling kernels.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/pooling.h"
#include "kernels/thread_pool.h"

namespace trevalon {
namespace {  // included by ISA files too: keep every copy local to its file

struct PoolWindow {
  int64_t y0, y1, x0, x1;  // input rows [y0, y1) and columns [x0, x1), possibly empty
};

inline void clip_window(int64_t o, int64_t stride, int64_t pad, int64_t k, int64_t size, int64_t& begin,
                        int64_t& end) {
  const int64_t start = o * stride - pad;
  begin = start < 0 ? 0 : start;
  end = start + k < size ? start + k : size;
  if (end < begin) end = begin;
}

// Calls pixel(output_offset, window) for every output position in row order, where the offset is
// in elements (position index times C). Returns without calling for shapes that give no output.
// An image of zero rows or columns has output positions where padding reaches, all empty windows.
template <class Pixel>
inline void for_each_pool_window(int C, int H, int W, int kH, int kW, int stride_h, int stride_w, int pad_h,
                                 int pad_w, Pixel pixel) {
  if (C <= 0 || H < 0 || W < 0 || kH <= 0 || kW <= 0 || stride_h <= 0 || stride_w <= 0) return;
  const int64_t out_h = pooled_extent(H, kH, stride_h, pad_h);
  const int64_t out_w = pooled_extent(W, kW, stride_w, pad_w);
  if (out_h <= 0 || out_w <= 0) return;
  // Large pools split their output rows over threads; each position still reads its own window.
  constexpr size_t kMinRangeReads = size_t(1) << 18;
  const size_t row_reads = size_t(out_w) * size_t(C) * size_t(kH) * size_t(kW);
  parallel_for(size_t(out_h), 1, kMinRangeReads / row_reads + 1, [&](size_t begin, size_t end) {
    size_t offset = begin * size_t(out_w) * size_t(C);
    for (int64_t oy = int64_t(begin); oy < int64_t(end); ++oy) {
      PoolWindow win;
      clip_window(oy, stride_h, pad_h, kH, H, win.y0, win.y1);
      for (int64_t ox = 0; ox < out_w; ++ox) {
        clip_window(ox, stride_w, pad_w, kW, W, win.x0, win.x1);
        pixel(offset, win);
        offset += size_t(C);
      }
    }
  });
}

}  // namespace
}  // namespace trevalon
