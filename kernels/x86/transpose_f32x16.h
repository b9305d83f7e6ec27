// A 16 x 16 float transpose in AVX-512 registers, for kernels that run one row per lane: a block of
// sixteen rows loaded row by row becomes one vector per column. Included only by *_avx512.cpp files.
#pragma once

#include <immintrin.h>

namespace trevalon {
namespace {

// r[i] lane j <- r[j] lane i: pairs of rows, then quadruples, then the 128-bit quarters.
inline void transpose_square(__m512* r) {
  __m512 t[16];
  for (int i = 0; i < 16; i += 2) {
    t[i] = _mm512_unpacklo_ps(r[i], r[i + 1]);
    t[i + 1] = _mm512_unpackhi_ps(r[i], r[i + 1]);
  }
  __m512 u[16];  // u[4g + q], quarter L: column 4L + q of rows 4g .. 4g + 3
  for (int g = 0; g < 16; g += 4) {
    const __m512d a = _mm512_castps_pd(t[g]), b = _mm512_castps_pd(t[g + 1]);
    const __m512d c = _mm512_castps_pd(t[g + 2]), d = _mm512_castps_pd(t[g + 3]);
    u[g] = _mm512_castpd_ps(_mm512_unpacklo_pd(a, c));
    u[g + 1] = _mm512_castpd_ps(_mm512_unpackhi_pd(a, c));
    u[g + 2] = _mm512_castpd_ps(_mm512_unpacklo_pd(b, d));
    u[g + 3] = _mm512_castpd_ps(_mm512_unpackhi_pd(b, d));
  }
  for (int q = 0; q < 4; ++q) {
    const __m512 v0 = _mm512_shuffle_f32x4(u[q], u[4 + q], 0x88);
    const __m512 v1 = _mm512_shuffle_f32x4(u[q], u[4 + q], 0xDD);
    const __m512 v2 = _mm512_shuffle_f32x4(u[8 + q], u[12 + q], 0x88);
    const __m512 v3 = _mm512_shuffle_f32x4(u[8 + q], u[12 + q], 0xDD);
    r[q] = _mm512_shuffle_f32x4(v0, v2, 0x88);
    r[4 + q] = _mm512_shuffle_f32x4(v1, v3, 0x88);
    r[8 + q] = _mm512_shuffle_f32x4(v0, v2, 0xDD);
    r[12 + q] = _mm512_shuffle_f32x4(v1, v3, 0xDD);
  }
}

}  // namespace
}  // namespace trevalon
