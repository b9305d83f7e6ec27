// Fills the sequence shaping slots of the CPU table: row copies, and the channel sum in portable
// code, then AVX2 or AVX-512.
#include "backend/cpu_backend.h"
#include "kernels/sequence_shaping_f32.h"

namespace trevalon {

void install_sequence_shaping_kernels(KernelTable& table, CpuTier tier) {
  table.concat1d_f32 = concat1d_f32_portable;  // plain copies: no ISA variant
  table.slice_channels_f32 = slice_channels_f32_portable;
  table.sum_channels_f32 = sum_channels_f32_portable;
#ifndef TREVALON_PORTABLE
  if (tier >= CpuTier::Avx512)
    table.sum_channels_f32 = sum_channels_f32_avx512;
  else if (tier >= CpuTier::Avx2)
    table.sum_channels_f32 = sum_channels_f32_avx2;
#else
  (void)tier;
#endif
}

}  // namespace trevalon
