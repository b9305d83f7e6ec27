// ActivationFp32: the seven element-wise float activations, each through its own kernel slot.
#include <cstdint>
#include <cstring>

#include "layers/layer_checks.h"
#include "layers/layer_factory.h"
#include "layers/small_layer_checks.h"

namespace trevalon {
namespace {

enum class ActivationKind : int32_t {
  LeakyRelu = 0,
  Exp = 1,
  Sin = 2,
  Sigmoid = 3,
  Tanh = 4,
  Gelu = 5,
  Silu = 6,
};

class ActivationFp32 final : public ILayer {
 public:
  ActivationFp32(ActivationKind kind, float alpha) : kind_(kind), alpha_(alpha) {}

  bool output_is_int8() const override { return false; }
  TensorShape output_shape(TensorShape in) const override { return in; }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext*) override {
    const auto& k = require_backend().kernels;
    require_inputs(*this, n, 1);
    const uint64_t elements = element_count(inputs[0].shape);
    require_buffer(*this, inputs[0].view, elements * sizeof(float));
    require_buffer(*this, output, elements * sizeof(float));
    const int count = kernel_size(*this, elements);
    const auto* x = static_cast<const float*>(inputs[0].view.data);
    auto* y = static_cast<float*>(output.data);
    switch (kind_) {
      case ActivationKind::LeakyRelu:
        require_kernel(k.leaky_relu_f32, "leaky_relu_f32")(x, y, count, alpha_);
        break;
      case ActivationKind::Exp: require_kernel(k.exp_f32, "exp_f32")(x, y, count); break;
      case ActivationKind::Sin: require_kernel(k.sin_f32, "sin_f32")(x, y, count); break;
      case ActivationKind::Sigmoid: require_kernel(k.sigmoid_f32, "sigmoid_f32")(x, y, count); break;
      case ActivationKind::Tanh: require_kernel(k.tanh_f32, "tanh_f32")(x, y, count); break;
      case ActivationKind::Silu: require_kernel(k.silu_f32, "silu_f32")(x, y, count); break;
      case ActivationKind::Gelu: {
        auto gelu = require_kernel(k.gelu_f32, "gelu_f32");
        // The GELU kernel works in place: copy first (memmove, since the model may alias them).
        if (count > 0 && y != x) std::memmove(y, x, size_t(count) * sizeof(float));
        gelu(y, count);
        break;
      }
    }
    return inputs[0].shape;
  }

 private:
  ActivationKind kind_;
  float alpha_;  // leaky ReLU slope for negative inputs
};

}  // namespace

std::unique_ptr<ILayer> make_activation_layer(OpType op, const JsonValue& node) {
  constexpr float kDefaultAlpha = 0.2f;
  switch (op) {
    case OpType::LeakyReluFp32:
      return std::make_unique<ActivationFp32>(ActivationKind::LeakyRelu,
                                              node.get_float("alpha", kDefaultAlpha));
    case OpType::ExpFp32: return std::make_unique<ActivationFp32>(ActivationKind::Exp, kDefaultAlpha);
    case OpType::SinFp32: return std::make_unique<ActivationFp32>(ActivationKind::Sin, kDefaultAlpha);
    case OpType::SigmoidFp32: return std::make_unique<ActivationFp32>(ActivationKind::Sigmoid, kDefaultAlpha);
    case OpType::TanhFp32: return std::make_unique<ActivationFp32>(ActivationKind::Tanh, kDefaultAlpha);
    case OpType::GeluFp32: return std::make_unique<ActivationFp32>(ActivationKind::Gelu, kDefaultAlpha);
    case OpType::SiluFp32: return std::make_unique<ActivationFp32>(ActivationKind::Silu, kDefaultAlpha);
    default: return nullptr;
  }
}

}  // namespace trevalon
