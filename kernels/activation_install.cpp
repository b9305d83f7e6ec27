// Fills the float activation slots of the CPU table: portable code, then AVX2 or AVX-512.
#include "backend/cpu_backend.h"
#include "kernels/activation_f32.h"

namespace trevalon {

void install_activation_kernels(KernelTable& table, CpuTier tier) {
  table.relu_f32 = relu_f32_portable;
  table.relu_inplace_f32 = relu_f32_portable;  // the same routine under its second name
  table.gelu_f32 = gelu_f32_portable;
  table.sigmoid_f32 = sigmoid_f32_portable;
  table.tanh_f32 = tanh_f32_portable;
  table.leaky_relu_f32 = leaky_relu_f32_portable;
  table.exp_f32 = exp_f32_portable;
  table.sin_f32 = sin_f32_portable;
  table.silu_f32 = silu_f32_portable;
#ifndef TREVALON_PORTABLE
  if (tier >= CpuTier::Avx512) {
    table.relu_f32 = relu_f32_avx512;
    table.relu_inplace_f32 = relu_f32_avx512;
    table.gelu_f32 = gelu_f32_avx512;
    table.sigmoid_f32 = sigmoid_f32_avx512;
    table.tanh_f32 = tanh_f32_avx512;
    table.leaky_relu_f32 = leaky_relu_f32_avx512;
    table.exp_f32 = exp_f32_avx512;
    table.sin_f32 = sin_f32_avx512;
    table.silu_f32 = silu_f32_avx512;
  } else if (tier >= CpuTier::Avx2) {
    table.relu_f32 = relu_f32_avx2;
    table.relu_inplace_f32 = relu_f32_avx2;
    table.gelu_f32 = gelu_f32_avx2;
    table.sigmoid_f32 = sigmoid_f32_avx2;
    table.tanh_f32 = tanh_f32_avx2;
    table.leaky_relu_f32 = leaky_relu_f32_avx2;
    table.exp_f32 = exp_f32_avx2;
    table.sin_f32 = sin_f32_avx2;
    table.silu_f32 = silu_f32_avx2;
  }
#else
  (void)tier;
#endif
}

}  // namespace trevalon
