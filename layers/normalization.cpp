// Row normalisation layers of transformer blocks: RmsNormFp32 and LayerNormFp32 normalise each
// position over its C channels with learned per-channel weights.
#include <cstdint>
#include <string>
#include <vector>

#include "layers/layer_checks.h"
#include "layers/layer_factory.h"
#include "layers/small_layer_checks.h"

namespace trevalon {
namespace {

// Shape rule, input checks and the per-channel weights shared by the two norms.
class RowNorm : public ILayer {
 public:
  explicit RowNorm(const JsonValue& node) : eps_(node.get_float("eps", 1e-6f)) {}

  bool output_is_int8() const override { return false; }
  TensorShape output_shape(TensorShape in) const override { return in; }

 protected:
  struct Rows {
    const float* in;
    float* out;
    int rows, cols;
  };

  // Checks the input against the output and the weights against its C; rows is 0 for an empty input.
  Rows check_rows(const TensorRef* inputs, int n, BufferView output) const {
    require_inputs(*this, n, 1);
    const TensorShape in = inputs[0].shape;
    const uint64_t count = element_count(in);
    require_buffer(*this, inputs[0].view, count * sizeof(float));
    require_buffer(*this, output, count * sizeof(float));
    kernel_size(*this, count);
    const int cols = in.c > 0 ? in.c : 0;
    const int rows = cols > 0 ? static_cast<int>(count / uint64_t(cols)) : 0;
    for (const auto* w : {&gamma_, &beta_})
      if (w->loaded)
        require_tensor_elements(name + w->suffix, w->values.size() * sizeof(float), sizeof(float),
                                uint64_t(cols));
    return {static_cast<const float*>(inputs[0].view.data), static_cast<float*>(output.data), rows, cols};
  }

  // A per-channel tensor; its length is the input's C, known only when the layer runs.
  struct ChannelWeight {
    const char* suffix;
    bool loaded = false;
    std::vector<float> values;

    void load(WeightGetter& get, const std::string& node) {
      loaded = load_tensor(get, node + suffix, values, 0);
    }
    const float* require(const std::string& node) const {
      if (!loaded) throw_missing_weight(node + suffix);
      return values.data();
    }
  };

  float eps_;
  ChannelWeight gamma_{".gamma", false, {}};
  ChannelWeight beta_{".beta", false, {}};
};

class RmsNormFp32 final : public RowNorm {
 public:
  using RowNorm::RowNorm;

  void load_weights(WeightGetter& get) override { gamma_.load(get, name); }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext*) override {
    const auto& k = require_backend().kernels;
    const float* gamma = gamma_.require(name);
    const Rows r = check_rows(inputs, n, output);
    require_kernel(k.rms_norm_f32, "rms_norm_f32")(r.in, gamma, r.out, r.rows, r.cols, eps_);
    return inputs[0].shape;
  }
};

class LayerNormFp32 final : public RowNorm {
 public:
  using RowNorm::RowNorm;

  void load_weights(WeightGetter& get) override {
    gamma_.load(get, name);
    beta_.load(get, name);
  }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext*) override {
    const auto& k = require_backend().kernels;
    const float* gamma = gamma_.require(name);
    const float* beta = beta_.require(name);
    const Rows r = check_rows(inputs, n, output);
    require_kernel(k.layer_norm_f32, "layer_norm_f32")(r.in, gamma, beta, r.out, r.rows, r.cols, eps_);
    return inputs[0].shape;
  }
};

}  // namespace

std::unique_ptr<ILayer> make_normalization_layer(OpType op, const JsonValue& node) {
  switch (op) {
    case OpType::RmsNormFp32: return std::make_unique<RmsNormFp32>(node);
    case OpType::LayerNormFp32: return std::make_unique<LayerNormFp32>(node);
    default: return nullptr;
  }
}

}  // namespace trevalon
