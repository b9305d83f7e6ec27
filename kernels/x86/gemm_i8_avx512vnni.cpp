// AVX-512 VNNI int8 GEMM on 8x4 weight blocks, all output modes.
//
// vpdpbusd multiplies unsigned by signed bytes, so the activations are offset by 128:
//   a' = a XOR 0x80 = a + 128 (read as unsigned), and  sum_k a'[k] w[k] = sum_k a[k] w[k] + 128 sum_k w[k].
// Each accumulator therefore starts at -128 x (its channel's weight sum) and ends at the exact signed
// sum in wrapping 32-bit arithmetic. The weight sums are the caller's row sums when it passes them,
// otherwise they are summed from the packed blocks. When every channel's requantisation fits one
// 64-bit division (requantize_as_division), the low 32 bits of the bias join the starting value too
// and the tile requantises straight from its registers.
//
// Lanes are 16 output channels (two packed blocks side by side), each activation dword (4 k values
// of one row) is broadcast; a tile is 6 rows by up to 64 channels, 24 accumulators. Calls with few
// row tiles prefetch the next column group's weights while the current one computes; calls with
// many copy each column group first into 16-channel blocks (one aligned load per vector instead of
// joining two blocks, which costs a shuffle per vector and k step). Plain activations are offset a
// chunk of rows at a time, in cache. Callers that know this tier may pass activations already
// offset (the Winograd input stage and the patch gatherers write them so) and skip the copy.
//
// The *_avx512amx entries (the tier with the int8 tile unit) take the same operands: blocks of 16
// rows whose weights are in the 16-channel layout and whose k loop divides into chunks of 4 to 16
// k blocks get their sums from the tile unit (gemm_i8_avx512amx.cpp), which this file's epilogues
// then finish; other rows stay on the VNNI tiles.
// GCC 12 flags the deliberately undefined upper halves inside its own AVX-512 cast and convert
// intrinsics as "maybe uninitialized" (or, inlined into a table builder, "uninitialized"); the
// warning is about the header, not this code.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>
#include <vector>

#include "kernels/gemm_i8.h"
#include "kernels/prepared_weights.h"
#include "kernels/thread_work.h"
#include "kernels/x86/add_q12_avx512.h"
#include "kernels/x86/gemm_i8_amx.h"
#include "kernels/x86/requantize_avx512.h"
#include "kernels/x86/simd_f32x16.h"
#include "kernels/x86/activation_simd.h"

namespace trevalon {
namespace {

using x86::DivisionRequant512;

constexpr int kTileRows = 6;
constexpr int kTileVectors = 4;  // 64 channels, 8 packed blocks
constexpr int kTileChannels = 16 * kTileVectors;

enum class Sink { Raw, RowMajorI8, ChannelMajorI8, Float, FloatRows };

// How a tile leaves its registers: requantised by division, stored raw, or through memory by the
// general per-sink code (float output, general requantisation), or scaled per channel and row in
// registers (the dynamic-row float output, optionally followed by GELU).
enum class Epilogue { General, Division, Raw, FloatRows, FloatRowsGelu };

// A quantised addition folded into the epilogue (ResidualAddI8): the product's own value is the
// addition's first operand.
struct ResidualLanes {
  const int8_t* other;
  x86::AddQ12Lanes q12;
};

struct TileArgs {
  const uint8_t* a;  // offset activations of the tile's first row
  size_t a_stride;   // bytes per row, a multiple of 4
  const int8_t* w;   // first block column of the tile
  size_t col_bytes;  // bytes per block column
  size_t last_high;  // offset of the last vector's upper block: col_bytes, or 0 for an odd block
                     // count (the block is then read twice and its upper lanes never stored)
  int kblocks;
  const int32_t* start;                // 16 x vectors starting values of the tile's channels
  const DivisionRequant512* division;  // per vector, for the register epilogue
  const char* prefetch;                // this tile's share of the next column group's weights
  int prefetch_lines;                  // cache lines from `prefetch` on, at most 2 x kblocks
  int m0, n0, M, N;
  Sink sink;
  const GemmI8Output* o;
  int32_t* raw;
  const float* row_scale;  // FloatRows: one scale per output row, and the float bias (or null)
  const float* float_bias;
  const ResidualLanes* residual;  // requantised row-major output only; null: none
};

inline __mmask16 first_lanes(int count) {
  return count >= 16 ? __mmask16(0xFFFF) : (count > 0 ? __mmask16((1u << count) - 1) : __mmask16(0));
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

// Blocks `low` and `high` as the two halves of one vector. Written out because through the
// intrinsics GCC 12 loads the low half into a spare register and copies it, and then runs out of
// registers in the 24-accumulator loop.
inline __m512i weight_vector(const int8_t* low, const int8_t* high) {
  __m512i w;
  __asm__("vmovdqu32 %1, %t0\n\tvinserti64x4 $1, %2, %0, %0"
          : "=&v"(w)
          : "m"(*reinterpret_cast<const __m256i*>(low)), "m"(*reinterpret_cast<const __m256i*>(high)));
  return w;
}

// General requantisation of 16 channels exactly as requantize(), for shifts and multipliers the
// division form does not cover: bias, Q31 high multiply, rounding shift, zero point. The result
// is not yet narrowed to int8.
inline __m512i requantize16(__m512i acc, const GemmI8Output& o, int c0, __mmask16 mask) {
  const __m256i b_lo = _mm512_cvtepi64_epi32(_mm512_maskz_loadu_epi64(__mmask8(mask), o.bias + c0));
  const __m256i b_hi = _mm512_cvtepi64_epi32(_mm512_maskz_loadu_epi64(__mmask8(mask >> 8), o.bias + c0 + 8));
  const __m512i v = _mm512_add_epi32(acc, _mm512_inserti64x4(_mm512_castsi256_si512(b_lo), b_hi, 1));
  const x86::RequantLanes512 q = x86::requant_lanes_avx512(_mm512_maskz_loadu_epi32(mask, o.mult + c0),
                                                           _mm512_maskz_loadu_epi32(mask, o.shift + c0));
  return x86::requantize_avx512(v, q, _mm512_set1_epi32(o.out_zp));
}

// The folded addition on 16 requantised channels of one row, `offset` elements into the other
// operand: the product's value saturated to int8 and the other operand's, weighted in Q12 by one
// multiply-add of 16-bit pairs (exact: both weights fit 16 bits), rounded down by 12 bits. The
// caller's narrowing to int8 is the addition's saturation.
inline __m512i add_residual(__m512i requantized, const ResidualLanes& r, size_t offset, __mmask16 mask) {
  const __m512i y =
      _mm512_min_epi32(_mm512_max_epi32(requantized, _mm512_set1_epi32(-128)), _mm512_set1_epi32(127));
  const __m512i other = _mm512_cvtepi8_epi32(_mm_maskz_loadu_epi8(mask, r.other + offset));
  const __m512i pairs = _mm512_mask_blend_epi16(__mmask32(0xAAAAAAAA), y, _mm512_slli_epi32(other, 16));
  return _mm512_srai_epi32(_mm512_add_epi32(r.q12.bias, _mm512_madd_epi16(pairs, r.q12.weights)), 12);
}

// The folded addition when the tile has one; offset of row r, vector v of the tile.
inline __m512i finish(const TileArgs& t, __m512i requantized, int r, int v, __mmask16 mask) {
  if (!t.residual) return requantized;
  return add_residual(requantized, *t.residual, size_t(t.m0 + r) * size_t(t.N) + size_t(t.n0 + 16 * v), mask);
}

inline void store_float16(__m512i acc, const GemmI8Output& o, int m, int c0, __mmask16 mask) {
  const __m512i lo = _mm512_add_epi64(_mm512_cvtepi32_epi64(_mm512_castsi512_si256(acc)),
                                      _mm512_maskz_loadu_epi64(__mmask8(mask), o.bias + c0));
  const __m512i hi = _mm512_add_epi64(_mm512_cvtepi32_epi64(_mm512_extracti64x4_epi64(acc, 1)),
                                      _mm512_maskz_loadu_epi64(__mmask8(mask >> 8), o.bias + c0 + 8));
  const __m512 f =
      _mm512_insertf32x8(_mm512_castps256_ps512(_mm512_cvtepi64_ps(lo)), _mm512_cvtepi64_ps(hi), 1);
  float* dst = static_cast<float*>(o.out) + size_t(m) * size_t(o.N) + c0;
  _mm512_mask_storeu_ps(dst, mask, _mm512_mul_ps(f, _mm512_maskz_loadu_ps(mask, o.scale + c0)));
}

// Requantised bytes of row r, vector v: into the output row, or into the tile's staging rows that
// become channel-major columns once the tile is done.
inline void store_bytes(const TileArgs& t, int r, int v, __m128i bytes, __mmask16 mask,
                        int8_t (*staging)[kTileChannels]) {
  if (t.sink == Sink::ChannelMajorI8) {
    _mm_store_si128(reinterpret_cast<__m128i*>(&staging[r][16 * v]), bytes);
    return;
  }
  int8_t* dst = static_cast<int8_t*>(t.o->out) + size_t(t.m0 + r) * size_t(t.N) + t.n0 + 16 * v;
  if (mask == 0xFFFF) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), bytes);
  } else {
    _mm_mask_storeu_epi8(dst, mask, bytes);
  }
}

template <int R>
void flush_channel_major(const TileArgs& t, const int8_t (*staging)[kTileChannels], int channels) {
  int8_t* out = static_cast<int8_t*>(t.o->out);
  for (int c = 0; c < channels; ++c) {
    int8_t* column = out + size_t(t.n0 + c) * size_t(t.M) + t.m0;
    for (int r = 0; r < R; ++r) column[r] = staging[r][c];
  }
}

// Requantises R rows of 64 channels (4 vectors each) and stores each row with one 64-byte store:
// vector pairs are narrowed with saturation to int16, then the pairs to int8 (the two saturations
// of the scalar steps), and one dword permutation undoes the lane interleave of the packs.
template <int R, int V>
inline void store_rows_of_64(const TileArgs& t, const __m512i* acc) {
  __m512i pairs[2][R];
#pragma GCC unroll 2
  for (int p = 0; p < 2; ++p) {
    const DivisionRequant512 q0 = t.division[2 * p], q1 = t.division[2 * p + 1];
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r)
      pairs[p][r] = _mm512_packs_epi32(x86::requantize_division_avx512(acc[r * V + 2 * p], q0),
                                       x86::requantize_division_avx512(acc[r * V + 2 * p + 1], q1));
  }
  // After the packs, dword 4L + j holds channels 4L..4L+3 of vector j.
  const __m512i order = _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
  int8_t* dst = static_cast<int8_t*>(t.o->out) + size_t(t.m0) * size_t(t.N) + t.n0;
#pragma GCC unroll 8
  for (int r = 0; r < R; ++r) {
    __m512i bytes = _mm512_permutexvar_epi32(order, _mm512_packs_epi16(pairs[0][r], pairs[1][r]));
    if (t.residual) {  // the folded addition on the finished row
      const size_t row = size_t(t.m0 + r) * size_t(t.N) + size_t(t.n0);
      bytes = x86::add_q12_64(bytes, _mm512_loadu_si512(t.residual->other + row), t.residual->q12);
    }
    _mm512_storeu_si512(dst + size_t(r) * size_t(t.N), bytes);
  }
}

// Weights of at most this many bytes are copied into the 16-channel layout whole, once per product.
constexpr size_t kWidenAllBytes = size_t(512) << 10;

// Plain activations are offset in chunks of about this many bytes.
constexpr size_t kOffsetChunkBytes = size_t(96) << 10;

// Calls with at most this many row tiles prefetch the next column group's weights.
constexpr int kPrefetchMaxRowTiles = 12;

// Products with more row tiles copy each column group of packed weights into the 16-channel layout
// first. Fewer rows read their weights from memory once: a copy would add a pass over them, so they
// join two blocks per vector instead and overlap the reads with the products.
constexpr int kWidenMinRowTiles = kPrefetchMaxRowTiles + 1;
// A call that sums the weights itself reads every block once anyway: the copy rides on that pass
// from this many row tiles on.
constexpr int kWidenMinRowTilesSumming = 4;

// acc += the products of one k block; w and a advance to the next.
// Wide: the weights are in the 16-channel layout (widen_group), one aligned 64-byte vector per k
// block and column of 16 channels (col_bytes apart), instead of two blocks of 8.
template <int R, int V, bool Wide>
__attribute__((always_inline)) inline void accumulate_block(const int8_t*& w, const uint8_t*& a,
                                                            size_t col_bytes, size_t a_stride,
                                                            size_t last_high, __m512i* acc) {
  __m512i wv[V];
#pragma GCC unroll 4
  for (int v = 0; v < V; ++v) {
    if constexpr (Wide) {
      wv[v] = _mm512_load_si512(w + size_t(v) * col_bytes);
    } else {
      const int8_t* low = w + size_t(2 * v) * col_bytes;
      wv[v] = weight_vector(low, low + (v == V - 1 ? last_high : col_bytes));
    }
  }
#pragma GCC unroll 8
  for (int r = 0; r < R; ++r) {
    const __m512i av = _mm512_set1_epi32(load_u32(a + size_t(r) * a_stride));
#pragma GCC unroll 4
    for (int v = 0; v < V; ++v) dpbusd(acc[r * V + v], av, wv[v]);
  }
  w += Wide ? 64 : 32;
  a += 4;
}

// acc += the tile's products over all k blocks. Meanwhile the tile prefetches its share of the
// next column group's weights so that they arrive from memory while this group computes. The
// requests are spread evenly over the k loop (one line every few k blocks, or two per block when
// the share exceeds the blocks): issued in a burst they fill the queue to memory and stall the
// tile's own loads, spread out they stay below the rate memory delivers and overlap the products.
template <int R, int V, bool Wide>
__attribute__((always_inline)) inline void accumulate(const TileArgs& t, __m512i* acc) {
  const int8_t* w = t.w;
  const uint8_t* a = t.a;
  const size_t col_bytes = t.col_bytes, a_stride = t.a_stride, last_high = t.last_high;
  const int kblocks = t.kblocks, lines = t.prefetch_lines;
  const char* next = t.prefetch;
  int kb = 0;
  if (lines >= kblocks) {
    for (const int doubled = lines - kblocks; kb < doubled; ++kb, next += 128) {
      _mm_prefetch(next, _MM_HINT_T1);
      _mm_prefetch(next + 64, _MM_HINT_T1);
      accumulate_block<R, V, Wide>(w, a, col_bytes, a_stride, last_high, acc);
    }
    for (; kb < kblocks; ++kb, next += 64) {
      _mm_prefetch(next, _MM_HINT_T1);
      accumulate_block<R, V, Wide>(w, a, col_bytes, a_stride, last_high, acc);
    }
    return;
  }
  if (lines > 0) {
    const int every = kblocks / lines;
    for (int line = 0; line < lines; ++line, next += 64) {
      _mm_prefetch(next, _MM_HINT_T1);
      for (int i = 0; i < every; ++i, ++kb)
        accumulate_block<R, V, Wide>(w, a, col_bytes, a_stride, last_high, acc);
    }
  }
  for (; kb < kblocks; ++kb) accumulate_block<R, V, Wide>(w, a, col_bytes, a_stride, last_high, acc);
}

// Stores R rows by V vectors of finished sums. Division: the starting values include the bias and
// the channels' division constants requantise the registers directly.
template <int R, int V, Epilogue E>
__attribute__((always_inline)) inline void tile_epilogue(const TileArgs& t, __m512i* acc) {
  const int channels = t.N - t.n0 < 16 * V ? t.N - t.n0 : 16 * V;
  if constexpr (E == Epilogue::Raw) {
    int32_t* dst = t.raw + size_t(t.m0) * size_t(t.N) + t.n0;
    const size_t stride = size_t(t.N);
    if (channels == 16 * V) {
#pragma GCC unroll 8
      for (int r = 0; r < R; ++r, dst += stride)
#pragma GCC unroll 4
        for (int v = 0; v < V; ++v) _mm512_storeu_si512(dst + 16 * v, acc[r * V + v]);
      return;
    }
#pragma GCC unroll 4
    for (int v = 0; v < V; ++v) {
      const __mmask16 mask = first_lanes(channels - 16 * v);
#pragma GCC unroll 8
      for (int r = 0; r < R; ++r)
        _mm512_mask_storeu_epi32(dst + size_t(r) * stride + 16 * v, mask, acc[r * V + v]);
    }
    return;
  }
  if constexpr (E == Epilogue::FloatRows || E == Epilogue::FloatRowsGelu) {
    // float(acc) x scale, x the row's scale, + bias: three roundings, in the order of the passes
    // over the output that this replaces, then the GELU lanes of gelu_f32_avx512. The int32 sum
    // converts as exactly as through int64.
    float* dst = static_cast<float*>(t.o->out) + size_t(t.m0) * size_t(t.N) + t.n0;
    const size_t stride = size_t(t.N);
#pragma GCC unroll 4
    for (int v = 0; v < V; ++v) {
      if (16 * v >= channels) break;
      const __mmask16 mask = first_lanes(channels - 16 * v);
      const __m512 scale = _mm512_maskz_loadu_ps(mask, t.o->scale + t.n0 + 16 * v);
      const __m512 bias =
          t.float_bias ? _mm512_maskz_loadu_ps(mask, t.float_bias + t.n0 + 16 * v) : _mm512_setzero_ps();
#pragma GCC unroll 8
      for (int r = 0; r < R; ++r) {
        __m512 f = _mm512_mul_ps(_mm512_cvtepi32_ps(acc[r * V + v]), scale);
        f = _mm512_mul_ps(f, _mm512_set1_ps(t.row_scale[t.m0 + r]));
        if (t.float_bias) f = _mm512_add_ps(f, bias);
        if constexpr (E == Epilogue::FloatRowsGelu) f = gelu_v<F32x16>(f);
        _mm512_mask_storeu_ps(dst + size_t(r) * stride + 16 * v, mask, f);
      }
    }
    return;
  }
  alignas(64) int8_t staging[R][kTileChannels];
  if constexpr (E == Epilogue::Division) {
    if (V == 4 && channels == 64 && t.sink == Sink::RowMajorI8) {
      store_rows_of_64<R, V>(t, acc);
      return;
    }
#pragma GCC unroll 4
    for (int v = 0; v < V; ++v) {
      if (16 * v >= channels) break;
      const __mmask16 mask = first_lanes(channels - 16 * v);
      const DivisionRequant512 q = t.division[v];
#pragma GCC unroll 8
      for (int r = 0; r < R; ++r)
        store_bytes(
            t, r, v,
            _mm512_cvtsepi32_epi8(finish(t, x86::requantize_division_avx512(acc[r * V + v], q), r, v, mask)),
            mask, staging);
    }
  } else {
    // Through memory: indexing the registers with run-time bounds would keep them on the stack
    // inside the k loop.
    alignas(64) __m512i sums[R * V];
#pragma GCC unroll 32
    for (int i = 0; i < R * V; ++i) _mm512_store_si512(sums + i, acc[i]);
    for (int r = 0; r < R; ++r) {
      const int m = t.m0 + r;
      for (int v = 0; v < V; ++v) {
        if (16 * v >= channels) break;
        const int c0 = t.n0 + 16 * v;
        const __mmask16 mask = first_lanes(channels - 16 * v);
        switch (t.sink) {
          case Sink::Raw:  // raw and row-scaled tiles have epilogues of their own
          case Sink::FloatRows: break;
          case Sink::Float: store_float16(sums[r * V + v], *t.o, m, c0, mask); break;
          case Sink::RowMajorI8:
          case Sink::ChannelMajorI8:
            store_bytes(
                t, r, v,
                _mm512_cvtsepi32_epi8(finish(t, requantize16(sums[r * V + v], *t.o, c0, mask), r, v, mask)),
                mask, staging);
            break;
        }
      }
    }
  }
  if (t.sink == Sink::ChannelMajorI8) flush_channel_major<R>(t, staging, channels);
}

// R rows by V vectors of 16 channels, from the starting values through every k block.
template <int R, int V, Epilogue E, bool Wide>
void run_tile(const TileArgs& t) {
  __m512i acc[R * V];
#pragma GCC unroll 32
  for (int i = 0; i < R * V; ++i) acc[i] = _mm512_loadu_si512(t.start + 16 * (i % V));
  accumulate<R, V, Wide>(t, acc);
  tile_epilogue<R, V, E>(t, acc);
}

// The same epilogue on sums the tile unit computed (rows of 64 int32): the starting values join
// them here instead of before the products, the same wrapping sum.
template <int R, int V, Epilogue E>
void finish_sums(const TileArgs& t, const int32_t* sums) {
  __m512i acc[R * V];
#pragma GCC unroll 32
  for (int i = 0; i < R * V; ++i)
    acc[i] = _mm512_add_epi32(_mm512_load_si512(sums + 64 * (i / V) + 16 * (i % V)),
                              _mm512_loadu_si512(t.start + 16 * (i % V)));
  tile_epilogue<R, V, E>(t, acc);
}

using TileFn = void (*)(const TileArgs&);
using SumsFn = void (*)(const TileArgs&, const int32_t*);

template <Epilogue E, bool Wide, int... I>
constexpr auto make_tile_table(std::integer_sequence<int, I...>) {
  return std::array<TileFn, sizeof...(I)>{&run_tile<I / kTileVectors + 1, I % kTileVectors + 1, E, Wide>...};
}
template <Epilogue E, bool Wide>
constexpr auto kTiles = make_tile_table<E, Wide>(std::make_integer_sequence<int, kTileRows * kTileVectors>{});

template <Epilogue E, int... I>
constexpr auto make_sums_table(std::integer_sequence<int, I...>) {
  return std::array<SumsFn, sizeof...(I)>{&finish_sums<I / kTileVectors + 1, I % kTileVectors + 1, E>...};
}
template <Epilogue E>
constexpr auto kSumsTiles = make_sums_table<E>(std::make_integer_sequence<int, kTileRows * kTileVectors>{});

// Offset activations, rows padded to whole dwords (the padded weights are zero, so the pad value
// never contributes).
void offset_activations(const int8_t* A, int M, int K, size_t stride, uint8_t* dst) {
  const __m512i flip = _mm512_set1_epi8(char(0x80));
  if (stride == size_t(K)) {  // rows without padding: one run, whatever the row length
    const size_t total = size_t(M) * stride;
    const auto* src = reinterpret_cast<const uint8_t*>(A);
    size_t i = 0;
    for (; i + 64 <= total; i += 64)
      _mm512_storeu_si512(dst + i, _mm512_xor_si512(_mm512_loadu_si512(src + i), flip));
    if (i < total) {
      const __mmask64 tail = (__mmask64(1) << (total - i)) - 1;
      _mm512_mask_storeu_epi8(dst + i, tail, _mm512_xor_si512(_mm512_maskz_loadu_epi8(tail, src + i), flip));
    }
    return;
  }
  for (int m = 0; m < M; ++m, dst += stride) {
    const int8_t* src = A + size_t(m) * size_t(K);
    for (size_t k = 0; k < stride; k += 64) {
      const int left = int(stride - k);
      const __mmask64 store = left >= 64 ? ~__mmask64(0) : (__mmask64(1) << left) - 1;
      const int valid = K - int(k);
      const __mmask64 load = valid >= 64 ? ~__mmask64(0) : (valid > 0 ? (__mmask64(1) << valid) - 1 : 0);
      const __m512i x = _mm512_maskz_loadu_epi8(load, src + k);
      _mm512_mask_storeu_epi8(dst + k, store, _mm512_xor_si512(x, flip));
    }
  }
}

// -128 x the weight sums of `blocks` packed blocks (8 channels each) from column `w` on, plus the
// bias when given, into start[0 .. 8 x blocks); with `wide`, the blocks read are stored there in
// the 16-channel layout as well (see widen_group).
void starts_from_blocks(const int8_t* w, size_t col_bytes, int kblocks, int blocks, const int64_t* bias,
                        int n0, int N, int32_t* start, int8_t* wide = nullptr) {
  const __m512i ones = _mm512_set1_epi8(1);
  for (int b = 0; b < blocks; b += 2) {
    const int8_t* column = w + size_t(b) * col_bytes;
    const size_t high = b + 1 < blocks ? col_bytes : 0;
    // Four independent sums (wrapping int32 adds in any order give the same total), so that the
    // loop is not one chain of dependent instructions.
    __m512i sum[4] = {_mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512(),
                      _mm512_setzero_si512()};
    int8_t* out = wide ? wide + size_t(b / 2) * size_t(kblocks) * 64 : nullptr;
    auto step = [&](int kb, __m512i& s) {
      const int8_t* block = column + size_t(kb) * 32;
      const __m512i v = weight_vector(block, block + high);
      if (out) _mm512_store_si512(out + size_t(kb) * 64, v);
      s = _mm512_dpbusd_epi32(s, ones, v);
    };
    int kb = 0;
    for (; kb + 4 <= kblocks; kb += 4)
      for (int i = 0; i < 4; ++i) step(kb + i, sum[i]);
    for (; kb < kblocks; ++kb) step(kb, sum[0]);
    const __m512i total =
        _mm512_add_epi32(_mm512_add_epi32(sum[0], sum[1]), _mm512_add_epi32(sum[2], sum[3]));
    _mm512_storeu_si512(start + 8 * b, _mm512_sub_epi32(_mm512_setzero_si512(), _mm512_slli_epi32(total, 7)));
  }
  if (bias)
    for (int c = 0; c < 8 * blocks && n0 + c < N; ++c)
      start[c] = int32_t(uint32_t(start[c]) + uint32_t(uint64_t(bias[n0 + c])));
}

// The column group of `blocks` packed blocks from `w` on in the 16-channel layout: column p, k
// block kb at (p x kblocks + kb) x 64. An odd last block fills both halves of its column (the
// upper lanes are never stored).
void widen_group(const int8_t* w, size_t col_bytes, int kblocks, int blocks, int8_t* dst) {
  for (int b = 0; b < blocks; b += 2) {
    const int8_t* column = w + size_t(b) * col_bytes;
    const size_t high = b + 1 < blocks ? col_bytes : 0;
    int8_t* out = dst + size_t(b / 2) * size_t(kblocks) * 64;
    for (int kb = 0; kb < kblocks; ++kb)
      _mm512_store_si512(out + size_t(kb) * 64,
                         weight_vector(column + size_t(kb) * 32, column + size_t(kb) * 32 + high));
  }
}

size_t padded_channels_vnni(int N) {
  const int nblocks = (N + 7) / 8;
  const int groups = (nblocks + 2 * kTileVectors - 1) / (2 * kTileVectors);
  return size_t(groups) * kTileChannels;
}

// Whether the register epilogue can requantise every channel.
bool all_division(const int32_t* mult, const int32_t* shift, int N) {
  for (int n = 0; n < N; ++n)
    if (!requantize_as_division(mult[n], shift[n])) return false;
  return true;
}

void division_tables(const int32_t* mult, const int32_t* shift, int8_t out_zp, int N, size_t padded_channels,
                     DivisionRequant512* division) {
  for (size_t v = 0; v < padded_channels / 16; ++v) {
    const int c0 = int(v) * 16;
    division[v] =
        x86::division_requant_avx512(mult + c0, shift + c0, out_zp, c0 < N ? std::min(16, N - c0) : 0);
  }
}

// The arguments of one gemm_i8_vnni call, shared by the threads that run its parts.
struct VnniCall {
  const int8_t* A;
  const int8_t* packed;
  int M, K, N;
  Sink sink;
  const GemmI8Output* o;
  const int32_t* row_sums;
  int32_t* raw;
  const int8_t* next_packed;
  size_t offset_stride;
  const PreparedWeightsI8* prepared;
  const float* row_scale;
  const float* float_bias;
  bool gelu;
  const ResidualLanes* residual;
  bool amx;  // 16-row blocks of weights in the 16-channel layout go to the tile unit
};

// Rows [m_begin, m_end) by channels [n_begin, n_end) of the call's product (n_begin a multiple of
// 64, a column group), with this thread's working buffers.
void gemm_i8_vnni_part(const VnniCall& call, int m_begin, int m_end, int n_begin, int n_end) {
  const int8_t* const A = call.A;
  const int8_t* const packed = call.packed;
  const int M = call.M, K = call.K, N = call.N;
  const Sink sink = call.sink;
  const GemmI8Output* const o = call.o;
  const int32_t* row_sums = call.row_sums;
  int32_t* const raw = call.raw;
  const size_t offset_stride = call.offset_stride;
  const PreparedWeightsI8* const prepared = call.prepared;
  const float* const row_scale = call.row_scale;
  const float* const float_bias = call.float_bias;
  const bool gelu = call.gelu;
  const int rows_total = m_end - m_begin;
  const int nb_begin = n_begin / 8, nb_end = (n_end + 7) / 8;
  const int kblocks = (K + 3) / 4;
  const size_t a_stride = offset_stride ? offset_stride : size_t(kblocks) * 4;
  const size_t col_bytes = size_t(kblocks) * 32;
  const int nblocks = (N + 7) / 8;
  const int groups = (nblocks + 2 * kTileVectors - 1) / (2 * kTileVectors);
  const size_t padded_channels = size_t(groups) * kTileChannels;

  // Plain activations are offset a chunk of rows at a time, just before the chunk's products, so
  // that the copy stays in cache instead of streaming the whole matrix out and back in.
  // Chunks of equal size in whole row tiles; weights too large for the cache to hold between
  // chunks take chunks as large as the buffer allows.
  const size_t budget =
      size_t(nblocks) * col_bytes > kOffsetChunkBytes * 4 ? kOffsetChunkBytes * 8 : kOffsetChunkBytes;
  const int chunks = int(std::max<size_t>(1, (size_t(rows_total) * a_stride + budget - 1) / budget));
  const int chunk_tile_rows = ((rows_total + chunks - 1) / chunks + kTileRows - 1) / kTileRows;
  const int chunk_rows = offset_stride ? rows_total : std::min(rows_total, chunk_tile_rows * kTileRows);
  uint8_t* offset =
      offset_stride ? nullptr : thread_work<uint8_t>(WorkBuffer::GemmI8Offset, size_t(chunk_rows) * a_stride);

  // The register epilogue needs the bias in the starting values and every channel in division form.
  const bool requantized = sink == Sink::RowMajorI8 || sink == Sink::ChannelMajorI8;
  // Weights prepared at load carry both; otherwise they are derived here.
  const bool use_prepared = prepared && prepared->starts.bytes() >= padded_channels * sizeof(int32_t) &&
                            (requantized || !prepared->division);
  int32_t* start = nullptr;
  const DivisionRequant512* division_data = nullptr;
  bool division = false;
  if (use_prepared) {
    start = const_cast<int32_t*>(prepared->start_values());
    division = requantized && prepared->division;
    if (division) division_data = static_cast<const DivisionRequant512*>(prepared->tables.data());
    row_sums = nullptr;
  } else {
    start = thread_work<int32_t>(WorkBuffer::GemmI8Starts, padded_channels);
    division = requantized && all_division(o->mult, o->shift, N);
    if (division) {
      auto* d = thread_work<DivisionRequant512>(WorkBuffer::GemmI8Division, padded_channels / 16);
      division_tables(o->mult, o->shift, o->out_zp, N, padded_channels, d);
      division_data = d;
    }
  }
  const size_t wide_col = size_t(kblocks) * 64;
  // Weights prepared in the 16-channel layout are read in place (`packed` may then be null).
  const int8_t* const prepared_wide =
      use_prepared && prepared->weights.bytes() >= size_t(nblocks + 1) / 2 * wide_col
          ? static_cast<const int8_t*>(prepared->weights.data())
          : nullptr;
  // Otherwise weights small enough are copied whole, once for all chunks; larger ones a group at
  // a time.
  const bool widen_all = padded_channels / 16 * wide_col <= kWidenAllBytes;
  const bool summing_here = !row_sums && !use_prepared;
  const int widen_min_tiles = summing_here ? kWidenMinRowTilesSumming : kWidenMinRowTiles;
  int8_t* widened =
      prepared_wide || (chunk_rows + kTileRows - 1) / kTileRows < widen_min_tiles
          ? nullptr
          : thread_work<int8_t>(WorkBuffer::GemmI8Wide,
                                (widen_all ? padded_channels / 16 : size_t(kTileVectors)) * wide_col);
  const int64_t* start_bias = division ? o->bias : nullptr;
  // The tile unit takes the k loop in chunks of one tile load; short chunks gain nothing on it.
  const int amx_chunk = call.amx ? x86::amx_chunk_blocks(kblocks) : 0;
  bool amx_started = false;
  // Plain activations in rows of whole k blocks go to the tile unit as they are, signed: no offset
  // copy, and sums that start from the bias alone (when the starting values carry it) instead of
  // from the offset's -128 x weight sums as well. Those starting values are set when first needed.
  const bool amx_plain = !offset_stride && K % 4 == 0;
  int32_t* plain_start = nullptr;
  if (row_sums) {
    for (int n = 0; n < N; ++n) {
      uint32_t s = uint32_t(0) - (uint32_t(row_sums[n]) << 7);
      if (start_bias) s += uint32_t(uint64_t(start_bias[n]));
      start[n] = int32_t(s);
    }
  }

  for (int c0 = m_begin; c0 < m_end; c0 += chunk_rows) {
    const int rows_here = std::min(chunk_rows, m_end - c0);
    const int row_tiles_here = (rows_here + kTileRows - 1) / kTileRows;
    const bool chunk_wide = prepared_wide || (widened && (widen_all || row_tiles_here >= widen_min_tiles));
    // The chunk's first rows, in whole blocks, that the tile unit takes.
    const int amx_rows =
        amx_chunk >= x86::kAmxMinChunk && chunk_wide ? rows_here / x86::kAmxRows * x86::kAmxRows : 0;
    if (amx_rows > 0 && !amx_started) {
      x86::amx_i8_start(amx_chunk);
      amx_started = true;
    }
    // Those rows taken plain; `a` holds the rows from a_first on.
    const int a_first = amx_plain ? amx_rows : 0;
    if (a_first > 0 && !plain_start) {
      plain_start = thread_work<int32_t>(WorkBuffer::GemmI8SignedStarts, padded_channels);
      for (size_t n = 0; n < padded_channels; ++n)
        plain_start[n] = start_bias && n < size_t(N) ? int32_t(uint32_t(uint64_t(start_bias[n]))) : 0;
    }
    const uint8_t* a = reinterpret_cast<const uint8_t*>(A) + size_t(c0) * a_stride;
    if (!offset_stride) {
      offset_activations(A + size_t(c0 + a_first) * size_t(K), rows_here - a_first, K, a_stride, offset);
      a = offset;
    }
    const bool last_chunk = c0 + rows_here == m_end;
    const int chunk_tiles = row_tiles_here * ((nb_end - nb_begin + 7) / (2 * kTileVectors));
    const size_t next_chunk_bytes =
        offset_stride || last_chunk ? 0 : size_t(std::min(chunk_rows, m_end - c0 - rows_here)) * size_t(K);
    for (int nb0 = nb_begin; nb0 < nb_end; nb0 += 2 * kTileVectors) {
      const int blocks = std::min(nb_end - nb0, 2 * kTileVectors);
      const int vectors = (blocks + 1) / 2;
      const int n0 = nb0 * 8;
      const int8_t* w = prepared_wide ? nullptr : packed + size_t(nb0) * col_bytes;
      // A group that many row tiles read is first copied into the 16-channel layout, in cache, so
      // that every tile loads whole vectors instead of joining two blocks per vector.
      const int8_t* tile_w = w;
      size_t tile_col = col_bytes;
      // Weights copied whole serve every chunk, whatever its rows.
      const bool widen = chunk_wide && !prepared_wide;
      int8_t* group_widened = widened && widen_all ? widened + size_t(n0 / 16) * wide_col : widened;
      const bool copy = widen && (c0 == m_begin || !widen_all);
      // Weight sums of this column group just before its row tiles, while its blocks are in cache.
      if (!row_sums && !use_prepared && c0 == m_begin)
        starts_from_blocks(w, col_bytes, kblocks, blocks, start_bias, n0, N, start + n0,
                           copy ? group_widened : nullptr);
      else if (copy)
        widen_group(w, col_bytes, kblocks, blocks, group_widened);
      if (widen) {
        tile_w = group_widened;
        tile_col = wide_col;
      }
      if (prepared_wide) {
        tile_w = prepared_wide + size_t(nb0 / 2) * wide_col;
        tile_col = wide_col;
      }
      const auto& tiles =
          chunk_wide
              ? (division            ? kTiles<Epilogue::Division, true>
                 : sink == Sink::Raw ? kTiles<Epilogue::Raw, true>
                 : sink == Sink::FloatRows
                     ? (gelu ? kTiles<Epilogue::FloatRowsGelu, true> : kTiles<Epilogue::FloatRows, true>)
                     : kTiles<Epilogue::General, true>)
              : (division            ? kTiles<Epilogue::Division, false>
                 : sink == Sink::Raw ? kTiles<Epilogue::Raw, false>
                 : sink == Sink::FloatRows
                     ? (gelu ? kTiles<Epilogue::FloatRowsGelu, false> : kTiles<Epilogue::FloatRows, false>)
                     : kTiles<Epilogue::General, false>);
      const auto& sums_tiles =
          division            ? kSumsTiles<Epilogue::Division>
          : sink == Sink::Raw ? kSumsTiles<Epilogue::Raw>
          : sink == Sink::FloatRows
              ? (gelu ? kSumsTiles<Epilogue::FloatRowsGelu> : kSumsTiles<Epilogue::FloatRows>)
              : kSumsTiles<Epilogue::General>;
      // The next group's weights (or the first group of the next weights) are one contiguous run;
      // each row tile fetches an equal share. With many row tiles the weights come from memory in
      // the first chunk only (later chunks find them in cache), and the hardware prefetcher, which
      // stops at the end of a group, would leave the next group's first reads waiting; except in a
      // call that sums the weights itself, whose one sequential pass over each group it streams.
      const int row_tiles = row_tiles_here;
      const bool last = nb0 + blocks == nb_end;
      // What follows the last group: the first group again for the next chunk of rows.
      const int next_blocks = std::min(last ? nb_end - nb_begin : nb_end - nb0 - blocks, 2 * kTileVectors);
      const char* next = nullptr;
      size_t group_bytes = 0;
      if (prepared_wide) {  // the same run in the 16-channel layout: whole columns of 16
        const int8_t* first = prepared_wide + size_t(nb_begin / 2) * wide_col;
        next = reinterpret_cast<const char*>(last ? (last_chunk ? nullptr : first)
                                                  : prepared_wide + size_t((nb0 + blocks) / 2) * wide_col);
        group_bytes = size_t(next_blocks + 1) / 2 * wide_col;
      } else {
        const int8_t* after = last_chunk ? call.next_packed : packed + size_t(nb_begin) * col_bytes;
        next = reinterpret_cast<const char*>(last ? after : w + size_t(blocks) * col_bytes);
        group_bytes = size_t(next_blocks) * col_bytes;
      }
      const bool fetch_weights =
          row_tiles <= kPrefetchMaxRowTiles || (c0 == m_begin && !last && !summing_here);
      size_t next_bytes = !fetch_weights || !next ? 0 : group_bytes;
      size_t share = std::min((next_bytes / 64 + row_tiles - 1) / row_tiles, size_t(2) * kblocks);
      // Otherwise the tiles of every group fetch a share of the next chunk's plain activations,
      // which the offset copy then finds in cache instead of waiting for memory.
      int tile_base = 0;
      if (next_bytes == 0 && next_chunk_bytes > 0) {
        next = reinterpret_cast<const char*>(A + size_t(c0 + rows_here) * size_t(K));
        next_bytes = next_chunk_bytes;
        share = std::min((next_bytes / 64 + chunk_tiles - 1) / chunk_tiles, size_t(2) * kblocks);
        tile_base = (nb0 - nb_begin) / (2 * kTileVectors) * row_tiles;
      }
      // Lines [first, first + lines) of the share of row tile `tile`.
      auto share_of = [&](int tile, size_t& first) {
        first = size_t(tile) * share;
        return first * 64 < next_bytes ? int(std::min(share, next_bytes / 64 - first)) : 0;
      };
      int m0 = 0, tile = tile_base;
      if (amx_rows > 0) {
        alignas(64) int32_t sums[x86::kAmxRows * kTileChannels];
        for (; m0 < amx_rows; m0 += x86::kAmxRows) {
          // The row tiles this block replaces fetch their shares of what comes next before it.
          for (const int end = tile_base + (m0 + x86::kAmxRows) / kTileRows; tile < end; ++tile) {
            size_t first = 0;
            const int lines = share_of(tile, first);
            for (int l = 0; l < lines; ++l) _mm_prefetch(next + (first + size_t(l)) * 64, _MM_HINT_T1);
          }
          if (a_first > 0)
            x86::amx_i8_block(reinterpret_cast<const uint8_t*>(A) + size_t(c0 + m0) * size_t(K), size_t(K),
                              tile_w, tile_col, kblocks, amx_chunk, vectors, true, sums);
          else
            x86::amx_i8_block(a + size_t(m0) * a_stride, a_stride, tile_w, tile_col, kblocks, amx_chunk,
                              vectors, false, sums);
          for (int r0 = 0; r0 < x86::kAmxRows; r0 += kTileRows) {
            const int rows = std::min(x86::kAmxRows - r0, kTileRows);
            const TileArgs t{nullptr,
                             0,
                             tile_w,
                             tile_col,
                             blocks % 2 ? 0 : col_bytes,
                             kblocks,
                             (a_first > 0 ? plain_start : start) + n0,
                             division ? division_data + n0 / 16 : nullptr,
                             nullptr,
                             0,
                             c0 + m0 + r0,
                             n0,
                             M,
                             N,
                             sink,
                             o,
                             raw,
                             row_scale,
                             float_bias,
                             call.residual};
            sums_tiles[(rows - 1) * kTileVectors + (vectors - 1)](t, sums + size_t(r0) * kTileChannels);
          }
        }
      }
      for (; m0 < rows_here; m0 += kTileRows, ++tile) {
        const int rows = std::min(rows_here - m0, kTileRows);
        size_t first = 0;
        const int lines = share_of(tile, first);
        const TileArgs t{a + size_t(m0 - a_first) * a_stride,
                         a_stride,
                         tile_w,
                         tile_col,
                         blocks % 2 ? 0 : col_bytes,
                         kblocks,
                         start + n0,
                         division ? division_data + n0 / 16 : nullptr,
                         lines > 0 ? next + first * 64 : nullptr,
                         lines,
                         c0 + m0,
                         n0,
                         M,
                         N,
                         sink,
                         o,
                         raw,
                         row_scale,
                         float_bias,
                         call.residual};
        tiles[(rows - 1) * kTileVectors + (vectors - 1)](t);
      }
    }
  }
  if (amx_started) x86::amx_i8_stop();
}

// Who computes a call's sums: the VNNI registers, or (the *_avx512amx entries) the tile unit for
// its blocks of 16 rows.
enum class Tiles { Vnni, Amx };

// next_packed: weights of the same shape that the caller multiplies next (or null); the last
// column group prefetches their first group. offset_stride: 0 when A holds plain activations in rows
// of K bytes; otherwise A holds them offset already, rows offset_stride bytes apart (a multiple of
// 4, at least K; the bytes past K meet zero weights).
void gemm_i8_vnni(const int8_t* A, const int8_t* packed, int M, int K, int N, Sink sink,
                  const GemmI8Output* o, const int32_t* row_sums, int32_t* raw, Tiles tiles,
                  const int8_t* next_packed = nullptr, size_t offset_stride = 0,
                  const PreparedWeightsI8* prepared = nullptr, const float* row_scale = nullptr,
                  const float* float_bias = nullptr, bool gelu = false,
                  const ResidualLanes* residual = nullptr) {
  if (M <= 0 || N <= 0 || K <= 0) return;
  const VnniCall call{
      A,           packed,        M,        K,         N,          sink, o,        row_sums,           raw,
      next_packed, offset_stride, prepared, row_scale, float_bias, gelu, residual, tiles == Tiles::Amx};
  parallel_gemm_i8(M, N, K, kTileRows, kTileChannels, [&](int m_begin, int m_end, int n_begin, int n_end) {
    gemm_i8_vnni_part(call, m_begin, m_end, n_begin, n_end);
  });
}

void prepared_product(const int8_t* A, size_t offset_stride, const int8_t* packed, const int64_t* bias,
                      const int32_t* mult, const int32_t* shift, const float* scale, int8_t out_zp, void* out,
                      bool float_out, int M, int K, int N, bool channel_major, const int32_t* row_sums,
                      const PreparedWeightsI8* prepared, Tiles tiles) {
  const GemmI8Output o{bias, mult, shift, scale, out_zp, out, float_out, channel_major, M, N};
  const Sink sink = channel_major ? Sink::ChannelMajorI8 : (float_out ? Sink::Float : Sink::RowMajorI8);
  gemm_i8_vnni(A, packed, M, K, N, sink, &o, row_sums, nullptr, tiles, nullptr, offset_stride, prepared);
}

void add_product(const int8_t* A, const int8_t* packed, const PreparedWeightsI8* prepared,
                 const int64_t* bias, const int32_t* mult, const int32_t* shift, int8_t out_zp, int8_t* out,
                 int M, int K, int N, const ResidualAddI8& residual, Tiles tiles) {
  const GemmI8Output o{bias, mult, shift, nullptr, out_zp, out, false, false, M, N};
  const ResidualLanes lanes{residual.other,
                            x86::add_q12_lanes(residual.own_weight, residual.other_weight, residual.bias)};
  gemm_i8_vnni(A, packed, M, K, N, Sink::RowMajorI8, &o, nullptr, nullptr, tiles, nullptr, 0, prepared,
               nullptr, nullptr, false, &lanes);
}

void rows_f32_product(const int8_t* A, const int8_t* packed, const PreparedWeightsI8* prepared,
                      const float* scale, const float* row_scale, const float* bias, float* out, int M, int K,
                      int N, bool gelu, Tiles tiles) {
  const GemmI8Output o{nullptr, nullptr, nullptr, scale, 0, out, true, false, M, N};
  gemm_i8_vnni(A, packed, M, K, N, Sink::FloatRows, &o, nullptr, nullptr, tiles, nullptr, 0, prepared,
               row_scale, bias, gelu);
}

}  // namespace

// The table's callers may pass any row sums: exactness never rests on them here.
void gemm_i8_avx512vnni(const int8_t* A, const int8_t* packed, const int64_t* bias, const int32_t* mult,
                        const int32_t* shift, const float* scale, int8_t out_zp, void* out, bool float_out,
                        int M, int K, int N, bool channel_major, const int32_t*, void*) {
  prepared_product(A, 0, packed, bias, mult, shift, scale, out_zp, out, float_out, M, K, N, channel_major,
                   nullptr, nullptr, Tiles::Vnni);
}

void gemm_i8_raw_avx512vnni(const int8_t* A, const int8_t* packed, int32_t* out, int M, int K, int N) {
  gemm_i8_vnni(A, packed, M, K, N, Sink::Raw, nullptr, nullptr, out, Tiles::Vnni);
}

void gemm_i8_raw_prepared_avx512vnni(const int8_t* A, size_t offset_stride, const int8_t* packed,
                                     int32_t* out, int M, int K, int N, const int32_t* row_sums,
                                     const int8_t* next_packed) {
  gemm_i8_vnni(A, packed, M, K, N, Sink::Raw, nullptr, row_sums, out, Tiles::Vnni, next_packed,
               offset_stride);
}

void gemm_i8_prepared_avx512vnni(const int8_t* A, size_t offset_stride, const int8_t* packed,
                                 const int64_t* bias, const int32_t* mult, const int32_t* shift,
                                 const float* scale, int8_t out_zp, void* out, bool float_out, int M, int K,
                                 int N, bool channel_major, const int32_t* row_sums,
                                 const PreparedWeightsI8* prepared) {
  prepared_product(A, offset_stride, packed, bias, mult, shift, scale, out_zp, out, float_out, M, K, N,
                   channel_major, row_sums, prepared, Tiles::Vnni);
}

void gemm_i8_add_avx512vnni(const int8_t* A, const int8_t* packed, const PreparedWeightsI8* prepared,
                            const int64_t* bias, const int32_t* mult, const int32_t* shift, int8_t out_zp,
                            int8_t* out, int M, int K, int N, const ResidualAddI8& residual) {
  add_product(A, packed, prepared, bias, mult, shift, out_zp, out, M, K, N, residual, Tiles::Vnni);
}

void gemm_i8_rows_f32_avx512vnni(const int8_t* A, const int8_t* packed, const PreparedWeightsI8* prepared,
                                 const float* scale, const float* row_scale, const float* bias, float* out,
                                 int M, int K, int N, bool gelu) {
  rows_f32_product(A, packed, prepared, scale, row_scale, bias, out, M, K, N, gelu, Tiles::Vnni);
}

void gemm_i8_avx512amx(const int8_t* A, const int8_t* packed, const int64_t* bias, const int32_t* mult,
                       const int32_t* shift, const float* scale, int8_t out_zp, void* out, bool float_out,
                       int M, int K, int N, bool channel_major, const int32_t*, void*) {
  prepared_product(A, 0, packed, bias, mult, shift, scale, out_zp, out, float_out, M, K, N, channel_major,
                   nullptr, nullptr, Tiles::Amx);
}

void gemm_i8_raw_avx512amx(const int8_t* A, const int8_t* packed, int32_t* out, int M, int K, int N) {
  gemm_i8_vnni(A, packed, M, K, N, Sink::Raw, nullptr, nullptr, out, Tiles::Amx);
}

void gemm_i8_raw_prepared_avx512amx(const int8_t* A, size_t offset_stride, const int8_t* packed, int32_t* out,
                                    int M, int K, int N, const int32_t* row_sums, const int8_t* next_packed) {
  gemm_i8_vnni(A, packed, M, K, N, Sink::Raw, nullptr, row_sums, out, Tiles::Amx, next_packed, offset_stride);
}

void gemm_i8_prepared_avx512amx(const int8_t* A, size_t offset_stride, const int8_t* packed,
                                const int64_t* bias, const int32_t* mult, const int32_t* shift,
                                const float* scale, int8_t out_zp, void* out, bool float_out, int M, int K,
                                int N, bool channel_major, const int32_t* row_sums,
                                const PreparedWeightsI8* prepared) {
  prepared_product(A, offset_stride, packed, bias, mult, shift, scale, out_zp, out, float_out, M, K, N,
                   channel_major, row_sums, prepared, Tiles::Amx);
}

void gemm_i8_add_avx512amx(const int8_t* A, const int8_t* packed, const PreparedWeightsI8* prepared,
                           const int64_t* bias, const int32_t* mult, const int32_t* shift, int8_t out_zp,
                           int8_t* out, int M, int K, int N, const ResidualAddI8& residual) {
  add_product(A, packed, prepared, bias, mult, shift, out_zp, out, M, K, N, residual, Tiles::Amx);
}

void gemm_i8_rows_f32_avx512amx(const int8_t* A, const int8_t* packed, const PreparedWeightsI8* prepared,
                                const float* scale, const float* row_scale, const float* bias, float* out,
                                int M, int K, int N, bool gelu) {
  rows_f32_product(A, packed, prepared, scale, row_scale, bias, out, M, K, N, gelu, Tiles::Amx);
}

void prepare_weights_i8_avx512vnni(const int8_t* packed, int rows, int cols, const int64_t* bias,
                                   const int32_t* mult, const int32_t* shift, int8_t out_zp, bool requantized,
                                   int format, PreparedWeightsI8& out) {
  out = PreparedWeightsI8{};
  out.format = format;
  count_weight_preparation();
  if (rows <= 0 || cols <= 0 || !packed) return;
  const size_t padded = padded_channels_vnni(rows);
  out.division = requantized && mult && shift && all_division(mult, shift, rows);
  out.starts.assign_zeros(padded * sizeof(int32_t));
  auto* start = static_cast<int32_t*>(out.starts.data());
  const int kblocks = (cols + 3) / 4, nblocks = (rows + 7) / 8;
  const size_t col_bytes = size_t(kblocks) * 32;
  // The requantising products (a convolution's) keep the weights in the 16-channel layout as well,
  // in place of the packed blocks their layer then drops: no product copies or joins blocks.
  const size_t wide_col = size_t(kblocks) * 64;
  int8_t* wide = nullptr;
  if (requantized) {
    out.weights.assign_zeros(size_t(nblocks + 1) / 2 * wide_col);
    wide = static_cast<int8_t*>(out.weights.data());
  }
  // Whole 16-channel pairs of blocks, as the product reads them.
  for (int nb0 = 0; nb0 < nblocks; nb0 += 2 * kTileVectors) {
    const int blocks = std::min(nblocks - nb0, 2 * kTileVectors);
    starts_from_blocks(packed + size_t(nb0) * col_bytes, col_bytes, kblocks, blocks,
                       out.division ? bias : nullptr, nb0 * 8, rows, start + nb0 * 8,
                       wide ? wide + size_t(nb0 / 2) * wide_col : nullptr);
  }
  if (out.division) {
    out.tables.assign_zeros(padded / 16 * sizeof(DivisionRequant512));
    division_tables(mult, shift, out_zp, rows, padded, static_cast<DivisionRequant512*>(out.tables.data()));
  }
}

}  // namespace trevalon
