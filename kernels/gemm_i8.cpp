// Int8 weight packing, the portable int8 GEMMs and the scalar reference.
#include "kernels/gemm_i8.h"

#include <cstring>

#include "kernels/huge_page_memory.h"

namespace trevalon {

size_t packed_weights_i8_bytes(int rows, int cols) {
  if (rows <= 0 || cols <= 0) return 0;
  return size_t((rows + 7) / 8) * size_t((cols + 3) / 4) * 32;
}

int8_t* pack_weights_i8(const int8_t* w, int rows, int cols) {
  const size_t total = packed_weights_i8_bytes(rows, cols);
  auto* packed = static_cast<int8_t*>(allocate_huge_page_array((total > 0 ? total : 1) * sizeof(int8_t)));
  if (total == 0) return packed;
  const size_t kblocks = size_t((cols + 3) / 4);
  for (int n = 0; n < rows; ++n) {
    int8_t* block_row = packed + size_t(n / 8) * kblocks * 32 + size_t(n % 8) * 4;
    const int8_t* row = w + size_t(n) * size_t(cols);
    for (int k = 0; k < cols; ++k) block_row[size_t(k / 4) * 32 + (k % 4)] = row[k];
  }
  return packed;
}

void free_packed_i8(int8_t* packed) { free_huge_page_array(packed); }

namespace {

// Exact 32-bit sums (wrapping) of up to 4 rows against one 8-channel block column.
void block_tile(const int8_t* A, int rows, int K, const int8_t* blocks, uint32_t acc[4][8]) {
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 8; ++c) acc[r][c] = 0;
  for (int k = 0; k < K; ++k) {
    const int8_t* wk = blocks + size_t(k / 4) * 32 + (k % 4);
    for (int r = 0; r < rows; ++r) {
      const int32_t a = A[size_t(r) * size_t(K) + k];
      for (int c = 0; c < 8; ++c) acc[r][c] += uint32_t(a * int32_t(wk[4 * c]));
    }
  }
}

// Rows [m_begin, m_end) by channels [n_begin, n_end) (n_begin a multiple of 8).
template <typename Store>
void gemm_i8_blocks_part(const int8_t* A, const int8_t* packed, int K, int N, int m_begin, int m_end,
                         int n_begin, int n_end, Store& store) {
  const size_t column_bytes = size_t((K + 3) / 4) * 32;
  for (int m0 = m_begin; m0 < m_end; m0 += 4) {
    const int rows = m_end - m0 < 4 ? m_end - m0 : 4;
    for (int nb = n_begin / 8; nb * 8 < n_end; ++nb) {
      uint32_t acc[4][8];
      block_tile(A + size_t(m0) * size_t(K), rows, K, packed + size_t(nb) * column_bytes, acc);
      for (int r = 0; r < rows; ++r)
        for (int c = 0; c < 8 && nb * 8 + c < N; ++c) store(m0 + r, nb * 8 + c, int32_t(acc[r][c]));
    }
  }
}

template <typename Store>
void gemm_i8_blocks(const int8_t* A, const int8_t* packed, int M, int K, int N, Store store) {
  if (M <= 0 || N <= 0 || K <= 0) return;
  parallel_gemm_i8(M, N, K, 4, 8, [&](int m_begin, int m_end, int n_begin, int n_end) {
    gemm_i8_blocks_part(A, packed, K, N, m_begin, m_end, n_begin, n_end, store);
  });
}

}  // namespace

void gemm_i8_portable(const int8_t* A, const int8_t* packed, const int64_t* bias, const int32_t* mult,
                      const int32_t* shift, const float* scale, int8_t out_zp, void* out, bool float_out,
                      int M, int K, int N, bool channel_major, const int32_t* row_sums, void* stream) {
  const GemmI8Output o{bias, mult, shift, scale, out_zp, out, float_out, channel_major, M, N};
  gemm_i8_blocks(A, packed, M, K, N, [&](int m, int n, int32_t acc) { o.write(m, n, acc); });
}

void gemm_i8_raw_portable(const int8_t* A, const int8_t* packed, int32_t* out, int M, int K, int N) {
  gemm_i8_blocks(A, packed, M, K, N,
                 [&](int m, int n, int32_t acc) { out[size_t(m) * size_t(N) + n] = acc; });
}

void gemm_i8_raw_reference(const int8_t* A, const int8_t* W, int32_t* out, int M, int K, int N) {
  for (int m = 0; m < M; ++m)
    for (int n = 0; n < N; ++n) {
      int64_t acc = 0;
      for (int k = 0; k < K; ++k) acc += int64_t(A[size_t(m) * K + k]) * W[size_t(n) * K + k];
      out[size_t(m) * N + n] = int32_t(uint32_t(uint64_t(acc)));
    }
}

void gemm_i8_reference(const int8_t* A, const int8_t* W, const GemmI8Output& o, int K) {
  for (int m = 0; m < o.M; ++m)
    for (int n = 0; n < o.N; ++n) {
      int32_t acc = 0;
      gemm_i8_raw_reference(A + size_t(m) * K, W + size_t(n) * K, &acc, 1, K, 1);
      o.write(m, n, acc);
    }
}

}  // namespace trevalon
