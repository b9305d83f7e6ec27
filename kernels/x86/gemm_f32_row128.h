// The one-row float product on 128-bit vectors, shared by the AVX2 and AVX-512 GEMMs: one row of A
// by P 4-channel weight panels, lanes are the 4 channels of a panel, k ascending with one fused
// multiply-add per step, so every output equals the scalar fused-multiply-add reference. Included
// only by *_avx2.cpp and *_avx512.cpp files.
#pragma once

#include <immintrin.h>

#include <cstddef>

namespace trevalon {
namespace {  // each ISA file gets its own copy, compiled with its own flags

// acc[p] = sum over k of a[k] x panel p's 4 channels at k; panel p starts at w + p * panel_stride.
template <int P>
inline void row_products128(const float* a, const float* w, size_t panel_stride, int K, __m128 acc[P]) {
  // Accumulators in a local array the loop keeps in registers, copied out once.
  __m128 reg[P];
#pragma GCC unroll 8
  for (int p = 0; p < P; ++p) reg[p] = _mm_setzero_ps();
  for (int k = 0; k < K; ++k) {
    const __m128 av = _mm_broadcast_ss(a + k);
#pragma GCC unroll 8
    for (int p = 0; p < P; ++p)
      reg[p] = _mm_fmadd_ps(av, _mm_loadu_ps(w + p * panel_stride + size_t(k) * 4), reg[p]);
  }
#pragma GCC unroll 8
  for (int p = 0; p < P; ++p) acc[p] = reg[p];
}

}  // namespace
}  // namespace trevalon
