// Max and global average pooling on AVX2: 8 float or 32 int8 channels per register.
#include <immintrin.h>

#include <cstring>
#include <limits>

#include "kernels/pooling.h"
#include "kernels/x86/pooling_simd.h"
#include "kernels/x86/simd_f32x8.h"

namespace trevalon {
namespace {

// F32x8::max(v, acc) is v > acc ? v : acc, the comparison of the portable kernel.
using FloatLanes = F32x8;

struct I8x32 {
  static constexpr int kWidth = 32;
  static __m256i load(const int8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
  static void store(int8_t* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
  // AVX2 has no byte masks: partial vectors go through a stack copy.
  static __m256i load_first(const int8_t* p, int n) {
    alignas(32) int8_t buf[32] = {};
    std::memcpy(buf, p, size_t(n));
    return load(buf);
  }
  static void store_first(int8_t* p, __m256i v, int n) {
    alignas(32) int8_t buf[32];
    store(buf, v);
    std::memcpy(p, buf, size_t(n));
  }
  static __m256i set1(int8_t v) { return _mm256_set1_epi8(v); }
  static __m256i max(__m256i a, __m256i b) { return _mm256_max_epi8(a, b); }
};

}  // namespace

void maxpool_f32_avx2(const float* in, float* out, int C, int H, int W, int kH, int kW, int stride_h,
                      int stride_w, int pad_h, int pad_w, void*) {
  maxpool_simd<FloatLanes, float>(in, out, C, H, W, kH, kW, stride_h, stride_w, pad_h, pad_w,
                                  -std::numeric_limits<float>::infinity());
}

void maxpool_i8_avx2(const int8_t* in, int8_t* out, int C, int H, int W, int kH, int kW, int stride_h,
                     int stride_w, int pad_h, int pad_w, void*) {
  maxpool_simd<I8x32, int8_t>(in, out, C, H, W, kH, kW, stride_h, stride_w, pad_h, pad_w, int8_t(-128));
}

void avgpool_f32_avx2(const float* in, float* out, int C, int H, int W, void*) {
  avgpool_f32_simd<F32x8>(in, out, C, H, W);
}

}  // namespace trevalon
