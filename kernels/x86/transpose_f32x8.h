// An 8 x 8 float transpose in AVX registers, for kernels that run one row per lane: a block of
// eight rows loaded row by row becomes one vector per column. Included only by *_avx2.cpp files.
#pragma once

#include <immintrin.h>

namespace trevalon {
namespace {

// r[i] lane j <- r[j] lane i: pairs of rows, then quadruples, then the two 128-bit halves.
inline void transpose_square(__m256* r) {
  __m256 t[8];
  for (int i = 0; i < 8; i += 2) {
    t[i] = _mm256_unpacklo_ps(r[i], r[i + 1]);
    t[i + 1] = _mm256_unpackhi_ps(r[i], r[i + 1]);
  }
  __m256 u[8];  // u[4g + q], half L: column 4L + q of rows 4g .. 4g + 3
  for (int g = 0; g < 8; g += 4) {
    u[g] = _mm256_shuffle_ps(t[g], t[g + 2], _MM_SHUFFLE(1, 0, 1, 0));
    u[g + 1] = _mm256_shuffle_ps(t[g], t[g + 2], _MM_SHUFFLE(3, 2, 3, 2));
    u[g + 2] = _mm256_shuffle_ps(t[g + 1], t[g + 3], _MM_SHUFFLE(1, 0, 1, 0));
    u[g + 3] = _mm256_shuffle_ps(t[g + 1], t[g + 3], _MM_SHUFFLE(3, 2, 3, 2));
  }
  for (int q = 0; q < 4; ++q) {
    r[q] = _mm256_permute2f128_ps(u[q], u[4 + q], 0x20);
    r[4 + q] = _mm256_permute2f128_ps(u[q], u[4 + q], 0x31);
  }
}

}  // namespace
}  // namespace trevalon
