// Fills the float convolution slots of the CPU table and their drivers: portable code first, then
// the tier's (the products themselves are the tier's gemm_f32). Only the AVX-512 tier prepares
// weights (64-channel panels), and only its products finish a fused residual addition in
// registers; the others read the table's 4-row panels as they are.
#include "backend/cpu_backend.h"
#include "kernels/conv2d_f32.h"
#include "kernels/winograd_f32.h"
#ifndef TREVALON_PORTABLE
#include "kernels/x86/gemm_f32_avx512.h"
#endif

namespace trevalon {
namespace {

// Driver entries of tiers without a prepared form: the slot itself.
template <auto Slot>
void conv_on_panels(const float* input, const float* bias, float* output, int C, int H, int W, int C_out,
                    int kH, int kW, int stride_h, int stride_w, int pad_h, int pad_w, bool relu,
                    const float* packed, const float* prepared, float* scratch, int dilation_h,
                    int dilation_w) {
  Slot(input, nullptr, bias, output, C, H, W, C_out, kH, kW, stride_h, stride_w, pad_h, pad_w, relu, packed,
       scratch, dilation_h, dilation_w, nullptr);
}

template <auto Slot>
void winograd_on_panels(const float* input, const float* const* packed16, const float* const* prepared16,
                        const float* bias, float* output, int C, int H, int W, int C_out, bool relu) {
  Slot(input, packed16, bias, output, C, H, W, C_out, relu, nullptr, nullptr, nullptr);
}

}  // namespace

void install_conv_f32_kernels(KernelTable& table, KernelDrivers& drivers, CpuTier tier) {
  table.conv2d_f32 = &conv2d_f32;
  table.conv2d_f32_winograd = &conv2d_f32_winograd_portable;
  drivers.conv2d_f32 = &conv_on_panels<&conv2d_f32>;
  drivers.conv2d_f32_winograd = &winograd_on_panels<&conv2d_f32_winograd_portable>;
#ifndef TREVALON_PORTABLE
  if (tier >= CpuTier::Avx2) {
    table.conv2d_f32 = &conv2d_f32_avx2;
    table.conv2d_f32_winograd = &conv2d_f32_winograd_avx2;
    drivers.conv2d_f32 = &conv_on_panels<&conv2d_f32_avx2>;
    drivers.conv2d_f32_winograd = &winograd_on_panels<&conv2d_f32_winograd_avx2>;
  }
  if (tier >= CpuTier::Avx512) {
    table.conv2d_f32 = &conv2d_f32_avx512;
    table.conv2d_f32_winograd = &conv2d_f32_winograd_avx512;
    drivers.prepare_f32 = &x86::prepare_weights_f32_avx512;
    drivers.conv2d_f32 = &conv2d_f32_prepared_avx512;
    drivers.conv2d_f32_add = &conv2d_f32_add_prepared_avx512;
    drivers.conv2d_f32_winograd = &conv2d_f32_winograd_prepared_avx512;
  }
#else
  (void)tier;
#endif
}

}  // namespace trevalon
