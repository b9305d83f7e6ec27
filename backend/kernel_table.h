// The backend descriptor and its fixed-order table of 59 kernel entry points.
#pragma once

#include <cstdint>
#include <type_traits>

namespace trevalon {

class Allocator;

// Entry point of a slot whose layer family fixes its argument list; typed when that family lands.
using OpaqueKernel = void (*)();

// Slot list in table order: (index, name, function type). Every layer-facing kernel that takes a
// trailing `void* stream` receives the ExecContext's stream unchanged; CPU kernels ignore it.
#define TREVALON_KERNEL_SLOTS(X)                                                                             \
  X(0, get_allocator, Allocator* (*)())                                                                      \
  X(1, pack_weights_i8, int8_t* (*)(const int8_t* w, int rows, int cols))                                    \
  X(2, pack_weights_f32, float* (*)(const float* w, int rows, int cols))                                     \
  X(3, free_packed_i8, void (*)(int8_t * packed))                                                            \
  X(4, free_packed_f32, void (*)(float* packed))                                                             \
  X(5, gemm_i8,                                                                                              \
    void (*)(const int8_t* A, const int8_t* packed, const int64_t* bias, const int32_t* mult,                \
             const int32_t* shift, const float* scale, int8_t out_zp, void* out, bool float_out, int M,      \
             int K, int N, bool channel_major, const int32_t* row_sums, void* stream))                       \
  X(6, gemm_i8_raw, void (*)(const int8_t* A, const int8_t* packed, int32_t* out, int M, int K, int N))      \
  X(7, gemm_f32,                                                                                             \
    void (*)(const float* A, const float* packed, const float* bias, float* out, bool relu, int M, int K,    \
             int N))                                                                                         \
  X(8, gemv_f32,                                                                                             \
    void (*)(const float* x, const float* w, const float* bias, float* out, int K, int N,                    \
             const float* packed, void* stream))                                                             \
  X(9, conv2d_i8,                                                                                            \
    void (*)(const int8_t* input, const int8_t* weights, const int8_t* packed, const int64_t* bias,          \
             const int32_t* mult, const int32_t* shift, int8_t in_zp, int8_t out_zp, int8_t* output,         \
             int C_in, int H, int W, int C_out, int kH, int kW, int stride_h, int stride_w, int pad_h,       \
             int pad_w, int groups, void* scratch, bool channels_fastest, const int32_t* row_sums,           \
             void* stream))                                                                                  \
  X(10, conv2d_i8_winograd,                                                                                  \
    void (*)(const int8_t* input, const int8_t* const* packed16, const int32_t* const* row_sums16,           \
             const float* scales16, const int64_t* bias_w, const int32_t* mult, const int32_t* shift,        \
             const float* req_scale, int8_t in_zp, float input_scale, int8_t out_zp, int8_t* output,         \
             int C_in, int H, int W, int C_out, void* scratch0, void* scratch1, void* stream))               \
  X(11, conv2d_f32,                                                                                          \
    void (*)(const float* input, const float* weights, const float* bias, float* output, int C_in, int H,    \
             int W, int C_out, int kH, int kW, int stride_h, int stride_w, int pad_h, int pad_w, bool relu,  \
             const float* packed, float* scratch, int dilation_h, int dilation_w, void* stream))             \
  X(12, conv2d_f32_winograd,                                                                                 \
    void (*)(const float* input, const float* const* packed16, const float* bias, float* output, int C_in,   \
             int H, int W, int C_out, bool relu, float* scratch, void* stream, const float* raw_weights))    \
  X(13, gemm_f32_rows,                                                                                       \
    void (*)(const float* input, const float* w, const float* bias, float* out, int T, int K, int N,         \
             bool gelu, const float* packed, void* stream))                                                  \
  X(14, seq_gemm_i8,                                                                                         \
    void (*)(const float* input, const int8_t* packed, const float* row_scales, const int64_t* zero_bias,   \
             const float* bias, int8_t* q, float* scale_copy, float* out, int T, int K, int N, bool gelu,    \
             void* stream))                                                                                  \
  X(15, gemv_i8_dynamic,                                                                                     \
    void (*)(const float* x, const int8_t* w, const float* row_scales, const float* bias, float* out, int K, \
             int N, void* stream))                                                                           \
  X(16, conv1d_i8, OpaqueKernel)                                                                             \
  X(17, conv1d_f32, OpaqueKernel)                                                                            \
  X(18, conv_transpose1d_f32, OpaqueKernel)                                                                  \
  X(19, attention_f32,                                                                                       \
    void (*)(const float* input, const float* w_qkv, const float* b_qkv, const float* w_proj,                \
             const float* b_proj, float* out, int T, int E, int num_heads, float* work,                      \
             const float* qkv_packed, const float* proj_packed, void* stream, bool fake_quant))              \
  X(20, attention_i8,                                                                                        \
    void (*)(const float* input, const int8_t* qkv_packed, const float* qkv_scales,                          \
             const int64_t* qkv_zeros, const float* b_qkv, const int8_t* proj_packed,                        \
             const float* proj_scales, const int64_t* proj_zeros, const float* b_proj, float* out, int T,    \
             int E, int num_heads, float* work, int8_t* work_i8, float* work_small, void* stream))           \
  X(21, layer_norm_f32,                                                                                      \
    void (*)(const float* in, const float* gamma, const float* beta, float* out, int rows, int cols,         \
             float eps))                                                                                     \
  X(22, maxpool_i8_direct, MaxPoolI8Kernel)                                                                  \
  X(23, maxpool_i8, MaxPoolI8Kernel)                                                                         \
  X(24, maxpool_f32,                                                                                         \
    void (*)(const float* in, float* out, int C, int H, int W, int kH, int kW, int stride_h, int stride_w,   \
             int pad_h, int pad_w, void* stream))                                                            \
  X(25, avgpool_i8_to_i8,                                                                                    \
    void (*)(const int8_t* in, int32_t in_zp, int32_t out_zp, int8_t* out, int C, int H, int W,              \
             float in_scale, float out_scale))                                                               \
  X(26, avgpool_i8,                                                                                          \
    void (*)(const int8_t* in, int32_t in_zp, int32_t out_zp, int8_t* out, int C, int H, int W,              \
             float in_scale, float out_scale, void* stream))                                                 \
  X(27, avgpool_f32, void (*)(const float* in, float* out, int C, int H, int W, void* stream))               \
  X(28, add_f32, void (*)(const float* a, const float* b, float* out, int count, bool relu, void* stream))   \
  X(29, add_i8,                                                                                              \
    void (*)(const int8_t* a, const int8_t* b, int32_t in1_zp, int32_t in2_zp, int32_t out_zp, int8_t* out,  \
             int count, float in1_scale, float in2_scale, float out_scale, void* stream))                    \
  X(30, relu_f32, void (*)(float* data, int count))                                                          \
  X(31, gelu_f32, void (*)(float* data, int count))                                                          \
  X(32, sigmoid_f32, UnaryF32Kernel)                                                                         \
  X(33, tanh_f32, UnaryF32Kernel)                                                                            \
  X(34, leaky_relu_f32, void (*)(const float* in, float* out, int count, float alpha))                       \
  X(35, exp_f32, UnaryF32Kernel)                                                                             \
  X(36, sin_f32, UnaryF32Kernel)                                                                             \
  X(37, upsample_nearest1d_f32,                                                                              \
    void (*)(const float* in, float* out, int rows, int row_len, int factor, void* stream))                  \
  X(38, upsample_bilinear_f32,                                                                               \
    void (*)(const float* in, float* out, int C, int H, int W, int out_H, int out_W, void* stream))          \
  X(39, ada_in1d_f32,                                                                                        \
    void (*)(const float* in, float* out, const float* gamma, const float* beta, int rows, int C,            \
             const float* norm_weight, float eps, const float* norm_bias))                                   \
  X(40, ada_layer_norm_f32,                                                                                  \
    void (*)(const float* in, float* out, const float* gamma, const float* beta, int rows, int C,            \
             float eps))                                                                                     \
  X(41, add_inplace_f32, void (*)(float* a, const float* b, int count))                                      \
  X(42, add_row_bias_f32, void (*)(float* data, const float* bias, int rows, int cols))                      \
  X(43, scale_f32, void (*)(const float* in, float* out, int count, float scalar))                           \
  X(44, sum_channels_f32, void (*)(const float* in, float* out, int positions, int C, void* stream))         \
  X(45, relu_inplace_f32, void (*)(float* data, int count))                                                  \
  X(46, embedding_gather_f32,                                                                                \
    void (*)(const float* indices, const float* table, float* out, int count, int rows, int row_len))        \
  X(47, concat1d_f32,                                                                                        \
    void (*)(const float* first, const float* second, float* out, int positions, int C1, int C2,             \
             bool broadcast, void* stream))                                                                  \
  X(48, slice_channels_f32,                                                                                  \
    void (*)(const float* in, float* out, int positions, int C, int start, int count, void* stream))         \
  X(49, snake_f32,                                                                                           \
    void (*)(const float* in, float* out, const float* alpha, const float* inv, int positions, int C,        \
             void* stream))                                                                                  \
  X(50, lstm_f32, OpaqueKernel)                                                                              \
  X(51, stft_f32, OpaqueKernel)                                                                              \
  X(52, istft_f32, OpaqueKernel)                                                                             \
  X(53, reflection_pad1d_f32, OpaqueKernel)                                                                  \
  X(54, sine_gen_f32, OpaqueKernel)                                                                          \
  X(55, rms_norm_f32,                                                                                        \
    void (*)(const float* in, const float* weight, float* out, int rows, int cols, float eps))               \
  X(56, silu_f32, UnaryF32Kernel)                                                                            \
  X(57, elemwise_mul_f32, void (*)(const float* a, const float* b, float* out, int count))                   \
  X(58, causal_attn_core_f32,                                                                               \
    void (*)(const float* q, const float* k, const float* v, float* cache, int position_offset,              \
             int capacity, float* out, int T, float rope_theta, int num_q_heads, int num_kv_heads,           \
             int head_dim, int rope_offset, uint8_t flag, float* scratch, void* stream))

using MaxPoolI8Kernel = void (*)(const int8_t* in, int8_t* out, int C, int H, int W, int kH, int kW,
                                 int stride_h, int stride_w, int pad_h, int pad_w, void* stream);
using UnaryF32Kernel = void (*)(const float* in, float* out, int count);

inline constexpr int kKernelSlotCount = 59;

struct KernelTable {
#define TREVALON_DECLARE_SLOT(index, name, type) std::type_identity_t<type> name = nullptr;
  TREVALON_KERNEL_SLOTS(TREVALON_DECLARE_SLOT)
#undef TREVALON_DECLARE_SLOT
};

// Where a backend keeps its buffers and runs its kernels (BackendDescriptor::device, and a layer's
// execution_device). A layer on another device than the backend's runs through host staging.
enum class DeviceKind : int32_t {
  Host = 0,  // host memory and host kernels
};

struct BackendDescriptor {
  const char* name;
  int32_t priority;
  int32_t device;  // a DeviceKind value
  KernelTable kernels;
};

// True when the slot at `index` (0..58) holds a kernel; false for null slots and bad indices.
bool kernel_slot_filled(const KernelTable& table, int index);
// The slot's name ("gemm_f32"), or "" for a bad index.
const char* kernel_slot_name(int index);

}  // namespace trevalon
