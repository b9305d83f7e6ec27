// ConvInt8 and its kernels against plain integer references written from the formulas: the general
// patch-matrix path, Winograd (bit-exact in its own transformed domain, close to the direct
// convolution), depthwise and planar grouped paths, on every kernel tier, plus the load and run
// errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "arch/json.h"
#include "test_support.h"
#include "backend/registry.h"
#include "kernel_tier_loop.h"
#include "thread_counts.h"
#include "kernels/conv2d_i8.h"
#include "kernels/conv2d_i8_direct.h"
#include "kernels/conv_geometry.h"
#include "kernels/depthwise_i8.h"
#include "kernels/requantize.h"
#include "kernels/winograd_i8.h"
#include "layers/conv_int8.h"
#include "layers/layer_factory.h"

namespace trevalon {
namespace {

using testing::bytes_of;
using testing::parse_node;

using Bytes = std::vector<uint8_t>;
constexpr int kGuard = 64;
constexpr int8_t kSentinel = 0x5A;

// ---- plain integer references ----------------------------------------------------------------

struct Requant {
  int32_t mult, shift;
};

// Q31 multiplier and exponent of a float scale: frexp, round half away from zero, 2^31 folds up.
Requant ref_multiplier(float scale) {
  if (scale == 0.0f) return {0, 0};
  int e = 0;
  const double f = std::frexp(double(scale), &e);
  const double q = std::round(f * 2147483648.0);
  if (q == 2147483648.0) return {1 << 30, e + 1};
  return {int32_t(q), e};
}

// acc + low 32 bits of bias, high multiply with one rounding, rounding shift, zero point, saturation.
int8_t ref_requantize(int64_t acc, int64_t bias, Requant q, int out_zp) {
  const int32_t v = int32_t(uint32_t(uint64_t(acc) + uint64_t(int64_t(int32_t(uint32_t(uint64_t(bias)))))));
  int32_t x = (v == INT32_MIN && q.mult == INT32_MIN)
                  ? INT32_MAX
                  : int32_t((int64_t(v) * q.mult + (int64_t(1) << 30)) >> 31);
  if (q.shift >= 0) {
    x = int32_t(uint32_t(x) << q.shift);
  } else {
    const int s = -q.shift;
    x = int32_t((int64_t(x) + (int64_t(1) << (s - 1))) >> s);
  }
  int64_t y = int64_t(x) + out_zp;
  y = std::clamp<int64_t>(y, -32768, 32767);
  return int8_t(std::clamp<int64_t>(y, -128, 127));
}

struct ConvSpec {
  int C_in, C_out, H, W, kH = 3, kW = 3, sh = 1, sw = 1, ph = 1, pw = 1, groups = 1, in_zp = 0, out_zp = 0;

  int out_h() const { return (H + 2 * ph - kH) / sh + 1; }
  int out_w() const { return (W + 2 * pw - kW) / sw + 1; }
  int group_in() const { return C_in / groups; }
  int K() const { return group_in() * kH * kW; }
  std::string json() const {
    auto kv = [](const char* k, int v) { return "\"" + std::string(k) + "\": " + std::to_string(v); };
    return "{" + kv("C_out", C_out) + ", " + kv("C_in", C_in) + ", " + kv("kH", kH) + ", " + kv("kW", kW) +
           ", " + kv("stride_h", sh) + ", " + kv("stride_w", sw) + ", " + kv("pad_h", ph) + ", " +
           kv("pad_w", pw) + ", " + kv("groups", groups) + ", " + kv("in_zp", in_zp) + ", " +
           kv("out_zp", out_zp) + "}";
  }
  std::string describe() const { return json() + " on " + std::to_string(H) + "x" + std::to_string(W); }
};

struct ConvData {
  std::vector<int8_t> weights, input;  // C_out x K stored order; H x W x C_in
  std::vector<float> req_scale;
  std::vector<int64_t> eff_bias;
};

// Full-range weights and inputs; scales that spread the outputs over the int8 range (a few
// saturate); biases that use their high 32 bits, which only the low half of reaches the sum.
ConvData random_data(const ConvSpec& s, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> byte(-128, 127);
  ConvData d;
  d.weights.resize(size_t(s.C_out) * s.K());
  for (auto& w : d.weights) w = int8_t(byte(rng));
  d.input.resize(size_t(s.H) * s.W * s.C_in);
  for (auto& x : d.input) x = int8_t(byte(rng));
  std::uniform_real_distribution<float> spread(0.3f, 1.6f);
  std::uniform_int_distribution<int64_t> bias(-200000, 200000);
  const float base = 0.009f / std::sqrt(float(s.K()));
  for (int o = 0; o < s.C_out; ++o) {
    d.req_scale.push_back(base * spread(rng));
    d.eff_bias.push_back(bias(rng) + (o % 3 == 0 ? (int64_t(o + 1) << 33) : 0));
  }
  return d;
}

int8_t tap(const ConvSpec& s, const std::vector<int8_t>& x, int y, int xx, int c) {
  if (y < 0 || y >= s.H || xx < 0 || xx >= s.W) return int8_t(s.in_zp);
  return x[(size_t(y) * s.W + xx) * s.C_in + c];
}

// Direct convolution: out[oy][ox][o] = requantise(sum of x * w over the group's taps + bias).
std::vector<int8_t> ref_conv(const ConvSpec& s, const ConvData& d) {
  std::vector<int8_t> out(size_t(s.out_h()) * s.out_w() * s.C_out);
  const int group_out = s.C_out / s.groups;
  for (int oy = 0; oy < s.out_h(); ++oy)
    for (int ox = 0; ox < s.out_w(); ++ox)
      for (int o = 0; o < s.C_out; ++o) {
        const int g = o / group_out;
        int64_t acc = 0;
        for (int ic = 0; ic < s.group_in(); ++ic)
          for (int ky = 0; ky < s.kH; ++ky)
            for (int kx = 0; kx < s.kW; ++kx) {
              const int8_t w = d.weights[((size_t(o) * s.group_in() + ic) * s.kH + ky) * s.kW + kx];
              acc += int64_t(w) *
                     tap(s, d.input, oy * s.sh - s.ph + ky, ox * s.sw - s.pw + kx, g * s.group_in() + ic);
            }
        out[(size_t(oy) * s.out_w() + ox) * s.C_out + o] =
            ref_requantize(acc, d.eff_bias[o], ref_multiplier(d.req_scale[o]), s.out_zp);
      }
  return out;
}

// ---- layer harness ------------------------------------------------------------------------------

using TensorMap = std::map<std::string, Bytes>;

TensorMap tensors_of(const ConvData& d, const std::string& name = "conv") {
  return {{name + ".weight", bytes_of(d.weights)},
          {name + ".req_scale", bytes_of(d.req_scale)},
          {name + ".eff_bias", bytes_of(d.eff_bias)}};
}

std::unique_ptr<ILayer> make_conv(const std::string& json, const TensorMap& tensors,
                                  const std::string& op = "conv_int8") {
  auto layer = create_layer(op_from_name(op), parse_node(json));
  if (!layer) throw std::runtime_error("no layer for " + op);
  layer->name = "conv";
  WeightGetter get = testing::getter_over(tensors);
  layer->load_weights(get);
  return layer;
}

ConvInt8Path path_of(const ILayer& layer) { return dynamic_cast<const ConvInt8&>(layer).path(); }

// One forward pass with scratch buffers of exactly the requested sizes; every buffer is followed
// by sentinels that must survive.
std::vector<int8_t> run_conv(ILayer& layer, TensorShape in, const std::vector<int8_t>& input) {
  uint64_t sizes[kScratchBuffers] = {};
  layer.scratch_sizes(in, sizes);
  std::vector<std::vector<int8_t>> scratch(kScratchBuffers);
  ExecContext ctx{};
  for (int k = 0; k < kScratchBuffers; ++k) {
    scratch[k].assign(sizes[k] + kGuard, kSentinel);
    ctx.scratch[k] = BufferView{sizes[k] ? scratch[k].data() : nullptr, 0, sizes[k]};
  }
  const TensorShape planned = layer.output_shape(in);
  const size_t count = element_count(planned);
  std::vector<int8_t> out(count + kGuard, kSentinel);
  TensorRef ref{};
  ref.view = BufferView{const_cast<int8_t*>(input.data()), 0, input.size()};
  ref.shape = in;
  const TensorShape got = layer.forward(&ref, 1, BufferView{out.data(), 0, count}, &ctx);
  EXPECT_EQ(got, planned);
  for (size_t i = count; i < out.size(); ++i)
    if (out[i] != kSentinel) {
      ADD_FAILURE() << "output overrun at " << i;
      break;
    }
  for (int k = 0; k < kScratchBuffers; ++k)
    for (uint64_t i = sizes[k]; i < scratch[k].size(); ++i)
      if (scratch[k][i] != kSentinel) {
        ADD_FAILURE() << "scratch " << k << " overrun at " << i;
        break;
      }
  out.resize(count);
  return out;
}

// Index and values of the first difference, for failure messages.
std::string first_difference(const std::vector<int8_t>& got, const std::vector<int8_t>& want) {
  if (got.size() != want.size())
    return "sizes " + std::to_string(got.size()) + " vs " + std::to_string(want.size());
  for (size_t i = 0; i < got.size(); ++i)
    if (got[i] != want[i])
      return "at " + std::to_string(i) + ": " + std::to_string(got[i]) + " vs " + std::to_string(want[i]);
  return "";
}

void expect_layer_matches(const ConvSpec& s, ConvInt8Path path, const std::vector<int8_t>& want,
                          const ConvData& d, const std::string& op = "conv_int8") {
  SCOPED_TRACE(s.describe());
  auto layer = make_conv(s.json(), tensors_of(d), op);
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
    EXPECT_EQ(path_of(*layer), path);
    const auto got = run_conv(*layer, TensorShape{s.C_in, s.H, s.W}, d.input);
    EXPECT_EQ(first_difference(got, want), "");
  });
}

// ---- general path -------------------------------------------------------------------------------

TEST(ConvInt8, GeneralPathMatchesDirectConvolution) {
  // {C_in, C_out, H, W, kH, kW, sh, sw, ph, pw, groups, in_zp, out_zp}
  const ConvSpec cases[] = {
      {13, 19, 5, 7, 1, 1, 1, 1, 0, 0, 1, -7, 3},      // 1x1: the input is the patch matrix
      {16, 24, 7, 9, 1, 1, 2, 1, 0, 0, 1, 5, -4},      // 1x1, stride_h 2
      {9, 10, 8, 11, 1, 1, 2, 3, 0, 0, 1, -128, 127},  // 1x1, stride_h 2 with stride_w 3
      {6, 9, 4, 5, 1, 1, 1, 1, 1, 1, 1, 11, 0},        // 1x1 with padding: general gatherer
      {17, 9, 9, 11, 3, 3, 2, 2, 1, 1, 1, -3, 9},      // 3x3 stride 2 padding 1
      {8, 16, 6, 7, 3, 3, 1, 1, 0, 0, 1, 21, -2},      // 3x3 without padding: not Winograd
      {5, 7, 7, 8, 3, 3, 1, 2, 1, 1, 1, 0, 1},         // 3x3 mixed strides
      {5, 11, 8, 7, 5, 3, 2, 1, 2, 0, 1, -60, 5},      // 5x3
      {3, 8, 15, 13, 7, 7, 2, 2, 3, 3, 1, 0, -128},    // 7x7 stem
      {12, 20, 6, 6, 2, 2, 2, 2, 0, 0, 1, 4, 4},       // 2x2 stride 2
      {4, 3, 3, 3, 3, 3, 1, 1, 0, 0, 1, -1, 2},        // kernel as large as the input: 1x1 out
      {7, 5, 2, 3, 5, 5, 3, 3, 2, 2, 1, 100, -100},    // padding larger than the image
      // Few input channels and whole vectors of outputs: the direct kernel where the tier has one.
      {3, 32, 17, 14, 3, 3, 2, 2, 1, 1, 1, -128, 127},  // the small-network stem, odd width
      {3, 16, 9, 23, 3, 3, 2, 1, 1, 1, 1, 127, -128},   // mixed strides, 23 = 5 x 4 + 3 columns
      {4, 48, 8, 9, 3, 3, 1, 3, 0, 2, 1, 9, -1},        // 12-byte kernel rows, uneven padding
      {3, 64, 15, 13, 3, 3, 2, 2, 1, 1, 1, -3, 40},     // 64 outputs: four accumulators a pixel
      {3, 32, 6, 5, 3, 3, 2, 2, 2, 2, 1, 33, 2},        // padding wider than half the kernel
      {4, 16, 3, 3, 3, 3, 1, 1, 0, 0, 1, -7, 7},        // one pixel: the copy outgrows the scratch
  };
  uint32_t seed = 1;
  for (const ConvSpec& s : cases) {
    const ConvData d = random_data(s, seed++);
    expect_layer_matches(s, ConvInt8Path::General, ref_conv(s, d), d);
  }
}

// Shapes at the edge of the rule: kernels wider than the unpadded image with a defined 1x1 output,
// and images of zero rows or columns whose padding gives output pixels (every tap reads in_zp).
// Every path the layer can take writes every pixel, on every tier.
TEST(ConvInt8, DegenerateShapesWriteEveryOutputPixel) {
  const std::pair<ConvSpec, ConvInt8Path> cases[] = {
      {{4, 6, 2, 2, 3, 3, 2, 2, 0, 0, 1, 7, -3}, ConvInt8Path::General},       // 3x3 stride 2 on 2x2
      {{5, 7, 2, 3, 3, 5, 3, 3, 0, 0, 1, -40, 2}, ConvInt8Path::General},      // K = 75, one row
      {{6, 5, 0, 7, 3, 3, 1, 1, 2, 1, 1, 9, 4}, ConvInt8Path::General},        // no rows: 2 x 7
      {{3, 4, 5, 0, 3, 3, 2, 2, 1, 1, 1, -20, 0}, ConvInt8Path::General},      // no columns: 3 x 1
      {{8, 8, 0, 5, 1, 1, 2, 2, 0, 0, 1, 3, 1}, ConvInt8Path::General},        // 1x1 stride 2: 1 x 3
      {{16, 16, 0, 6, 3, 3, 2, 2, 1, 1, 16, 5, -2}, ConvInt8Path::Depthwise},  // 1 x 3
      {{12, 6, 4, 0, 3, 3, 1, 1, 1, 2, 3, 17, -8}, ConvInt8Path::Planar},      // 4 x 2
      {{12, 6, 2, 2, 3, 3, 2, 2, 0, 0, 3, -5, 6}, ConvInt8Path::Planar},       // 1x1 from 2x2
      {{3, 16, 0, 7, 3, 3, 1, 1, 2, 1, 1, 9, 4}, ConvInt8Path::General},       // direct kernel: 2 x 7
      {{3, 32, 5, 0, 3, 3, 2, 2, 1, 1, 1, -20, 0}, ConvInt8Path::General},     // direct kernel: 3 x 1
  };
  uint32_t seed = 900;
  for (const auto& [s, path] : cases) {
    const ConvData d = random_data(s, seed++);
    const auto want = ref_conv(s, d);
    ASSERT_FALSE(want.empty()) << s.describe();
    expect_layer_matches(s, path, want, d);
  }
}

// The direct kernel folds requantisation into one 64-bit sum for right shifts of 1 to 23; a layer
// with any other channel runs the general product instead, with the same results.
TEST(ConvInt8, FewChannelsWithUnfoldableScalesMatchDirectConvolution) {
  const ConvSpec s{3, 32, 11, 10, 3, 3, 2, 2, 1, 1, 1, 6, -9};
  for (float odd_scale : {2.5f, 0.75f, 3e-12f}) {  // a left shift, no shift, a right shift of 38
    ConvData d = random_data(s, 61);
    d.req_scale[17] = odd_scale;
    expect_layer_matches(s, ConvInt8Path::General, ref_conv(s, d), d);
  }
}

// The tier's direct kernel itself, where the tier has one, on shapes layers leave to the patch
// product too: it refuses what it cannot fold, reads and writes nothing past the padded copy it
// asks for, and gives the reference's bits.
TEST(ConvInt8, DirectKernelKeepsToItsScratchAndItsShapes) {
  const ConvSpec cases[] = {
      {3, 32, 13, 9, 3, 3, 2, 2, 1, 1, 1, -128, 127}, {1, 16, 6, 11, 5, 5, 1, 2, 2, 0, 1, 3, -4},
      {3, 64, 10, 10, 7, 7, 2, 2, 3, 3, 1, 0, 9},     {4, 48, 7, 5, 3, 3, 3, 1, 2, 1, 1, -60, 60},
      {4, 16, 9, 17, 3, 8, 1, 3, 1, 3, 1, 11, -2},  // 32-byte kernel rows, the widest it takes
  };
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
    const KernelDrivers& drivers = cpu_kernel_drivers();
    if (!drivers.prepare_conv2d_i8_direct) return;
    uint32_t seed = 70;
    for (const ConvSpec& s : cases) {
      SCOPED_TRACE(s.describe());
      const ConvData d = random_data(s, seed++);
      std::vector<int32_t> mult, shift;
      for (float r : d.req_scale) {
        mult.push_back(ref_multiplier(r).mult);
        shift.push_back(ref_multiplier(r).shift);
      }
      const auto patch = to_patch_order(d.weights.data(), s.C_out, s.C_in, s.kH * s.kW);
      PreparedWeightsI8 prepared;
      drivers.prepare_conv2d_i8_direct(patch.data(), s.C_out, s.C_in, s.kH, s.kW, d.eff_bias.data(),
                                       mult.data(), shift.data(), int8_t(s.out_zp), drivers.format, prepared);
      ASSERT_NE(prepared.start_values(), nullptr);
      const size_t bytes = conv2d_i8_direct_scratch(s.C_in, s.kH, s.kW, s.sh, s.sw, s.out_h(), s.out_w());
      std::vector<int8_t> scratch(bytes + kGuard, kSentinel),
          out(size_t(s.out_h()) * s.out_w() * s.C_out + kGuard, kSentinel);
      drivers.conv2d_i8_direct(d.input.data(), prepared, int8_t(s.in_zp), out.data(), s.C_in, s.H, s.W,
                               s.C_out, s.kH, s.kW, s.sh, s.sw, s.ph, s.pw, scratch.data());
      for (int i = 0; i < kGuard; ++i) {
        ASSERT_EQ(scratch[bytes + i], kSentinel);
        ASSERT_EQ(out[out.size() - kGuard + i], kSentinel);
      }
      out.resize(out.size() - kGuard);
      EXPECT_EQ(first_difference(out, ref_conv(s, d)), "");

      // Shapes and scales outside the direct form leave nothing prepared.
      std::vector<int32_t> unshifted = shift;
      unshifted[s.C_out - 1] = 0;
      drivers.prepare_conv2d_i8_direct(patch.data(), s.C_out, s.C_in, s.kH, s.kW, d.eff_bias.data(),
                                       mult.data(), unshifted.data(), 0, drivers.format, prepared);
      EXPECT_EQ(prepared.start_values(), nullptr);
      drivers.prepare_conv2d_i8_direct(patch.data(), s.C_out - 8, s.C_in, s.kH, s.kW, d.eff_bias.data(),
                                       mult.data(), shift.data(), 0, drivers.format, prepared);
      EXPECT_EQ(prepared.start_values(), nullptr);
    }
  });
}

TEST(ConvInt8, AliasConvBuildsTheSameLayer) {
  const ConvSpec s{6, 4, 5, 5, 3, 3, 2, 2, 1, 1, 1, 3, -3};
  const ConvData d = random_data(s, 77);
  expect_layer_matches(s, ConvInt8Path::General, ref_conv(s, d), d, "conv");
}

TEST(ConvInt8, OneByOneIsAMatrixProductThenRequantisation) {
  const ConvSpec s{21, 10, 3, 5, 1, 1, 1, 1, 0, 0, 1, -9, 6};
  const ConvData d = random_data(s, 5);
  // (H x W) x C_in times C_out x C_in transposed, then requantised per output channel.
  std::vector<int8_t> want(size_t(s.H) * s.W * s.C_out);
  for (int m = 0; m < s.H * s.W; ++m)
    for (int n = 0; n < s.C_out; ++n) {
      int64_t acc = 0;
      for (int k = 0; k < s.C_in; ++k)
        acc += int64_t(d.input[size_t(m) * s.C_in + k]) * d.weights[size_t(n) * s.C_in + k];
      want[size_t(m) * s.C_out + n] =
          ref_requantize(acc, d.eff_bias[n], ref_multiplier(d.req_scale[n]), s.out_zp);
    }
  expect_layer_matches(s, ConvInt8Path::General, want, d);
}

// The slot itself: every gatherer (3x3 stride 1 padding 1 included, which the layer sends to
// Winograd), with weights packed by the caller in patch order or packed by the kernel.
TEST(ConvInt8, Conv2dKernelGatherersAgreeWithDirectConvolution) {
  const ConvSpec cases[] = {
      {10, 9, 6, 5, 1, 1, 1, 1, 0, 0, 1, 3, 1},   {10, 9, 7, 6, 1, 1, 2, 2, 0, 0, 1, 3, 1},
      {19, 12, 7, 9, 3, 3, 1, 1, 1, 1, 1, -5, 2}, {19, 12, 8, 9, 3, 3, 2, 2, 1, 1, 1, 8, -1},
      {4, 6, 9, 10, 4, 2, 3, 1, 1, 2, 1, 0, 0},
  };
  uint32_t seed = 40;
  for (const ConvSpec& s : cases) {
    SCOPED_TRACE(s.describe());
    ConvData d = random_data(s, seed++);
    const auto want = ref_conv(s, d);
    std::vector<int32_t> mult, shift;
    for (float r : d.req_scale) {
      const Requant q = ref_multiplier(r);
      mult.push_back(q.mult);
      shift.push_back(q.shift);
    }
    const std::vector<int8_t> patch_order = to_patch_order(d.weights.data(), s.C_out, s.C_in, s.kH * s.kW);
    testing::for_each_cpu_tier([&](CpuTier, const KernelTable& k) {
      int8_t* packed = k.pack_weights_i8(patch_order.data(), s.C_out, s.K());
      for (const int8_t* given : {static_cast<const int8_t*>(packed), static_cast<const int8_t*>(nullptr)}) {
        std::vector<int8_t> scratch(size_t(s.K()) * s.out_h() * s.out_w() + kGuard, kSentinel);
        std::vector<int8_t> out(want.size() + kGuard, kSentinel);
        k.conv2d_i8(d.input.data(), d.weights.data(), given, d.eff_bias.data(), mult.data(), shift.data(),
                    int8_t(s.in_zp), int8_t(s.out_zp), out.data(), s.C_in, s.H, s.W, s.C_out, s.kH, s.kW,
                    s.sh, s.sw, s.ph, s.pw, 1, scratch.data(), true, nullptr, nullptr);
        for (int i = 0; i < kGuard; ++i) ASSERT_EQ(out[want.size() + i], kSentinel);
        out.resize(want.size());
        EXPECT_EQ(first_difference(out, want), "") << (given ? "caller-packed" : "kernel-packed");
      }
      k.free_packed_i8(packed);
    });
  }
}

// ---- Winograd -----------------------------------------------------------------------------------

// The transformed domain from its formulas: U = G g G^T quantised per matrix, V = B^T d B stored as
// quarters, 16 integer products rescaled by s x 4, Y = A^T R A plus the transformed-domain bias.
std::vector<int8_t> ref_winograd(const ConvSpec& s, const ConvData& d) {
  const float G[4][3] = {{1, 0, 0}, {0.5f, 0.5f, 0.5f}, {0.5f, -0.5f, 0.5f}, {0, 0, 1}};
  const int BT[4][4] = {{1, 0, -1, 0}, {0, 1, 1, 0}, {0, -1, 1, 0}, {0, 1, 0, -1}};
  const int AT[2][4] = {{1, 1, 1, 0}, {0, 1, -1, -1}};
  const size_t pairs = size_t(s.C_out) * s.C_in;
  std::vector<float> U(16 * pairs);
  for (size_t p = 0; p < pairs; ++p) {
    const int8_t* g = d.weights.data() + 9 * p;
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) {
        float u = 0;
        for (int a = 0; a < 3; ++a)
          for (int b = 0; b < 3; ++b) u += G[i][a] * float(g[3 * a + b]) * G[j][b];
        U[(4 * i + j) * pairs + p] = u;
      }
  }
  std::vector<int8_t> Uq(16 * pairs);
  float scale[16];
  std::vector<int64_t> sums5(s.C_out, 0);
  for (int k = 0; k < 16; ++k) {
    float largest = 0;
    for (size_t p = 0; p < pairs; ++p) largest = std::max(largest, std::fabs(U[k * pairs + p]));
    scale[k] = largest > 0 ? largest * 0.007874016f : 1.0f;
    const float inverse = 1.0f / scale[k];
    for (size_t p = 0; p < pairs; ++p)
      Uq[k * pairs + p] = int8_t(std::clamp(std::round(U[k * pairs + p] * inverse), -128.0f, 127.0f));
  }
  for (int o = 0; o < s.C_out; ++o)
    for (int c = 0; c < s.C_in; ++c) sums5[o] += Uq[5 * pairs + size_t(o) * s.C_in + c];
  // Bias: eff_bias + in_zp x R - the correction matrix 5 applies to a constant in_zp tile.
  const Requant q5 = ref_multiplier(scale[5] / 0.25f);
  std::vector<int64_t> bias_w(s.C_out);
  for (int o = 0; o < s.C_out; ++o) {
    int64_t R = 0;
    for (int k = 0; k < s.C_in * 9; ++k) R += d.weights[size_t(o) * s.C_in * 9 + k];
    const int64_t corr =
        (int64_t(s.in_zp) * sums5[o] * q5.mult + (int64_t(1) << (30 - q5.shift))) >> (31 - q5.shift);
    bias_w[o] = d.eff_bias[o] + int32_t(int64_t(s.in_zp) * R - corr);
  }
  Requant rescale[16];
  for (int k = 0; k < 16; ++k) rescale[k] = ref_multiplier(scale[k] * 4.0f);

  std::vector<int8_t> out(size_t(s.H) * s.W * s.C_out);
  for (int ty = 0; ty < (s.H + 1) / 2; ++ty)
    for (int tx = 0; tx < (s.W + 1) / 2; ++tx) {
      std::vector<int8_t> V(16 * size_t(s.C_in));
      for (int c = 0; c < s.C_in; ++c)
        for (int i = 0; i < 4; ++i)
          for (int j = 0; j < 4; ++j) {
            int v = 0;
            for (int a = 0; a < 4; ++a)
              for (int b = 0; b < 4; ++b)
                v += BT[i][a] * tap(s, d.input, 2 * ty - 1 + a, 2 * tx - 1 + b, c) * BT[j][b];
            V[(4 * i + j) * s.C_in + c] = int8_t(std::clamp(int(std::floor((v + 2) / 4.0)), -128, 127));
          }
      for (int o = 0; o < s.C_out; ++o) {
        int64_t R[16];
        for (int k = 0; k < 16; ++k) {
          int64_t P = 0;
          for (int c = 0; c < s.C_in; ++c)
            P += int64_t(V[k * s.C_in + c]) * Uq[k * pairs + size_t(o) * s.C_in + c];
          const int32_t h = int32_t((P * rescale[k].mult + (int64_t(1) << 30)) >> 31);
          const int e = rescale[k].shift;
          R[k] = e >= 0 ? int64_t(h) << e : (int64_t(h) + (int64_t(1) << (-e - 1))) >> -e;
        }
        for (int a = 0; a < 2; ++a)
          for (int b = 0; b < 2; ++b) {
            const int y = 2 * ty + a, x = 2 * tx + b;
            if (y >= s.H || x >= s.W) continue;
            int64_t Y = 0;
            for (int i = 0; i < 4; ++i)
              for (int j = 0; j < 4; ++j) Y += AT[a][i] * R[4 * i + j] * AT[b][j];
            out[(size_t(y) * s.W + x) * s.C_out + o] =
                ref_requantize(Y, bias_w[o], ref_multiplier(d.req_scale[o]), s.out_zp);
          }
      }
    }
  return out;
}

const ConvSpec kWinogradCases[] = {
    {3, 5, 1, 1, 3, 3, 1, 1, 1, 1, 1, 0, 0},     {8, 8, 2, 2, 3, 3, 1, 1, 1, 1, 1, -128, 127},
    {13, 17, 5, 7, 3, 3, 1, 1, 1, 1, 1, 9, -5},  {40, 33, 8, 8, 3, 3, 1, 1, 1, 1, 1, -20, 3},
    {64, 16, 7, 3, 3, 3, 1, 1, 1, 1, 1, 127, 0}, {35, 24, 10, 13, 3, 3, 1, 1, 1, 1, 1, 0, -11},
};

TEST(ConvInt8, WinogradMatchesItsTransformedDomainBitForBit) {
  uint32_t seed = 100;
  for (const ConvSpec& s : kWinogradCases) {
    const ConvData d = random_data(s, seed++);
    expect_layer_matches(s, ConvInt8Path::Winograd, ref_winograd(s, d), d);
  }
}

TEST(ConvInt8, WinogradStaysCloseToDirectConvolution) {
  // The quarter-rounded inputs and per-matrix weight quantisation move outputs by a few steps with
  // these scales (outputs around 50 in magnitude); a wrong transform would move them by tens.
  uint32_t seed = 200;
  for (const ConvSpec& s : kWinogradCases) {
    SCOPED_TRACE(s.describe());
    const ConvData d = random_data(s, seed++);
    auto layer = make_conv(s.json(), tensors_of(d));
    const auto got = run_conv(*layer, TensorShape{s.C_in, s.H, s.W}, d.input);
    const auto direct = ref_conv(s, d);
    int worst = 0;
    double total = 0;
    for (size_t i = 0; i < got.size(); ++i) {
      worst = std::max(worst, std::abs(got[i] - direct[i]));
      total += std::abs(got[i] - direct[i]);
    }
    EXPECT_LE(worst, 8);
    EXPECT_LE(total / double(got.size()), 1.0);
  }
}

using InputStage = void (*)(const int8_t*, int, int, int, int8_t, int, int, int8_t*, size_t);

std::vector<std::pair<const char*, InputStage>> input_stages() {
  std::vector<std::pair<const char*, InputStage>> stages = {{"portable", winograd_i8_input_portable}};
#ifndef TREVALON_PORTABLE
  if (detect_cpu_tier() >= CpuTier::Avx2) stages.push_back({"avx2", winograd_i8_input_avx2});
  if (detect_cpu_tier() >= CpuTier::Avx512) stages.push_back({"avx512", winograd_i8_input_avx512});
#endif
  return stages;
}

TEST(ConvInt8, WinogradInputTransformStoresRoundedQuarters) {
  // One interior tile (rows and columns 1..4 of a 6x6 image) and one corner tile reading in_zp.
  // Channel c's patch is zero except for the values that make V[0][0] = 510, -510, -2, 2, 6, -6.
  const int C = 37, H = 6, W = 6;
  const int8_t zp = -3;
  const int tl = 1 * 6 + 1, tr = 1 * 6 + 3, bl = 3 * 6 + 1, br = 3 * 6 + 3;  // patch corners of tile (1, 1)
  std::vector<int8_t> image(size_t(H) * W * C, 0);
  auto set = [&](int pixel, int c, int v) { image[size_t(pixel) * C + c] = int8_t(v); };
  const int want00[] = {127, -127, 0, 1, 2, -1};
  set(tl, 0, 127), set(tr, 0, -128), set(bl, 0, -128), set(br, 0, 127);  // d00 - d02 - d20 + d22 = 510
  set(tl, 1, -127), set(tr, 1, 127), set(bl, 1, 127), set(br, 1, -128);  // -509: (-507) >> 2 = -127
  set(tl, 2, -2), set(tl, 3, 2), set(tl, 4, 6), set(tl, 5, -6);
  std::mt19937 rng(9);
  for (int c = 6; c < C; ++c)
    for (int p = 0; p < H * W; ++p) set(p, c, int(rng() % 256) - 128);

  const ConvSpec s{C, 1, H, W, 3, 3, 1, 1, 1, 1, 1, zp, 0};
  const int BT[4][4] = {{1, 0, -1, 0}, {0, 1, 1, 0}, {0, -1, 1, 0}, {0, 1, 0, -1}};
  for (auto [name, stage] : input_stages()) {
    SCOPED_TRACE(name);
    const int tiles = 9;
    const size_t plane = size_t(tiles) * C;
    std::vector<int8_t> V(16 * plane + kGuard, kSentinel);
    stage(image.data(), C, H, W, zp, 0, 3, V.data(), plane);
    for (int i = 0; i < kGuard; ++i) ASSERT_EQ(V[16 * plane + i], kSentinel);
    for (int c = 0; c < 6; ++c) EXPECT_EQ(V[4 * C + c], want00[c]) << "channel " << c;  // tile 4 = (1, 1)
    for (int t = 0; t < tiles; ++t)
      for (int c = 0; c < C; ++c)
        for (int k = 0; k < 16; ++k) {
          int v = 0;
          for (int a = 0; a < 4; ++a)
            for (int b = 0; b < 4; ++b)
              v += BT[k / 4][a] * tap(s, image, 2 * (t / 3) - 1 + a, 2 * (t % 3) - 1 + b, c) * BT[k % 4][b];
          const int want = std::clamp(int(std::floor((v + 2) / 4.0)), -128, 127);
          ASSERT_EQ(V[k * plane + size_t(t) * C + c], want)
              << "tile " << t << " channel " << c << " value " << k;
        }
  }
}

// ---- grouped paths ------------------------------------------------------------------------------

TEST(ConvInt8, DepthwiseMatchesPlanarAndDirectConvolution) {
  // {C, H, W, stride, in_zp, out_zp}
  const int cases[][6] = {{8, 7, 9, 1, 3, -2},
                          {16, 5, 5, 2, -128, 0},
                          {37, 9, 8, 1, 12, 7},
                          {24, 1, 1, 2, 0, 1},
                          {33, 2, 5, 2, -9, -9},
                          {2, 6, 3, 1, 50, -50},
                          {48, 12, 11, 2, 5, 0},
                          {96, 9, 10, 1, -1, 3},
                          {130, 6, 7, 2, 77, -4},
                          // Tall and narrow: groups of rows in vector lanes beside edge columns.
                          {48, 14, 1, 1, -128, 127},
                          {80, 17, 2, 2, 127, -128},
                          {16, 21, 3, 2, 9, 1}};
  uint32_t seed = 300;
  for (const auto& c : cases) {
    const ConvSpec s{c[0], c[0], c[1], c[2], 3, 3, c[3], c[3], 1, 1, c[0], c[4], c[5]};
    SCOPED_TRACE(s.describe());
    const ConvData d = random_data(s, seed++);
    const auto want = ref_conv(s, d);
    auto layer = make_conv(s.json(), tensors_of(d));
    std::vector<int32_t> mult, shift;
    for (float r : d.req_scale) {
      mult.push_back(ref_multiplier(r).mult);
      shift.push_back(ref_multiplier(r).shift);
    }
    testing::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
      EXPECT_EQ(path_of(*layer), ConvInt8Path::Depthwise);
      EXPECT_EQ(first_difference(run_conv(*layer, TensorShape{s.C_in, s.H, s.W}, d.input), want), "");
      // The planar route on the same data, weights packed by the kernel.
      std::vector<int8_t> planar(want.size()), scratch(size_t(s.K()) * s.out_h() * s.out_w());
      cpu_kernel_drivers().conv2d_i8_grouped(d.input.data(), d.weights.data(), nullptr, d.eff_bias.data(),
                                             mult.data(), shift.data(), int8_t(s.in_zp), int8_t(s.out_zp),
                                             planar.data(), s.C_in, s.H, s.W, s.C_out, 3, 3, s.sh, s.sw, 1, 1,
                                             s.groups, scratch.data(), nullptr);
      EXPECT_EQ(first_difference(planar, want), "");
    });
  }
}

TEST(ConvInt8, PlanarPathCoversOtherGroupedShapes) {
  const ConvSpec cases[] = {
      {16, 16, 9, 10, 3, 3, 3, 3, 1, 1, 16, 4, -1},  // depthwise with stride 3
      {8, 8, 7, 7, 3, 3, 2, 1, 1, 1, 8, -7, 2},      // depthwise with unequal strides
      {8, 8, 6, 6, 3, 3, 1, 1, 0, 0, 8, 1, 1},       // depthwise without padding
      {8, 16, 6, 5, 3, 3, 1, 1, 1, 1, 8, 9, 0},      // channel multiplier 2
      {12, 15, 7, 6, 3, 3, 1, 1, 1, 1, 3, -11, 4},   // 5 outputs per group: not a multiple of 8
      {6, 4, 5, 9, 1, 1, 1, 1, 0, 0, 2, 0, 0},       // grouped 1x1
      {20, 10, 8, 8, 5, 5, 2, 2, 2, 2, 5, 33, -6},   // grouped 5x5 stride 2
  };
  uint32_t seed = 400;
  for (const ConvSpec& s : cases) {
    const ConvData d = random_data(s, seed++);
    expect_layer_matches(s, ConvInt8Path::Planar, ref_conv(s, d), d);
  }
}

// ---- threads -------------------------------------------------------------------------------------

// Every path with its work split over 2, 3 and 4 threads (small shapes split as large ones would)
// still gives the reference bytes, within the scratch sizes asked: patch-matrix products split over
// rows or channel groups, Winograd stages, direct stem rows, depthwise rows, groups and transposes.
TEST(ConvInt8, ThreadsGiveTheOneThreadBytesOnEveryPath) {
  // {C_in, C_out, H, W, kH, kW, sh, sw, ph, pw, groups, in_zp, out_zp}
  const std::pair<ConvSpec, ConvInt8Path> cases[] = {
      {{64, 72, 9, 11, 1, 1, 1, 1, 0, 0, 1, -7, 3}, ConvInt8Path::General},      // 1x1
      {{16, 136, 7, 9, 1, 1, 2, 2, 0, 0, 1, 5, -4}, ConvInt8Path::General},      // 1x1 stride 2
      {{17, 70, 9, 11, 3, 3, 2, 2, 1, 1, 1, -3, 9}, ConvInt8Path::General},      // 3x3 stride 2
      {{3, 16, 15, 13, 7, 7, 2, 2, 3, 3, 1, 0, -128}, ConvInt8Path::General},    // 7x7 stem
      {{3, 16, 60, 224, 7, 7, 2, 2, 3, 3, 1, -5, -128}, ConvInt8Path::General},  // stem in claimed tasks
      {{3, 32, 17, 14, 3, 3, 2, 2, 1, 1, 1, -128, 127}, ConvInt8Path::General},  // direct stem
      {{16, 72, 10, 9, 3, 3, 1, 1, 1, 1, 1, 4, -2}, ConvInt8Path::Winograd},     // two channel groups
      {{16, 136, 2, 9, 3, 3, 1, 1, 1, 1, 1, -5, 6}, ConvInt8Path::Winograd},  // one tile row: channel groups
      {{8, 8, 3, 1, 3, 3, 1, 1, 1, 1, 1, 0, 0}, ConvInt8Path::Winograd},      // fewer tile rows than threads
      {{48, 48, 14, 9, 3, 3, 1, 1, 1, 1, 48, -128, 127}, ConvInt8Path::Depthwise},
      {{37, 37, 9, 8, 3, 3, 2, 2, 1, 1, 37, 12, 7}, ConvInt8Path::Depthwise},
      {{24, 24, 1, 1, 3, 3, 2, 2, 1, 1, 24, 0, 1}, ConvInt8Path::Depthwise},  // one output row
      {{12, 15, 7, 6, 3, 3, 1, 1, 1, 1, 3, -11, 4}, ConvInt8Path::Planar},
      {{20, 10, 8, 8, 5, 5, 2, 2, 2, 2, 5, 33, -6}, ConvInt8Path::Planar},
  };
  uint32_t seed = 900;
  for (const auto& [s, path] : cases) {
    const ConvData d = random_data(s, seed++);
    const auto want = path == ConvInt8Path::Winograd ? ref_winograd(s, d) : ref_conv(s, d);
    for (int threads : {2, 3, 4}) {
      testing::ScopedThreads scope(threads);
      SCOPED_TRACE(threads);
      expect_layer_matches(s, path, want, d);
    }
  }
}

// Per-channel requantisation parameters for the depthwise kernel tests.
enum class DepthwiseRequant {
  Any,           // multipliers and shifts far outside what a scale gives: negative, INT32_MIN, shifts past 31
  FoldLimits,    // right shifts 1, 2, 22 and 23, multipliers near +-2^31, biases near the int32 limits
  MostlyFolded,  // FoldLimits with a channel shifting by 0 and one by 30, which the fast form leaves out
};

TEST(ConvInt8, DepthwiseKernelRequantisesLikeTheScalarHelper) {
  struct Case {
    int C, H, W;
    DepthwiseRequant requant;
    int in_zp, out_zp;
  };
  // 112 channels take blocks of 64 or 32 and then 16; 50 and 100 leave channels for the tail path;
  // 64 x 80 x 64 spans more than one band of rows; 19 and 14 rows give whole groups of four output
  // rows with stride 1 and 2.
  const Case cases[] = {
      {50, 5, 6, DepthwiseRequant::Any, 7, -5},
      {100, 5, 6, DepthwiseRequant::Any, 7, -5},
      {112, 4, 8, DepthwiseRequant::FoldLimits, -128, 127},
      {112, 7, 11, DepthwiseRequant::FoldLimits, 127, -128},
      {80, 7, 11, DepthwiseRequant::MostlyFolded, 3, -128},
      {64, 80, 64, DepthwiseRequant::FoldLimits, -128, -128},
      // The last 16 channels four rows at a time, with border rows and leftover rows on their own.
      {80, 19, 13, DepthwiseRequant::FoldLimits, -128, 127},
      {80, 19, 13, DepthwiseRequant::Any, 7, -5},
      {144, 14, 9, DepthwiseRequant::MostlyFolded, 5, -3},
  };
  for (const Case& k : cases) {
    const int C = k.C, H = k.H, W = k.W;
    SCOPED_TRACE("C " + std::to_string(C) + ", " + std::to_string(H) + "x" + std::to_string(W) + ", regime " +
                 std::to_string(int(k.requant)));
    std::mt19937 rng(17 + C + H);
    std::vector<int8_t> input(size_t(H) * W * C), weights(9 * size_t(C));
    for (auto& v : input) v = int8_t(rng());
    for (auto& v : weights) v = int8_t(rng());
    std::vector<int32_t> bias(C), mult(C), shift(C);
    const int32_t limit_mults[] = {1 << 30, INT32_MAX, -INT32_MAX, -(1 << 30), 0};
    const int limit_rights[] = {1, 23, 2, 22};
    for (int c = 0; c < C; ++c) {
      if (k.requant == DepthwiseRequant::Any) {
        bias[c] = int32_t(rng());
        mult[c] = c == 0 ? INT32_MIN : int32_t(rng());
        shift[c] = int32_t(rng() % 80) - 45;
        continue;
      }
      mult[c] = c % 5 < 4 ? limit_mults[c % 5] : int32_t((1u << 30) | (rng() >> 2));
      int right = limit_rights[(c / 5) % 4];
      if (k.requant == DepthwiseRequant::MostlyFolded && c == 37) right = 0;
      shift[c] = -right;
      // Small weights where the scale is large, and a bias that centres the output near a random
      // value, so that most outputs land inside int8 and show every rounding.
      if (right <= 2)
        for (int t = 0; t < 9; ++t) weights[size_t(t) * C + c] = int8_t(int(rng() % 3) - 1);
      const double scale = double(mult[c]) / std::ldexp(1.0, 31 + right);
      const double centred = (double(int(rng() % 321)) - 160.0 - k.out_zp) / scale + double(rng() % 64);
      bias[c] = int32_t(std::clamp(centred, -2147483648.0, 2147483647.0));
      // A few biases at the int32 limits, where acc + bias wraps.
      if (c % 7 == 3) bias[c] = c % 2 ? INT32_MAX - int32_t(rng() % 1000) : INT32_MIN + int32_t(rng() % 1000);
    }
    if (k.requant == DepthwiseRequant::MostlyFolded) {
      // acc x mult near -2^62 with a right shift of 30 and out_zp -128: one 64-bit sum would overflow.
      mult[0] = INT32_MAX;
      shift[0] = -30;
      bias[0] = INT32_MIN;
    }
    for (int stride : {1, 2}) {
      const int out_h = (H - 1) / stride + 1, out_w = (W - 1) / stride + 1;
      std::vector<int8_t> want(size_t(out_h) * out_w * C);
      for (int oy = 0; oy < out_h; ++oy)
        for (int ox = 0; ox < out_w; ++ox)
          for (int c = 0; c < C; ++c) {
            int32_t acc = 0;
            for (int t = 0; t < 9; ++t) {
              const int y = oy * stride - 1 + t / 3, x = ox * stride - 1 + t % 3;
              const int v =
                  (y >= 0 && y < H && x >= 0 && x < W) ? input[(size_t(y) * W + x) * C + c] : k.in_zp;
              acc += v * weights[size_t(t) * C + c];
            }
            want[(size_t(oy) * out_w + ox) * C + c] =
                requantize(int32_t(uint32_t(acc) + uint32_t(bias[c])), mult[c], shift[c], k.out_zp);
          }
      testing::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
        std::vector<int8_t> out(want.size() + kGuard, kSentinel);
        cpu_kernel_drivers().depthwise_i8_3x3(input.data(), weights.data(), bias.data(), mult.data(),
                                              shift.data(), int8_t(k.in_zp), int8_t(k.out_zp), out.data(), C,
                                              H, W, stride);
        for (int i = 0; i < kGuard; ++i) ASSERT_EQ(out[want.size() + i], kSentinel);
        out.resize(want.size());
        EXPECT_EQ(first_difference(out, want), "") << "stride " << stride;
      });
    }
  }
}

// ---- zero points, shapes, scratch, errors ---------------------------------------------------------

TEST(ConvInt8, InputOfZeroPointsGivesTheRequantisedBiasEverywhere) {
  // With eff_bias = b - in_zp x (row sum), as an exporter folds it, padding taps and interior taps
  // cancel alike: every pixel, borders included, is requantise(b).
  const std::pair<ConvSpec, ConvInt8Path> cases[] = {
      {{11, 6, 7, 8, 3, 3, 2, 2, 1, 1, 1, -37, 4}, ConvInt8Path::General},
      {{5, 9, 6, 5, 5, 5, 1, 1, 2, 2, 1, 90, -3}, ConvInt8Path::General},
      {{7, 3, 4, 4, 1, 1, 1, 1, 0, 0, 1, -128, 0}, ConvInt8Path::General},
      {{21, 21, 7, 6, 3, 3, 1, 1, 1, 1, 21, 64, 2}, ConvInt8Path::Depthwise},
      {{21, 21, 7, 6, 3, 3, 2, 2, 1, 1, 21, -64, 2}, ConvInt8Path::Depthwise},
      {{12, 6, 8, 7, 3, 3, 3, 3, 1, 1, 3, 17, -8}, ConvInt8Path::Planar},
  };
  uint32_t seed = 500;
  for (const auto& [s, path] : cases) {
    ConvData d = random_data(s, seed++);
    std::fill(d.input.begin(), d.input.end(), int8_t(s.in_zp));
    std::vector<int64_t> b(d.eff_bias);
    for (int o = 0; o < s.C_out; ++o) {
      int64_t R = 0;
      for (int k = 0; k < s.K(); ++k) R += d.weights[size_t(o) * s.K() + k];
      d.eff_bias[o] = b[o] - int64_t(s.in_zp) * R;
    }
    std::vector<int8_t> want(size_t(s.out_h()) * s.out_w() * s.C_out);
    for (size_t i = 0; i < want.size(); ++i) {
      const int o = int(i % s.C_out);
      want[i] = ref_requantize(0, b[o], ref_multiplier(d.req_scale[o]), s.out_zp);
    }
    expect_layer_matches(s, path, want, d);
  }
}

TEST(ConvInt8, ShapesAndScratchSizes) {
  const ConvSpec wino{8, 16, 9, 7, 3, 3, 1, 1, 1, 1, 1, 0, 0};
  auto layer = make_conv(wino.json(), tensors_of(random_data(wino, 1)));
  EXPECT_TRUE(layer->output_is_int8());
  EXPECT_EQ(layer->output_shape(TensorShape{8, 9, 7}), (TensorShape{16, 9, 7}));
  uint64_t sizes[kScratchBuffers] = {0, 0, 5, 0, 0, 0, 0, 0};
  layer->scratch_sizes(TensorShape{8, 9, 7}, sizes);
  const uint64_t tiles16 = (9 / 2 + 1) * (7 / 2 + 1) * 16;
  EXPECT_EQ(sizes[1], tiles16 * 16 * 4);
  EXPECT_EQ(sizes[0], std::max<uint64_t>(tiles16 * 8, 8 * 3 * 9 * 3 * 7));
  EXPECT_EQ(sizes[2], 5u);  // entries are only raised

  const ConvSpec strided{4, 6, 10, 11, 5, 3, 2, 3, 1, 0, 1, 0, 0};
  auto general = make_conv(strided.json(), tensors_of(random_data(strided, 2)));
  EXPECT_EQ(general->output_shape(TensorShape{4, 10, 11}), (TensorShape{6, 4, 3}));
  uint64_t g[kScratchBuffers] = {};
  general->scratch_sizes(TensorShape{4, 10, 11}, g);
  EXPECT_EQ(g[0], 4u * 5 * 4 * 3 * 3);
  EXPECT_EQ(g[1], 0u);
  // A zero stride counts as 1 in the shape rule; empty inputs give empty outputs and no scratch.
  auto zero_stride = make_conv("{\"C_out\": 2, \"C_in\": 2, \"stride_h\": 0}", {});
  EXPECT_EQ(zero_stride->output_shape(TensorShape{2, 4, 5}), (TensorShape{2, 4, 5}));
  uint64_t none[kScratchBuffers] = {};
  general->scratch_sizes(TensorShape{4, 0, 11}, none);
  EXPECT_EQ(none[0], 0u);
  const std::vector<int8_t> empty;
  EXPECT_EQ(run_conv(*general, TensorShape{4, 0, 11}, empty).size(), 0u);
}

std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "<no error>";
}

TEST(ConvInt8, LoadAndRunErrorsNameTheTensorOrNode) {
  const ConvSpec s{4, 3, 5, 5, 3, 3, 2, 2, 1, 1, 1, 0, 0};
  const ConvData d = random_data(s, 9);
  TensorMap t = tensors_of(d);

  // Tensors of any other size than the parameters fix, too short or too long, at load.
  auto resized = [&](const char* tensor, size_t bytes) {
    TensorMap changed = t;
    changed[tensor].resize(bytes);
    return error_of([&] { make_conv(s.json(), changed); });
  };
  EXPECT_EQ(resized("conv.weight", 100), "weight conv.weight holds 100 elements, expected 108");
  EXPECT_EQ(resized("conv.weight", 1000), "weight conv.weight holds 1000 elements, expected 108");
  EXPECT_EQ(resized("conv.req_scale", 8), "weight conv.req_scale holds 2 elements, expected 3");
  EXPECT_EQ(resized("conv.req_scale", 40), "weight conv.req_scale holds 10 elements, expected 3");
  EXPECT_EQ(resized("conv.eff_bias", 23), "weight conv.eff_bias holds 23 bytes, expected 24 (3 elements)");
  EXPECT_EQ(resized("conv.eff_bias", 32), "weight conv.eff_bias holds 4 elements, expected 3");

  // Missing tensors load quietly and fail when the layer runs.
  const TensorShape in{4, 5, 5};
  for (const char* missing : {"conv.weight", "conv.req_scale", "conv.eff_bias"}) {
    TensorMap partial = t;
    partial.erase(missing);
    auto layer = make_conv(s.json(), partial);
    EXPECT_EQ(error_of([&] { run_conv(*layer, in, d.input); }),
              std::string("missing weight tensor: ") + missing);
  }
  auto defaults = make_conv("{}", {}, "conv");  // C_out 0, no weights: loads
  EXPECT_EQ(defaults->output_shape(TensorShape{3, 2, 2}), (TensorShape{0, 2, 2}));

  // Parameters that cannot describe a convolution, refused at load once weights are present.
  auto with_params = [&](const std::string& json) { return error_of([&] { make_conv(json, t); }); };
  EXPECT_EQ(with_params("{\"C_out\": 3, \"C_in\": 4, \"kH\": 3, \"kW\": 3, \"stride_h\": 0}"),
            "node 'conv': kernel and stride must be positive and padding non-negative");
  EXPECT_EQ(
      with_params("{\"name\": \"conv\", \"C_out\": 3, \"C_in\": 4, \"kH\": 3, \"kW\": 3, \"pad_w\": -1}"),
      "node 'conv': pad_w must not be negative, got -1");  // refused when the layer is created
  EXPECT_EQ(with_params("{\"C_out\": 3, \"C_in\": 4, \"kH\": 3, \"kW\": 3, \"groups\": 2}"),
            "node 'conv': groups 2 must divide C_in 4 and C_out 3");

  // Inputs the layer cannot take.
  auto layer = make_conv(s.json(), t);
  EXPECT_EQ(error_of([&] {
              run_conv(*layer, TensorShape{5, 5, 4}, std::vector<int8_t>(100));
            }),
            "node 'conv': input has 5 channels, expected 4");
  EXPECT_EQ(error_of([&] { layer->forward(nullptr, 0, BufferView{}, nullptr); }),
            "node 'conv' needs 1 inputs, got 0");
  const ConvSpec big_kernel{4, 3, 2, 9, 5, 5, 1, 1, 1, 1, 1, 0, 0};
  auto big = make_conv(big_kernel.json(), tensors_of(random_data(big_kernel, 3)));
  EXPECT_EQ(error_of([&] {
              run_conv(*big, TensorShape{4, 2, 9}, std::vector<int8_t>(72));
            }),
            "node 'conv': kernel larger than the padded input (2x9)");
  TensorRef small{};
  small.view = BufferView{const_cast<int8_t*>(d.input.data()), 0, 10};
  small.shape = in;
  ExecContext ctx{};
  std::vector<int8_t> out(27);
  EXPECT_EQ(error_of([&] {
              layer->forward(&small, 1, BufferView{out.data(), 0, out.size()}, &ctx);
            }),
            "node 'conv': buffer smaller than its tensor");

  // No backend: the layer refuses before touching anything.
  clear_backend_registry_for_tests();
  const std::string no_backend = error_of([&] { run_conv(*layer, in, d.input); });
  register_cpu_backend();
  EXPECT_EQ(no_backend, kNoBackendMessage);
}

}  // namespace
}  // namespace trevalon
