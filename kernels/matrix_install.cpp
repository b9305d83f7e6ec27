// Fills the matrix kernel slots of the CPU table: portable code first, then the best for the tier.
#include "backend/cpu_backend.h"
#include "kernels/gemm_f32.h"
#include "kernels/gemm_i8.h"
#include "kernels/table_small_f32.h"

namespace trevalon {
namespace {

#ifndef TREVALON_PORTABLE
// Without a prepared form the sums come from the weights, as in the slot.
template <auto Product>
void gemm_i8_prepared_driver(const int8_t* A, const int8_t* packed, const PreparedWeightsI8* prepared,
                             const int64_t* bias, const int32_t* mult, const int32_t* shift,
                             const float* scale, int8_t out_zp, void* out, bool float_out, int M, int K,
                             int N, bool channel_major, const int32_t*) {
  Product(A, 0, packed, bias, mult, shift, scale, out_zp, out, float_out, M, K, N, channel_major, nullptr,
          prepared);
}
#endif

}  // namespace

void install_matrix_kernels(KernelTable& table, KernelDrivers& drivers, CpuTier tier) {
  table.pack_weights_i8 = &pack_weights_i8;
  table.pack_weights_f32 = &pack_weights_f32;
  table.free_packed_i8 = &free_packed_i8;
  table.free_packed_f32 = &free_packed_f32;
  table.gemm_i8 = &gemm_i8_portable;
  table.gemm_i8_raw = &gemm_i8_raw_portable;
  table.gemm_f32 = &gemm_f32_portable;
  table.gemv_f32 = &gemv_f32_portable;
  table.add_inplace_f32 = &add_inplace_f32;
  table.embedding_gather_f32 = &embedding_gather_f32;
  drivers.gemm_i8 = &gemm_i8_unprepared<&gemm_i8_portable>;
#ifndef TREVALON_PORTABLE
  if (tier >= CpuTier::Avx2) {
    table.gemm_f32 = &gemm_f32_avx2;
    table.gemv_f32 = &gemv_f32_avx2;
    table.gemm_i8 = &gemm_i8_avx2;
    drivers.gemm_i8 = &gemm_i8_unprepared<&gemm_i8_avx2>;
    table.gemm_i8_raw = &gemm_i8_raw_avx2;
  }
  if (tier >= CpuTier::Avx512) table.gemm_f32 = &gemm_f32_avx512;
  if (tier >= CpuTier::Avx512Vnni) {
    table.gemm_i8 = &gemm_i8_avx512vnni;
    drivers.gemm_i8 = &gemm_i8_prepared_driver<&gemm_i8_prepared_avx512vnni>;
    drivers.prepare_i8 = &prepare_weights_i8_avx512vnni;
    drivers.gemm_i8_rows_f32 = &gemm_i8_rows_f32_avx512vnni;
    drivers.gemm_i8_add = &gemm_i8_add_avx512vnni;
    table.gemm_i8_raw = &gemm_i8_raw_avx512vnni;
  }
  if (tier >= CpuTier::Avx512Amx) {  // the same prepared weights, the sums on the tile unit
    table.gemm_i8 = &gemm_i8_avx512amx;
    drivers.gemm_i8 = &gemm_i8_prepared_driver<&gemm_i8_prepared_avx512amx>;
    drivers.gemm_i8_rows_f32 = &gemm_i8_rows_f32_avx512amx;
    drivers.gemm_i8_add = &gemm_i8_add_avx512amx;
    table.gemm_i8_raw = &gemm_i8_raw_avx512amx;
  }
#else
  (void)tier;
#endif
}

}  // namespace trevalon
