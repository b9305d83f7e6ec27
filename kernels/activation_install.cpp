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

// One tier's activation kernels, each split over the threads as its cost asks.
template <auto Relu, auto Gelu, auto Sigmoid, auto Tanh, auto LeakyRelu, auto Exp, auto Sin, auto Silu>
void fill_activations(KernelTable& table) {
  table.relu_f32 = in_place<Relu, kSplitValues>;
  table.relu_inplace_f32 = in_place<Relu, kSplitValues>;  // the same, under its second name
  table.gelu_f32 = in_place<Gelu>;
  table.sigmoid_f32 = mapped<Sigmoid>;
  table.tanh_f32 = mapped<Tanh>;
  table.leaky_relu_f32 = leaky<LeakyRelu>;
  table.exp_f32 = mapped<Exp>;
  table.sin_f32 = mapped<Sin>;
  table.silu_f32 = mapped<Silu>;
}

}  // namespace

void install_activation_kernels(KernelTable& table, CpuTier tier) {
  fill_activations<relu_f32_portable, gelu_f32_portable, sigmoid_f32_portable, tanh_f32_portable,
                   leaky_relu_f32_portable, exp_f32_portable, sin_f32_portable, silu_f32_portable>(table);
#ifndef TREVALON_PORTABLE
  if (tier >= CpuTier::Avx512)
    fill_activations<relu_f32_avx512, gelu_f32_avx512, sigmoid_f32_avx512, tanh_f32_avx512,
                     leaky_relu_f32_avx512, exp_f32_avx512, sin_f32_avx512, silu_f32_avx512>(table);
  else if (tier >= CpuTier::Avx2)
    fill_activations<relu_f32_avx2, gelu_f32_avx2, sigmoid_f32_avx2, tanh_f32_avx2, leaky_relu_f32_avx2,
                     exp_f32_avx2, sin_f32_avx2, silu_f32_avx2>(table);
#else
  (void)tier;
#endif
}

}  // namespace trevalon
