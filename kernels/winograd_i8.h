// Int8 Winograd F(2x2, 3x3) convolution (stride 1, padding 1, channels-fastest data): the weight
// transform done at load, the input and output stages of a forward pass, and the driver that joins
// them with 16 gemm_i8_raw products.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace trevalon {

// Transformed inputs are stored as quarters: saturate_int8((v + 2) >> 2).
inline constexpr float kWinogradI8InputScale = 0.25f;

// The 3x3 weights in the transformed domain: U = G g G^T per (output, input) channel pair, value
// U[i][j] in matrix 4i + j (C_out x C_in), each matrix quantised to int8 with its own scale.
struct WinogradI8Weights {
  std::vector<int8_t> matrices[16];
  float scales[16] = {};
  std::vector<int32_t> row_sums[16];
};

// weights: C_out x C_in x 3 x 3 in stored order.
void winograd_i8_transform_weights(const int8_t* weights, int C_out, int C_in, WinogradI8Weights& out);

// Bias of the transformed domain: the zero-point correction inside eff_bias is swapped for the one a
// tile of constant in_zp produces there (only matrix 5 sees it). row_sums are those of the stored
// weights, row_sums5 those of matrix 5.
void winograd_i8_bias(const int64_t* eff_bias, const int32_t* row_sums, const int32_t* row_sums5,
                      float scale5, float input_scale, int8_t in_zp, int C_out, int64_t* bias_w);

// Input stage: tiles of tile rows [ty0, ty1) (numbered from ty0 x tiles_x, row-major) into the 16
// transformed matrices; matrix k starts at V + k x plane, tile t's row at t x C.
using WinogradI8InputStage = void (*)(const int8_t* input, int C, int H, int W, int8_t in_zp, int ty0,
                                      int ty1, int8_t* V, size_t plane);

struct WinogradI8OutputArgs {
  int C_out, H, W;
  int32_t product_mult[16], product_shift[16];  // rescale of product k into accumulator units
  const int64_t* bias_w;
  const int32_t* mult;
  const int32_t* shift;
  int8_t out_zp;
  // The output channels one call writes, [channel_begin, channel_end); the products hold exactly
  // these, rows of channel_end - channel_begin values.
  int channel_begin, channel_end;
};

// Output stage: products of tile rows [ty0, ty1) (product k at P + k x plane, tile t's row at
// t x (channel_end - channel_begin)) rescaled, transformed back, biased and requantised into the
// output pixels inside H x W (C_out channels each).
using WinogradI8OutputStage = void (*)(const int32_t* P, size_t plane, const WinogradI8OutputArgs& args,
                                       int ty0, int ty1, int8_t* output);

void winograd_i8_input_portable(const int8_t* input, int C, int H, int W, int8_t in_zp, int ty0, int ty1,
                                int8_t* V, size_t plane);
void winograd_i8_output_portable(const int32_t* P, size_t plane, const WinogradI8OutputArgs& args, int ty0,
                                 int ty1, int8_t* output);
// The portable stages restricted to channels [begin, end) (for the output stage a part of the
// args' range); vector stages finish their tails here.
void winograd_i8_input_channels(const int8_t* input, int C, int H, int W, int8_t in_zp, int ty0, int ty1,
                                int8_t* V, size_t plane, int c_begin, int c_end);
void winograd_i8_output_channels(const int32_t* P, size_t plane, const WinogradI8OutputArgs& args, int ty0,
                                 int ty1, int8_t* output, int o_begin, int o_end);
#ifndef TREVALON_PORTABLE
void winograd_i8_input_avx2(const int8_t* input, int C, int H, int W, int8_t in_zp, int ty0, int ty1,
                            int8_t* V, size_t plane);
void winograd_i8_output_avx2(const int32_t* P, size_t plane, const WinogradI8OutputArgs& args, int ty0,
                             int ty1, int8_t* output);
void winograd_i8_input_avx512(const int8_t* input, int C, int H, int W, int8_t in_zp, int ty0, int ty1,
                              int8_t* V, size_t plane);
// The same values stored XOR 0x80 (plus 128 read as unsigned), for the VNNI product.
void winograd_i8_input_avx512_offset(const int8_t* input, int C, int H, int W, int8_t in_zp, int ty0, int ty1,
                                     int8_t* V, size_t plane);
void winograd_i8_output_avx512(const int32_t* P, size_t plane, const WinogradI8OutputArgs& args, int ty0,
                               int ty1, int8_t* output);
#endif

// Slot conv2d_i8_winograd, one entry per set of stages. scratch0 holds the transformed input
// (16 x tiles x C_in bytes), scratch1 the products (16 x tiles x C_out int32).
void conv2d_i8_winograd_portable(const int8_t* input, const int8_t* const* packed16,
                                 const int32_t* const* row_sums16, const float* scales16,
                                 const int64_t* bias_w, const int32_t* mult, const int32_t* shift,
                                 const float* req_scale, int8_t in_zp, float input_scale, int8_t out_zp,
                                 int8_t* output, int C_in, int H, int W, int C_out, void* scratch0,
                                 void* scratch1, void* stream);
#ifndef TREVALON_PORTABLE
void conv2d_i8_winograd_avx2(const int8_t* input, const int8_t* const* packed16,
                             const int32_t* const* row_sums16, const float* scales16, const int64_t* bias_w,
                             const int32_t* mult, const int32_t* shift, const float* req_scale, int8_t in_zp,
                             float input_scale, int8_t out_zp, int8_t* output, int C_in, int H, int W,
                             int C_out, void* scratch0, void* scratch1, void* stream);
void conv2d_i8_winograd_avx512vnni(const int8_t* input, const int8_t* const* packed16,
                                   const int32_t* const* row_sums16, const float* scales16,
                                   const int64_t* bias_w, const int32_t* mult, const int32_t* shift,
                                   const float* req_scale, int8_t in_zp, float input_scale, int8_t out_zp,
                                   int8_t* output, int C_in, int H, int W, int C_out, void* scratch0,
                                   void* scratch1, void* stream);
void conv2d_i8_winograd_avx512amx(const int8_t* input, const int8_t* const* packed16,
                                  const int32_t* const* row_sums16, const float* scales16,
                                  const int64_t* bias_w, const int32_t* mult, const int32_t* shift,
                                  const float* req_scale, int8_t in_zp, float input_scale, int8_t out_zp,
                                  int8_t* output, int C_in, int H, int W, int C_out, void* scratch0,
                                  void* scratch1, void* stream);
void conv2d_i8_winograd_avx512(const int8_t* input, const int8_t* const* packed16,
                               const int32_t* const* row_sums16, const float* scales16, const int64_t* bias_w,
                               const int32_t* mult, const int32_t* shift, const float* req_scale,
                               int8_t in_zp, float input_scale, int8_t out_zp, int8_t* output, int C_in,
                               int H, int W, int C_out, void* scratch0, void* scratch1, void* stream);
#endif

}  // namespace trevalon
