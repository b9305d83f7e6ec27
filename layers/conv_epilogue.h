// A convolution finishing its output with a fused element-wise epilogue (a residual addition):
// the output is produced in blocks of rows and each block is combined with the other operand
// while it is still in cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "layers/layer.h"

namespace trevalon {

struct ConvEpilogue {
  const ElementwiseEpilogue* op = nullptr;
  int own_operand = 0;  // which operand of `op` the convolution's output is

  explicit operator bool() const { return op != nullptr; }

  // The epilogue as a kernel may apply it in registers (op kNone: only apply serves).
  ElementwiseEpilogue::Form form() const { return op ? op->form() : ElementwiseEpilogue::Form{}; }

  // Accepts the epilogue for a layer that can feed it (a host backend only: the epilogue runs
  // the host's element-wise kernel).
  bool set(const ElementwiseEpilogue* epilogue, int own) {
    if (!epilogue || (own != 0 && own != 1)) return false;
    const BackendDescriptor* b = active_backend_descriptor();
    if (!b || b->device != 0) return false;
    op = epilogue;
    own_operand = own;
    return true;
  }

  // Checks the other operand (the layer's last input) against the output as the operation itself
  // would; answers the other operand's data.
  const void* check(const TensorRef& other, const TensorShape& out, BufferView output) const {
    TensorRef operands[2];
    operands[own_operand] = TensorRef{output, out};
    operands[1 - own_operand] = other;
    op->check_operands(operands, 2, output);
    return other.view.data;
  }

  // Combines rows [row_begin, row_begin + rows) of the output (row_elements each) with the same
  // rows of the other operand, in place.
  void apply(void* output, const void* other, size_t element_bytes, size_t row_elements, int row_begin,
             int rows, ExecContext* ctx) const {
    const size_t offset = size_t(row_begin) * row_elements * element_bytes;
    auto* y = static_cast<uint8_t*>(output) + offset;
    const auto* o = static_cast<const uint8_t*>(other) + offset;
    const int count = int(size_t(rows) * row_elements);
    if (own_operand == 0)
      op->apply(y, o, y, count, ctx);
    else
      op->apply(o, y, y, count, ctx);
  }
};

// Output rows per block for a convolution that can run on a band of rows: about 512 KiB of output
// (in cache when the epilogue reads it back), all rows at once when re-reading the weights for
// every block would cost more than half the output's own traffic, and blocks of a whole number of
// 16-element groups (the int8 addition's rounding depends on an element's place in its group).
inline int epilogue_block_rows(int out_h, size_t row_bytes, size_t row_elements, size_t weight_bytes) {
  constexpr size_t kBlockBytes = size_t(512) << 10;
  if (out_h <= 1 || row_bytes == 0) return out_h;
  size_t rows = kBlockBytes / row_bytes;
  if (rows == 0) rows = 1;
  if (rows >= size_t(out_h)) return out_h;
  while ((rows * row_elements) % 16 != 0 && rows < size_t(out_h)) ++rows;
  if (rows >= size_t(out_h)) return out_h;
  const size_t blocks = (size_t(out_h) + rows - 1) / rows;
  if (weight_bytes * (blocks - 1) > size_t(out_h) * row_bytes / 2) return out_h;
  return int(rows);
}

}  // namespace trevalon
