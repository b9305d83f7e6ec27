// Sequence projections: SeqGemmFp32 and SeqGemmInt8 apply one C_out x C_in weight to every
// position of a T x C_in sequence (T = h x w), with an optional GELU. A single position (a decode
// step) goes through an int8 matrix-vector product on a row-major int8 copy of the weight, kept
// when the node asks for it.
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "arch/arch_loader.h"
#include "backend/cpu_backend.h"
#include "kernels/gemm_f32.h"
#include "kernels/gemm_i8.h"
#include "kernels/kernel_drivers.h"
#include "kernels/seq_gemm.h"
#include "kernels/thread_work.h"
#include "layers/layer_checks.h"
#include "layers/layer_factory.h"
#include "layers/quantised_storage.h"
#include "layers/small_layer_checks.h"
#include "weights/weight_binding.h"

namespace trevalon {
namespace {

// Memory advised for huge pages, 2 MB aligned, freed when the last block carved from it goes.
struct HugePageChunk {
  void* base = nullptr;
  size_t bytes = 0, used = 0;
  ~HugePageChunk() { std::free(base); }
};

// Int8 weight blocks read whole by every decode step live on huge pages, so streaming them costs no
// TLB miss per 4 KB and the hardware prefetcher is not stopped at every small page. Small blocks
// (a decoder has hundreds of them) share chunks; a block of a chunk's size or more has its own.
class HugePageArena {
 public:
  static constexpr size_t kHuge = size_t(2) << 20;
  static constexpr size_t kChunk = size_t(16) << 20;

  // A chunk holding `bytes` at its offset `*offset` (64-byte aligned).
  static std::shared_ptr<HugePageChunk> take(size_t bytes, size_t* offset) {
    const size_t need = (bytes + 63) / 64 * 64;
    if (need >= kChunk / 4) {
      *offset = 0;
      return make_chunk(need);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<HugePageChunk> chunk = current_.lock();
    if (!chunk || chunk->bytes - chunk->used < need) {
      chunk = make_chunk(kChunk);
      current_ = chunk;
    }
    *offset = chunk->used;
    chunk->used += need;
    return chunk;
  }

 private:
  static std::shared_ptr<HugePageChunk> make_chunk(size_t bytes) {
    auto chunk = std::make_shared<HugePageChunk>();
    chunk->bytes = (bytes + kHuge - 1) / kHuge * kHuge;
    if (posix_memalign(&chunk->base, kHuge, chunk->bytes) != 0) throw std::bad_alloc();
    // Before the first touch: pages faulted in afterwards are huge. Advice only; a refusal changes
    // nothing.
    madvise(chunk->base, chunk->bytes, MADV_HUGEPAGE);
    return chunk;
  }

  static inline std::mutex mutex_;
  static inline std::weak_ptr<HugePageChunk> current_;  // the chunk small blocks are carved from
};

class HugePageBlock {
 public:
  void assign(const int8_t* src, size_t bytes) {
    size_t offset = 0;
    chunk_ = HugePageArena::take(bytes ? bytes : 1, &offset);
    data_ = static_cast<int8_t*>(chunk_->base) + offset;
    bytes_ = bytes;
    if (bytes) std::memcpy(data_, src, bytes);
  }
  void reset() {
    chunk_.reset();
    data_ = nullptr;
    bytes_ = 0;
  }
  int8_t* data() const { return data_; }
  size_t bytes() const { return bytes_; }
  bool empty() const { return !data_; }

 private:
  std::shared_ptr<HugePageChunk> chunk_;
  int8_t* data_ = nullptr;
  size_t bytes_ = 0;
};

std::string node_name(const JsonValue& node) {
  return node.type == JsonType::Object && node.contains("name") ? node.at("name").text : std::string();
}

// Sizes that cannot describe the weight once it is present.
void require_projection_sizes(const ILayer& layer, int32_t C_in, int32_t C_out) {
  if (C_in <= 0 || C_out <= 0)
    throw std::runtime_error("node '" + layer.name + "': C_in and C_out must be positive, got C_in " +
                             std::to_string(C_in) + " and C_out " + std::to_string(C_out));
}

uint64_t weight_count(int32_t C_in, int32_t C_out) {
  return uint64_t(C_in > 0 ? C_in : 0) * uint64_t(C_out > 0 ? C_out : 0);
}

// A host-to-device copy of `bytes` at `src` (4 bytes for an empty block).
Buffer device_copy(Allocator* allocator, const void* src, uint64_t bytes) {
  Buffer b = allocator->make_buffer(bytes ? bytes : 4);
  if (bytes) allocator->copy_to_device(b.data, src, bytes);
  return b;
}

// Bytes of a shared packed weight: a later sharer's view does not carry them, its owner does.
uint64_t shared_bytes(const SharedWeightView& v) { return v.owner ? v.owner->buffer.bytes : v.buffer.bytes; }

template <class T>
const T* device_or(const Buffer& device, const T* host) {
  return device.data ? static_cast<const T*>(device.data) : host;
}

// What both classes check before a pass: one input of C_in channels, buffers that hold it all.
struct Rows {
  int T;
  const float* x;
  float* y;
};

Rows check_pass(const ILayer& layer, const TensorRef* inputs, int n, BufferView output, int32_t C_in,
                int32_t C_out) {
  require_inputs(layer, n, 1);
  const TensorShape s = inputs[0].shape;
  if (s.c != C_in)
    throw std::runtime_error("node '" + layer.name + "': input has " + std::to_string(s.c) +
                             " channels, expected C_in " + std::to_string(C_in));
  const uint64_t T = uint64_t(s.h > 0 ? s.h : 0) * uint64_t(s.w > 0 ? s.w : 0);
  const int rows = kernel_size(layer, T);
  kernel_size(layer, T * uint64_t(C_in));
  kernel_size(layer, T * uint64_t(C_out));
  require_buffer(layer, inputs[0].view, T * uint64_t(C_in) * sizeof(float));
  require_buffer(layer, output, T * uint64_t(C_out) * sizeof(float));
  return Rows{rows, static_cast<const float*>(inputs[0].view.data), static_cast<float*>(output.data)};
}

void apply_gelu(const KernelTable& k, float* y, uint64_t count) {
  if (count == 0) return;
  gelu_in_chunks(require_kernel(k.gelu_f32, "gelu_f32"), y, count);
}

class SeqGemmFp32 final : public ILayer {
 public:
  explicit SeqGemmFp32(const JsonValue& node)
      : C_in_(node.get_int("C_in", 0)),
        C_out_(node.get_int("C_out", 0)),
        gelu_(node.get_bool("gelu")),
        dynamic_quantize_(node.get_bool("dynamic_quantize")),
        decode_int8_(keeps_int8_decode_copy(node_name(node))) {}

  void load_weights(WeightGetter& get) override {
    const bool present = load_float_weight(
        get, name + ".weight", weights_,
        [&] {
          require_projection_sizes(*this, C_in_, C_out_);
          return weight_count(C_in_, C_out_);
        },
        uint64_t(C_out_ > 0 ? C_out_ : 0));
    if (!present) return;
    load_tensor_exact(get, name + ".bias", bias_, uint64_t(C_out_), nullptr, EmptyTensor::MeansAbsent);

    const BackendDescriptor& backend = require_backend();
    panels_ = pack_shared(
        backend, "SeqGemmFp32:" + name + ".weight:" + std::to_string(C_out_) + "x" + std::to_string(C_in_));
    build_decode_copy();
    const bool host = backend.device == static_cast<int32_t>(DeviceKind::Host);
    if (host && !decode_int8_) {
      decode_.reset();
      std::vector<float>().swap(decode_scales_);
    }
    if (const KernelDrivers* drivers = kernel_drivers_for(backend)) prepare_for(backend, *drivers);
    if (host) std::vector<float>().swap(weights_);
  }

  void upload_weights(Allocator* allocator) override {
    if (!allocator || !allocator->is_device()) return;
    if (panels_.buffer.data)
      device_panels_ = device_copy(allocator, panels_.buffer.data, shared_bytes(panels_));
    if (!decode_.empty()) {
      device_decode_ = device_copy(allocator, decode_.data(), decode_.bytes());
      device_decode_scales_ =
          device_copy(allocator, decode_scales_.data(), decode_scales_.size() * sizeof(float));
    }
  }

  void release_scratch() override { release_thread_work(); }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext* ctx) override {
    const BackendDescriptor& backend = require_backend();
    if (!panels_.buffer.data && !prepared_.get() && weights_.empty()) throw_missing_weight(name + ".weight");
    const Rows r = check_pass(*this, inputs, n, output, C_in_, C_out_);
    const TensorShape out_shape = output_shape(inputs[0].shape);
    if (r.T == 0) return out_shape;
    const KernelTable& k = backend.kernels;
    const float* bias = bias_.empty() ? nullptr : bias_.data();
    void* stream = stream_of(ctx);

    if (r.T == 1 && !decode_.empty() && k.gemv_i8_dynamic) {
      k.gemv_i8_dynamic(r.x, device_or<int8_t>(device_decode_, decode_.data()),
                        device_or<float>(device_decode_scales_, decode_scales_.data()), bias, r.y, C_in_,
                        C_out_, stream);
      if (gelu_) apply_gelu(k, r.y, uint64_t(C_out_));
      return out_shape;
    }

    const float* x = r.x;
    if (dynamic_quantize_) {  // the input itself is never changed
      const size_t count = size_t(r.T) * size_t(C_in_);
      float* copy = thread_work<float>(WorkBuffer::FakeQuantized, count);
      std::memcpy(copy, r.x, count * sizeof(float));
      fake_quantize_f32(copy, count);
      x = copy;
    }
    const KernelDrivers* drivers = kernel_drivers_for(backend);
    if (drivers && drivers->gemm_f32_rows) {
      prepare_for(backend, *drivers);  // only after the tier changed since load
      drivers->gemm_f32_rows(x, bias, r.y, r.T, C_in_, C_out_, gelu_,
                             panels_.buffer.data ? panel_data() : nullptr, prepared_.get());
    } else {
      require_kernel(k.gemm_f32_rows, "gemm_f32_rows")(
          x, weights_.empty() ? nullptr : weights_.data(), bias, r.y, r.T, C_in_, C_out_, gelu_,
          device_or<float>(device_panels_, panel_data()), stream);
    }
    return out_shape;
  }

  bool output_is_int8() const override { return false; }
  TensorShape output_shape(TensorShape in) const override { return TensorShape{C_out_, in.h, in.w}; }

 private:
  const float* panel_data() const { return static_cast<const float*>(panels_.buffer.data); }

  SharedWeightView pack_shared(const BackendDescriptor& backend, const std::string& key) const {
    const auto pack = require_kernel(backend.kernels.pack_weights_f32, "pack_weights_f32");
    const auto release = require_kernel(backend.kernels.free_packed_f32, "free_packed_f32");
    Buffer packed(pack(weights_.data(), C_out_, C_in_), 0,
                  packed_weights_f32_floats(C_out_, C_in_) * sizeof(float),
                  [release](void* p) { release(static_cast<float*>(p)); });
    return share_host_packed_weight(key, std::move(packed));
  }

  // Row i: scale amax/127 and q = round(w x 127 / amax), or scale 1e-8 and zeros for a row
  // without magnitude.
  void build_decode_copy() {
    std::vector<int8_t> q(weights_.size());
    decode_scales_.assign(size_t(C_out_), 1e-8f);
    for (int i = 0; i < C_out_; ++i) {
      const float* w = weights_.data() + size_t(i) * size_t(C_in_);
      int8_t* qi = q.data() + size_t(i) * size_t(C_in_);
      const float amax = row_abs_max(w, C_in_);
      if (!(amax > 1e-8f)) continue;
      decode_scales_[i] = amax * 0.007874016f;
      for (int j = 0; j < C_in_; ++j) qi[j] = quantize_clamped(w[j] * 127.0f / amax);
    }
    decode_.assign(q.data(), q.size());
  }

  // The weight as `drivers`' tier reads it; a no-op once done for that tier. A tier whose form
  // replaces the panels gets that form alone; another tier gets the panels back from it.
  void prepare_for(const BackendDescriptor& backend, const KernelDrivers& drivers) {
    if (prepared_.format == drivers.format) return;
    if (!panels_.buffer.data && prepared_.get()) {
      weights_.resize(weight_count(C_in_, C_out_));
      prepared_.unpack_rows(C_out_, C_in_, weights_.data());
      panels_ = SharedWeightView{};
      panels_.buffer = pack_shared_local(backend);
      if (backend.device == static_cast<int32_t>(DeviceKind::Host)) std::vector<float>().swap(weights_);
    }
    prepared_ = PreparedWeightsF32{};
    prepared_.format = drivers.format;
    if (!panels_.buffer.data || !drivers.prepare_f32) return;
    drivers.prepare_f32(panel_data(), C_out_, C_in_, drivers.format, prepared_);
    if (prepared_.get()) panels_ = SharedWeightView{};
  }

  // Panels of this layer's own (rebuilt after a tier change; no longer shared).
  Buffer pack_shared_local(const BackendDescriptor& backend) const {
    const auto release = require_kernel(backend.kernels.free_packed_f32, "free_packed_f32");
    return Buffer(
        require_kernel(backend.kernels.pack_weights_f32, "pack_weights_f32")(weights_.data(), C_out_, C_in_),
        0, packed_weights_f32_floats(C_out_, C_in_) * sizeof(float),
        [release](void* p) { release(static_cast<float*>(p)); });
  }

  int32_t C_in_, C_out_;
  bool gelu_, dynamic_quantize_, decode_int8_;
  std::vector<float> weights_;        // row-major C_out x C_in; released after packing on the host
  std::vector<float> bias_;           // empty: no bias
  SharedWeightView panels_;           // 4-row panels (empty once a prepared form replaced them)
  PreparedWeightsF32 prepared_;       // the tier's form of the panels
  HugePageBlock decode_;              // int8 C_out x C_in decode copy, when kept
  std::vector<float> decode_scales_;  // its row scales
  Buffer device_panels_, device_decode_, device_decode_scales_;
};

class SeqGemmInt8 final : public ILayer {
 public:
  explicit SeqGemmInt8(const JsonValue& node)
      : C_in_(node.get_int("C_in", 0)),
        C_out_(node.get_int("C_out", 0)),
        gelu_(node.get_bool("gelu")),
        decode_int8_(keeps_int8_decode_copy(node_name(node))) {}

  void load_weights(WeightGetter& get) override {
    std::vector<int8_t> w;
    const bool have_weight = load_tensor_exact(get, name + ".weight_i8", w, [&] {
      require_projection_sizes(*this, C_in_, C_out_);
      return weight_count(C_in_, C_out_);
    });
    const bool have_scales = load_tensor_exact(get, name + ".w_scales", scales_, [&] {
      require_projection_sizes(*this, C_in_, C_out_);
      return uint64_t(C_out_);
    });
    load_tensor_exact(get, name + ".bias", bias_, uint64_t(C_out_ > 0 ? C_out_ : 0), nullptr,
                      EmptyTensor::MeansAbsent);
    if (!have_weight || !have_scales) return;

    // Summed in 64 bits, low 32 kept, as the int8 products wrap.
    row_sums_.assign(size_t(C_out_), 0);
    for (int o = 0; o < C_out_; ++o) {
      int64_t sum = 0;
      for (int c = 0; c < C_in_; ++c) sum += w[size_t(o) * C_in_ + c];
      row_sums_[o] = int32_t(uint32_t(uint64_t(sum)));
    }
    const BackendDescriptor& backend = require_backend();
    const auto pack = require_kernel(backend.kernels.pack_weights_i8, "pack_weights_i8");
    const auto release = require_kernel(backend.kernels.free_packed_i8, "free_packed_i8");
    Buffer packed(pack(w.data(), C_out_, C_in_), 0, packed_weights_i8_bytes(C_out_, C_in_),
                  [release](void* p) { release(static_cast<int8_t*>(p)); });
    packed_ = share_host_packed_weight(
        "SeqGemmInt8:" + name + ".weight_i8:" + std::to_string(C_out_) + "x" + std::to_string(C_in_),
        std::move(packed));
    zero_bias_.assign(size_t(C_out_), 0);
    if (const KernelDrivers* drivers = kernel_drivers_for(backend)) prepare_for(*drivers);
    if (backend.device != static_cast<int32_t>(DeviceKind::Host) || decode_int8_)
      kept_.assign(w.data(), w.size());
  }

  void upload_weights(Allocator* allocator) override {
    if (!allocator || !allocator->is_device()) return;
    if (packed_.buffer.data)
      device_packed_ = device_copy(allocator, packed_.buffer.data, shared_bytes(packed_));
    device_scales_ = device_copy(allocator, scales_.data(), scales_.size() * sizeof(float));
    if (!kept_.empty()) device_kept_ = device_copy(allocator, kept_.data(), kept_.bytes());
  }

  void scratch_sizes(TensorShape in, uint64_t sizes[kScratchBuffers]) const override {
    const uint64_t T = uint64_t(in.h > 0 ? in.h : 0) * uint64_t(in.w > 0 ? in.w : 0);
    if (T == 0) return;
    const uint64_t q = T * uint64_t(C_in_ > 0 ? C_in_ : 0), f = 4 * uint64_t(C_out_ > 0 ? C_out_ : 0);
    if (sizes[4] < q) sizes[4] = q;
    if (sizes[5] < f) sizes[5] = f;
  }

  void release_scratch() override { release_thread_work(); }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext* ctx) override {
    const BackendDescriptor& backend = require_backend();
    if (!packed_.buffer.data) throw_missing_weight(name + (scales_.empty() ? ".w_scales" : ".weight_i8"));
    const Rows r = check_pass(*this, inputs, n, output, C_in_, C_out_);
    const TensorShape out_shape = output_shape(inputs[0].shape);
    if (r.T == 0) return out_shape;
    const KernelTable& k = backend.kernels;
    const float* bias = bias_.empty() ? nullptr : bias_.data();
    const float* scales = device_or<float>(device_scales_, scales_.data());
    void* stream = stream_of(ctx);

    if (r.T == 1 && !kept_.empty() && k.gemv_i8_dynamic) {
      k.gemv_i8_dynamic(r.x, device_or<int8_t>(device_kept_, kept_.data()), scales, bias, r.y, C_in_, C_out_,
                        stream);
      if (gelu_) apply_gelu(k, r.y, uint64_t(C_out_));
      return out_shape;
    }

    const uint64_t q_bytes = uint64_t(r.T) * uint64_t(C_in_), f_bytes = 4 * uint64_t(C_out_);
    if (!ctx || ctx->scratch[4].bytes < q_bytes || ctx->scratch[5].bytes < f_bytes || !ctx->scratch[4].data ||
        !ctx->scratch[5].data)
      throw std::runtime_error("node '" + name + "': scratch buffers 4 and 5 must hold " +
                               std::to_string(q_bytes) + " and " + std::to_string(f_bytes) + " bytes");
    auto* q = static_cast<int8_t*>(ctx->scratch[4].data);
    auto* f = static_cast<float*>(ctx->scratch[5].data);
    const auto* packed = device_or<int8_t>(device_packed_, packed_data());
    const KernelDrivers* drivers = kernel_drivers_for(backend);
    if (backend.device != static_cast<int32_t>(DeviceKind::Host) || !drivers) {
      require_kernel(k.seq_gemm_i8, "seq_gemm_i8")(r.x, packed, scales, zero_bias_.data(), bias, q, f, r.y,
                                                   r.T, C_in_, C_out_, gelu_, stream);
      return out_shape;
    }
    prepare_for(*drivers);  // only after the tier changed since load
    // GELU goes with the product: the tier's fused product applies it in its registers.
    gemm_i8_dynamic_rows(r.x, packed, scales, zero_bias_.data(), bias, q, f, r.y, r.T, C_in_, C_out_,
                         *drivers, &prepared_, gelu_ ? require_kernel(k.gelu_f32, "gelu_f32") : nullptr);
    return out_shape;
  }

  bool output_is_int8() const override { return false; }
  TensorShape output_shape(TensorShape in) const override { return TensorShape{C_out_, in.h, in.w}; }

 private:
  const int8_t* packed_data() const { return static_cast<const int8_t*>(packed_.buffer.data); }

  // The packed weight as `drivers`' tier reads it (float output: no requantisation tables).
  void prepare_for(const KernelDrivers& drivers) {
    if (prepared_.format == drivers.format) return;
    if (drivers.prepare_i8 && packed_.buffer.data) {
      drivers.prepare_i8(packed_data(), C_out_, C_in_, nullptr, nullptr, nullptr, 0, false, drivers.format,
                         prepared_);
    } else {
      prepared_ = PreparedWeightsI8{};
      prepared_.format = drivers.format;
    }
  }

  int32_t C_in_, C_out_;
  bool gelu_, decode_int8_;
  std::vector<float> scales_;       // one per weight row
  std::vector<float> bias_;         // empty: no bias
  std::vector<int32_t> row_sums_;   // for device backends' products
  std::vector<int64_t> zero_bias_;  // the all-zero integer bias of the float-output product
  SharedWeightView packed_;         // C_out x C_in in 8x4 blocks
  PreparedWeightsI8 prepared_;      // packed_ as the tier's kernels read it
  HugePageBlock kept_;              // the row-major int8 weight, kept for decode steps
  Buffer device_packed_, device_scales_, device_kept_;
};

}  // namespace

std::unique_ptr<ILayer> make_sequence_projection_layer(OpType op, const JsonValue& node) {
  if (op == OpType::SeqGemmFp32) return std::make_unique<SeqGemmFp32>(node);
  if (op == OpType::SeqGemmInt8) return std::make_unique<SeqGemmInt8>(node);
  return nullptr;
}

}  // namespace trevalon
