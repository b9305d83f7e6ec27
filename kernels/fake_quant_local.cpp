// Stand-in for the activation fake quantisation (see fake_quant_local.h).
#include "kernels/fake_quant_local.h"

#include <cmath>

namespace trevalon {

void fake_quantize_f32(float* data, size_t n) {
  if (n == 0) return;
  float lo = data[0], hi = data[0];
  for (size_t i = 1; i < n; ++i) {
    lo = data[i] < lo ? data[i] : lo;
    hi = data[i] > hi ? data[i] : hi;
  }
  if (!(hi - lo > 0.0f)) return;
  const float scale = (hi - lo) * 0.003921569f;
  const float inv = 1.0f / scale;
  float zf = -lo / scale;
  zf = zf < 0.0f ? 0.0f : (zf > 255.0f ? 255.0f : zf);
  const float z = std::round(zf);
  for (size_t i = 0; i < n; ++i) {
    float q = std::round(data[i] * inv) + z;
    q = q < 0.0f ? 0.0f : (q > 255.0f ? 255.0f : q);
    data[i] = (q - z) * scale;
  }
}

}  // namespace trevalon
