// Which x86 vector extensions this CPU and its OS let the kernels use.
#pragma once

namespace trevalon {

// Kernel tiers, each a superset of the one before.
enum class CpuTier : int {
  Portable = 0,    // plain C++, any CPU
  Avx2 = 1,        // AVX2 + FMA
  Avx512 = 2,      // AVX-512 F/BW/VL/DQ
  Avx512Vnni = 3,  // the above + AVX-512 VNNI
  Avx512Amx = 4,   // the above + the int8 tile unit (AMX-TILE/INT8), its state granted by the OS
};

// Best tier this build can run here (Portable in a portable build).
CpuTier detect_cpu_tier();
const char* cpu_tier_name(CpuTier tier);

}  // namespace trevalon
