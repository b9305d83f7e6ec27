// CausalAttnCoreFp32: the attention core of a decoder between its projections. It rotates the new
// queries and keys, appends keys and values to a cache that persists across forward passes, and
// lets each new position attend to every cached position up to its own. The model owns the
// position count and hands it over as the context's position offset.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernels/causal_attention.h"
#include "kernels/thread_work.h"
#include "layers/layer_checks.h"
#include "layers/layer_factory.h"
#include "layers/small_layer_checks.h"

namespace trevalon {
namespace {

uint64_t positions_of(const TensorShape& s) {
  return uint64_t(s.h > 0 ? s.h : 0) * uint64_t(s.w > 0 ? s.w : 0);
}

class CausalAttnCoreFp32 final : public ILayer {
 public:
  explicit CausalAttnCoreFp32(const JsonValue& node)
      : nq_(node.get_int("num_q_heads", 0)),
        nkv_(node.get_int("num_kv_heads", 0)),
        hd_(node.get_int("head_dim", 0)),
        theta_(node.get_float("rope_theta", 10000.0f)) {}

  // No weights: the model's construction calls this once, which is where head counts no input
  // could make valid are refused (the architecture reader alone accepts them, as it does any
  // layer's parameters).
  void load_weights(WeightGetter&) override { check_heads(); }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext* ctx) override {
    const KernelTable& k = require_backend().kernels;
    check_heads();  // a layer used without loading
    require_inputs(*this, n, 3);
    const TensorShape qs = inputs[0].shape;
    const uint64_t T = positions_of(qs);
    const uint64_t qw = uint64_t(nq_) * uint64_t(hd_), kw = uint64_t(nkv_) * uint64_t(hd_);
    check_width(qs, qw, "queries");
    check_width(inputs[1].shape, kw, "keys");
    check_width(inputs[2].shape, kw, "values");
    for (int i = 1; i < 3; ++i)
      if (positions_of(inputs[i].shape) != T)
        throw std::runtime_error("node '" + name + "': " + (i == 1 ? "keys" : "values") + " have " +
                                 std::to_string(positions_of(inputs[i].shape)) + " positions, queries " +
                                 std::to_string(T));
    require_buffer(*this, inputs[0].view, T * qw * sizeof(float));
    require_buffer(*this, inputs[1].view, T * kw * sizeof(float));
    require_buffer(*this, inputs[2].view, T * kw * sizeof(float));
    require_buffer(*this, output, T * qw * sizeof(float));
    if (T == 0) return qs;

    const int64_t P = ctx ? ctx->position_offset : 0;
    if (!cache_.data) throw std::runtime_error("node '" + name + "': no key/value cache is allocated");
    if (P < 0 || P + int64_t(T) > capacity_)
      throw std::runtime_error("node '" + name + "': key/value cache of " + std::to_string(capacity_) +
                               " positions cannot take " + std::to_string(T) + " more after " +
                               std::to_string(P));
    const int t = kernel_size(*this, T);
    kernel_size(*this, T * qw);
    // A decode step (T = 1) sizes it for the last position, so later steps never grow it; a longer
    // pass (a prompt) takes what it needs now rather than T score rows of the whole capacity.
    const uint64_t floats = causal_attn_scratch_floats(t, t == 1 ? capacity_ - 1 : int(P), nq_, nkv_, hd_);
    if (scratch_.size() < floats) scratch_.resize(floats);
    require_kernel(k.causal_attn_core_f32, "causal_attn_core_f32")(
        static_cast<const float*>(inputs[0].view.data), static_cast<const float*>(inputs[1].view.data),
        static_cast<const float*>(inputs[2].view.data), static_cast<float*>(cache_.data), int(P), capacity_,
        static_cast<float*>(output.data), t, theta_, nq_, nkv_, hd_, int(P), ctx ? ctx->flag : 0,
        scratch_.data(), stream_of(ctx));
    return qs;
  }

  bool output_is_int8() const override { return false; }
  TensorShape output_shape(TensorShape in) const override { return in; }
  TensorShape output_shape_multi(const TensorShape* shapes, int n) const override {
    return n < 1 ? TensorShape{} : shapes[0];
  }
  // The scratch, and the key blocks the threads turned in their own buffers when they shared them.
  void release_scratch() override {
    std::vector<float>().swap(scratch_);
    release_thread_work();
  }
  bool uses_kv_cache() const override { return true; }

  void allocate_kv_cache(int max_positions, Allocator* allocator) override {
    if (max_positions < 0)
      throw std::runtime_error("node '" + name + "': key/value cache capacity must not be negative, got " +
                               std::to_string(max_positions));
    if (!allocator) throw std::runtime_error("node '" + name + "': no allocator for the key/value cache");
    cache_ = Buffer{};  // the old cache goes before the new one is taken
    capacity_ = 0;
    const uint64_t floats = causal_attn_cache_floats(max_positions, nkv_, hd_);
    cache_ = allocator->make_buffer(floats ? floats * sizeof(float) : 4);
    capacity_ = max_positions;
  }

 private:
  void check_heads() const {
    if (nq_ <= 0 || nkv_ <= 0 || hd_ <= 0)
      throw std::runtime_error(
          "node '" + name + "': num_q_heads, num_kv_heads and head_dim must be positive, got " +
          std::to_string(nq_) + ", " + std::to_string(nkv_) + " and " + std::to_string(hd_));
    if (nq_ % nkv_ != 0)
      throw std::runtime_error("node '" + name + "': num_q_heads " + std::to_string(nq_) +
                               " is not a multiple of num_kv_heads " + std::to_string(nkv_));
    if (int64_t(nq_) * hd_ > INT32_MAX)
      throw std::runtime_error("node '" + name +
                               "': num_q_heads x head_dim exceeds the kernels' 32-bit sizes");
  }

  void check_width(const TensorShape& s, uint64_t width, const char* what) const {
    if (uint64_t(s.c > 0 ? s.c : 0) != width || s.c <= 0)
      throw std::runtime_error("node '" + name + "': " + what + " have " + std::to_string(s.c) +
                               " channels, expected " + std::to_string(width) + " (heads x head_dim)");
  }

  int32_t nq_, nkv_, hd_;
  float theta_;
  Buffer cache_;          // keys then values, capacity_ rows of nkv_ x hd_ each
  int32_t capacity_ = 0;  // positions the cache holds
  std::vector<float> scratch_;
};

}  // namespace

std::unique_ptr<ILayer> make_causal_attention_layer(OpType op, const JsonValue& node) {
  if (op == OpType::CausalAttnCoreFp32) return std::make_unique<CausalAttnCoreFp32>(node);
  return nullptr;
}

}  // namespace trevalon
