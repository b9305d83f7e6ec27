// Element-wise layers: float and int8 add, float product, scaling, snake and the two upsampling layers.
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernels/elementwise_i8.h"
#include "layers/layer_checks.h"
#include "layers/layer_factory.h"
#include "layers/small_layer_checks.h"

namespace trevalon {
namespace {

// Layers whose output has the shape of their first input.
class SameShapeLayer : public ILayer {
 public:
  TensorShape output_shape(TensorShape in) const override { return in; }
  bool output_is_int8() const override { return false; }
};

// Two equally sized inputs, checked; returns the element count.
int binary_count(const ILayer& layer, const TensorRef* inputs, int n, BufferView output, size_t elem) {
  require_inputs(layer, n, 2);
  require_same_elements(layer, inputs[0].shape, inputs[1].shape);
  const uint64_t count = element_count(inputs[0].shape);
  require_buffer(layer, inputs[0].view, count * elem);
  require_buffer(layer, inputs[1].view, count * elem);
  require_buffer(layer, output, count * elem);
  return kernel_size(layer, count);
}

// One input, checked against the output of the same size; returns the element count.
int unary_count(const ILayer& layer, const TensorRef* inputs, int n, BufferView output) {
  require_inputs(layer, n, 1);
  const uint64_t count = element_count(inputs[0].shape);
  require_buffer(layer, inputs[0].view, count * sizeof(float));
  require_buffer(layer, output, count * sizeof(float));
  return kernel_size(layer, count);
}

class AddFp32 final : public SameShapeLayer, public ElementwiseEpilogue {
 public:
  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext* ctx) override {
    const int count = check_operands(inputs, n, output);
    apply(inputs[0].view.data, inputs[1].view.data, output.data, count, ctx);
    return inputs[0].shape;
  }

  int check_operands(const TensorRef* inputs, int n, BufferView output) const override {
    return binary_count(*this, inputs, n, output, sizeof(float));
  }

  void apply(const void* a, const void* b, void* out, int count, ExecContext* ctx) const override {
    const auto& k = require_backend().kernels;
    require_kernel(k.add_f32, "add_f32")(static_cast<const float*>(a), static_cast<const float*>(b),
                                         static_cast<float*>(out), count, relu, stream_of(ctx));
  }

  // add_f32: a + b, then with the layer's ReLU negatives become +0 (-0 and NaN pass).
  Form form() const override { return Form{Form::kAddF32, relu}; }
};

class AddInt8 final : public SameShapeLayer, public ElementwiseEpilogue {
 public:
  explicit AddInt8(const JsonValue& node)
      : in1_scale_(node.get_float("in1_scale", 1.0f)),
        in2_scale_(node.get_float("in2_scale", 1.0f)),
        out_scale_(node.get_float("out_scale", 1.0f)),
        in1_zp_(node.get_int("in1_zp", 0)),
        in2_zp_(node.get_int("in2_zp", 0)),
        out_zp_(node.get_int("out_zp", 0)) {}

  bool output_is_int8() const override { return true; }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext* ctx) override {
    const int count = check_operands(inputs, n, output);
    apply(inputs[0].view.data, inputs[1].view.data, output.data, count, ctx);
    return inputs[0].shape;
  }

  int check_operands(const TensorRef* inputs, int n, BufferView output) const override {
    return binary_count(*this, inputs, n, output, 1);
  }

  void apply(const void* a, const void* b, void* out, int count, ExecContext* ctx) const override {
    const auto& k = require_backend().kernels;
    require_kernel(k.add_i8, "add_i8")(static_cast<const int8_t*>(a), static_cast<const int8_t*>(b), in1_zp_,
                                       in2_zp_, out_zp_, static_cast<int8_t*>(out), count, in1_scale_,
                                       in2_scale_, out_scale_, stream_of(ctx));
  }

  Form form() const override { return form_; }

 private:
  float in1_scale_, in2_scale_, out_scale_;
  int32_t in1_zp_, in2_zp_, out_zp_;
  // add_i8 with small ratios takes the Q12 formula on complete groups of 16; derived once.
  Form form_ = q12_form(plan_add_i8(in1_zp_, in2_zp_, out_zp_, in1_scale_, in2_scale_, out_scale_));

  static Form q12_form(const AddI8Plan& plan) {
    if (!plan.small_ratios) return {};
    return Form{Form::kAddI8Q12, false, plan.u, plan.v, plan.q12_bias};
  }
};

// out = b x a over the first input's elements; the second input must hold as many.
class ElemwiseMulFp32 final : public SameShapeLayer {
 public:
  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext*) override {
    const auto& k = require_backend().kernels;
    const int count = binary_count(*this, inputs, n, output, sizeof(float));
    require_kernel(k.elemwise_mul_f32, "elemwise_mul_f32")(static_cast<const float*>(inputs[0].view.data),
                                                           static_cast<const float*>(inputs[1].view.data),
                                                           static_cast<float*>(output.data), count);
    return inputs[0].shape;
  }
};

class ScaleFp32 final : public SameShapeLayer {
 public:
  explicit ScaleFp32(const JsonValue& node) : scalar_(node.get_float("scalar", 1.0f)) {}

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext*) override {
    const auto& k = require_backend().kernels;
    const int count = unary_count(*this, inputs, n, output);
    require_kernel(k.scale_f32, "scale_f32")(static_cast<const float*>(inputs[0].view.data),
                                             static_cast<float*>(output.data), count, scalar_);
    return inputs[0].shape;
  }

 private:
  float scalar_;
};

class SnakeFp32 final : public SameShapeLayer {
 public:
  void load_weights(WeightGetter& get) override {
    has_alpha_ = load_tensor(get, name + ".alpha", alpha_, 0);
    inv_.resize(alpha_.size());
    for (size_t c = 0; c < alpha_.size(); ++c) inv_[c] = 1.0f / (alpha_[c] + 1e-9f);
  }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext* ctx) override {
    const auto& k = require_backend().kernels;
    if (!has_alpha_) throw_missing_weight(name + ".alpha");
    const int count = unary_count(*this, inputs, n, output);
    const TensorShape in = inputs[0].shape;
    if (count == 0) return in;
    // One value per channel: a table for another width belongs to another model.
    require_tensor_elements(name + ".alpha", alpha_.size() * sizeof(float), sizeof(float), uint64_t(in.c));
    require_kernel(k.snake_f32, "snake_f32")(static_cast<const float*>(inputs[0].view.data),
                                             static_cast<float*>(output.data), alpha_.data(), inv_.data(),
                                             count / in.c, in.c, stream_of(ctx));
    return in;
  }

 private:
  bool has_alpha_ = false;
  std::vector<float> alpha_;
  std::vector<float> inv_;  // 1 / (alpha + 1e-9), once at load
};

class UpsampleBilinearFp32 final : public SameShapeLayer {
 public:
  explicit UpsampleBilinearFp32(const JsonValue& node)
      : scale_h_(node.get_float("scale_h", 2.0f)), scale_w_(node.get_float("scale_w", 2.0f)) {}

  TensorShape output_shape(TensorShape in) const override {
    return {in.c, scaled(scale_h_, in.h), scaled(scale_w_, in.w)};
  }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext* ctx) override {
    const auto& k = require_backend().kernels;
    require_inputs(*this, n, 1);
    const TensorShape in = inputs[0].shape;
    const TensorShape out = output_shape(in);
    require_buffer(*this, inputs[0].view, element_count(in) * sizeof(float));
    require_buffer(*this, output, element_count(out) * sizeof(float));
    kernel_size(*this, element_count(out));
    require_kernel(k.upsample_bilinear_f32, "upsample_bilinear_f32")(
        static_cast<const float*>(inputs[0].view.data), static_cast<float*>(output.data), in.c, in.h, in.w,
        out.h, out.w, stream_of(ctx));
    return out;
  }

 private:
  // int(fma(scale, size, 0.5)); sizes that are negative, not finite or beyond int are refused.
  int32_t scaled(float scale, int32_t size) const {
    const float v = std::fma(scale, static_cast<float>(size < 0 ? 0 : size), 0.5f);
    if (!(v > -1.0f && v < 2147483648.0f))
      throw std::runtime_error("node '" + name + "': upsampling scale " + std::to_string(scale) +
                               " gives no valid output size for " + std::to_string(size));
    return static_cast<int32_t>(v);
  }

  float scale_h_, scale_w_;
};

class UpsampleNearest1dFp32 final : public SameShapeLayer {
 public:
  explicit UpsampleNearest1dFp32(const JsonValue& node) : factor_(node.get_int("scale_factor", 2)) {}

  void load_weights(WeightGetter&) override { check_factor(); }

  TensorShape output_shape(TensorShape in) const override {
    check_factor();
    return {in.c, repeated(in.h), in.w};
  }

  // Each of the H x W positions is repeated, so the result is a sequence of H W factor rows.
  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext* ctx) override {
    const auto& k = require_backend().kernels;
    require_inputs(*this, n, 1);
    check_factor();
    const TensorShape in = inputs[0].shape;
    const int rows = kernel_size(*this, element_count({1, in.h, in.w}));
    const TensorShape out{in.c, repeated(rows), 1};
    require_buffer(*this, inputs[0].view, element_count(in) * sizeof(float));
    require_buffer(*this, output, element_count(out) * sizeof(float));
    kernel_size(*this, element_count(out));
    require_kernel(k.upsample_nearest1d_f32, "upsample_nearest1d_f32")(
        static_cast<const float*>(inputs[0].view.data), static_cast<float*>(output.data), rows,
        in.c < 0 ? 0 : in.c, factor_, stream_of(ctx));
    return out;
  }

 private:
  void check_factor() const {
    if (factor_ < 0) throw std::runtime_error("node '" + name + "': scale_factor must not be negative");
  }

  int32_t repeated(int32_t size) const {
    const int64_t v = int64_t(size < 0 ? 0 : size) * factor_;
    if (v > INT32_MAX) throw std::runtime_error("node '" + name + "': upsampled length too large");
    return static_cast<int32_t>(v);
  }

  int32_t factor_;
};

}  // namespace

std::unique_ptr<ILayer> make_elementwise_layer(OpType op, const JsonValue& node) {
  switch (op) {
    case OpType::AddFp32: return std::make_unique<AddFp32>();
    case OpType::AddInt8: return std::make_unique<AddInt8>(node);
    case OpType::ScaleFp32: return std::make_unique<ScaleFp32>(node);
    case OpType::ElemwiseMulFp32: return std::make_unique<ElemwiseMulFp32>();
    case OpType::Snake1dFp32: return std::make_unique<SnakeFp32>();
    case OpType::UpsampleBilinearFp32: return std::make_unique<UpsampleBilinearFp32>(node);
    case OpType::UpsampleNearest1dFp32: return std::make_unique<UpsampleNearest1dFp32>(node);
    default: return nullptr;
  }
}

}  // namespace trevalon
