// Int8 2-D convolution through patch matrices: the gatherers that build them from channels-fastest
// or planar images, and the gemm_i8 calls that turn them into requantised outputs.
#include "kernels/conv2d_i8.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "kernels/conv_geometry.h"
#include "kernels/gemm_i8.h"
#include "kernels/packed_weights.h"
#include "kernels/thread_pool.h"
#include "kernels/thread_work.h"

namespace trevalon {
namespace {

struct ConvShape {
  int C, H, W, kH, kW, stride_h, stride_w, pad_h, pad_w, out_h, out_w;
};

// Output size of a convolution; false when the arguments
// describe no output pixel. A kernel wider than the unpadded input, or an input of zero rows or
// columns with padding, still has the pixels the formula gives: their taps outside read zp.
bool output_size(int C_in, int H, int W, int C_out, int kH, int kW, int stride_h, int stride_w, int pad_h,
                 int pad_w, int& out_h, int& out_w) {
  if (C_in <= 0 || H < 0 || W < 0 || C_out <= 0 || kH <= 0 || kW <= 0) return false;
  if (stride_h <= 0 || stride_w <= 0 || pad_h < 0 || pad_w < 0) return false;
  const int64_t h = conv_output_size(H, kH, stride_h, pad_h);
  const int64_t w = conv_output_size(W, kW, stride_w, pad_w);
  if (h <= 0 || w <= 0 || h > INT32_MAX || w > INT32_MAX) return false;
  out_h = int(h);
  out_w = int(w);
  return true;
}

// Multiply-adds of a band of output rows, or a range of groups, worth a hand-off to another thread.
constexpr size_t kMinBandMacs = size_t(3) << 20;
constexpr size_t kMinGroupRangeMacs = kMinBandMacs;
constexpr size_t kMinBandRows = 4;

// Patch bytes gathered per gemm_i8 call: small enough to stay in L2 between the gather and the
// product, large enough for the product to run long row blocks.
constexpr size_t kPatchChunkBytes = size_t(256) << 10;
constexpr int kMinChunkPixels = 64;
// Patch bytes a thread gathers on its own, between two products that split over threads (the
// workers still spin).
constexpr size_t kMinGatherBytes = size_t(48) << 10;
// Patch bytes of one claimed task of output rows, and how many times the weights' bytes a task
// must hold to be cut that short.
constexpr size_t kTaskPatchBytes = size_t(128) << 10;
constexpr size_t kTaskWeightShare = 8;

// One piece of a run: a plain copy, or (Offset) each byte XOR 0x80, the activation plus 128 read
// as unsigned that the VNNI product multiplies. Fixed sizes compile to plain vector moves.
template <bool Offset, size_t Bytes>
inline void copy_piece(int8_t* dst, const int8_t* src) {
  if constexpr (Offset) {
    uint8_t bytes[Bytes];
    std::memcpy(bytes, src, Bytes);
    for (uint8_t& b : bytes) b ^= 0x80;
    std::memcpy(dst, bytes, Bytes);
  } else {
    std::memcpy(dst, src, Bytes);
  }
}

// memcpy for the short runs a patch is made of: fixed-size pieces overlapping at the end, instead of
// a library call per run.
template <bool Offset>
inline void copy_run(int8_t* dst, const int8_t* src, size_t n) {
  if (n >= 256 && !Offset) {
    std::memcpy(dst, src, n);
  } else if (n >= 32) {
    for (size_t i = 0; i + 32 < n; i += 32) copy_piece<Offset, 32>(dst + i, src + i);
    copy_piece<Offset, 32>(dst + n - 32, src + n - 32);
  } else if (n >= 16) {
    copy_piece<Offset, 16>(dst, src);
    copy_piece<Offset, 16>(dst + n - 16, src + n - 16);
  } else if (n >= 8) {
    copy_piece<Offset, 8>(dst, src);
    copy_piece<Offset, 8>(dst + n - 8, src + n - 8);
  } else if (n >= 4) {
    copy_piece<Offset, 4>(dst, src);
    copy_piece<Offset, 4>(dst + n - 4, src + n - 4);
  } else {
    for (size_t i = 0; i < n; ++i) copy_piece<Offset, 1>(dst + i, src + i);
  }
}

// zp as the patch stores it.
template <bool Offset>
inline int fill_byte(int8_t zp) {
  return Offset ? (uint8_t(zp) ^ 0x80) : uint8_t(zp);
}

// One kernel row of a patch: kW taps of C bytes from input row `row` (null when the row lies
// outside the input) starting at column ix0. Taps left of column 0 or right of W - 1 take zp, which
// the zero-point correction inside the bias cancels.
template <bool Offset>
inline int8_t* copy_tap_row(int8_t* dst, const int8_t* row, int ix0, int kW, int W, int C, int8_t zp) {
  const size_t run = size_t(kW) * size_t(C);
  if (!row) {
    std::memset(dst, fill_byte<Offset>(zp), run);
    return dst + run;
  }
  const int first = std::clamp(-ix0, 0, kW);        // taps before column 0
  const int last = std::clamp(W - ix0, first, kW);  // taps before column W
  if (first > 0) std::memset(dst, fill_byte<Offset>(zp), size_t(first) * C);
  if (last > first)
    copy_run<Offset>(dst + size_t(first) * C, row + (ptrdiff_t(ix0) + first) * C, size_t(last - first) * C);
  if (last < kW) std::memset(dst + size_t(last) * C, fill_byte<Offset>(zp), size_t(kW - last) * C);
  return dst + run;
}

// Rows of patches lie `stride` bytes apart; the bytes after the K values of a row (only when the
// product wants whole dwords) are zeroed: they meet zero weights.
inline int8_t* pad_row(int8_t* dst, size_t pad) {
  for (size_t i = 0; i < pad; ++i) dst[i] = 0;  // at most 3 bytes
  return dst + pad;
}

// Patch rows of output rows [oy0, oy1), K = kH x kW x C values each in (kernel row, kernel column,
// channel) order. Non-zero template arguments fix the kernel, stride, padding and channel count at
// compile time so the dedicated gatherers lose the loop overhead and copy fixed-size runs; zero
// takes the value from `s`.
template <bool Offset, int KH, int KW, int SH, int SW, int PH, int PW, int C = 0>
void gather_patches(const int8_t* in, const ConvShape& s, int8_t zp, int oy0, int oy1, int8_t* dst,
                    size_t stride) {
  const int kH = KH ? KH : s.kH, kW = KW ? KW : s.kW;
  const int sh = SH ? SH : s.stride_h, sw = SW ? SW : s.stride_w;
  const int ph = PH ? PH : s.pad_h, pw = PW ? PW : s.pad_w;
  const int channels = C ? C : s.C;
  const size_t row_bytes = size_t(s.W) * size_t(channels), run = size_t(kW) * size_t(channels);
  const size_t pad = stride - size_t(kH) * run;
  constexpr int kMaxRows = 16;
  for (int oy = oy0; oy < oy1; ++oy) {
    const int iy0 = oy * sh - ph;
    // Every kernel row inside the input: their starts, so that interior pixels copy straight away.
    const bool rows_inside = iy0 >= 0 && iy0 + kH <= s.H && kH <= kMaxRows;
    const int8_t* rows[kMaxRows];
    if (rows_inside)
      for (int ky = 0; ky < kH; ++ky) rows[ky] = in + size_t(iy0 + ky) * row_bytes;
    for (int ox = 0; ox < s.out_w; ++ox) {
      const int ix0 = ox * sw - pw;
      const bool inside = ix0 >= 0 && ix0 + kW <= s.W;  // every tap column inside the input
      if (inside && rows_inside) {
        const size_t column = size_t(ix0) * size_t(channels);
        for (int ky = 0; ky < kH; ++ky, dst += run) copy_run<Offset>(dst, rows[ky] + column, run);
        dst = pad_row(dst, pad);
        continue;
      }
      for (int ky = 0; ky < kH; ++ky) {
        const int iy = iy0 + ky;
        const int8_t* row = (iy >= 0 && iy < s.H) ? in + size_t(iy) * row_bytes : nullptr;
        if (inside && row) {
          copy_run<Offset>(dst, row + size_t(ix0) * size_t(channels), run);
          dst += run;
        } else {
          dst = copy_tap_row<Offset>(dst, row, ix0, kW, s.W, channels, zp);
        }
      }
      dst = pad_row(dst, pad);
    }
  }
}

// 1x1 kernel, stride_h 2, no padding: the pixels at (2 oy, ox x stride_w), one by one.
template <bool Offset>
void gather_1x1_stride2(const int8_t* in, const ConvShape& s, int8_t zp, int oy0, int oy1, int8_t* dst,
                        size_t stride) {
  const size_t C = size_t(s.C);
  for (int oy = oy0; oy < oy1; ++oy) {
    const int8_t* row = in + size_t(2 * oy) * size_t(s.W) * C;
    for (int ox = 0; ox < s.out_w; ++ox) {
      copy_run<Offset>(dst, row + size_t(ox) * size_t(s.stride_w) * C, C);
      dst = pad_row(dst + C, stride - C);
    }
  }
}

using Gatherer = void (*)(const int8_t*, const ConvShape&, int8_t, int, int, int8_t*, size_t);

// The first matching case; null means the input itself is the patch matrix. The 1x1 cases read
// every tap from the input, which an image of zero rows or columns does not have.
template <bool Offset>
Gatherer choose_gatherer(const ConvShape& s) {
  const bool no_pad = s.pad_h == 0 && s.pad_w == 0;
  if (s.kH == 1 && s.kW == 1 && no_pad && s.H > 0 && s.W > 0) {
    if (s.stride_h == 1 && s.stride_w == 1) return nullptr;
    if (s.stride_h == 2) return gather_1x1_stride2<Offset>;
  }
  if (s.kH == 3 && s.kW == 3 && s.pad_h == 1 && s.pad_w == 1) {
    if (s.stride_h == 1 && s.stride_w == 1) return gather_patches<Offset, 3, 3, 1, 1, 1, 1>;
    if (s.stride_h == 2 && s.stride_w == 2) {
      // The small-network stem on three colour channels: fixed 9-byte runs.
      if (s.C == 3) return gather_patches<Offset, 3, 3, 2, 2, 1, 1, 3>;
      return gather_patches<Offset, 3, 3, 2, 2, 1, 1>;
    }
  }
  // The usual image-classifier stem: 7x7, stride 2, padding 3 on three colour channels.
  if (s.kH == 7 && s.kW == 7 && s.stride_h == 2 && s.stride_w == 2 && s.pad_h == 3 && s.pad_w == 3 &&
      s.C == 3)
    return gather_patches<Offset, 7, 7, 2, 2, 3, 3, 3>;
  return gather_patches<Offset, 0, 0, 0, 0, 0, 0>;
}

// Patch rows of output rows [oy0, oy1) into dst, `stride` bytes each. Called by a band that is the
// whole image (few rows, or a 1x1 kernel whose product splits over channels), the rows split over
// threads, so that a worker does not wait for the gather; inside a band it runs in one piece.
void gather_rows(Gatherer gather, const int8_t* in, const ConvShape& s, int8_t zp, int oy0, int oy1,
                 int8_t* dst, size_t stride) {
  const size_t row_bytes = size_t(s.out_w) * stride;
  parallel_for(size_t(oy1 - oy0), 1, kMinGatherBytes / row_bytes + 1, [&](size_t begin, size_t end) {
    gather(in, s, zp, oy0 + int(begin), oy0 + int(end), dst + begin * row_bytes, stride);
  });
}

void conv_channels_fastest(const ConvI8Products& products, const PreparedWeightsI8* prepared,
                           const int8_t* input, const int8_t* weights, const int8_t* packed,
                           const int64_t* bias, const int32_t* mult, const int32_t* shift, int8_t in_zp,
                           int8_t out_zp, int8_t* output, const ConvShape& s, int C_out, int8_t* scratch,
                           const int32_t* row_sums) {
  const int K = s.kH * s.kW * s.C;
  PackedWeights<int8_t> own;  // weights packed for this call only
  // A product that reads prepared weights in their own layout needs no packed blocks.
  const bool prepared_holds_weights = products.offset_gemm && prepared && prepared->weights.data();
  if (!packed && !prepared_holds_weights) {
    const std::vector<int8_t> reordered = to_patch_order(weights, C_out, s.C, s.kH * s.kW);
    own = PackedWeights<int8_t>(pack_weights_i8(reordered.data(), C_out, K), &free_packed_i8);
    packed = own.get();
    prepared = nullptr;  // made for other weights, if any
  }

  const size_t out_row_bytes = size_t(s.out_w) * size_t(C_out);
  const size_t chunk_pixels = std::max<size_t>(kMinChunkPixels, kPatchChunkBytes / size_t(K));
  const int rows_per_chunk = int(std::max<size_t>(1, chunk_pixels / size_t(s.out_w)));
  const Gatherer gather = choose_gatherer<false>(s);
  if (!gather) {
    if (products.offset_gemm) {  // the prepared starts spare a pass over the weights
      products.offset_gemm(input, 0, packed, bias, mult, shift, nullptr, out_zp, output, false,
                           s.out_h * s.out_w, K, C_out, false, row_sums, prepared);
      return;
    }
    products.gemm(input, packed, bias, mult, shift, nullptr, out_zp, output, false, s.out_h * s.out_w, K,
                  C_out, false, row_sums, nullptr);
    return;
  }
  // A tier whose product reads offset activations takes the patches gathered straight into that
  // form (offset bytes, rows of whole dwords) as long as they fit the scratch buffer, which holds
  // K bytes per pixel.
  const Gatherer offset_gather = products.offset_gemm ? choose_gatherer<true>(s) : nullptr;
  const size_t stride = (size_t(K) + 3) / 4 * 4;
  // With threads, bands of output rows gather and multiply on their own, each in its own rows of
  // the scratch buffer. Bands hold at least kMinBandRows rows, so that few rows do not split
  // unevenly: one band's products then split over threads themselves. So does a 1x1 kernel with
  // more output channels than pixels: its gather is a cheap copy, and bands would each read all the
  // weights where the product's channel ranges read a part.
  const size_t row_macs = size_t(s.out_w) * size_t(K) * size_t(C_out);
  const bool weights_dominate = s.kH * s.kW == 1 && size_t(s.out_h) * size_t(s.out_w) < size_t(C_out);
  const size_t min_rows =
      weights_dominate ? size_t(s.out_h) : std::max<size_t>(kMinBandRows, kMinBandMacs / row_macs + 1);
  // Weights small beside a task's patches (the 7x7 stem on three colour channels) cost little to
  // read again: with threads the rows are cut into short tasks that the threads claim in turn, a
  // multiple of the bands in number, so that a worker that wakes late or runs slow leaves its
  // share to the others instead of making them wait. A task gathers into its thread's buffer.
  const size_t ranges = range_count(size_t(s.out_h), min_rows);
  const size_t task_row_bytes = size_t(s.out_w) * stride;
  const size_t task_rows = std::max<size_t>(1, kTaskPatchBytes / task_row_bytes);
  const bool small_weights = size_t(C_out) * stride * kTaskWeightShare <= task_rows * task_row_bytes;
  if (ranges > 1 && offset_gather && small_weights) {
    const size_t tasks = ((size_t(s.out_h) + task_rows - 1) / task_rows + ranges - 1) / ranges * ranges;
    const size_t most_rows = (size_t(s.out_h) + tasks - 1) / tasks;
    parallel_tasks(tasks, [&](size_t task) {
      const int oy0 = int(size_t(s.out_h) * task / tasks), oy1 = int(size_t(s.out_h) * (task + 1) / tasks);
      if (oy0 == oy1) return;
      int8_t* const patches = thread_work<int8_t>(WorkBuffer::ConvPatchesI8, most_rows * task_row_bytes);
      offset_gather(input, s, in_zp, oy0, oy1, patches, stride);
      products.offset_gemm(patches, stride, packed, bias, mult, shift, nullptr, out_zp,
                           output + size_t(oy0) * out_row_bytes, false, (oy1 - oy0) * s.out_w, K, C_out,
                           false, row_sums, prepared);
    });
    return;
  }
  parallel_for(size_t(s.out_h), 1, min_rows, [&](size_t band_begin, size_t band_end) {
    const int b0 = int(band_begin), b1 = int(band_end);
    int8_t* const band_scratch = scratch + band_begin * size_t(s.out_w) * size_t(K);
    const size_t fitting_rows = (band_end - band_begin) * size_t(K) / stride;
    const int rows = int(std::min<size_t>(size_t(rows_per_chunk), fitting_rows));
    if (offset_gather && rows > 0) {
      for (int oy0 = b0; oy0 < b1; oy0 += rows) {
        const int oy1 = std::min(b1, oy0 + rows);
        gather_rows(offset_gather, input, s, in_zp, oy0, oy1, band_scratch, stride);
        products.offset_gemm(band_scratch, stride, packed, bias, mult, shift, nullptr, out_zp,
                             output + size_t(oy0) * out_row_bytes, false, (oy1 - oy0) * s.out_w, K, C_out,
                             false, row_sums, prepared);
      }
      return;
    }
    for (int oy0 = b0; oy0 < b1; oy0 += rows_per_chunk) {
      const int oy1 = std::min(b1, oy0 + rows_per_chunk);
      gather_rows(gather, input, s, in_zp, oy0, oy1, band_scratch, size_t(K));
      if (products.offset_gemm) {
        products.offset_gemm(band_scratch, 0, packed, bias, mult, shift, nullptr, out_zp,
                             output + size_t(oy0) * out_row_bytes, false, (oy1 - oy0) * s.out_w, K, C_out,
                             false, row_sums, prepared);
        continue;
      }
      products.gemm(band_scratch, packed, bias, mult, shift, nullptr, out_zp,
                    output + size_t(oy0) * out_row_bytes, false, (oy1 - oy0) * s.out_w, K, C_out, false,
                    row_sums, nullptr);
    }
  });
}

// Planar data: per group, patch rows of K = (C_in / groups) x kH x kW values in (input channel,
// kernel row, kernel column) order, the stored weight order, multiplied into channel-major output.
void conv_planar(const ConvI8Products& products, const int8_t* input, const int8_t* weights,
                 const int8_t* packed, const int64_t* bias, const int32_t* mult, const int32_t* shift,
                 int8_t in_zp, int8_t out_zp, int8_t* output, const ConvShape& s, int C_out, int groups,
                 int8_t* scratch, const int32_t* row_sums) {
  const int group_in = s.C / groups, group_out = C_out / groups;
  const int K = group_in * s.kH * s.kW;
  const int M = s.out_h * s.out_w;
  const size_t plane = size_t(s.H) * size_t(s.W);
  const size_t group_packed_bytes = packed_weights_i8_bytes(group_out, K);
  const size_t patch_bytes = size_t(K) * size_t(M);
  // Groups split over threads when there are several; a range other than the whole gathers into
  // its thread's working buffer, since the scratch buffer may hold one group's patches only.
  const size_t group_macs = patch_bytes * size_t(group_out);
  parallel_for(size_t(groups), 1, kMinGroupRangeMacs / group_macs + 1, [&](size_t g_begin, size_t g_end) {
    int8_t* const patches = g_end - g_begin == size_t(groups)
                                ? scratch
                                : thread_work<int8_t>(WorkBuffer::GroupedPatches, patch_bytes);
    for (int g = int(g_begin); g < int(g_end); ++g) {
      int8_t* dst = patches;
      for (int oy = 0; oy < s.out_h; ++oy) {
        const int iy0 = oy * s.stride_h - s.pad_h;
        for (int ox = 0; ox < s.out_w; ++ox) {
          const int ix0 = ox * s.stride_w - s.pad_w;
          for (int c = 0; c < group_in; ++c) {
            const int8_t* channel = input + size_t(g * group_in + c) * plane;
            for (int ky = 0; ky < s.kH; ++ky) {
              const int iy = iy0 + ky;
              const int8_t* row = (iy >= 0 && iy < s.H) ? channel + size_t(iy) * size_t(s.W) : nullptr;
              dst = copy_tap_row<false>(dst, row, ix0, s.kW, s.W, 1, in_zp);
            }
          }
        }
      }
      const size_t first = size_t(g) * size_t(group_out);
      PackedWeights<int8_t> own;
      const int8_t* group_packed = packed ? packed + size_t(g) * group_packed_bytes : nullptr;
      if (!group_packed) {
        own = PackedWeights<int8_t>(pack_weights_i8(weights + first * size_t(K), group_out, K),
                                    &free_packed_i8);
        group_packed = own.get();
      }
      products.gemm(patches, group_packed, bias + first, mult + first, shift + first, nullptr, out_zp,
                    output + first * size_t(M), false, M, K, group_out, true,
                    row_sums ? row_sums + first : nullptr, nullptr);
    }
  });
}

// dst (cols x rows) = transpose of src (rows x cols), in cache-sized tiles; large ones split their
// tile rows over threads.
void transpose_bytes(const int8_t* src, int rows, int cols, int8_t* dst) {
  constexpr int kTile = 32;
  constexpr size_t kMinRangeBytes = size_t(256) << 10;
  const size_t tile_row_bytes = size_t(kTile) * size_t(cols);
  parallel_for(size_t(rows), kTile, kMinRangeBytes / tile_row_bytes * kTile + kTile,
               [&](size_t begin, size_t end) {
                 for (int r0 = int(begin); r0 < int(end); r0 += kTile)
                   for (int c0 = 0; c0 < cols; c0 += kTile) {
                     const int r1 = std::min(rows, r0 + kTile), c1 = std::min(cols, c0 + kTile);
                     for (int r = r0; r < r1; ++r)
                       for (int c = c0; c < c1; ++c) dst[size_t(c) * rows + r] = src[size_t(r) * cols + c];
                   }
               });
}

}  // namespace

void conv2d_i8_with(const ConvI8Products& products, const PreparedWeightsI8* prepared, const int8_t* input,
                    const int8_t* weights, const int8_t* packed, const int64_t* bias, const int32_t* mult,
                    const int32_t* shift, int8_t in_zp, int8_t out_zp, int8_t* output, int C_in, int H, int W,
                    int C_out, int kH, int kW, int stride_h, int stride_w, int pad_h, int pad_w, int groups,
                    void* scratch, bool channels_fastest, const int32_t* row_sums) {
  if (groups < 1) groups = 1;
  int out_h = 0, out_w = 0;
  if (!output_size(C_in, H, W, C_out, kH, kW, stride_h, stride_w, pad_h, pad_w, out_h, out_w)) return;
  if (C_in % groups != 0 || C_out % groups != 0) return;
  const ConvShape s{C_in, H, W, kH, kW, stride_h, stride_w, pad_h, pad_w, out_h, out_w};
  int8_t* patches = static_cast<int8_t*>(scratch);
  if (!channels_fastest) {
    conv_planar(products, input, weights, packed, bias, mult, shift, in_zp, out_zp, output, s, C_out, groups,
                patches, row_sums);
  } else if (groups >= 2) {
    conv2d_i8_grouped_with(products, input, weights, packed, bias, mult, shift, in_zp, out_zp, output, C_in,
                           H, W, C_out, kH, kW, stride_h, stride_w, pad_h, pad_w, groups, scratch, row_sums);
  } else {
    conv_channels_fastest(products, prepared, input, weights, packed, bias, mult, shift, in_zp, out_zp,
                          output, s, C_out, patches, row_sums);
  }
}

std::vector<int8_t> conv2d_i8_pack_groups(const int8_t* weights, int C_out, int K, int groups) {
  if (C_out <= 0 || K <= 0 || groups < 1 || C_out % groups != 0) return {};
  const int group_out = C_out / groups;
  const size_t group_bytes = packed_weights_i8_bytes(group_out, K);
  std::vector<int8_t> all(group_bytes * size_t(groups));
  for (int g = 0; g < groups; ++g) {
    const PackedWeights<int8_t> one(
        pack_weights_i8(weights + size_t(g) * size_t(group_out) * size_t(K), group_out, K), &free_packed_i8);
    std::memcpy(all.data() + size_t(g) * group_bytes, one.get(), group_bytes);
  }
  return all;
}

void conv2d_i8_grouped_with(const ConvI8Products& products, const int8_t* input, const int8_t* weights,
                            const int8_t* packed, const int64_t* bias, const int32_t* mult,
                            const int32_t* shift, int8_t in_zp, int8_t out_zp, int8_t* output, int C_in,
                            int H, int W, int C_out, int kH, int kW, int stride_h, int stride_w, int pad_h,
                            int pad_w, int groups, void* scratch, const int32_t* row_sums) {
  int out_h = 0, out_w = 0;
  if (!output_size(C_in, H, W, C_out, kH, kW, stride_h, stride_w, pad_h, pad_w, out_h, out_w)) return;
  const size_t in_bytes = size_t(C_in) * size_t(H) * size_t(W);
  const size_t out_bytes = size_t(C_out) * size_t(out_h) * size_t(out_w);
  int8_t* planar_in = thread_work<int8_t>(WorkBuffer::GroupedPlanarIn, in_bytes);
  int8_t* planar_out = thread_work<int8_t>(WorkBuffer::GroupedPlanarOut, out_bytes);
  transpose_bytes(input, H * W, C_in, planar_in);
  conv2d_i8_with(products, nullptr, planar_in, weights, packed, bias, mult, shift, in_zp, out_zp, planar_out,
                 C_in, H, W, C_out, kH, kW, stride_h, stride_w, pad_h, pad_w, groups, scratch, false,
                 row_sums);
  transpose_bytes(planar_out, C_out, out_h * out_w, output);
}

namespace {

// Each tier's products, and its entry points bound to them.

template <const ConvI8Products& P>
void conv_slot(const int8_t* input, const int8_t* weights, const int8_t* packed, const int64_t* bias,
               const int32_t* mult, const int32_t* shift, int8_t in_zp, int8_t out_zp, int8_t* output,
               int C_in, int H, int W, int C_out, int kH, int kW, int stride_h, int stride_w, int pad_h,
               int pad_w, int groups, void* scratch, bool channels_fastest, const int32_t* row_sums,
               void* stream) {
  conv2d_i8_with(P, nullptr, input, weights, packed, bias, mult, shift, in_zp, out_zp, output, C_in, H, W,
                 C_out, kH, kW, stride_h, stride_w, pad_h, pad_w, groups, scratch, channels_fastest,
                 row_sums);
}

template <const ConvI8Products& P>
void conv_prepared(const int8_t* input, const int8_t* weights, const int8_t* packed,
                   const PreparedWeightsI8* prepared, const int64_t* bias, const int32_t* mult,
                   const int32_t* shift, int8_t in_zp, int8_t out_zp, int8_t* output, int C_in, int H, int W,
                   int C_out, int kH, int kW, int stride_h, int stride_w, int pad_h, int pad_w, int groups,
                   void* scratch, bool channels_fastest, const int32_t* row_sums) {
  conv2d_i8_with(P, prepared, input, weights, packed, bias, mult, shift, in_zp, out_zp, output, C_in, H, W,
                 C_out, kH, kW, stride_h, stride_w, pad_h, pad_w, groups, scratch, channels_fastest,
                 row_sums);
}

template <const ConvI8Products& P>
void conv_grouped(const int8_t* input, const int8_t* weights, const int8_t* packed, const int64_t* bias,
                  const int32_t* mult, const int32_t* shift, int8_t in_zp, int8_t out_zp, int8_t* output,
                  int C_in, int H, int W, int C_out, int kH, int kW, int stride_h, int stride_w, int pad_h,
                  int pad_w, int groups, void* scratch, const int32_t* row_sums) {
  conv2d_i8_grouped_with(P, input, weights, packed, bias, mult, shift, in_zp, out_zp, output, C_in, H, W,
                         C_out, kH, kW, stride_h, stride_w, pad_h, pad_w, groups, scratch, row_sums);
}

template <const ConvI8Products& P>
constexpr ConvI8Entries entries_of() {
  return ConvI8Entries{&conv_slot<P>, &conv_prepared<P>, &conv_grouped<P>};
}

constexpr ConvI8Products kPortable{&gemm_i8_portable, nullptr};
#ifndef TREVALON_PORTABLE
constexpr ConvI8Products kAvx2{&gemm_i8_avx2, nullptr};
constexpr ConvI8Products kAvx512Vnni{&gemm_i8_avx512vnni, &gemm_i8_prepared_avx512vnni};
constexpr ConvI8Products kAvx512Amx{&gemm_i8_avx512amx, &gemm_i8_prepared_avx512amx};
#endif

}  // namespace

ConvI8Entries conv_i8_entries_portable() { return entries_of<kPortable>(); }
#ifndef TREVALON_PORTABLE
ConvI8Entries conv_i8_entries_avx2() { return entries_of<kAvx2>(); }
ConvI8Entries conv_i8_entries_avx512vnni() { return entries_of<kAvx512Vnni>(); }
ConvI8Entries conv_i8_entries_avx512amx() { return entries_of<kAvx512Amx>(); }
#endif

}  // namespace trevalon
