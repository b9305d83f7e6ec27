// Float Winograd F(2x2, 3x3) tile transforms with AVX2: 8 channels per vector, partial tails.
#include <cstddef>

#include "kernels/winograd_f32.h"
#include "kernels/x86/simd_f32x8.h"
#include "kernels/x86/winograd_f32_simd.h"

namespace trevalon {

void winograd_input_transform_f32_avx2(const float* input, int C, int H, int W, int tiles_w, int tile_begin,
                                       int tile_count, float* V, size_t matrix_stride) {
  winograd_input_transform_simd<F32x8>(input, C, H, W, tiles_w, tile_begin, tile_count, V, matrix_stride);
}

void winograd_output_transform_f32_avx2(const float* P, int C_out, int H, int W, int tiles_w, int tile_begin,
                                        int tile_count, const float* bias, bool relu, float* output,
                                        size_t matrix_stride) {
  winograd_output_transform_simd<F32x8>(P, C_out, H, W, tiles_w, tile_begin, tile_count, bias, relu, output,
                                        matrix_stride);
}

}  // namespace trevalon
