// Fills the causal attention slot of the CPU table: portable code, then AVX2 or AVX-512.
#include "backend/cpu_backend.h"
#include "kernels/causal_attention.h"

namespace trevalon {

void install_causal_attention_kernels(KernelTable& table, CpuTier tier) {
  table.causal_attn_core_f32 = causal_attn_core_f32_portable;
#ifndef TREVALON_PORTABLE
  if (tier >= CpuTier::Avx512)
    table.causal_attn_core_f32 = causal_attn_core_f32_avx512;
  else if (tier >= CpuTier::Avx2)
    table.causal_attn_core_f32 = causal_attn_core_f32_avx2;
#else
  (void)tier;
#endif
}

}  // namespace trevalon
