// Int8 2-D convolution as a patch matrix times packed weights: the CPU kernel of slot conv2d_i8 in
// its channels-fastest and planar modes, and the grouped path through planar staging buffers.
#pragma once

#include <cstdint>
#include <vector>

namespace trevalon {

// Slot conv2d_i8 on the CPU. Output pixels are requantised with the channel's multiplier and shift
// after adding the low 32 bits of `bias`; taps outside the input read `in_zp`.
// - channels_fastest set, groups < 2: input H x W x C_in, output out_h x out_w x C_out. `packed`
//   is the weight matrix in patch order (kernel row, kernel column, input channel), packed as
//   C_out x K; null packs `weights` (stored order) for the call.
// - channels_fastest clear (planar): input C_in x H x W, output C_out x out_h x out_w. `packed` holds
//   every group's rows of the stored weights packed on their own, group after group, each taking
//   packed_weights_i8_bytes(C_out / groups, K); null packs them for the call.
// - channels_fastest set with groups >= 2 converts to planar order in per-thread staging buffers.
// `scratch` receives the patch matrix: (C_in / groups) x kH x kW x out_h x out_w bytes at most.
// Matrix products go through the CPU table's gemm_i8 (and pack_weights_i8 when packing).
void conv2d_i8(const int8_t* input, const int8_t* weights, const int8_t* packed, const int64_t* bias,
               const int32_t* mult, const int32_t* shift, int8_t in_zp, int8_t out_zp, int8_t* output,
               int C_in, int H, int W, int C_out, int kH, int kW, int stride_h, int stride_w,
               int pad_h, int pad_w, int groups, void* scratch, bool channels_fastest,
               const int32_t* row_sums, void* stream);

// Each group's rows of the stored weights (C_out x K) packed on their own, group after group, with
// the CPU table's packer: the `packed` argument of the planar mode.
std::vector<int8_t> conv2d_i8_pack_groups(const int8_t* weights, int C_out, int K, int groups);

// Grouped convolution of channels-fastest data: converts the input to planar order in a per-thread
// staging buffer, runs conv2d_i8 in planar mode into a second one and converts the result back.
// The staging buffers grow on demand and live until the thread exits. Arguments as conv2d_i8.
void conv2d_i8_grouped_staged(const int8_t* input, const int8_t* weights, const int8_t* packed,
                              const int64_t* bias, const int32_t* mult, const int32_t* shift,
                              int8_t in_zp, int8_t out_zp, int8_t* output, int C_in, int H, int W,
                              int C_out, int kH, int kW, int stride_h, int stride_w, int pad_h,
                              int pad_w, int groups, void* scratch, const int32_t* row_sums,
                              void* stream);

}  // namespace trevalon
