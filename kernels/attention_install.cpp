// Fills the attention slots of the CPU table and their drivers: the tier's core between the tier's
// products (the float products read the tier's prepared weights when the layer has them).
#include "backend/cpu_backend.h"
#include "kernels/attention.h"
#include "kernels/gemm_f32.h"
#ifndef TREVALON_PORTABLE
#include "kernels/x86/gemm_f32_avx512.h"
#endif

namespace trevalon {
namespace {

// Products of tiers that read the 4-row panels as they are.
template <auto Gemm>
void gemm_on_panels(const float* A, const float* packed, const float* prepared, const float* bias, float* out,
                    int M, int K, int N) {
  Gemm(A, packed, bias, out, false, M, K, N);
}

#ifndef TREVALON_PORTABLE
void gemm_prepared_avx512(const float* A, const float* packed, const float* prepared, const float* bias,
                          float* out, int M, int K, int N) {
  gemm_f32_prepared_avx512(A, packed, prepared, bias, out, false, M, K, N);
}
#endif

template <AttentionGemmF32 Gemm, AttentionHeadsKernel Heads>
void attention_f32_driver(const float* input, const float* qkv_packed, const float* qkv_prepared,
                          const float* b_qkv, const float* proj_packed, const float* proj_prepared,
                          const float* b_proj, float* out, int T, int E, int num_heads, float* work,
                          bool fake_quant) {
  attention_f32_steps(Gemm, Heads, input, qkv_packed, qkv_prepared, b_qkv, proj_packed, proj_prepared, b_proj,
                      out, T, E, num_heads, work, fake_quant);
}

// The slot reads the packed panels; the raw weights are for backends that keep no packed form.
template <AttentionGemmF32 Gemm, AttentionHeadsKernel Heads>
void attention_f32_slot(const float* input, const float* w_qkv, const float* b_qkv, const float* w_proj,
                        const float* b_proj, float* out, int T, int E, int num_heads, float* work,
                        const float* qkv_packed, const float* proj_packed, void* stream, bool fake_quant) {
  if (!qkv_packed || !proj_packed) return;
  attention_f32_steps(Gemm, Heads, input, qkv_packed, nullptr, b_qkv, proj_packed, nullptr, b_proj, out, T, E,
                      num_heads, work, fake_quant);
}

template <AttentionGemmF32 Gemm, AttentionHeadsKernel Heads>
void install_f32(KernelTable& table, KernelDrivers& drivers) {
  table.attention_f32 = &attention_f32_slot<Gemm, Heads>;
  drivers.attention_f32 = &attention_f32_driver<Gemm, Heads>;
}

}  // namespace

void install_attention_kernels(KernelTable& table, KernelDrivers& drivers, CpuTier tier) {
  install_f32<&gemm_on_panels<&gemm_f32_portable>, &attention_heads_portable>(table, drivers);
#ifndef TREVALON_PORTABLE
  if (tier >= CpuTier::Avx2) install_f32<&gemm_on_panels<&gemm_f32_avx2>, &attention_heads_avx2>(table, drivers);
  if (tier >= CpuTier::Avx512) install_f32<&gemm_prepared_avx512, &attention_heads_avx512>(table, drivers);
#else
  (void)tier;
#endif
}

}  // namespace trevalon
