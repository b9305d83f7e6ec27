// Fills the float activation slots of the CPU table: portable code, then AVX2 or AVX-512.
#include "backend/cpu_backend.h"
#include "kernels/activation_f32.h"
#include "kernels/thread_pool.h"
#include "kernels/work_split.h"

namespace trevalon {
namespace {

// The slots split element ranges between threads. Ranges start on multiples of 64, so every
// complete group of four stays whole and in a full or partial vector as it would at one thread
// (lanes do not see each other), and the scalar tail stays at the end of the last range.
template <size_t MinValues, class Body>
void split_values(int count, Body body) {
  parallel_for(size_t(count > 0 ? count : 0), 64, MinValues,
               [&](size_t b, size_t e) { body(b, int(e - b)); });
}

template <auto Kernel, size_t MinValues = kSplitTranscendentals>
void in_place(float* data, int count) {
  split_values<MinValues>(count, [&](size_t b, int n) { Kernel(data + b, n); });
}

template <auto Kernel, size_t MinValues = kSplitTranscendentals>
void mapped(const float* in, float* out, int count) {
  split_values<MinValues>(count, [&](size_t b, int n) { Kernel(in + b, out + b, n); });
}

template <auto Kernel>
void leaky(const float* in, float* out, int count, float alpha) {
  split_values<kSplitValues>(count, [&](size_t b, int n) { Kernel(in + b, out + b, n, alpha); });
}

}  // namespace

void install_activation_kernels(KernelTable& table, CpuTier tier) {
  table.relu_f32 = in_place<relu_f32_portable, kSplitValues>;
  table.relu_inplace_f32 = in_place<relu_f32_portable, kSplitValues>;  // the same, under its second name
  table.gelu_f32 = in_place<gelu_f32_portable>;
  table.sigmoid_f32 = mapped<sigmoid_f32_portable>;
  table.tanh_f32 = mapped<tanh_f32_portable>;
  table.leaky_relu_f32 = leaky<leaky_relu_f32_portable>;
  table.exp_f32 = mapped<exp_f32_portable>;
  table.sin_f32 = mapped<sin_f32_portable>;
  table.silu_f32 = mapped<silu_f32_portable>;
#ifndef TREVALON_PORTABLE
  if (tier >= CpuTier::Avx512) {
    table.relu_f32 = in_place<relu_f32_avx512, kSplitValues>;
    table.relu_inplace_f32 = in_place<relu_f32_avx512, kSplitValues>;
    table.gelu_f32 = in_place<gelu_f32_avx512>;
    table.sigmoid_f32 = mapped<sigmoid_f32_avx512>;
    table.tanh_f32 = mapped<tanh_f32_avx512>;
    table.leaky_relu_f32 = leaky<leaky_relu_f32_avx512>;
    table.exp_f32 = mapped<exp_f32_avx512>;
    table.sin_f32 = mapped<sin_f32_avx512>;
    table.silu_f32 = mapped<silu_f32_avx512>;
  } else if (tier >= CpuTier::Avx2) {
    table.relu_f32 = in_place<relu_f32_avx2, kSplitValues>;
    table.relu_inplace_f32 = in_place<relu_f32_avx2, kSplitValues>;
    table.gelu_f32 = in_place<gelu_f32_avx2>;
    table.sigmoid_f32 = mapped<sigmoid_f32_avx2>;
    table.tanh_f32 = mapped<tanh_f32_avx2>;
    table.leaky_relu_f32 = leaky<leaky_relu_f32_avx2>;
    table.exp_f32 = mapped<exp_f32_avx2>;
    table.sin_f32 = mapped<sin_f32_avx2>;
    table.silu_f32 = mapped<silu_f32_avx2>;
  }
#else
  (void)tier;
#endif
}

}  // namespace trevalon
