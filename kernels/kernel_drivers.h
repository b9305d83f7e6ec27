// Per-tier entry points that the kernel table has no slot for: weight preparation and the products
// that read prepared weights, and the int8 depthwise and grouped paths. Installed together with
// the table, for the same tier, by the same install functions; layers reach tier-specific code only
// through these and the table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/conv1d_f32.h"
#include "kernels/depthwise_i8.h"
#include "kernels/prepared_weights.h"
#include "kernels/waveform_f32.h"

namespace trevalon {

struct ResidualAddI8;  // kernels/gemm_i8.h

struct KernelDrivers {
  // The tag this tier's prepare entries give their output; a prepared form with another tag was
  // made for another tier and must be prepared again before these entries read it.
  int format = kUnpreparedFormat;

  // Float: the tier's form of a matrix packed in 4-row panels (rows x cols); null when the tier's
  // kernels read the panels as they are. Where it gives a form, the entries below read that form
  // alone, so the caller may release the panels.
  void (*prepare_f32)(const float* packed, int rows, int cols, int format, PreparedWeightsF32& out) = nullptr;
  // Slot 11 on patch-ordered packed weights and their prepared form (its data, or null).
  void (*conv2d_f32)(const float* input, const float* bias, float* output, int C, int H, int W, int C_out,
                     int kH, int kW, int stride_h, int stride_w, int pad_h, int pad_w, bool relu,
                     const float* packed, const float* prepared, float* scratch, int dilation_h,
                     int dilation_w) = nullptr;
  // conv2d_f32 finishing each output in registers with a residual addition: the output (bias and
  // ReLU applied) + other at the same place (other laid out as the output), then with `relu_after`
  // negatives become +0 while -0 and NaN pass, the bytes of add_f32 run afterwards. Null on tiers
  // whose products have no such epilogue.
  void (*conv2d_f32_add)(const float* input, const float* bias, float* output, int C, int H, int W, int C_out,
                         int kH, int kW, int stride_h, int stride_w, int pad_h, int pad_w, bool relu,
                         const float* packed, const float* prepared, float* scratch, int dilation_h,
                         int dilation_w, const float* other, bool relu_after) = nullptr;
  // Slot 12 on the 16 packed matrices and their prepared forms (16 pointers, or null).
  void (*conv2d_f32_winograd)(const float* input, const float* const* packed16,
                              const float* const* prepared16, const float* bias, float* output, int C, int H,
                              int W, int C_out, bool relu) = nullptr;

  // Int8: starting accumulators and requantisation constants of a packed rows x cols matrix
  // (see prepare_weights_i8_avx512vnni); null when the tier's kernels need none.
  void (*prepare_i8)(const int8_t* packed, int rows, int cols, const int64_t* bias, const int32_t* mult,
                     const int32_t* shift, int8_t out_zp, bool requantized, int format,
                     PreparedWeightsI8& out) = nullptr;
  // Slot gemm_i8 reading the prepared form too (null: derived for the call).
  void (*gemm_i8)(const int8_t* A, const int8_t* packed, const PreparedWeightsI8* prepared,
                  const int64_t* bias, const int32_t* mult, const int32_t* shift, const float* scale,
                  int8_t out_zp, void* out, bool float_out, int M, int K, int N, bool channel_major,
                  const int32_t* row_sums) = nullptr;
  // The requantising row-major product whose int8 results then go through the quantised addition
  // `residual` in registers (see ResidualAddI8): the convolution and the addition it feeds in one
  // pass. Null where the tier has none.
  void (*gemm_i8_add)(const int8_t* A, const int8_t* packed, const PreparedWeightsI8* prepared,
                      const int64_t* bias, const int32_t* mult, const int32_t* shift, int8_t out_zp,
                      int8_t* out, int M, int K, int N, const ResidualAddI8& residual) = nullptr;
  // The float-output product of the dynamic-row layers with their epilogue in registers:
  // out[m][o] = float(acc) x scale[o], then x row_scale[m], then + bias[o] (bias may be null), each
  // a separate rounding as in the passes it replaces; with `gelu`, then the lanes of this tier's
  // gelu_f32 (whose scalar tail only a count not a multiple of four reaches). Null where the tier
  // has none.
  void (*gemm_i8_rows_f32)(const int8_t* A, const int8_t* packed, const PreparedWeightsI8* prepared,
                           const float* scale, const float* row_scale, const float* bias, float* out, int M,
                           int K, int N, bool gelu) = nullptr;
  // Slot conv2d_i8 reading the prepared form of `packed` too (null: derived for the call).
  void (*conv2d_i8)(const int8_t* input, const int8_t* weights, const int8_t* packed,
                    const PreparedWeightsI8* prepared, const int64_t* bias, const int32_t* mult,
                    const int32_t* shift, int8_t in_zp, int8_t out_zp, int8_t* output, int C_in, int H, int W,
                    int C_out, int kH, int kW, int stride_h, int stride_w, int pad_h, int pad_w, int groups,
                    void* scratch, bool channels_fastest, const int32_t* row_sums) = nullptr;
  // Grouped convolution of channels-fastest data through planar staging (see conv2d_i8.h).
  void (*conv2d_i8_grouped)(const int8_t* input, const int8_t* weights, const int8_t* packed,
                            const int64_t* bias, const int32_t* mult, const int32_t* shift, int8_t in_zp,
                            int8_t out_zp, int8_t* output, int C_in, int H, int W, int C_out, int kH, int kW,
                            int stride_h, int stride_w, int pad_h, int pad_w, int groups, void* scratch,
                            const int32_t* row_sums) = nullptr;
  DepthwiseI8Kernel depthwise_i8_3x3 = nullptr;
  // Direct convolution of images with few channels (see conv2d_i8_direct.h) and its prepared form;
  // null on tiers without one, where the general path serves.
  void (*prepare_conv2d_i8_direct)(const int8_t* patch_weights, int C_out, int C_in, int kH, int kW,
                                   const int64_t* bias, const int32_t* mult, const int32_t* shift,
                                   int8_t out_zp, int format, PreparedWeightsI8& out) = nullptr;
  void (*conv2d_i8_direct)(const int8_t* input, const PreparedWeightsI8& prepared, int8_t in_zp,
                           int8_t* output, int C_in, int H, int W, int C_out, int kH, int kW, int stride_h,
                           int stride_w, int pad_h, int pad_w, void* scratch) = nullptr;

  // Slot gemm_f32_rows on a packed weight and its prepared form (or null), GELU of the same tier.
  void (*gemm_f32_rows)(const float* input, const float* bias, float* out, int T, int K, int N, bool gelu,
                        const float* packed, const float* prepared) = nullptr;
  // Float rows quantised to int8 with one dynamic scale per row (see quantize_rows_i8_portable).
  void (*quantize_rows_i8)(const float* x, int rows, int K, int8_t* q, float* scales) = nullptr;

  // Slot attention_f32 on the packed projections and their prepared forms (each may be null: the
  // panels are read).
  void (*attention_f32)(const float* input, const float* qkv_packed, const float* qkv_prepared,
                        const float* b_qkv, const float* proj_packed, const float* proj_prepared,
                        const float* b_proj, float* out, int T, int E, int num_heads, float* work,
                        bool fake_quant) = nullptr;
  // Slot attention_i8 on this tier's row quantiser and int8 product (`drivers`: these drivers),
  // reading the prepared forms of both packed projections too.
  void (*attention_i8)(const KernelDrivers& drivers, const float* input, const int8_t* qkv_packed,
                       const PreparedWeightsI8* qkv_prepared, const float* qkv_scales, const int64_t* zeros,
                       const float* b_qkv, const int8_t* proj_packed, const PreparedWeightsI8* proj_prepared,
                       const float* proj_scales, const float* b_proj, float* out, int T, int E, int num_heads,
                       float* work, int8_t* work_i8, float* work_small) = nullptr;

  // Frame loops of the STFT and iSTFT layers and the sines of the harmonic source (waveform_f32.h).
  StftFramesKernel stft_frames_f32 = nullptr;
  IstftFramesKernel istft_frames_f32 = nullptr;
  SinMapKernel waveform_sin_f32 = nullptr;
  GaussianMapKernel waveform_gaussian_f32 = nullptr;
  // One direction of an LSTM on the hidden weight's 4-row panels and this tier's prepared form of
  // them (see kernels/lstm_f32.h).
  void (*lstm_f32_recurrence)(const float* gates, const float* w_hh_packed, const float* w_hh_prepared,
                              const float* b_hh, float* out, size_t out_stride, int T, int H, bool reverse,
                              float* work) = nullptr;
  // One tap's int32 products added into the float output of a stride-1 int8 convolution (see
  // kernels/conv1d_i8.h).
  void (*conv1d_i8_tap_accumulate)(const int32_t* acc, const float* row_scales, const float* w_scales,
                                   const float* bias, float* y, int rows, int N, bool first) = nullptr;
  // The one-dimensional float convolutions (see conv1d_f32.h).
  Conv1dF32Drivers conv1d;
  // The int8 convolution of groups of one input channel (see kernels/conv1d_i8.h).
  void (*conv1d_i8_depthwise)(const float* x, int L, int C, const int8_t* w, const float* w_taps,
                              const float* w_scales, const float* bias, float* y, int L_out, int C_out, int K,
                              int stride, int dilation, int padding) = nullptr;
};

}  // namespace trevalon
