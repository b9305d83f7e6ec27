// Direct int8 convolution with AVX-512 VNNI for images of few channels. The input is first copied,
// offset by 128 (XOR 0x80) and with its padding written out as in_zp, so that every output pixel
// reads its taps from memory without checks. A kernel row of a pixel is kW x C_in contiguous bytes,
// read as whole dwords (the bytes past the row meet zero weights); each dword is broadcast and one
// vpdpbusd per 16 output channels adds its four taps. 128 x (the channel's weight sum) comes off
// the starting accumulator: sum (x + 128) w = sum x w + 128 sum w.
// GCC 12 reports its own masked-load intrinsics as reading uninitialised values.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "kernels/conv2d_i8_direct.h"
#include "kernels/requantize.h"
#include "kernels/thread_pool.h"

namespace trevalon {
namespace {

constexpr int kVector = 16;  // output channels per accumulator
// Work worth a hand-off to another thread: bytes of the padded copy, multiply-adds of output rows.
constexpr size_t kMinStageRowBytes = size_t(128) << 10;
constexpr size_t kMinRowsMacs = size_t(3) << 20;

int row_dwords(int C_in, int kW) { return (kW * C_in + 3) / 4; }

// Requantisation constants of 16 channels, in 64-byte rows (see prepare): the product, offset and
// shift of even channels in 64-bit lanes, and of odd channels shifted so that their result lands
// in the high half of the lane.
struct GroupRequant {
  int32_t mult[16], mult_odd[16];
  int64_t sum_even[8], sum_odd[8], count_even[8], count_odd[8];
};
static_assert(sizeof(GroupRequant) == 6 * 64);

size_t weight_bytes(int C_out, int C_in, int kH, int kW) {
  return size_t(kH) * size_t(row_dwords(C_in, kW)) * size_t(C_out) * 4;
}

const GroupRequant* requant_of(const PreparedWeightsI8& p, int C_out, int C_in, int kH, int kW) {
  return reinterpret_cast<const GroupRequant*>(static_cast<const char*>(p.tables.data()) +
                                               weight_bytes(C_out, C_in, kH, kW));
}

// Rows [r_begin, r_end) of the copy the kernel reads: rows of cols pixels of the padded image,
// bytes offset by 128, the copy starting at `staged`.
void stage_padded(const int8_t* input, int C, int H, int W, int pad_h, int pad_w, int r_begin, int r_end,
                  int cols, int8_t in_zp, uint8_t* staged) {
  const size_t row_bytes = size_t(cols) * size_t(C);
  const uint8_t fill = uint8_t(in_zp) ^ 0x80;
  uint8_t* dst = staged + size_t(r_begin) * row_bytes;
  for (int r = r_begin; r < r_end; ++r, dst += row_bytes) {
    const int iy = r - pad_h;
    if (iy < 0 || iy >= H) {
      std::memset(dst, fill, row_bytes);
      continue;
    }
    const int first = std::clamp(pad_w, 0, cols);         // padded columns before the image
    const int last = std::clamp(pad_w + W, first, cols);  // end of the image's columns
    std::memset(dst, fill, size_t(first) * C);
    const uint8_t* src = reinterpret_cast<const uint8_t*>(input) + (size_t(iy) * W + (first - pad_w)) * C;
    const size_t n = size_t(last - first) * C;
    uint8_t* d = dst + size_t(first) * C;
    size_t i = 0;
    const __m512i flip = _mm512_set1_epi8(char(0x80));
    for (; i + 64 <= n; i += 64)
      _mm512_storeu_si512(d + i, _mm512_xor_si512(_mm512_loadu_si512(src + i), flip));
    if (i < n) {
      const __mmask64 m = _cvtu64_mask64(~uint64_t(0) >> (64 - (n - i)));
      _mm512_mask_storeu_epi8(d + i, m, _mm512_xor_si512(_mm512_maskz_loadu_epi8(m, src + i), flip));
    }
    std::memset(dst + size_t(last) * C, fill, size_t(cols - last) * C);
  }
}

// Requantise one accumulator of 16 channels and store them saturated to int8.
inline void finish(__m512i acc, const GroupRequant& q, int8_t* dst) {
  const __m512i even = _mm512_srav_epi64(
      _mm512_add_epi64(_mm512_mul_epi32(acc, _mm512_load_si512(q.mult)), _mm512_load_si512(q.sum_even)),
      _mm512_load_si512(q.count_even));
  const __m512i odd = _mm512_srav_epi64(
      _mm512_add_epi64(_mm512_mul_epi32(_mm512_srli_epi64(acc, 32), _mm512_load_si512(q.mult_odd)),
                       _mm512_load_si512(q.sum_odd)),
      _mm512_load_si512(q.count_odd));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst),
                   _mm512_cvtsepi32_epi8(_mm512_mask_blend_epi32(0xAAAA, even, odd)));
}

// P output pixels of one row, N accumulators of 16 channels each. `src` is the pixels' first kernel
// row in the staged image, pixels `step` bytes apart and kernel rows `row_bytes` apart. Non-zero KH
// and D fix the kernel rows and dwords per row at compile time, so that the loops unroll and the
// accumulators stay in place.
template <int N, int P, int KH, int D>
[[gnu::always_inline]] inline void pixels(const uint8_t* src, size_t step, size_t row_bytes, int kH_, int D_,
                                          const __m512i* weights, const int32_t* starts,
                                          const GroupRequant* q, int8_t* dst, int C_out) {
  const int kH = KH ? KH : kH_, dwords = D ? D : D_;
  __m512i acc[P][N];
  for (int j = 0; j < N; ++j) {
    const __m512i s = _mm512_load_si512(starts + kVector * j);
    for (int p = 0; p < P; ++p) acc[p][j] = s;
  }
  for (int ky = 0; ky < kH; ++ky, src += row_bytes)
    for (int d = 0; d < dwords; ++d, weights += N) {
      __m512i w[N];
      for (int j = 0; j < N; ++j) w[j] = _mm512_load_si512(weights + j);
      for (int p = 0; p < P; ++p) {
        int32_t taps;
        std::memcpy(&taps, src + p * step + 4 * size_t(d), 4);
        const __m512i x = _mm512_set1_epi32(taps);
        for (int j = 0; j < N; ++j) acc[p][j] = _mm512_dpbusd_epi32(acc[p][j], x, w[j]);
      }
    }
  for (int p = 0; p < P; ++p)
    for (int j = 0; j < N; ++j) finish(acc[p][j], q[j], dst + size_t(p) * C_out + kVector * j);
}

// Output rows [oy_begin, oy_end).
template <int N, int KH = 0, int D = 0>
void run(const uint8_t* staged, const PreparedWeightsI8& prepared, const GroupRequant* q, int8_t* output,
         int C_in, int kH, int kW, int stride_h, int stride_w, int oy_begin, int oy_end, int out_w,
         int cols) {
  constexpr int P = N <= 2 ? 4 : 2;  // pixels sharing each weight load
  const int C_out = N * kVector, dwords = row_dwords(C_in, kW);
  const size_t row_bytes = size_t(cols) * C_in, step = size_t(stride_w) * C_in;
  const auto* weights = static_cast<const __m512i*>(prepared.tables.data());
  const int32_t* starts = prepared.start_values();
  for (int oy = oy_begin; oy < oy_end; ++oy) {
    const uint8_t* src = staged + size_t(oy) * stride_h * row_bytes;
    int8_t* dst = output + size_t(oy) * out_w * C_out;
    int ox = 0;
    for (; ox + P <= out_w; ox += P)
      pixels<N, P, KH, D>(src + ox * step, step, row_bytes, kH, dwords, weights, starts, q,
                          dst + size_t(ox) * C_out, C_out);
    for (; ox < out_w; ++ox)
      pixels<N, 1, KH, D>(src + ox * step, step, row_bytes, kH, dwords, weights, starts, q,
                          dst + size_t(ox) * C_out, C_out);
  }
}

// The shape's instance: 3x3 kernels on three or four channels unrolled, any other through loops.
template <int N>
void run_shape(const uint8_t* staged, const PreparedWeightsI8& prepared, const GroupRequant* q,
               int8_t* output, int C_in, int kH, int kW, int stride_h, int stride_w, int oy_begin, int oy_end,
               int out_w, int cols) {
  if (kH == 3 && row_dwords(C_in, kW) == 3)
    run<N, 3, 3>(staged, prepared, q, output, C_in, kH, kW, stride_h, stride_w, oy_begin, oy_end, out_w,
                 cols);
  else
    run<N>(staged, prepared, q, output, C_in, kH, kW, stride_h, stride_w, oy_begin, oy_end, out_w, cols);
}

}  // namespace

void prepare_conv2d_i8_direct_avx512vnni(const int8_t* patch_weights, int C_out, int C_in, int kH, int kW,
                                         const int64_t* bias, const int32_t* mult, const int32_t* shift,
                                         int8_t out_zp, int format, PreparedWeightsI8& out) {
  out = PreparedWeightsI8{};
  out.format = format;
  if (!conv2d_i8_direct_shape(C_in, C_out, kH, kW)) return;
  for (int o = 0; o < C_out; ++o)
    if (mult[o] == INT32_MIN || shift[o] > -1 || shift[o] < -23) return;  // outside the folded form
  count_weight_preparation();
  const int D = row_dwords(C_in, kW), K = kH * kW * C_in, run = kW * C_in;
  const size_t wbytes = weight_bytes(C_out, C_in, kH, kW);
  out.tables.assign_zeros(wbytes + size_t(C_out / kVector) * sizeof(GroupRequant));
  out.starts.assign_zeros(size_t(C_out) * 4);
  auto* w = static_cast<int8_t*>(out.tables.data());
  auto* starts = static_cast<int32_t*>(out.starts.data());
  // Vector (ky, d, j) holds, for channel 16 j + i, the bytes 4 d .. 4 d + 3 of kernel row ky.
  for (int o = 0; o < C_out; ++o) {
    int32_t sum = 0;
    for (int ky = 0; ky < kH; ++ky)
      for (int b = 0; b < run; ++b) {
        const int8_t v = patch_weights[size_t(o) * K + size_t(ky) * run + b];
        const int d = b / 4, j = o / kVector, i = o % kVector;
        w[((size_t(ky) * D + d) * (C_out / kVector) + j) * 64 + 4 * i + b % 4] = v;
        sum += v;
      }
    starts[o] = int32_t(uint32_t(uint64_t(bias[o])) - (uint32_t(sum) << 7));
  }
  auto* q = reinterpret_cast<GroupRequant*>(static_cast<char*>(out.tables.data()) + wbytes);
  for (int o = 0; o < C_out; ++o) {
    GroupRequant& g = q[o / kVector];
    const int i = o % kVector, r = -shift[o];
    const int64_t sum = requantize_division_offset(shift[o], out_zp);
    if (i % 2 == 0) {
      g.mult[i] = mult[o];
      g.sum_even[i / 2] = sum;
      g.count_even[i / 2] = 31 + r;
    } else {
      g.mult_odd[i - 1] = mult[o];  // where vpmuldq reads it
      g.sum_odd[i / 2] = sum;
      g.count_odd[i / 2] = r - 1;
    }
  }
  out.division = true;
}

void conv2d_i8_direct_avx512vnni(const int8_t* input, const PreparedWeightsI8& prepared, int8_t in_zp,
                                 int8_t* output, int C_in, int H, int W, int C_out, int kH, int kW,
                                 int stride_h, int stride_w, int pad_h, int pad_w, void* scratch) {
  const int64_t out_h = (int64_t(H) + 2 * pad_h - kH) / stride_h + 1;
  const int64_t out_w = (int64_t(W) + 2 * pad_w - kW) / stride_w + 1;
  if (out_h <= 0 || out_w <= 0 || !prepared.start_values()) return;
  if (C_out % kVector != 0 || C_out / kVector < 1 || C_out / kVector > 4) return;
  const int rows = int((out_h - 1) * stride_h + kH), cols = int((out_w - 1) * stride_w + kW);
  auto* staged = static_cast<uint8_t*>(scratch);
  const size_t row_bytes = size_t(cols) * size_t(C_in);
  parallel_for(size_t(rows), 1, kMinStageRowBytes / row_bytes + 1, [&](size_t begin, size_t end) {
    stage_padded(input, C_in, H, W, pad_h, pad_w, int(begin), int(end), cols, in_zp, staged);
  });
  std::memset(staged + size_t(rows) * row_bytes, 0, 64);  // slack read by the last pixel's final dword
  const GroupRequant* q = requant_of(prepared, C_out, C_in, kH, kW);
  using Shape = void (*)(const uint8_t*, const PreparedWeightsI8&, const GroupRequant*, int8_t*, int, int,
                         int, int, int, int, int, int, int);
  static constexpr Shape kShapes[4] = {run_shape<1>, run_shape<2>, run_shape<3>, run_shape<4>};
  const Shape shape = kShapes[C_out / kVector - 1];
  // Output rows split over threads: each pixel is formed by the same code whichever thread runs it.
  const size_t row_macs = size_t(out_w) * size_t(C_out) * size_t(kH) * size_t(row_dwords(C_in, kW)) * 4;
  parallel_for(size_t(out_h), 1, kMinRowsMacs / row_macs + 1, [&](size_t begin, size_t end) {
    shape(staged, prepared, q, output, C_in, kH, kW, stride_h, stride_w, int(begin), int(end), int(out_w),
          cols);
  });
}

}  // namespace trevalon
