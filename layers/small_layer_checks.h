// Checks shared by the element-wise, pooling and activation layers before they call a kernel:
// sizes that fit the kernels' int arguments, buffers that hold the tensor, slots that are filled.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "layers/layer.h"

namespace trevalon {

// A size as the kernels' 32-bit int, or "node 'NAME': N values exceed the kernels' 32-bit sizes".
inline int kernel_size(const ILayer& layer, uint64_t n) {
  if (n > uint64_t(INT32_MAX))
    throw std::runtime_error("node '" + layer.name + "': " + std::to_string(n) +
                             " values exceed the kernels' 32-bit sizes");
  return static_cast<int>(n);
}

// "node 'NAME': buffer smaller than its tensor" when a view cannot hold `bytes`.
inline void require_buffer(const ILayer& layer, const BufferView& view, uint64_t bytes) {
  if (bytes > 0 && (view.data == nullptr || view.bytes < bytes))
    throw std::runtime_error("node '" + layer.name + "': buffer smaller than its tensor");
}

// The slot's kernel, or "backend has no NAME kernel".
template <class Kernel>
Kernel require_kernel(Kernel kernel, const char* slot) {
  if (!kernel) throw std::runtime_error(std::string("backend has no ") + slot + " kernel");
  return kernel;
}

inline void* stream_of(const ExecContext* ctx) { return ctx ? ctx->stream : nullptr; }

}  // namespace trevalon
