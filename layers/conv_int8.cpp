// ConvInt8: prepares up to four weight forms at load (packed, patch-ordered, Winograd, depthwise)
// and runs one of four paths: Winograd, general patch matrix, depthwise 3x3, planar groups.
#include "layers/conv_int8.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "backend/cpu_backend.h"
#include "kernels/conv2d_i8.h"
#include "kernels/conv2d_i8_direct.h"
#include "kernels/conv_geometry.h"
#include "kernels/gemm_i8.h"
#include "kernels/requantize.h"
#include "kernels/thread_pool.h"
#include "kernels/thread_work.h"
#include "kernels/winograd_i8.h"
#include "layers/layer_checks.h"
#include "layers/layer_factory.h"
#include "layers/small_layer_checks.h"

namespace trevalon {
namespace {

// K = (C_in / groups) x kH x kW, groups below 2 counting as 1; values past 2^40 stand for "too
// large" so that nothing overflows before check_parameters refuses them.
int64_t patch_length(int C_in, int groups, int kH, int kW) {
  const int64_t per_group = C_in / std::max(groups, 1);
  if (per_group <= 0 || kH <= 0 || kW <= 0) return 0;
  const int64_t rows = per_group * kH;  // < 2^62
  return rows > (int64_t(1) << 40) / kW ? (int64_t(1) << 40) + 1 : rows * kW;
}

// a x b for sizes from files and callers; "node 'NAME': convolution sizes overflow" past 2^62.
uint64_t checked_mul(const ILayer& layer, uint64_t a, uint64_t b) {
  return trevalon::checked_mul(a, b, uint64_t(1) << 62,
                               [&] { return "node '" + layer.name + "': convolution sizes overflow"; });
}

// Output bytes of a fused addition worth a hand-off to a worker that is still spinning.
constexpr size_t kMinEpilogueRangeBytes = size_t(64) << 10;

}  // namespace

ConvInt8::ConvInt8(const JsonValue& node)
    : C_out_(node.get_int("C_out", 0)),
      C_in_(node.get_int("C_in", 0)),
      kH_(node.get_int("kH", 1)),
      kW_(node.get_int("kW", 1)),
      stride_h_(node.get_int("stride_h", 1)),
      stride_w_(node.get_int("stride_w", 1)),
      pad_h_(node.get_int("pad_h", 0)),
      pad_w_(node.get_int("pad_w", 0)),
      groups_(node.get_int("groups", 1)),
      in_zp_(static_cast<int8_t>(node.get_int("in_zp", 0))),
      out_zp_(static_cast<int8_t>(node.get_int("out_zp", 0))),
      K_(patch_length(C_in_, groups_, kH_, kW_)) {}

bool ConvInt8::winograd_shape() const {
  return kH_ == 3 && kW_ == 3 && stride_h_ == 1 && stride_w_ == 1 && pad_h_ == 1 && pad_w_ == 1 &&
         groups_ == 1;
}

void ConvInt8::check_parameters() const {
  if (C_out_ <= 0 || C_in_ <= 0)
    throw std::runtime_error("node '" + name + "': C_out and C_in must be positive");
  if (kH_ <= 0 || kW_ <= 0 || stride_h_ <= 0 || stride_w_ <= 0 || pad_h_ < 0 || pad_w_ < 0)
    throw std::runtime_error("node '" + name +
                             "': kernel and stride must be positive and padding non-negative");
  const int groups = std::max(groups_, 1);
  if (C_in_ % groups != 0 || C_out_ % groups != 0)
    throw std::runtime_error("node '" + name + "': groups " + std::to_string(groups) + " must divide C_in " +
                             std::to_string(C_in_) + " and C_out " + std::to_string(C_out_));
  if (K_ <= 0 || K_ > INT32_MAX || checked_mul(*this, uint64_t(C_out_), uint64_t(K_)) > (uint64_t(1) << 40))
    throw std::runtime_error("node '" + name + "': convolution weights too large");
}

ConvPackedI8 ConvInt8::pack(const int8_t* w, int rows, int cols) const {
  const BackendDescriptor& backend = require_backend();
  const KernelTable& k = backend.kernels;
  if (!k.pack_weights_i8 || !k.free_packed_i8)
    throw std::runtime_error("backend " + std::string(backend.name) + " cannot pack int8 weights");
  // Host kernels read blocks of 8 rows x 4 columns, device kernels blocks of 4 x 4.
  const uint64_t bytes = backend.device == 0 ? (uint64_t(rows) + 7) / 8 * ((uint64_t(cols) + 3) / 4) * 32
                                             : (uint64_t(rows) + 3) / 4 * ((uint64_t(cols) + 3) / 4) * 16;
  return ConvPackedI8(k.pack_weights_i8(w, rows, cols), k.free_packed_i8, bytes);
}

void ConvInt8::load_weights(WeightGetter& get) {
  const uint64_t C_out = uint64_t(std::max(C_out_, 0));
  const uint64_t K = uint64_t(std::max<int64_t>(K_, 0));
  const bool have_weights = load_tensor_exact(get, name + ".weight", weights_, [&] {
    check_parameters();
    return C_out * K;
  });
  if (load_tensor_exact(get, name + ".req_scale", req_scale_, C_out)) {
    mult_.resize(C_out);
    shift_.resize(C_out);
    for (size_t o = 0; o < C_out; ++o) scale_to_multiplier(req_scale_[o], mult_[o], shift_[o]);
  }
  load_tensor_exact(get, name + ".eff_bias", eff_bias_, C_out);
  if (!have_weights) return;

  const BackendDescriptor& backend = require_backend();
  packed_ = ConvPackedI8{};
  patch_packed_ = ConvPackedI8{};
  restore_packed();
  row_sums_.assign(C_out, 0);
  for (size_t o = 0; o < C_out; ++o) {
    int64_t sum = 0;
    for (size_t k = 0; k < K; ++k) sum += weights_[o * K + k];
    row_sums_[o] = int32_t(uint32_t(uint64_t(sum)));  // low 32 bits, like every int32 sum here
  }

  if (winograd_shape()) prepare_winograd(backend);
  if (groups_ == C_in_ && kH_ == 3 && kW_ == 3 && (backend.device == 0 || backend.device == 3))
    prepare_depthwise();
  if (groups_ >= 2) prepare_groups();
  if (const KernelDrivers* drivers = kernel_drivers_for(backend)) prepare_for(*drivers);
}

void ConvInt8::restore_packed() {
  if (packed_.get() || weights_.empty()) return;
  packed_ = pack(weights_.data(), C_out_, int(K_));
  if (kH_ > 1 || kW_ > 1) {
    const int group_in = C_in_ / std::max(groups_, 1);
    const std::vector<int8_t> reordered = to_patch_order(weights_.data(), C_out_, group_in, kH_ * kW_);
    patch_packed_ = pack(reordered.data(), C_out_, int(K_));
  }
}

void ConvInt8::prepare_for(const KernelDrivers& drivers) {
  if (prepared_.format == drivers.format) return;
  // A layer on the Winograd path reads only its sixteen matrices on this host: the general path's
  // packed forms would be memory that no pass reads (a host backend without drivers packs them
  // again if it ever runs that path).
  const bool winograd = path() == ConvInt8Path::Winograd;
  if (winograd) {
    packed_ = ConvPackedI8{};
    patch_packed_ = ConvPackedI8{};
  } else {
    restore_packed();  // dropped for a tier that read its own copy
  }
  const int8_t* packed = general_packed();
  if (drivers.prepare_i8 && packed && groups_ < 2 && !eff_bias_.empty() && !mult_.empty() && !winograd) {
    drivers.prepare_i8(packed, C_out_, int(K_), eff_bias_.data(), mult_.data(), shift_.data(), out_zp_, true,
                       drivers.format, prepared_);
    // A tier that keeps the weights in its own layout reads only that: one copy in memory, not two.
    if (prepared_.weights.data()) {
      packed_ = ConvPackedI8{};
      patch_packed_ = ConvPackedI8{};
    }
  } else {
    prepared_ = PreparedWeightsI8{};
    prepared_.format = drivers.format;
  }
  direct_ = PreparedWeightsI8{};
  direct_.format = drivers.format;
  if (drivers.prepare_conv2d_i8_direct && groups_ < 2 && (kH_ > 1 || kW_ > 1) && !eff_bias_.empty() &&
      !mult_.empty() && conv2d_i8_direct_shape(C_in_, C_out_, kH_, kW_) &&
      conv2d_i8_direct_pays(C_in_, kH_, kW_)) {
    const std::vector<int8_t> reordered = to_patch_order(weights_.data(), C_out_, C_in_, kH_ * kW_);
    drivers.prepare_conv2d_i8_direct(reordered.data(), C_out_, C_in_, kH_, kW_, eff_bias_.data(),
                                     mult_.data(), shift_.data(), out_zp_, drivers.format, direct_);
  }
}

bool ConvInt8::direct_ready(const KernelDrivers& drivers, int h, int w) const {
  if (!drivers.conv2d_i8_direct || direct_.format != drivers.format || !direct_.start_values()) return false;
  // The padded copy lives in scratch buffer 0, sized for the patch matrix: small images may not
  // leave it room.
  const int64_t out_h = conv_output_size(h, kH_, stride_h_, pad_h_),
                out_w = conv_output_size(w, kW_, stride_w_, pad_w_);
  if (out_h <= 0 || out_w <= 0) return false;
  uint64_t patches = 0, unused = 0;
  scratch_needs(C_in_, h, w, patches, unused);
  return conv2d_i8_direct_scratch(C_in_, kH_, kW_, stride_h_, stride_w_, int(out_h), int(out_w)) <= patches;
}

void ConvInt8::release_scratch() { release_thread_work(); }

void ConvInt8::prepare_winograd(const BackendDescriptor& backend) {
  WinogradI8Weights transformed;
  winograd_i8_transform_weights(weights_.data(), C_out_, C_in_, transformed);
  for (int k = 0; k < 16; ++k) {
    winograd_packed_[k] = pack(transformed.matrices[k].data(), C_out_, C_in_);
    winograd_ptrs_[k] = winograd_packed_[k].get();
    winograd_row_sums_[k] = std::move(transformed.row_sums[k]);
    winograd_row_sum_ptrs_[k] = winograd_row_sums_[k].empty() ? nullptr : winograd_row_sums_[k].data();
    winograd_scales_[k] = transformed.scales[k];
  }
  if (!eff_bias_.empty()) {
    winograd_bias_.resize(size_t(C_out_));
    winograd_i8_bias(eff_bias_.data(), row_sums_.data(), winograd_row_sums_[5].data(), winograd_scales_[5],
                     kWinogradI8InputScale, in_zp_, C_out_, winograd_bias_.data());
  }
  winograd_ready_ = true;
}

void ConvInt8::prepare_depthwise() {
  // groups == C_in, so every output channel has 9 weights: tap t of channel c goes to t x C_out + c.
  depthwise_weights_.resize(size_t(C_out_) * 9);
  for (int c = 0; c < C_out_; ++c)
    for (int t = 0; t < 9; ++t) depthwise_weights_[size_t(t) * C_out_ + c] = weights_[size_t(c) * 9 + t];
  depthwise_bias_.clear();
  for (int64_t b : eff_bias_) depthwise_bias_.push_back(int32_t(uint32_t(uint64_t(b))));
  depthwise_ready_ = true;
}

void ConvInt8::prepare_groups() {
  // The planar path multiplies each group's rows on their own; packing them once here keeps the
  // forward pass free of packing and allocation.
  group_packed_ = conv2d_i8_pack_groups(weights_.data(), C_out_, int(K_), groups_);
}

ConvInt8Path ConvInt8::path() const {
  const BackendDescriptor& backend = require_backend();
  if (winograd_ready_ && backend.device == 0) return ConvInt8Path::Winograd;
  if (groups_ < 2) return ConvInt8Path::General;
  if (backend.device != 0) return ConvInt8Path::Device;
  // One output channel per input channel, the strides and padding the depthwise kernel handles.
  if (depthwise_ready_ && C_out_ == C_in_ && stride_h_ == stride_w_ && stride_h_ < 3 && pad_h_ == 1 &&
      pad_w_ == 1)
    return ConvInt8Path::Depthwise;
  return ConvInt8Path::Planar;
}

TensorShape ConvInt8::output_shape(TensorShape input) const {
  // Planning must not size buffers for an input forward refuses: a padded size beyond 32 bits is an
  // error here too, not a clamped shape.
  if (int64_t(input.h) + 2 * int64_t(pad_h_) > INT32_MAX ||
      int64_t(input.w) + 2 * int64_t(pad_w_) > INT32_MAX)
    throw std::runtime_error("node '" + name + "': padded input too large");
  auto clamp = [this](int64_t v) {
    if (v > INT32_MAX) throw std::runtime_error("node '" + name + "': output too large");
    return int32_t(std::max<int64_t>(v, 0));
  };
  return TensorShape{C_out_, clamp(conv_output_size(std::max(input.h, 0), kH_, stride_h_, pad_h_)),
                     clamp(conv_output_size(std::max(input.w, 0), kW_, stride_w_, pad_w_))};
}

void ConvInt8::scratch_needs(int c, int h, int w, uint64_t& bytes0, uint64_t& bytes1) const {
  // The patch matrix: C x kH x out_h x kW x out_w bytes.
  const int64_t out_h = std::max<int64_t>(conv_output_size(h, kH_, stride_h_, pad_h_), 0);
  const int64_t out_w = std::max<int64_t>(conv_output_size(w, kW_, stride_w_, pad_w_), 0);
  uint64_t patches = checked_mul(*this, uint64_t(std::max(c, 0)), uint64_t(std::max(kH_, 0)));
  patches = checked_mul(*this, patches, uint64_t(out_h));
  patches = checked_mul(*this, patches, uint64_t(std::max(kW_, 0)));
  patches = checked_mul(*this, patches, uint64_t(out_w));
  bytes0 = patches;
  bytes1 = 0;
  if (winograd_ready_ && winograd_shape() && h > 0 && w > 0) {
    // 16 transformed values per tile: (H / 2 + 1) x (W / 2 + 1) tiles bound ceil(H / 2) x ceil(W / 2).
    const uint64_t tiles16 = checked_mul(*this, uint64_t(h / 2 + 1) * uint64_t(w / 2 + 1), 16);
    bytes1 = checked_mul(*this, checked_mul(*this, tiles16, uint64_t(std::max(C_out_, 0))), 4);
    bytes0 = std::max(checked_mul(*this, tiles16, uint64_t(std::max(c, 0))), patches);
  }
}

void ConvInt8::scratch_sizes(TensorShape input, uint64_t sizes[kScratchBuffers]) const {
  // Zero rows or columns still take patches when padding gives the output pixels.
  if (input.c <= 0) return;
  uint64_t bytes0 = 0, bytes1 = 0;
  scratch_needs(input.c, std::max(input.h, 0), std::max(input.w, 0), bytes0, bytes1);
  sizes[0] = std::max(sizes[0], bytes0);
  sizes[1] = std::max(sizes[1], bytes1);
}

TensorShape ConvInt8::forward(const TensorRef* inputs, int n, BufferView output, ExecContext* ctx) {
  require_inputs(*this, n, epilogue_ ? 2 : 1);
  if (weights_.empty()) throw_missing_weight(name + ".weight");
  if (req_scale_.empty()) throw_missing_weight(name + ".req_scale");
  if (eff_bias_.empty()) throw_missing_weight(name + ".eff_bias");
  const TensorShape in = inputs[0].shape;
  if (in.c != C_in_)
    throw std::runtime_error("node '" + name + "': input has " + std::to_string(in.c) +
                             " channels, expected " + std::to_string(C_in_));
  const TensorShape out = output_shape(in);
  const void* other = epilogue_ ? epilogue_.check(inputs[n - 1], out, output) : nullptr;
  // An image of zero rows or columns has output pixels only where padding reaches them; an empty
  // output is a result, a kernel that fits no padded image is not.
  const int H = std::max(in.h, 0), W = std::max(in.w, 0);
  if (out.h <= 0 || out.w <= 0) {
    if (H == 0 || W == 0) return out;
    throw std::runtime_error("node '" + name + "': kernel larger than the padded input (" +
                             std::to_string(in.h) + "x" + std::to_string(in.w) + ")");
  }
  // The kernels index the padded image with 32-bit ints.
  if (int64_t(H) + 2 * int64_t(pad_h_) > INT32_MAX || int64_t(W) + 2 * int64_t(pad_w_) > INT32_MAX)
    throw std::runtime_error("node '" + name + "': padded input too large");
  kernel_size(*this, uint64_t(out.h) * uint64_t(out.w));
  kernel_size(*this, uint64_t(H) * uint64_t(W));
  require_buffer(*this, inputs[0].view, element_count(in));
  require_buffer(*this, output, element_count(out));
  uint64_t need0 = 0, need1 = 0;
  scratch_needs(in.c, H, W, need0, need1);
  ConvInt8Path route = path();
  // The depthwise kernel reads a pixel for its centre tap; padding alone goes through the planar
  // path's gatherer.
  if (route == ConvInt8Path::Depthwise && (H == 0 || W == 0)) route = ConvInt8Path::Planar;
  if (route != ConvInt8Path::Winograd) need1 = 0;
  if (route == ConvInt8Path::Depthwise) need0 = 0;
  if ((need0 > 0 && (!ctx || ctx->scratch[0].bytes < need0 || !ctx->scratch[0].data)) ||
      (need1 > 0 && (!ctx || ctx->scratch[1].bytes < need1 || !ctx->scratch[1].data)))
    throw std::runtime_error("node '" + name + "': scratch buffers smaller than scratch_sizes asked");

  const auto* x = static_cast<const int8_t*>(inputs[0].view.data);
  auto* y = static_cast<int8_t*>(output.data);
  if (!epilogue_) {
    compute(route, x, H, W, y, ctx);
    return out;
  }
  if (add_in_product(route, x, y, other, out)) return out;
  // A 1x1 unpadded kernel on the general path reads input row oy x stride for output row oy: bands
  // of output rows are convolutions of bands of input rows, each combined with the other operand
  // at once.
  const size_t row_elements = size_t(out.w) * size_t(C_out_);
  const bool banded = route == ConvInt8Path::General && kH_ == 1 && kW_ == 1 && pad_h_ == 0 && pad_w_ == 0;
  const int block =
      banded ? epilogue_block_rows(out.h, row_elements, row_elements, size_t(C_out_) * size_t(K_)) : out.h;
  if (block == out.h) {
    compute(route, x, H, W, y, ctx);
    // The addition over ranges of whole 16-element groups (an element's rounding depends on its
    // place in its group). The product has just left the workers spinning, so a range pays from
    // 64 KiB on, below the addition's own threshold: a 14x14 image of 1024 channels splits in two.
    size_t group_rows = 1;
    while (group_rows * row_elements % 16 != 0) ++group_rows;
    parallel_for(size_t(out.h), group_rows, kMinEpilogueRangeBytes / row_elements + 1,
                 [&](size_t begin, size_t end) {
                   epilogue_.apply(y, other, 1, row_elements, int(begin), int(end - begin), ctx);
                 });
    return out;
  }
  for (int r0 = 0; r0 < out.h; r0 += block) {
    const int rows = std::min(block, out.h - r0);
    compute(route, x + size_t(r0) * stride_h_ * W * C_in_, (rows - 1) * stride_h_ + 1, W,
            y + size_t(r0) * row_elements, ctx);
    epilogue_.apply(y, other, 1, row_elements, r0, rows, ctx);
  }
  return out;
}

bool ConvInt8::add_in_product(ConvInt8Path route, const int8_t* x, int8_t* y, const void* other,
                              TensorShape out) {
  const ElementwiseEpilogue::Form form = epilogue_.form();
  if (form.op != ElementwiseEpilogue::Form::kAddI8Q12 || route != ConvInt8Path::General || groups_ >= 2)
    return false;
  // The input is the product's left matrix as it stands.
  if (kH_ != 1 || kW_ != 1 || stride_h_ != 1 || stride_w_ != 1 || pad_h_ != 0 || pad_w_ != 0) return false;
  // Every element in a complete group of 16, so every one takes the Q12 formula.
  if (element_count(out) % 16 != 0) return false;
  const KernelDrivers* drivers = kernel_drivers_for(require_backend());
  if (!drivers || !drivers->gemm_i8_add) return false;
  prepare_for(*drivers);  // only after the tier changed since load
  const bool own_first = epilogue_.own_operand == 0;
  const ResidualAddI8 residual{static_cast<const int8_t*>(other), own_first ? form.weight_a : form.weight_b,
                               own_first ? form.weight_b : form.weight_a, form.q12_bias};
  drivers->gemm_i8_add(x, general_packed(), &prepared_, eff_bias_.data(), mult_.data(), shift_.data(),
                       out_zp_, y, out.h * out.w, C_in_, C_out_, residual);
  return true;
}

bool ConvInt8::fuse_epilogue(const ElementwiseEpilogue* epilogue, int own_operand) {
  return epilogue_.set(epilogue, own_operand);
}

void ConvInt8::compute(ConvInt8Path route, const int8_t* x, int H, int W, int8_t* y, ExecContext* ctx) {
  const BackendDescriptor& backend = require_backend();
  void* stream = stream_of(ctx);
  void* scratch0 = ctx ? ctx->scratch[0].data : nullptr;
  const KernelTable& k = backend.kernels;
  // The depthwise and grouped paths have no slot: a host backend other than the CPU's runs the
  // CPU's kernels for them.
  const KernelDrivers* drivers = kernel_drivers_for(backend);
  switch (route) {
    case ConvInt8Path::Winograd:
      require_kernel(k.conv2d_i8_winograd, "conv2d_i8_winograd")(
          x, winograd_ptrs_.data(), winograd_row_sum_ptrs_.data(), winograd_scales_.data(),
          winograd_bias_.data(), mult_.data(), shift_.data(), req_scale_.data(), in_zp_,
          kWinogradI8InputScale, out_zp_, y, C_in_, H, W, C_out_, scratch0, ctx->scratch[1].data, stream);
      break;
    case ConvInt8Path::General:
    case ConvInt8Path::Device: {
      if (!drivers || !drivers->conv2d_i8 || groups_ >= 2) restore_packed();  // another backend since load
      const int8_t* packed = general_packed();
      if (groups_ >= 2) packed = nullptr;  // a device packs its grouped weights itself
      if (drivers && drivers->conv2d_i8 && groups_ < 2) {
        prepare_for(*drivers);  // only after the tier changed since load
        if (direct_ready(*drivers, H, W)) {
          drivers->conv2d_i8_direct(x, direct_, in_zp_, y, C_in_, H, W, C_out_, kH_, kW_, stride_h_,
                                    stride_w_, pad_h_, pad_w_, scratch0);
          break;
        }
        drivers->conv2d_i8(x, weights_.data(), packed, &prepared_, eff_bias_.data(), mult_.data(),
                           shift_.data(), in_zp_, out_zp_, y, C_in_, H, W, C_out_, kH_, kW_, stride_h_,
                           stride_w_, pad_h_, pad_w_, 1, scratch0, true, row_sums_.data());
        break;
      }
      require_kernel(k.conv2d_i8, "conv2d_i8")(
          x, weights_.data(), packed, eff_bias_.data(), mult_.data(), shift_.data(), in_zp_, out_zp_, y,
          C_in_, H, W, C_out_, kH_, kW_, stride_h_, stride_w_, pad_h_, pad_w_, std::max(groups_, 1), scratch0,
          true, row_sums_.data(), stream);
      break;
    }
    case ConvInt8Path::Depthwise:
      (drivers ? *drivers : cpu_kernel_drivers())
          .depthwise_i8_3x3(x, depthwise_weights_.data(), depthwise_bias_.data(), mult_.data(), shift_.data(),
                            in_zp_, out_zp_, y, C_in_, H, W, stride_h_);
      break;
    case ConvInt8Path::Planar:
      (drivers ? *drivers : cpu_kernel_drivers())
          .conv2d_i8_grouped(x, weights_.data(), group_packed_.data(), eff_bias_.data(), mult_.data(),
                             shift_.data(), in_zp_, out_zp_, y, C_in_, H, W, C_out_, kH_, kW_, stride_h_,
                             stride_w_, pad_h_, pad_w_, groups_, scratch0, row_sums_.data());
      break;
  }
}

void ConvInt8::upload_weights(Allocator* allocator) {
  if (!allocator || !allocator->is_device()) return;  // host kernels read the packed forms in place
  device_weights_.clear();
  restore_packed();
  auto upload = [&](const ConvPackedI8& p) {
    if (!p.get() || p.bytes() == 0) return;
    Buffer b = allocator->make_buffer(p.bytes());
    allocator->copy_to_device(b.data, p.get(), p.bytes());
    device_weights_.push_back(std::move(b));
  };
  upload(packed_);
  upload(patch_packed_);
  for (const ConvPackedI8& p : winograd_packed_) upload(p);
}

std::unique_ptr<ILayer> make_conv_int8_layer(OpType op, const JsonValue& node) {
  if (op != OpType::ConvInt8) return nullptr;
  return std::make_unique<ConvInt8>(node);
}

}  // namespace trevalon
