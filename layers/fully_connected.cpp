// Fully connected layers of image classifiers: GemmFp32 and GemmInt8 read the whole input as one
// vector of C_in values and produce C_out float logits, shape (C_out, 1, 1).
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/cpu_backend.h"
#include "kernels/kernel_drivers.h"
#include "kernels/packed_weights.h"
#include "kernels/thread_work.h"
#include "layers/layer_checks.h"
#include "layers/layer_factory.h"

namespace trevalon {
namespace {

// Rejects sizes that cannot describe a weight matrix once its tensor is present.
void require_matrix_sizes(const ILayer& layer, int32_t C_out, int32_t C_in) {
  if (C_out <= 0 || C_in <= 0)
    throw std::runtime_error("node '" + layer.name + "': C_out and C_in must be positive");
}

uint64_t matrix_count(int32_t C_out, int32_t C_in) {
  return uint64_t(C_out > 0 ? C_out : 0) * uint64_t(C_in > 0 ? C_in : 0);
}

void check_buffers(const ILayer& layer, const TensorRef& in, uint64_t in_bytes, BufferView out,
                   uint64_t out_bytes) {
  if (in.view.bytes < in_bytes || out.bytes < out_bytes)
    throw std::runtime_error("node '" + layer.name + "': buffer smaller than its tensor");
}

class GemmFp32 final : public ILayer {
 public:
  explicit GemmFp32(const JsonValue& node)
      : C_out_(node.get_int("C_out", 0)), C_in_(node.get_int("C_in", 0)) {}

  void load_weights(WeightGetter& get) override {
    const uint64_t count = matrix_count(C_out_, C_in_);
    const bool have_weights = load_tensor_exact(get, name + ".weight", weights_, [&] {
      require_matrix_sizes(*this, C_out_, C_in_);
      return count;
    });
    if (!have_weights) return;
    load_tensor_exact(get, name + ".bias", bias_, uint64_t(C_out_), nullptr, EmptyTensor::MeansAbsent);

    const BackendDescriptor& backend = require_backend();
    if (!backend.kernels.pack_weights_f32 || !backend.kernels.free_packed_f32)
      throw std::runtime_error("backend " + std::string(backend.name) + " cannot pack float weights");
    packed_ = PackedWeights<float>(backend.kernels.pack_weights_f32(weights_.data(), C_out_, C_in_),
                                   backend.kernels.free_packed_f32);
    if (backend.device == 0) std::vector<float>().swap(weights_);  // the host keeps only the panels
  }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext* ctx) override {
    const BackendDescriptor& backend = require_backend();
    require_inputs(*this, n, 1);
    if (!packed_.get() && weights_.empty()) throw_missing_weight(name + ".weight");
    require_elements(*this, inputs[0].shape, uint64_t(C_in_));
    check_buffers(*this, inputs[0], uint64_t(C_in_) * sizeof(float), output,
                  uint64_t(C_out_) * sizeof(float));
    const auto& k = backend.kernels;
    if (!k.gemv_f32) throw std::runtime_error("backend has no gemv_f32 kernel");
    if (relu && !k.relu_f32) throw std::runtime_error("backend has no relu_f32 kernel");

    auto* y = static_cast<float*>(output.data);
    k.gemv_f32(static_cast<const float*>(inputs[0].view.data), weights_.empty() ? nullptr : weights_.data(),
               bias_.empty() ? nullptr : bias_.data(), y, C_in_, C_out_, packed_.get(),
               ctx ? ctx->stream : nullptr);
    if (relu) k.relu_f32(y, C_out_);
    return output_shape(inputs[0].shape);
  }

  bool output_is_int8() const override { return false; }
  TensorShape output_shape(TensorShape) const override { return TensorShape{C_out_, 1, 1}; }

 private:
  int32_t C_out_, C_in_;
  std::vector<float> weights_;   // released after packing on the host
  std::vector<float> bias_;      // empty: no bias
  PackedWeights<float> packed_;  // C_out x C_in in 4-row panels
};

class GemmInt8 final : public ILayer {
 public:
  explicit GemmInt8(const JsonValue& node)
      : C_out_(node.get_int("C_out", 0)),
        C_in_(node.get_int("C_in", 0)),
        in_zp_(static_cast<int8_t>(node.get_int("in_zp", 0))) {}

  void load_weights(WeightGetter& get) override {
    const uint64_t count = matrix_count(C_out_, C_in_);
    const uint64_t channels = uint64_t(C_out_ > 0 ? C_out_ : 0);
    load_tensor_exact(get, name + ".req_scale", req_scale_, channels);
    load_tensor_exact(get, name + ".eff_bias", eff_bias_, channels);
    const bool have_weights = load_tensor_exact(get, name + ".weight", weights_, [&] {
      require_matrix_sizes(*this, C_out_, C_in_);
      return count;
    });
    if (!have_weights) return;
    weights_.resize(count);

    // Summed in 64 bits, low 32 kept: a row longer than 2^24 weights can exceed int32.
    row_sums_.assign(size_t(C_out_), 0);
    for (int o = 0; o < C_out_; ++o) {
      int64_t sum = 0;
      for (int c = 0; c < C_in_; ++c) sum += weights_[size_t(o) * C_in_ + c];
      row_sums_[o] = int32_t(uint32_t(uint64_t(sum)));
    }

    const BackendDescriptor& backend = require_backend();
    if (!backend.kernels.pack_weights_i8 || !backend.kernels.free_packed_i8)
      throw std::runtime_error("backend " + std::string(backend.name) + " cannot pack int8 weights");
    packed_ = PackedWeights<int8_t>(backend.kernels.pack_weights_i8(weights_.data(), C_out_, C_in_),
                                    backend.kernels.free_packed_i8);
    if (const KernelDrivers* drivers = kernel_drivers_for(backend)) prepare_for(*drivers);
  }

  void release_scratch() override { release_thread_work(); }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext* ctx) override {
    const BackendDescriptor& backend = require_backend();
    require_inputs(*this, n, 1);
    if (!packed_.get()) throw_missing_weight(name + ".weight");
    if (req_scale_.empty()) throw_missing_weight(name + ".req_scale");
    if (eff_bias_.empty()) throw_missing_weight(name + ".eff_bias");
    require_elements(*this, inputs[0].shape, uint64_t(C_in_));
    check_buffers(*this, inputs[0], uint64_t(C_in_), output, uint64_t(C_out_) * sizeof(float));
    if (!backend.kernels.gemm_i8) throw std::runtime_error("backend has no gemm_i8 kernel");

    // Float output: float(eff_bias + acc) x req_scale. The input zero point is already folded
    // into eff_bias, so in_zp_ is not applied here.
    auto* y = static_cast<float*>(output.data);
    const auto* x = static_cast<const int8_t*>(inputs[0].view.data);
    const int32_t* row_sums = row_sums_.empty() ? nullptr : row_sums_.data();
    if (const KernelDrivers* drivers = kernel_drivers_for(backend)) {
      prepare_for(*drivers);  // only after the tier changed since load
      drivers->gemm_i8(x, packed_.get(), &prepared_, eff_bias_.data(), nullptr, nullptr, req_scale_.data(), 0,
                       y, true, 1, C_in_, C_out_, false, row_sums);
    } else {
      backend.kernels.gemm_i8(x, packed_.get(), eff_bias_.data(), nullptr, nullptr, req_scale_.data(), 0, y,
                              true, 1, C_in_, C_out_, false, row_sums, ctx ? ctx->stream : nullptr);
    }
    if (relu)
      for (int i = 0; i < C_out_; ++i) y[i] = y[i] > 0.0f ? y[i] : 0.0f;  // maxNum: NaN becomes 0
    return output_shape(inputs[0].shape);
  }

  bool output_is_int8() const override { return false; }
  TensorShape output_shape(TensorShape) const override { return TensorShape{C_out_, 1, 1}; }

 private:
  // The packed weights as `drivers`' tier reads them (float output: no requantisation tables).
  void prepare_for(const KernelDrivers& drivers) {
    if (prepared_.format == drivers.format) return;
    if (drivers.prepare_i8 && packed_.get()) {
      drivers.prepare_i8(packed_.get(), C_out_, C_in_, nullptr, nullptr, nullptr, 0, false, drivers.format,
                         prepared_);
    } else {
      prepared_ = PreparedWeightsI8{};
      prepared_.format = drivers.format;
    }
  }

  int32_t C_out_, C_in_;
  int8_t in_zp_;
  std::vector<int8_t> weights_;
  std::vector<float> req_scale_;
  std::vector<int64_t> eff_bias_;
  std::vector<int32_t> row_sums_;  // handed to gemm_i8 (a device backend may use them)
  PackedWeights<int8_t> packed_;   // C_out x C_in in 8x4 blocks
  PreparedWeightsI8 prepared_;     // packed_ as the tier's kernels read it
};

}  // namespace

std::unique_ptr<ILayer> make_fully_connected_layer(OpType op, const JsonValue& node) {
  if (op == OpType::GemmFp32) return std::make_unique<GemmFp32>(node);
  if (op == OpType::GemmInt8) return std::make_unique<GemmInt8>(node);
  return nullptr;
}

}  // namespace trevalon
