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

// clang-format off
// One k step of a 6-row x 64-channel product tile: four weight vectors loaded from r8 + `wo`, then
// for each row r one value broadcast from r9 + `ao` + 512 r and four multiply-adds into the row's
// accumulators (zmm0-23).
#define TREVALON_TILE_ROW(op, bcast, ao, r, b, c0, c1, c2, c3)                                     \
  bcast " " #ao "+512*" #r "(%%r9), %%zmm" #b "\n\t"                                               \
  op " %%zmm24, %%zmm" #b ", %%zmm" #c0 "\n\t" op " %%zmm25, %%zmm" #b ", %%zmm" #c1 "\n\t"        \
  op " %%zmm26, %%zmm" #b ", %%zmm" #c2 "\n\t" op " %%zmm27, %%zmm" #b ", %%zmm" #c3 "\n\t"
#define TREVALON_TILE_STEP(op, bcast, wo, ao)                                                      \
  "vmovups " #wo "(%%r8), %%zmm24\n\tvmovups " #wo "+64(%%r8), %%zmm25\n\t"                        \
  "vmovups " #wo "+128(%%r8), %%zmm26\n\tvmovups " #wo "+192(%%r8), %%zmm27\n\t"                   \
  TREVALON_TILE_ROW(op, bcast, ao, 0, 28, 0, 1, 2, 3)                                              \
  TREVALON_TILE_ROW(op, bcast, ao, 1, 29, 4, 5, 6, 7)                                              \
  TREVALON_TILE_ROW(op, bcast, ao, 2, 28, 8, 9, 10, 11)                                            \
  TREVALON_TILE_ROW(op, bcast, ao, 3, 29, 12, 13, 14, 15)                                          \
  TREVALON_TILE_ROW(op, bcast, ao, 4, 28, 16, 17, 18, 19)                                          \
  TREVALON_TILE_ROW(op, bcast, ao, 5, 29, 20, 21, 22, 23)

#define TREVALON_ZERO(n) "vpxord %%zmm" #n ", %%zmm" #n ", %%zmm" #n "\n\t"
#define TREVALON_ZERO_ACCUMULATORS                                                                 \
  TREVALON_ZERO(0) TREVALON_ZERO(1) TREVALON_ZERO(2) TREVALON_ZERO(3) TREVALON_ZERO(4)             \
  TREVALON_ZERO(5) TREVALON_ZERO(6) TREVALON_ZERO(7) TREVALON_ZERO(8) TREVALON_ZERO(9)             \
  TREVALON_ZERO(10) TREVALON_ZERO(11) TREVALON_ZERO(12) TREVALON_ZERO(13) TREVALON_ZERO(14)        \
  TREVALON_ZERO(15) TREVALON_ZERO(16) TREVALON_ZERO(17) TREVALON_ZERO(18) TREVALON_ZERO(19)        \
  TREVALON_ZERO(20) TREVALON_ZERO(21) TREVALON_ZERO(22) TREVALON_ZERO(23)

// 32 k steps of the tile per iteration, two per pass of the inner loop: the weights (8 KiB) and
// the rows (6 x 128 bytes, 512 apart) stay in L1. The accumulators start at zero so that no
// leftover register holds a subnormal the multiply-adds would keep.
#define TREVALON_TILE_LOOP(op, bcast)                                                              \
  __asm__ volatile(TREVALON_ZERO_ACCUMULATORS                                                      \
                   "1:\n\tmov %1, %%r8\n\tmov %2, %%r9\n\tmov $16, %%r10d\n\t"                     \
                   "2:\n\t"                                                                        \
                   TREVALON_TILE_STEP(op, bcast, 0, 0) TREVALON_TILE_STEP(op, bcast, 256, 4)       \
                   "add $512, %%r8\n\tadd $8, %%r9\n\tdec %%r10d\n\tjnz 2b\n\t"                    \
                   "dec %0\n\tjnz 1b\n\t"                                                          \
                   : "+r"(iterations)                                                              \
                   : "r"(weights), "r"(rows)                                                       \
                   : "r8", "r9", "r10", "memory", TREVALON_CLOBBERS, "xmm18", "xmm19",             \
                     "xmm20", "xmm21", "xmm22", "xmm23", "xmm24", "xmm25", "xmm26", "xmm27",       \
                     "xmm28", "xmm29")
// clang-format on

// The ceilings of the products: each multiply fed from memory the way the float and int8 product
// tiles feed theirs (per k step four weight vectors and one broadcast value per row).
void fma512_tile_loop(int64_t iterations, const void* weights, const void* rows) {
  TREVALON_TILE_LOOP("vfmadd231ps", "vbroadcastss");
}

void vnni512_tile_loop(int64_t iterations, const void* weights, const void* rows) {
  TREVALON_TILE_LOOP("vpdpbusd", "vpbroadcastd");
}

}  // namespace trevalon::bench
