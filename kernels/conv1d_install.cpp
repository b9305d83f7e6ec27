// Fills the row-bias slot of the CPU table and the one-dimensional convolution drivers: portable
// code first, then the tier's (the products are the tier's gemm_f32, on prepared weights where the
// tier prepares them).
#include "backend/cpu_backend.h"
#include "kernels/conv1d_f32.h"

namespace trevalon {

void install_conv1d_kernels(KernelTable& table, KernelDrivers& drivers, CpuTier tier) {
  table.add_row_bias_f32 = &add_row_bias_f32_portable;
  Conv1dF32Drivers& d = drivers.conv1d;
  d.gemm = &conv1d_gemm_portable;
  d.winograd_input = &winograd1d_input_portable;
  d.winograd_output = &winograd1d_output_portable;
  d.direct = &conv1d_direct_portable;
  d.depthwise = &conv1d_depthwise_portable;
#ifndef TREVALON_PORTABLE
  if (tier >= CpuTier::Avx2) {
    table.add_row_bias_f32 = &add_row_bias_f32_avx2;
    d.gemm = &conv1d_gemm_avx2;
    d.winograd_input = &winograd1d_input_avx2;
    d.winograd_output = &winograd1d_output_avx2;
    d.direct = &conv1d_direct_avx2;
    d.depthwise = &conv1d_depthwise_avx2;
  }
  if (tier >= CpuTier::Avx512) {
    table.add_row_bias_f32 = &add_row_bias_f32_avx512;
    d.gemm = &conv1d_gemm_avx512;
    d.winograd_input = &winograd1d_input_avx512;
    d.winograd_output = &winograd1d_output_avx512;
    d.direct = &conv1d_direct_avx512;
    d.depthwise = &conv1d_depthwise_avx512;
  }
#else
  (void)tier;
#endif
}

}  // namespace trevalon
