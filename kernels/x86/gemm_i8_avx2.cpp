// AVX2 int8 GEMM on 8x4 weight blocks, all output modes. Exact without VNNI: activations and
// weights are widened to int16 and multiplied pairwise with pmaddwd (a pair of int8 products
// always fits int32), and the pair sums are folded together at the end in wrapping int32.
// A tile is 6 rows by one 8-channel block; lanes are (channel, pair of k) until the fold.
#include <immintrin.h>

#include <cstring>
#include <vector>

#include "kernels/gemm_i8.h"
#include "kernels/thread_work.h"

namespace trevalon {
namespace {

constexpr int kTileRows = 6;

// Rows widened to int16 and padded with zeros to whole groups of 4 (one 8-byte broadcast per k group).
const int16_t* widen_activations(const int8_t* A, int M, int K, size_t stride) {
  int16_t* const widened = thread_work<int16_t>(WorkBuffer::GemmI8Widened, size_t(M) * stride);
  for (int m = 0; m < M; ++m) {
    const int8_t* src = A + size_t(m) * size_t(K);
    int16_t* dst = widened + size_t(m) * stride;
    int k = 0;
    for (; k + 16 <= K; k += 16)
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + k),
                          _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k))));
    for (; k < K; ++k) dst[k] = src[k];
    for (; size_t(k) < stride; ++k) dst[k] = 0;
  }
  return widened;
}

inline int64_t load_u64(const int16_t* p) {
  int64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Exact sums of R rows by the 8 channels of one block column, channel order 0..7.
template <int R>
void block_sums(const int16_t* a, size_t a_stride, const int8_t* column, int kblocks, __m256i out[R]) {
  __m256i lo[R], hi[R];
#pragma GCC unroll 8
  for (int r = 0; r < R; ++r) lo[r] = hi[r] = _mm256_setzero_si256();
  for (int kb = 0; kb < kblocks; ++kb) {
    const __m128i* block = reinterpret_cast<const __m128i*>(column + size_t(kb) * 32);
    const __m256i wl = _mm256_cvtepi8_epi16(_mm_loadu_si128(block));      // channels 0..3
    const __m256i wh = _mm256_cvtepi8_epi16(_mm_loadu_si128(block + 1));  // channels 4..7
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r) {
      const __m256i av = _mm256_set1_epi64x(load_u64(a + size_t(r) * a_stride + size_t(kb) * 4));
      lo[r] = _mm256_add_epi32(lo[r], _mm256_madd_epi16(wl, av));
      hi[r] = _mm256_add_epi32(hi[r], _mm256_madd_epi16(wh, av));
    }
  }
  // lo lanes: c0 c0 c1 c1 | c2 c2 c3 c3 (pairs of k); hadd folds pairs, the permute restores order.
  const __m256i order = _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7);
#pragma GCC unroll 8
  for (int r = 0; r < R; ++r) out[r] = _mm256_permutevar8x32_epi32(_mm256_hadd_epi32(lo[r], hi[r]), order);
}

// requantize() for 8 full channels; the int32 -> int16 -> int8 packs saturate as the scalar does.
inline uint64_t requantize8(__m256i acc, const GemmI8Output& o, int c0) {
  const __m256i low_dwords = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
  const __m256i b0 = _mm256_permutevar8x32_epi32(
      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(o.bias + c0)), low_dwords);
  const __m256i b1 = _mm256_permutevar8x32_epi32(
      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(o.bias + c0 + 4)), low_dwords);
  const __m256i v = _mm256_add_epi32(acc, _mm256_permute2x128_si256(b0, b1, 0x20));
  const __m256i mult = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(o.mult + c0));
  const __m256i shift = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(o.shift + c0));

  // (v * mult + 2^30) >> 31 as bits 31..62 of the 64-bit sum, even and odd lanes.
  const __m256i round = _mm256_set1_epi64x(int64_t(1) << 30);
  const __m256i even = _mm256_srli_epi64(_mm256_add_epi64(_mm256_mul_epi32(v, mult), round), 31);
  const __m256i odd = _mm256_slli_epi64(
      _mm256_add_epi64(_mm256_mul_epi32(_mm256_srli_epi64(v, 32), _mm256_srli_epi64(mult, 32)), round), 1);
  __m256i h = _mm256_blend_epi32(even, odd, 0xAA);
  const __m256i int_min = _mm256_set1_epi32(INT32_MIN);
  const __m256i overflow =
      _mm256_and_si256(_mm256_cmpeq_epi32(v, int_min), _mm256_cmpeq_epi32(mult, int_min));
  h = _mm256_blendv_epi8(h, _mm256_set1_epi32(INT32_MAX), overflow);

  // Shifts of 32 or more give 0 both ways; right: (h >> s) + bit s-1 of h, no overflow.
  const __m256i zero = _mm256_setzero_si256(), one = _mm256_set1_epi32(1);
  const __m256i s = _mm256_sub_epi32(zero, shift);
  const __m256i rounded = _mm256_add_epi32(
      _mm256_srav_epi32(h, s), _mm256_and_si256(_mm256_srav_epi32(h, _mm256_sub_epi32(s, one)), one));
  const __m256i left = _mm256_cmpgt_epi32(shift, _mm256_set1_epi32(-1));
  __m256i r = _mm256_blendv_epi8(rounded, _mm256_sllv_epi32(h, shift), left);
  r = _mm256_add_epi32(r, _mm256_set1_epi32(o.out_zp));
  const __m256i words = _mm256_packs_epi32(r, r);  // r0..r3 r0..r3 | r4..r7 r4..r7
  const __m256i bytes = _mm256_packs_epi16(words, words);
  const uint64_t lo = uint32_t(_mm_cvtsi128_si32(_mm256_castsi256_si128(bytes)));
  const uint64_t hi = uint32_t(_mm_cvtsi128_si32(_mm256_extracti128_si256(bytes, 1)));
  return lo | (hi << 32);
}

enum class Sink { Raw, RowMajorI8, ChannelMajorI8, Float };

void store8(__m256i acc, Sink sink, const GemmI8Output* o, int32_t* raw, int m, int c0, int N) {
  const int count = N - c0 < 8 ? N - c0 : 8;
  alignas(32) int32_t v[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(v), acc);
  switch (sink) {
    case Sink::Raw: std::memcpy(raw + size_t(m) * size_t(N) + c0, v, size_t(count) * 4); return;
    case Sink::Float:
      for (int c = 0; c < count; ++c) o->write(m, c0 + c, v[c]);
      return;
    case Sink::RowMajorI8:
    case Sink::ChannelMajorI8: break;
  }
  if (count < 8) {
    for (int c = 0; c < count; ++c) o->write(m, c0 + c, v[c]);
    return;
  }
  const uint64_t bytes = requantize8(acc, *o, c0);
  if (sink == Sink::RowMajorI8) {
    std::memcpy(static_cast<int8_t*>(o->out) + size_t(m) * size_t(N) + c0, &bytes, 8);
  } else {
    int8_t* out = static_cast<int8_t*>(o->out);
    for (int c = 0; c < 8; ++c) out[size_t(c0 + c) * size_t(o->M) + m] = int8_t(bytes >> (8 * c));
  }
}

// Channels [n_begin, n_end) of R rows, n_begin a multiple of 8.
template <int R>
void row_tile(const int16_t* a, size_t a_stride, const int8_t* packed, size_t col_bytes, int kblocks, int m0,
              int N, int n_begin, int n_end, Sink sink, const GemmI8Output* o, int32_t* raw) {
  for (int nb = n_begin / 8; nb * 8 < n_end; ++nb) {
    __m256i sums[R];
    block_sums<R>(a, a_stride, packed + size_t(nb) * col_bytes, kblocks, sums);
    for (int r = 0; r < R; ++r) store8(sums[r], sink, o, raw, m0 + r, nb * 8, N);
  }
}

using RowTile = void (*)(const int16_t*, size_t, const int8_t*, size_t, int, int, int, int, int, Sink,
                         const GemmI8Output*, int32_t*);
constexpr RowTile kRowTiles[kTileRows] = {row_tile<1>, row_tile<2>, row_tile<3>,
                                          row_tile<4>, row_tile<5>, row_tile<6>};

// Rows [m_begin, m_end) by channels [n_begin, n_end); the rows are widened into this thread's buffer.
void gemm_i8_widened_part(const int8_t* A, const int8_t* packed, int K, int N, int m_begin, int m_end,
                          int n_begin, int n_end, Sink sink, const GemmI8Output* o, int32_t* raw) {
  const int kblocks = (K + 3) / 4;
  const size_t a_stride = size_t(kblocks) * 4, col_bytes = size_t(kblocks) * 32;
  const int M = m_end - m_begin;
  const int16_t* a = widen_activations(A + size_t(m_begin) * size_t(K), M, K, a_stride);
  for (int i0 = 0; i0 < M; i0 += kTileRows) {
    const int16_t* rows_a = a + size_t(i0) * a_stride;
    const int m0 = m_begin + i0;
    const int rows = M - i0 < kTileRows ? M - i0 : kTileRows;
    kRowTiles[rows - 1](rows_a, a_stride, packed, col_bytes, kblocks, m0, N, n_begin, n_end, sink, o, raw);
  }
}

void gemm_i8_widened(const int8_t* A, const int8_t* packed, int M, int K, int N, Sink sink,
                     const GemmI8Output* o, int32_t* raw) {
  if (M <= 0 || N <= 0 || K <= 0) return;
  parallel_gemm_i8(M, N, K, kTileRows, 8, [&](int m_begin, int m_end, int n_begin, int n_end) {
    gemm_i8_widened_part(A, packed, K, N, m_begin, m_end, n_begin, n_end, sink, o, raw);
  });
}

}  // namespace

void gemm_i8_avx2(const int8_t* A, const int8_t* packed, const int64_t* bias, const int32_t* mult,
                  const int32_t* shift, const float* scale, int8_t out_zp, void* out, bool float_out, int M,
                  int K, int N, bool channel_major, const int32_t* row_sums, void* stream) {
  const GemmI8Output o{bias, mult, shift, scale, out_zp, out, float_out, channel_major, M, N};
  const Sink sink = channel_major ? Sink::ChannelMajorI8 : (float_out ? Sink::Float : Sink::RowMajorI8);
  gemm_i8_widened(A, packed, M, K, N, sink, &o, nullptr);
}

void gemm_i8_raw_avx2(const int8_t* A, const int8_t* packed, int32_t* out, int M, int K, int N) {
  gemm_i8_widened(A, packed, M, K, N, Sink::Raw, nullptr, out);
}

}  // namespace trevalon
