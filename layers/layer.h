// The layer contract: what the model asks of every node's layer.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "backend/allocator.h"
#include "backend/registry.h"

namespace trevalon {

struct TensorShape {
  int32_t c = 0;  // channels (fastest in memory)
  int32_t h = 0;  // height or sequence length
  int32_t w = 0;  // width; 1 for sequences
  bool operator==(const TensorShape&) const = default;
};

// Elements of a shape, negative dimensions counting as 0.
inline uint64_t element_count(const TensorShape& s) {
  auto d = [](int32_t v) { return v > 0 ? uint64_t(v) : uint64_t(0); };
  return d(s.c) * d(s.h) * d(s.w);
}

struct TensorRef {
  BufferView view;
  TensorShape shape;
};

inline constexpr int kMaxLayerInputs = 8;
inline constexpr int kScratchBuffers = 8;

struct ExecContext {
  BufferView scratch[kScratchBuffers];
  void* stream = nullptr;
  int32_t position_offset = 0;
  uint8_t flag = 0;
};

// Serves a named tensor of the weights file: fills shape and raw bytes, false when absent.
using WeightGetter =
    std::function<bool(const std::string& name, std::vector<int32_t>& shape, std::vector<uint8_t>& bytes)>;

// An element-wise operation of two equally sized tensors that the layer producing one operand can
// apply to its own output, block by block, while the block is still in cache.
class ElementwiseEpilogue {
 public:
  virtual ~ElementwiseEpilogue() = default;
  // The operands (in the operation's order) and the output, checked as the operation's own forward
  // checks them; answers the element count.
  virtual int check_operands(const TensorRef* operands, int n, BufferView output) const = 0;
  // out[i] = op(a[i], b[i]) for i < count; out may be a or b (each element is read before written).
  virtual void apply(const void* a, const void* b, void* out, int count, ExecContext* ctx) const = 0;

  // The operation in a form a product kernel can apply to its finished outputs in registers, for
  // the operations that have one (kNone: only apply serves).
  struct Form {
    enum Op : uint8_t { kNone, kAddF32, kAddI8Q12 } op = kNone;
    bool relu = false;  // the operation's own ReLU after it
    // kAddI8Q12: out = saturate_int8((q12_bias + weight_a x a + weight_b x b) >> 12) for every
    // element in a complete group of 16 (weights below 2^15 in magnitude).
    int32_t weight_a = 0, weight_b = 0, q12_bias = 0;
  };
  virtual Form form() const { return {}; }
};

class ILayer {
 public:
  std::string name;
  bool relu = false;

  virtual ~ILayer() = default;
  virtual void load_weights(WeightGetter& get) {}
  virtual TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext* ctx) = 0;
  virtual bool output_is_int8() const = 0;
  virtual TensorShape output_shape(TensorShape input) const = 0;
  virtual TensorShape output_shape_multi(const TensorShape* shapes, int n) const {
    return n < 1 ? output_shape(TensorShape{}) : output_shape(shapes[0]);
  }
  virtual TensorShape runtime_output_shape(const void* const* data, const TensorShape* shapes, int n) const {
    return n < 1 ? TensorShape{} : output_shape(shapes[0]);
  }
  virtual void scratch_sizes(TensorShape input, uint64_t sizes[kScratchBuffers]) const {}
  virtual void upload_weights(Allocator* allocator) {}
  virtual void release_scratch() {}
  // Asks the layer to finish its output with `epilogue`, its output being operand `own_operand`
  // (0 or 1) of it: forward then takes the other operand as one more input and writes the
  // epilogue's result. False (the default) where the layer cannot.
  virtual bool fuse_epilogue(const ElementwiseEpilogue* epilogue, int own_operand) { return false; }
  virtual bool uses_kv_cache() const { return false; }
  virtual void allocate_kv_cache(int max_positions, Allocator* allocator) {}
  virtual uint8_t execution_device() const {
    const BackendDescriptor* b = active_backend_descriptor();
    return b ? static_cast<uint8_t>(b->device) : 0;
  }
};

}  // namespace trevalon

namespace trevalon {

// Implemented by length-regulation layers: the model hands them 1/speed.
class DurationScaled {
 public:
  virtual ~DurationScaled() = default;
  virtual void set_duration_scale(float scale) = 0;
};

}  // namespace trevalon
