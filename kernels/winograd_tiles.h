// Where a Winograd F(2x2, 3x3) tile reads its input: the float and int8 transforms of every tier
// gather a tile's 4x4 patch through this one function.
#pragma once

#include <cstddef>

namespace trevalon {
namespace {  // each including file gets its own copy, compiled with that file's ISA flags

// The 16 pixels (row-major) of the 4x4 patch of tile (ty, tx) of a channels-fastest image of C
// channels: the patch starts one row and one column before the tile's 2x2 outputs. A pixel
// outside the image is null. True when all 16 lie inside.
template <class T>
inline bool winograd_tile_pixels(const T* input, int C, int H, int W, int ty, int tx, const T* pixel[16]) {
  bool interior = true;
  for (int y = 0; y < 4; ++y) {
    const int iy = 2 * ty - 1 + y;
    for (int x = 0; x < 4; ++x) {
      const int ix = 2 * tx - 1 + x;
      const bool inside = iy >= 0 && iy < H && ix >= 0 && ix < W;
      pixel[4 * y + x] = inside ? input + (size_t(iy) * size_t(W) + size_t(ix)) * size_t(C) : nullptr;
      interior = interior && inside;
    }
  }
  return interior;
}

}  // namespace
}  // namespace trevalon
