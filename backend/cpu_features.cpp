// CPUID and XGETBV: a feature counts only when the OS saves its registers.
#include "backend/cpu_features.h"

#if !defined(TREVALON_PORTABLE) && (defined(__x86_64__) || defined(_M_X64))
#include <cpuid.h>
#include <cstdint>
#ifdef __linux__
#include <sys/syscall.h>
#include <unistd.h>
#endif
#define TREVALON_HAVE_CPUID 1
#endif

namespace trevalon {

#ifdef TREVALON_HAVE_CPUID
namespace {

uint64_t read_xcr0() {
  uint32_t eax, edx;
  __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
  return (uint64_t(edx) << 32) | eax;
}

// Linux hands out the tile registers' 8 KiB of state only to processes that ask for it.
bool tile_state_granted() {
#ifdef __linux__
  constexpr long kRequestPermission = 0x1023;  // ARCH_REQ_XCOMP_PERM
  constexpr long kTileData = 18;               // XFEATURE_XTILEDATA
  return syscall(SYS_arch_prctl, kRequestPermission, kTileData) == 0;
#else
  return false;
#endif
}

CpuTier probe() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return CpuTier::Portable;
  const bool osxsave = c & (1u << 27), fma = c & (1u << 12);
  if (!osxsave) return CpuTier::Portable;
  const uint64_t xcr0 = read_xcr0();
  const bool ymm_saved = (xcr0 & 0x6) == 0x6;
  const bool zmm_saved = (xcr0 & 0xe6) == 0xe6;
  if (__get_cpuid_max(0, nullptr) < 7) return CpuTier::Portable;
  __cpuid_count(7, 0, a, b, c, d);
  const bool avx2 = b & (1u << 5);
  const bool avx512f = b & (1u << 16), avx512dq = b & (1u << 17);
  const bool avx512bw = b & (1u << 30), avx512vl = b & (1u << 31);
  const bool vnni = c & (1u << 11);
  const bool amx_tile = d & (1u << 24), amx_int8 = d & (1u << 25);
  const bool tiles_saved = (xcr0 & (uint64_t(3) << 17)) == (uint64_t(3) << 17);
  if (!(avx2 && fma && ymm_saved)) return CpuTier::Portable;
  if (!(avx512f && avx512dq && avx512bw && avx512vl && zmm_saved)) return CpuTier::Avx2;
  if (!vnni) return CpuTier::Avx512;
  if (amx_tile && amx_int8 && tiles_saved && tile_state_granted()) return CpuTier::Avx512Amx;
  return CpuTier::Avx512Vnni;
}

}  // namespace

CpuTier detect_cpu_tier() {
  static const CpuTier tier = probe();
  return tier;
}
#else
CpuTier detect_cpu_tier() { return CpuTier::Portable; }
#endif

const char* cpu_tier_name(CpuTier tier) {
  switch (tier) {
    case CpuTier::Portable: return "portable";
    case CpuTier::Avx2: return "avx2";
    case CpuTier::Avx512: return "avx512";
    case CpuTier::Avx512Vnni: return "avx512vnni";
    case CpuTier::Avx512Amx: return "avx512amx";
  }
  return "unknown";
}

}  // namespace trevalon
