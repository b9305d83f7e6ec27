// In-place add and the clamped row gather.
#include "kernels/table_small_f32.h"

#include <cmath>
#include <cstddef>
#include <cstring>

namespace trevalon {

void add_inplace_f32(float* a, const float* b, int count) {
  int i = 0;
  for (; i + 4 <= count; i += 4) {
    a[i] += b[i];
    a[i + 1] += b[i + 1];
    a[i + 2] += b[i + 2];
    a[i + 3] += b[i + 3];
  }
  for (; i < count; ++i) a[i] += b[i];
}

void embedding_gather_f32(const float* indices, const float* table, float* out, int count, int rows,
                          int row_len) {
  if (count <= 0 || rows <= 0 || row_len <= 0) return;
  for (int i = 0; i < count; ++i) {
    // Compare before converting: a float outside the int range (or NaN) has no int value.
    const float f = indices[i];
    int row = 0;
    if (f >= float(rows)) {
      row = rows - 1;
    } else if (f > 0.0f) {
      row = static_cast<int>(f);  // truncation toward zero
    }
    std::memcpy(out + size_t(i) * size_t(row_len), table + size_t(row) * size_t(row_len),
                size_t(row_len) * sizeof(float));
  }
}

}  // namespace trevalon
