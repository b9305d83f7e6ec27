// Conv1dFp32 and ConvTranspose1dFp32: one-dimensional float convolutions of position-major signals
// (L rows of C floats). Conv1dFp32 chooses its path once, at load: Winograd for 3-, 7- and 11-tap
// stride-1 layers unless BRASKO_FP32_CONV1D_DIRECT forbids it, the direct kernel (or a plain product
// for one tap) for other stride-1 layers, the 2-D convolution for strided ones, and grouped or
// depthwise kernels when groups > 1.
#include "layers/conv1d.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/cpu_backend.h"
#include "backend/registry.h"
#include "kernels/conv1d_f32.h"
#include "kernels/conv_geometry.h"
#include "kernels/kernel_drivers.h"
#include "kernels/packed_weights.h"
#include "kernels/thread_work.h"
#include "layers/layer_checks.h"
#include "layers/layer_factory.h"
#include "layers/small_layer_checks.h"

namespace trevalon {
namespace {

using PackedF32 = PackedWeights<float>;

// A float matrix in the table's 4-row panels and, where the tier has one, in its prepared form,
// which then replaces the panels (one copy of the weights).
class PreparedMatrix {
 public:
  void pack(const BackendDescriptor& backend, const float* w, int rows, int cols) {
    const auto& k = backend.kernels;
    if (!k.pack_weights_f32 || !k.free_packed_f32)
      throw std::runtime_error("backend " + std::string(backend.name) + " cannot pack float weights");
    panels_ = PackedF32(k.pack_weights_f32(w, rows, cols), k.free_packed_f32);
    form_ = PreparedWeightsF32{};
    rows_ = rows;
    cols_ = cols;
  }
  // The form `drivers`' tier reads; nothing to do when it was made for that tier.
  void prepare_for(const BackendDescriptor& backend, const KernelDrivers& drivers) {
    if (form_.format == drivers.format) return;
    if (!panels_.get() && form_.get()) {  // made for another tier: the panels again first
      std::vector<float> w(size_t(rows_) * size_t(cols_));
      form_.unpack_rows(rows_, cols_, w.data());
      pack(backend, w.data(), rows_, cols_);
    }
    form_ = PreparedWeightsF32{};
    form_.format = drivers.format;
    if (!panels_.get() || !drivers.prepare_f32) return;
    drivers.prepare_f32(panels_.get(), rows_, cols_, drivers.format, form_);
    if (form_.get()) panels_.reset();
  }
  const float* panels() const { return panels_.get(); }
  const float* prepared() const { return form_.get(); }

 private:
  PackedF32 panels_;
  PreparedWeightsF32 form_;
  int rows_ = 0, cols_ = 0;
};

// The matrices of one layer with the pointer lists the kernels take.
struct MatrixSet {
  std::vector<PreparedMatrix> matrices;
  std::vector<const float*> panels, prepared;

  void resize(size_t n) {
    matrices = std::vector<PreparedMatrix>(n);
    panels.assign(n, nullptr);
    prepared.assign(n, nullptr);
  }
  bool empty() const { return matrices.empty(); }
  void prepare_for(const BackendDescriptor& backend, const KernelDrivers& drivers) {
    for (size_t i = 0; i < matrices.size(); ++i) {
      matrices[i].prepare_for(backend, drivers);
      panels[i] = matrices[i].panels();
      prepared[i] = matrices[i].prepared();
    }
  }
};

const KernelDrivers& drivers_of(const ILayer& layer, const BackendDescriptor& backend) {
  const KernelDrivers* drivers = kernel_drivers_for(backend);
  if (!drivers || !drivers->conv1d.gemm)
    throw std::runtime_error("node '" + layer.name + "': backend " + std::string(backend.name) +
                             " has no one-dimensional convolution kernels");
  return *drivers;
}

void require_at_least(const ILayer& layer, const char* key, int32_t value, int32_t least) {
  if (value < least)
    throw std::runtime_error("node '" + layer.name + "': " + key + " must be at least " + std::to_string(least) +
                             ", got " + std::to_string(value));
}

void require_groups_divide(const ILayer& layer, int32_t groups, int32_t C_in, int32_t C_out) {
  for (auto [key, channels] : {std::pair{"C_in", C_in}, std::pair{"C_out", C_out}})
    if (channels % groups != 0)
      throw std::runtime_error("node '" + layer.name + "': groups " + std::to_string(groups) + " does not divide " +
                               key + " " + std::to_string(channels));
}

// The signal's length: every position of the tensor is one row of C values.
int64_t positions(TensorShape s) { return int64_t(s.h > 0 ? s.h : 0) * int64_t(s.w > 0 ? s.w : 0); }

void require_channels(const ILayer& layer, TensorShape in, int32_t C_in) {
  if (in.c != C_in)
    throw std::runtime_error("node '" + layer.name + "': input has " + std::to_string(in.c) +
                             " channels, expected C_in " + std::to_string(C_in));
}

// Bytes of shared scratch buffer 2 as floats (0 when the context lends none).
float* scratch_floats(ExecContext* ctx, size_t& floats) {
  floats = 0;
  if (!ctx || !ctx->scratch[2].data || ctx->scratch[2].is_device) return nullptr;
  floats = size_t(ctx->scratch[2].bytes / sizeof(float));
  return static_cast<float*>(ctx->scratch[2].data);
}

uint64_t saturating_mul(uint64_t a, uint64_t b) { return a != 0 && b > UINT64_MAX / a ? UINT64_MAX : a * b; }

class Conv1dFp32 final : public ILayer {
 public:
  enum class Path { None, Winograd, Pointwise, Direct, General, Grouped, Depthwise };

  explicit Conv1dFp32(const JsonValue& node)
      : C_out_(node.get_int("C_out", 0)),
        C_in_(node.get_int("C_in", 0)),
        K_(node.get_int("kernel_size", 1)),
        stride_(node.get_int("stride", 1)),
        padding_(node.get_int("padding", 0)),
        dilation_(node.get_int("dilation", 1)),
        groups_(node.get_int("groups", 1)) {}

  void load_weights(WeightGetter& get) override {
    check_parameters();
    const uint64_t Cg = uint64_t(C_in_ / groups_), row = Cg * uint64_t(K_);
    const uint64_t count = uint64_t(C_out_) * row;
    if (row > uint64_t(INT32_MAX) || count > (uint64_t(1) << 40))
      throw std::runtime_error("node '" + name + "': convolution weights too large");
    std::vector<float> raw;
    const bool present = load_tensor_exact(get, name + ".weight", raw, [&] {
      if (C_out_ <= 0 || C_in_ <= 0) throw std::runtime_error("node '" + name + "': C_out and C_in must be positive");
      return count;
    });
    if (!present) return;
    load_tensor_exact(get, name + ".bias", bias_, uint64_t(C_out_), nullptr, EmptyTensor::MeansAbsent);

    const BackendDescriptor& backend = require_backend();
    const KernelDrivers& drivers = drivers_of(*this, backend);
    // [C_out][K][C_in/groups]: a row of taps, each the channels of one input position.
    const std::vector<float> w = to_patch_order(raw.data(), C_out_, int(Cg), K_);
    const int cols = int(row);
    if (groups_ == 1 && stride_ == 1) {
      const bool allowed = !conv1d_winograd_forbidden(std::getenv("BRASKO_FP32_CONV1D_DIRECT"), K_);
      if (allowed && dilation_ == 1 && winograd1d_for_taps(K_, plan_)) {
        transform_winograd(backend, w);
        path_ = Path::Winograd;
      } else {
        matrices_.resize(1);
        matrices_.matrices[0].pack(backend, w.data(), C_out_, cols);
        path_ = K_ == 1 ? Path::Pointwise : Path::Direct;
      }
    } else if (groups_ == 1) {
      matrices_.resize(1);
      matrices_.matrices[0].pack(backend, w.data(), C_out_, cols);
      path_ = Path::General;
    } else if (Cg == 1 && C_out_ == groups_) {
      // One channel in and out per group: the taps stored tap-major, each a row of C weights.
      w_kc_.resize(size_t(K_) * size_t(C_out_));
      for (int c = 0; c < C_out_; ++c)
        for (int k = 0; k < K_; ++k) w_kc_[size_t(k) * size_t(C_out_) + size_t(c)] = w[size_t(c) * size_t(K_) + size_t(k)];
      path_ = Path::Depthwise;
    } else {
      const int Cog = C_out_ / groups_;
      matrices_.resize(size_t(groups_));
      for (int g = 0; g < groups_; ++g)
        matrices_.matrices[size_t(g)].pack(backend, w.data() + size_t(g) * size_t(Cog) * row, Cog, cols);
      path_ = Path::Grouped;
    }
    matrices_.prepare_for(backend, drivers);
  }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext* ctx) override {
    const BackendDescriptor& backend = require_backend();
    require_inputs(*this, n, 1);
    if (path_ == Path::None) throw_missing_weight(name + ".weight");
    const TensorShape in = inputs[0].shape;
    require_channels(*this, in, C_in_);
    const int64_t L64 = positions(in);
    const int64_t L_out64 = output_length(L64);
    if (L_out64 < 0) {
      if (L64 == 0) return TensorShape{C_out_, 0, 1};
      throw std::runtime_error("node '" + name + "': kernel span " + std::to_string(span()) +
                               " is longer than the padded input (" + std::to_string(L64 + 2 * int64_t(padding_)) +
                               " positions)");
    }
    const int L = kernel_size(*this, uint64_t(L64)), L_out = kernel_size(*this, uint64_t(L_out64));
    kernel_size(*this, uint64_t(L) * uint64_t(C_in_));
    kernel_size(*this, uint64_t(L_out) * uint64_t(C_out_));
    require_buffer(*this, inputs[0].view, uint64_t(L) * uint64_t(C_in_) * sizeof(float));
    require_buffer(*this, output, uint64_t(L_out) * uint64_t(C_out_) * sizeof(float));
    const TensorShape out{C_out_, L_out, 1};
    if (L_out == 0) return out;

    const KernelDrivers& drivers = drivers_of(*this, backend);
    matrices_.prepare_for(backend, drivers);  // only after the tier changed since load
    const auto* x = static_cast<const float*>(inputs[0].view.data);
    auto* y = static_cast<float*>(output.data);
    const float* bias = bias_.empty() ? nullptr : bias_.data();
    if (L == 0) {  // only padding: every output is the bias
      fill_bias_rows(y, L_out);
      return out;
    }
    size_t scratch_count = 0;
    float* scratch = scratch_floats(ctx, scratch_count);
    const Conv1dF32Drivers& d = drivers.conv1d;
    const float* const* panels = matrices_.panels.data();
    const float* const* prepared = matrices_.prepared.data();
    switch (path_) {
      case Path::Winograd:
        conv1d_winograd_with({d.winograd_input, d.winograd_output, d.gemm}, plan_, x, L, C_in_, padding_, panels,
                             prepared, bias, y, L_out, C_out_, relu, scratch, scratch_count);
        break;
      case Path::Pointwise:
        // Rows of padding alone give the bias; the others are the input's rows times the weights.
        fill_bias_rows(y, padding_);
        d.gemm(x, panels[0], prepared[0], bias, y + size_t(padding_) * size_t(C_out_), relu, L, C_in_, C_out_);
        fill_bias_rows(y + (size_t(padding_) + size_t(L)) * size_t(C_out_), L_out - padding_ - L);
        break;
      case Path::Direct:
        d.direct(shape(L, L_out), x, panels, prepared, bias, y, relu);
        break;
      case Path::General:
        if (stride_ > 1) {
          // A signal is an image of L rows and one column; the patch matrix goes to scratch 2 when
          // it is as large as scratch_sizes asked.
          const bool fits = scratch && uint64_t(scratch_count) >= patch_floats(L_out);
          require_kernel(drivers.conv2d_f32, "conv2d_f32")(x, bias, y, C_in_, L, 1, C_out_, K_, 1, stride_, 1,
                                                           padding_, 0, relu, panels[0], prepared[0],
                                                           fits ? scratch : nullptr, dilation_, 1);
          break;
        }
        [[fallthrough]];  // a zero stride reads the same window for its one output
      case Path::Grouped:
        d.direct(shape(L, L_out), x, panels, prepared, bias, y, relu);
        break;
      case Path::Depthwise:
        d.depthwise(x, L, C_in_, stride_, padding_, dilation_, K_, w_kc_.data(), bias, y, L_out, relu);
        break;
      case Path::None: break;
    }
    return out;
  }

  bool output_is_int8() const override { return false; }

  TensorShape output_shape(TensorShape in) const override {
    const int64_t L_out = output_length(positions(in));
    if (L_out > INT32_MAX) throw std::runtime_error("node '" + name + "': output too long");
    return TensorShape{C_out_, int32_t(L_out > 0 ? L_out : 0), 1};
  }

  void scratch_sizes(TensorShape in, uint64_t sizes[kScratchBuffers]) const override {
    const BackendDescriptor& backend = require_backend();
    const int64_t L = positions(in), L_out64 = output_length(L);
    const uint64_t L_out = uint64_t(L_out64 > 0 ? L_out64 : 0);
    const uint64_t Cg = uint64_t(groups_ > 0 && C_in_ > 0 ? C_in_ / groups_ : 0);
    uint64_t floats = saturating_mul(saturating_mul(L_out, Cg), uint64_t(K_ > 0 ? K_ : 0));
    if (backend.device != 1 && backend.device != 2 && groups_ == 1 && stride_ == 1) {
      const uint64_t Lp = uint64_t(L + 2 * int64_t(padding_ > 0 ? padding_ : 0));
      const uint64_t C_in = uint64_t(C_in_ > 0 ? C_in_ : 0), C_out = uint64_t(C_out_ > 0 ? C_out_ : 0);
      uint64_t need = saturating_mul(C_in, Lp);
      if (dilation_ == 1 && (K_ == 3 || K_ == 7 || K_ == 11)) {
        const uint64_t m = K_ == 3 ? 4 : 2, points = uint64_t(K_) + m - 1;
        const uint64_t tiles = (L_out + m - 1) / m, rows = m * tiles + uint64_t(K_) - 1;
        need = saturating_mul(saturating_mul(tiles, C_in + C_out), points);
        const uint64_t padded = saturating_mul(C_in, Lp > rows ? Lp : rows);
        need = need > UINT64_MAX - padded ? UINT64_MAX : need + padded;
      }
      if (need > floats) floats = need;
    }
    const uint64_t bytes = saturating_mul(floats, sizeof(float));
    if (sizes[2] < bytes) sizes[2] = bytes;
  }

  void release_scratch() override { release_thread_work(); }

  Path path() const { return path_; }

 private:
  void check_parameters() const {
    require_at_least(*this, "C_out", C_out_, 0);
    require_at_least(*this, "C_in", C_in_, 0);
    require_at_least(*this, "kernel_size", K_, 1);
    require_at_least(*this, "stride", stride_, 0);
    require_at_least(*this, "padding", padding_, 0);
    require_at_least(*this, "dilation", dilation_, 1);
    require_at_least(*this, "groups", groups_, 1);
    require_groups_divide(*this, groups_, C_in_, C_out_);
  }

  Conv1dShape shape(int L, int L_out) const {
    return Conv1dShape{L, C_in_, L_out, C_out_, K_, stride_, padding_, dilation_, groups_};
  }

  int64_t span() const { return int64_t(dilation_) * (int64_t(K_) - 1) + 1; }

  // (L + 2 padding - span) / stride + 1, truncating (a zero stride leaves the quotient 0); -1 when
  // the span does not fit the padded input, where the truncation would promise a window that
  // reads outside it.
  int64_t output_length(int64_t L) const {
    const int64_t room = L + 2 * int64_t(padding_) - span();
    if (room < 0) return -1;
    return (stride_ > 0 ? room / stride_ : 0) + 1;
  }

  uint64_t patch_floats(int L_out) const {
    return uint64_t(L_out) * uint64_t(C_in_ / groups_) * uint64_t(K_);
  }

  // `rows` output rows that no input reaches: the bias (or 0), then the fused ReLU.
  void fill_bias_rows(float* y, int64_t rows) const {
    for (int64_t r = 0; r < rows; ++r)
      for (int o = 0; o < C_out_; ++o) {
        const float v = bias_.empty() ? 0.0f : bias_[size_t(o)];
        y[size_t(r) * size_t(C_out_) + size_t(o)] = relu && !(v > 0.0f) ? 0.0f : v;
      }
  }

  // U_p = sum_k G[p][k] w[., k, .] for each point p, in double from the stored floats, rounded once.
  void transform_winograd(const BackendDescriptor& backend, const std::vector<float>& w) {
    const size_t plane = size_t(C_out_) * size_t(C_in_);
    matrices_.resize(size_t(plan_.points));
    std::vector<float> U(plane);
    for (int p = 0; p < plan_.points; ++p) {
      for (int o = 0; o < C_out_; ++o)
        for (int c = 0; c < C_in_; ++c) {
          double sum = 0.0;
          for (int k = 0; k < K_; ++k)
            sum += plan_.G[p][k] * double(w[(size_t(o) * size_t(K_) + size_t(k)) * size_t(C_in_) + size_t(c)]);
          U[size_t(o) * size_t(C_in_) + size_t(c)] = float(sum);
        }
      matrices_.matrices[size_t(p)].pack(backend, U.data(), C_out_, C_in_);
    }
  }

  int32_t C_out_, C_in_, K_, stride_, padding_, dilation_, groups_;
  Path path_ = Path::None;
  std::vector<float> bias_;  // empty: no bias
  Winograd1d plan_;
  MatrixSet matrices_;        // Winograd points, or the one pointwise/direct/general matrix, or one per group
  std::vector<float> w_kc_;  // depthwise: taps x channels
};

class ConvTranspose1dFp32 final : public ILayer {
 public:
  explicit ConvTranspose1dFp32(const JsonValue& node)
      : C_out_(node.get_int("C_out", 0)),
        C_in_(node.get_int("C_in", 0)),
        K_(node.get_int("kernel_size", 1)),
        stride_(node.get_int("stride", 1)),
        padding_(node.get_int("padding", 0)),
        output_padding_(node.get_int("output_padding", 0)),
        groups_(node.get_int("groups", 1)) {}

  void load_weights(WeightGetter& get) override {
    require_at_least(*this, "C_out", C_out_, 0);
    require_at_least(*this, "C_in", C_in_, 0);
    require_at_least(*this, "kernel_size", K_, 1);
    // Output rows stride j + k - padding: a zero stride would pile every input row on the same taps.
    require_at_least(*this, "stride", stride_, 1);
    require_at_least(*this, "padding", padding_, 0);
    require_at_least(*this, "output_padding", output_padding_, 0);
    require_at_least(*this, "groups", groups_, 1);
    require_groups_divide(*this, groups_, C_in_, C_out_);
    const uint64_t Cig = uint64_t(C_in_ / groups_), Cog = uint64_t(C_out_ / groups_);
    const uint64_t count = uint64_t(C_in_) * Cog * uint64_t(K_);
    if (count > (uint64_t(1) << 40)) throw std::runtime_error("node '" + name + "': convolution weights too large");
    std::vector<float> raw;
    const bool present = load_tensor_exact(get, name + ".weight", raw, [&] {
      if (C_out_ <= 0 || C_in_ <= 0) throw std::runtime_error("node '" + name + "': C_out and C_in must be positive");
      return count;
    });
    if (!present) return;
    load_tensor_exact(get, name + ".bias", bias_, uint64_t(C_out_), nullptr, EmptyTensor::MeansAbsent);

    const BackendDescriptor& backend = require_backend();
    const KernelDrivers& drivers = drivers_of(*this, backend);
    // Per group g and tap k: M[o][c] = weight[g C_in/groups + c][o][k].
    matrices_.resize(size_t(groups_) * size_t(K_));
    std::vector<float> M(Cog * Cig);
    for (int g = 0; g < groups_; ++g)
      for (int k = 0; k < K_; ++k) {
        for (uint64_t o = 0; o < Cog; ++o)
          for (uint64_t c = 0; c < Cig; ++c)
            M[o * Cig + c] = raw[((uint64_t(g) * Cig + c) * Cog + o) * uint64_t(K_) + uint64_t(k)];
        matrices_.matrices[size_t(g) * size_t(K_) + size_t(k)].pack(backend, M.data(), int(Cog), int(Cig));
      }
    matrices_.prepare_for(backend, drivers);
  }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext* ctx) override {
    const BackendDescriptor& backend = require_backend();
    require_inputs(*this, n, 1);
    if (matrices_.empty()) throw_missing_weight(name + ".weight");
    const TensorShape in = inputs[0].shape;
    require_channels(*this, in, C_in_);
    const int64_t L64 = positions(in), L_out64 = output_length(L64);
    if (L_out64 <= 0)
      throw std::runtime_error("node '" + name + "': output length " + std::to_string(L_out64) +
                               " is not positive (input length " + std::to_string(L64) + ", kernel_size " +
                               std::to_string(K_) + ", stride " + std::to_string(stride_) + ", padding " +
                               std::to_string(padding_) + ", output_padding " + std::to_string(output_padding_) + ")");
    const int L = kernel_size(*this, uint64_t(L64)), L_out = kernel_size(*this, uint64_t(L_out64));
    kernel_size(*this, uint64_t(L) * uint64_t(C_in_));
    kernel_size(*this, uint64_t(L_out) * uint64_t(C_out_));
    require_buffer(*this, inputs[0].view, uint64_t(L) * uint64_t(C_in_) * sizeof(float));
    require_buffer(*this, output, uint64_t(L_out) * uint64_t(C_out_) * sizeof(float));

    const KernelDrivers& drivers = drivers_of(*this, backend);
    matrices_.prepare_for(backend, drivers);  // only after the tier changed since load
    const KernelTable& k = backend.kernels;
    auto add = require_kernel(k.add_inplace_f32, "add_inplace_f32");
    auto* y = static_cast<float*>(output.data);
    size_t scratch_count = 0;
    float* scratch = scratch_floats(ctx, scratch_count);
    const ConvTranspose1dShape shape{L, C_in_, L_out, C_out_, K_, stride_, padding_, groups_};
    conv_transpose1d_with(drivers.conv1d.gemm, add, shape, static_cast<const float*>(inputs[0].view.data),
                          matrices_.panels.data(), matrices_.prepared.data(), y, scratch, scratch_count);
    if (!bias_.empty()) require_kernel(k.add_row_bias_f32, "add_row_bias_f32")(y, bias_.data(), L_out, C_out_);
    return TensorShape{C_out_, L_out, 1};
  }

  bool output_is_int8() const override { return false; }

  TensorShape output_shape(TensorShape in) const override {
    const int64_t L_out = output_length(positions(in));
    if (L_out > INT32_MAX) throw std::runtime_error("node '" + name + "': output too long");
    return TensorShape{C_out_, int32_t(L_out > 0 ? L_out : 0), 1};
  }

  void scratch_sizes(TensorShape in, uint64_t sizes[kScratchBuffers]) const override {
    if (groups_ != 1 || execution_device() != 0) return;
    const int64_t L = positions(in);
    const uint64_t bytes =
        saturating_mul(saturating_mul(sizeof(float), uint64_t(C_out_ > 0 ? C_out_ : 0)), uint64_t(L > 1 ? L : 1));
    if (sizes[2] < bytes) sizes[2] = bytes;
  }

  uint8_t execution_device() const override {
    const BackendDescriptor& backend = require_backend();
    if (backend.device != 3) return 0;
    const bool depthwise = groups_ >= 2 && C_in_ / groups_ == 1 && C_out_ / groups_ == 1;
    return backend.kernels.conv_transpose1d_f32 && (groups_ == 1 || depthwise) ? 3 : 0;
  }

  void release_scratch() override { release_thread_work(); }

 private:
  // K + stride (L - 1) + output_padding - 2 padding.
  int64_t output_length(int64_t L) const {
    return int64_t(K_) + int64_t(stride_) * (L - 1) + int64_t(output_padding_) - 2 * int64_t(padding_);
  }

  int32_t C_out_, C_in_, K_, stride_, padding_, output_padding_, groups_;
  std::vector<float> bias_;  // empty: no bias
  MatrixSet matrices_;       // group g, tap k at g K + k: C_out/groups x C_in/groups
};

const char* path_name(Conv1dFp32::Path path) {
  switch (path) {
    case Conv1dFp32::Path::Winograd: return "winograd";
    case Conv1dFp32::Path::Pointwise: return "pointwise";
    case Conv1dFp32::Path::Direct: return "direct";
    case Conv1dFp32::Path::General: return "general";
    case Conv1dFp32::Path::Grouped: return "grouped";
    case Conv1dFp32::Path::Depthwise: return "depthwise";
    case Conv1dFp32::Path::None: break;
  }
  return "none";
}

bool is_separator(char c) { return c == ' ' || c == ',' || c == ':' || c == ';'; }

}  // namespace

bool conv1d_winograd_forbidden(const char* value, int taps) {
  if (!value || !*value || value[0] == '0' || std::strcmp(value, "wino") == 0) return false;
  if (std::strcmp(value, "1") == 0 || std::strcmp(value, "all") == 0) return true;
  const char* p = value;
  while (*p) {
    while (is_separator(*p)) ++p;
    if (!*p) break;
    const char* end = p;
    while (*end && !is_separator(*end)) ++end;
    // A token is a number when it is an optional sign and base-10 digits, nothing else.
    const char* digits = (*p == '+' || *p == '-') ? p + 1 : p;
    if (digits == end) return false;
    int64_t v = 0;
    for (const char* q = digits; q < end; ++q) {
      if (*q < '0' || *q > '9') return false;
      if (v <= INT32_MAX) v = v * 10 + (*q - '0');  // past int range it can equal no tap count
    }
    if (*p == '-') v = -v;
    if (v == taps) return true;
    p = end;
  }
  return false;
}

std::string conv1d_fp32_path(const ILayer& layer) {
  const auto* conv = dynamic_cast<const Conv1dFp32*>(&layer);
  return conv ? path_name(conv->path()) : std::string();
}

std::unique_ptr<ILayer> make_conv1d_layer(OpType op, const JsonValue& node) {
  if (op == OpType::Conv1dFp32) return std::make_unique<Conv1dFp32>(node);
  if (op == OpType::ConvTranspose1dFp32) return std::make_unique<ConvTranspose1dFp32>(node);
  return nullptr;
}

}  // namespace trevalon
