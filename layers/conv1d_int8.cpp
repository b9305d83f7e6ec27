// Conv1dInt8: a one-dimensional convolution of float activations with int8 weights
// [C_out][K][C_in/groups], one scale per output channel. Stride-1 ungrouped layers quantise each
// input row once and multiply per tap; the others quantise im2col rows (per group) on the fly.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "arch/arch_loader.h"
#include "backend/cpu_backend.h"
#include "kernels/conv1d_i8.h"
#include "kernels/gemm_i8.h"
#include "kernels/kernel_drivers.h"
#include "kernels/seq_gemm.h"
#include "kernels/thread_pool.h"
#include "kernels/thread_work.h"
#include "layers/layer_checks.h"
#include "layers/layer_factory.h"
#include "layers/small_layer_checks.h"
#include "weights/weight_binding.h"

namespace trevalon {
namespace {

// A packed int8 matrix with its row sums and the tier's prepared form.
struct PackedI8 {
  Buffer packed;
  std::vector<int32_t> row_sums;
  PreparedWeightsI8 prepared;
  int rows = 0, cols = 0;

  const int8_t* data() const { return static_cast<const int8_t*>(packed.data); }

  void build(const BackendDescriptor& backend, const std::vector<int8_t>& w) {
    rows_sum(w);
    const auto pack = require_kernel(backend.kernels.pack_weights_i8, "pack_weights_i8");
    const auto release = require_kernel(backend.kernels.free_packed_i8, "free_packed_i8");
    packed = Buffer(pack(w.data(), rows, cols), 0, packed_weights_i8_bytes(rows, cols),
                    [release](void* p) { release(static_cast<int8_t*>(p)); });
  }
  // Summed in 64 bits, low 32 kept, as the int8 products wrap.
  void rows_sum(const std::vector<int8_t>& w) {
    row_sums.assign(size_t(rows), 0);
    for (int o = 0; o < rows; ++o) {
      int64_t sum = 0;
      for (int c = 0; c < cols; ++c) sum += w[size_t(o) * cols + c];
      row_sums[o] = int32_t(uint32_t(uint64_t(sum)));
    }
  }
  // Float-output form (no requantisation) for the tier; a no-op once done for it.
  void prepare_for(const KernelDrivers& drivers) {
    if (prepared.format == drivers.format) return;
    if (drivers.prepare_i8 && packed.data) {
      drivers.prepare_i8(data(), rows, cols, nullptr, nullptr, nullptr, 0, false, drivers.format, prepared);
    } else {
      prepared = PreparedWeightsI8{};
      prepared.format = drivers.format;
    }
  }
};

// A buffer of `count` T: the context's scratch buffer `index` when it holds them, else `own`.
template <class T>
T* scratch_or_own(ExecContext* ctx, int index, size_t count, std::vector<T>& own) {
  if (ctx && ctx->scratch[index].data && ctx->scratch[index].bytes >= count * sizeof(T))
    return static_cast<T*>(ctx->scratch[index].data);
  if (own.size() < count) own.resize(count);
  return own.data();
}

class Conv1dInt8 final : public ILayer {
 public:
  explicit Conv1dInt8(const JsonValue& node)
      : C_out_(node.get_int("C_out", 0)),
        C_in_(node.get_int("C_in", 0)),
        K_(node.get_int("kernel_size", 1)),
        stride_(node.get_int("stride", 1)),
        padding_(node.get_int("padding", 0)),
        dilation_(node.get_int("dilation", 1)),
        groups_(node.get_int("groups", 1)) {
    per_tap_ = stride_ == 1 && groups_ == 1;
    Cg_ = groups_ > 0 ? C_in_ / groups_ : 0;
    Cog_ = groups_ > 0 ? C_out_ / groups_ : 0;
  }

  // Parameters no weights or input could make valid; refused at load, before any buffer is planned.
  void validate() const {
    const std::string who = "node '" + name + "': ";
    auto refuse = [&](const std::string& what) { throw std::runtime_error(who + what); };
    if (C_in_ <= 0 || C_out_ <= 0)
      refuse("C_in and C_out must be positive, got C_in " + std::to_string(C_in_) + " and C_out " +
             std::to_string(C_out_));
    if (K_ < 1) refuse("kernel_size must be at least 1, got " + std::to_string(K_));
    if (stride_ < 0 || padding_ < 0 || dilation_ < 1)
      refuse("stride and padding must not be negative and dilation must be at least 1, got stride " +
             std::to_string(stride_) + ", padding " + std::to_string(padding_) + ", dilation " +
             std::to_string(dilation_));
    if (groups_ < 1) refuse("groups must be at least 1, got " + std::to_string(groups_));
    if (C_in_ % groups_ != 0)
      refuse("groups " + std::to_string(groups_) + " does not divide C_in " + std::to_string(C_in_));
    if (C_out_ % groups_ != 0)
      refuse("groups " + std::to_string(groups_) + " does not divide C_out " + std::to_string(C_out_));
    // Every index the paths form (padded rows, tap offsets, row lengths) stays inside 32 bits.
    if (int64_t(K_) * Cg_ > INT32_MAX / 4 ||
        int64_t(dilation_) * (K_ - 1) + 2 * int64_t(padding_) > INT32_MAX / 4)
      refuse("kernel_size " + std::to_string(K_) + ", dilation " + std::to_string(dilation_) +
             " and padding " + std::to_string(padding_) + " exceed the kernels' 32-bit sizes");
  }

  void load_weights(WeightGetter& get) override {
    validate();
    std::vector<int8_t> w;
    const uint64_t row_len = uint64_t(K_) * uint64_t(Cg_);
    const bool have_weight = load_tensor_exact(get, name + ".weight_i8", w, uint64_t(C_out_) * row_len);
    const bool have_scales = load_tensor_exact(get, name + ".w_scales", scales_, uint64_t(C_out_));
    load_tensor_exact(get, name + ".bias", bias_, uint64_t(C_out_), nullptr, EmptyTensor::MeansAbsent);
    if (!have_weight || !have_scales) return;
    const BackendDescriptor& backend = require_backend();
    loaded_ = true;
    if (depthwise()) {  // read as it is stored: one K-tap row per output channel
      depthwise_w_ = std::move(w);
      depthwise_taps_.resize(depthwise_w_.size());
      for (int o = 0; o < C_out_; ++o)
        for (int k = 0; k < K_; ++k)
          depthwise_taps_[size_t(k) * C_out_ + o] = depthwise_w_[size_t(o) * K_ + k];
      return;
    }
    if (per_tap_) {
      // Tap k of output row o: bytes k C_in .. k C_in + C_in - 1 of the row.
      weights_.resize(size_t(K_));
      std::vector<int8_t> slice(size_t(C_out_) * size_t(C_in_));
      for (int k = 0; k < K_; ++k) {
        for (int o = 0; o < C_out_; ++o)
          std::memcpy(slice.data() + size_t(o) * C_in_, w.data() + size_t(o) * row_len + size_t(k) * C_in_,
                      size_t(C_in_));
        weights_[k].rows = C_out_;
        weights_[k].cols = C_in_;
        weights_[k].build(backend, slice);
      }
    } else {
      // One matrix per group: its output channels' rows of K x Cg.
      weights_.resize(size_t(groups_));
      for (int g = 0; g < groups_; ++g) {
        weights_[g].rows = Cog_;
        weights_[g].cols = int(row_len);
        weights_[g].build(backend, std::vector<int8_t>(w.begin() + size_t(g) * Cog_ * row_len,
                                                       w.begin() + size_t(g + 1) * Cog_ * row_len));
      }
      zero_bias_.assign(size_t(C_out_), 0);
    }
    if (const KernelDrivers* drivers = kernel_drivers_for(backend); drivers && !per_tap_)
      for (PackedI8& m : weights_) m.prepare_for(*drivers);
  }

  void scratch_sizes(TensorShape in, uint64_t sizes[kScratchBuffers]) const override {
    if (require_backend().device != static_cast<int32_t>(DeviceKind::Host)) return;
    const uint64_t L = length(in), L_out = output_length(L);
    auto raise = [&](int k, uint64_t bytes) {
      if (sizes[k] < bytes) sizes[k] = bytes;
    };
    if (!per_tap_) {
      const uint64_t row = uint64_t(K_) * uint64_t(Cg_);
      raise(2, 4 * L_out * row);
      raise(0, L_out * row);
      raise(5, 4 * uint64_t(C_out_));
      return;
    }
    const uint64_t Lp = L + 2 * uint64_t(padding_);
    if (padding_ > 0) raise(2, 4 * uint64_t(Cg_) * Lp);
    raise(0, uint64_t(Cg_) * Lp);
    if (K_ != 1) raise(3, 4 * L_out * uint64_t(C_out_));
    raise(5, 4 * Lp);
  }

  void release_scratch() override {
    std::vector<float>().swap(own_rows_);
    std::vector<int8_t>().swap(own_q_);
    std::vector<float>().swap(own_scales_);
    std::vector<int32_t>().swap(own_acc_);
    std::vector<float>().swap(own_group_out_);
    release_thread_work();
  }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext* ctx) override {
    const BackendDescriptor& backend = require_backend();
    if (!loaded_) throw_missing_weight(name + (scales_.empty() ? ".w_scales" : ".weight_i8"));
    require_inputs(*this, n, 1);
    const TensorShape s = inputs[0].shape;
    if (s.c != C_in_)
      throw std::runtime_error("node '" + name + "': input has " + std::to_string(s.c) +
                               " channels, expected C_in " + std::to_string(C_in_));
    const uint64_t L = length(s);
    const TensorShape out_shape = output_shape(s);
    const uint64_t L_out = uint64_t(out_shape.h);
    kernel_size(*this, (L + 2 * uint64_t(padding_)) * uint64_t(C_in_));
    kernel_size(*this, L_out * uint64_t(C_out_));
    kernel_size(*this, L_out * uint64_t(K_) * uint64_t(Cg_));
    require_buffer(*this, inputs[0].view, L * uint64_t(C_in_) * sizeof(float));
    require_buffer(*this, output, L_out * uint64_t(C_out_) * sizeof(float));
    if (L_out == 0) return out_shape;
    const KernelDrivers* drivers = kernel_drivers_for(backend);
    if (!drivers || !drivers->conv1d_i8_tap_accumulate || !drivers->quantize_rows_i8 ||
        !drivers->conv1d_i8_depthwise)
      throw std::runtime_error("backend has no conv1d_i8 kernel");
    const auto* x = static_cast<const float*>(inputs[0].view.data);
    auto* y = static_cast<float*>(output.data);
    if (depthwise())
      drivers->conv1d_i8_depthwise(x, int(L), C_in_, depthwise_w_.data(), depthwise_taps_.data(),
                                   scales_.data(), bias_.empty() ? nullptr : bias_.data(), y, int(L_out),
                                   C_out_, K_, stride_, dilation_, padding_);
    else if (per_tap_)
      forward_per_tap(backend.kernels, *drivers, x, int(L), int(L_out), y, ctx);
    else
      forward_im2col(*drivers, x, int(L), int(L_out), y, ctx);
    return out_shape;
  }

  bool output_is_int8() const override { return false; }
  TensorShape output_shape(TensorShape in) const override {
    const uint64_t L_out = output_length(length(in));
    return TensorShape{C_out_, L_out > uint64_t(INT32_MAX) ? INT32_MAX : int32_t(L_out), 1};
  }

 private:
  bool depthwise() const { return groups_ > 1 && Cg_ == 1; }

  static uint64_t length(TensorShape s) { return uint64_t(s.h > 0 ? s.h : 0) * uint64_t(s.w > 0 ? s.w : 0); }

  // (L + 2 padding - dilation (K - 1) - 1) / stride + 1, the quotient truncated toward zero (0 for a
  // stride of 0); a negative length is 0.
  uint64_t output_length(uint64_t L) const {
    const int64_t span = int64_t(L) + 2 * int64_t(padding_) - int64_t(dilation_) * (K_ - 1) - 1;
    const int64_t q = stride_ > 0 ? span / stride_ : 0;
    return q + 1 > 0 ? uint64_t(q + 1) : 0;
  }

  // Rows quantised once (padding rows are zero with the scale a zero row gets), then per tap the
  // int32 product of the rows from t + k dilation on, folded into y.
  void forward_per_tap(const KernelTable& k, const KernelDrivers& drivers, const float* x, int L, int L_out,
                       float* y, ExecContext* ctx) {
    const auto gemm_raw = require_kernel(k.gemm_i8_raw, "gemm_i8_raw");
    const size_t Lp = size_t(L) + 2 * size_t(padding_);
    int8_t* q = scratch_or_own(ctx, 0, Lp * size_t(C_in_), own_q_);
    float* scales = scratch_or_own(ctx, 5, Lp, own_scales_);
    const size_t pad_bytes = size_t(padding_) * size_t(C_in_);
    std::memset(q, 0, pad_bytes);
    std::memset(q + pad_bytes + size_t(L) * C_in_, 0, pad_bytes);
    for (int p = 0; p < padding_; ++p) scales[p] = scales[Lp - 1 - p] = dynamic_row_scale(0.0f);
    // Rows quantise independently: ranges of them on the threads (a row costs ~2 C_in operations).
    parallel_for(size_t(L), 1, (size_t(1) << 17) / (size_t(C_in_) + 1) + 1, [&](size_t b, size_t e) {
      drivers.quantize_rows_i8(x + b * C_in_, int(e - b), C_in_, q + pad_bytes + b * C_in_, scales + padding_ + b);
    });

    const float* bias = bias_.empty() ? nullptr : bias_.data();
    int32_t* products = K_ > 1 ? scratch_or_own(ctx, 3, size_t(L_out) * size_t(C_out_), own_acc_) : nullptr;
    // Blocks of output rows go through every tap while their products and outputs stay in cache; a
    // thread's range of rows keeps its own part of the products.
    const int block = std::max(16, 32768 / C_out_ / 16 * 16);
    const size_t per_row = size_t(K_) * size_t(C_in_) * size_t(C_out_);
    parallel_for(size_t(L_out), 16, (size_t(1) << 19) / per_row + 1, [&](size_t b, size_t e) {
      for (int t0 = int(b); t0 < int(e); t0 += block) {
        const int rows = std::min(block, int(e) - t0);
        float* y_block = y + size_t(t0) * C_out_;
        int32_t* part = products ? products + size_t(b) * C_out_ : nullptr;
        for (int tap = 0; tap < K_; ++tap) {
          // Tap 0 writes its products into the output and turns them into floats in place.
          int32_t* acc = tap == 0 ? reinterpret_cast<int32_t*>(y_block) : part;
          const size_t first_row = size_t(t0) + size_t(tap) * size_t(dilation_);
          gemm_raw(q + first_row * C_in_, weights_[tap].data(), acc, rows, C_in_, C_out_);
          drivers.conv1d_i8_tap_accumulate(acc, scales + first_row, scales_.data(), bias, y_block, rows, C_out_,
                                           tap == 0);
        }
      }
    });
  }

  // Per group: im2col rows of the group's channels, each quantised with its own scale, times the
  // group's weight rows; a group's outputs are then placed in their channels.
  void forward_im2col(const KernelDrivers& drivers, const float* x, int L, int L_out, float* y,
                      ExecContext* ctx) {
    const int row_len = K_ * Cg_;
    float* rows = scratch_or_own(ctx, 2, size_t(L_out) * row_len, own_rows_);
    int8_t* q = scratch_or_own(ctx, 0, size_t(L_out) * row_len, own_q_);
    float* scale_copy = scratch_or_own(ctx, 5, size_t(C_out_), own_scales_);
    float* group_out = groups_ == 1 ? y : grow(own_group_out_, size_t(L_out) * Cog_);
    for (PackedI8& m : weights_) m.prepare_for(drivers);  // only after the tier changed since load
    // Ranges of output rows on the threads, each with its rows of every buffer; a range starting at
    // row b gathers as a convolution with padding less b strides would. The weight scales' copy is
    // the one buffer all rows share: the first range keeps it, the others copy into their own.
    const size_t per_row = size_t(row_len) * size_t(C_out_);
    parallel_for(size_t(L_out), 16, (size_t(1) << 19) / (per_row + 1) + 1, [&](size_t b, size_t e) {
      const int count = int(e - b), pad = int(int64_t(padding_) - int64_t(b) * stride_);
      float* range_rows = rows + b * size_t(row_len);
      int8_t* range_q = q + b * size_t(row_len);
      float* copy = b == 0 ? scale_copy : thread_work<float>(WorkBuffer::Conv1dI8Scales, size_t(C_out_));
      for (int g = 0; g < groups_; ++g) {
        conv1d_im2col_rows(x, L, C_in_, g * Cg_, Cg_, K_, stride_, dilation_, pad, count, range_rows);
        const PackedI8& m = weights_[g];
        const float* bias = bias_.empty() ? nullptr : bias_.data() + size_t(g) * Cog_;
        float* out = group_out + b * size_t(groups_ == 1 ? C_out_ : Cog_);
        gemm_i8_dynamic_rows(range_rows, m.data(), scales_.data() + size_t(g) * Cog_, zero_bias_.data(), bias,
                             range_q, copy, out, count, row_len, Cog_, drivers, &m.prepared);
        if (groups_ == 1) break;
        for (int t = 0; t < count; ++t)
          std::memcpy(y + (b + size_t(t)) * C_out_ + size_t(g) * Cog_, out + size_t(t) * Cog_,
                      size_t(Cog_) * sizeof(float));
      }
    });
  }

  template <class T>
  static T* grow(std::vector<T>& v, size_t count) {
    if (v.size() < count) v.resize(count);
    return v.data();
  }

  int32_t C_out_, C_in_, K_, stride_, padding_, dilation_, groups_;
  int32_t Cg_ = 0, Cog_ = 0;
  bool per_tap_ = false;
  bool loaded_ = false;                // weight and scales read
  std::vector<int8_t> depthwise_w_;    // [C_out][K], for groups of one input channel
  std::vector<float> depthwise_taps_;  // the same as floats, [K][C_out]
  std::vector<float> scales_;          // per output channel
  std::vector<float> bias_;            // empty: no bias
  std::vector<PackedI8> weights_;      // per tap (stride 1, one group) or per group
  std::vector<int64_t> zero_bias_;     // the all-zero integer bias of the float-output product
  std::vector<float> own_rows_, own_scales_, own_group_out_;
  std::vector<int8_t> own_q_;
  std::vector<int32_t> own_acc_;
};

}  // namespace

std::unique_ptr<ILayer> make_conv1d_int8_layer(OpType op, const JsonValue& node) {
  if (op == OpType::Conv1dInt8) return std::make_unique<Conv1dInt8>(node);
  return nullptr;
}

}  // namespace trevalon
