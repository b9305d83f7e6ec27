// Max and global average pooling on AVX-512: 16 float or 64 int8 channels per register.
// GCC 12 reports the _mm512_undefined_* operands inside its own intrinsics as uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <immintrin.h>

#include <limits>

#include "kernels/pooling.h"
#include "kernels/x86/pooling_simd.h"
#include "kernels/x86/simd_f32x16.h"

namespace trevalon {
namespace {

struct I8x64 {
  static constexpr int kWidth = 64;
  static __mmask64 first_lanes(int n) { return n >= 64 ? ~__mmask64(0) : (__mmask64(1) << n) - 1; }
  static __m512i load(const int8_t* p) { return _mm512_loadu_si512(p); }
  static void store(int8_t* p, __m512i v) { _mm512_storeu_si512(p, v); }
  static __m512i load_first(const int8_t* p, int n) { return _mm512_maskz_loadu_epi8(first_lanes(n), p); }
  static void store_first(int8_t* p, __m512i v, int n) { _mm512_mask_storeu_epi8(p, first_lanes(n), v); }
  static __m512i set1(int8_t v) { return _mm512_set1_epi8(v); }
  static __m512i max(__m512i a, __m512i b) { return _mm512_max_epi8(a, b); }
};

}  // namespace

void maxpool_f32_avx512(const float* in, float* out, int C, int H, int W, int kH, int kW, int stride_h,
                        int stride_w, int pad_h, int pad_w, void*) {
  maxpool_simd<F32x16, float>(in, out, C, H, W, kH, kW, stride_h, stride_w, pad_h, pad_w,
                              -std::numeric_limits<float>::infinity());
}

void maxpool_i8_avx512(const int8_t* in, int8_t* out, int C, int H, int W, int kH, int kW, int stride_h,
                       int stride_w, int pad_h, int pad_w, void*) {
  maxpool_simd<I8x64, int8_t>(in, out, C, H, W, kH, kW, stride_h, stride_w, pad_h, pad_w, int8_t(-128));
}

void avgpool_f32_avx512(const float* in, float* out, int C, int H, int W, void*) {
  avgpool_f32_simd<F32x16>(in, out, C, H, W);
}

}  // namespace trevalon
