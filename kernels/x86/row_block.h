// The rows of a block that a lane type V runs one row per lane. Included only by ISA files, after
// their lane type.
#pragma once

#include <cstddef>

namespace trevalon {
namespace {

// Rows of a block of up to V::kWidth rows; lanes past the last row repeat it (computed, never
// stored), so a short block needs no scalar path.
template <class V>
struct RowBlock {
  const float* row[V::kWidth];
  int count;

  RowBlock(const float* in, int first, int rows, int cols) {
    count = rows - first < V::kWidth ? rows - first : V::kWidth;
    for (int j = 0; j < V::kWidth; ++j)
      row[j] = in + size_t(first + (j < count ? j : count - 1)) * size_t(cols);
  }
};

// A vector of the first n (1..V::kWidth) floats at p, the other lanes zero.
template <class V>
inline typename V::F load_part(const float* p, int n) {
  return n == V::kWidth ? V::load(p) : V::load_first(p, n);
}

}  // namespace
}  // namespace trevalon
