// Portable sequence shaping kernels: row copies for concatenation and slicing, and the channel sum.
#include "kernels/sequence_shaping_f32.h"

#include <cstddef>
#include <cstring>

namespace trevalon {

void concat1d_f32_portable(const float* first, const float* second, float* out, int positions, int C1, int C2,
                           bool broadcast, void*) {
  if (positions <= 0 || C1 < 0 || C2 < 0) return;
  const size_t width = size_t(C1) + size_t(C2);
  shaping_rows_parallel(positions, width, [&](int begin, int end) {
    for (int t = begin; t < end; ++t) {
      float* y = out + size_t(t) * width;
      if (C1) std::memcpy(y, first + size_t(t) * size_t(C1), size_t(C1) * sizeof(float));
      const float* tail = second + (broadcast ? 0 : size_t(t) * size_t(C2));
      if (C2) std::memcpy(y + C1, tail, size_t(C2) * sizeof(float));
    }
  });
}

void slice_channels_f32_portable(const float* in, float* out, int positions, int C, int start, int count,
                                 void*) {
  if (positions <= 0 || count <= 0) return;
  shaping_rows_parallel(positions, size_t(count), [&](int begin, int end) {
    for (int t = begin; t < end; ++t)
      std::memcpy(out + size_t(t) * size_t(count), in + size_t(t) * size_t(C) + size_t(start),
                  size_t(count) * sizeof(float));
  });
}

namespace {

void sum_rows(const float* in, float* out, int positions, int C) {
  for (int t = 0; t < positions; ++t) {
    if (C <= 0) {
      out[t] = 0.0f;
      continue;
    }
    const float* x = in + size_t(t) * size_t(C);
    float p[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    int c = 0;
    for (; c + 4 <= C; c += 4)
      for (int j = 0; j < 4; ++j) p[j] += x[c + j];
    float s = ((p[0] + p[1]) + p[2]) + p[3];
    for (; c < C; ++c) s += x[c];
    out[t] = s;
  }
}

}  // namespace

void sum_channels_f32_portable(const float* in, float* out, int positions, int C, void*) {
  shaping_rows_parallel(positions, size_t(C > 0 ? C : 0), [&](int begin, int end) {
    sum_rows(in + size_t(begin) * size_t(C > 0 ? C : 0), out + begin, end - begin, C);
  });
}

}  // namespace trevalon
