// Fills the sequence-projection slots (gemm_f32_rows, seq_gemm_i8, gemv_i8_dynamic) and their
// drivers: each tier's entry is built from that tier's float and int8 products, row quantiser and
// GELU, so a slot never reaches back into the table.
#include <cstddef>

#include "backend/cpu_backend.h"
#include "kernels/activation_f32.h"
#include "kernels/gemm_f32.h"
#include "kernels/gemm_i8.h"
#include "kernels/seq_gemm.h"

namespace trevalon {
namespace {

// Slot gemm_f32_rows: with packed weights the tier's gemm_f32, else the direct product.
template <auto Gemm, auto Gelu>
void rows_slot(const float* input, const float* w, const float* bias, float* out, int T, int K, int N,
               bool gelu, const float* packed, void*) {
  if (T <= 0 || N <= 0) return;
  if (packed)
    Gemm(input, packed, bias, out, false, T, K, N);
  else
    gemm_f32_rows_direct(input, w, bias, out, T, K, N);
  if (gelu) gelu_in_chunks(Gelu, out, size_t(T) * size_t(N));
}

// Driver gemm_f32_rows of tiers that read the 4-row panels as they are.
template <auto Gemm, auto Gelu>
void rows_on_panels(const float* input, const float* bias, float* out, int T, int K, int N, bool gelu,
                    const float* packed, const float*) {
  rows_slot<Gemm, Gelu>(input, nullptr, bias, out, T, K, N, gelu, packed, nullptr);
}

// Slot seq_gemm_i8: the dynamic-row product on the tier's kernels, then GELU.
template <auto Quantize, auto GemmSlot, auto Gelu>
void seq_gemm_slot(const float* input, const int8_t* packed, const float* row_scales,
                   const int64_t* zero_bias, const float* bias, int8_t* q, float* scale_copy, float* out,
                   int T, int K, int N, bool gelu, void*) {
  gemm_i8_dynamic_rows_with(Quantize, &gemm_i8_unprepared<GemmSlot>, nullptr, input, packed, row_scales,
                            zero_bias, bias, q, scale_copy, out, T, K, N);
  if (gelu && T > 0 && N > 0) gelu_in_chunks(Gelu, out, size_t(T) * size_t(N));
}

#ifndef TREVALON_PORTABLE
void rows_prepared_avx512(const float* input, const float* bias, float* out, int T, int K, int N, bool gelu,
                          const float* packed, const float* prepared) {
  if (T <= 0 || N <= 0) return;
  gemm_f32_prepared_avx512(input, packed, prepared, bias, out, false, T, K, N);
  if (gelu) gelu_in_chunks(&gelu_f32_avx512, out, size_t(T) * size_t(N));
}
#endif

}  // namespace

void install_seq_gemm_kernels(KernelTable& table, KernelDrivers& drivers, CpuTier tier) {
  table.gemm_f32_rows = &rows_slot<&gemm_f32_portable, &gelu_f32_portable>;
  table.seq_gemm_i8 = &seq_gemm_slot<&quantize_rows_i8_portable, &gemm_i8_portable, &gelu_f32_portable>;
  table.gemv_i8_dynamic = &gemv_i8_dynamic_portable;
  drivers.gemm_f32_rows = &rows_on_panels<&gemm_f32_portable, &gelu_f32_portable>;
  drivers.quantize_rows_i8 = &quantize_rows_i8_portable;
#ifndef TREVALON_PORTABLE
  if (tier >= CpuTier::Avx2) {
    table.gemm_f32_rows = &rows_slot<&gemm_f32_avx2, &gelu_f32_avx2>;
    table.seq_gemm_i8 = &seq_gemm_slot<&quantize_rows_i8_avx2, &gemm_i8_avx2, &gelu_f32_avx2>;
    table.gemv_i8_dynamic = &gemv_i8_dynamic_avx2;
    drivers.gemm_f32_rows = &rows_on_panels<&gemm_f32_avx2, &gelu_f32_avx2>;
    drivers.quantize_rows_i8 = &quantize_rows_i8_avx2;
  }
  if (tier >= CpuTier::Avx512) {
    table.gemm_f32_rows = &rows_slot<&gemm_f32_avx512, &gelu_f32_avx512>;
    table.seq_gemm_i8 = &seq_gemm_slot<&quantize_rows_i8_avx512, &gemm_i8_avx2, &gelu_f32_avx512>;
    drivers.gemm_f32_rows = &rows_prepared_avx512;
    drivers.quantize_rows_i8 = &quantize_rows_i8_avx512;
  }
  if (tier >= CpuTier::Avx512Vnni) {
    table.seq_gemm_i8 = &seq_gemm_slot<&quantize_rows_i8_avx512, &gemm_i8_avx512vnni, &gelu_f32_avx512>;
    table.gemv_i8_dynamic = &gemv_i8_dynamic_avx512vnni;
  }
  if (tier >= CpuTier::Avx512Amx)
    table.seq_gemm_i8 = &seq_gemm_slot<&quantize_rows_i8_avx512, &gemm_i8_avx512amx, &gelu_f32_avx512>;
#else
  (void)tier;
#endif
}

}  // namespace trevalon
