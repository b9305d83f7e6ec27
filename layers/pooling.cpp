// Pooling layers: float and int8 max pooling, float and int8 global average pooling.
#include <cstdint>
#include <stdexcept>
#include <string>

#include "kernels/pooling.h"
#include "layers/layer_checks.h"
#include "layers/layer_factory.h"
#include "layers/small_layer_checks.h"

namespace trevalon {
namespace {

template <class T>
class MaxPool final : public ILayer {
 public:
  explicit MaxPool(const JsonValue& node)
      : kH_(node.get_int("kH", 3)),
        kW_(node.get_int("kW", 3)),
        stride_h_(node.get_int("stride_h", 2)),
        stride_w_(node.get_int("stride_w", 2)),
        pad_h_(node.get_int("pad_h", 0)),
        pad_w_(node.get_int("pad_w", 0)) {
    if constexpr (sizeof(T) == 1) {  // read for completeness; max pooling needs no zero points
      in_zp_ = static_cast<int8_t>(node.get_int("in_zp", 0));
      out_zp_ = static_cast<int8_t>(node.get_int("out_zp", 0));
    }
  }

  // Runs at model load: refuse windows and strides that give no meaningful size.
  void load_weights(WeightGetter&) override { check_parameters(); }

  bool output_is_int8() const override { return sizeof(T) == 1; }

  // Sizes the input cannot produce (kernel beyond the padded input) come out as 0 here and are
  // refused by forward.
  TensorShape output_shape(TensorShape in) const override {
    check_parameters();
    return {in.c, extent(in.h, kH_, stride_h_, pad_h_), extent(in.w, kW_, stride_w_, pad_w_)};
  }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext* ctx) override {
    const auto& k = require_backend().kernels;
    require_inputs(*this, n, 1);
    check_parameters();
    const TensorShape in = inputs[0].shape;
    const TensorShape out = output_shape(in);
    // An image of zero rows or columns still has the output positions its padding gives, each
    // window wholly in padding; an empty output is a result, a window that fits no padded image
    // is not.
    const int H = in.h > 0 ? in.h : 0, W = in.w > 0 ? in.w : 0;
    if (element_count(out) == 0) {
      if (element_count(in) == 0) return out;
      throw std::runtime_error("node '" + name + "': pooling window larger than the padded input (" +
                               std::to_string(in.h) + "x" + std::to_string(in.w) + ")");
    }
    require_buffer(*this, inputs[0].view, element_count(in) * sizeof(T));
    require_buffer(*this, output, element_count(out) * sizeof(T));
    kernel_size(*this, element_count(in));
    kernel_size(*this, element_count(out));
    const auto* x = static_cast<const T*>(inputs[0].view.data);
    auto* y = static_cast<T*>(output.data);
    if constexpr (sizeof(T) == 1)
      require_kernel(k.maxpool_i8, "maxpool_i8")(x, y, in.c, H, W, kH_, kW_, stride_h_, stride_w_, pad_h_,
                                                 pad_w_, stream_of(ctx));
    else
      require_kernel(k.maxpool_f32, "maxpool_f32")(x, y, in.c, H, W, kH_, kW_, stride_h_, stride_w_, pad_h_,
                                                   pad_w_, stream_of(ctx));
    return out;
  }

 private:
  void check_parameters() const {
    if (kH_ <= 0 || kW_ <= 0 || stride_h_ <= 0 || stride_w_ <= 0)
      throw std::runtime_error("node '" + name + "': pooling window and strides must be positive");
  }

  int32_t extent(int32_t size, int32_t k, int32_t stride, int32_t pad) const {
    const int64_t v = pooled_extent(size < 0 ? 0 : size, k, stride, pad);
    if (v > INT32_MAX) throw std::runtime_error("node '" + name + "': pooled size too large");
    return static_cast<int32_t>(v < 0 ? 0 : v);
  }

  int32_t kH_, kW_, stride_h_, stride_w_, pad_h_, pad_w_;
  int8_t in_zp_ = 0, out_zp_ = 0;
};

// Global average pooling: one value per channel.
class GlobalAvgPool : public ILayer {
 public:
  TensorShape output_shape(TensorShape in) const override { return {in.c, 1, 1}; }

 protected:
  // Checks buffers and sizes; false when the input holds no channels (nothing to write).
  template <class T>
  bool prepare(const TensorRef* inputs, int n, BufferView output) const {
    require_inputs(*this, n, 1);
    const TensorShape in = inputs[0].shape;
    if (in.c <= 0) return false;
    require_buffer(*this, inputs[0].view, element_count(in) * sizeof(T));
    require_buffer(*this, output, uint64_t(in.c) * sizeof(T));
    kernel_size(*this, element_count(in));
    return true;
  }
};

class AvgPoolFp32 final : public GlobalAvgPool {
 public:
  bool output_is_int8() const override { return false; }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext* ctx) override {
    const auto& k = require_backend().kernels;
    if (prepare<float>(inputs, n, output)) {
      const TensorShape in = inputs[0].shape;
      require_kernel(k.avgpool_f32, "avgpool_f32")(static_cast<const float*>(inputs[0].view.data),
                                                   static_cast<float*>(output.data), in.c, in.h, in.w,
                                                   stream_of(ctx));
    }
    return output_shape(inputs[0].shape);
  }
};

class AvgPoolInt8 final : public GlobalAvgPool {
 public:
  explicit AvgPoolInt8(const JsonValue& node)
      : in_scale_(node.get_float("in_scale", 1.0f)),
        out_scale_(node.get_float("out_scale", 1.0f)),
        in_zp_(node.get_int("in_zp", 0)),
        out_zp_(node.get_int("out_zp", 0)) {}

  bool output_is_int8() const override { return true; }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext* ctx) override {
    const auto& k = require_backend().kernels;
    if (prepare<int8_t>(inputs, n, output)) {
      const TensorShape in = inputs[0].shape;
      require_kernel(k.avgpool_i8, "avgpool_i8")(static_cast<const int8_t*>(inputs[0].view.data), in_zp_,
                                                 out_zp_, static_cast<int8_t*>(output.data), in.c, in.h, in.w,
                                                 in_scale_, out_scale_, stream_of(ctx));
    }
    return output_shape(inputs[0].shape);
  }

 private:
  float in_scale_, out_scale_;
  int32_t in_zp_, out_zp_;
};

}  // namespace

std::unique_ptr<ILayer> make_pooling_layer(OpType op, const JsonValue& node) {
  switch (op) {
    case OpType::MaxPoolFp32: return std::make_unique<MaxPool<float>>(node);
    case OpType::MaxPoolInt8: return std::make_unique<MaxPool<int8_t>>(node);
    case OpType::AvgPoolFp32: return std::make_unique<AvgPoolFp32>();
    case OpType::AvgPoolInt8: return std::make_unique<AvgPoolInt8>(node);
    default: return nullptr;
  }
}

}  // namespace trevalon
