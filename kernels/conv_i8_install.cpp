// Fills the int8 convolution slots of the CPU table (conv2d_i8, conv2d_i8_winograd) and picks the
// depthwise 3x3 kernel, which has no slot of its own, for the same tier.
#include "backend/cpu_backend.h"
#include "kernels/conv2d_i8.h"
#include "kernels/depthwise_i8.h"
#include "kernels/winograd_i8.h"

namespace trevalon {

void install_conv_i8_kernels(KernelTable& table, CpuTier tier) {
  // The general kernel gathers patches with memcpy and multiplies through the table's gemm_i8, so
  // one version serves every tier.
  table.conv2d_i8 = conv2d_i8;
  table.conv2d_i8_winograd = conv2d_i8_winograd_portable;
  DepthwiseI8Kernel depthwise = depthwise_i8_3x3_portable;
#ifndef TREVALON_PORTABLE
  if (tier >= CpuTier::Avx2) {
    table.conv2d_i8_winograd = conv2d_i8_winograd_avx2;
    depthwise = depthwise_i8_3x3_avx2;
  }
  if (tier >= CpuTier::Avx512) {
    table.conv2d_i8_winograd = conv2d_i8_winograd_avx512;
    depthwise = depthwise_i8_3x3_avx512;
  }
  if (tier >= CpuTier::Avx512Vnni) depthwise = depthwise_i8_3x3_avx512vnni;
#endif
  set_depthwise_i8_kernel(depthwise);
}

}  // namespace trevalon
