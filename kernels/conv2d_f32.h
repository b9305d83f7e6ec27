// Float 2-D convolution on channels-fastest images: patch matrix times patch-ordered packed weights.
#pragma once

namespace trevalon {

// The product a convolution reduces to: M = out_h x out_w patch rows of K = kH x kW x C values.
struct ConvProductShape {
  int out_h, out_w, M, K;
};
// False when the parameters are not a convolution the kernels can run (non-positive sizes,
// strides or dilations, negative padding, an empty output, or sizes beyond int32).
bool conv2d_f32_product_shape(int C, int H, int W, int C_out, int kH, int kW, int stride_h, int stride_w,
                              int pad_h, int pad_w, int dilation_h, int dilation_w, ConvProductShape& shape);

// Rows [row_begin, row_begin + rows) of the patch matrix: one row per output pixel (oy, ox) in
// row-major order, kH x kW x C floats in (kernel row, kernel column, channel) order, zeros for taps
// outside the input.
void conv2d_f32_gather_patches(const float* input, int C, int H, int W, int kH, int kW, int stride_h,
                               int stride_w, int pad_h, int pad_w, int dilation_h, int dilation_w, int out_w,
                               int row_begin, int rows, float* patches);

using GemmF32Kernel = void (*)(const float* A, const float* packed, const float* bias, float* out, bool relu,
                               int M, int K, int N);

// Slot 11 with the given product (the tier's gemm_f32); without `packed` the weights
// (C_out x C x kH x kW) are reordered and packed for the call. `scratch`, when given, holds at
// least C x kH x kW x out_h x out_w floats; otherwise a per-thread buffer serves.
void conv2d_f32_with(GemmF32Kernel gemm, const float* input, const float* weights, const float* bias,
                     float* output, int C, int H, int W, int C_out, int kH, int kW, int stride_h,
                     int stride_w, int pad_h, int pad_w, bool relu, const float* packed, float* scratch,
                     int dilation_h, int dilation_w);

// Slot-11 entry points, one per tier.
void conv2d_f32(const float* input, const float* weights, const float* bias, float* output, int C, int H,
                int W, int C_out, int kH, int kW, int stride_h, int stride_w, int pad_h, int pad_w, bool relu,
                const float* packed, float* scratch, int dilation_h, int dilation_w, void* stream);
#ifndef TREVALON_PORTABLE
void conv2d_f32_avx2(const float* input, const float* weights, const float* bias, float* output, int C, int H,
                     int W, int C_out, int kH, int kW, int stride_h, int stride_w, int pad_h, int pad_w,
                     bool relu, const float* packed, float* scratch, int dilation_h, int dilation_w,
                     void* stream);
// The same contract with AVX-512: tall products read the patch rows in place (no patch matrix)
// and short ones gather them with vector copies; without `packed` the portable driver packs the
// weights for the call.
void conv2d_f32_avx512(const float* input, const float* weights, const float* bias, float* output, int C,
                       int H, int W, int C_out, int kH, int kW, int stride_h, int stride_w, int pad_h,
                       int pad_w, bool relu, const float* packed, float* scratch, int dilation_h,
                       int dilation_w, void* stream);
// conv2d_f32_avx512 given also the 64-channel panel form of `packed` (regrouped per call when null).
void conv2d_f32_prepared_avx512(const float* input, const float* bias, float* output, int C, int H, int W,
                                int C_out, int kH, int kW, int stride_h, int stride_w, int pad_h, int pad_w,
                                bool relu, const float* packed, const float* w16, float* scratch,
                                int dilation_h, int dilation_w);
// conv2d_f32_prepared_avx512 finishing every output in registers with a residual addition (see
// KernelDrivers::conv2d_f32_add).
void conv2d_f32_add_prepared_avx512(const float* input, const float* bias, float* output, int C, int H, int W,
                                    int C_out, int kH, int kW, int stride_h, int stride_w, int pad_h,
                                    int pad_w, bool relu, const float* packed, const float* w16,
                                    float* scratch, int dilation_h, int dilation_w, const float* other,
                                    bool relu_after);
#endif

}  // namespace trevalon
