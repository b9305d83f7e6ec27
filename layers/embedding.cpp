// Table-lookup layers of text and speech models: EmbeddingFp32 maps token ids to learned rows;
// BertEmbeddingsFp32 adds word, position and token-type rows and normalises each position. Both run
// on the host and compute here; a device backend's slots would receive host memory, so only a host
// backend's layer norm kernel is borrowed.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernels/normalization.h"
#include "kernels/table_small_f32.h"
#include "kernels/thread_pool.h"
#include "kernels/work_split.h"
#include "layers/layer_checks.h"
#include "layers/layer_factory.h"
#include "layers/small_layer_checks.h"

namespace trevalon {
namespace {

// Token ids arrive one per position as float32 in a single channel.
class TokenLayer : public ILayer {
 public:
  bool output_is_int8() const override { return false; }
  uint8_t execution_device() const override { return 0; }  // host only

 protected:
  // The number of ids, after checking the input holds them and the output holds `width` floats per id.
  int id_count(const TensorRef* inputs, int n, BufferView output, int width) const {
    require_inputs(*this, n, 1);
    const TensorShape in = inputs[0].shape;
    const uint64_t ids = element_count({1, in.h, in.w});
    if (in.c != 1 && ids > 0)
      throw std::runtime_error("node '" + name +
                               "': token ids must have one channel (c = 1), got c = " + std::to_string(in.c));
    require_buffer(*this, inputs[0].view, ids * sizeof(float));
    require_buffer(*this, output, ids * uint64_t(width > 0 ? width : 0) * sizeof(float));
    kernel_size(*this, ids * uint64_t(width > 0 ? width : 0));
    return kernel_size(*this, ids);
  }

  // Rows of `width` values: the tensor's own first dimension when it has two, else its length over
  // `width`, which must divide it. Throws for a width that is not positive once a tensor is present.
  uint64_t table_rows(const std::string& tensor, const std::vector<int32_t>& shape, uint64_t bytes,
                      int32_t width, const char* key) const {
    if (width <= 0)
      throw std::runtime_error("node '" + name + "': " + key + " must be positive, got " +
                               std::to_string(width));
    const uint64_t values = bytes / sizeof(float);
    if (shape.size() >= 2 && shape[1] != width)
      throw std::runtime_error("weight " + tensor + " has rows of " + std::to_string(shape[1]) +
                               " values, expected " + std::to_string(width) + " (" + key + ")");
    if (values % uint64_t(width) != 0 || bytes % sizeof(float) != 0)
      throw std::runtime_error("weight " + tensor + " holds " + std::to_string(values) +
                               " values, expected whole rows of " + std::to_string(width) + " (" + key + ")");
    return values / uint64_t(width);
  }
};

class EmbeddingFp32 final : public TokenLayer {
 public:
  explicit EmbeddingFp32(const JsonValue& node)
      : N_(node.get_int("num_embeddings", 0)), D_(node.get_int("embedding_dim", 0)) {}

  // N and D come from the tensor's first two dimensions when it has them, else from the node.
  void load_weights(WeightGetter& get) override {
    std::vector<int32_t> shape;
    load_tensor_exact(
        get, name + ".weight", table_,
        [&] {
          if (shape.size() >= 2) {
            N_ = shape[0];
            D_ = shape[1];
          }
          if (N_ <= 0 || D_ <= 0)
            throw std::runtime_error("node '" + name +
                                     "': num_embeddings and embedding_dim must be positive, got " +
                                     std::to_string(N_) + " and " + std::to_string(D_));
          return uint64_t(N_) * uint64_t(D_);
        },
        &shape);
  }

  TensorShape output_shape(TensorShape in) const override { return {D_, in.h, in.w}; }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext*) override {
    require_backend();
    if (table_.empty()) throw_missing_weight(name + ".weight");
    const int count = id_count(inputs, n, output, D_);
    // Ids below 0 read row 0 and ids at or past N the last row.
    embedding_gather_f32(static_cast<const float*>(inputs[0].view.data), table_.data(),
                         static_cast<float*>(output.data), count, N_, D_);
    return output_shape(inputs[0].shape);
  }

 private:
  int32_t N_, D_;
  std::vector<float> table_;  // N x D
};

// "30522", or the float's own text when it has no integer value ("nan", "1e+20").
std::string id_text(float id) {
  if (std::isfinite(id) && std::fabs(id) < 1e15f) return std::to_string(static_cast<int64_t>(id));
  char text[32];
  std::snprintf(text, sizeof text, "%g", double(id));
  return text;
}

class BertEmbeddingsFp32 final : public TokenLayer {
 public:
  explicit BertEmbeddingsFp32(const JsonValue& node) : E_(node.get_int("emb_size", 128)) {}

  void load_weights(WeightGetter& get) override {
    vocab_ = load_rows(get, ".word_weight", word_);
    positions_ = load_rows(get, ".pos_weight", pos_);
    load_rows(get, ".type_weight", type_);
    const uint64_t E = uint64_t(E_ > 0 ? E_ : 0);
    load_tensor_exact(get, name + ".layernorm.weight", ln_weight_, E, nullptr, EmptyTensor::MeansAbsent);
    load_tensor_exact(get, name + ".layernorm.bias", ln_bias_, E, nullptr, EmptyTensor::MeansAbsent);
  }

  TensorShape output_shape(TensorShape in) const override { return {E_, in.h, in.w}; }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext*) override {
    const BackendDescriptor& backend = require_backend();
    if (word_.empty()) throw_missing_weight(name + ".word_weight");
    if (pos_.empty()) throw_missing_weight(name + ".pos_weight");
    const int T = id_count(inputs, n, output, E_);
    if (uint64_t(T) > positions_)
      throw std::runtime_error("node '" + name + "': " + std::to_string(T) + " positions exceed the " +
                               std::to_string(positions_) + " rows of " + name + ".pos_weight");
    const auto* ids = static_cast<const float*>(inputs[0].view.data);
    // Every id is checked before anything is written: the word index is not clamped.
    for (int t = 0; t < T; ++t)
      if (!(ids[t] > -1.0f && ids[t] < static_cast<float>(vocab_)))
        throw std::runtime_error("node '" + name + "': word id " + id_text(ids[t]) + " at position " +
                                 std::to_string(t) + " is outside the vocabulary of " +
                                 std::to_string(vocab_) + " rows");

    const size_t E = size_t(E_);
    auto* y = static_cast<float*>(output.data);
    const float* type0 = type_.empty() ? nullptr : type_.data();
    parallel_for(size_t(T), 1, rows_of_values(E_), [&](size_t t0, size_t t1) {
      for (size_t t = t0; t < t1; ++t) {
        const float* word = word_.data() + size_t(static_cast<int64_t>(ids[t])) * E;
        const float* pos = pos_.data() + t * E;
        float* e = y + t * E;
        for (size_t i = 0; i < E; ++i) e[i] = type0 ? word[i] + pos[i] + type0[i] : word[i] + pos[i];
      }
    });
    normalize(backend, y, T);
    return output_shape(inputs[0].shape);
  }

 private:
  // Reads a table of E-wide rows (absent: empty) and answers its number of rows.
  uint64_t load_rows(WeightGetter& get, const char* suffix, std::vector<float>& out) {
    const std::string tensor = name + suffix;
    std::vector<int32_t> shape;
    std::vector<uint8_t> bytes;
    if (!load_tensor_bytes(get, tensor, bytes, 0, &shape) || bytes.empty()) {
      out.clear();
      return 0;
    }
    const uint64_t rows = table_rows(tensor, shape, bytes.size(), E_, "emb_size");
    out.resize(bytes.size() / sizeof(float));
    std::memcpy(out.data(), bytes.data(), bytes.size());
    return rows;
  }

  // Layer norm of each row in place. A host backend's kernel gives the same bits as the portable
  // code, only faster; it is used when it receives both affine tensors, as its slot promises.
  void normalize(const BackendDescriptor& backend, float* y, int T) const {
    const float* g = ln_weight_.empty() ? nullptr : ln_weight_.data();
    const float* b = ln_bias_.empty() ? nullptr : ln_bias_.data();
    if (backend.device == 0 && backend.kernels.layer_norm_f32 && g && b)
      backend.kernels.layer_norm_f32(y, g, b, y, T, E_, 1e-12f);
    else
      layer_norm_f32_portable(y, g, b, y, T, E_, 1e-12f);
  }

  int32_t E_;
  uint64_t vocab_ = 0, positions_ = 0;
  std::vector<float> word_, pos_, type_;    // rows of E values
  std::vector<float> ln_weight_, ln_bias_;  // E values each, or empty
};

}  // namespace

std::unique_ptr<ILayer> make_embedding_layer(OpType op, const JsonValue& node) {
  switch (op) {
    case OpType::EmbeddingFp32: return std::make_unique<EmbeddingFp32>(node);
    case OpType::BertEmbeddingsFp32: return std::make_unique<BertEmbeddingsFp32>(node);
    default: return nullptr;
  }
}

}  // namespace trevalon
