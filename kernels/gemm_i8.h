// Int8 matrix products on 8x4 weight blocks: packer, output writers, portable kernels, the scalar
// reference and the ISA entry points the CPU table chooses from.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/requantize.h"

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
      const float v = static_cast<float>(bias[n] + int64_t(acc));
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

void gemm_i8_portable(const int8_t* A, const int8_t* packed, const int64_t* bias,
                      const int32_t* mult, const int32_t* shift, const float* scale, int8_t out_zp,
                      void* out, bool float_out, int M, int K, int N, bool channel_major,
                      const int32_t* row_sums, void* stream);
void gemm_i8_raw_portable(const int8_t* A, const int8_t* packed, int32_t* out, int M, int K, int N);

// Plain scalar reference on unpacked row-major W (N x K); used by tests.
void gemm_i8_raw_reference(const int8_t* A, const int8_t* W, int32_t* out, int M, int K, int N);
void gemm_i8_reference(const int8_t* A, const int8_t* W, const GemmI8Output& o, int K);

#ifndef TREVALON_PORTABLE
void gemm_i8_avx2(const int8_t* A, const int8_t* packed, const int64_t* bias, const int32_t* mult,
                  const int32_t* shift, const float* scale, int8_t out_zp, void* out,
                  bool float_out, int M, int K, int N, bool channel_major,
                  const int32_t* row_sums, void* stream);
void gemm_i8_raw_avx2(const int8_t* A, const int8_t* packed, int32_t* out, int M, int K, int N);
void gemm_i8_avx512vnni(const int8_t* A, const int8_t* packed, const int64_t* bias,
                        const int32_t* mult, const int32_t* shift, const float* scale,
                        int8_t out_zp, void* out, bool float_out, int M, int K, int N,
                        bool channel_major, const int32_t* row_sums, void* stream);
void gemm_i8_raw_avx512vnni(const int8_t* A, const int8_t* packed, int32_t* out, int M, int K,
                            int N);
#endif

}  // namespace trevalon
