// Fills the element-wise slots of the CPU table (add, int8 add, product, scale, snake, upsampling):
// portable code, then AVX2 or AVX-512.
#include "backend/cpu_backend.h"
#include "kernels/elementwise_f32.h"
#include "kernels/elementwise_i8.h"
#include "kernels/thread_pool.h"
#include "kernels/work_split.h"

namespace trevalon {
namespace {

// The float slots split their outputs between threads: element ranges starting on multiples of 64
// (every lane computes alone), or whole rows of positions (snake's first 4*floor(C/4) channels of a
// row take the polynomial, whichever range the row is in).
template <auto Kernel>
void add_split(const float* a, const float* b, float* out, int count, bool relu, void* stream) {
  parallel_for(size_t(count > 0 ? count : 0), 64, kSplitValues, [&](size_t i, size_t e) {
    Kernel(a + i, b ? b + i : nullptr, out + i, int(e - i), relu, stream);
  });
}

template <auto Kernel>
void scale_split(const float* in, float* out, int count, float scalar) {
  parallel_for(size_t(count > 0 ? count : 0), 64, kSplitValues,
               [&](size_t i, size_t e) { Kernel(in + i, out + i, int(e - i), scalar); });
}

template <auto Kernel>
void mul_split(const float* a, const float* b, float* out, int count) {
  parallel_for(size_t(count > 0 ? count : 0), 64, kSplitValues,
               [&](size_t i, size_t e) { Kernel(a + i, b + i, out + i, int(e - i)); });
}

template <auto Kernel>
void snake_split(const float* in, float* out, const float* alpha, const float* inv, int positions, int C,
                 void* stream) {
  if (positions <= 0 || C <= 0) return;
  parallel_for(size_t(positions), 1, rows_of_values(C, kSplitTranscendentals), [&](size_t p, size_t e) {
    Kernel(in + p * size_t(C), out + p * size_t(C), alpha, inv, int(e - p), C, stream);
  });
}

void upsample_nearest1d_split(const float* in, float* out, int rows, int row_len, int factor, void* stream) {
  if (rows <= 0 || row_len <= 0 || factor <= 0) return;
  const size_t out_row = size_t(row_len) * size_t(factor);
  parallel_for(size_t(rows), 1, rows_of_values(long(out_row)), [&](size_t r, size_t e) {
    upsample_nearest1d_f32_portable(in + r * size_t(row_len), out + r * out_row, int(e - r), row_len, factor,
                                    stream);
  });
}

}  // namespace

void install_elementwise_kernels(KernelTable& table, CpuTier tier) {
  table.add_f32 = add_split<add_f32_portable>;
  table.add_i8 = add_i8_portable;
  table.scale_f32 = scale_split<scale_f32_portable>;
  table.elemwise_mul_f32 = mul_split<elemwise_mul_f32_portable>;
  table.snake_f32 = snake_split<snake_f32_portable>;
  table.upsample_nearest1d_f32 = upsample_nearest1d_split;  // plain copies: no ISA variant
  table.upsample_bilinear_f32 = upsample_bilinear_f32_portable;
#ifndef TREVALON_PORTABLE
  if (tier >= CpuTier::Avx512) {
    table.add_f32 = add_split<add_f32_avx512>;
    table.add_i8 = add_i8_avx512;
    table.scale_f32 = scale_split<scale_f32_avx512>;
    table.elemwise_mul_f32 = mul_split<elemwise_mul_f32_avx512>;
    table.snake_f32 = snake_split<snake_f32_avx512>;
    table.upsample_bilinear_f32 = upsample_bilinear_f32_avx512;
  } else if (tier >= CpuTier::Avx2) {
    table.add_f32 = add_split<add_f32_avx2>;
    table.add_i8 = add_i8_avx2;
    table.scale_f32 = scale_split<scale_f32_avx2>;
    table.elemwise_mul_f32 = mul_split<elemwise_mul_f32_avx2>;
    table.snake_f32 = snake_split<snake_f32_avx2>;
    table.upsample_bilinear_f32 = upsample_bilinear_f32_avx2;
  }
#else
  (void)tier;
#endif
}

}  // namespace trevalon
