// Depthwise 3x3 int8 convolution with AVX-512 VNNI. Each input column is interleaved into the
// dwords (x[row - 1], x[row], x[row + 1], 0) of every channel, so that one vpdpbusd with a kernel
// column adds three taps and a pixel takes three per channel block; with stride 1 each column serves
// three pixels. Taps outside the image read in_zp, so borders run the interior's code with checks.
// Same bits as the portable kernel.
//
// vpdpbusd multiplies unsigned by signed bytes, so the inputs are offset by 128 (XOR 0x80) and
// 128 x (the channel's weight sum) is taken off the bias: sum (x + 128) w = sum x w + 128 sum w.
// The byte interleave works inside 128-bit lanes, which leaves the channels of accumulator j in the
// order 16 L + 4 j + (0..3) for lane L; the per-channel tables are built in that order, and the
// saturating packs that end the requantisation undo it.
//
// A block of any width costs about the same operations per pixel, so rows inside the image run in
// 512-bit vectors: 64 channels of one row, or 32 channels of two rows or 16 of four, one row per
// lane group (rows_in_lanes). Border rows run blocks of the channels' own width.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

#include <immintrin.h>

#include <algorithm>
#include <cstddef>

#include "kernels/depthwise_i8.h"
#include "kernels/x86/requantize_avx2.h"
#include "kernels/x86/requantize_avx512.h"

namespace trevalon {
namespace {

// 64, 32 or 16 channels per step; the operations the kernel needs at each width.
struct Zmm {
  using V = __m512i;
  static constexpr int kChannels = 64;
  static V load(const void* p) { return _mm512_loadu_si512(p); }
  static void store(void* p, V v) { _mm512_storeu_si512(p, v); }
  static V zero() { return _mm512_setzero_si512(); }
  static V bytes(int v) { return _mm512_set1_epi8(char(v)); }
  static V set1_32(int v) { return _mm512_set1_epi32(v); }
  static V bxor(V a, V b) { return _mm512_xor_si512(a, b); }
  static V lo8(V a, V b) { return _mm512_unpacklo_epi8(a, b); }
  static V hi8(V a, V b) { return _mm512_unpackhi_epi8(a, b); }
  static V lo16(V a, V b) { return _mm512_unpacklo_epi16(a, b); }
  static V hi16(V a, V b) { return _mm512_unpackhi_epi16(a, b); }
  static V dot(V acc, V a, V b) { return _mm512_dpbusd_epi32(acc, a, b); }
  static V sub(V a, V b) { return _mm512_sub_epi32(a, b); }
  static V shl7(V a) { return _mm512_slli_epi32(a, 7); }
  static V mul_even(V a, V b) { return _mm512_mul_epi32(a, b); }
  static V add64(V a, V b) { return _mm512_add_epi64(a, b); }
  static V sra64(V a, V n) { return _mm512_srav_epi64(a, n); }
  static V odd_to_even(V a) { return _mm512_srli_epi64(a, 32); }
  static V even_odd(V even, V odd) { return _mm512_mask_blend_epi32(0xAAAA, even, odd); }
  static V requantize_generic(V v, V mult, V shift, V zp) {
    return x86::requantize_avx512(v, x86::requant_lanes_avx512(mult, shift), zp);
  }
  static void store_packed(int8_t* dst, const V r[4]) {
    const V lo = _mm512_packs_epi32(r[0], r[1]), hi = _mm512_packs_epi32(r[2], r[3]);
    _mm512_storeu_si512(dst, _mm512_packs_epi16(lo, hi));
  }
};

struct Ymm {
  using V = __m256i;
  static constexpr int kChannels = 32;
  static V load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
  static void store(void* p, V v) { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }
  static V zero() { return _mm256_setzero_si256(); }
  static V bytes(int v) { return _mm256_set1_epi8(char(v)); }
  static V set1_32(int v) { return _mm256_set1_epi32(v); }
  static V bxor(V a, V b) { return _mm256_xor_si256(a, b); }
  static V lo8(V a, V b) { return _mm256_unpacklo_epi8(a, b); }
  static V hi8(V a, V b) { return _mm256_unpackhi_epi8(a, b); }
  static V lo16(V a, V b) { return _mm256_unpacklo_epi16(a, b); }
  static V hi16(V a, V b) { return _mm256_unpackhi_epi16(a, b); }
  static V dot(V acc, V a, V b) { return _mm256_dpbusd_epi32(acc, a, b); }
  static V sub(V a, V b) { return _mm256_sub_epi32(a, b); }
  static V shl7(V a) { return _mm256_slli_epi32(a, 7); }
  static V mul_even(V a, V b) { return _mm256_mul_epi32(a, b); }
  static V add64(V a, V b) { return _mm256_add_epi64(a, b); }
  static V sra64(V a, V n) { return _mm256_srav_epi64(a, n); }
  static V odd_to_even(V a) { return _mm256_srli_epi64(a, 32); }
  static V even_odd(V even, V odd) { return _mm256_blend_epi32(even, odd, 0xAA); }
  static V requantize_generic(V v, V mult, V shift, V zp) {
    return x86::requantize_avx2(v, x86::requant_lanes_avx2(mult, shift), zp);
  }
  static void store_packed(int8_t* dst, const V r[4]) {
    const V lo = _mm256_packs_epi32(r[0], r[1]), hi = _mm256_packs_epi32(r[2], r[3]);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), _mm256_packs_epi16(lo, hi));
  }
};

struct Xmm {
  using V = __m128i;
  static constexpr int kChannels = 16;
  static V load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
  static void store(void* p, V v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
  static V zero() { return _mm_setzero_si128(); }
  static V bytes(int v) { return _mm_set1_epi8(char(v)); }
  static V set1_32(int v) { return _mm_set1_epi32(v); }
  static V bxor(V a, V b) { return _mm_xor_si128(a, b); }
  static V lo8(V a, V b) { return _mm_unpacklo_epi8(a, b); }
  static V hi8(V a, V b) { return _mm_unpackhi_epi8(a, b); }
  static V lo16(V a, V b) { return _mm_unpacklo_epi16(a, b); }
  static V hi16(V a, V b) { return _mm_unpackhi_epi16(a, b); }
  static V dot(V acc, V a, V b) { return _mm_dpbusd_epi32(acc, a, b); }
  static V sub(V a, V b) { return _mm_sub_epi32(a, b); }
  static V shl7(V a) { return _mm_slli_epi32(a, 7); }
  static V mul_even(V a, V b) { return _mm_mul_epi32(a, b); }
  static V add64(V a, V b) { return _mm_add_epi64(a, b); }
  static V sra64(V a, V n) { return _mm_srav_epi64(a, n); }
  static V odd_to_even(V a) { return _mm_srli_epi64(a, 32); }
  static V even_odd(V even, V odd) { return _mm_blend_epi32(even, odd, 0xA); }
  static V requantize_generic(V v, V mult, V shift, V zp) {
    const __m256i r = x86::requantize_avx2(
        _mm256_castsi128_si256(v),
        x86::requant_lanes_avx2(_mm256_castsi128_si256(mult), _mm256_castsi128_si256(shift)),
        _mm256_castsi128_si256(zp));
    return _mm256_castsi256_si128(r);
  }
  static void store_packed(int8_t* dst, const V r[4]) {
    const V lo = _mm_packs_epi32(r[0], r[1]), hi = _mm_packs_epi32(r[2], r[3]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_packs_epi16(lo, hi));
  }
};

// Input bytes of a band of output rows that every channel block passes over in turn.
constexpr size_t kBandInputBytes = size_t(256) << 10;

// Four channel blocks a, b, c, d interleaved into the dwords (a, b, c, d) that vpdpbusd reads.
template <class T>
inline void interleave(typename T::V a, typename T::V b, typename T::V c, typename T::V d,
                       typename T::V out[4]) {
  const auto ab_lo = T::lo8(a, b), ab_hi = T::hi8(a, b);
  const auto cd_lo = T::lo8(c, d), cd_hi = T::hi8(c, d);
  out[0] = T::lo16(ab_lo, cd_lo);
  out[1] = T::hi16(ab_lo, cd_lo);
  out[2] = T::lo16(ab_hi, cd_hi);
  out[3] = T::hi16(ab_hi, cd_hi);
}

// The 4 channels of accumulator j in lane L sit at 16 L + 4 j + (0..3): gather a table in that order.
template <class T>
inline void permuted(const int32_t* src, int j, int32_t* dst) {
  for (int lane = 0; lane < T::kChannels / 16; ++lane)
    for (int i = 0; i < 4; ++i) dst[4 * lane + i] = src[16 * lane + 4 * j + i];
}

// Requantisation constants of one channel block, in accumulator order. For a channel with a right
// shift r in [1, 23] and a multiplier other than INT32_MIN, the two roundings of requantisation
// and the zero point fold into one 64-bit sum and shift (nested floors compose):
//   out = (acc x m + 2^30 + 2^(30 + r) + out_zp x 2^(31 + r)) >> (31 + r),
// whose low 32 bits are the wrapped int32 result. |acc x m| < 2^62 keeps the sum inside int64.
// Odd lanes shift by r - 1 only, which leaves their result in the high half of the 64-bit lane.
template <class T>
struct BlockRequant {
  static constexpr int kLanes = T::kChannels / 4;  // int32 lanes per vector
  bool folded = true;
  alignas(64) int32_t mult[4][kLanes], mult_odd[4][kLanes], shift[4][kLanes];
  alignas(64) int64_t sum_even[4][kLanes / 2], sum_odd[4][kLanes / 2];
  alignas(64) int64_t count_even[4][kLanes / 2], count_odd[4][kLanes / 2];

  BlockRequant(const int32_t* m, const int32_t* s, int8_t out_zp) {
    for (int j = 0; j < 4; ++j) {
      permuted<T>(m, j, mult[j]);
      permuted<T>(s, j, shift[j]);
      for (int k = 0; k < kLanes; ++k) {
        const int r = -shift[j][k];
        folded = folded && mult[j][k] != INT32_MIN && r >= 1 && r <= 23;
      }
    }
    if (!folded) return;
    for (int j = 0; j < 4; ++j)
      for (int k = 0; k < kLanes; ++k) {
        const int r = -shift[j][k];
        const int64_t sum =
            (int64_t(1) << 30) + (int64_t(1) << (30 + r)) + int64_t(out_zp) * (int64_t(1) << (31 + r));
        if (k % 2 == 0) {
          sum_even[j][k / 2] = sum;
          count_even[j][k / 2] = 31 + r;
        } else {
          mult_odd[j][k - 1] = mult[j][k];  // where vpmuldq reads it
          mult_odd[j][k] = 0;
          sum_odd[j][k / 2] = sum;
          count_odd[j][k / 2] = r - 1;
        }
      }
  }
};

// Requantises the accumulators of P pixels in place; P pixels share each table load.
template <class T, int P, bool folded>
[[gnu::always_inline]] inline void requantize_pixels(typename T::V acc[P][4], const BlockRequant<T>& q,
                                                     typename T::V zp_out) {
  using V = typename T::V;
  for (int j = 0; j < 4; ++j) {
    if constexpr (folded) {
      const V m = T::load(q.mult[j]), m_odd = T::load(q.mult_odd[j]);
      const V sum_even = T::load(q.sum_even[j]), sum_odd = T::load(q.sum_odd[j]);
      const V count_even = T::load(q.count_even[j]), count_odd = T::load(q.count_odd[j]);
      for (int p = 0; p < P; ++p) {
        const V even = T::sra64(T::add64(T::mul_even(acc[p][j], m), sum_even), count_even);
        const V odd = T::sra64(T::add64(T::mul_even(T::odd_to_even(acc[p][j]), m_odd), sum_odd), count_odd);
        acc[p][j] = T::even_odd(even, odd);
      }
    } else {
      const V m = T::load(q.mult[j]), s = T::load(q.shift[j]);
      for (int p = 0; p < P; ++p) acc[p][j] = T::requantize_generic(acc[p][j], m, s, zp_out);
    }
  }
}

// Requantises the accumulators of P pixels and stores them.
template <class T, int P, bool folded>
[[gnu::always_inline]] inline void finish_pixels(typename T::V acc[P][4], const BlockRequant<T>& q,
                                                 typename T::V zp_out, int8_t* const out[P]) {
  requantize_pixels<T, P, folded>(acc, q, zp_out);
  for (int p = 0; p < P; ++p) T::store_packed(out[p], acc[p]);
}

// Four vectors of interleaved dwords: one input column, or one kernel column of weights.
template <class T>
struct Column {
  typename T::V v[4];
};

// One channel block's view of three input rows: column x as the dwords (x[row 0], x[row 1],
// x[row 2], 0) per channel, offset by 128; rows or columns outside the image read in_zp.
template <class T>
struct ColumnReader {
  using V = typename T::V;
  const int8_t* rows[3] = {};  // null outside the image
  int C, W;
  V flip, edge;
  Column<T> edge_column;

  ColumnReader(int C_, int W_, int8_t in_zp) : C(C_), W(W_), flip(T::bytes(0x80)) {
    edge = T::bxor(T::bytes(in_zp), flip);
    interleave<T>(edge, edge, edge, T::zero(), edge_column.v);
  }

  // Input rows first_row .. first_row + 2; answers whether all three lie inside the image.
  bool set_rows(const int8_t* input, int H, int c, int first_row) {
    bool all = true;
    for (int k = 0; k < 3; ++k) {
      const int iy = first_row + k;
      rows[k] = (iy >= 0 && iy < H) ? input + size_t(iy) * W * C + c : nullptr;
      all = all && rows[k];
    }
    return all;
  }

  template <bool checked>
  [[gnu::always_inline]] inline Column<T> read(int x) const {
    if (checked && (x < 0 || x >= W)) return edge_column;
    const size_t at = size_t(x) * C;
    auto tap = [&](int k) { return (!checked || rows[k]) ? T::bxor(T::load(rows[k] + at), flip) : edge; };
    Column<T> t;
    interleave<T>(tap(0), tap(1), tap(2), T::zero(), t.v);
    return t;
  }
};

// The constants of one channel block: kernel column kx as (w[0][kx], w[1][kx], w[2][kx], 0), the
// accumulators' start and the output zero point.
template <class T>
struct BlockConstants {
  Column<T> w[3];
  typename T::V start[4];
  typename T::V zp_out;
};

// Accumulators of one pixel from its three input columns.
template <class T>
[[gnu::always_inline]] inline void dot_columns(const Column<T>& c0, const Column<T>& c1, const Column<T>& c2,
                                               const BlockConstants<T>& k, typename T::V acc[4]) {
  for (int j = 0; j < 4; ++j)
    acc[j] =
        T::dot(T::dot(T::dot(k.start[j], c0.v[j], k.w[0].v[j]), c1.v[j], k.w[1].v[j]), c2.v[j], k.w[2].v[j]);
}

template <class T, bool folded>
[[gnu::always_inline]] inline void pixel(const Column<T>& c0, const Column<T>& c1, const Column<T>& c2,
                                         const BlockConstants<T>& k, const BlockRequant<T>& q, int8_t* out) {
  typename T::V acc[1][4];
  dot_columns<T>(c0, c1, c2, k, acc[0]);
  int8_t* dst[1] = {out};
  finish_pixels<T, 1, folded>(acc, q, k.zp_out, dst);
}

// One output row of one channel block, one function per stride so that each keeps its columns
// and constants in registers. Pixels in `inner` read only columns inside the image, and with
// all_rows only rows inside it too, so they skip every check. The constants come as local copies:
// the int8 stores could alias the originals, which would reload them every pixel.
template <class T, bool folded, bool all_rows>
void output_row_stride1(const ColumnReader<T>& reader, int out_w, DepthwiseSpan inner,
                        const BlockConstants<T>& constants, const BlockRequant<T>& q, int8_t* out, int C) {
  const ColumnReader<T> in = reader;
  const BlockConstants<T> k = constants;
  constexpr bool kChecked = !all_rows;
  auto at = [&](int ox) { return out + size_t(ox) * C; };
  // Columns ox - 1, ox, ox + 1 rotate through a, b, c; three pixels a turn share the table loads.
  Column<T> a = in.template read<true>(-1), b = in.template read<true>(0), c;
  int ox = 0;
  for (; ox < std::min(inner.begin, out_w); ++ox) {
    c = in.template read<true>(ox + 1);
    pixel<T, folded>(a, b, c, k, q, at(ox));
    a = b;
    b = c;
  }
  for (; ox + 3 <= inner.end; ox += 3) {
    typename T::V acc[3][4];
    c = in.template read<kChecked>(ox + 1);
    dot_columns<T>(a, b, c, k, acc[0]);
    a = in.template read<kChecked>(ox + 2);
    dot_columns<T>(b, c, a, k, acc[1]);
    b = in.template read<kChecked>(ox + 3);
    dot_columns<T>(c, a, b, k, acc[2]);
    int8_t* dst[3] = {at(ox), at(ox + 1), at(ox + 2)};
    finish_pixels<T, 3, folded>(acc, q, k.zp_out, dst);
  }
  for (; ox < out_w; ++ox) {
    c = in.template read<true>(ox + 1);
    pixel<T, folded>(a, b, c, k, q, at(ox));
    a = b;
    b = c;
  }
}

template <class T, bool folded, bool all_rows>
void output_row_stride2(const ColumnReader<T>& reader, int out_w, DepthwiseSpan inner,
                        const BlockConstants<T>& constants, const BlockRequant<T>& q, int8_t* out, int C) {
  const ColumnReader<T> in = reader;
  const BlockConstants<T> k = constants;
  constexpr bool kChecked = !all_rows;
  auto at = [&](int ox) { return out + size_t(ox) * C; };
  // Column 2 ox + 1 of one pixel is column 2 ox - 1 of the next.
  Column<T> a = in.template read<true>(-1), b, c;
  int ox = 0;
  for (; ox < std::min(inner.begin, out_w); ++ox) {
    b = in.template read<true>(2 * ox);
    c = in.template read<true>(2 * ox + 1);
    pixel<T, folded>(a, b, c, k, q, at(ox));
    a = c;
  }
  for (; ox < inner.end; ++ox) {
    b = in.template read<kChecked>(2 * ox);
    c = in.template read<kChecked>(2 * ox + 1);
    pixel<T, folded>(a, b, c, k, q, at(ox));
    a = c;
  }
  for (; ox < out_w; ++ox) {
    b = in.template read<true>(2 * ox);
    c = in.template read<true>(2 * ox + 1);
    pixel<T, folded>(a, b, c, k, q, at(ox));
    a = c;
  }
}

// Any other stride, every read checked.
template <class T, bool folded>
void output_row_strided(const ColumnReader<T>& in, int stride, int out_w, const BlockConstants<T>& k,
                        const BlockRequant<T>& q, int8_t* out, int C) {
  for (int ox = 0; ox < out_w; ++ox) {
    const int x = ox * stride;
    pixel<T, folded>(in.template read<true>(x - 1), in.template read<true>(x), in.template read<true>(x + 1),
                     k, q, out + size_t(ox) * C);
  }
}

template <class T, bool folded>
void block_rows(const ColumnReader<T>& reader, const int8_t* input, int H, int stride, int c, int oy0,
                int oy1, const BlockConstants<T>& k, const BlockRequant<T>& q, int8_t* output) {
  ColumnReader<T> in = reader;
  const int C = in.C, W = in.W;
  const int out_w = (W - 1) / stride + 1;
  const DepthwiseSpan inner = depthwise_inner_span(W, stride, out_w);
  for (int oy = oy0; oy < oy1; ++oy) {
    int8_t* out = output + size_t(oy) * out_w * C + c;
    const bool all_rows = in.set_rows(input, H, c, oy * stride - 1);
    if (stride == 1) {
      all_rows ? output_row_stride1<T, folded, true>(in, out_w, inner, k, q, out, C)
               : output_row_stride1<T, folded, false>(in, out_w, inner, k, q, out, C);
    } else if (stride == 2) {
      all_rows ? output_row_stride2<T, folded, true>(in, out_w, inner, k, q, out, C)
               : output_row_stride2<T, folded, false>(in, out_w, inner, k, q, out, C);
    } else {
      output_row_strided<T, folded>(in, stride, out_w, k, q, out, C);
    }
  }
}

// The constants of the T::kChannels channels whose tap t weights start at weights + t x C.
template <class T>
BlockConstants<T> block_constants(const int8_t* weights, int C, const int32_t* bias, int8_t out_zp) {
  using V = typename T::V;
  BlockConstants<T> k;
  auto tap = [&](int t) { return T::load(weights + size_t(t) * C); };
  for (int kx = 0; kx < 3; ++kx) interleave<T>(tap(kx), tap(3 + kx), tap(6 + kx), T::zero(), k.w[kx].v);
  // Accumulators start at bias - 128 x (weight sum), the sum by a dot product with bytes of 1.
  const V ones = T::bytes(1);
  alignas(64) int32_t table[T::kChannels / 4];
  for (int j = 0; j < 4; ++j) {
    const V sum = T::dot(T::dot(T::dot(T::zero(), ones, k.w[0].v[j]), ones, k.w[1].v[j]), ones, k.w[2].v[j]);
    permuted<T>(bias, j, table);
    k.start[j] = T::sub(T::load(table), T::shl7(sum));
  }
  k.zp_out = T::set1_32(out_zp);
  return k;
}

// Channels [c, c + T::kChannels) of output rows [oy0, oy1).
template <class T>
void depthwise_block(const int8_t* input, const int8_t* weights, const int32_t* bias, const int32_t* mult,
                     const int32_t* shift, int8_t in_zp, int8_t out_zp, int8_t* output, int C, int H, int W,
                     int stride, int c, int oy0, int oy1) {
  const BlockConstants<T> k = block_constants<T>(weights + c, C, bias + c, out_zp);
  const BlockRequant<T> q(mult + c, shift + c, out_zp);

  const ColumnReader<T> in(C, W, in_zp);
  if (q.folded)
    block_rows<T, true>(in, input, H, stride, c, oy0, oy1, k, q, output);
  else
    block_rows<T, false>(in, input, H, stride, c, oy0, oy1, k, q, output);
}

// R output rows of 64 / R channels (R = 4: 16 channels, R = 2: 32), one row per 512 / R bits of
// 512-bit vectors: every input row they read lies inside the image. `rows[r][k]` is tap row k of
// output row r at the block's first channel.
template <int R, bool folded>
void rows_in_lanes(const int8_t* const rows[R][3], int C, int W, int stride, int out_w,
                   const Column<Zmm>& edge, const BlockConstants<Zmm>& constants, const BlockRequant<Zmm>& q,
                   int8_t* const out[R]) {
  static_assert(R == 1 || R == 2 || R == 4);
  const BlockConstants<Zmm> k = constants;
  const __m512i flip = _mm512_set1_epi8(char(0x80));
  auto load = [](const int8_t* p) {
    if constexpr (R == 4)
      return _mm512_castsi128_si512(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    else if constexpr (R == 2)
      return _mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
    else
      return _mm512_loadu_si512(p);
  };
  auto read = [&](int x) {
    if (x < 0 || x >= W) return edge;
    const size_t at = size_t(x) * C;
    __m512i t[3];
    for (int ky = 0; ky < 3; ++ky) {
      __m512i v = load(rows[0][ky] + at);
      if constexpr (R == 4) {
        v = _mm512_inserti32x4(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[1][ky] + at)), 1);
        v = _mm512_inserti32x4(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[2][ky] + at)), 2);
        v = _mm512_inserti32x4(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[3][ky] + at)), 3);
      } else if constexpr (R == 2) {
        v = _mm512_inserti64x4(v, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[1][ky] + at)), 1);
      }
      t[ky] = _mm512_xor_si512(v, flip);
    }
    Column<Zmm> col;
    interleave<Zmm>(t[0], t[1], t[2], Zmm::zero(), col.v);
    return col;
  };
  auto pixel = [&](const Column<Zmm>& c0, const Column<Zmm>& c1, const Column<Zmm>& c2, int ox) {
    __m512i acc[1][4];
    dot_columns<Zmm>(c0, c1, c2, k, acc[0]);
    requantize_pixels<Zmm, 1, folded>(acc, q, k.zp_out);
    const __m512i packed = _mm512_packs_epi16(_mm512_packs_epi32(acc[0][0], acc[0][1]),
                                              _mm512_packs_epi32(acc[0][2], acc[0][3]));
    const size_t at = size_t(ox) * C;
    if constexpr (R == 4) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out[0] + at), _mm512_castsi512_si128(packed));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out[1] + at), _mm512_extracti32x4_epi32(packed, 1));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out[2] + at), _mm512_extracti32x4_epi32(packed, 2));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out[3] + at), _mm512_extracti32x4_epi32(packed, 3));
    } else if constexpr (R == 2) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out[0] + at), _mm512_castsi512_si256(packed));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out[1] + at), _mm512_extracti64x4_epi64(packed, 1));
    } else {
      _mm512_storeu_si512(out[0] + at, packed);
    }
  };
  Column<Zmm> a = read(-1);
  if (stride == 1) {
    Column<Zmm> b = read(0);
    for (int ox = 0; ox < out_w; ++ox) {
      const Column<Zmm> c = read(ox + 1);
      pixel(a, b, c, ox);
      a = b;
      b = c;
    }
  } else {
    for (int ox = 0; ox < out_w; ++ox) {
      const Column<Zmm> b = read(2 * ox), c = read(2 * ox + 1);
      pixel(a, b, c, ox);
      a = c;
    }
  }
}

// Channels [c, c + 64 / R) of output rows [oy0, oy1). A block narrower than 512 bits takes about
// as many operations per pixel as a 512-bit one, so groups of R rows whose taps stay inside the
// image go through rows_in_lanes; the rest run the narrow block N.
template <int R, class N>
void narrow_channels(const int8_t* input, const int8_t* weights, const int32_t* bias, const int32_t* mult,
                     const int32_t* shift, int8_t in_zp, int8_t out_zp, int8_t* output, int C, int H, int W,
                     int stride, int c, int oy0, int oy1) {
  static_assert(N::kChannels * R == 64);
  // The block's weights and tables repeated for each row, as if 64 channels.
  alignas(64) int8_t wide_weights[9 * 64];
  alignas(64) int32_t wide_bias[64], wide_mult[64], wide_shift[64];
  for (int r = 0; r < R; ++r)
    for (int i = 0; i < N::kChannels; ++i) {
      const int at = N::kChannels * r + i;
      for (int t = 0; t < 9; ++t) wide_weights[t * 64 + at] = weights[size_t(t) * C + c + i];
      wide_bias[at] = bias[c + i];
      wide_mult[at] = mult[c + i];
      wide_shift[at] = shift[c + i];
    }
  const BlockConstants<Zmm> k = block_constants<Zmm>(wide_weights, 64, wide_bias, out_zp);
  const BlockRequant<Zmm> q(wide_mult, wide_shift, out_zp);
  const ColumnReader<Zmm> edge_source(C, W, in_zp);
  const int out_w = (W - 1) / stride + 1;
  const size_t row_bytes = size_t(W) * C;
  int oy = oy0;
  while (oy < oy1) {
    const bool inside =
        stride <= 2 && oy + R <= oy1 && oy * stride - 1 >= 0 && (oy + R - 1) * stride + 1 <= H - 1;
    if (!inside) {
      depthwise_block<N>(input, weights, bias, mult, shift, in_zp, out_zp, output, C, H, W, stride, c, oy,
                         oy + 1);
      ++oy;
      continue;
    }
    const int8_t* rows[R][3];
    int8_t* out[R];
    for (int r = 0; r < R; ++r) {
      for (int ky = 0; ky < 3; ++ky) rows[r][ky] = input + size_t((oy + r) * stride - 1 + ky) * row_bytes + c;
      out[r] = output + size_t(oy + r) * out_w * C + c;
    }
    if (q.folded)
      rows_in_lanes<R, true>(rows, C, W, stride, out_w, edge_source.edge_column, k, q, out);
    else
      rows_in_lanes<R, false>(rows, C, W, stride, out_w, edge_source.edge_column, k, q, out);
    oy += R;
  }
}

}  // namespace

void depthwise_i8_3x3_avx512vnni(const int8_t* input, const int8_t* weights, const int32_t* bias,
                                 const int32_t* mult, const int32_t* shift, int8_t in_zp, int8_t out_zp,
                                 int8_t* output, int C, int H, int W, int stride) {
  if (C <= 0 || H <= 0 || W <= 0 || stride <= 0) return;
  const int vector_channels = C - C % 16;
  // Bands of output rows whose input rows stay in the second-level cache while every channel
  // block passes over them.
  const int out_h = (H - 1) / stride + 1;
  const size_t band_input = size_t(stride) * size_t(W) * size_t(C);
  const int band =
      int(std::clamp<size_t>(kBandInputBytes / std::max<size_t>(band_input, 1), 1, size_t(out_h)));
  // Threads take ranges of whole groups of four rows, the most rows_in_lanes joins.
  depthwise_i8_row_bands(C, H, W, stride, 4, [&](int oy_begin, int oy_end) {
    for (int oy0 = oy_begin; oy0 < oy_end; oy0 += band) {
      const int oy1 = std::min(oy_end, oy0 + band);
      // The widest blocks first: a block costs about the same operations whatever its width.
      int c = 0;
      for (; c + Zmm::kChannels <= vector_channels; c += Zmm::kChannels)
        narrow_channels<1, Zmm>(input, weights, bias, mult, shift, in_zp, out_zp, output, C, H, W, stride, c,
                                oy0, oy1);
      for (; c + Ymm::kChannels <= vector_channels; c += Ymm::kChannels)
        narrow_channels<2, Ymm>(input, weights, bias, mult, shift, in_zp, out_zp, output, C, H, W, stride, c,
                                oy0, oy1);
      if (c < vector_channels)
        narrow_channels<4, Xmm>(input, weights, bias, mult, shift, in_zp, out_zp, output, C, H, W, stride, c,
                                oy0, oy1);
    }
    const int c = vector_channels;
    if (c < C)
      depthwise_i8_3x3_avx512_part(input, weights, bias, mult, shift, in_zp, out_zp, output, C, H, W, stride,
                                   c, C, oy_begin, oy_end);
  });
}

}  // namespace trevalon
