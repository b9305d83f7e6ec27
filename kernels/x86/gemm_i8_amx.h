// The int8 product's inner blocks on the tile unit: 16 rows by up to 64 channels of exact int32
// sums, read from the operands the VNNI product already holds (activations offset to unsigned,
// weights in the 16-channel layout). The VNNI file keeps every epilogue; only the sums move.
#pragma once

#include <cstddef>
#include <cstdint>

namespace trevalon::x86 {

constexpr int kAmxRows = 16;

// The largest number of 4-byte k blocks, at most 16, that divides `kblocks`: one tile load of
// activations covers that many. Blocks of fewer than kAmxMinChunk k blocks stay on VNNI.
int amx_chunk_blocks(int kblocks);
constexpr int kAmxMinChunk = 4;

// Configures this thread's tile registers for chunks of `chunk` k blocks; amx_i8_stop releases
// them. Every amx_i8_block call lies between the two, on the same thread.
void amx_i8_start(int chunk);
void amx_i8_stop();

// sums[r][c] (rows of 64 int32, 16 rows) = sum over k of a[r][k] x w[c][k] for the `vectors`
// columns of 16 channels from w on (wide_col bytes apart, k block kb of a column at kb x 64), over
// kblocks k blocks in chunks of `chunk`. a: 16 rows a_stride apart of bytes read as unsigned (the
// offset activations), or with `signed_a` as signed (plain activations, no offset copy needed).
void amx_i8_block(const uint8_t* a, size_t a_stride, const int8_t* w, size_t wide_col, int kblocks, int chunk,
                  int vectors, bool signed_a, int32_t* sums);

}  // namespace trevalon::x86
