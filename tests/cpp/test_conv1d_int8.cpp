// Conv1dInt8 on both paths and every tier, bit for bit against a scalar reference written from the
// layer's formulas, plus its parameter, weight and input checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "kernel_tier_loop.h"
#include "small_layer_harness.h"
#include "test_support.h"

namespace trevalon::testing {
namespace {

struct Conv1dCase {
  int C_in, C_out, K, stride, padding, dilation, groups, L;
  bool bias;
};

std::ostream& operator<<(std::ostream& os, const Conv1dCase& c) {
  return os << "C_in " << c.C_in << " C_out " << c.C_out << " K " << c.K << " stride " << c.stride
            << " padding " << c.padding << " dilation " << c.dilation << " groups " << c.groups << " L "
            << c.L << (c.bias ? " bias" : "");
}

struct Conv1dData {
  std::vector<float> x, scales, bias;
  std::vector<int8_t> w;  // [C_out][K][C_in / groups]
};

int output_length(const Conv1dCase& c) {
  const int span = c.L + 2 * c.padding - c.dilation * (c.K - 1) - 1;
  return (c.stride > 0 ? span / c.stride : 0) + 1;
}

Conv1dData make_data(const Conv1dCase& c, uint32_t seed) {
  std::mt19937 rng(seed);
  Conv1dData d;
  d.x = random_floats(size_t(c.L) * c.C_in, rng, -2.0f, 2.0f);
  if (!d.x.empty()) d.x[0] = 0.0f;
  std::uniform_int_distribution<int> byte(-128, 127);
  d.w.resize(size_t(c.C_out) * c.K * (c.C_in / c.groups));
  for (auto& v : d.w) v = int8_t(byte(rng));
  d.scales = random_floats(size_t(c.C_out), rng, 1e-3f, 2e-2f);
  if (c.bias) d.bias = random_floats(size_t(c.C_out), rng, -0.5f, 0.5f);
  return d;
}

// Symmetric int8 of one row: scale amax / 127 (at least 1e-8), q = round-half-away(x / s) clamped.
float quantize_row(const float* x, int n, int8_t* q) {
  float amax = 0.0f;
  for (int i = 0; i < n; ++i) amax = std::max(amax, std::abs(x[i]));
  const float s = std::max(amax * 0.007874016f, 1e-8f), inv = 1.0f / s;
  for (int i = 0; i < n; ++i) q[i] = int8_t(std::clamp(std::round(x[i] * inv), -128.0f, 127.0f));
  return s;
}

std::vector<float> reference(const Conv1dCase& c, const Conv1dData& d) {
  const int L_out = output_length(c), Cg = c.C_in / c.groups, Cog = c.C_out / c.groups;
  std::vector<float> y(size_t(L_out) * c.C_out);
  if (c.stride == 1 && c.groups == 1) {
    // Padded rows quantised once; tap 0 starts each output, later taps are fused in.
    const int Lp = c.L + 2 * c.padding;
    std::vector<float> padded(size_t(Lp) * c.C_in, 0.0f), s(Lp);
    std::copy(d.x.begin(), d.x.end(), padded.begin() + size_t(c.padding) * c.C_in);
    std::vector<int8_t> q(padded.size());
    for (int r = 0; r < Lp; ++r)
      s[r] = quantize_row(&padded[size_t(r) * c.C_in], c.C_in, &q[size_t(r) * c.C_in]);
    for (int t = 0; t < L_out; ++t)
      for (int o = 0; o < c.C_out; ++o) {
        float v = 0.0f;
        for (int k = 0; k < c.K; ++k) {
          const int r = t + k * c.dilation;
          int32_t acc = 0;
          for (int ch = 0; ch < c.C_in; ++ch)
            acc += int32_t(q[size_t(r) * c.C_in + ch]) * d.w[(size_t(o) * c.K + k) * c.C_in + ch];
          if (k > 0)
            v = std::fma(s[r] * float(acc), d.scales[o], v);
          else if (c.bias)
            v = std::fma(float(acc), s[r] * d.scales[o], d.bias[o]);
          else
            v = float(acc) * (s[r] * d.scales[o]);
        }
        y[size_t(t) * c.C_out + o] = v;
      }
    return y;
  }
  // Each group's im2col row quantised with its own scale; float(acc) x w_scale, x s, + bias.
  std::vector<float> row(size_t(c.K) * Cg);
  std::vector<int8_t> q(row.size());
  for (int g = 0; g < c.groups; ++g)
    for (int t = 0; t < L_out; ++t) {
      for (int k = 0; k < c.K; ++k)
        for (int ch = 0; ch < Cg; ++ch) {
          const int src = t * c.stride + k * c.dilation - c.padding;
          row[size_t(k) * Cg + ch] = src < 0 || src >= c.L ? 0.0f : d.x[size_t(src) * c.C_in + g * Cg + ch];
        }
      const float s = quantize_row(row.data(), int(row.size()), q.data());
      for (int o = g * Cog; o < (g + 1) * Cog; ++o) {
        int32_t acc = 0;
        for (size_t j = 0; j < row.size(); ++j) acc += int32_t(q[j]) * d.w[size_t(o) * row.size() + j];
        float v = float(acc) * d.scales[o];
        v = v * s;
        if (c.bias) v = v + d.bias[o];
        y[size_t(t) * c.C_out + o] = v;
      }
    }
  return y;
}

using ByteMap = std::map<std::string, std::vector<uint8_t>>;

std::string conv_json(const Conv1dCase& c) {
  return "{\"name\": \"conv\", \"C_in\": " + std::to_string(c.C_in) +
         ", \"C_out\": " + std::to_string(c.C_out) + ", \"kernel_size\": " + std::to_string(c.K) +
         ", \"stride\": " + std::to_string(c.stride) + ", \"padding\": " + std::to_string(c.padding) +
         ", \"dilation\": " + std::to_string(c.dilation) + ", \"groups\": " + std::to_string(c.groups) + "}";
}

ByteMap conv_tensors(const Conv1dData& d) {
  ByteMap m{{"conv.weight_i8", bytes_of(d.w)}, {"conv.w_scales", bytes_of(d.scales)}};
  if (!d.bias.empty()) m["conv.bias"] = bytes_of(d.bias);
  return m;
}

std::unique_ptr<ILayer> make_conv(const Conv1dCase& c, const ByteMap& tensors) {
  auto layer = create_layer(OpType::Conv1dInt8, parse_node(conv_json(c)));
  layer->name = "conv";
  WeightGetter get = getter_over(tensors);
  layer->load_weights(get);
  return layer;
}

// Runs with the scratch buffers the layer asks for, so the layer's own vectors stay unused, or
// with none, so they serve.
std::vector<float> run_conv(ILayer& layer, const Conv1dCase& c, std::vector<float>& x, bool shared_scratch) {
  const TensorShape in{c.C_in, c.L, 1};
  uint64_t sizes[kScratchBuffers] = {};
  layer.scratch_sizes(in, sizes);
  std::vector<std::vector<uint8_t>> scratch(kScratchBuffers);
  ExecContext ctx{};
  if (shared_scratch)
    for (int k = 0; k < kScratchBuffers; ++k) {
      scratch[k].assign(sizes[k], 0xA5);
      ctx.scratch[k] = BufferView{scratch[k].data(), 0, sizes[k]};
    }
  TensorRef ref{BufferView{x.data(), 0, x.size() * sizeof(float)}, in};
  const TensorShape out_shape = layer.output_shape(in);
  std::vector<float> y(element_count(out_shape) + 1, -7.0f);
  const TensorShape got = layer.forward(&ref, 1, BufferView{y.data(), 0, y.size() * sizeof(float)}, &ctx);
  EXPECT_EQ(got, out_shape);
  EXPECT_EQ(y.back(), -7.0f);  // nothing written past the output
  y.pop_back();
  return y;
}

TEST(Conv1dInt8Layer, BothPathsMatchTheIntegerReferenceOnEveryTier) {
  const Conv1dCase cases[] = {
      // per tap: odd sizes, padding, dilation, K = 1, no bias
      {16, 24, 3, 1, 1, 1, 1, 37, true},
      {5, 9, 5, 1, 2, 3, 1, 23, true},
      {7, 3, 1, 1, 0, 1, 1, 11, false},
      {64, 33, 7, 1, 3, 1, 1, 50, true},
      // im2col: stride 2 and 3, grouped, depthwise, more padding than signal
      {12, 10, 4, 2, 1, 1, 1, 21, true},
      {6, 8, 3, 3, 2, 2, 1, 31, false},
      {16, 8, 3, 1, 1, 1, 4, 19, true},
      {6, 6, 7, 1, 3, 1, 6, 17, true},
      {8, 16, 5, 2, 2, 1, 2, 9, true},
      {37, 37, 5, 1, 2, 1, 37, 20, false},   // depthwise, a partial vector of channels
      {4, 8, 3, 2, 1, 2, 4, 15, true},       // depthwise with two outputs per channel
      {16, 16, 40, 1, 20, 1, 16, 30, true},  // depthwise, more taps than registers hold
      {4, 4, 3, 2, 5, 1, 1, 2, true},
  };
  for (const Conv1dCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << c);
    const Conv1dData d = make_data(c, uint32_t(c.C_in * 131 + c.K * 7 + c.groups));
    const std::vector<float> expected = reference(c, d);
    std::vector<float> x = d.x;
    for_each_cpu_tier([&](CpuTier, const KernelTable&) {
      auto layer = make_conv(c, conv_tensors(d));
      EXPECT_EQ(run_conv(*layer, c, x, true), expected);
      EXPECT_EQ(run_conv(*layer, c, x, false), expected);  // the layer's own scratch
      layer->release_scratch();
      EXPECT_EQ(run_conv(*layer, c, x, false), expected);
    });
  }
}

TEST(Conv1dInt8Layer, ScratchRequestsFollowThePath) {
  uint64_t sizes[kScratchBuffers] = {};
  const ByteMap none;
  auto per_tap = make_conv({8, 4, 3, 1, 2, 1, 1, 10, true}, none);
  per_tap->scratch_sizes(TensorShape{8, 10, 1}, sizes);  // Lp 14, L_out 12
  EXPECT_EQ(sizes[2], 4u * 8 * 14);
  EXPECT_EQ(sizes[0], 8u * 14);
  EXPECT_EQ(sizes[3], 4u * 12 * 4);
  EXPECT_EQ(sizes[5], 4u * 14);
  std::fill(std::begin(sizes), std::end(sizes), 0);
  auto im2col = make_conv({8, 4, 3, 2, 1, 1, 2, 10, true}, none);
  im2col->scratch_sizes(TensorShape{8, 10, 1}, sizes);  // L_out 5, rows of 3 x 4
  EXPECT_EQ(sizes[2], 4u * 5 * 12);
  EXPECT_EQ(sizes[0], 5u * 12);
  EXPECT_EQ(sizes[3], 0u);
  EXPECT_EQ(sizes[5], 4u * 4);
}

TEST(Conv1dInt8Layer, RefusesBadGroupsWeightsAndInputs) {
  expect_error(
      [] {
        make_conv({6, 8, 3, 1, 0, 1, 4, 10, true}, {});
      },
      "node 'conv': groups 4 does not divide C_in 6");
  expect_error(
      [] {
        make_conv({8, 6, 3, 1, 0, 1, 4, 10, true}, {});
      },
      "node 'conv': groups 4 does not divide C_out 6");
  const Conv1dCase c{8, 4, 3, 1, 1, 1, 2, 10, true};
  Conv1dData d = make_data(c, 3);
  ByteMap bad = conv_tensors(d);
  bad["conv.weight_i8"].pop_back();
  expect_error([&] { make_conv(c, bad); }, "weight conv.weight_i8 holds 47 elements, expected 48");
  bad = conv_tensors(d);
  bad["conv.w_scales"].resize(3 * 4);
  expect_error([&] { make_conv(c, bad); }, "weight conv.w_scales holds 3 elements, expected 4");

  auto layer = make_conv(c, conv_tensors(d));
  std::vector<float> x(10 * 8);
  TensorRef ref{BufferView{x.data(), 0, x.size() * sizeof(float)}, TensorShape{10, 8, 1}};
  std::vector<float> y(100);
  expect_error(
      [&] {
        layer->forward(&ref, 1, BufferView{y.data(), 0, y.size() * sizeof(float)}, nullptr);
      },
      "node 'conv': input has 10 channels, expected C_in 8");
  auto unloaded = make_conv(c, {});
  ref.shape = TensorShape{8, 10, 1};
  expect_error(
      [&] {
        unloaded->forward(&ref, 1, BufferView{y.data(), 0, y.size() * sizeof(float)}, nullptr);
      },
      "missing weight tensor: conv.w_scales");
}

}  // namespace
}  // namespace trevalon::testing
