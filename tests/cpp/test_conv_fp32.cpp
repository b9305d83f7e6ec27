// Float convolution: the patch path against a direct convolution (bit for bit, every tier), the
// Winograd path against the same reference to float rounding, and the layer's checks and messages.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "arch/json.h"
#include "test_support.h"
#include "kernel_tier_loop.h"
#include "backend/cpu_backend.h"
#include "kernels/conv_geometry.h"
#include "kernels/kernel_drivers.h"
#include "kernels/gemm_f32.h"
#include "layers/layer_factory.h"
#include "thread_counts.h"

namespace trevalon {
namespace {

using testing::bytes_of;
using testing::expect_error;
using testing::parse_node;
using testing::random_floats;

constexpr int kGuard = 16;
constexpr float kSentinel = -12345.5f;

struct ConvCase {
  int C, H, W, C_out, kH, kW, stride_h, stride_w, pad_h, pad_w, dil_h, dil_w;
  bool relu, bias;
};

std::string describe(const ConvCase& c) {
  char text[200];
  std::snprintf(text, sizeof text,
                "C=%d H=%d W=%d C_out=%d k=%dx%d stride=%dx%d pad=%dx%d dil=%dx%d relu=%d bias=%d", c.C, c.H,
                c.W, c.C_out, c.kH, c.kW, c.stride_h, c.stride_w, c.pad_h, c.pad_w, c.dil_h, c.dil_w, c.relu,
                c.bias);
  return text;
}

int out_size(int in, int k, int s, int p, int d) { return (in + 2 * p - d * (k - 1) - 1) / s + 1; }

// Direct convolution on channels-fastest data with weights C_out x C x kH x kW: one fused
// multiply-add per tap in (kernel row, kernel column, channel) order, bias after, then ReLU; taps
// outside the input are skipped. `magnitude` receives sum |x w| + |b| per output, which bounds the
// rounding of any other summation order.
std::vector<float> direct_conv(const ConvCase& c, const std::vector<float>& x, const std::vector<float>& w,
                               const std::vector<float>& b, std::vector<double>* magnitude = nullptr) {
  const int oh = out_size(c.H, c.kH, c.stride_h, c.pad_h, c.dil_h);
  const int ow = out_size(c.W, c.kW, c.stride_w, c.pad_w, c.dil_w);
  std::vector<float> y(size_t(oh) * ow * c.C_out);
  if (magnitude) magnitude->assign(y.size(), 0.0);
  for (int oy = 0; oy < oh; ++oy)
    for (int ox = 0; ox < ow; ++ox)
      for (int o = 0; o < c.C_out; ++o) {
        float acc = 0.0f;
        double mag = 0.0;
        for (int ky = 0; ky < c.kH; ++ky)
          for (int kx = 0; kx < c.kW; ++kx) {
            const int iy = oy * c.stride_h + ky * c.dil_h - c.pad_h;
            const int ix = ox * c.stride_w + kx * c.dil_w - c.pad_w;
            if (iy < 0 || iy >= c.H || ix < 0 || ix >= c.W) continue;
            for (int ch = 0; ch < c.C; ++ch) {
              const float xv = x[(size_t(iy) * c.W + ix) * c.C + ch];
              const float wv = w[((size_t(o) * c.C + ch) * c.kH + ky) * c.kW + kx];
              acc = std::fma(xv, wv, acc);
              mag += std::fabs(double(xv) * wv);
            }
          }
        float v = acc + (b.empty() ? 0.0f : b[o]);
        if (c.relu) v = v > 0.0f ? v : 0.0f;
        const size_t at = (size_t(oy) * ow + ox) * c.C_out + o;
        y[at] = v;
        if (magnitude) (*magnitude)[at] = mag + (b.empty() ? 0.0 : std::fabs(b[o]));
      }
  return y;
}

std::string conv_node_json(const ConvCase& c, int groups = 1) {
  char text[400];
  std::snprintf(text, sizeof text,
                R"({"C_out": %d, "C_in": %d, "kH": %d, "kW": %d, "stride_h": %d, "stride_w": %d,
                    "pad_h": %d, "pad_w": %d, "groups": %d, "dilation_h": %d, "dilation_w": %d})",
                c.C_out, c.C, c.kH, c.kW, c.stride_h, c.stride_w, c.pad_h, c.pad_w, groups, c.dil_h, c.dil_w);
  return text;
}

using TensorMap = std::map<std::string, std::vector<float>>;

WeightGetter getter_for(const TensorMap& tensors) {
  return [&tensors](const std::string& name, std::vector<int32_t>& shape, std::vector<uint8_t>& bytes) {
    auto it = tensors.find(name);
    if (it == tensors.end()) return false;
    shape = {int32_t(it->second.size())};
    bytes.resize(it->second.size() * sizeof(float));
    if (!bytes.empty()) std::memcpy(bytes.data(), it->second.data(), bytes.size());
    return true;
  };
}

std::unique_ptr<ILayer> make_conv(const ConvCase& c, const TensorMap& tensors, int groups = 1,
                                  const std::string& name = "conv") {
  const JsonValue node = parse_node(conv_node_json(c, groups));
  auto layer = create_layer(OpType::ConvFp32, node);
  if (!layer) throw std::runtime_error("no conv_fp32 layer");
  layer->name = name;
  layer->relu = c.relu;
  WeightGetter get = getter_for(tensors);
  layer->load_weights(get);
  return layer;
}

// Runs the layer on a channels-fastest input; the output vector carries kGuard sentinels after the
// produced values. `scratch` (optional) becomes shared scratch buffer 2.
TensorShape run(ILayer& layer, const std::vector<float>& x, TensorShape in, std::vector<float>& out,
                std::vector<float>* scratch = nullptr) {
  const TensorShape planned = layer.output_shape(in);
  out.assign(element_count(planned) + kGuard, kSentinel);
  TensorRef ref{};
  ref.view = BufferView{const_cast<float*>(x.data()), 0, x.size() * sizeof(float)};
  ref.shape = in;
  ExecContext ctx{};
  if (scratch) ctx.scratch[2] = BufferView{scratch->data(), 0, scratch->size() * sizeof(float)};
  return layer.forward(&ref, 1, BufferView{out.data(), 0, out.size() * sizeof(float)}, &ctx);
}

void expect_guard(const std::vector<float>& out, size_t produced) {
  for (size_t i = produced; i < out.size(); ++i) ASSERT_EQ(out[i], kSentinel) << "overrun at " << i;
}

// ---- slot 11: the patch path -------------------------------------------------------------------

const ConvCase kPatchCases[] = {
    {3, 4, 4, 5, 3, 3, 2, 2, 1, 1, 1, 1, false, true},      // 3x3 stride 2 on 4x4: 2x2, border zeros
    {4, 5, 5, 8, 3, 3, 1, 1, 1, 1, 2, 2, true, true},       // dilation 2
    {7, 6, 5, 9, 1, 1, 1, 1, 0, 0, 1, 1, false, true},      // 1x1 fast case, C_out tail
    {6, 7, 7, 4, 1, 1, 2, 2, 0, 0, 1, 1, true, false},      // 1x1 stride 2 gathers
    {3, 17, 15, 6, 7, 7, 2, 2, 3, 3, 1, 1, true, true},     // stem-like 7x7 stride 2
    {5, 9, 11, 17, 3, 2, 1, 3, 0, 1, 1, 2, false, false},   // rectangular kernel, mixed strides
    {2, 3, 3, 3, 3, 3, 1, 1, 0, 0, 1, 1, true, true},       // single output pixel
    {33, 12, 10, 12, 3, 3, 1, 1, 1, 1, 1, 1, false, true},  // Winograd shape through slot 11
    {16, 40, 40, 20, 3, 3, 1, 1, 1, 1, 1, 1, true, true},   // tall product in several row blocks
    {512, 10, 15, 5, 3, 3, 1, 1, 1, 1, 1, 1, false, true},  // short product in several row blocks
    {5, 20, 18, 7, 3, 3, 1, 1, 2, 2, 2, 2, true, true},     // tall, dilated: one run per tap
    {6, 30, 33, 9, 3, 2, 1, 3, 0, 1, 1, 2, false, false},   // tall, rectangular, mixed strides
    {3, 40, 38, 8, 7, 7, 2, 2, 3, 3, 1, 1, true, true},     // tall stem: rows crossing each border
    {32, 66, 66, 70, 3, 3, 2, 2, 1, 1, 1, 1, true, true},   // tall, rows of A over L2: passes, k blocks
};

TEST(ConvFp32Kernel, PatchPathEqualsDirectConvolutionBitForBit) {
  std::mt19937 rng(11);
  for (const ConvCase& c : kPatchCases) {
    SCOPED_TRACE(describe(c));
    const auto x = random_floats(size_t(c.H) * c.W * c.C, rng);
    const auto w = random_floats(size_t(c.C_out) * c.C * c.kH * c.kW, rng);
    const auto b = c.bias ? random_floats(c.C_out, rng) : std::vector<float>{};
    const auto expected = direct_conv(c, x, w, b);
    const int K = c.C * c.kH * c.kW;
    const auto reordered = to_patch_order(w.data(), c.C_out, c.C, c.kH * c.kW);
    float* packed = pack_weights_f32(reordered.data(), c.C_out, K);
    std::vector<float> scratch(expected.size() / c.C_out * K + kGuard);

    testing::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
      // Packed weights with the caller's scratch, then no packed weights and no scratch.
      for (int variant = 0; variant < 2; ++variant) {
        SCOPED_TRACE(variant == 0 ? "packed, scratch" : "unpacked, per-thread buffer");
        std::vector<float> out(expected.size() + kGuard, kSentinel);
        t.conv2d_f32(x.data(), w.data(), c.bias ? b.data() : nullptr, out.data(), c.C, c.H, c.W, c.C_out,
                     c.kH, c.kW, c.stride_h, c.stride_w, c.pad_h, c.pad_w, c.relu,
                     variant == 0 ? packed : nullptr, variant == 0 ? scratch.data() : nullptr, c.dil_h,
                     c.dil_w, nullptr);
        for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(out[i], expected[i]) << "at " << i;
        expect_guard(out, expected.size());
      }
    });
    free_packed_f32(packed);
  }
}

// Border taps read zeros: all-ones 4x4 image and 3x3 kernel, stride 2, padding 1.
TEST(ConvFp32Kernel, StrideTwoBorderTapsCountOnlyInsidePixels) {
  const std::vector<float> x(16, 1.0f), w(9, 1.0f);
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
    std::vector<float> out(4 + kGuard, kSentinel);
    t.conv2d_f32(x.data(), w.data(), nullptr, out.data(), 1, 4, 4, 1, 3, 3, 2, 2, 1, 1, false, nullptr,
                 nullptr, 1, 1, nullptr);
    EXPECT_EQ(out[0], 4.0f);
    EXPECT_EQ(out[1], 6.0f);
    EXPECT_EQ(out[2], 6.0f);
    EXPECT_EQ(out[3], 9.0f);
    expect_guard(out, 4);
  });
}

// ---- slot 12 through the layer: Winograd against the direct convolution ------------------------

TEST(ConvFp32Layer, WinogradMatchesDirectConvolutionAndIsTheSameInEveryTier) {
  const ConvCase cases[] = {
      {4, 5, 5, 6, 3, 3, 1, 1, 1, 1, 1, 1, false, true},   // 3x3 tiles, last row/column partial
      {1, 1, 1, 1, 3, 3, 1, 1, 1, 1, 1, 1, false, false},  // a single pixel
      {3, 2, 7, 5, 3, 3, 1, 1, 1, 1, 1, 1, true, true},
      {17, 8, 6, 20, 3, 3, 1, 1, 1, 1, 1, 1, true, false},  // channel tails in every vector width
      {40, 13, 11, 33, 3, 3, 1, 1, 1, 1, 1, 1, false, true},
      {64, 30, 30, 64, 3, 3, 1, 1, 1, 1, 1, 1, true, true},  // several tile blocks
  };
  std::mt19937 rng(5);
  for (const ConvCase& c : cases) {
    SCOPED_TRACE(describe(c));
    const auto x = random_floats(size_t(c.H) * c.W * c.C, rng);
    const auto w = random_floats(size_t(c.C_out) * c.C * 9, rng);
    TensorMap tensors{{"conv.weight", w}};
    if (c.bias) tensors["conv.bias"] = random_floats(c.C_out, rng);
    std::vector<double> magnitude;
    const auto expected =
        direct_conv(c, x, w, c.bias ? tensors["conv.bias"] : std::vector<float>{}, &magnitude);
    std::vector<float> first;
    testing::for_each_cpu_tier([&](CpuTier tier, const KernelTable&) {
      auto layer = make_conv(c, tensors);
      std::vector<float> out;
      const TensorShape shape = run(*layer, x, TensorShape{c.C, c.H, c.W}, out);
      EXPECT_EQ(shape, (TensorShape{c.C_out, c.H, c.W}));
      // Winograd F(2x2, 3x3) reorders the sum through transforms with coefficients up to 2 (input)
      // and 0.5 (weights); 1e-5 of the absolute sum covers that rounding with margin.
      for (size_t i = 0; i < expected.size(); ++i)
        ASSERT_NEAR(out[i], expected[i], 1e-5 * magnitude[i] + 1e-6) << "at " << i;
      expect_guard(out, expected.size());
      if (tier == CpuTier::Portable)
        first.assign(out.begin(), out.begin() + expected.size());
      else
        for (size_t i = 0; i < expected.size(); ++i)
          ASSERT_EQ(out[i], first[i]) << "tier differs from portable at " << i;
    });
  }
}

// Wide layers on a small image: the products outgrow the cache and run in blocks of tiles on the
// weight panels; every tier must still give the portable bits.
TEST(ConvFp32Layer, BlockedWinogradIsTheSameInEveryTier) {
  const ConvCase c{520, 8, 16, 520, 3, 3, 1, 1, 1, 1, 1, 1, true, true};
  std::mt19937 rng(21);
  const auto x = random_floats(size_t(c.H) * c.W * c.C, rng);
  TensorMap tensors{{"conv.weight", random_floats(size_t(c.C_out) * c.C * 9, rng)},
                    {"conv.bias", random_floats(c.C_out, rng)}};
  const size_t produced = size_t(c.H) * c.W * c.C_out;
  std::vector<float> first;
  testing::for_each_cpu_tier([&](CpuTier tier, const KernelTable&) {
    auto layer = make_conv(c, tensors);
    std::vector<float> out;
    run(*layer, x, TensorShape{c.C, c.H, c.W}, out);
    expect_guard(out, produced);
    if (tier == CpuTier::Portable)
      first.assign(out.begin(), out.begin() + produced);
    else
      for (size_t i = 0; i < produced; ++i) ASSERT_EQ(out[i], first[i]) << "tier differs at " << i;
  });
  ASSERT_EQ(first.size(), produced);
}

// Dilation 2 leaves the Winograd condition: the result is the patch path's, equal to the direct
// convolution bit for bit (the Winograd sums would differ in the last bits).
TEST(ConvFp32Layer, DilationTakesThePatchPath) {
  const ConvCase c{8, 9, 9, 8, 3, 3, 1, 1, 1, 1, 2, 2, false, true};
  std::mt19937 rng(3);
  const auto x = random_floats(size_t(c.H) * c.W * c.C, rng);
  TensorMap tensors{{"conv.weight", random_floats(size_t(c.C_out) * c.C * 9, rng)},
                    {"conv.bias", random_floats(c.C_out, rng)}};
  const auto expected = direct_conv(c, x, tensors["conv.weight"], tensors["conv.bias"]);
  auto layer = make_conv(c, tensors);
  std::vector<float> out;
  EXPECT_EQ(run(*layer, x, TensorShape{c.C, c.H, c.W}, out), (TensorShape{c.C_out, 7, 7}));
  for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(out[i], expected[i]) << "at " << i;
  expect_guard(out, expected.size());
}

// A 1x1 stride-1 kernel multiplies the image itself and leaves the patch scratch untouched; a 1x1
// stride-2 kernel needs patches and writes them there.
TEST(ConvFp32Layer, PointwiseReadsTheInputDirectly) {
  std::mt19937 rng(9);
  for (int stride : {1, 2}) {
    SCOPED_TRACE("stride " + std::to_string(stride));
    const ConvCase c{6, 4, 4, 5, 1, 1, stride, stride, 0, 0, 1, 1, false, true};
    const auto x = random_floats(16 * 6, rng);
    TensorMap tensors{{"conv.weight", random_floats(5 * 6, rng)}, {"conv.bias", random_floats(5, rng)}};
    auto layer = make_conv(c, tensors);
    uint64_t sizes[kScratchBuffers] = {};
    layer->scratch_sizes(TensorShape{6, 4, 4}, sizes);
    std::vector<float> scratch(sizes[2] / sizeof(float), kSentinel);
    std::vector<float> out;
    run(*layer, x, TensorShape{6, 4, 4}, out, &scratch);
    const auto expected = direct_conv(c, x, tensors["conv.weight"], tensors["conv.bias"]);
    for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(out[i], expected[i]) << "at " << i;
    const bool scratch_untouched = scratch[0] == kSentinel;
    EXPECT_EQ(scratch_untouched, stride == 1);
  }
}

TEST(ConvFp32Layer, ScratchRequestIsThePatchMatrix) {
  const ConvCase c{5, 0, 0, 7, 3, 3, 2, 2, 1, 1, 1, 1, false, false};
  auto layer = make_conv(c, TensorMap{});
  uint64_t sizes[kScratchBuffers] = {1, 2, 3, 4, 5, 6, 7, 8};
  layer->scratch_sizes(TensorShape{5, 9, 8}, sizes);  // out 5 x 4
  EXPECT_EQ(sizes[2], uint64_t(5 * 3 * 3 * 5 * 4 * 4));
  for (int k : {0, 1, 3, 4, 5, 6, 7}) EXPECT_EQ(sizes[k], uint64_t(k + 1));
  uint64_t large[kScratchBuffers] = {0, 0, 1u << 30};
  layer->scratch_sizes(TensorShape{5, 9, 8}, large);
  EXPECT_EQ(large[2], uint64_t(1u << 30));  // only raised, never lowered
  // Zero rows: padding still gives a 1 x 4 output, whose patches are zeros.
  uint64_t padded[kScratchBuffers] = {};
  layer->scratch_sizes(TensorShape{5, 0, 8}, padded);
  EXPECT_EQ(padded[2], uint64_t(5 * 3 * 3 * 1 * 4 * 4));
  uint64_t empty[kScratchBuffers] = {};
  layer->scratch_sizes(TensorShape{0, 9, 8}, empty);
  EXPECT_EQ(empty[2], 0u);
  EXPECT_EQ(layer->output_shape(TensorShape{5, 9, 8}), (TensorShape{7, 5, 4}));
}

// Shapes at the edge of the rule: a kernel wider than the unpadded image, and images of zero rows
// or columns that padding still gives output pixels (bias only, then ReLU). Every output pixel is
// written, on every tier, with the input buffer empty where the image is.
TEST(ConvFp32Layer, DegenerateShapesWriteEveryOutputPixel) {
  const ConvCase cases[] = {
      {3, 2, 2, 5, 3, 3, 2, 2, 0, 0, 1, 1, false, true},      // 3x3 stride 2 on 2x2: 1x1
      {4, 2, 3, 6, 3, 5, 3, 3, 0, 0, 1, 1, true, true},       // 3x5 stride 3 on 2x3: 1x1
      {4, 0, 5, 6, 3, 3, 1, 1, 2, 1, 1, 1, false, true},      // no rows, padding 2: 2 x 5
      {3, 4, 0, 7, 3, 3, 2, 2, 1, 1, 1, 1, true, true},       // no columns, stride 2: 2 x 1
      {6, 0, 5, 4, 1, 1, 2, 2, 0, 0, 1, 1, false, true},      // 1x1 stride 2: (0 - 1) / 2 + 1 = 1 row
      {2, 0, 3, 3, 3, 3, 1, 1, 3, 3, 2, 2, false, false},     // dilated, no bias: zeros
      {8, 0, 600, 16, 3, 3, 1, 1, 2, 1, 1, 1, true, true},    // a tall product of padding only
      {8, 1200, 2, 16, 3, 3, 1, 2, 1, 0, 1, 1, false, true},  // tall, kernel wider than every row
  };
  std::mt19937 rng(17);
  for (const ConvCase& c : cases) {
    SCOPED_TRACE(describe(c));
    const auto x = random_floats(size_t(c.H) * c.W * c.C, rng);
    TensorMap tensors{{"conv.weight", random_floats(size_t(c.C_out) * c.C * c.kH * c.kW, rng)}};
    if (c.bias) tensors["conv.bias"] = random_floats(c.C_out, rng);
    const auto expected =
        direct_conv(c, x, tensors["conv.weight"], c.bias ? tensors["conv.bias"] : std::vector<float>{});
    ASSERT_FALSE(expected.empty());
    testing::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
      auto layer = make_conv(c, tensors);
      uint64_t sizes[kScratchBuffers] = {};
      layer->scratch_sizes(TensorShape{c.C, c.H, c.W}, sizes);
      std::vector<float> scratch(sizes[2] / sizeof(float)), out;
      const TensorShape shape = run(*layer, x, TensorShape{c.C, c.H, c.W}, out, &scratch);
      EXPECT_EQ(element_count(shape), expected.size());
      for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(out[i], expected[i]) << "at " << i;
      expect_guard(out, expected.size());
    });
  }
}

// ---- a fused residual addition ----------------------------------------------------------------

// Rows not a multiple of the 6-row tile, channels not a multiple of 16 or 64; k in blocks (under 72
// rows and K > 160; at most 16 rows and K > 120) and whole; the strided tall product on patch runs,
// the short one on gathered patches, and the Winograd shape (its addition runs after the product).
const ConvCase kResidualCases[] = {
    {200, 5, 7, 70, 1, 1, 1, 1, 0, 0, 1, 1, false, true},    // 35 rows, K in two blocks
    {300, 3, 5, 130, 1, 1, 1, 1, 0, 0, 1, 1, false, true},   // 15 rows, K in blocks of at most 96
    {24, 13, 11, 100, 1, 1, 1, 1, 0, 0, 1, 1, false, true},  // 143 rows, K whole
    {64, 40, 41, 48, 1, 1, 1, 1, 0, 0, 1, 1, false, false},  // 1640 rows, no bias
    {32, 21, 19, 40, 1, 1, 2, 2, 0, 0, 1, 1, false, true},   // 1x1 stride 2
    {20, 9, 9, 33, 3, 3, 2, 2, 1, 1, 1, 1, false, true},     // 3x3 stride 2, 25 rows
    {8, 7, 9, 20, 3, 3, 1, 1, 1, 1, 1, 1, false, true},      // Winograd
};

// A convolution finishing its output with the addition that consumes it gives the bytes of the
// two layers run apart on the portable tier, on every tier and at one to four threads: each ReLU on
// and off, the convolution's output either operand. A NaN input pixel makes NaN sums, which the
// addition's ReLU passes where the convolution's own ReLU clears them.
TEST(ConvFp32Layer, FusedResidualAdditionHasTheBytesOfTheTwoLayersApart) {
  std::mt19937 rng(13);
  for (ConvCase c : kResidualCases) {
    const TensorShape in{c.C, c.H, c.W};
    const TensorShape out_shape{c.C_out, out_size(c.H, c.kH, c.stride_h, c.pad_h, c.dil_h),
                                out_size(c.W, c.kW, c.stride_w, c.pad_w, c.dil_w)};
    const size_t produced = element_count(out_shape);
    auto x = random_floats(element_count(in), rng);
    x[1] = std::numeric_limits<float>::quiet_NaN();  // in the first output pixel's patch
    const auto other = random_floats(produced, rng, -2.0f, 2.0f);
    TensorMap tensors{{"conv.weight", random_floats(size_t(c.C_out) * c.C * c.kH * c.kW, rng)}};
    if (c.bias) tensors["conv.bias"] = random_floats(size_t(c.C_out), rng);
    auto view = [](const std::vector<float>& v) {
      return BufferView{const_cast<float*>(v.data()), 0, v.size() * sizeof(float)};
    };
    for (bool conv_relu : {false, true})
      for (bool add_relu : {false, true})
        for (int own : {0, 1}) {
          c.relu = conv_relu;
          SCOPED_TRACE(describe(c) + " add_relu=" + std::to_string(add_relu) + " own=" + std::to_string(own));
          auto add = create_layer(OpType::AddFp32, parse_node("{}"));
          add->relu = add_relu;
          const auto* epilogue = dynamic_cast<const ElementwiseEpilogue*>(add.get());
          ASSERT_NE(epilogue, nullptr);
          std::vector<float> want;  // from the portable tier, the first
          testing::for_each_cpu_tier([&](CpuTier tier, const KernelTable& table) {
            auto conv = make_conv(c, tensors);
            std::vector<float> apart, sum(produced + kGuard, kSentinel);
            run(*conv, x, in, apart);
            TensorRef operands[2]{};
            operands[own] = TensorRef{view(apart), out_shape};
            operands[1 - own] = TensorRef{view(other), out_shape};
            add->forward(operands, 2, view(sum), nullptr);
            if (want.empty()) want = sum;
            EXPECT_EQ(std::memcmp(sum.data(), want.data(), want.size() * sizeof(float)), 0) << "apart";

            auto fused = make_conv(c, tensors);
            ASSERT_TRUE(fused->fuse_epilogue(epilogue, own));
            uint64_t sizes[kScratchBuffers] = {};
            fused->scratch_sizes(in, sizes);
            std::vector<float> scratch(sizes[2] / sizeof(float));
            testing::expect_same_bytes_at_thread_counts(
                [&] {
                  std::vector<float> y(produced + kGuard, kSentinel);
                  TensorRef inputs[2]{TensorRef{view(x), in}, TensorRef{view(other), out_shape}};
                  ExecContext ctx{};
                  ctx.scratch[2] = view(scratch);
                  fused->forward(inputs, 2, view(y), &ctx);
                  EXPECT_EQ(std::memcmp(y.data(), want.data(), want.size() * sizeof(float)), 0) << "fused";
                  expect_guard(y, produced);
                  return y;
                },
                "fused");

            // The tier's entry on the 4-row panels alone regroups them for the call (a direct
            // product: not for the Winograd shape, whose layer rounds otherwise).
            const KernelDrivers* drivers = kernel_drivers_for(cpu_backend_descriptor());
            ASSERT_NE(drivers, nullptr);
            EXPECT_EQ(drivers->conv2d_f32_add != nullptr, tier >= CpuTier::Avx512);
            const bool winograd =
                c.kH == 3 && c.kW == 3 && c.stride_h == 1 && c.stride_w == 1 && c.pad_h == 1;
            if (!drivers->conv2d_f32_add || winograd) return;
            const auto patch_order =
                to_patch_order(tensors.at("conv.weight").data(), c.C_out, c.C, c.kH * c.kW);
            float* panels = table.pack_weights_f32(patch_order.data(), c.C_out, c.C * c.kH * c.kW);
            const float* bias = c.bias ? tensors.at("conv.bias").data() : nullptr;
            testing::expect_same_bytes_at_thread_counts(
                [&] {
                  std::vector<float> y(produced + kGuard, kSentinel);
                  drivers->conv2d_f32_add(x.data(), bias, y.data(), c.C, c.H, c.W, c.C_out, c.kH, c.kW,
                                          c.stride_h, c.stride_w, c.pad_h, c.pad_w, conv_relu, panels,
                                          nullptr, nullptr, c.dil_h, c.dil_w, other.data(), add_relu);
                  EXPECT_EQ(std::memcmp(y.data(), want.data(), want.size() * sizeof(float)), 0) << "panels";
                  expect_guard(y, produced);
                  return y;
                },
                "panels");
            table.free_packed_f32(panels);
          });
        }
  }
}

// ---- the layer's refusals ----------------------------------------------------------------------

TEST(ConvFp32Layer, RefusesWhatItCannotRunSafely) {
  const ConvCase c{4, 5, 5, 3, 3, 3, 1, 1, 1, 1, 1, 1, false, true};
  TensorMap tensors{{"c1.weight", std::vector<float>(3 * 4 * 9, 0.5f)}};
  std::vector<float> x(5 * 5 * 4, 1.0f), out;

  expect_error([&] { make_conv(c, tensors, 2, "c1"); }, "grouped float convolution is not supported: c1");
  // Weights for another architecture, too few or too many, fail at load naming both sizes; an
  // empty bias means none.
  expect_error(
      [&] {
        make_conv(c, TensorMap{{"c1.weight", std::vector<float>(3 * 4 * 9 - 1)}}, 1, "c1");
      },
      "weight c1.weight holds 107 elements, expected 108");
  expect_error(
      [&] {
        make_conv(c, TensorMap{{"c1.weight", std::vector<float>(10 * 4 * 9)}}, 1, "c1");
      },
      "weight c1.weight holds 360 elements, expected 108");
  expect_error(
      [&] {
        make_conv(c, TensorMap{{"c1.weight", std::vector<float>(108)}, {"c1.bias", std::vector<float>(2)}}, 1,
                  "c1");
      },
      "weight c1.bias holds 2 elements, expected 3");
  expect_error(
      [&] {
        make_conv(c, TensorMap{{"c1.weight", std::vector<float>(108)}, {"c1.bias", std::vector<float>(1000)}},
                  1, "c1");
      },
      "weight c1.bias holds 1000 elements, expected 3");
  make_conv(c, TensorMap{{"c1.weight", std::vector<float>(108)}, {"c1.bias", {}}}, 1, "c1");
  ConvCase no_channels = c;
  no_channels.C_out = 0;
  expect_error([&] { make_conv(no_channels, tensors, 1, "c1"); },
               "node 'c1': C_out and C_in must be positive");
  ConvCase zero_stride = c;
  zero_stride.stride_h = 0;
  expect_error([&] { make_conv(zero_stride, tensors, 1, "c1"); },
               "node 'c1': kernel, stride and dilation must be positive and padding non-negative");

  auto missing = make_conv(c, TensorMap{}, 1, "c1");
  expect_error([&] { run(*missing, x, TensorShape{4, 5, 5}, out); }, "missing weight tensor: c1.weight");

  auto layer = make_conv(c, tensors, 1, "c1");
  std::vector<float> wrong(5 * 5 * 3);
  expect_error(
      [&] {
        run(*layer, wrong, TensorShape{3, 5, 5}, out);
      },
      "node 'c1': input has 3 channels, expected 4");

  const ConvCase big{4, 2, 2, 3, 5, 5, 1, 1, 0, 0, 1, 1, false, false};
  auto too_big = make_conv(big, TensorMap{{"c1.weight", std::vector<float>(3 * 4 * 25)}}, 1, "c1");
  std::vector<float> small(2 * 2 * 4);
  expect_error(
      [&] {
        run(*too_big, small, TensorShape{4, 2, 2}, out);
      },
      "node 'c1': kernel larger than the padded input (2x2)");
  // An empty image gives an empty output without touching memory.
  EXPECT_EQ(run(*layer, x, TensorShape{4, 0, 5}, out), (TensorShape{3, 0, 5}));
}

}  // namespace
}  // namespace trevalon
