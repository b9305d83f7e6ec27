// AVX-512 VNNI int8 matrix-vector product for decode steps. The product multiplies unsigned by
// signed bytes, so x is offset by 128 (its bytes XOR 0x80) and 128 x the row's weight sum, taken
// in the same pass with a vector of ones, is subtracted: exact, and equal to the portable sum.
// Four rows at a time share each 64-byte slice of x; the weights stream once, front to back.
#include <immintrin.h>

#include "kernels/seq_gemm.h"
#include "kernels/thread_pool.h"
#include "kernels/thread_work.h"
#include "kernels/work_split.h"

namespace trevalon {
namespace {

// Groups of four rows ahead that the product asks the memory for.
constexpr size_t kPrefetchGroups = 2;

inline __mmask64 first_bytes(int count) { return count >= 64 ? ~__mmask64(0) : (__mmask64(1) << count) - 1; }

inline int32_t row_sum(__m512i acc, __m512i weight_sum) {
  return _mm512_reduce_add_epi32(_mm512_sub_epi32(acc, _mm512_slli_epi32(weight_sum, 7)));
}

}  // namespace

void gemv_i8_dynamic_avx512vnni(const float* x, const int8_t* w, const float* row_scales, const float* bias,
                                float* out, int K, int N, void*) {
  if (N <= 0) return;
  if (K < 0) K = 0;
  // Rounded up to whole slices: bytes past K meet weights loaded as zero.
  const size_t slices = (size_t(K) + 63) / 64;
  auto* xu = thread_work<uint8_t>(WorkBuffer::GemvI8Input, slices * 64 + 64);
  float s = 1e-8f;
  quantize_rows_i8_avx512(x, 1, K, reinterpret_cast<int8_t*>(xu), &s);
  const __m512i flip = _mm512_set1_epi8(char(0x80));
  for (size_t i = 0; i < slices; ++i) {
    __m512i* p = reinterpret_cast<__m512i*>(xu) + i;
    _mm512_store_si512(p, _mm512_xor_si512(_mm512_load_si512(p), flip));
  }
  const __m512i ones = _mm512_set1_epi8(1);
  auto finish = [&](int o, int32_t acc) {
    out[o] = (bias ? bias[o] : 0.0f) + row_scales[o] * (s * float(acc));
  };

  // Ranges of whole groups of four rows, each reading the caller's offset vector: both cores then
  // stream weights, which is what a decode step waits for.
  parallel_for(size_t(N), 4, gemv_rows_worth_splitting(K), [&](size_t first, size_t last) {
    const int end = int(last);
    int o = int(first);
    for (; o + 4 <= end; o += 4) {
      const int8_t* w0 = w + size_t(o) * size_t(K);
      const int8_t* w1 = w0 + K;
      const int8_t* w2 = w1 + K;
      const int8_t* w3 = w2 + K;
      __m512i a0 = _mm512_setzero_si512(), a1 = a0, a2 = a0, a3 = a0;
      __m512i s0 = a0, s1 = a0, s2 = a0, s3 = a0;
      // The next groups' rows are asked for while this one is summed: one core alone keeps too few
      // lines in flight to stream at the memory's rate. A prefetch past the end is dropped.
      const int8_t* ahead = w0 + kPrefetchGroups * 4 * size_t(K);
      for (int k = 0; k < K; k += 64) {
        for (int r = 0; r < 4; ++r)
          _mm_prefetch(reinterpret_cast<const char*>(ahead + r * size_t(K) + k), _MM_HINT_T0);
        const __mmask64 m = first_bytes(K - k);
        const __m512i xv = _mm512_load_si512(xu + k);
        const __m512i v0 = _mm512_maskz_loadu_epi8(m, w0 + k);
        const __m512i v1 = _mm512_maskz_loadu_epi8(m, w1 + k);
        const __m512i v2 = _mm512_maskz_loadu_epi8(m, w2 + k);
        const __m512i v3 = _mm512_maskz_loadu_epi8(m, w3 + k);
        a0 = _mm512_dpbusd_epi32(a0, xv, v0);
        s0 = _mm512_dpbusd_epi32(s0, ones, v0);
        a1 = _mm512_dpbusd_epi32(a1, xv, v1);
        s1 = _mm512_dpbusd_epi32(s1, ones, v1);
        a2 = _mm512_dpbusd_epi32(a2, xv, v2);
        s2 = _mm512_dpbusd_epi32(s2, ones, v2);
        a3 = _mm512_dpbusd_epi32(a3, xv, v3);
        s3 = _mm512_dpbusd_epi32(s3, ones, v3);
      }
      finish(o, row_sum(a0, s0));
      finish(o + 1, row_sum(a1, s1));
      finish(o + 2, row_sum(a2, s2));
      finish(o + 3, row_sum(a3, s3));
    }
    for (; o < end; ++o) {
      const int8_t* wo = w + size_t(o) * size_t(K);
      __m512i a = _mm512_setzero_si512(), sw = a;
      for (int k = 0; k < K; k += 64) {
        const __m512i v = _mm512_maskz_loadu_epi8(first_bytes(K - k), wo + k);
        a = _mm512_dpbusd_epi32(a, _mm512_load_si512(xu + k), v);
        sw = _mm512_dpbusd_epi32(sw, ones, v);
      }
      finish(o, row_sum(a, sw));
    }
  });
}

}  // namespace trevalon
