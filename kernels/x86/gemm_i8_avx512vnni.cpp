// AVX-512 VNNI int8 GEMM on 8x4 weight blocks, all output modes.
//
// vpdpbusd multiplies unsigned by signed bytes, so the activations are offset by 128:
//   a' = a XOR 0x80 = a + 128 (read as unsigned), and  sum_k a'[k] w[k] = sum_k a[k] w[k] + 128 sum_k w[k].
// Each accumulator therefore starts at -128 x (its channel's weight sum), computed here from the
// packed blocks, and ends at the exact signed sum in wrapping 32-bit arithmetic.
//
// Lanes are 16 output channels (two packed blocks side by side), each activation dword (4 k values
// of one row) is broadcast; a tile is 6 rows by up to 64 channels, 24 accumulators.
// GCC 12 flags the deliberately undefined upper halves inside its own AVX-512 cast and convert
// intrinsics as "maybe uninitialized"; the warning is about the header, not this code.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <cstring>
#include <array>
#include <utility>
#include <vector>

#include "kernels/gemm_i8.h"

namespace trevalon {
namespace {

constexpr int kTileRows = 6;
constexpr int kTileBlocks = 8;  // 64 channels, 4 vectors

enum class Sink { Raw, RowMajorI8, ChannelMajorI8, Float };

struct TileArgs {
  const uint8_t* a;   // offset activations of the tile's first row
  size_t a_stride;    // bytes per row, a multiple of 4
  const int8_t* w;    // first block column of the tile
  size_t col_bytes;   // bytes per block column
  int kblocks;
  const __m512i* init;  // per vector: -128 x weight sum
  int m0, n0, rows, M, N;
  Sink sink;
  const GemmI8Output* o;
  int32_t* raw;
};

inline __mmask16 first_lanes(int count) {
  return count >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << count) - 1);
}

inline int32_t load_u32(const uint8_t* p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// acc += dot(a unsigned bytes, w signed bytes) per dword. Written as a tied-operand instruction:
// through the intrinsic GCC 12 copies and spills accumulators inside the loop.
inline void dpbusd(__m512i& acc, __m512i a, __m512i w) {
  __asm__("vpdpbusd %2, %1, %0" : "+v"(acc) : "v"(a), "v"(w));
}

// 16 channels at k block kb: block b low, block b + 1 high (zero when the tile has an odd count).
template <bool Pair>
inline __m512i weight_vector(const int8_t* block, size_t col_bytes) {
  const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block));
  if (!Pair) return _mm512_zextsi256_si512(lo);
  return _mm512_inserti64x4(_mm512_castsi256_si512(lo),
                            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + col_bytes)), 1);
}

// Requantise 16 channels exactly as requantize(): Q31 high multiply, rounding shift, zero point;
// the final int32 -> int8 narrowing saturates.
inline __m128i requantize16(__m512i acc, const GemmI8Output& o, int c0, __mmask16 mask) {
  const __m512i zero = _mm512_setzero_si512(), one = _mm512_set1_epi32(1);
  const __m256i b_lo = _mm512_cvtepi64_epi32(_mm512_maskz_loadu_epi64(__mmask8(mask), o.bias + c0));
  const __m256i b_hi =
      _mm512_cvtepi64_epi32(_mm512_maskz_loadu_epi64(__mmask8(mask >> 8), o.bias + c0 + 8));
  const __m512i v = _mm512_add_epi32(acc, _mm512_inserti64x4(_mm512_castsi256_si512(b_lo), b_hi, 1));
  const __m512i mult = _mm512_maskz_loadu_epi32(mask, o.mult + c0);
  const __m512i shift = _mm512_maskz_loadu_epi32(mask, o.shift + c0);

  // (v * mult + 2^30) >> 31: bits 31..62 of the 64-bit sum, for even and odd lanes.
  const __m512i round = _mm512_set1_epi64(int64_t(1) << 30);
  const __m512i even = _mm512_srli_epi64(_mm512_add_epi64(_mm512_mul_epi32(v, mult), round), 31);
  const __m512i odd = _mm512_slli_epi64(
      _mm512_add_epi64(_mm512_mul_epi32(_mm512_srli_epi64(v, 32), _mm512_srli_epi64(mult, 32)), round),
      1);
  __m512i h = _mm512_mask_blend_epi32(0xAAAA, even, odd);
  const __m512i int_min = _mm512_set1_epi32(INT32_MIN);
  const __mmask16 overflow =
      _mm512_cmpeq_epi32_mask(v, int_min) & _mm512_cmpeq_epi32_mask(mult, int_min);
  h = _mm512_mask_mov_epi32(h, overflow, _mm512_set1_epi32(INT32_MAX));

  // Left shifts of 32 or more give 0, as do right shifts of 32 or more (the rounding bit then
  // cancels the sign fill). Right: (h >> s) + bit s-1 of h, i.e. (h + 2^(s-1)) >> s without overflow.
  const __mmask16 left = _mm512_cmpge_epi32_mask(shift, zero);
  const __m512i s = _mm512_sub_epi32(zero, shift);
  const __m512i rounded = _mm512_add_epi32(
      _mm512_srav_epi32(h, s), _mm512_and_si512(_mm512_srav_epi32(h, _mm512_sub_epi32(s, one)), one));
  __m512i r = _mm512_mask_blend_epi32(left, rounded, _mm512_sllv_epi32(h, shift));
  r = _mm512_add_epi32(r, _mm512_set1_epi32(o.out_zp));
  return _mm512_cvtsepi32_epi8(r);
}

inline void store_float16(__m512i acc, const GemmI8Output& o, int m, int c0, __mmask16 mask) {
  const __m512i lo =
      _mm512_add_epi64(_mm512_cvtepi32_epi64(_mm512_castsi512_si256(acc)),
                       _mm512_maskz_loadu_epi64(__mmask8(mask), o.bias + c0));
  const __m512i hi =
      _mm512_add_epi64(_mm512_cvtepi32_epi64(_mm512_extracti64x4_epi64(acc, 1)),
                       _mm512_maskz_loadu_epi64(__mmask8(mask >> 8), o.bias + c0 + 8));
  const __m512 f = _mm512_insertf32x8(_mm512_castps256_ps512(_mm512_cvtepi64_ps(lo)),
                                      _mm512_cvtepi64_ps(hi), 1);
  float* dst = static_cast<float*>(o.out) + size_t(m) * size_t(o.N) + c0;
  _mm512_mask_storeu_ps(dst, mask, _mm512_mul_ps(f, _mm512_maskz_loadu_ps(mask, o.scale + c0)));
}

// The exact sums of R rows by B blocks, left in `sums` (row-major, V vectors per row).
template <int R, int B>
void tile_sums(const TileArgs& t, __m512i* sums) {
  constexpr int V = (B + 1) / 2;
  __m512i acc[R * V];
#pragma GCC unroll 32
  for (int i = 0; i < R * V; ++i) acc[i] = t.init[i % V];
  const int8_t* w = t.w;
  const uint8_t* a = t.a;
  const size_t col_bytes = t.col_bytes, a_stride = t.a_stride;
  for (int kb = 0; kb < t.kblocks; ++kb) {
    __m512i wv[V];
#pragma GCC unroll 4
    for (int v = 0; v < V; ++v) {
      const int8_t* block = w + size_t(2 * v) * col_bytes;
      wv[v] = (2 * v + 1 < B) ? weight_vector<true>(block, col_bytes)
                              : weight_vector<false>(block, col_bytes);
    }
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r) {
      const __m512i av = _mm512_set1_epi32(load_u32(a + size_t(r) * a_stride));
#pragma GCC unroll 4
      for (int v = 0; v < V; ++v) dpbusd(acc[r * V + v], av, wv[v]);
    }
    w += 32;
    a += 4;
  }
#pragma GCC unroll 32
  for (int i = 0; i < R * V; ++i) _mm512_store_si512(sums + i, acc[i]);
}

template <int R, int B>
void run_tile(const TileArgs& t) {
  constexpr int V = (B + 1) / 2;
  alignas(64) __m512i sums[R * V];
  tile_sums<R, B>(t, sums);
  __m512i (*acc)[V] = reinterpret_cast<__m512i (*)[V]>(sums);

  alignas(64) int8_t channel_major[R][64];
  for (int r = 0; r < R; ++r) {
    const int m = t.m0 + r;
    for (int v = 0; v < V; ++v) {
      const int c0 = t.n0 + 16 * v;
      const int count = t.N - c0;
      if (count <= 0) break;
      const __mmask16 mask = first_lanes(count);
      switch (t.sink) {
        case Sink::Raw:
          _mm512_mask_storeu_epi32(t.raw + size_t(m) * size_t(t.N) + c0, mask, acc[r][v]);
          break;
        case Sink::Float:
          store_float16(acc[r][v], *t.o, m, c0, mask);
          break;
        case Sink::RowMajorI8:
          _mm_mask_storeu_epi8(static_cast<int8_t*>(t.o->out) + size_t(m) * size_t(t.N) + c0, mask,
                               requantize16(acc[r][v], *t.o, c0, mask));
          break;
        case Sink::ChannelMajorI8:
          _mm_store_si128(reinterpret_cast<__m128i*>(&channel_major[r][16 * v]),
                          requantize16(acc[r][v], *t.o, c0, mask));
          break;
      }
    }
  }
  if (t.sink == Sink::ChannelMajorI8) {
    const int channels = t.N - t.n0 < 16 * V ? t.N - t.n0 : 16 * V;
    int8_t* out = static_cast<int8_t*>(t.o->out);
    for (int c = 0; c < channels; ++c)
      for (int r = 0; r < R; ++r) out[size_t(t.n0 + c) * size_t(t.M) + t.m0 + r] = channel_major[r][c];
  }
}

using TileFn = void (*)(const TileArgs&);

template <int... I>
constexpr auto make_tile_table(std::integer_sequence<int, I...>) {
  return std::array<TileFn, sizeof...(I)>{&run_tile<I / kTileBlocks + 1, I % kTileBlocks + 1>...};
}
constexpr auto kTiles = make_tile_table(std::make_integer_sequence<int, kTileRows * kTileBlocks>{});

// Offset activations, rows padded to whole dwords (the padded weights are zero, so the pad value
// never contributes). Grows once per thread and is reused.
const uint8_t* offset_activations(const int8_t* A, int M, int K, size_t stride) {
  thread_local std::vector<uint8_t> buffer;
  if (buffer.size() < size_t(M) * stride) buffer.resize(size_t(M) * stride);
  const __m512i flip = _mm512_set1_epi8(char(0x80));
  for (int m = 0; m < M; ++m) {
    const int8_t* src = A + size_t(m) * size_t(K);
    uint8_t* dst = buffer.data() + size_t(m) * stride;
    for (size_t k = 0; k < stride; k += 64) {
      const int left = int(stride - k);
      const __mmask64 store = left >= 64 ? ~__mmask64(0) : (__mmask64(1) << left) - 1;
      const int valid = K - int(k);
      const __mmask64 load = valid >= 64 ? ~__mmask64(0) : (valid > 0 ? (__mmask64(1) << valid) - 1 : 0);
      const __m512i x = _mm512_maskz_loadu_epi8(load, src + k);
      _mm512_mask_storeu_epi8(dst + k, store, _mm512_xor_si512(x, flip));
    }
  }
  return buffer.data();
}

void gemm_i8_vnni(const int8_t* A, const int8_t* packed, int M, int K, int N, Sink sink,
                  const GemmI8Output* o, int32_t* raw) {
  if (M <= 0 || N <= 0 || K <= 0) return;
  const int kblocks = (K + 3) / 4;
  const size_t a_stride = size_t(kblocks) * 4, col_bytes = size_t(kblocks) * 32;
  const uint8_t* a = offset_activations(A, M, K, a_stride);
  const int nblocks = (N + 7) / 8;
  const __m512i ones = _mm512_set1_epi8(1);
  for (int nb0 = 0; nb0 < nblocks; nb0 += kTileBlocks) {
    const int blocks = nblocks - nb0 < kTileBlocks ? nblocks - nb0 : kTileBlocks;
    const int8_t* w = packed + size_t(nb0) * col_bytes;
    // -128 x weight sums of the tile's channels (missing channels have zero weights).
    __m512i init[kTileBlocks / 2];
    for (int v = 0; v < (blocks + 1) / 2; ++v) {
      __m512i sum = _mm512_setzero_si512();
      const int8_t* column = w + size_t(2 * v) * col_bytes;
      const bool pair = 2 * v + 1 < blocks;
      for (int kb = 0; kb < kblocks; ++kb) {
        const int8_t* block = column + size_t(kb) * 32;
        sum = _mm512_dpbusd_epi32(sum, ones, pair ? weight_vector<true>(block, col_bytes)
                                                  : weight_vector<false>(block, col_bytes));
      }
      init[v] = _mm512_sub_epi32(_mm512_setzero_si512(), _mm512_slli_epi32(sum, 7));
    }
    for (int m0 = 0; m0 < M; m0 += kTileRows) {
      const int rows = M - m0 < kTileRows ? M - m0 : kTileRows;
      const TileArgs t{a + size_t(m0) * a_stride, a_stride, w, col_bytes, kblocks, init,
                       m0, nb0 * 8, rows, M, N, sink, o, raw};
      kTiles[(rows - 1) * kTileBlocks + (blocks - 1)](t);
    }
  }
}

}  // namespace

void gemm_i8_avx512vnni(const int8_t* A, const int8_t* packed, const int64_t* bias,
                        const int32_t* mult, const int32_t* shift, const float* scale,
                        int8_t out_zp, void* out, bool float_out, int M, int K, int N,
                        bool channel_major, const int32_t* row_sums, void* stream) {
  const GemmI8Output o{bias, mult, shift, scale, out_zp, out, float_out, channel_major, M, N};
  const Sink sink = channel_major ? Sink::ChannelMajorI8 : (float_out ? Sink::Float : Sink::RowMajorI8);
  gemm_i8_vnni(A, packed, M, K, N, sink, &o, nullptr);
}

void gemm_i8_raw_avx512vnni(const int8_t* A, const int8_t* packed, int32_t* out, int M, int K,
                            int N) {
  gemm_i8_vnni(A, packed, M, K, N, Sink::Raw, nullptr, out);
}

}  // namespace trevalon
