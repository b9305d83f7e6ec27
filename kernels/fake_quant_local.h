// Stand-in for the activation fake quantisation of the sequence kernels until that branch lands
// here; same name and contract.
#pragma once

#include <cstddef>

namespace trevalon {

// In place over n values: min/max affine uint8 grid with zero point, values snapped to it. A
// constant tensor is left unchanged (its grid would move it).
void fake_quantize_f32(float* data, size_t n);

}  // namespace trevalon
