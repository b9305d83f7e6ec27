// Int8 matrix products on 8x4 weight blocks: packer, output writers, portable kernels, the scalar
// reference and the ISA entry points the CPU table chooses from.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "kernels/prepared_weights.h"
#include "kernels/requantize.h"
#include "kernels/thread_pool.h"

namespace trevalon {

// Packed W: ceil(N/8) x ceil(K/4) blocks of 32 bytes, block (nb, kb) at (nb*ceil(K/4) + kb)*32,
// byte 4r + j holding W[8nb + r][4kb + j] (0 outside the matrix).
size_t packed_weights_i8_bytes(int rows, int cols);
int8_t* pack_weights_i8(const int8_t* w, int rows, int cols);
void free_packed_i8(int8_t* packed);

// Where and how one gemm_i8 call writes its results; shared by every tier so the three output modes
// are formed by one piece of code.
struct GemmI8Output {
  const int64_t* bias;
  const int32_t* mult;
  const int32_t* shift;
  const float* scale;
  int32_t out_zp;
  void* out;
  bool float_out;
  bool channel_major;
  int M, N;

  // acc is the exact sum of products, without bias.
  void write(int m, int n, int32_t acc) const {
    if (channel_major) {
      static_cast<int8_t*>(out)[size_t(n) * size_t(M) + m] = requantized(n, acc);
    } else if (float_out) {
      // The 64-bit sum wraps, as the vector tiers' lane adds do: a file's bias may be any int64.
      const int64_t sum = int64_t(uint64_t(bias[n]) + uint64_t(int64_t(acc)));
      const float v = static_cast<float>(sum);
      static_cast<float*>(out)[size_t(m) * size_t(N) + n] = v * scale[n];
    } else {
      static_cast<int8_t*>(out)[size_t(m) * size_t(N) + n] = requantized(n, acc);
    }
  }
  int8_t requantized(int n, int32_t acc) const {
    const int32_t v = int32_t(uint32_t(acc) + uint32_t(bias[n]));  // low 32 bits, wrapping
    return requantize(v, mult[n], shift[n], out_zp);
  }
};

// A quantised addition folded into a requantising product: each int8 result y becomes
// saturate_int8((bias + own_weight x y + other_weight x other) >> 12), with `other` the element at
// the same place of an M x N row-major operand and 32-bit wrapping sums: the Q12 form of the int8
// addition. Both weights lie in [-32768, 32767].
struct ResidualAddI8 {
  const int8_t* other;
  int32_t own_weight, other_weight, bias;
};

// Multiply-adds worth a hand-off to another thread (five microseconds and more on one core, a few
// times what waking a spinning worker costs).
constexpr size_t kGemmI8MinRangeMacs = size_t(3) << 19;

// Calls part(m_begin, m_end, n_begin, n_end) over pieces of an M x N product with K-long sums that
// cover it once: bands of rows (starts multiples of row_align) or, when the rows are too few to
// share, bands of channels (starts multiples of col_align, the tier's channel block). Each output
// is one exact integer sum either way; the split only decides which thread forms it. Rows win
// when there are at least as many as channels, since every band of rows reads all the weights.
template <class Part>
void parallel_gemm_i8(int M, int N, int K, int row_align, int col_align, Part&& part) {
  if (M <= 0 || N <= 0) return;
  // A channel costs at least the reading of its weights: with few rows that, not the
  // multiply-adds, sets the time (counted here as 32 rows' worth).
  const size_t macs_per_row = size_t(N) * size_t(K > 0 ? K : 1);
  const size_t macs_per_col = size_t(std::max(M, 32)) * size_t(K > 0 ? K : 1);
  const size_t min_rows = (kGemmI8MinRangeMacs + macs_per_row - 1) / macs_per_row;
  const size_t min_cols = (kGemmI8MinRangeMacs + macs_per_col - 1) / macs_per_col;
  const size_t row_blocks = (size_t(M) + row_align - 1) / row_align;
  const size_t col_blocks = (size_t(N) + col_align - 1) / col_align;
  const size_t by_rows = std::min(range_count(size_t(M), min_rows), row_blocks);
  const size_t by_cols = std::min(range_count(size_t(N), min_cols), col_blocks);
  if (by_rows <= 1 && by_cols <= 1) {
    part(0, M, 0, N);
  } else if (by_rows > by_cols || (by_rows == by_cols && M >= N)) {
    parallel_for(size_t(M), size_t(row_align), min_rows,
                 [&](size_t begin, size_t end) { part(int(begin), int(end), 0, N); });
  } else {
    parallel_for(size_t(N), size_t(col_align), min_cols,
                 [&](size_t begin, size_t end) { part(0, M, int(begin), int(end)); });
  }
}

// A gemm_i8 slot in the driver's form, for tiers that prepare nothing and for callers without a
// prepared form: the slot derives what it needs from the packed weights.
template <auto Slot>
void gemm_i8_unprepared(const int8_t* A, const int8_t* packed, const PreparedWeightsI8*, const int64_t* bias,
                        const int32_t* mult, const int32_t* shift, const float* scale, int8_t out_zp,
                        void* out, bool float_out, int M, int K, int N, bool channel_major,
                        const int32_t* row_sums) {
  Slot(A, packed, bias, mult, shift, scale, out_zp, out, float_out, M, K, N, channel_major, row_sums,
       nullptr);
}

void gemm_i8_portable(const int8_t* A, const int8_t* packed, const int64_t* bias, const int32_t* mult,
                      const int32_t* shift, const float* scale, int8_t out_zp, void* out, bool float_out,
                      int M, int K, int N, bool channel_major, const int32_t* row_sums, void* stream);
void gemm_i8_raw_portable(const int8_t* A, const int8_t* packed, int32_t* out, int M, int K, int N);

// Plain scalar reference on unpacked row-major W (N x K); used by tests.
void gemm_i8_raw_reference(const int8_t* A, const int8_t* W, int32_t* out, int M, int K, int N);
void gemm_i8_reference(const int8_t* A, const int8_t* W, const GemmI8Output& o, int K);

#ifndef TREVALON_PORTABLE
void gemm_i8_avx2(const int8_t* A, const int8_t* packed, const int64_t* bias, const int32_t* mult,
                  const int32_t* shift, const float* scale, int8_t out_zp, void* out, bool float_out, int M,
                  int K, int N, bool channel_major, const int32_t* row_sums, void* stream);
void gemm_i8_raw_avx2(const int8_t* A, const int8_t* packed, int32_t* out, int M, int K, int N);
void gemm_i8_avx512vnni(const int8_t* A, const int8_t* packed, const int64_t* bias, const int32_t* mult,
                        const int32_t* shift, const float* scale, int8_t out_zp, void* out, bool float_out,
                        int M, int K, int N, bool channel_major, const int32_t* row_sums, void* stream);
void gemm_i8_raw_avx512vnni(const int8_t* A, const int8_t* packed, int32_t* out, int M, int K, int N);
// The VNNI products for callers that know they run on this tier and hold more than the slots pass
// (the slot entries above sum the weight rows themselves and ignore any row sums they are given).
// offset_stride: 0 when A holds plain activations in rows of K bytes; otherwise every byte of A is
// the activation XOR 0x80 (plus 128 read as unsigned, the form the kernel multiplies) and rows lie
// offset_stride bytes apart, a multiple of 4 not below K (bytes past K meet zero weights and may
// hold anything). row_sums: int32 sums of each row of W, which must be right, or null to sum them
// here. next_packed: weights of the same shape multiplied next (or null), whose first blocks are
// prefetched.
void gemm_i8_raw_prepared_avx512vnni(const int8_t* A, size_t offset_stride, const int8_t* packed,
                                     int32_t* out, int M, int K, int N, const int32_t* row_sums,
                                     const int8_t* next_packed);
void gemm_i8_prepared_avx512vnni(const int8_t* A, size_t offset_stride, const int8_t* packed,
                                 const int64_t* bias, const int32_t* mult, const int32_t* shift,
                                 const float* scale, int8_t out_zp, void* out, bool float_out, int M, int K,
                                 int N, bool channel_major, const int32_t* row_sums,
                                 const PreparedWeightsI8* prepared = nullptr);
// The requantising row-major product with a quantised addition in its epilogue
// (KernelDrivers::gemm_i8_add).
void gemm_i8_add_avx512vnni(const int8_t* A, const int8_t* packed, const PreparedWeightsI8* prepared,
                            const int64_t* bias, const int32_t* mult, const int32_t* shift, int8_t out_zp,
                            int8_t* out, int M, int K, int N, const ResidualAddI8& residual);
// The float-output product with each row's dynamic scale and the float bias applied in registers
// (KernelDrivers::gemm_i8_rows_f32).
void gemm_i8_rows_f32_avx512vnni(const int8_t* A, const int8_t* packed, const PreparedWeightsI8* prepared,
                                 const float* scale, const float* row_scale, const float* bias, float* out,
                                 int M, int K, int N, bool gelu);
// The same products with the sums of each 16-row block on the int8 tile unit (the Avx512Amx tier):
// the same bits, with the same prepared weights.
void gemm_i8_avx512amx(const int8_t* A, const int8_t* packed, const int64_t* bias, const int32_t* mult,
                       const int32_t* shift, const float* scale, int8_t out_zp, void* out, bool float_out,
                       int M, int K, int N, bool channel_major, const int32_t* row_sums, void* stream);
void gemm_i8_raw_avx512amx(const int8_t* A, const int8_t* packed, int32_t* out, int M, int K, int N);
void gemm_i8_raw_prepared_avx512amx(const int8_t* A, size_t offset_stride, const int8_t* packed, int32_t* out,
                                    int M, int K, int N, const int32_t* row_sums, const int8_t* next_packed);
void gemm_i8_prepared_avx512amx(const int8_t* A, size_t offset_stride, const int8_t* packed,
                                const int64_t* bias, const int32_t* mult, const int32_t* shift,
                                const float* scale, int8_t out_zp, void* out, bool float_out, int M, int K,
                                int N, bool channel_major, const int32_t* row_sums,
                                const PreparedWeightsI8* prepared = nullptr);
void gemm_i8_add_avx512amx(const int8_t* A, const int8_t* packed, const PreparedWeightsI8* prepared,
                           const int64_t* bias, const int32_t* mult, const int32_t* shift, int8_t out_zp,
                           int8_t* out, int M, int K, int N, const ResidualAddI8& residual);
void gemm_i8_rows_f32_avx512amx(const int8_t* A, const int8_t* packed, const PreparedWeightsI8* prepared,
                                const float* scale, const float* row_scale, const float* bias, float* out,
                                int M, int K, int N, bool gelu);
// The starting accumulators and requantisation constants of a packed C_out x K matrix, once: with
// `requantized` for products that requantise with these bias, mult, shift and out_zp (and then
// the weights in the 16-channel layout too, which the product reads in place of `packed`: it may
// be null), else for float or raw output. The result, tagged `format`, is what `prepared` above
// takes.
void prepare_weights_i8_avx512vnni(const int8_t* packed, int rows, int cols, const int64_t* bias,
                                   const int32_t* mult, const int32_t* shift, int8_t out_zp, bool requantized,
                                   int format, PreparedWeightsI8& out);
#endif

}  // namespace trevalon
