// Int8 2-D convolution as a patch matrix times packed weights: the CPU kernel of slot conv2d_i8 in
// its channels-fastest and planar modes, and the grouped path through planar staging buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/prepared_weights.h"

namespace trevalon {

using GemmI8Kernel = void (*)(const int8_t* A, const int8_t* packed, const int64_t* bias, const int32_t* mult,
                              const int32_t* shift, const float* scale, int8_t out_zp, void* out,
                              bool float_out, int M, int K, int N, bool channel_major,
                              const int32_t* row_sums, void* stream);

// The products one tier's convolution runs on: the tier's gemm_i8 and, where the tier has one, a
// product on activations it may be handed already offset by 128 in rows of `offset_stride` bytes,
// reading the layer's row sums or prepared weights (signature of gemm_i8_prepared_avx512vnni).
struct ConvI8Products {
  GemmI8Kernel gemm;
  void (*offset_gemm)(const int8_t* A, size_t offset_stride, const int8_t* packed, const int64_t* bias,
                      const int32_t* mult, const int32_t* shift, const float* scale, int8_t out_zp, void* out,
                      bool float_out, int M, int K, int N, bool channel_major, const int32_t* row_sums,
                      const PreparedWeightsI8* prepared);
};

// Slot conv2d_i8 on the given products. Output pixels are requantised with the channel's
// multiplier and shift after adding the low 32 bits of `bias`; taps outside the input read `in_zp`.
// - channels_fastest set, groups < 2: input H x W x C_in, output out_h x out_w x C_out. `packed`
//   is the weight matrix in patch order (kernel row, kernel column, input channel), packed as
//   C_out x K; null packs `weights` (stored order) for the call, unless `prepared` holds the
//   weights in its tier's own layout. `prepared`, when given, is the tier's prepared form of
//   that matrix with these bias, mult, shift and out_zp.
// - channels_fastest clear (planar): input C_in x H x W, output C_out x out_h x out_w. `packed` holds
//   every group's rows of the stored weights packed on their own, group after group, each taking
//   packed_weights_i8_bytes(C_out / groups, K); null packs them for the call.
// - channels_fastest set with groups >= 2 converts to planar order in staging buffers.
// `scratch` receives the patch matrix: (C_in / groups) x kH x kW x out_h x out_w bytes at most.
void conv2d_i8_with(const ConvI8Products& products, const PreparedWeightsI8* prepared, const int8_t* input,
                    const int8_t* weights, const int8_t* packed, const int64_t* bias, const int32_t* mult,
                    const int32_t* shift, int8_t in_zp, int8_t out_zp, int8_t* output, int C_in, int H, int W,
                    int C_out, int kH, int kW, int stride_h, int stride_w, int pad_h, int pad_w, int groups,
                    void* scratch, bool channels_fastest, const int32_t* row_sums);

// Grouped convolution of channels-fastest data: converts the input to planar order in a per-thread
// working buffer (see thread_work.h), runs the planar mode into a second one and converts the
// result back. Arguments as conv2d_i8_with.
void conv2d_i8_grouped_with(const ConvI8Products& products, const int8_t* input, const int8_t* weights,
                            const int8_t* packed, const int64_t* bias, const int32_t* mult,
                            const int32_t* shift, int8_t in_zp, int8_t out_zp, int8_t* output, int C_in,
                            int H, int W, int C_out, int kH, int kW, int stride_h, int stride_w, int pad_h,
                            int pad_w, int groups, void* scratch, const int32_t* row_sums);

// Each group's rows of the stored weights (C_out x K) packed on their own, group after group: the
// `packed` argument of the planar mode.
std::vector<int8_t> conv2d_i8_pack_groups(const int8_t* weights, int C_out, int K, int groups);

// One tier's entry points: the slot, the slot with prepared weights, and the grouped path.
struct ConvI8Entries {
  void (*slot)(const int8_t* input, const int8_t* weights, const int8_t* packed, const int64_t* bias,
               const int32_t* mult, const int32_t* shift, int8_t in_zp, int8_t out_zp, int8_t* output,
               int C_in, int H, int W, int C_out, int kH, int kW, int stride_h, int stride_w, int pad_h,
               int pad_w, int groups, void* scratch, bool channels_fastest, const int32_t* row_sums,
               void* stream);
  void (*prepared)(const int8_t* input, const int8_t* weights, const int8_t* packed,
                   const PreparedWeightsI8* prepared, const int64_t* bias, const int32_t* mult,
                   const int32_t* shift, int8_t in_zp, int8_t out_zp, int8_t* output, int C_in, int H, int W,
                   int C_out, int kH, int kW, int stride_h, int stride_w, int pad_h, int pad_w, int groups,
                   void* scratch, bool channels_fastest, const int32_t* row_sums);
  void (*grouped)(const int8_t* input, const int8_t* weights, const int8_t* packed, const int64_t* bias,
                  const int32_t* mult, const int32_t* shift, int8_t in_zp, int8_t out_zp, int8_t* output,
                  int C_in, int H, int W, int C_out, int kH, int kW, int stride_h, int stride_w, int pad_h,
                  int pad_w, int groups, void* scratch, const int32_t* row_sums);
};
ConvI8Entries conv_i8_entries_portable();
#ifndef TREVALON_PORTABLE
ConvI8Entries conv_i8_entries_avx2();  // the AVX-512 tier without VNNI uses it too
ConvI8Entries conv_i8_entries_avx512vnni();
ConvI8Entries conv_i8_entries_avx512amx();
#endif

}  // namespace trevalon
