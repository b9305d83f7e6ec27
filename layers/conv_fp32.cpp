// ConvFp32: float 2-D convolution with fused ReLU; Winograd F(2x2, 3x3) for 3x3 stride-1 padding-1
// kernels, patch matrix times packed weights otherwise.
#include <algorithm>
#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/cpu_backend.h"
#include "kernels/conv_geometry.h"
#include "kernels/kernel_drivers.h"
#include "kernels/packed_weights.h"
#include "kernels/thread_pool.h"
#include "kernels/thread_work.h"
#include "kernels/work_split.h"
#include "layers/conv_epilogue.h"
#include "layers/layer_checks.h"
#include "layers/layer_factory.h"

namespace trevalon {
namespace {

// A packed float matrix owned by the layer.
using PackedF32 = PackedWeights<float>;

PackedF32 pack_f32(const BackendDescriptor& backend, const float* w, int rows, int cols) {
  const auto& k = backend.kernels;
  if (!k.pack_weights_f32 || !k.free_packed_f32)
    throw std::runtime_error("backend " + std::string(backend.name) + " cannot pack float weights");
  return PackedF32(k.pack_weights_f32(w, rows, cols), k.free_packed_f32);
}

class ConvFp32 final : public ILayer {
 public:
  explicit ConvFp32(const JsonValue& node)
      : C_out_(node.get_int("C_out", 0)),
        C_in_(node.get_int("C_in", 0)),
        kH_(node.get_int("kH", 1)),
        kW_(node.get_int("kW", 1)),
        stride_h_(node.get_int("stride_h", 1)),
        stride_w_(node.get_int("stride_w", 1)),
        pad_h_(node.get_int("pad_h", 0)),
        pad_w_(node.get_int("pad_w", 0)),
        groups_(node.get_int("groups", 1)),
        dilation_h_(node.get_int("dilation_h", 1)),
        dilation_w_(node.get_int("dilation_w", 1)) {}

  void load_weights(WeightGetter& get) override {
    // The forward kernels take no groups argument.
    if (groups_ != 1) throw std::runtime_error("grouped float convolution is not supported: " + name);
    if (kH_ <= 0 || kW_ <= 0 || stride_h_ <= 0 || stride_w_ <= 0 || dilation_h_ <= 0 || dilation_w_ <= 0 ||
        pad_h_ < 0 || pad_w_ < 0)
      throw std::runtime_error("node '" + name +
                               "': kernel, stride and dilation must be positive and padding "
                               "non-negative");
    const uint64_t K = uint64_t(C_in_ > 0 ? C_in_ : 0) * uint64_t(kH_) * uint64_t(kW_);
    const uint64_t count = uint64_t(C_out_ > 0 ? C_out_ : 0) * K;
    if (K > INT32_MAX || count > (uint64_t(1) << 40))
      throw std::runtime_error("node '" + name + "': convolution weights too large");
    K_ = int(K);

    const bool have_weights = load_tensor_exact(get, name + ".weight", weights_, [&] {
      if (C_out_ <= 0 || C_in_ <= 0)
        throw std::runtime_error("node '" + name + "': C_out and C_in must be positive");
      return count;
    });
    if (!have_weights) return;
    load_tensor_exact(get, name + ".bias", bias_, uint64_t(C_out_), nullptr, EmptyTensor::MeansAbsent);

    const BackendDescriptor& backend = require_backend();
    const KernelDrivers* drivers = kernel_drivers_for(backend);
    if (winograd_shape()) {
      prepare_winograd(backend, drivers);
      if (backend.device == 0) {
        // Every forward of this layer runs on the 16 Winograd matrices (the shape that enables
        // them also selects them), so the host keeps neither the raw weights nor a patch-ordered
        // packed copy: either would add half or more of the matrices' size for nothing.
        weights_ = std::vector<float>();
        return;
      }
    }

    std::vector<float> reordered = to_patch_order(weights_.data(), C_out_, C_in_, kH_ * kW_);
    packed_ = pack_f32(backend, reordered.data(), C_out_, K_);
    if (backend.device != 0) {
      weights_ = std::move(reordered);  // a device keeps the patch order
    } else {
      // On the host the kernels read only the packed forms: the raw copy would double the model's
      // resident size.
      weights_ = std::vector<float>();
    }
    if (drivers) prepare_for(backend, *drivers);
  }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext* ctx) override {
    const BackendDescriptor& backend = require_backend();
    require_inputs(*this, n, epilogue_ ? 2 : 1);
    if (!packed_.get() && !prepared_.get() && !winograd_ready_) throw_missing_weight(name + ".weight");
    const TensorShape in = inputs[0].shape;
    if (in.c != C_in_)
      throw std::runtime_error("node '" + name + "': input has " + std::to_string(in.c) +
                               " channels, expected " + std::to_string(C_in_));
    const TensorShape out = output_shape(in);
    const void* other = epilogue_ ? epilogue_.check(inputs[n - 1], out, output) : nullptr;
    // An image of zero rows or columns has output pixels only where padding reaches them; an empty
    // output is a result, a kernel that fits no padded image is not.
    const int H = in.h > 0 ? in.h : 0, W = in.w > 0 ? in.w : 0;
    if (out.h <= 0 || out.w <= 0) {
      if (H == 0 || W == 0) return out;
      throw std::runtime_error("node '" + name + "': kernel larger than the padded input (" +
                               std::to_string(in.h) + "x" + std::to_string(in.w) + ")");
    }
    const uint64_t in_bytes = element_count(in) * sizeof(float);
    const uint64_t out_bytes = element_count(out) * sizeof(float);
    if (int64_t(out.h) * out.w > INT32_MAX) throw std::runtime_error("node '" + name + "': output too large");
    if (inputs[0].view.bytes < in_bytes || output.bytes < out_bytes)
      throw std::runtime_error("node '" + name + "': buffer smaller than its tensor");

    const auto* x = static_cast<const float*>(inputs[0].view.data);
    auto* y = static_cast<float*>(output.data);
    // Shared scratch buffer 2 holds the patch matrix when it is as large as scratch_sizes asked.
    float* scratch = nullptr;
    if (ctx && ctx->scratch[2].data && ctx->scratch[2].bytes >= patch_bytes(in))
      scratch = static_cast<float*>(ctx->scratch[2].data);

    // Only after the tier (or the backend) changed since load does either do anything.
    const KernelDrivers* drivers = kernel_drivers_for(backend);
    if (drivers)
      prepare_for(backend, *drivers);
    else
      restore_panels(backend);
    if (!epilogue_) {
      compute(backend, drivers, x, H, W, y, scratch, ctx);
      return out;
    }
    const size_t row_elements = size_t(out.w) * size_t(C_out_);
    // A float addition that the tier's product can finish in registers as it stores each output
    // (the Winograd products have no such epilogue): the output is then written once.
    const ElementwiseEpilogue::Form form = epilogue_.form();
    const bool in_registers = drivers && drivers->conv2d_f32_add && !winograd_ready_ &&
                              form.op == ElementwiseEpilogue::Form::kAddF32;
    // Output rows [r0, r0 + rows) from the input rows they read, combined with the other operand.
    auto finish = [&](const float* x_rows, int H_rows, int r0, int rows, float* part) {
      float* y_rows = y + size_t(r0) * row_elements;
      if (in_registers) {
        drivers->conv2d_f32_add(x_rows, bias_.empty() ? nullptr : bias_.data(), y_rows, C_in_, H_rows, W,
                                C_out_, kH_, kW_, stride_h_, stride_w_, pad_h_, pad_w_, relu, packed_.get(),
                                prepared_.get(), part, dilation_h_, dilation_w_,
                                static_cast<const float*>(other) + size_t(r0) * row_elements, form.relu);
        return;
      }
      compute(backend, drivers, x_rows, H_rows, W, y_rows, part, ctx);
      // The addition shared by ranges of rows, each at least 64 Ki elements.
      parallel_for(size_t(rows), 1, (size_t(1) << 16) / row_elements + 1, [&](size_t begin, size_t end) {
        epilogue_.apply(y, other, sizeof(float), row_elements, r0 + int(begin), int(end - begin), ctx);
      });
    };
    // A 1x1 unpadded kernel reads input row oy x stride for output row oy: bands of output rows
    // are convolutions of bands of input rows, each finished while in cache (the fused product
    // too is faster on bands whose output stays in L2 than on the whole image).
    const bool banded = kH_ == 1 && kW_ == 1 && pad_h_ == 0 && pad_w_ == 0 && !winograd_ready_;
    const int block = banded ? epilogue_block_rows(out.h, row_elements * sizeof(float), row_elements,
                                                   size_t(C_out_) * size_t(K_) * sizeof(float))
                             : out.h;
    if (block == out.h) {
      finish(x, H, 0, out.h, scratch);
      return out;
    }
    // Several bands: threads take equal ranges of output rows (in whole 16-element groups), each
    // running its rows band by band with its own part of the patch scratch.
    size_t group_rows = 1;
    while (group_rows * row_elements % 16 != 0) ++group_rows;
    const size_t row_macs = row_elements * size_t(K_);
    parallel_for(
        size_t(out.h), group_rows, (kSplitMacsF32 + row_macs - 1) / row_macs, [&](size_t begin, size_t end) {
          float* part = scratch ? scratch + begin * size_t(out.w) * size_t(K_) : nullptr;
          for (int r0 = int(begin); r0 < int(end); r0 += block) {
            const int rows = std::min(block, int(end) - r0);
            finish(x + size_t(r0) * stride_h_ * W * C_in_, (rows - 1) * stride_h_ + 1, r0, rows, part);
          }
        });
    return out;
  }

  bool fuse_epilogue(const ElementwiseEpilogue* epilogue, int own_operand) override {
    return epilogue_.set(epilogue, own_operand);
  }

  bool output_is_int8() const override { return false; }

  TensorShape output_shape(TensorShape in) const override {
    // The kernels index the padded image with 32-bit ints; planning refuses what forward cannot run.
    if (int64_t(in.h) + 2 * int64_t(pad_h_) > INT32_MAX || int64_t(in.w) + 2 * int64_t(pad_w_) > INT32_MAX)
      throw std::runtime_error("node '" + name + "': padded input too large");
    auto clamp = [this](int64_t v) {
      if (v > INT32_MAX) throw std::runtime_error("node '" + name + "': output too large");
      return int32_t(v < 0 ? 0 : v);
    };
    const int64_t H = in.h > 0 ? in.h : 0, W = in.w > 0 ? in.w : 0;
    return TensorShape{C_out_, clamp(conv_output_size(H, kH_, stride_h_, pad_h_, dilation_h_)),
                       clamp(conv_output_size(W, kW_, stride_w_, pad_w_, dilation_w_))};
  }

  void scratch_sizes(TensorShape in, uint64_t sizes[kScratchBuffers]) const override {
    const uint64_t bytes = patch_bytes(in);
    if (sizes[2] < bytes) sizes[2] = bytes;
  }

  void release_scratch() override { release_thread_work(); }

 private:
  // The convolution of an H x W image into y, on the tier's kernels.
  void compute(const BackendDescriptor& backend, const KernelDrivers* drivers, const float* x, int H, int W,
               float* y, float* scratch, ExecContext* ctx) const {
    const float* bias = bias_.empty() ? nullptr : bias_.data();
    void* stream = ctx ? ctx->stream : nullptr;
    if (winograd_ready_ && dilation_h_ == 1 && dilation_w_ == 1) {
      if (drivers) {
        drivers->conv2d_f32_winograd(x, winograd_ptrs_.data(), prepared_winograd_ptrs(), bias, y, C_in_, H, W,
                                     C_out_, relu);
        return;
      }
      if (!backend.kernels.conv2d_f32_winograd)
        throw std::runtime_error("backend has no conv2d_f32_winograd kernel");
      backend.kernels.conv2d_f32_winograd(x, winograd_ptrs_.data(), bias, y, C_in_, H, W, C_out_, relu,
                                          scratch, stream, weights_.empty() ? nullptr : weights_.data());
    } else if (drivers) {
      drivers->conv2d_f32(x, bias, y, C_in_, H, W, C_out_, kH_, kW_, stride_h_, stride_w_, pad_h_, pad_w_,
                          relu, packed_.get(), prepared_.get(), scratch, dilation_h_, dilation_w_);
    } else {
      if (!backend.kernels.conv2d_f32) throw std::runtime_error("backend has no conv2d_f32 kernel");
      backend.kernels.conv2d_f32(x, weights_.empty() ? nullptr : weights_.data(), bias, y, C_in_, H, W,
                                 C_out_, kH_, kW_, stride_h_, stride_w_, pad_h_, pad_w_, relu, packed_.get(),
                                 scratch, dilation_h_, dilation_w_, stream);
    }
  }

  bool winograd_shape() const {
    return kH_ == 3 && kW_ == 3 && stride_h_ == 1 && stride_w_ == 1 && pad_h_ == 1 && pad_w_ == 1 &&
           groups_ == 1 && dilation_h_ == 1 && dilation_w_ == 1;
  }

  // The packed forms as `drivers`' tier reads them; a no-op once done for that tier. A tier whose
  // form replaces the 4-row panels gets that form alone: the layer keeps one copy of its weights.
  void prepare_for(const BackendDescriptor& backend, const KernelDrivers& drivers) {
    if (prepared_format_ == drivers.format) return;
    restore_panels(backend);
    prepare_matrix(drivers, packed_, C_out_, K_, prepared_);
    for (int k = 0; k < 16; ++k) prepare_winograd_matrix(drivers, k);
    prepared_format_ = drivers.format;
  }

  // `out` as `drivers`' tier reads `packed` (rows x cols); where that form replaces the panels,
  // the panels go.
  static void prepare_matrix(const KernelDrivers& drivers, PackedF32& packed, int rows, int cols,
                             PreparedWeightsF32& out) {
    out = PreparedWeightsF32{};
    out.format = drivers.format;
    if (!packed.get() || !drivers.prepare_f32) return;
    drivers.prepare_f32(packed.get(), rows, cols, drivers.format, out);
    if (out.get()) packed.reset();
  }
  void prepare_winograd_matrix(const KernelDrivers& drivers, int k) {
    prepare_matrix(drivers, winograd_[k], C_out_, C_in_, prepared_winograd_[k]);
    prepared_winograd_ptrs_[k] = prepared_winograd_[k].get();
    winograd_ptrs_[k] = winograd_[k].get();
  }

  // The 4-row panels again from a prepared form that replaced them (for another tier or backend).
  void restore_panels(const BackendDescriptor& backend) {
    auto restore = [&](PackedF32& packed, PreparedWeightsF32& form, int rows, int cols) {
      if (packed.get() || !form.get()) return;
      std::vector<float> w(size_t(rows) * size_t(cols));
      form.unpack_rows(rows, cols, w.data());
      packed = pack_f32(backend, w.data(), rows, cols);
      form = PreparedWeightsF32{};
    };
    restore(packed_, prepared_, C_out_, K_);
    for (int k = 0; k < 16; ++k) {
      restore(winograd_[k], prepared_winograd_[k], C_out_, C_in_);
      winograd_ptrs_[k] = winograd_[k].get();
      prepared_winograd_ptrs_[k] = prepared_winograd_[k].get();
    }
    prepared_format_ = kUnpreparedFormat;
  }
  const float* const* prepared_winograd_ptrs() const {
    return prepared_winograd_ptrs_[0] ? prepared_winograd_ptrs_.data() : nullptr;
  }

  // The float patch matrix: C x kH x kW x out_h x out_w floats; 0 for an empty output. Zero rows or
  // columns with padding still take patches (of zeros).
  uint64_t patch_bytes(TensorShape in) const {
    if (in.c <= 0 || kH_ <= 0 || kW_ <= 0) return 0;
    const TensorShape out = output_shape(in);
    if (out.h <= 0 || out.w <= 0) return 0;
    return uint64_t(in.c) * uint64_t(kH_) * uint64_t(kW_) * uint64_t(out.h) * uint64_t(out.w) * sizeof(float);
  }

  // U = G g G^T per (output, input) channel pair with G = [[1,0,0],[.5,.5,.5],[.5,-.5,.5],[0,0,1]],
  // kernel rows first, then columns; U[i][j] goes to matrix 4i + j at (o, c). One matrix at a
  // time, packed and (for a tier with a form of its own) prepared before the next: loading holds
  // one matrix besides the finished ones, not all sixteen in three forms at once.
  void prepare_winograd(const BackendDescriptor& backend, const KernelDrivers* drivers) {
    const size_t plane = size_t(C_out_) * size_t(C_in_);
    std::vector<float> U(plane);
    auto combine = [](float a, float b, float c, int i) {
      switch (i) {
        case 0: return a;
        case 1: return ((a + b) + c) * 0.5f;
        case 2: return ((a - b) + c) * 0.5f;
        default: return c;
      }
    };
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) {
        for (int o = 0; o < C_out_; ++o)
          for (int c = 0; c < C_in_; ++c) {
            const float* g = weights_.data() + (size_t(o) * C_in_ + c) * 9;
            float row[3];  // row i of G g
            for (int x = 0; x < 3; ++x) row[x] = combine(g[x], g[3 + x], g[6 + x], i);
            U[size_t(o) * C_in_ + c] = combine(row[0], row[1], row[2], j);
          }
        const int k = 4 * i + j;
        winograd_[k] = pack_f32(backend, U.data(), C_out_, C_in_);
        winograd_ptrs_[k] = winograd_[k].get();
        if (drivers) prepare_winograd_matrix(*drivers, k);
      }
    winograd_ready_ = true;
    if (drivers) {  // what prepare_for leaves: the general path's form is empty on this path
      prepare_matrix(*drivers, packed_, C_out_, K_, prepared_);
      prepared_format_ = drivers->format;
    }
  }

  int32_t C_out_, C_in_, kH_, kW_, stride_h_, stride_w_, pad_h_, pad_w_, groups_, dilation_h_, dilation_w_;
  int K_ = 0;
  std::vector<float> weights_;  // device backends only: patch-ordered raw weights
  std::vector<float> bias_;     // empty: no bias
  PackedF32 packed_;            // patch-ordered, C_out x K; none for Winograd layers on the host
  bool winograd_ready_ = false;
  std::array<PackedF32, 16> winograd_;  // the 16 transformed matrices, C_out x C_in each
  std::array<const float*, 16> winograd_ptrs_{};
  // What the current tier's kernels read besides the packed forms (empty where they need nothing).
  int prepared_format_ = kUnpreparedFormat;
  PreparedWeightsF32 prepared_;
  std::array<PreparedWeightsF32, 16> prepared_winograd_;
  std::array<const float*, 16> prepared_winograd_ptrs_{};
  ConvEpilogue epilogue_;  // set when the model fused the consuming addition into this layer
};

}  // namespace

std::unique_ptr<ILayer> make_conv_fp32_layer(OpType op, const JsonValue& node) {
  if (op != OpType::ConvFp32) return nullptr;
  return std::make_unique<ConvFp32>(node);
}

}  // namespace trevalon
