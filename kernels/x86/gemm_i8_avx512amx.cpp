// The int8 product's 16-row blocks on the tile unit. Tile registers 0-3 hold the sums of four
// columns of 16 channels, 4 the activations of one k chunk, 5-7 the weights. The weights in the
// 16-channel layout are already what a tile multiply reads as its second operand: k block kb of
// a column is 16 channels x 4 bytes at kb x 64. Activations are the offset (unsigned) bytes the
// VNNI tiles read, or the plain signed ones (tdpbssd), whose sums then lack the offset's
// 128 x weight sum; the caller starts them accordingly. Sums wrap in 32 bits as the VNNI lanes
// do, so the bits equal theirs in any order.
//
// GCC 12's tile intrinsics are asm statements that do not tell the compiler which memory they read
// or write: the configuration is loaded through an asm with the structure as its operand (through
// the intrinsic its stores were dropped as dead), and memory barriers frame each block.
#include <immintrin.h>

#include <cstring>

#include "kernels/x86/gemm_i8_amx.h"

namespace trevalon::x86 {
namespace {

struct TileConfig {
  uint8_t palette;
  uint8_t start_row;
  uint8_t reserved[14];
  uint16_t bytes_per_row[16];
  uint8_t rows[16];
};

// Sums tile S += activations (tile 4) x weights tile W. Written out: the intrinsics paste their
// arguments' text into the register names, which a template parameter's name would not fit.
template <bool Signed, int S, int W>
inline void multiply() {
  if constexpr (Signed)
    __asm__ volatile("tdpbssd %%tmm%c1, %%tmm4, %%tmm%c0" : : "i"(S), "i"(W));
  else
    __asm__ volatile("tdpbusd %%tmm%c1, %%tmm4, %%tmm%c0" : : "i"(S), "i"(W));
}

template <int V, bool Signed>
void block(const uint8_t* a, size_t a_stride, const int8_t* w, size_t wide_col, int chunks, int chunk,
           int32_t* sums) {
  __asm__ volatile("" ::: "memory");
  _tile_zero(0);
  if constexpr (V > 1) _tile_zero(1);
  if constexpr (V > 2) _tile_zero(2);
  if constexpr (V > 3) _tile_zero(3);
  const size_t a_step = size_t(chunk) * 4, w_step = size_t(chunk) * 64;
  for (int c = 0; c < chunks; ++c, a += a_step, w += w_step) {
    _tile_loadd(4, a, a_stride);
    _tile_loadd(5, w, 64);
    if constexpr (V > 1) _tile_loadd(6, w + wide_col, 64);
    if constexpr (V > 2) _tile_loadd(7, w + 2 * wide_col, 64);
    multiply<Signed, 0, 5>();
    if constexpr (V > 1) multiply<Signed, 1, 6>();
    if constexpr (V > 2) multiply<Signed, 2, 7>();
    if constexpr (V > 3) {
      _tile_loadd(5, w + 3 * wide_col, 64);
      multiply<Signed, 3, 5>();
    }
  }
  constexpr size_t kRowBytes = 64 * sizeof(int32_t);
  _tile_stored(0, sums, kRowBytes);
  if constexpr (V > 1) _tile_stored(1, sums + 16, kRowBytes);
  if constexpr (V > 2) _tile_stored(2, sums + 32, kRowBytes);
  if constexpr (V > 3) _tile_stored(3, sums + 48, kRowBytes);
  __asm__ volatile("" ::: "memory");
}

}  // namespace

int amx_chunk_blocks(int kblocks) {
  for (int chunk = 16; chunk > 1; --chunk)
    if (kblocks % chunk == 0) return chunk;
  return 1;
}

void amx_i8_start(int chunk) {
  TileConfig config;
  std::memset(&config, 0, sizeof config);
  config.palette = 1;
  for (int t = 0; t < 4; ++t) {  // sums: 16 rows of 16 int32
    config.rows[t] = kAmxRows;
    config.bytes_per_row[t] = 64;
  }
  config.rows[4] = kAmxRows;  // activations: 16 rows of one chunk
  config.bytes_per_row[4] = uint16_t(chunk * 4);
  for (int t = 5; t < 8; ++t) {  // weights: one k block of 16 channels per row
    config.rows[t] = uint8_t(chunk);
    config.bytes_per_row[t] = 64;
  }
  __asm__ volatile("ldtilecfg %0" : : "m"(config));
}

void amx_i8_stop() { _tile_release(); }

void amx_i8_block(const uint8_t* a, size_t a_stride, const int8_t* w, size_t wide_col, int kblocks, int chunk,
                  int vectors, bool signed_a, int32_t* sums) {
  using Block = void (*)(const uint8_t*, size_t, const int8_t*, size_t, int, int, int32_t*);
  static constexpr Block kUnsigned[4] = {&block<1, false>, &block<2, false>, &block<3, false>,
                                         &block<4, false>};
  static constexpr Block kSigned[4] = {&block<1, true>, &block<2, true>, &block<3, true>, &block<4, true>};
  (signed_a ? kSigned : kUnsigned)[vectors - 1](a, a_stride, w, wide_col, kblocks / chunk, chunk, sums);
}

}  // namespace trevalon::x86
