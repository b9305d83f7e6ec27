// Fills the pooling slots of the CPU table: portable code, then AVX2 or AVX-512.
#include "backend/cpu_backend.h"
#include "kernels/pooling.h"

namespace trevalon {

void install_pooling_kernels(KernelTable& table, CpuTier tier) {
  table.maxpool_f32 = maxpool_f32_portable;
  table.maxpool_i8 = maxpool_i8_portable;
  table.maxpool_i8_direct = maxpool_i8_portable;  // the general kernel serves 3x3 stride 2 as well
  table.avgpool_f32 = avgpool_f32_portable;
  table.avgpool_i8 = avgpool_i8_portable;
  table.avgpool_i8_to_i8 = avgpool_i8_to_i8_portable;
#ifndef TREVALON_PORTABLE
  if (tier >= CpuTier::Avx2) {
    table.avgpool_i8 = avgpool_i8_avx2;
    table.avgpool_i8_to_i8 = avgpool_i8_to_i8_avx2;
  }
  if (tier >= CpuTier::Avx512) {
    table.maxpool_f32 = maxpool_f32_avx512;
    table.maxpool_i8 = maxpool_i8_avx512;
    table.maxpool_i8_direct = maxpool_i8_avx512;
    table.avgpool_f32 = avgpool_f32_avx512;
  } else if (tier >= CpuTier::Avx2) {
    table.maxpool_f32 = maxpool_f32_avx2;
    table.maxpool_i8 = maxpool_i8_avx2;
    table.maxpool_i8_direct = maxpool_i8_avx2;
    table.avgpool_f32 = avgpool_f32_avx2;
  }
#else
  (void)tier;
#endif
}

}  // namespace trevalon
