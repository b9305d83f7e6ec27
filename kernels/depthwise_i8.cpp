// Portable depthwise 3x3 int8 convolution.
#include "kernels/depthwise_i8.h"

#include <cstddef>

#include "kernels/requantize.h"

namespace trevalon {
namespace {

// Channels [c, c + N) of one output pixel; taps[t] is the input pixel of tap t, or null when the
// tap lies outside the input and reads in_zp.
template <int N>
inline void depthwise_channels(const int8_t* const taps[9], int c, const int8_t* weights, int C,
                               const int32_t* bias, const int32_t* mult, const int32_t* shift, int8_t in_zp,
                               int8_t out_zp, int8_t* dst) {
  int32_t acc[N] = {};
  for (int t = 0; t < 9; ++t) {
    const int8_t* w = weights + size_t(t) * C + c;
    const int8_t* x = taps[t] ? taps[t] + c : nullptr;
    for (int j = 0; j < N; ++j) acc[j] += int32_t(x ? x[j] : in_zp) * int32_t(w[j]);
  }
  for (int j = 0; j < N; ++j) {
    const int32_t v = int32_t(uint32_t(acc[j]) + uint32_t(bias[c + j]));  // wraps like the table kernels
    dst[c + j] = requantize(v, mult[c + j], shift[c + j], out_zp);
  }
}

}  // namespace

void depthwise_i8_3x3_portable(const int8_t* input, const int8_t* weights, const int32_t* bias,
                               const int32_t* mult, const int32_t* shift, int8_t in_zp, int8_t out_zp,
                               int8_t* output, int C, int H, int W, int stride) {
  if (C <= 0 || H <= 0 || W <= 0 || stride <= 0) return;
  const int out_w = (W - 1) / stride + 1;
  depthwise_i8_row_bands(C, H, W, stride, 1, [&](int oy_begin, int oy_end) {
    for (int oy = oy_begin; oy < oy_end; ++oy) {
      for (int ox = 0; ox < out_w; ++ox) {
        const int8_t* taps[9];
        for (int ky = 0; ky < 3; ++ky)
          for (int kx = 0; kx < 3; ++kx) {
            const int iy = oy * stride - 1 + ky, ix = ox * stride - 1 + kx;
            const bool inside = iy >= 0 && iy < H && ix >= 0 && ix < W;
            taps[3 * ky + kx] = inside ? input + (size_t(iy) * W + ix) * C : nullptr;
          }
        int8_t* dst = output + (size_t(oy) * out_w + ox) * C;
        int c = 0;
        for (; c + 16 <= C; c += 16)
          depthwise_channels<16>(taps, c, weights, C, bias, mult, shift, in_zp, out_zp, dst);
        for (; c < C; ++c) depthwise_channels<1>(taps, c, weights, C, bias, mult, shift, in_zp, out_zp, dst);
      }
    }
  });
}

}  // namespace trevalon
