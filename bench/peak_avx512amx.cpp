// Register-only loop that measures one core's peak rate of int8 tile multiplies (tdpbusd on
// 16 x 64-byte tiles). Written in assembly so the compiler can drop none of the work.
#include <cstdint>
#include <cstring>

namespace trevalon::bench {

// Six independent sums per iteration, each 16 x 16 x 64 multiply-adds; tiles 6 and 7 are the
// operands. The caller's process holds the permission for tile state (detect_cpu_tier asks).
void amx_loop(int64_t iterations) {
  struct {
    uint8_t palette, start_row, reserved[14];
    uint16_t bytes_per_row[16];
    uint8_t rows[16];
  } config;
  std::memset(&config, 0, sizeof config);
  config.palette = 1;
  for (int t = 0; t < 8; ++t) {
    config.rows[t] = 16;
    config.bytes_per_row[t] = 64;
  }
  __asm__ volatile(
      "ldtilecfg %1\n\t"
      "tilezero %%tmm6\n\ttilezero %%tmm7\n\t"
      "1:\n\t"
      "tdpbusd %%tmm7, %%tmm6, %%tmm0\n\ttdpbusd %%tmm7, %%tmm6, %%tmm1\n\t"
      "tdpbusd %%tmm7, %%tmm6, %%tmm2\n\ttdpbusd %%tmm7, %%tmm6, %%tmm3\n\t"
      "tdpbusd %%tmm7, %%tmm6, %%tmm4\n\ttdpbusd %%tmm7, %%tmm6, %%tmm5\n\t"
      "dec %0\n\tjnz 1b\n\t"
      "tilerelease\n\t"
      : "+r"(iterations)
      : "m"(config)
      : "cc");
}

}  // namespace trevalon::bench
