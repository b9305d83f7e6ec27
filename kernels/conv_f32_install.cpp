// Fills the float convolution slots of the CPU table: portable code first, then the tier's
// Winograd transforms (the products themselves come from the table's gemm_f32 of the same tier).
#include "backend/cpu_backend.h"
#include "kernels/conv2d_f32.h"
#include "kernels/winograd_f32.h"

namespace trevalon {

void install_conv_f32_kernels(KernelTable& table, CpuTier tier) {
  table.conv2d_f32 = &conv2d_f32;
  table.conv2d_f32_winograd = &conv2d_f32_winograd_portable;
#ifndef TREVALON_PORTABLE
  if (tier >= CpuTier::Avx2) table.conv2d_f32_winograd = &conv2d_f32_winograd_avx2;
  if (tier >= CpuTier::Avx512) {
    table.conv2d_f32 = &conv2d_f32_avx512;
    table.conv2d_f32_winograd = &conv2d_f32_winograd_avx512;
  }
#else
  (void)tier;
#endif
}

}  // namespace trevalon
