// Int8 2-D convolution through patch matrices: the gatherers that build them from channels-fastest
// or planar images, and the gemm_i8 calls that turn them into requantised outputs.
#include "kernels/conv2d_i8.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "backend/cpu_backend.h"
#include "kernels/gemm_i8.h"

namespace trevalon {
namespace {

struct ConvShape {
  int C, H, W, kH, kW, stride_h, stride_w, pad_h, pad_w, out_h, out_w;
};

// Patch bytes gathered per gemm_i8 call: small enough to stay in L2 between the gather and the
// product, large enough for the product to run long row blocks.
constexpr size_t kPatchChunkBytes = size_t(256) << 10;
constexpr int kMinChunkPixels = 64;

// memcpy for the short runs a patch is made of: fixed-size pieces (which compile to plain vector
// moves) overlapping at the end, instead of a library call per run.
inline void copy_run(int8_t* dst, const int8_t* src, size_t n) {
  if (n >= 256) {
    std::memcpy(dst, src, n);
  } else if (n >= 32) {
    for (size_t i = 0; i + 32 < n; i += 32) std::memcpy(dst + i, src + i, 32);
    std::memcpy(dst + n - 32, src + n - 32, 32);
  } else if (n >= 16) {
    std::memcpy(dst, src, 16);
    std::memcpy(dst + n - 16, src + n - 16, 16);
  } else if (n >= 8) {
    std::memcpy(dst, src, 8);
    std::memcpy(dst + n - 8, src + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(dst, src, 4);
    std::memcpy(dst + n - 4, src + n - 4, 4);
  } else {
    for (size_t i = 0; i < n; ++i) dst[i] = src[i];
  }
}

// One kernel row of a patch: kW taps of C bytes from input row `row` (null when the row lies
// outside the input) starting at column ix0. Taps left of column 0 or right of W - 1 take zp, which
// the zero-point correction inside the bias cancels.
inline int8_t* copy_tap_row(int8_t* dst, const int8_t* row, int ix0, int kW, int W, int C, int8_t zp) {
  const size_t run = size_t(kW) * size_t(C);
  if (!row) {
    std::memset(dst, zp, run);
    return dst + run;
  }
  const int first = std::clamp(-ix0, 0, kW);       // taps before column 0
  const int last = std::clamp(W - ix0, first, kW);  // taps before column W
  if (first > 0) std::memset(dst, zp, size_t(first) * C);
  if (last > first)
    copy_run(dst + size_t(first) * C, row + (ptrdiff_t(ix0) + first) * C, size_t(last - first) * C);
  if (last < kW) std::memset(dst + size_t(last) * C, zp, size_t(kW - last) * C);
  return dst + run;
}

// Patch rows of output rows [oy0, oy1), K = kH x kW x C values each in (kernel row, kernel column,
// channel) order. Non-zero template arguments fix the kernel, stride and padding at compile time
// so the dedicated 3x3 gatherers lose the loop overhead; zero takes the value from `s`.
template <int KH, int KW, int SH, int SW, int PH, int PW>
void gather_patches(const int8_t* in, const ConvShape& s, int8_t zp, int oy0, int oy1, int8_t* dst) {
  const int kH = KH ? KH : s.kH, kW = KW ? KW : s.kW;
  const int sh = SH ? SH : s.stride_h, sw = SW ? SW : s.stride_w;
  const int ph = PH ? PH : s.pad_h, pw = PW ? PW : s.pad_w;
  const size_t row_bytes = size_t(s.W) * size_t(s.C);
  for (int oy = oy0; oy < oy1; ++oy) {
    const int iy0 = oy * sh - ph;
    for (int ox = 0; ox < s.out_w; ++ox) {
      const int ix0 = ox * sw - pw;
      for (int ky = 0; ky < kH; ++ky) {
        const int iy = iy0 + ky;
        const int8_t* row = (iy >= 0 && iy < s.H) ? in + size_t(iy) * row_bytes : nullptr;
        dst = copy_tap_row(dst, row, ix0, kW, s.W, s.C, zp);
      }
    }
  }
}

// 1x1 kernel, stride_h 2, no padding: the pixels at (2 oy, ox x stride_w), one by one.
void gather_1x1_stride2(const int8_t* in, const ConvShape& s, int8_t zp, int oy0, int oy1, int8_t* dst) {
  const size_t C = size_t(s.C);
  for (int oy = oy0; oy < oy1; ++oy) {
    const int8_t* row = in + size_t(2 * oy) * size_t(s.W) * C;
    for (int ox = 0; ox < s.out_w; ++ox, dst += C)
      copy_run(dst, row + size_t(ox) * size_t(s.stride_w) * C, C);
  }
}

using Gatherer = void (*)(const int8_t*, const ConvShape&, int8_t, int, int, int8_t*);

// The first matching case; null means the input itself is the patch matrix.
Gatherer choose_gatherer(const ConvShape& s) {
  const bool no_pad = s.pad_h == 0 && s.pad_w == 0;
  if (s.kH == 1 && s.kW == 1 && no_pad) {
    if (s.stride_h == 1 && s.stride_w == 1) return nullptr;
    if (s.stride_h == 2) return gather_1x1_stride2;
  }
  if (s.kH == 3 && s.kW == 3 && s.pad_h == 1 && s.pad_w == 1) {
    if (s.stride_h == 1 && s.stride_w == 1) return gather_patches<3, 3, 1, 1, 1, 1>;
    if (s.stride_h == 2 && s.stride_w == 2) return gather_patches<3, 3, 2, 2, 1, 1>;
  }
  return gather_patches<0, 0, 0, 0, 0, 0>;
}

// Packed weights owned for the duration of one call.
struct CallPacked {
  int8_t* data = nullptr;
  void (*release)(int8_t*) = nullptr;
  CallPacked() = default;
  CallPacked(const CallPacked&) = delete;
  CallPacked& operator=(const CallPacked&) = delete;
  ~CallPacked() {
    if (data && release) release(data);
  }
};

void conv_channels_fastest(const int8_t* input, const int8_t* weights, const int8_t* packed,
                           const int64_t* bias, const int32_t* mult, const int32_t* shift,
                           int8_t in_zp, int8_t out_zp, int8_t* output, const ConvShape& s, int C_out,
                           int8_t* scratch, const int32_t* row_sums, void* stream) {
  const KernelTable& table = cpu_backend_descriptor().kernels;
  const int K = s.kH * s.kW * s.C;
  CallPacked own;
  if (!packed) {
    // Reorder the stored (channel, row, column) weights into patch order before packing.
    std::vector<int8_t> reordered(size_t(C_out) * size_t(K));
    const int taps = s.kH * s.kW;
    for (int o = 0; o < C_out; ++o)
      for (int c = 0; c < s.C; ++c)
        for (int t = 0; t < taps; ++t)
          reordered[size_t(o) * K + size_t(t) * s.C + c] = weights[(size_t(o) * s.C + c) * taps + t];
    own.data = table.pack_weights_i8(reordered.data(), C_out, K);
    own.release = table.free_packed_i8;
    packed = own.data;
  }

  const Gatherer gather = choose_gatherer(s);
  const size_t out_row_bytes = size_t(s.out_w) * size_t(C_out);
  if (!gather) {
    table.gemm_i8(input, packed, bias, mult, shift, nullptr, out_zp, output, false,
                  s.out_h * s.out_w, K, C_out, false, row_sums, stream);
    return;
  }
  const size_t chunk_pixels = std::max<size_t>(kMinChunkPixels, kPatchChunkBytes / size_t(K));
  const int rows_per_chunk = int(std::max<size_t>(1, chunk_pixels / size_t(s.out_w)));
  for (int oy0 = 0; oy0 < s.out_h; oy0 += rows_per_chunk) {
    const int oy1 = std::min(s.out_h, oy0 + rows_per_chunk);
    gather(input, s, in_zp, oy0, oy1, scratch);
    table.gemm_i8(scratch, packed, bias, mult, shift, nullptr, out_zp, output + size_t(oy0) * out_row_bytes,
                  false, (oy1 - oy0) * s.out_w, K, C_out, false, row_sums, stream);
  }
}

// Planar data: per group, patch rows of K = (C_in / groups) x kH x kW values in (input channel,
// kernel row, kernel column) order, the stored weight order, multiplied into channel-major output.
void conv_planar(const int8_t* input, const int8_t* weights, const int8_t* packed, const int64_t* bias,
                 const int32_t* mult, const int32_t* shift, int8_t in_zp, int8_t out_zp,
                 int8_t* output, const ConvShape& s, int C_out, int groups, int8_t* scratch,
                 const int32_t* row_sums, void* stream) {
  const KernelTable& table = cpu_backend_descriptor().kernels;
  const int group_in = s.C / groups, group_out = C_out / groups;
  const int K = group_in * s.kH * s.kW;
  const int M = s.out_h * s.out_w;
  const size_t plane = size_t(s.H) * size_t(s.W);
  const size_t group_packed_bytes = packed_weights_i8_bytes(group_out, K);
  for (int g = 0; g < groups; ++g) {
    int8_t* dst = scratch;
    for (int oy = 0; oy < s.out_h; ++oy) {
      const int iy0 = oy * s.stride_h - s.pad_h;
      for (int ox = 0; ox < s.out_w; ++ox) {
        const int ix0 = ox * s.stride_w - s.pad_w;
        for (int c = 0; c < group_in; ++c) {
          const int8_t* channel = input + size_t(g * group_in + c) * plane;
          for (int ky = 0; ky < s.kH; ++ky) {
            const int iy = iy0 + ky;
            const int8_t* row = (iy >= 0 && iy < s.H) ? channel + size_t(iy) * size_t(s.W) : nullptr;
            dst = copy_tap_row(dst, row, ix0, s.kW, s.W, 1, in_zp);
          }
        }
      }
    }
    const size_t first = size_t(g) * size_t(group_out);
    CallPacked own;
    const int8_t* group_packed = packed ? packed + size_t(g) * group_packed_bytes : nullptr;
    if (!group_packed) {
      own.data = table.pack_weights_i8(weights + first * size_t(K), group_out, K);
      own.release = table.free_packed_i8;
      group_packed = own.data;
    }
    table.gemm_i8(scratch, group_packed, bias + first, mult + first, shift + first, nullptr, out_zp,
                  output + first * size_t(M), false, M, K, group_out, true,
                  row_sums ? row_sums + first : nullptr, stream);
  }
}

// dst (cols x rows) = transpose of src (rows x cols), in cache-sized tiles.
void transpose_bytes(const int8_t* src, int rows, int cols, int8_t* dst) {
  constexpr int kTile = 32;
  for (int r0 = 0; r0 < rows; r0 += kTile)
    for (int c0 = 0; c0 < cols; c0 += kTile) {
      const int r1 = std::min(rows, r0 + kTile), c1 = std::min(cols, c0 + kTile);
      for (int r = r0; r < r1; ++r)
        for (int c = c0; c < c1; ++c) dst[size_t(c) * rows + r] = src[size_t(r) * cols + c];
    }
}

}  // namespace

void conv2d_i8(const int8_t* input, const int8_t* weights, const int8_t* packed, const int64_t* bias,
               const int32_t* mult, const int32_t* shift, int8_t in_zp, int8_t out_zp, int8_t* output,
               int C_in, int H, int W, int C_out, int kH, int kW, int stride_h, int stride_w,
               int pad_h, int pad_w, int groups, void* scratch, bool channels_fastest,
               const int32_t* row_sums, void* stream) {
  if (groups < 1) groups = 1;
  if (C_in <= 0 || H <= 0 || W <= 0 || C_out <= 0 || kH <= 0 || kW <= 0) return;
  if (stride_h <= 0 || stride_w <= 0 || pad_h < 0 || pad_w < 0) return;
  if (C_in % groups != 0 || C_out % groups != 0) return;
  const int out_h = (H + 2 * pad_h - kH) / stride_h + 1;
  const int out_w = (W + 2 * pad_w - kW) / stride_w + 1;
  if (H + 2 * pad_h < kH || W + 2 * pad_w < kW) return;
  const ConvShape s{C_in, H, W, kH, kW, stride_h, stride_w, pad_h, pad_w, out_h, out_w};
  int8_t* patches = static_cast<int8_t*>(scratch);
  if (!channels_fastest) {
    conv_planar(input, weights, packed, bias, mult, shift, in_zp, out_zp, output, s, C_out, groups,
                patches, row_sums, stream);
  } else if (groups >= 2) {
    conv2d_i8_grouped_staged(input, weights, packed, bias, mult, shift, in_zp, out_zp, output, C_in, H,
                             W, C_out, kH, kW, stride_h, stride_w, pad_h, pad_w, groups, scratch,
                             row_sums, stream);
  } else {
    conv_channels_fastest(input, weights, packed, bias, mult, shift, in_zp, out_zp, output, s, C_out,
                          patches, row_sums, stream);
  }
}

std::vector<int8_t> conv2d_i8_pack_groups(const int8_t* weights, int C_out, int K, int groups) {
  if (C_out <= 0 || K <= 0 || groups < 1 || C_out % groups != 0) return {};
  const KernelTable& table = cpu_backend_descriptor().kernels;
  const int group_out = C_out / groups;
  const size_t group_bytes = packed_weights_i8_bytes(group_out, K);
  std::vector<int8_t> all(group_bytes * size_t(groups));
  for (int g = 0; g < groups; ++g) {
    CallPacked one;
    one.data = table.pack_weights_i8(weights + size_t(g) * size_t(group_out) * size_t(K), group_out, K);
    one.release = table.free_packed_i8;
    std::memcpy(all.data() + size_t(g) * group_bytes, one.data, group_bytes);
  }
  return all;
}

void conv2d_i8_grouped_staged(const int8_t* input, const int8_t* weights, const int8_t* packed,
                              const int64_t* bias, const int32_t* mult, const int32_t* shift,
                              int8_t in_zp, int8_t out_zp, int8_t* output, int C_in, int H, int W,
                              int C_out, int kH, int kW, int stride_h, int stride_w, int pad_h,
                              int pad_w, int groups, void* scratch, const int32_t* row_sums,
                              void* stream) {
  if (C_in <= 0 || H <= 0 || W <= 0 || C_out <= 0 || kH <= 0 || kW <= 0) return;
  if (stride_h <= 0 || stride_w <= 0 || pad_h < 0 || pad_w < 0) return;
  if (H + 2 * pad_h < kH || W + 2 * pad_w < kW) return;
  const int out_h = (H + 2 * pad_h - kH) / stride_h + 1;
  const int out_w = (W + 2 * pad_w - kW) / stride_w + 1;
  thread_local std::vector<int8_t> planar_in, planar_out;
  const size_t in_bytes = size_t(C_in) * size_t(H) * size_t(W);
  const size_t out_bytes = size_t(C_out) * size_t(out_h) * size_t(out_w);
  if (planar_in.size() < in_bytes) planar_in.resize(in_bytes);
  if (planar_out.size() < out_bytes) planar_out.resize(out_bytes);
  transpose_bytes(input, H * W, C_in, planar_in.data());
  conv2d_i8(planar_in.data(), weights, packed, bias, mult, shift, in_zp, out_zp, planar_out.data(), C_in,
            H, W, C_out, kH, kW, stride_h, stride_w, pad_h, pad_w, groups, scratch, false, row_sums,
            stream);
  transpose_bytes(planar_out.data(), C_out, out_h * out_w, output);
}

}  // namespace trevalon
