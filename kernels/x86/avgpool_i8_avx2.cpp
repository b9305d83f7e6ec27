// Int8 global average pooling with AVX2: the channels' sums in 32-bit lanes, 64 channels per pass
// over the positions, then the portable kernel's scaling per channel. Same bits as the portable
// kernel: sum (x - in_zp) wraps like sum x - positions x in_zp.
#include <immintrin.h>

#include <cstddef>

#include "kernels/pooling.h"
#include "kernels/q31_scale.h"
#include "kernels/requantize.h"

namespace trevalon {
namespace {

inline __m256i widen8(const int8_t* p) {
  return _mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}

// Sums of channels [c, c + 8 N) over every position, into sum[0, 8 N).
template <int N>
void sum_channels(const int8_t* in, size_t C, int64_t positions, int c, uint32_t* sum) {
  __m256i acc[N];
  for (int j = 0; j < N; ++j) acc[j] = _mm256_setzero_si256();
  const int8_t* x = in + c;
  for (int64_t p = 0; p < positions; ++p, x += C)
    for (int j = 0; j < N; ++j) acc[j] = _mm256_add_epi32(acc[j], widen8(x + 8 * j));
  for (int j = 0; j < N; ++j) _mm256_storeu_si256(reinterpret_cast<__m256i*>(sum + 8 * j), acc[j]);
}

}  // namespace

void avgpool_i8_avx2(const int8_t* in, int32_t in_zp, int32_t out_zp, int8_t* out, int C, int H, int W,
                     float in_scale, float out_scale, void*) {
  if (C <= 0) return;
  const int64_t positions = (H > 0 && W > 0) ? int64_t(H) * W : 0;
  int32_t m = 0, e = 0;
  scale_to_multiplier(in_scale / (static_cast<float>(positions) * out_scale), m, e);
  constexpr int kChunk = 64;
  pool_channel_ranges(C, positions, kChunk, [&](int c_begin, int c_end) {
    for (int c0 = c_begin; c0 < c_end; c0 += kChunk) {
      const int n = c_end - c0 < kChunk ? c_end - c0 : kChunk;
      uint32_t sum[kChunk];
      int c = 0;
      if (n == kChunk) {
        sum_channels<8>(in, size_t(C), positions, c0, sum);
        c = kChunk;
      } else {
        for (; c + 8 <= n; c += 8) sum_channels<1>(in, size_t(C), positions, c0 + c, sum + c);
      }
      for (; c < n; ++c) {
        uint32_t s = 0;
        for (int64_t p = 0; p < positions; ++p)
          s += uint32_t(int32_t(in[size_t(p) * size_t(C) + size_t(c0 + c)]));
        sum[c] = s;
      }
      const uint32_t offset = uint32_t(uint64_t(positions)) * uint32_t(in_zp);
      for (c = 0; c < n; ++c) {
        const int64_t v = int64_t(out_zp) + q31_scale_single_round(int32_t(sum[c] - offset), m, e);
        out[c0 + c] = static_cast<int8_t>(v < -128 ? -128 : (v > 127 ? 127 : v));
      }
    }
  });
}

void avgpool_i8_to_i8_avx2(const int8_t* in, int32_t in_zp, int32_t out_zp, int8_t* out, int C, int H, int W,
                           float in_scale, float out_scale) {
  avgpool_i8_avx2(in, in_zp, out_zp, out, C, H, W, in_scale, out_scale, nullptr);
}

}  // namespace trevalon
