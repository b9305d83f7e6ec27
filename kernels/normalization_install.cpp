// Fills the normalisation slots of the CPU table: portable code, then AVX2 or AVX-512.
#include "backend/cpu_backend.h"
#include "kernels/normalization.h"

namespace trevalon {

void install_normalization_kernels(KernelTable& table, CpuTier tier) {
  table.rms_norm_f32 = rms_norm_f32_portable;
  table.layer_norm_f32 = layer_norm_f32_portable;
  table.ada_in1d_f32 = ada_in1d_f32_portable;
  table.ada_layer_norm_f32 = ada_layer_norm_f32_portable;
#ifndef TREVALON_PORTABLE
  if (tier >= CpuTier::Avx512) {
    table.rms_norm_f32 = rms_norm_f32_avx512;
    table.layer_norm_f32 = layer_norm_f32_avx512;
    table.ada_in1d_f32 = ada_in1d_f32_avx512;
    table.ada_layer_norm_f32 = ada_layer_norm_f32_avx512;
  } else if (tier >= CpuTier::Avx2) {
    table.rms_norm_f32 = rms_norm_f32_avx2;
    table.layer_norm_f32 = layer_norm_f32_avx2;
    table.ada_in1d_f32 = ada_in1d_f32_avx2;
    table.ada_layer_norm_f32 = ada_layer_norm_f32_avx2;
  }
#else
  (void)tier;
#endif
}

}  // namespace trevalon
