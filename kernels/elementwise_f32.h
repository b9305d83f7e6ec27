// Float element-wise kernels: add, product, scale, snake and the two upsampling kernels, portable and (in
// x86 builds) AVX2 / AVX-512. Every version gives the same bits.
#pragma once

namespace trevalon {

// out = a + b, negative sums replaced by 0 when `relu` is set; a null `b` adds nothing.
void add_f32_portable(const float* a, const float* b, float* out, int count, bool relu, void* stream);
void scale_f32_portable(const float* in, float* out, int count, float scalar);
// out = b * a, element by element.
void elemwise_mul_f32_portable(const float* a, const float* b, float* out, int count);
// out = x + sin(alpha[c] x)^2 * inv[c] over `positions` rows of C channels; the first 4*floor(C/4)
// channels of a row use the polynomial sine, the rest sinf. A null `inv` divides by
// alpha[c] + 1e-9 instead; a null `alpha` copies the input (the limit of a vanishing alpha).
void snake_f32_portable(const float* in, float* out, const float* alpha, const float* inv, int positions,
                        int C, void* stream);
// Each of `rows` rows of `row_len` floats is written `factor` times in succession.
void upsample_nearest1d_f32_portable(const float* in, float* out, int rows, int row_len, int factor,
                                     void* stream);
// Half-pixel bilinear resize of an H x W x C image to out_H x out_W x C.
void upsample_bilinear_f32_portable(const float* in, float* out, int C, int H, int W, int out_H, int out_W,
                                    void* stream);

#ifndef TREVALON_PORTABLE
void add_f32_avx2(const float* a, const float* b, float* out, int count, bool relu, void* stream);
void scale_f32_avx2(const float* in, float* out, int count, float scalar);
void elemwise_mul_f32_avx2(const float* a, const float* b, float* out, int count);
void snake_f32_avx2(const float* in, float* out, const float* alpha, const float* inv, int positions, int C,
                    void* stream);
void upsample_bilinear_f32_avx2(const float* in, float* out, int C, int H, int W, int out_H, int out_W,
                                void* stream);

void add_f32_avx512(const float* a, const float* b, float* out, int count, bool relu, void* stream);
void scale_f32_avx512(const float* in, float* out, int count, float scalar);
void elemwise_mul_f32_avx512(const float* a, const float* b, float* out, int count);
void snake_f32_avx512(const float* in, float* out, const float* alpha, const float* inv, int positions, int C,
                      void* stream);
void upsample_bilinear_f32_avx512(const float* in, float* out, int C, int H, int W, int out_H, int out_W,
                                  void* stream);
#endif

}  // namespace trevalon
