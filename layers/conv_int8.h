// ConvInt8: the quantised 2-D convolution of image models ("conv_int8", alias "conv"). Declared
// here so that tests can ask which computation path a shape takes.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "arch/json.h"
#include "kernels/kernel_drivers.h"
#include "kernels/packed_weights.h"
#include "kernels/prepared_weights.h"
#include "layers/conv_epilogue.h"
#include "layers/layer.h"

namespace trevalon {

enum class ConvInt8Path { Winograd, General, Depthwise, Planar, Device };

// Packed int8 weights owned by a layer, with the size the upload step copies.
using ConvPackedI8 = PackedWeights<int8_t>;

class ConvInt8 final : public ILayer {
 public:
  explicit ConvInt8(const JsonValue& node);

  void load_weights(WeightGetter& get) override;
  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext* ctx) override;
  bool output_is_int8() const override { return true; }
  TensorShape output_shape(TensorShape input) const override;
  void scratch_sizes(TensorShape input, uint64_t sizes[kScratchBuffers]) const override;
  void upload_weights(Allocator* allocator) override;
  void release_scratch() override;
  bool fuse_epilogue(const ElementwiseEpilogue* epilogue, int own_operand) override;

  // The path forward takes on the active backend.
  ConvInt8Path path() const;

 private:
  // A 1x1 convolution and the quantised addition fused into it in one product, on tiers that have
  // one and when every output element takes the addition's Q12 formula; false otherwise.
  bool add_in_product(ConvInt8Path route, const int8_t* x, int8_t* y, const void* other, TensorShape out);
  // The convolution of an H x W image into y along `route`.
  void compute(ConvInt8Path route, const int8_t* x, int H, int W, int8_t* y, ExecContext* ctx);
  bool winograd_shape() const;
  void check_parameters() const;
  ConvPackedI8 pack(const int8_t* w, int rows, int cols) const;
  void prepare_winograd(const BackendDescriptor& backend);
  void prepare_depthwise();
  void prepare_groups();
  // packed_ and patch_packed_ from the stored weights, when a tier that read its own copy dropped them.
  void restore_packed();
  // The general path's packed weights in the form `drivers`' tier reads; a no-op once done for it.
  void prepare_for(const KernelDrivers& drivers);
  const int8_t* general_packed() const { return patch_packed_.get() ? patch_packed_.get() : packed_.get(); }
  // Whether the general route runs the tier's direct kernel on an image of h x w pixels.
  bool direct_ready(const KernelDrivers& drivers, int h, int w) const;
  // Bytes of scratch buffers 0 and 1 for an input of c channels and h x w pixels.
  void scratch_needs(int c, int h, int w, uint64_t& bytes0, uint64_t& bytes1) const;

  int C_out_, C_in_, kH_, kW_, stride_h_, stride_w_, pad_h_, pad_w_, groups_;
  int8_t in_zp_, out_zp_;
  int64_t K_;  // (C_in / groups) x kH x kW

  std::vector<int8_t> weights_;  // C_out x K, stored order
  std::vector<float> req_scale_;
  std::vector<int64_t> eff_bias_;
  std::vector<int32_t> mult_, shift_, row_sums_;
  ConvPackedI8 packed_;               // stored order
  ConvPackedI8 patch_packed_;         // (kernel row, kernel column, input channel) order; kernels above 1x1
  std::vector<int8_t> group_packed_;  // each group's rows packed on their own, for the planar path
  PreparedWeightsI8 prepared_;        // general_packed() as the tier's kernels read it
  PreparedWeightsI8 direct_;          // the tier's direct form for few input channels, if it has one

  bool winograd_ready_ = false;
  std::array<ConvPackedI8, 16> winograd_packed_;
  std::array<const int8_t*, 16> winograd_ptrs_{};
  std::array<std::vector<int32_t>, 16> winograd_row_sums_;
  std::array<const int32_t*, 16> winograd_row_sum_ptrs_{};
  std::array<float, 16> winograd_scales_{};
  std::vector<int64_t> winograd_bias_;

  bool depthwise_ready_ = false;
  std::vector<int8_t> depthwise_weights_;  // 9 x C_out, tap-major
  std::vector<int32_t> depthwise_bias_;    // low 32 bits of eff_bias

  std::vector<Buffer> device_weights_;
  ConvEpilogue epilogue_;  // set when the model fused the consuming addition into this layer  // packed forms
                           // copied to a device allocator
};

}  // namespace trevalon
