// The channel sum on AVX-512: sixteen positions per block, one per lane.
// GCC 12 reports the _mm512_undefined_* operands inside its own intrinsics as uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "kernels/x86/simd_f32x16.h"
#include "kernels/x86/transpose_f32x16.h"
#include "kernels/x86/sequence_shaping_simd.h"

namespace trevalon {

void sum_channels_f32_avx512(const float* in, float* out, int positions, int C, void*) {
  shaping_rows_parallel(positions, size_t(C > 0 ? C : 0), [&](int begin, int end) {
    sum_channels_f32_simd<F32x16>(in + size_t(begin) * size_t(C > 0 ? C : 0), out + begin, end - begin, C);
  });
}

}  // namespace trevalon
