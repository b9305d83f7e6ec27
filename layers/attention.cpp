// Multi-head self-attention blocks of vision and text encoders: AttentionFp32 and AttentionInt8 map
// a T x E sequence to T x E through the query/key/value projection, unmasked softmax attention per
// head and the output projection. E is "embed_dim" when given, else the input's C.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/cpu_backend.h"
#include "kernels/seq_gemm.h"
#include "kernels/kernel_drivers.h"
#include "kernels/thread_work.h"
#include "layers/layer_checks.h"
#include "layers/layer_factory.h"
#include "weights/weight_binding.h"

namespace trevalon {
namespace {

// A packed weight as the layer holds it: shared with layers packing the same tensor the same way.
template <class T>
struct SharedPacked {
  SharedWeightView view;
  const T* get() const { return static_cast<const T*>(view.buffer.data); }
  void reset() { view = SharedWeightView{}; }
};

template <class T>
SharedPacked<T> share_packed(const std::string& key, T* packed, void (*release)(T*), uint64_t bytes) {
  Buffer owned(packed, 0, bytes, [release](void* p) { release(static_cast<T*>(p)); });
  SharedPacked<T> out;
  out.view = share_host_packed_weight(key, std::move(owned));
  return out;
}

uint64_t f32_panel_bytes(int rows, int cols) { return uint64_t((rows + 3) / 4) * 4 * uint64_t(cols) * 4; }
uint64_t i8_block_bytes(int rows, int cols) {
  return uint64_t((rows + 7) / 8) * 8 * uint64_t((cols + 3) / 4) * 4;
}

// Copies a host buffer into the device allocator's memory (4 bytes for an empty one).
void upload(Buffer& buffer, Allocator* allocator) {
  if (!buffer.data) return;
  const uint64_t bytes = buffer.bytes > 0 ? buffer.bytes : 4;
  Buffer device = allocator->make_buffer(bytes);
  allocator->copy_to_device(device.data, buffer.data, buffer.bytes);
  buffer = std::move(device);
}

// What both attention layers share: parameters, the width their weights fix, and the checks of an
// input against them.
class AttentionBase : public ILayer {
 public:
  explicit AttentionBase(const JsonValue& node)
      : num_heads_(node.get_int("num_heads", 0)), embed_dim_(node.get_int("embed_dim", 0)) {}

  bool output_is_int8() const override { return false; }
  TensorShape output_shape(TensorShape input) const override { return input; }
  void release_scratch() override { release_thread_work(); }

 protected:
  void require_heads_divide(int32_t E) const {
    if (num_heads_ <= 0 || E % num_heads_ != 0)
      throw std::runtime_error("node '" + name + "': num_heads " + std::to_string(num_heads_) +
                               " does not divide embed_dim " + std::to_string(E));
  }

  // Before any tensor is read: with "embed_dim" the heads are checked at once.
  void check_parameters_at_load() const {
    if (embed_dim_ > 0) require_heads_divide(embed_dim_);
  }

  // Reads the 3E x E projection. Without "embed_dim" E is taken from the tensor itself (the square
  // root of a third of its elements), and inputs must then have that width.
  template <class T>
  bool load_qkv(WeightGetter& get, const std::string& tensor, std::vector<T>& out) {
    std::vector<uint8_t> bytes;
    if (!load_tensor_bytes(get, tensor, bytes, 0)) {
      out.clear();
      return false;
    }
    if (embed_dim_ > 0) {
      weight_width_ = embed_dim_;
    } else {
      const uint64_t count = bytes.size() / sizeof(T);
      const uint64_t e = uint64_t(std::llround(std::sqrt(double(count / 3))));
      if (bytes.size() % sizeof(T) != 0 || e == 0 || e > uint64_t(INT32_MAX / 3) || 3 * e * e != count)
        throw std::runtime_error("node '" + name + "': weight " + tensor + " holds " +
                                 std::to_string(bytes.size()) + " bytes, not 3E x E values for any width E");
      weight_width_ = int32_t(e);
    }
    const uint64_t count = 3 * uint64_t(weight_width_) * uint64_t(weight_width_);
    require_tensor_elements(tensor, bytes.size(), sizeof(T), count);
    out.resize(count);
    std::memcpy(out.data(), bytes.data(), bytes.size());
    return true;
  }

  // E for this input, checked against the parameters and the weights. Answers T through `T`.
  int32_t width_for(const TensorShape& in, int32_t& T) const {
    const int32_t C = in.c > 0 ? in.c : 0;
    if (embed_dim_ > 0 && C != embed_dim_)
      throw std::runtime_error("node '" + name + "': input has " + std::to_string(C) +
                               " channels, expected embed_dim " + std::to_string(embed_dim_));
    const int32_t E = embed_dim_ > 0 ? embed_dim_ : C;
    require_heads_divide(E);
    if (E != weight_width_)
      throw std::runtime_error("node '" + name + "': input has " + std::to_string(C) +
                               " channels, its weights are for width " + std::to_string(weight_width_));
    const uint64_t t = positions(in);
    if (t * uint64_t(E) * 12 > uint64_t(INT32_MAX))
      throw std::runtime_error("node '" + name + "': " + std::to_string(t) + " positions of width " +
                               std::to_string(E) + " exceed the kernels' 32-bit sizes");
    T = int32_t(t);
    return E;
  }

  int32_t width_of(const TensorShape& in) const {
    return embed_dim_ > 0 ? embed_dim_ : (in.c > 0 ? in.c : 0);
  }
  // Scratch 3 (the float work area) for both layers; the int8 layer also asks for 4 (quantised
  // rows) and 5 (the small float work area).
  void raise_scratch(TensorShape input, uint64_t sizes[kScratchBuffers], bool int8) const {
    const uint64_t T = positions(input);
    if (T == 0) return;
    const uint64_t E = uint64_t(width_of(input));
    const uint64_t need[3] = {12 * T * E, int8 ? T * E : 0, int8 ? 12 * E : 0};
    for (int i = 0; i < 3; ++i)
      if (sizes[3 + i] < need[i]) sizes[3 + i] = need[i];
  }
  template <class Packed>
  static void upload_both(Packed& qkv, Packed& proj, Allocator* allocator) {
    if (!allocator || !allocator->is_device()) return;
    upload(qkv.panels.view.buffer, allocator);
    upload(proj.panels.view.buffer, allocator);
  }
  static uint64_t positions(const TensorShape& in) {
    return uint64_t(in.h > 0 ? in.h : 0) * uint64_t(in.w > 0 ? in.w : 0);
  }

  void check_buffers(const TensorRef& in, BufferView out, const ExecContext* ctx, const uint64_t* scratch,
                     int T, int E) const {
    const uint64_t values = uint64_t(T) * uint64_t(E);
    if (in.view.bytes < values * sizeof(float) || out.bytes < values * sizeof(float))
      throw std::runtime_error("node '" + name + "': buffer smaller than its tensor");
    for (int i = 0; i < kScratchBuffers; ++i)
      if (scratch[i] > 0 && (!ctx || !ctx->scratch[i].data || ctx->scratch[i].bytes < scratch[i]))
        throw std::runtime_error("node '" + name + "': scratch buffer " + std::to_string(i) +
                                 " holds fewer than " + std::to_string(scratch[i]) + " bytes");
  }

  std::string key(const char* cls, const char* suffix, int rows, int cols) const {
    return std::string(cls) + ":" + name + suffix + ":" + std::to_string(rows) + "x" + std::to_string(cols);
  }

  int32_t num_heads_, embed_dim_;
  int32_t weight_width_ = 0;  // E of the loaded weights
};

class AttentionFp32 final : public AttentionBase {
 public:
  explicit AttentionFp32(const JsonValue& node)
      : AttentionBase(node), dynamic_quantize_(node.get_bool("dynamic_quantize")) {}

  void load_weights(WeightGetter& get) override {
    check_parameters_at_load();
    if (!load_qkv(get, name + ".w_qkv", w_qkv_)) return;
    const int E = weight_width_;
    load_tensor_exact(get, name + ".b_qkv", b_qkv_, 3 * uint64_t(E), nullptr, EmptyTensor::MeansAbsent);
    const bool have_proj = load_tensor_exact(get, name + ".w_proj", w_proj_, uint64_t(E) * uint64_t(E));
    load_tensor_exact(get, name + ".b_proj", b_proj_, uint64_t(E), nullptr, EmptyTensor::MeansAbsent);

    const BackendDescriptor& backend = require_backend();
    const auto& k = backend.kernels;
    if (!k.pack_weights_f32 || !k.free_packed_f32)
      throw std::runtime_error("backend " + std::string(backend.name) + " cannot pack float weights");
    qkv_.panels =
        share_packed(key("AttentionFp32", ".w_qkv", 3 * E, E), k.pack_weights_f32(w_qkv_.data(), 3 * E, E),
                     k.free_packed_f32, f32_panel_bytes(3 * E, E));
    if (have_proj)
      proj_.panels =
          share_packed(key("AttentionFp32", ".w_proj", E, E), k.pack_weights_f32(w_proj_.data(), E, E),
                       k.free_packed_f32, f32_panel_bytes(E, E));
    if (backend.device == 0) {
      std::vector<float>().swap(w_qkv_);
      std::vector<float>().swap(w_proj_);
    }
    if (const KernelDrivers* drivers = kernel_drivers_for(backend)) prepare_for(backend, *drivers);
  }

  void upload_weights(Allocator* allocator) override { upload_both(qkv_, proj_, allocator); }

  void scratch_sizes(TensorShape input, uint64_t sizes[kScratchBuffers]) const override {
    raise_scratch(input, sizes, false);
  }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext* ctx) override {
    const BackendDescriptor& backend = require_backend();
    require_inputs(*this, n, 1);
    if (!qkv_.ready()) throw_missing_weight(name + ".w_qkv");
    if (!proj_.ready()) throw_missing_weight(name + ".w_proj");
    const TensorRef& in = inputs[0];
    int32_t T = 0;
    const int32_t E = width_for(in.shape, T);
    if (T == 0 || E == 0) return output_shape(in.shape);
    uint64_t scratch[kScratchBuffers] = {};
    scratch_sizes(in.shape, scratch);
    check_buffers(in, output, ctx, scratch, T, E);

    const auto* x = static_cast<const float*>(in.view.data);
    const size_t values = size_t(T) * size_t(E);
    if (dynamic_quantize_) {  // the input stays as it is: a copy is quantised
      float* copy = thread_work<float>(WorkBuffer::FakeQuantized, values);
      std::memcpy(copy, x, values * sizeof(float));
      fake_quantize_f32(copy, values);
      x = copy;
    }
    auto* y = static_cast<float*>(output.data);
    auto* work = static_cast<float*>(ctx->scratch[3].data);
    const float* bq = b_qkv_.empty() ? nullptr : b_qkv_.data();
    const float* bp = b_proj_.empty() ? nullptr : b_proj_.data();
    if (const KernelDrivers* drivers = kernel_drivers_for(backend)) {
      prepare_for(backend, *drivers);  // only after the tier changed since load
      drivers->attention_f32(x, qkv_.panels.get(), qkv_.prepared.get(), bq, proj_.panels.get(),
                             proj_.prepared.get(), bp, y, T, E, num_heads_, work, dynamic_quantize_);
    } else {
      if (!backend.kernels.attention_f32) throw std::runtime_error("backend has no attention_f32 kernel");
      backend.kernels.attention_f32(x, w_qkv_.empty() ? nullptr : w_qkv_.data(), bq,
                                    w_proj_.empty() ? nullptr : w_proj_.data(), bp, y, T, E, num_heads_, work,
                                    qkv_.panels.get(), proj_.panels.get(), ctx->stream, dynamic_quantize_);
    }
    return output_shape(in.shape);
  }

 private:
  // A projection: its panels (shared) and the tier's form of them. A tier whose form replaces the
  // panels keeps that form alone.
  struct Projection {
    SharedPacked<float> panels;
    PreparedWeightsF32 prepared;
    bool ready() const { return panels.get() || prepared.get(); }
  };

  void prepare_for(const BackendDescriptor& backend, const KernelDrivers& drivers) {
    if (prepared_format_ == drivers.format) return;
    const int E = weight_width_;
    for (auto [p, rows] : {std::pair{&qkv_, 3 * E}, std::pair{&proj_, E}}) {
      restore_panels(backend, *p, rows, E);
      p->prepared = PreparedWeightsF32{};
      p->prepared.format = drivers.format;
      if (!p->panels.get() || !drivers.prepare_f32) continue;
      drivers.prepare_f32(p->panels.get(), rows, E, drivers.format, p->prepared);
      if (p->prepared.get()) p->panels.reset();
    }
    prepared_format_ = drivers.format;
  }

  // The 4-row panels again from a prepared form that replaced them (for another tier).
  static void restore_panels(const BackendDescriptor& backend, Projection& p, int rows, int cols) {
    if (p.panels.get() || !p.prepared.get()) return;
    std::vector<float> w(size_t(rows) * size_t(cols));
    p.prepared.unpack_rows(rows, cols, w.data());
    const auto& k = backend.kernels;
    p.panels.view.buffer =
        Buffer(k.pack_weights_f32(w.data(), rows, cols), 0, f32_panel_bytes(rows, cols),
               [release = k.free_packed_f32](void* d) { release(static_cast<float*>(d)); });
    p.prepared = PreparedWeightsF32{};
  }

  bool dynamic_quantize_;
  std::vector<float> w_qkv_, b_qkv_, w_proj_, b_proj_;  // raw weights: device backends only
  Projection qkv_, proj_;
  int prepared_format_ = kUnpreparedFormat;
};

class AttentionInt8 final : public AttentionBase {
 public:
  explicit AttentionInt8(const JsonValue& node) : AttentionBase(node) {}

  void load_weights(WeightGetter& get) override {
    check_parameters_at_load();
    missing_ = ".w_qkv_i8";
    if (!load_qkv(get, name + ".w_qkv_i8", w_qkv_)) return;
    const int E = weight_width_;
    if (!load_tensor_exact(get, name + ".w_qkv_scales", qkv_scales_, 3 * uint64_t(E))) {
      missing_ = ".w_qkv_scales";
      w_qkv_.clear();
      return;
    }
    missing_.clear();
    load_tensor_exact(get, name + ".b_qkv", b_qkv_, 3 * uint64_t(E), nullptr, EmptyTensor::MeansAbsent);
    const bool have_proj = load_tensor_exact(get, name + ".w_proj_i8", w_proj_, uint64_t(E) * uint64_t(E));
    load_tensor_exact(get, name + ".w_proj_scales", proj_scales_, uint64_t(E));
    load_tensor_exact(get, name + ".b_proj", b_proj_, uint64_t(E), nullptr, EmptyTensor::MeansAbsent);

    qkv_row_sums_ = row_sums(w_qkv_, 3 * E, E);
    const BackendDescriptor& backend = require_backend();
    const auto& k = backend.kernels;
    if (!k.pack_weights_i8 || !k.free_packed_i8)
      throw std::runtime_error("backend " + std::string(backend.name) + " cannot pack int8 weights");
    qkv_.panels =
        share_packed(key("AttentionInt8", ".w_qkv_i8", 3 * E, E), k.pack_weights_i8(w_qkv_.data(), 3 * E, E),
                     k.free_packed_i8, i8_block_bytes(3 * E, E));
    if (have_proj) {
      proj_row_sums_ = row_sums(w_proj_, E, E);
      proj_.panels =
          share_packed(key("AttentionInt8", ".w_proj_i8", E, E), k.pack_weights_i8(w_proj_.data(), E, E),
                       k.free_packed_i8, i8_block_bytes(E, E));
    }
    zeros_.assign(size_t(3) * E, 0);
    if (backend.device == 0) {
      std::vector<int8_t>().swap(w_qkv_);
      std::vector<int8_t>().swap(w_proj_);
    }
    if (const KernelDrivers* drivers = kernel_drivers_for(backend)) prepare_for(*drivers);
  }

  void upload_weights(Allocator* allocator) override { upload_both(qkv_, proj_, allocator); }

  void scratch_sizes(TensorShape input, uint64_t sizes[kScratchBuffers]) const override {
    raise_scratch(input, sizes, true);
  }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext* ctx) override {
    const BackendDescriptor& backend = require_backend();
    require_inputs(*this, n, 1);
    if (!qkv_.panels.get()) throw_missing_weight(name + missing_);
    if (!proj_.panels.get()) throw_missing_weight(name + ".w_proj_i8");
    if (proj_scales_.empty()) throw_missing_weight(name + ".w_proj_scales");
    const TensorRef& in = inputs[0];
    int32_t T = 0;
    const int32_t E = width_for(in.shape, T);
    if (T == 0 || E == 0) return output_shape(in.shape);
    uint64_t scratch[kScratchBuffers] = {};
    scratch_sizes(in.shape, scratch);
    check_buffers(in, output, ctx, scratch, T, E);

    const auto* x = static_cast<const float*>(in.view.data);
    auto* y = static_cast<float*>(output.data);
    auto* work = static_cast<float*>(ctx->scratch[3].data);
    auto* work_i8 = static_cast<int8_t*>(ctx->scratch[4].data);
    auto* work_small = static_cast<float*>(ctx->scratch[5].data);
    const float* bq = b_qkv_.empty() ? nullptr : b_qkv_.data();
    const float* bp = b_proj_.empty() ? nullptr : b_proj_.data();
    const KernelDrivers* drivers = kernel_drivers_for(backend);
    if (backend.device == 0 && drivers && drivers->attention_i8) {
      prepare_for(*drivers);  // only after the tier changed since load
      drivers->attention_i8(*drivers, x, qkv_.panels.get(), &qkv_.prepared, qkv_scales_.data(), zeros_.data(),
                            bq, proj_.panels.get(), &proj_.prepared, proj_scales_.data(), bp, y, T, E,
                            num_heads_, work, work_i8, work_small);
    } else {
      if (!backend.kernels.attention_i8) throw std::runtime_error("backend has no attention_i8 kernel");
      backend.kernels.attention_i8(x, qkv_.panels.get(), qkv_scales_.data(), zeros_.data(), bq,
                                   proj_.panels.get(), proj_scales_.data(), zeros_.data(), bp, y, T, E,
                                   num_heads_, work, work_i8, work_small, ctx->stream);
    }
    return output_shape(in.shape);
  }

 private:
  struct Projection {
    SharedPacked<int8_t> panels;
    PreparedWeightsI8 prepared;  // what the tier's product would otherwise derive per call
  };

  // Summed in 64 bits, low 32 kept, as the other int8 layers do.
  static std::vector<int32_t> row_sums(const std::vector<int8_t>& w, int rows, int cols) {
    std::vector<int32_t> sums(size_t(rows), 0);
    for (int r = 0; r < rows; ++r) {
      int64_t sum = 0;
      for (int c = 0; c < cols; ++c) sum += w[size_t(r) * cols + c];
      sums[r] = int32_t(uint32_t(uint64_t(sum)));
    }
    return sums;
  }

  void prepare_for(const KernelDrivers& drivers) {
    const int E = weight_width_;
    for (auto [p, rows] : {std::pair{&qkv_, 3 * E}, std::pair{&proj_, E}}) {
      if (p->prepared.format == drivers.format) continue;
      if (drivers.prepare_i8 && p->panels.get()) {
        drivers.prepare_i8(p->panels.get(), rows, E, nullptr, nullptr, nullptr, 0, false, drivers.format,
                           p->prepared);
      } else {
        p->prepared = PreparedWeightsI8{};
        p->prepared.format = drivers.format;
      }
    }
  }

  std::vector<int8_t> w_qkv_, w_proj_;  // raw weights: device backends only
  std::vector<float> qkv_scales_, proj_scales_, b_qkv_, b_proj_;
  std::vector<int32_t> qkv_row_sums_, proj_row_sums_;  // for backends whose products want them
  std::vector<int64_t> zeros_;                         // the products' all-zero integer bias
  Projection qkv_, proj_;
  std::string missing_ = ".w_qkv_i8";  // the mandatory tensor loading did not find
};

}  // namespace

std::unique_ptr<ILayer> make_attention_layer(OpType op, const JsonValue& node) {
  if (op == OpType::AttentionFp32) return std::make_unique<AttentionFp32>(node);
  if (op == OpType::AttentionInt8) return std::make_unique<AttentionInt8>(node);
  return nullptr;
}

}  // namespace trevalon
