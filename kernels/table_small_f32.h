// Small float kernels of the table that belong to no layer family: in-place add and row gather.
#pragma once

namespace trevalon {

// a[i] += b[i] for i < count.
void add_inplace_f32(float* a, const float* b, int count);
// Output row i = table row clamp(int(indices[i]), 0, rows - 1); nothing is written when rows <= 0.
void embedding_gather_f32(const float* indices, const float* table, float* out, int count, int rows,
                          int row_len);

}  // namespace trevalon
