// LstmFp32: a single-layer LSTM over a sequence of T positions of K features, forward only or in
// both directions (row t: forward state, then the backward state of the same position). The input
// projection of every step is one float product on weights prepared at load; the steps run
// through the tier's recurrence kernel.
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "arch/arch_loader.h"
#include "backend/cpu_backend.h"
#include "kernels/gemm_f32.h"
#include "kernels/kernel_drivers.h"
#include "kernels/lstm_f32.h"
#include "kernels/thread_pool.h"
#include "kernels/thread_work.h"
#include "layers/layer_checks.h"
#include "layers/layer_factory.h"
#include "layers/small_layer_checks.h"
#include "weights/weight_binding.h"

namespace trevalon {
namespace {

// A row-major weight with the table's 4-row panels and the tier's form of them. The panels are
// dropped while a prepared form replaces them and rebuilt from the raw rows for a tier without one.
struct LstmWeight {
  std::vector<float> raw;  // rows x cols
  int rows = 0, cols = 0;
  Buffer panels;
  PreparedWeightsF32 prepared;

  bool present() const { return !raw.empty(); }
  const float* panel_data() const { return static_cast<const float*>(panels.data); }

  void prepare_for(const BackendDescriptor& backend, const KernelDrivers& drivers) {
    if (!present() || (prepared.format == drivers.format && (panels.data || prepared.get()))) return;
    if (!panels.data) {
      const auto release = require_kernel(backend.kernels.free_packed_f32, "free_packed_f32");
      panels =
          Buffer(require_kernel(backend.kernels.pack_weights_f32, "pack_weights_f32")(raw.data(), rows, cols),
                 0, packed_weights_f32_floats(rows, cols) * sizeof(float),
                 [release](void* p) { release(static_cast<float*>(p)); });
    }
    prepared = PreparedWeightsF32{};
    prepared.format = drivers.format;
    if (drivers.prepare_f32) drivers.prepare_f32(panel_data(), rows, cols, drivers.format, prepared);
    if (prepared.get()) panels = Buffer{};
  }
};

struct Direction {
  LstmWeight w_ih, w_hh;          // 4H x K and 4H x H
  std::vector<float> b_ih, b_hh;  // 4H each, empty when absent
};

class LstmFp32 final : public ILayer {
 public:
  explicit LstmFp32(const JsonValue& node)
      : H_(node.get_int("hidden_size", 0)), bidirectional_(node.get_bool("bidirectional")) {}

  void load_weights(WeightGetter& get) override {
    // Refused before any buffer is planned from the output width.
    if (H_ <= 0 || int64_t(H_) * 8 > INT32_MAX)
      throw std::runtime_error("node '" + name +
                               "': hidden_size must be positive with 8 x hidden_size in 32 bits, got " +
                               std::to_string(H_));
    for (int d = 0; d < directions(); ++d) load_direction(get, d);
    const BackendDescriptor& backend = require_backend();
    if (const KernelDrivers* drivers = kernel_drivers_for(backend))
      for (int d = 0; d < directions(); ++d) {
        dirs_[d].w_ih.prepare_for(backend, *drivers);
        dirs_[d].w_hh.prepare_for(backend, *drivers);
      }
  }

  void release_scratch() override { release_thread_work(); }

  uint8_t execution_device() const override {
    const int32_t kind = require_backend().device;
    return kind == 1 || kind == 2 ? 0 : static_cast<uint8_t>(kind);
  }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext*) override {
    const BackendDescriptor& backend = require_backend();
    for (int d = 0; d < directions(); ++d) {
      const std::string suffix = d ? "_reverse" : "";
      if (!dirs_[d].w_ih.present()) throw_missing_weight(name + ".weight_ih_l0" + suffix);
      if (!dirs_[d].w_hh.present()) throw_missing_weight(name + ".weight_hh_l0" + suffix);
    }
    require_inputs(*this, n, 1);
    const TensorShape s = inputs[0].shape;
    if (s.c != K_)
      throw std::runtime_error("node '" + name + "': input has " + std::to_string(s.c) +
                               " features, expected " + std::to_string(K_) + " (the width of " + name +
                               ".weight_ih_l0)");
    const TensorShape out_shape = output_shape(s);
    const uint64_t steps = uint64_t(s.h > 0 ? s.h : 0) * uint64_t(s.w > 0 ? s.w : 0);
    const int T = kernel_size(*this, steps);
    kernel_size(*this, steps * uint64_t(K_));
    kernel_size(*this, steps * uint64_t(4) * uint64_t(H_));
    require_buffer(*this, inputs[0].view, steps * uint64_t(K_) * sizeof(float));
    require_buffer(*this, output, element_count(out_shape) * sizeof(float));
    if (T == 0) return out_shape;

    const KernelDrivers* drivers = kernel_drivers_for(backend);
    if (!drivers || !drivers->lstm_f32_recurrence || !drivers->gemm_f32_rows)
      throw std::runtime_error("backend has no lstm_f32 kernel");
    const auto* x = static_cast<const float*>(inputs[0].view.data);
    auto* y = static_cast<float*>(output.data);
    for (int d = 0; d < directions(); ++d) {  // only after the tier changed since load
      dirs_[d].w_ih.prepare_for(backend, *drivers);
      dirs_[d].w_hh.prepare_for(backend, *drivers);
    }
    const size_t row = size_t(out_shape.c), gate_rows = size_t(4) * size_t(H_);
    // The two directions are independent: with threads they run side by side, each on its thread's
    // buffers, each writing its half of every output row.
    auto run = [&](size_t d) {
      const Direction& dir = dirs_[d];
      float* gates = thread_work<float>(WorkBuffer::LstmGates, size_t(T) * gate_rows);
      float* state = thread_work<float>(WorkBuffer::LstmState, lstm_work_floats(H_));
      // The input projection of every step (the product shares it among the threads itself).
      drivers->gemm_f32_rows(x, dir.b_ih.empty() ? nullptr : dir.b_ih.data(), gates, T, K_, 4 * H_, false,
                             dir.w_ih.panel_data(), dir.w_ih.prepared.get());
      drivers->lstm_f32_recurrence(gates, dir.w_hh.panel_data(), dir.w_hh.prepared.get(),
                                   dir.b_hh.empty() ? nullptr : dir.b_hh.data(), y + d * size_t(H_), row, T, H_,
                                   d == 1, state);
    };
    const size_t work = size_t(T) * gate_rows * (size_t(H_) + size_t(K_));
    if (directions() == 2 && range_count(work, size_t(1) << 17) > 1)
      parallel_tasks(2, run);
    else
      for (int d = 0; d < directions(); ++d) run(size_t(d));
    return out_shape;
  }

  bool output_is_int8() const override { return false; }
  TensorShape output_shape(TensorShape in) const override {
    const int64_t width = bidirectional_ ? 2 * int64_t(H_) : int64_t(H_);  // H is checked at load
    return TensorShape{width > INT32_MAX ? INT32_MAX : int32_t(width), in.h, in.w};
  }

 private:
  int directions() const { return bidirectional_ ? 2 : 1; }

  void load_direction(WeightGetter& get, int d) {
    const std::string suffix = d ? "_reverse" : "";
    Direction& dir = dirs_[d];
    const std::string ih = name + ".weight_ih_l0" + suffix;
    std::vector<uint8_t> bytes;
    std::vector<int32_t> shape;
    if (load_tensor_bytes(get, ih, bytes, 0, &shape)) {
      const uint64_t rows = uint64_t(4) * uint64_t(H_);
      const uint64_t values = bytes.size() / sizeof(float);
      // The forward weight fixes the input width; the backward one must agree with it.
      const uint64_t width = d == 0 ? values / rows : uint64_t(K_);
      if (width == 0 || width > uint64_t(INT32_MAX) / rows)
        throw std::runtime_error("weight " + ih + " holds " + std::to_string(values) +
                                 " values, expected 4 x hidden_size (" + std::to_string(rows) +
                                 ") rows of at least one input feature");
      require_tensor_elements(ih, bytes.size(), sizeof(float), rows * width);
      K_ = int32_t(width);
      dir.w_ih.raw.resize(rows * width);
      std::memcpy(dir.w_ih.raw.data(), bytes.data(), bytes.size());
      dir.w_ih.rows = int(rows);
      dir.w_ih.cols = K_;
    }
    const uint64_t hidden_rows = uint64_t(4) * uint64_t(H_);
    if (load_tensor_exact(get, name + ".weight_hh_l0" + suffix, dir.w_hh.raw, hidden_rows * uint64_t(H_))) {
      dir.w_hh.rows = 4 * H_;
      dir.w_hh.cols = H_;
    }
    load_tensor_exact(get, name + ".bias_ih_l0" + suffix, dir.b_ih, hidden_rows, nullptr,
                      EmptyTensor::MeansAbsent);
    load_tensor_exact(get, name + ".bias_hh_l0" + suffix, dir.b_hh, hidden_rows, nullptr,
                      EmptyTensor::MeansAbsent);
  }

  int32_t H_;
  bool bidirectional_;
  int32_t K_ = 0;  // input features, from the forward input weight
  Direction dirs_[2];
};

}  // namespace

std::unique_ptr<ILayer> make_lstm_layer(OpType op, const JsonValue& node) {
  if (op == OpType::LstmFp32) return std::make_unique<LstmFp32>(node);
  return nullptr;
}

}  // namespace trevalon
