// Style-conditioned normalisation of the speech models: AdaIn1dFp32 normalises each channel over
// time, AdaLayerNormFp32 each position over its channels; both then scale by (1 + gamma) and shift
// by beta, which a fully connected projection of the style vector gives: gamma its first C values,
// beta the next C.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernels/gemm_f32.h"
#include "kernels/packed_weights.h"
#include "layers/layer_checks.h"
#include "layers/layer_factory.h"
#include "layers/quantised_storage.h"
#include "layers/small_layer_checks.h"

namespace trevalon {
namespace {

// Parameters, the packed style projection and the checks shared by both norms.
class AdaptiveNorm : public ILayer {
 public:
  explicit AdaptiveNorm(const JsonValue& node)
      : C_(node.get_int("C", 0)), C_style_(node.get_int("C_style", 0)), eps_(node.get_float("eps", 1e-5f)) {}

  bool output_is_int8() const override { return false; }
  TensorShape output_shape(TensorShape in) const override { return in; }

  void upload_weights(Allocator* allocator) override {
    if (!allocator || !allocator->is_device() || !packed_.get()) return;
    device_fc_ = allocator->make_buffer(packed_.bytes());
    allocator->copy_to_device(device_fc_.data, packed_.get(), packed_.bytes());
    device_projection_ = allocator->make_buffer(projection_count() * sizeof(float));
  }

  void release_scratch() override { std::vector<float>().swap(projection_); }

 protected:
  // The input and output rows and the projected style, gamma = style[0 .. C-1], beta = style[C ..].
  struct Pass {
    const float* x;
    float* y;
    const float* gamma;
    const float* beta;
    int rows;
  };

  // ".fc.weight" (2C x C_style, possibly stored as int8 rows with their scales) and ".fc.bias" (2C),
  // the weight packed for gemv_f32 once here.
  void load_projection(WeightGetter& get) {
    const BackendDescriptor& backend = require_backend();
    const bool present = load_float_weight(
        get, name + ".fc.weight", fc_weight_,
        [&] {
          require_sizes();
          return projection_count() * uint64_t(C_style_);
        },
        projection_count());
    if (!present) return;
    load_tensor_exact(get, name + ".fc.bias", fc_bias_, projection_count(), nullptr,
                      EmptyTensor::MeansAbsent);
    const auto& k = backend.kernels;
    if (!k.pack_weights_f32 || !k.free_packed_f32)
      throw std::runtime_error("backend " + std::string(backend.name) + " cannot pack float weights");
    const int rows = 2 * C_;
    packed_ = PackedWeights<float>(k.pack_weights_f32(fc_weight_.data(), rows, C_style_), k.free_packed_f32,
                                   packed_weights_f32_floats(rows, C_style_) * sizeof(float));
    if (backend.device == static_cast<int32_t>(DeviceKind::Host)) std::vector<float>().swap(fc_weight_);
  }

  // A per-channel tensor of C values, absent when the file lacks it or stores it empty.
  void load_channel_weight(WeightGetter& get, const char* suffix, std::vector<float>& out) {
    load_tensor_exact(
        get, name + suffix, out,
        [&] {
          require_sizes();
          return uint64_t(C_);
        },
        nullptr, EmptyTensor::MeansAbsent);
  }

  // Checks both inputs and the output, then projects the style.
  Pass prepare(const TensorRef* inputs, int n, BufferView output, ExecContext* ctx) {
    const BackendDescriptor& backend = require_backend();
    require_inputs(*this, n, 2);
    if (!packed_.get()) throw_missing_weight(name + ".fc.weight");
    const TensorShape in = inputs[0].shape;
    if (in.c != C_)
      throw std::runtime_error("node '" + name + "': input has " + std::to_string(in.c) +
                               " channels, expected C " + std::to_string(C_));
    const uint64_t style_values = element_count(inputs[1].shape);
    if (style_values < uint64_t(C_style_))
      throw std::runtime_error("node '" + name + "': style vector holds " + std::to_string(style_values) +
                               " values, expected at least C_style " + std::to_string(C_style_));
    const uint64_t count = element_count(in);
    const int rows = static_cast<int>(count / uint64_t(C_));
    kernel_size(*this, count);
    require_buffer(*this, inputs[0].view, count * sizeof(float));
    require_buffer(*this, inputs[1].view, uint64_t(C_style_) * sizeof(float));
    require_buffer(*this, output, count * sizeof(float));

    float* p = static_cast<float*>(device_projection_.data);
    if (!p) {
      if (projection_.size() < projection_count())
        projection_.resize(projection_count());  // until release_scratch
      p = projection_.data();
    }
    const float* packed = device_fc_.data ? static_cast<const float*>(device_fc_.data) : packed_.get();
    require_kernel(backend.kernels.gemv_f32, "gemv_f32")(
        static_cast<const float*>(inputs[1].view.data), fc_weight_.empty() ? nullptr : fc_weight_.data(),
        fc_bias_.empty() ? nullptr : fc_bias_.data(), p, C_style_, 2 * C_, packed, stream_of(ctx));
    return Pass{static_cast<const float*>(inputs[0].view.data), static_cast<float*>(output.data), p, p + C_,
                rows};
  }

  int32_t C_, C_style_;
  float eps_;

 private:
  uint64_t projection_count() const { return 2 * uint64_t(C_ > 0 ? C_ : 0); }

  // Sizes a present weight needs: positive, and 2C rows within the kernels' 32-bit sizes.
  void require_sizes() const {
    if (C_ <= 0 || C_style_ <= 0)
      throw std::runtime_error("node '" + name + "': C and C_style must be positive, got " +
                               std::to_string(C_) + " and " + std::to_string(C_style_));
    kernel_size(*this, projection_count() * uint64_t(C_style_));
  }

  std::vector<float> fc_weight_;  // released after packing on the host
  std::vector<float> fc_bias_;    // empty: no bias
  PackedWeights<float> packed_;   // 2C x C_style in 4-row panels
  std::vector<float> projection_;
  Buffer device_fc_, device_projection_;  // only after an upload to a device allocator
};

class AdaIn1dFp32 final : public AdaptiveNorm {
 public:
  using AdaptiveNorm::AdaptiveNorm;

  void load_weights(WeightGetter& get) override {
    load_projection(get);
    load_channel_weight(get, ".norm.weight", norm_weight_);
    load_channel_weight(get, ".norm.bias", norm_bias_);
  }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext* ctx) override {
    const Pass p = prepare(inputs, n, output, ctx);
    require_kernel(require_backend().kernels.ada_in1d_f32, "ada_in1d_f32")(
        p.x, p.y, p.gamma, p.beta, p.rows, C_, norm_weight_.empty() ? nullptr : norm_weight_.data(), eps_,
        norm_bias_.empty() ? nullptr : norm_bias_.data());
    return inputs[0].shape;
  }

 private:
  std::vector<float> norm_weight_, norm_bias_;  // empty: absent
};

class AdaLayerNormFp32 final : public AdaptiveNorm {
 public:
  using AdaptiveNorm::AdaptiveNorm;

  void load_weights(WeightGetter& get) override { load_projection(get); }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext* ctx) override {
    const Pass p = prepare(inputs, n, output, ctx);
    require_kernel(require_backend().kernels.ada_layer_norm_f32, "ada_layer_norm_f32")(
        p.x, p.y, p.gamma, p.beta, p.rows, C_, eps_);
    return inputs[0].shape;
  }
};

}  // namespace

std::unique_ptr<ILayer> make_adaptive_norm_layer(OpType op, const JsonValue& node) {
  switch (op) {
    case OpType::AdaIn1dFp32: return std::make_unique<AdaIn1dFp32>(node);
    case OpType::AdaLayerNormFp32: return std::make_unique<AdaLayerNormFp32>(node);
    default: return nullptr;
  }
}

}  // namespace trevalon
