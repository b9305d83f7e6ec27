// Portable float element-wise kernels: add, product, scale, snake and the two upsampling kernels.
#include "kernels/elementwise_f32.h"

#include <math.h>
#include <cstddef>
#include <cstring>

#include "kernels/activation_lanes.h"
#include "kernels/bilinear_taps.h"

namespace trevalon {

void add_f32_portable(const float* a, const float* b, float* out, int count, bool relu, void*) {
  if (count <= 0) return;
  for (int i = 0; i < count; ++i) {
    const float sum = b ? a[i] + b[i] : a[i];
    out[i] = relu ? relu_lane(sum) : sum;
  }
}

void scale_f32_portable(const float* in, float* out, int count, float scalar) {
  for (int i = 0; i < count; ++i) out[i] = in[i] * scalar;
}

void elemwise_mul_f32_portable(const float* a, const float* b, float* out, int count) {
  for (int i = 0; i < count; ++i) out[i] = b[i] * a[i];
}

void snake_f32_portable(const float* in, float* out, const float* alpha, const float* inv, int positions,
                        int C, void*) {
  if (positions <= 0 || C <= 0) return;
  const size_t total = size_t(positions) * size_t(C);
  if (!alpha) {
    if (out != in) std::memmove(out, in, total * sizeof(float));
    return;
  }
  const int grouped = C & ~3;
  for (size_t base = 0; base < total; base += size_t(C)) {
    const float* x = in + base;
    float* o = out + base;
    for (int c = 0; c < C; ++c) {
      const float arg = alpha[c] * x[c];
      const float s = c < grouped ? sin_lane(arg) : sinf(arg);
      o[c] = inv ? fmaf(s * s, inv[c], x[c]) : x[c] + (s * s) / (alpha[c] + 1e-9f);
    }
  }
}

void upsample_nearest1d_f32_portable(const float* in, float* out, int rows, int row_len, int factor, void*) {
  if (rows <= 0 || row_len <= 0 || factor <= 0) return;
  const size_t row_bytes = size_t(row_len) * sizeof(float);
  for (int r = 0; r < rows; ++r) {
    const float* src = in + size_t(r) * size_t(row_len);
    for (int k = 0; k < factor; ++k) {
      std::memcpy(out, src, row_bytes);
      out += row_len;
    }
  }
}

void upsample_bilinear_f32_portable(const float* in, float* out, int C, int H, int W, int out_H, int out_W,
                                    void*) {
  if (C <= 0 || H <= 0 || W <= 0 || out_H <= 0 || out_W <= 0) return;
  const float inv_h = 1.0f / static_cast<float>(out_H);
  const float inv_w = 1.0f / static_cast<float>(out_W);
  const size_t row_stride = size_t(W) * size_t(C);
  for (int oy = 0; oy < out_H; ++oy) {
    const BilinearTap ty = bilinear_tap(oy, H, inv_h);
    const float* upper = in + size_t(ty.lo) * row_stride;
    const float* lower = in + size_t(ty.hi) * row_stride;
    for (int ox = 0; ox < out_W; ++ox) {
      const BilinearTap tx = bilinear_tap(ox, W, inv_w);
      const float w00 = (1.0f - tx.frac) * (1.0f - ty.frac);
      const float w01 = tx.frac * (1.0f - ty.frac);
      const float w10 = (1.0f - tx.frac) * ty.frac;
      const float w11 = tx.frac * ty.frac;
      const float* a = upper + size_t(tx.lo) * size_t(C);
      const float* b = upper + size_t(tx.hi) * size_t(C);
      const float* c = lower + size_t(tx.lo) * size_t(C);
      const float* d = lower + size_t(tx.hi) * size_t(C);
      for (int ch = 0; ch < C; ++ch) {
        float v = a[ch] * w00;
        v = fmaf(b[ch], w01, v);
        v = fmaf(c[ch], w10, v);
        out[ch] = fmaf(d[ch], w11, v);
      }
      out += C;
    }
  }
}

}  // namespace trevalon
