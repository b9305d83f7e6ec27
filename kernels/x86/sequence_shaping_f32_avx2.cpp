// The channel sum on AVX2: eight positions per block, one per lane.
#include "kernels/x86/simd_f32x8.h"
#include "kernels/x86/transpose_f32x8.h"
#include "kernels/x86/sequence_shaping_simd.h"

namespace trevalon {

void sum_channels_f32_avx2(const float* in, float* out, int positions, int C, void*) {
  shaping_rows_parallel(positions, size_t(C > 0 ? C : 0), [&](int begin, int end) {
    sum_channels_f32_simd<F32x8>(in + size_t(begin) * size_t(C > 0 ? C : 0), out + begin, end - begin, C);
  });
}

}  // namespace trevalon
