// One-dimensional float convolutions: the Winograd transforms from their points, the environment
// switch, every Conv1dFp32 path and ConvTranspose1dFp32 against float64 references on every tier
// (the product-based paths bit for bit against the fused chain they promise), scratch sizes, and
// the layers' errors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "backend/cpu_backend.h"
#include "kernel_tier_loop.h"
#include "kernels/conv1d_f32.h"
#include "kernels/prepared_weights.h"
#include "layers/conv1d.h"
#include "small_layer_harness.h"
#include "test_support.h"

namespace trevalon {
namespace {

using testing::expect_error;
using testing::make_layer;
using testing::random_floats;
using testing::WeightMap;

constexpr int kGuard = 16;
constexpr float kSentinel = -7777.25f;

struct Conv1dCase {
  int C_in, C_out, K, stride, padding, dilation, groups, L;
  bool relu, bias;
  const char* path;
};

std::string describe(const Conv1dCase& c) {
  char text[200];
  std::snprintf(text, sizeof text, "C_in=%d C_out=%d K=%d stride=%d pad=%d dil=%d groups=%d L=%d relu=%d bias=%d",
                c.C_in, c.C_out, c.K, c.stride, c.padding, c.dilation, c.groups, c.L, c.relu, c.bias);
  return text;
}

std::string conv1d_json(const Conv1dCase& c) {
  char text[300];
  std::snprintf(text, sizeof text,
                R"({"C_out": %d, "C_in": %d, "kernel_size": %d, "stride": %d, "padding": %d, "dilation": %d,
                    "groups": %d})",
                c.C_out, c.C_in, c.K, c.stride, c.padding, c.dilation, c.groups);
  return text;
}

int conv1d_length(const Conv1dCase& c) {
  const int room = c.L + 2 * c.padding - c.dilation * (c.K - 1) - 1;
  return (c.stride > 0 ? room / c.stride : 0) + 1;
}

struct Reference {
  std::vector<double> exact;      // float64 sums
  std::vector<double> magnitude;  // sum |x w| + |b|: bounds the rounding of any order
  std::vector<float> chain;       // one fused chain per output in (k, c) order, then + bias, then ReLU
};

// x: L x C_in; w: C_out x C_in/groups x K as stored.
Reference conv1d_reference(const Conv1dCase& c, const std::vector<float>& x, const std::vector<float>& w,
                           const std::vector<float>& b) {
  const int L_out = conv1d_length(c), Cg = c.C_in / c.groups, Cog = c.C_out / c.groups;
  Reference r;
  r.exact.assign(size_t(L_out) * c.C_out, 0.0);
  r.magnitude.assign(r.exact.size(), 0.0);
  r.chain.assign(r.exact.size(), 0.0f);
  for (int t = 0; t < L_out; ++t)
    for (int o = 0; o < c.C_out; ++o) {
      const int g = o / Cog;
      double sum = 0.0, mag = 0.0;
      float acc = 0.0f;
      for (int k = 0; k < c.K; ++k) {
        const int i = t * c.stride + k * c.dilation - c.padding;
        if (i < 0 || i >= c.L) continue;
        for (int ch = 0; ch < Cg; ++ch) {
          const float xv = x[size_t(i) * c.C_in + size_t(g) * Cg + ch];
          const float wv = w[(size_t(o) * Cg + ch) * c.K + k];
          sum += double(xv) * wv;
          mag += std::fabs(double(xv) * wv);
          acc = std::fma(xv, wv, acc);
        }
      }
      const double bv = c.bias ? b[o] : 0.0;
      sum += bv;
      mag += std::fabs(bv);
      float v = c.bias ? acc + b[o] : acc + 0.0f;
      if (c.relu) {
        sum = sum > 0.0 ? sum : 0.0;
        v = v > 0.0f ? v : 0.0f;
      }
      const size_t at = size_t(t) * c.C_out + o;
      r.exact[at] = sum;
      r.magnitude[at] = mag;
      r.chain[at] = v;
    }
  return r;
}

// One forward pass with sentinels after the output; `scratch` (when given) becomes scratch
// buffer 2, sized by the layer's own request and filled with NaN, so a read of memory the layer
// did not write shows.
std::vector<float> forward(ILayer& layer, const std::vector<float>& x, TensorShape in, bool with_scratch) {
  const TensorShape planned = layer.output_shape(in);
  std::vector<float> out(element_count(planned) + kGuard, kSentinel);
  uint64_t sizes[kScratchBuffers] = {};
  layer.scratch_sizes(in, sizes);
  std::vector<float> scratch(with_scratch ? sizes[2] / sizeof(float) : 0, NAN);
  TensorRef ref{};
  ref.view = BufferView{const_cast<float*>(x.data()), 0, x.size() * sizeof(float)};
  ref.shape = in;
  ExecContext ctx{};
  if (with_scratch) ctx.scratch[2] = BufferView{scratch.data(), 0, scratch.size() * sizeof(float)};
  const TensorShape got = layer.forward(&ref, 1, BufferView{out.data(), 0, out.size() * sizeof(float)}, &ctx);
  EXPECT_EQ(got.c, planned.c);
  EXPECT_EQ(got.h, planned.h);
  for (size_t i = element_count(planned); i < out.size(); ++i) EXPECT_EQ(out[i], kSentinel) << "overrun at " << i;
  out.resize(element_count(planned));
  return out;
}

struct WeightsOf {
  std::vector<float> x, w, b;
};

WeightsOf random_case(const Conv1dCase& c, uint32_t seed) {
  std::mt19937 rng(seed);
  WeightsOf d;
  d.x = random_floats(size_t(c.L) * c.C_in, rng);
  d.w = random_floats(size_t(c.C_out) * (c.C_in / c.groups) * c.K, rng, -0.5f, 0.5f);
  if (c.bias) d.b = random_floats(size_t(c.C_out), rng);
  return d;
}

std::unique_ptr<ILayer> conv1d_layer(const Conv1dCase& c, const WeightsOf& d, bool relu) {
  WeightMap weights{{"conv.weight", d.w}};
  if (c.bias) weights["conv.bias"] = d.b;
  auto layer = make_layer("conv1d_fp32", conv1d_json(c), weights, "conv");
  layer->relu = relu;
  return layer;
}

// Environment variable set for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old, had_ = true;
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (had_)
      setenv(name_, old_.c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

constexpr const char* kSwitch = "BRASKO_FP32_CONV1D_DIRECT";

// ---- Winograd transforms ----------------------------------------------------------------------

TEST(Winograd1d, TransformsFromThePointsGiveTheCorrelation) {
  Winograd1d plan;
  ASSERT_TRUE(winograd1d_for_taps(3, plan));
  const double g43[6][3] = {{0.25, 0, 0},          {-1 / 6.0, -1 / 6.0, -1 / 6.0}, {-1 / 6.0, 1 / 6.0, -1 / 6.0},
                            {1 / 24.0, 1 / 12.0, 1 / 6.0}, {1 / 24.0, -1 / 12.0, 1 / 6.0}, {0, 0, 1}};
  const float bt43[6][6] = {{4, 0, -5, 0, 1, 0},  {0, -4, -4, 1, 1, 0}, {0, 4, -4, -1, 1, 0},
                            {0, -2, -1, 2, 1, 0}, {0, 2, -1, -2, 1, 0}, {0, 4, 0, -5, 0, 1}};
  for (int p = 0; p < 6; ++p) {
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(plan.G[p][k], g43[p][k], 1e-15) << p << "," << k;
    float dense[6] = {};
    for (int e = 0; e < plan.BT[p].count; ++e) dense[plan.BT[p].column[e]] = plan.BT[p].value[e];
    for (int i = 0; i < 6; ++i) EXPECT_EQ(dense[i], bt43[p][i]) << "B^T row " << p;
  }
  ASSERT_TRUE(winograd1d_for_taps(7, plan));
  EXPECT_NEAR(plan.G[0][0], -1 / 36.0, 1e-15);
  for (int k = 1; k < 7; ++k) EXPECT_EQ(plan.G[0][k], 0.0);
  for (int k = 0; k < 7; ++k) EXPECT_NEAR(plan.G[5][k], std::pow(3.0, k) / 720.0, 1e-15);  // point 3
  Winograd1d none;
  EXPECT_FALSE(winograd1d_for_taps(5, none));

  // y = A^T [(G g) . (B^T d)] is the correlation for every size, in float64 on random data.
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  for (int taps : {3, 7, 11}) {
    ASSERT_TRUE(winograd1d_for_taps(taps, plan));
    const int n = plan.m + taps - 1;
    ASSERT_EQ(plan.points, n);
    double g[11], d[14], U[12], V[12];
    for (int k = 0; k < taps; ++k) g[k] = dist(rng);
    for (int i = 0; i < n; ++i) d[i] = dist(rng);
    for (int p = 0; p < n; ++p) {
      U[p] = 0.0;
      for (int k = 0; k < taps; ++k) U[p] += plan.G[p][k] * g[k];
      V[p] = 0.0;
      for (int e = 0; e < plan.BT[p].count; ++e) V[p] += double(plan.BT[p].value[e]) * d[plan.BT[p].column[e]];
    }
    // The kernels pair +i and -i: -i's row of B^T is +i's with the odd columns negated.
    for (int i = 1; 2 * i < n - 1; ++i) {
      double plus[12] = {}, minus[12] = {};
      for (int e = 0; e < plan.BT[2 * i - 1].count; ++e) plus[plan.BT[2 * i - 1].column[e]] = plan.BT[2 * i - 1].value[e];
      for (int e = 0; e < plan.BT[2 * i].count; ++e) minus[plan.BT[2 * i].column[e]] = plan.BT[2 * i].value[e];
      for (int t = 0; t < n; ++t) EXPECT_EQ(minus[t], t % 2 ? -plus[t] : plus[t]) << "taps " << taps << " point -" << i;
    }
    for (int j = 0; j < plan.m; ++j) {
      double y = 0.0, direct = 0.0;
      for (int e = 0; e < plan.AT[j].count; ++e) y += double(plan.AT[j].value[e]) * U[plan.AT[j].column[e]] * V[plan.AT[j].column[e]];
      for (int k = 0; k < taps; ++k) direct += d[j + k] * g[k];
      EXPECT_NEAR(y, direct, 1e-9) << "taps " << taps << " output " << j;
    }
  }
}

// ---- the environment switch ---------------------------------------------------------------------

TEST(Conv1dSwitch, ParsesValuesAsWritten) {
  struct Case {
    const char* value;
    int taps;
    bool forbidden;
  };
  const Case cases[] = {
      {nullptr, 3, false}, {"", 3, false},        {"0", 3, false},     {"0,3", 3, false},   {"03", 3, false},
      {"wino", 3, false},  {"winograd", 3, false}, {"1", 3, true},           {"1", 11, true},
      {"all", 7, true},    {"3,7", 3, true},       {"3,7", 7, true},    {"3,7", 11, false},  {"11 ; 3", 11, true},
      {"7:3", 3, true},    {" 7", 7, true},        {" 1", 3, false},    {"7,x,3", 7, true},  {"7,x,3", 3, false},
      {"3x,7", 7, false},  {"+7", 7, true},        {"7,,11;", 11, true}, {"-3", 3, false},  {"99999999999,3", 3, true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(conv1d_winograd_forbidden(c.value, c.taps), c.forbidden)
        << '"' << (c.value ? c.value : "(unset)") << "\" taps " << c.taps;
}

TEST(Conv1dSwitch, ChoosesThePathAtLoad) {
  struct Case {
    const char* value;
    int K, dilation;
    const char* path;
  };
  const Case cases[] = {
      {nullptr, 3, 1, "winograd"}, {nullptr, 7, 1, "winograd"}, {nullptr, 11, 1, "winograd"},
      {nullptr, 3, 2, "direct"},   {nullptr, 5, 1, "direct"},   {nullptr, 1, 1, "pointwise"},
      {"3,7", 3, 1, "direct"},     {"3,7", 7, 1, "direct"},     {"3,7", 11, 1, "winograd"},
      {"all", 11, 1, "direct"},    {"1", 3, 1, "direct"},       {"wino", 7, 1, "winograd"},
      {"0,3,7,11", 3, 1, "winograd"},
  };
  for (const Case& c : cases) {
    ScopedEnv env(kSwitch, c.value);
    const Conv1dCase shape{4, 4, c.K, 1, 0, c.dilation, 1, 30, false, false, ""};
    auto layer = conv1d_layer(shape, random_case(shape, 1), false);
    EXPECT_EQ(conv1d_fp32_path(*layer), c.path) << (c.value ? c.value : "(unset)") << " K " << c.K;
  }
  // The variable is read when the layer loads, not when it runs.
  const Conv1dCase shape{4, 4, 3, 1, 1, 1, 1, 30, false, true, ""};
  const WeightsOf d = random_case(shape, 2);
  std::unique_ptr<ILayer> layer;
  {
    ScopedEnv env(kSwitch, "all");
    layer = conv1d_layer(shape, d, false);
  }
  EXPECT_EQ(conv1d_fp32_path(*layer), "direct");
  EXPECT_EQ(forward(*layer, d.x, TensorShape{4, 30, 1}, false), conv1d_reference(shape, d.x, d.w, d.b).chain);
}

// ---- every path, every tier ---------------------------------------------------------------------

// Paths whose outputs are one fused chain per output: bit for bit against the chain on every tier.
const Conv1dCase kChainCases[] = {
    {6, 10, 5, 1, 4, 3, 1, 37, true, true, "direct"},         // dilation 3, odd length, C_out tail
    {16, 70, 3, 1, 1, 2, 1, 301, false, true, "direct"},      // dilation 2, two 64-channel panels, tall
    {64, 64, 7, 1, 3, 5, 1, 1100, true, false, "direct"},     // vocoder-like, more than one row block
    {9, 5, 1, 1, 0, 1, 1, 13, false, true, "pointwise"},
    {9, 5, 1, 1, 2, 1, 1, 13, true, true, "pointwise"},       // padding rows give the bias alone
    {7, 6, 4, 2, 1, 1, 1, 21, false, true, "general"},        // stride 2
    {5, 8, 3, 3, 2, 2, 1, 40, true, true, "general"},         // stride 3, dilation 2
    {5, 4, 3, 0, 1, 1, 1, 9, false, true, "general"},         // stride 0: one output
    {8, 12, 3, 1, 1, 1, 2, 25, false, true, "grouped"},       // groups 2 (no Winograd)
    {12, 8, 5, 2, 2, 3, 4, 31, true, true, "grouped"},        // groups 4, stride 2, dilation 3
    {6, 12, 3, 1, 1, 1, 6, 17, false, true, "grouped"},       // channel multiplier 2
    {20, 20, 7, 1, 3, 1, 20, 29, true, true, "depthwise"},
    {37, 37, 3, 2, 1, 3, 37, 40, false, false, "depthwise"},  // stride 2, dilation 3, lane tails
};

TEST(Conv1dFp32, ProductPathsAreTheFusedChainOnEveryTier) {
  for (const Conv1dCase& c : kChainCases) {
    SCOPED_TRACE(describe(c));
    const WeightsOf d = random_case(c, uint32_t(c.L * 31 + c.K));
    const Reference ref = conv1d_reference(c, d.x, d.w, d.b);
    testing::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
      auto layer = conv1d_layer(c, d, c.relu);
      ASSERT_EQ(conv1d_fp32_path(*layer), c.path);
      for (bool with_scratch : {false, true}) {
        const std::vector<float> got = forward(*layer, d.x, TensorShape{c.C_in, c.L, 1}, with_scratch);
        ASSERT_EQ(got.size(), ref.chain.size());
        for (size_t i = 0; i < got.size(); ++i) {
          ASSERT_EQ(got[i], ref.chain[i]) << "at " << i << " scratch " << with_scratch;
          ASSERT_LE(std::fabs(got[i] - ref.exact[i]), 1e-5 * ref.magnitude[i] + 1e-7);
        }
      }
    });
  }
}

// Winograd: within float rounding of the float64 convolution (its transforms widen the rounding
// as their points grow), the same bits on every tier, and the same with or without scratch.
struct WinogradCase {
  Conv1dCase shape;
  double tolerance;  // of the output's magnitude sum
};
const WinogradCase kWinogradCases[] = {
    {{5, 7, 3, 1, 1, 1, 1, 1, false, true, "winograd"}, 4e-6},       // one output row of a 4-row tile
    {{19, 21, 3, 1, 1, 1, 1, 43, true, true, "winograd"}, 4e-6},     // L_out 43: partial last tile
    {{16, 16, 3, 1, 0, 1, 1, 40, false, false, "winograd"}, 4e-6},   // no padding
    {{33, 17, 7, 1, 3, 1, 1, 101, false, true, "winograd"}, 2e-5},   // F(2,7), odd length
    {{8, 8, 7, 1, 5, 1, 1, 4, true, true, "winograd"}, 2e-5},        // padding wider than the signal
    {{24, 40, 11, 1, 5, 1, 1, 67, false, true, "winograd"}, 5e-3},   // F(2,11)
    {{64, 64, 11, 1, 2, 1, 1, 500, true, true, "winograd"}, 5e-3},   // several blocks of tiles
};

TEST(Conv1dFp32, WinogradIsTheConvolutionToFloatRoundingOnEveryTier) {
  for (const WinogradCase& wc : kWinogradCases) {
    const Conv1dCase& c = wc.shape;
    SCOPED_TRACE(describe(c));
    const WeightsOf d = random_case(c, uint32_t(c.L * 7 + c.K));
    const Reference ref = conv1d_reference(c, d.x, d.w, d.b);
    std::vector<float> first;
    testing::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
      auto layer = conv1d_layer(c, d, c.relu);
      ASSERT_EQ(conv1d_fp32_path(*layer), "winograd");
      const std::vector<float> got = forward(*layer, d.x, TensorShape{c.C_in, c.L, 1}, false);
      ASSERT_EQ(got.size(), ref.exact.size());
      EXPECT_EQ(forward(*layer, d.x, TensorShape{c.C_in, c.L, 1}, true), got);
      if (first.empty())
        first = got;
      else
        EXPECT_EQ(got, first) << "tiers differ";
      for (size_t i = 0; i < got.size(); ++i)
        ASSERT_LE(std::fabs(got[i] - ref.exact[i]), wc.tolerance * ref.magnitude[i] + 1e-6) << "at " << i;
    });
  }
}

TEST(Conv1dFp32, ForwardsPrepareNothing) {
  const Conv1dCase c{16, 16, 7, 1, 3, 1, 1, 50, false, true, "winograd"};
  const WeightsOf d = random_case(c, 3);
  auto layer = conv1d_layer(c, d, false);
  const uint64_t before = weight_preparations();
  forward(*layer, d.x, TensorShape{16, 50, 1}, false);
  forward(*layer, d.x, TensorShape{16, 50, 1}, true);
  EXPECT_EQ(weight_preparations(), before);
}

// ---- scratch, lengths and errors ----------------------------------------------------------------

TEST(Conv1dFp32, ScratchSizesFollowThePaths) {
  struct Case {
    Conv1dCase shape;
    uint64_t floats;
  };
  // Winograd need: n (C_in + C_out) points + C_in max(Lp, rows the tiles read); otherwise C_in Lp
  // for stride-1 group-1 layers, and never below the patch matrix L_out x C_in/groups x K.
  const Case cases[] = {
      {{4, 6, 3, 1, 1, 1, 1, 10, false, false, ""}, 3 * 10 * 6 + 4 * 14},   // n 3: 4n + 2 = 14 > Lp 12
      {{4, 6, 7, 1, 3, 1, 1, 10, false, false, ""}, 5 * 10 * 8 + 4 * 16},   // n 5: Lp 16 = 2n + 6
      {{4, 6, 11, 1, 0, 1, 1, 20, false, false, ""}, 5 * 10 * 12 + 4 * 20}, // L_out 10, n 5: Lp 20 = 2n + 10
      {{4, 6, 11, 1, 5, 1, 1, 9, false, false, ""}, 5 * 10 * 12 + 4 * 20},  // n 5: 2n + 10 = 20 > Lp 19
      {{4, 6, 3, 1, 2, 2, 1, 10, false, false, ""}, 10 * 4 * 3},           // dilated: patch matrix > C_in Lp
      {{4, 6, 5, 1, 0, 1, 1, 10, false, false, ""}, 6 * 4 * 5},            // patch 120 > C_in Lp 40
      {{4, 6, 4, 2, 1, 1, 2, 10, false, false, ""}, 5 * 2 * 4},            // grouped, stride 2
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(describe(c.shape));
    auto layer = conv1d_layer(c.shape, random_case(c.shape, 4), false);
    uint64_t sizes[kScratchBuffers] = {};
    sizes[3] = 123;
    layer->scratch_sizes(TensorShape{c.shape.C_in, c.shape.L, 1}, sizes);
    EXPECT_EQ(sizes[2], 4 * c.floats);
    EXPECT_EQ(sizes[3], 123u);
    sizes[2] = uint64_t(1) << 40;  // only raised, never lowered
    layer->scratch_sizes(TensorShape{c.shape.C_in, c.shape.L, 1}, sizes);
    EXPECT_EQ(sizes[2], uint64_t(1) << 40);
  }
}

TEST(Conv1dFp32, LengthsAndErrors) {
  const Conv1dCase c{3, 2, 5, 1, 1, 2, 1, 8, false, true, ""};  // span 9, padded input 10: L_out 2
  const WeightsOf d = random_case(c, 6);
  auto layer = conv1d_layer(c, d, false);
  EXPECT_EQ(layer->output_shape(TensorShape{3, 8, 1}).h, 2);
  // A span beyond the padded input: no output rows; a non-empty input that no window fits is an
  // error, an empty one gives an empty output.
  EXPECT_EQ(layer->output_shape(TensorShape{3, 6, 1}).h, 0);
  const std::vector<float> short_x(6 * 3, 1.0f);
  expect_error([&] { forward(*layer, short_x, TensorShape{3, 6, 1}, false); },
               "node 'conv': kernel span 9 is longer than the padded input (8 positions)");
  EXPECT_TRUE(forward(*layer, {}, TensorShape{3, 0, 1}, false).empty());
  expect_error([&] { forward(*layer, d.x, TensorShape{4, 6, 1}, false); },
               "node 'conv': input has 4 channels, expected C_in 3");

  // Only padding under the kernel: the outputs are the bias, then the ReLU.
  const Conv1dCase pad_only{2, 3, 3, 1, 3, 1, 1, 0, false, true, ""};
  const WeightsOf pd = random_case(pad_only, 7);
  for (bool relu : {false, true}) {
    auto l = conv1d_layer(pad_only, pd, relu);
    const std::vector<float> got = forward(*l, {}, TensorShape{2, 0, 1}, false);
    ASSERT_EQ(got.size(), size_t(4 * 3));
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], relu ? std::fmax(pd.b[i % 3], 0.0f) : pd.b[i % 3]);
  }

  auto bad = [](const std::string& json) { make_layer("conv1d_fp32", json, {{"c.weight", std::vector<float>(64)}}, "c"); };
  expect_error([&] { bad(R"({"C_out": 4, "C_in": 6, "kernel_size": 1, "groups": 4})"); },
               "node 'c': groups 4 does not divide C_in 6");
  expect_error([&] { bad(R"({"C_out": 6, "C_in": 4, "kernel_size": 1, "groups": 4})"); },
               "node 'c': groups 4 does not divide C_out 6");
  expect_error([&] { bad(R"({"C_out": 4, "C_in": 4, "kernel_size": 0})"); },
               "node 'c': kernel_size must be at least 1, got 0");
  expect_error([&] { bad(R"({"C_out": 4, "C_in": 4, "dilation": 0})"); }, "node 'c': dilation must be at least 1, got 0");
  expect_error([&] { bad(R"({"C_out": 4, "C_in": 4, "kernel_size": 3})"); },
               "weight c.weight holds 64 elements, expected 48");
  // No weight: the layer loads and refuses to run.
  auto empty = make_layer("conv1d_fp32", R"({"C_out": 4, "C_in": 4, "kernel_size": 3})", {}, "c");
  EXPECT_EQ(conv1d_fp32_path(*empty), "none");
  expect_error([&] { forward(*empty, std::vector<float>(40), TensorShape{4, 10, 1}, false); },
               "missing weight tensor: c.weight");
}

// ---- ConvTranspose1dFp32 ------------------------------------------------------------------------

struct TransposeCase {
  int C_in, C_out, K, stride, padding, output_padding, groups, L;
  bool bias;
};

std::string transpose_json(const TransposeCase& c) {
  char text[300];
  std::snprintf(text, sizeof text,
                R"({"C_out": %d, "C_in": %d, "kernel_size": %d, "stride": %d, "padding": %d,
                    "output_padding": %d, "groups": %d})",
                c.C_out, c.C_in, c.K, c.stride, c.padding, c.output_padding, c.groups);
  return text;
}

TEST(ConvTranspose1dFp32, MatchesTheScatteredSumOnEveryTier) {
  const TransposeCase cases[] = {
      {6, 4, 4, 2, 1, 0, 1, 10, true},    // L_out 20
      {6, 4, 4, 2, 1, 1, 1, 10, true},    // output padding: 21
      {8, 6, 4, 2, 1, 1, 2, 11, true},    // groups 2
      {5, 5, 3, 2, 0, 0, 5, 9, false},    // depthwise
      {3, 7, 2, 3, 0, 2, 1, 6, true},     // kernel shorter than the stride: rows of bias alone
      {16, 8, 16, 8, 4, 0, 1, 37, true},  // upsampling by 8
      {70, 66, 20, 10, 5, 0, 1, 300, true},  // several output blocks, channel tails
  };
  for (const TransposeCase& c : cases) {
    char label[160];
    std::snprintf(label, sizeof label, "C_in=%d C_out=%d K=%d stride=%d pad=%d out_pad=%d groups=%d L=%d", c.C_in,
                  c.C_out, c.K, c.stride, c.padding, c.output_padding, c.groups, c.L);
    SCOPED_TRACE(label);
    const int Cig = c.C_in / c.groups, Cog = c.C_out / c.groups;
    const int L_out = c.K + c.stride * (c.L - 1) + c.output_padding - 2 * c.padding;
    std::mt19937 rng(uint32_t(c.L + c.K));
    const std::vector<float> x = random_floats(size_t(c.L) * c.C_in, rng);
    const std::vector<float> w = random_floats(size_t(c.C_in) * Cog * c.K, rng);
    const std::vector<float> b = random_floats(size_t(c.C_out), rng);
    // float64 reference and, per output, the magnitude that bounds a float sum's rounding.
    std::vector<double> exact(size_t(L_out) * c.C_out, 0.0), mag(exact.size(), 0.0);
    for (int j = 0; j < c.L; ++j)
      for (int k = 0; k < c.K; ++k) {
        const int u = c.stride * j + k - c.padding;
        if (u < 0 || u >= L_out) continue;
        for (int o = 0; o < c.C_out; ++o) {
          const int g = o / Cog;
          for (int ch = 0; ch < Cig; ++ch) {
            const int ci = g * Cig + ch;
            const double v = double(x[size_t(j) * c.C_in + ci]) * w[(size_t(ci) * Cog + (o % Cog)) * c.K + k];
            exact[size_t(u) * c.C_out + o] += v;
            mag[size_t(u) * c.C_out + o] += std::fabs(v);
          }
        }
      }
    if (c.bias)
      for (size_t i = 0; i < exact.size(); ++i) exact[i] += b[i % c.C_out], mag[i] += std::fabs(b[i % c.C_out]);
    WeightMap weights{{"up.weight", w}};
    if (c.bias) weights["up.bias"] = b;
    std::vector<float> first;
    testing::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
      auto layer = make_layer("conv_transpose1d_fp32", transpose_json(c), weights, "up");
      EXPECT_EQ(layer->output_shape(TensorShape{c.C_in, c.L, 1}).h, L_out);
      for (bool with_scratch : {false, true}) {
        const std::vector<float> got = forward(*layer, x, TensorShape{c.C_in, c.L, 1}, with_scratch);
        ASSERT_EQ(got.size(), exact.size());
        for (size_t i = 0; i < got.size(); ++i)
          ASSERT_LE(std::fabs(got[i] - exact[i]), 1e-6 * mag[i] + 1e-7) << "at " << i;
        if (first.empty())
          first = got;
        else
          ASSERT_EQ(got, first) << "tiers or scratch differ";
      }
    });
  }
}

// Rows long enough for several blocks of the working set: each output adds its (row, tap) sums,
// each one fma chain over the group's channels, in the order of one whole pass (one group: tap
// after tap; several: row after row), then the bias.
TEST(ConvTranspose1dFp32, AddsTapsInTheOrderOfOneWholePass) {
  const TransposeCase cases[] = {
      {64, 1000, 6, 2, 1, 0, 1, 300, true},
      {64, 1000, 6, 2, 1, 1, 2, 300, true},
  };
  for (const TransposeCase& c : cases) {
    SCOPED_TRACE(c.groups);
    const int Cig = c.C_in / c.groups, Cog = c.C_out / c.groups;
    const int L_out = c.K + c.stride * (c.L - 1) + c.output_padding - 2 * c.padding;
    std::mt19937 rng(7);
    const std::vector<float> x = random_floats(size_t(c.L) * c.C_in, rng);
    const std::vector<float> w = random_floats(size_t(c.C_in) * Cog * c.K, rng);
    const std::vector<float> b = random_floats(size_t(c.C_out), rng);
    std::vector<float> want(size_t(L_out) * c.C_out, 0.0f);
    auto add_sum = [&](int j, int k) {
      const int u = c.stride * j + k - c.padding;
      if (u < 0 || u >= L_out) return;
      for (int o = 0; o < c.C_out; ++o) {
        const int g = o / Cog;
        float sum = 0.0f;
        for (int ch = 0; ch < Cig; ++ch) {
          const int ci = g * Cig + ch;
          sum = std::fma(x[size_t(j) * c.C_in + ci], w[(size_t(ci) * Cog + (o % Cog)) * c.K + k], sum);
        }
        want[size_t(u) * c.C_out + o] += sum;
      }
    };
    if (c.groups == 1) {
      for (int k = 0; k < c.K; ++k)
        for (int j = 0; j < c.L; ++j) add_sum(j, k);
    } else {
      for (int j = 0; j < c.L; ++j)
        for (int k = 0; k < c.K; ++k) add_sum(j, k);
    }
    for (size_t i = 0; i < want.size(); ++i) want[i] += b[i % c.C_out];
    const WeightMap weights{{"up.weight", w}, {"up.bias", b}};
    testing::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
      auto layer = make_layer("conv_transpose1d_fp32", transpose_json(c), weights, "up");
      ASSERT_EQ(forward(*layer, x, TensorShape{c.C_in, c.L, 1}, false), want);
    });
  }
}

TEST(ConvTranspose1dFp32, LengthsScratchAndErrors) {
  const std::string json = R"({"C_out": 4, "C_in": 6, "kernel_size": 4, "stride": 2, "padding": 1})";
  auto layer = make_layer("conv_transpose1d_fp32", json, {{"up.weight", std::vector<float>(6 * 4 * 4, 0.5f)}}, "up");
  EXPECT_EQ(layer->output_shape(TensorShape{6, 10, 1}).h, 20);
  uint64_t sizes[kScratchBuffers] = {};
  layer->scratch_sizes(TensorShape{6, 10, 1}, sizes);
  EXPECT_EQ(sizes[2], 4u * 4 * 10);
  // L 0: 4 - 2 - 2 = 0 positions.
  EXPECT_EQ(layer->output_shape(TensorShape{6, 0, 1}).h, 0);
  expect_error([&] { forward(*layer, {}, TensorShape{6, 0, 1}, false); },
               "node 'up': output length 0 is not positive (input length 0, kernel_size 4, stride 2, padding 1, "
               "output_padding 0)");
  expect_error([&] { forward(*layer, std::vector<float>(50), TensorShape{5, 10, 1}, false); },
               "node 'up': input has 5 channels, expected C_in 6");
  auto bad = [](const std::string& j) { make_layer("conv_transpose1d_fp32", j, {}, "up"); };
  expect_error([&] { bad(R"({"C_out": 4, "C_in": 6, "groups": 4})"); }, "node 'up': groups 4 does not divide C_in 6");
  expect_error([&] { bad(R"({"C_out": 4, "C_in": 4, "stride": 0})"); }, "node 'up': stride must be at least 1, got 0");
  expect_error([&] { bad(R"({"C_out": 4, "C_in": 4, "output_padding": -1})"); },
               "node 'up': output_padding must be at least 0, got -1");
}

TEST(AddRowBias, EveryTierAddsTheBiasToEachRow) {
  const int rows = 3, cols = 37;
  const std::vector<float> data = random_floats(size_t(rows) * cols + kGuard, -1.0f, 1.0f, 8);
  const std::vector<float> bias = random_floats(size_t(cols), -1.0f, 1.0f, 9);
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
    ASSERT_TRUE(t.add_row_bias_f32);
    std::vector<float> got = data;
    t.add_row_bias_f32(got.data(), bias.data(), rows, cols);
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < cols; ++c) EXPECT_EQ(got[size_t(r) * cols + c], data[size_t(r) * cols + c] + bias[c]);
    for (size_t i = size_t(rows) * cols; i < got.size(); ++i) EXPECT_EQ(got[i], data[i]);
    t.add_row_bias_f32(got.data(), bias.data(), 0, cols);  // nothing to do
  });
}

}  // namespace
}  // namespace trevalon
