// Fills the element-wise slots of the CPU table (add, int8 add, product, scale, snake, upsampling):
// portable code, then AVX2 or AVX-512.
#include "backend/cpu_backend.h"
#include "kernels/elementwise_f32.h"
#include "kernels/elementwise_i8.h"

namespace trevalon {

void install_elementwise_kernels(KernelTable& table, CpuTier tier) {
  table.add_f32 = add_f32_portable;
  table.add_i8 = add_i8_portable;
  table.scale_f32 = scale_f32_portable;
  table.elemwise_mul_f32 = elemwise_mul_f32_portable;
  table.snake_f32 = snake_f32_portable;
  table.upsample_nearest1d_f32 = upsample_nearest1d_f32_portable;  // plain copies: no ISA variant
  table.upsample_bilinear_f32 = upsample_bilinear_f32_portable;
#ifndef TREVALON_PORTABLE
  if (tier >= CpuTier::Avx512) {
    table.add_f32 = add_f32_avx512;
    table.add_i8 = add_i8_avx512;
    table.scale_f32 = scale_f32_avx512;
    table.elemwise_mul_f32 = elemwise_mul_f32_avx512;
    table.snake_f32 = snake_f32_avx512;
    table.upsample_bilinear_f32 = upsample_bilinear_f32_avx512;
  } else if (tier >= CpuTier::Avx2) {
    table.add_f32 = add_f32_avx2;
    table.add_i8 = add_i8_avx2;
    table.scale_f32 = scale_f32_avx2;
    table.elemwise_mul_f32 = elemwise_mul_f32_avx2;
    table.snake_f32 = snake_f32_avx2;
    table.upsample_bilinear_f32 = upsample_bilinear_f32_avx2;
  }
#else
  (void)tier;
#endif
}

}  // namespace trevalon
