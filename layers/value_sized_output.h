// Layers whose output length comes from the values of an input (length regulation). The model asks
// them for the output shape with the input buffers, so they can check that the values they read
// are there: a tensor of another element type, or a stale shape, never reads past a buffer.
#pragma once

#include "layers/layer.h"

namespace trevalon {

class ValueSizedOutput {
 public:
  virtual ~ValueSizedOutput() = default;
  // runtime_output_shape of the inputs, after checking that each buffer it reads holds its tensor.
  virtual TensorShape checked_runtime_output_shape(const TensorRef* inputs, int n) const = 0;
};

}  // namespace trevalon
