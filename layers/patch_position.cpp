// Small layers of the vision-transformer path: PatchPrepFp32 puts the class token in front of the
// patch embeddings and adds the position table, PosEmbAddFp32 adds a position table, and
// ClsExtractFp32 keeps the class token's row. All run on the host and compute here.
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernels/thread_pool.h"
#include "kernels/work_split.h"
#include "layers/layer_checks.h"
#include "layers/layer_factory.h"
#include "layers/small_layer_checks.h"

namespace trevalon {
namespace {

class HostSequenceLayer : public ILayer {
 public:
  bool output_is_int8() const override { return false; }
  uint8_t execution_device() const override { return 0; }  // host only

 protected:
  // The input's values and its positions (h x w), its buffer checked.
  const float* input_rows(const TensorRef* inputs, int n, uint64_t& positions) const {
    require_inputs(*this, n, 1);
    const TensorShape in = inputs[0].shape;
    positions = element_count({1, in.h, in.w});
    require_buffer(*this, inputs[0].view, element_count(in) * sizeof(float));
    return static_cast<const float*>(inputs[0].view.data);
  }

  // A table the layer must read `needed` values of: "node 'X': TENSOR is missing, expected at
  // least N values (...)" or "node 'X': TENSOR holds M values, expected at least N (...)".
  void require_table(const std::string& tensor, bool loaded, uint64_t have, uint64_t needed,
                     const std::string& what) const {
    if (!loaded)
      throw std::runtime_error("node '" + name + "': missing weight tensor: " + tensor + ", expected " +
                               std::to_string(needed) + " values (" + what + ")");
    if (have < needed)
      throw std::runtime_error("node '" + name + "': " + tensor + " holds " + std::to_string(have) +
                               " values, expected at least " + std::to_string(needed) + " (" + what + ")");
  }
};

// out[i] = a[i] + b[i]; kept as plain adds the compiler widens, in ranges split between threads.
void add_values(const float* a, const float* b, float* out, size_t count) {
  parallel_for(count, 64, kSplitValues, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) out[i] = a[i] + b[i];
  });
}

class PatchPrepFp32 final : public HostSequenceLayer {
 public:
  void load_weights(WeightGetter& get) override {
    has_cls_ = load_tensor(get, name + ".cls_token", cls_, 0);
    has_pos_ = load_tensor(get, name + ".pos_embed", pos_, 0);
  }

  TensorShape output_shape(TensorShape in) const override {
    return {in.c, static_cast<int32_t>(positions_plus_one(element_count({1, in.h, in.w}))), 1};
  }

  // Row 0 = class token + position row 0; row t + 1 = input row t + position row t + 1.
  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext*) override {
    require_backend();
    uint64_t T = 0;
    const float* x = input_rows(inputs, n, T);
    const TensorShape in = inputs[0].shape;
    const uint64_t C = uint64_t(in.c > 0 ? in.c : 0);
    const std::string channels = "the input's " + std::to_string(C) + " channels";
    if (!has_cls_)
      throw std::runtime_error("node '" + name + "': missing weight tensor: " + name +
                               ".cls_token, expected " + std::to_string(C) + " values (" + channels + ")");
    if (cls_.size() != C)
      throw std::runtime_error("node '" + name + "': " + name + ".cls_token holds " +
                               std::to_string(cls_.size()) + " values, expected " + std::to_string(C) + " (" +
                               channels + ")");
    const uint64_t rows = positions_plus_one(T);
    require_table(name + ".pos_embed", has_pos_, pos_.size(), rows * C,
                  std::to_string(rows) + " positions of " + std::to_string(C));
    require_buffer(*this, output, rows * C * sizeof(float));
    kernel_size(*this, rows * C);

    auto* y = static_cast<float*>(output.data);
    add_values(cls_.data(), pos_.data(), y, C);
    add_values(x, pos_.data() + C, y + C, T * C);
    return {in.c, static_cast<int32_t>(rows), 1};
  }

 private:
  uint64_t positions_plus_one(uint64_t T) const {
    if (T >= uint64_t(INT32_MAX))
      throw std::runtime_error("node '" + name + "': " + std::to_string(T) +
                               " positions leave no room for the class token");
    return T + 1;
  }

  bool has_cls_ = false, has_pos_ = false;
  std::vector<float> cls_;  // E values
  std::vector<float> pos_;  // (T + 1) x E values, or more
};

class PosEmbAddFp32 final : public HostSequenceLayer {
 public:
  void load_weights(WeightGetter& get) override {
    has_table_ = load_tensor(get, name + ".weight", table_, 0);
  }

  TensorShape output_shape(TensorShape in) const override { return in; }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext*) override {
    require_backend();
    uint64_t T = 0;
    const float* x = input_rows(inputs, n, T);
    const TensorShape in = inputs[0].shape;
    const uint64_t count = element_count(in);
    require_table(name + ".weight", has_table_, table_.size(), count,
                  std::to_string(T) + " positions of " + std::to_string(in.c > 0 ? in.c : 0));
    require_buffer(*this, output, count * sizeof(float));
    add_values(x, table_.data(), static_cast<float*>(output.data), count);
    return in;
  }

 private:
  bool has_table_ = false;
  std::vector<float> table_;  // at least C x T values
};

class ClsExtractFp32 final : public HostSequenceLayer {
 public:
  TensorShape output_shape(TensorShape in) const override { return {in.c, 1, 1}; }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext*) override {
    require_backend();
    uint64_t T = 0;
    const float* x = input_rows(inputs, n, T);
    const TensorShape in = inputs[0].shape;
    const uint64_t C = uint64_t(in.c > 0 ? in.c : 0);
    if (T == 0 && C > 0)
      throw std::runtime_error("node '" + name + "': input has no positions, expected at least 1");
    require_buffer(*this, output, C * sizeof(float));
    if (C > 0) std::memcpy(output.data, x, C * sizeof(float));
    return {in.c, 1, 1};
  }
};

}  // namespace

std::unique_ptr<ILayer> make_patch_position_layer(OpType op, const JsonValue& node) {
  switch (op) {
    case OpType::PatchPrepFp32: return std::make_unique<PatchPrepFp32>();
    case OpType::PosEmbAddFp32: return std::make_unique<PosEmbAddFp32>();
    case OpType::ClsExtractFp32: return std::make_unique<ClsExtractFp32>();
    default: return nullptr;
  }
}

}  // namespace trevalon
