// In-place add and the clamped row gather.
#include "kernels/table_small_f32.h"

#include <cmath>
#include <cstddef>
#include <cstring>

#include "kernels/thread_pool.h"
#include "kernels/work_split.h"

namespace trevalon {

void add_inplace_f32(float* a, const float* b, int count) {
  parallel_for(size_t(count > 0 ? count : 0), 64, kSplitValues, [&](size_t begin, size_t end) {
    size_t i = begin;
    for (; i + 4 <= end; i += 4) {
      a[i] += b[i];
      a[i + 1] += b[i + 1];
      a[i + 2] += b[i + 2];
      a[i + 3] += b[i + 3];
    }
    for (; i < end; ++i) a[i] += b[i];
  });
}

void embedding_gather_f32(const float* indices, const float* table, float* out, int count, int rows,
                          int row_len) {
  if (count <= 0 || rows <= 0 || row_len <= 0) return;
  parallel_for(size_t(count), 1, rows_of_values(row_len), [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      // Compare before converting: a float outside the int range (or NaN) has no int value.
      const float f = indices[i];
      int row = 0;
      if (f >= float(rows)) {
        row = rows - 1;
      } else if (f > 0.0f) {
        row = static_cast<int>(f);  // truncation toward zero
      }
      std::memcpy(out + i * size_t(row_len), table + size_t(row) * size_t(row_len),
                  size_t(row_len) * sizeof(float));
    }
  });
}

}  // namespace trevalon
