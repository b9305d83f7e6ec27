// Register-only loops that measure one core's peak 512-bit fused multiply-add and vpdpbusd rates.
// Written in assembly so the compiler can neither spill the accumulators nor drop the work.
#include <cstdint>

namespace trevalon::bench {

#define TREVALON_16_OPS(op)                                                  \
  op " %%zmm16, %%zmm17, %%zmm0\n\t" op " %%zmm16, %%zmm17, %%zmm1\n\t" op   \
     " %%zmm16, %%zmm17, %%zmm2\n\t" op " %%zmm16, %%zmm17, %%zmm3\n\t" op   \
     " %%zmm16, %%zmm17, %%zmm4\n\t" op " %%zmm16, %%zmm17, %%zmm5\n\t" op   \
     " %%zmm16, %%zmm17, %%zmm6\n\t" op " %%zmm16, %%zmm17, %%zmm7\n\t" op   \
     " %%zmm16, %%zmm17, %%zmm8\n\t" op " %%zmm16, %%zmm17, %%zmm9\n\t" op   \
     " %%zmm16, %%zmm17, %%zmm10\n\t" op " %%zmm16, %%zmm17, %%zmm11\n\t" op \
     " %%zmm16, %%zmm17, %%zmm12\n\t" op " %%zmm16, %%zmm17, %%zmm13\n\t" op \
     " %%zmm16, %%zmm17, %%zmm14\n\t" op " %%zmm16, %%zmm17, %%zmm15\n\t"

#define TREVALON_CLOBBERS                                                                                    \
  "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", "xmm12", \
      "xmm13", "xmm14", "xmm15", "xmm16", "xmm17", "cc"

// 16 independent accumulators per iteration: enough to hide the latency of any current core.
void fma512_loop(int64_t iterations) {
  __asm__ volatile(
      "vpxord %%zmm16, %%zmm16, %%zmm16\n\tvpxord %%zmm17, %%zmm17, %%zmm17\n\t"
      "1:\n\t" TREVALON_16_OPS("vfmadd231ps") "dec %0\n\tjnz 1b\n\t"
      : "+r"(iterations)
      :
      : TREVALON_CLOBBERS);
}

void vnni512_loop(int64_t iterations) {
  __asm__ volatile(
      "vpxord %%zmm16, %%zmm16, %%zmm16\n\tvpxord %%zmm17, %%zmm17, %%zmm17\n\t"
      "1:\n\t" TREVALON_16_OPS("vpdpbusd") "dec %0\n\tjnz 1b\n\t"
      : "+r"(iterations)
      :
      : TREVALON_CLOBBERS);
}

}  // namespace trevalon::bench
