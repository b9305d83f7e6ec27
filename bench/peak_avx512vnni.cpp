// Register-only loops that measure one core's peak 512-bit fused multiply-add and vpdpbusd rates.
#include <immintrin.h>

#include <cstdint>

namespace trevalon::bench {

// 16 independent accumulators: enough to cover the latency of any current core's FMA pipes.
double fma512_loop(int64_t iterations) {
  __m512 acc[16];
  for (int i = 0; i < 16; ++i) acc[i] = _mm512_set1_ps(float(i) * 0.001f);
  const __m512 x = _mm512_set1_ps(0.999999f), y = _mm512_set1_ps(1e-7f);
  for (int64_t it = 0; it < iterations; ++it) {
    for (int i = 0; i < 16; ++i) acc[i] = _mm512_fmadd_ps(acc[i], x, y);
    __asm__ volatile("" : "+v"(acc[0]), "+v"(acc[1]), "+v"(acc[2]), "+v"(acc[3]));
  }
  __m512 s = acc[0];
  for (int i = 1; i < 16; ++i) s = _mm512_add_ps(s, acc[i]);
  return _mm512_reduce_add_ps(s);
}

double vnni512_loop(int64_t iterations) {
  __m512i acc[16];
  for (int i = 0; i < 16; ++i) acc[i] = _mm512_set1_epi32(i);
  const __m512i a = _mm512_set1_epi8(3), b = _mm512_set1_epi8(-2);
  for (int64_t it = 0; it < iterations; ++it) {
    for (int i = 0; i < 16; ++i) acc[i] = _mm512_dpbusd_epi32(acc[i], a, b);
    __asm__ volatile("" : "+v"(acc[0]), "+v"(acc[1]), "+v"(acc[2]), "+v"(acc[3]));
  }
  __m512i s = acc[0];
  for (int i = 1; i < 16; ++i) s = _mm512_add_epi32(s, acc[i]);
  return double(_mm512_reduce_add_epi32(s));
}

}  // namespace trevalon::bench
