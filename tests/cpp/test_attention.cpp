// Attention layers: every tier against an untiled float64 softmax attention, the tiers against each
// other bit for bit, the fake-quantised and the int8 paths against references of their formulas,
// and the refusals of parameters, weights and inputs that do not fit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "arch/json.h"
#include "arch/op_type.h"
#include "kernel_tier_loop.h"
#include "kernels/attention.h"
#include "kernels/seq_gemm.h"
#include "kernels/gemm_f32.h"
#include "kernels/prepared_weights.h"
#include "layers/layer_factory.h"
#include "test_support.h"
#include "thread_counts.h"

namespace trevalon {
namespace {

using testing::bytes_of;
using testing::parse_node;
using Bytes = std::vector<uint8_t>;
using Tensors = std::map<std::string, Bytes>;

struct FloatWeights {
  int E = 0;
  std::vector<float> w_qkv, b_qkv, w_proj, b_proj;  // empty biases: none
};

FloatWeights random_weights(int E, bool biases, uint32_t seed) {
  std::mt19937 rng(seed);
  const float r = 1.0f / std::sqrt(float(E));
  FloatWeights w;
  w.E = E;
  w.w_qkv = testing::random_floats(size_t(3) * E * E, rng, -r, r);
  w.w_proj = testing::random_floats(size_t(E) * E, rng, -r, r);
  if (biases) {
    w.b_qkv = testing::random_floats(size_t(3) * E, rng, -0.5f, 0.5f);
    w.b_proj = testing::random_floats(size_t(E), rng, -0.5f, 0.5f);
  }
  return w;
}

Tensors tensors_of(const FloatWeights& w, const std::string& node = "att") {
  Tensors t{{node + ".w_qkv", bytes_of(w.w_qkv)}, {node + ".w_proj", bytes_of(w.w_proj)}};
  if (!w.b_qkv.empty()) t[node + ".b_qkv"] = bytes_of(w.b_qkv);
  if (!w.b_proj.empty()) t[node + ".b_proj"] = bytes_of(w.b_proj);
  return t;
}

std::unique_ptr<ILayer> make_attention(const std::string& op, const std::string& params,
                                       const Tensors& tensors, const std::string& name = "att") {
  auto layer = create_layer(op_from_name(op), parse_node(params));
  if (!layer) throw std::runtime_error("no layer for " + op);
  layer->name = name;
  WeightGetter get = testing::getter_over(tensors);
  layer->load_weights(get);
  return layer;
}

// One forward pass with the scratch buffers the layer asks for.
std::vector<float> run(ILayer& layer, const std::vector<float>& x, TensorShape shape) {
  uint64_t sizes[kScratchBuffers] = {};
  layer.scratch_sizes(shape, sizes);
  std::vector<std::vector<uint8_t>> scratch(kScratchBuffers);
  ExecContext ctx{};
  for (int i = 0; i < kScratchBuffers; ++i) {
    scratch[i].assign(sizes[i], 0xcd);
    ctx.scratch[i] = BufferView{scratch[i].data(), 0, sizes[i]};
  }
  std::vector<float> out(element_count(shape) + 1, -7.0f);
  TensorRef in{BufferView{const_cast<float*>(x.data()), 0, x.size() * sizeof(float)}, shape};
  const TensorShape got = layer.forward(&in, 1, BufferView{out.data(), 0, out.size() * sizeof(float)}, &ctx);
  EXPECT_EQ(got, shape);
  EXPECT_EQ(out.back(), -7.0f) << "wrote past the output";
  out.pop_back();
  return out;
}

// y = x W^T + b in float64.
std::vector<double> project(const std::vector<double>& x, int T, int K, const std::vector<float>& w,
                            const std::vector<float>& b, int N) {
  std::vector<double> y(size_t(T) * N);
  for (int t = 0; t < T; ++t)
    for (int n = 0; n < N; ++n) {
      double acc = b.empty() ? 0.0 : b[n];
      for (int k = 0; k < K; ++k) acc += x[size_t(t) * K + k] * double(w[size_t(n) * K + k]);
      y[size_t(t) * N + n] = acc;
    }
  return y;
}

// Softmax attention over the whole T x T score matrix, per head, from T x 3E projections.
std::vector<double> heads_reference(const std::vector<double>& qkv, int T, int E, int heads) {
  const int hd = E / heads;
  std::vector<double> out(size_t(T) * E), p(T);
  for (int h = 0; h < heads; ++h)
    for (int i = 0; i < T; ++i) {
      const double* q = &qkv[size_t(i) * 3 * E + size_t(h) * hd];
      double m = -INFINITY, sum = 0.0;
      for (int j = 0; j < T; ++j) {
        const double* k = &qkv[size_t(j) * 3 * E + E + size_t(h) * hd];
        double s = 0.0;
        for (int d = 0; d < hd; ++d) s += q[d] * k[d];
        p[j] = s / std::sqrt(double(hd));
        m = std::max(m, p[j]);
      }
      for (int j = 0; j < T; ++j) sum += (p[j] = std::exp(p[j] - m));
      for (int d = 0; d < hd; ++d) {
        double acc = 0.0;
        for (int j = 0; j < T; ++j) acc += p[j] * qkv[size_t(j) * 3 * E + 2 * E + size_t(h) * hd + d];
        out[size_t(i) * E + size_t(h) * hd + d] = acc / sum;
      }
    }
  return out;
}

std::vector<double> attention_reference(const std::vector<float>& x, int T, const FloatWeights& w,
                                        int heads) {
  const std::vector<double> xd(x.begin(), x.end());
  const std::vector<double> qkv = project(xd, T, w.E, w.w_qkv, w.b_qkv, 3 * w.E);
  return project(heads_reference(qkv, T, w.E, heads), T, w.E, w.w_proj, w.b_proj, w.E);
}

// Largest |a - b| relative to the largest |b| (at least 1).
double relative_error(const std::vector<float>& a, const std::vector<double>& b) {
  double err = 0.0, scale = 1.0;
  for (size_t i = 0; i < b.size(); ++i) {
    err = std::max(err, std::fabs(double(a[i]) - b[i]));
    scale = std::max(scale, std::fabs(b[i]));
  }
  return err / scale;
}

struct Case {
  int T, E, heads;
  bool biases;
  float qk_gain;
};

TEST(AttentionFp32, MatchesUntiledFloat64AttentionOnEveryTierWithTheSameBits) {
  // Tile edges (63, 64, 65, 197), one position, head widths that fill vectors and ones that do not.
  const Case cases[] = {{1, 32, 2, true, 1.0f},   {63, 48, 3, false, 1.0f},  {64, 64, 4, true, 1.0f},
                        {65, 40, 2, true, 1.0f},  {197, 64, 1, false, 1.0f}, {197, 96, 12, true, 1.0f},
                        {130, 24, 3, true, 6.0f}, {197, 64, 4, true, 8.0f}};
  for (const Case& c : cases) {
    SCOPED_TRACE("T " + std::to_string(c.T) + " E " + std::to_string(c.E) + " heads " +
                 std::to_string(c.heads) + (c.biases ? " with biases" : "") + " gain " +
                 std::to_string(c.qk_gain));
    const FloatWeights w = random_weights(c.E, c.biases, 100 + c.T + c.E);
    FloatWeights wg = w;
    for (size_t i = 0; i < size_t(2) * c.E * c.E; ++i) wg.w_qkv[i] *= c.qk_gain;
    const std::vector<float> x = testing::random_floats(size_t(c.T) * c.E, -1.0f, 1.0f, 7 + c.T);
    const std::vector<double> ref = attention_reference(x, c.T, wg, c.heads);
    std::vector<float> first;
    testing::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
      auto layer = make_attention("attention_fp32", "{\"num_heads\": " + std::to_string(c.heads) + "}",
                                  tensors_of(wg));
      const std::vector<float> y = run(*layer, x, TensorShape{c.E, c.T, 1});
      EXPECT_LT(relative_error(y, ref), 2e-6);
      if (first.empty())
        first = y;
      else
        EXPECT_EQ(0, std::memcmp(first.data(), y.data(), y.size() * sizeof(float))) << "tiers differ";
    });
  }
}

TEST(AttentionFp32, TableSlotOnPanelsGivesTheLayersResult) {
  const int T = 70, E = 32, heads = 2;
  const FloatWeights w = random_weights(E, true, 3);
  const std::vector<float> x = testing::random_floats(size_t(T) * E, -1.0f, 1.0f, 4);
  auto layer = make_attention("attention_fp32", "{\"num_heads\": 2, \"embed_dim\": 32}", tensors_of(w));
  const std::vector<float> expected = run(*layer, x, TensorShape{E, T, 1});
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable& k) {
    float* qkv = pack_weights_f32(w.w_qkv.data(), 3 * E, E);
    float* proj = pack_weights_f32(w.w_proj.data(), E, E);
    std::vector<float> work(size_t(3) * T * E), y(size_t(T) * E);
    k.attention_f32(x.data(), nullptr, w.b_qkv.data(), nullptr, w.b_proj.data(), y.data(), T, E, heads,
                    work.data(), qkv, proj, nullptr, false);
    free_packed_f32(qkv);
    free_packed_f32(proj);
    EXPECT_EQ(0, std::memcmp(expected.data(), y.data(), y.size() * sizeof(float)));
  });
}

TEST(AttentionFp32, PreparesOnceAndFollowsATierChangeAfterLoad) {
  const int T = 33, E = 64;
  const FloatWeights w = random_weights(E, true, 8);
  const std::vector<float> x = testing::random_floats(size_t(T) * E, -1.0f, 1.0f, 9);
  auto layer = make_attention("attention_fp32", "{\"num_heads\": 8}", tensors_of(w));
  const std::vector<float> best = run(*layer, x, TensorShape{E, T, 1});
  const uint64_t prepared = weight_preparations();
  EXPECT_EQ(run(*layer, x, TensorShape{E, T, 1}), best);
  EXPECT_EQ(weight_preparations(), prepared) << "a forward prepared weights";
  // The same layer on every tier: a tier whose form replaced the panels gives them back.
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
    EXPECT_EQ(run(*layer, x, TensorShape{E, T, 1}), best);
  });
}

// The fake quantisation: a grid of 255 steps over the range (widened to take in 0) with a rounded
// zero point.
std::vector<float> fake_quantized(std::vector<float> v) {
  float lo = v[0], hi = v[0];
  for (float x : v) lo = std::min(lo, x), hi = std::max(hi, x);
  if (!(hi - lo > 0.0f)) return v;
  lo = std::min(lo, 0.0f), hi = std::max(hi, 0.0f);
  const float scale = (hi - lo) * 0.003921569f, inv = 1.0f / scale;
  const float z = std::round(std::min(std::max(-lo / scale, 0.0f), 255.0f));
  for (float& x : v) x = (std::min(std::max(std::round(x * inv) + z, 0.0f), 255.0f) - z) * scale;
  return v;
}

TEST(AttentionFp32, DynamicQuantizeSnapsTheInputAndTheHeadsOutput) {
  const int T = 67, E = 48, heads = 4;
  const FloatWeights w = random_weights(E, true, 11);
  const std::vector<float> x = testing::random_floats(size_t(T) * E, -2.0f, 1.0f, 12);
  // The steps by hand: fake-quantised input, float products in k order, the portable core,
  // fake-quantised heads, the output product.
  const std::vector<float> xq = fake_quantized(x);
  std::vector<float> qkv(size_t(T) * 3 * E), heads_out(size_t(T) * E), expected(size_t(T) * E);
  gemm_f32_reference(xq.data(), w.w_qkv.data(), w.b_qkv.data(), qkv.data(), false, T, E, 3 * E);
  attention_heads_portable(qkv.data(), heads_out.data(), T, E, heads);
  const std::vector<float> hq = fake_quantized(heads_out);
  EXPECT_NE(hq, heads_out);
  gemm_f32_reference(hq.data(), w.w_proj.data(), w.b_proj.data(), expected.data(), false, T, E, E);

  testing::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
    auto layer =
        make_attention("attention_fp32", "{\"num_heads\": 4, \"dynamic_quantize\": true}", tensors_of(w));
    const std::vector<float> before = x;
    EXPECT_EQ(run(*layer, x, TensorShape{E, T, 1}), expected);
    EXPECT_EQ(x, before);
  });
}

TEST(AttentionFp32, FakeQuantizationLeavesAConstantTensorAlone) {
  std::vector<float> v(50, 0.7321f);
  fake_quantize_f32(v.data(), v.size());
  EXPECT_EQ(v, std::vector<float>(50, 0.7321f));
  std::vector<float> w = {-1.0f, 0.3f, 2.0f, 0.0f};
  const std::vector<float> expected = fake_quantized(w);
  fake_quantize_f32(w.data(), w.size());
  EXPECT_EQ(w, expected);
  EXPECT_EQ(w[3], 0.0f);  // zero sits on the grid
}

TEST(AttentionFp32, RefusesParametersWeightsAndInputsThatDoNotFit) {
  using testing::expect_error;
  const FloatWeights w = random_weights(64, true, 5);
  expect_error(
      [&] { make_attention("attention_fp32", "{\"num_heads\": 5, \"embed_dim\": 64}", tensors_of(w)); },
      "node 'att': num_heads 5 does not divide embed_dim 64");
  expect_error([&] { make_attention("attention_fp32", "{\"embed_dim\": 64}", {}); },
               "node 'att': num_heads 0 does not divide embed_dim 64");
  // Without embed_dim the width comes from the input, so the heads are refused at the first pass.
  auto late = make_attention("attention_fp32", "{\"num_heads\": 5}", tensors_of(w));
  const std::vector<float> x(64 * 3, 0.5f);
  expect_error(
      [&] {
        run(*late, x, TensorShape{64, 3, 1});
      },
      "node 'att': num_heads 5 does not divide embed_dim 64");

  auto no_weights = make_attention("attention_fp32", "{\"num_heads\": 4}", {});
  expect_error([&] { run(*no_weights, x, TensorShape{64, 3, 1}); }, "missing weight tensor: att.w_qkv");
  Tensors no_proj = tensors_of(w);
  no_proj.erase("att.w_proj");
  auto half = make_attention("attention_fp32", "{\"num_heads\": 4}", no_proj);
  expect_error([&] { run(*half, x, TensorShape{64, 3, 1}); }, "missing weight tensor: att.w_proj");

  Tensors short_bias = tensors_of(w);
  short_bias["att.b_qkv"].resize(4 * 100);
  expect_error([&] { make_attention("attention_fp32", "{\"num_heads\": 4, \"embed_dim\": 64}", short_bias); },
               "weight att.b_qkv holds 100 elements, expected 192");
  expect_error(
      [&] { make_attention("attention_fp32", "{\"num_heads\": 4, \"embed_dim\": 32}", tensors_of(w)); },
      "weight att.w_qkv holds 12288 elements, expected 3072");
  Tensors odd = tensors_of(w);
  odd["att.w_qkv"].resize(4 * 100);
  expect_error([&] { make_attention("attention_fp32", "{\"num_heads\": 4}", odd); },
               "node 'att': weight att.w_qkv holds 400 bytes, not 3E x E values for any width E");

  auto fixed = make_attention("attention_fp32", "{\"num_heads\": 4, \"embed_dim\": 64}", tensors_of(w));
  const std::vector<float> narrow(32 * 3, 0.5f);
  expect_error(
      [&] {
        run(*fixed, narrow, TensorShape{32, 3, 1});
      },
      "node 'att': input has 32 channels, expected embed_dim 64");
  auto from_input = make_attention("attention_fp32", "{\"num_heads\": 4}", tensors_of(w));
  expect_error(
      [&] {
        run(*from_input, narrow, TensorShape{32, 3, 1});
      },
      "node 'att': input has 32 channels, its weights are for width 64");
}

// ---- int8 ----

struct Int8Weights {
  int E = 0;
  std::vector<int8_t> w_qkv, w_proj;
  std::vector<float> qkv_scales, proj_scales, b_qkv, b_proj;
};

Int8Weights random_int8_weights(int E, bool biases, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> q(-128, 127);
  Int8Weights w;
  w.E = E;
  w.w_qkv.resize(size_t(3) * E * E);
  w.w_proj.resize(size_t(E) * E);
  for (auto& v : w.w_qkv) v = int8_t(q(rng));
  for (auto& v : w.w_proj) v = int8_t(q(rng));
  const float s = 1.0f / (127.0f * std::sqrt(float(E)));
  w.qkv_scales = testing::random_floats(size_t(3) * E, rng, 0.5f * s, 1.5f * s);
  w.proj_scales = testing::random_floats(size_t(E), rng, 0.5f * s, 1.5f * s);
  if (biases) {
    w.b_qkv = testing::random_floats(size_t(3) * E, rng, -0.5f, 0.5f);
    w.b_proj = testing::random_floats(size_t(E), rng, -0.5f, 0.5f);
  }
  return w;
}

Tensors tensors_of(const Int8Weights& w) {
  Tensors t{{"att.w_qkv_i8", bytes_of(w.w_qkv)},
            {"att.w_qkv_scales", bytes_of(w.qkv_scales)},
            {"att.w_proj_i8", bytes_of(w.w_proj)},
            {"att.w_proj_scales", bytes_of(w.proj_scales)}};
  if (!w.b_qkv.empty()) t["att.b_qkv"] = bytes_of(w.b_qkv);
  if (!w.b_proj.empty()) t["att.b_proj"] = bytes_of(w.b_proj);
  return t;
}

// Each row quantised with s_r = max|x| / 127 (at least 1e-8), q = round-half-away(x / s_r) clamped;
// y = float(acc) x scale[o], times s_r, plus the bias.
std::vector<float> dynamic_rows_reference(const std::vector<float>& x, int T, int K,
                                          const std::vector<int8_t>& w, const std::vector<float>& scales,
                                          const std::vector<float>& bias, int N) {
  std::vector<float> y(size_t(T) * N);
  std::vector<int> q(K);
  for (int t = 0; t < T; ++t) {
    float amax = 0.0f;
    for (int k = 0; k < K; ++k) amax = std::max(amax, std::fabs(x[size_t(t) * K + k]));
    const float s = std::max(amax * 0.007874016f, 1e-8f), inv = 1.0f / s;
    for (int k = 0; k < K; ++k)
      q[k] = int(std::min(std::max(std::round(x[size_t(t) * K + k] * inv), -128.0f), 127.0f));
    for (int n = 0; n < N; ++n) {
      int32_t acc = 0;
      for (int k = 0; k < K; ++k) acc += q[k] * w[size_t(n) * K + k];
      float v = float(acc) * scales[n] * s;
      if (!bias.empty()) v += bias[n];
      y[size_t(t) * N + n] = v;
    }
  }
  return y;
}

TEST(AttentionInt8, FollowsTheDynamicRowFormulaOnEveryTier) {
  const Case cases[] = {{1, 32, 2, true, 1.0f}, {65, 48, 3, false, 1.0f}, {197, 64, 4, true, 1.0f}};
  for (const Case& c : cases) {
    SCOPED_TRACE("T " + std::to_string(c.T) + " E " + std::to_string(c.E));
    const Int8Weights w = random_int8_weights(c.E, c.biases, 21 + c.T);
    const std::vector<float> x = testing::random_floats(size_t(c.T) * c.E, -1.5f, 1.5f, 22 + c.T);
    const std::vector<float> qkv =
        dynamic_rows_reference(x, c.T, c.E, w.w_qkv, w.qkv_scales, w.b_qkv, 3 * c.E);
    std::vector<float> heads_out(size_t(c.T) * c.E);
    attention_heads_portable(qkv.data(), heads_out.data(), c.T, c.E, c.heads);
    const std::vector<float> expected =
        dynamic_rows_reference(heads_out, c.T, c.E, w.w_proj, w.proj_scales, w.b_proj, c.E);
    testing::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
      auto layer =
          make_attention("attention_int8", "{\"num_heads\": " + std::to_string(c.heads) + "}", tensors_of(w));
      const std::vector<float> y = run(*layer, x, TensorShape{c.E, c.T, 1});
      EXPECT_EQ(y, expected);
    });
  }
}

TEST(AttentionInt8, ReportsTheMandatoryTensorItLacks) {
  using testing::expect_error;
  const Int8Weights w = random_int8_weights(32, true, 9);
  const std::vector<float> x(32 * 2, 0.25f);
  Tensors no_scales = tensors_of(w);
  no_scales.erase("att.w_qkv_scales");
  auto a = make_attention("attention_int8", "{\"num_heads\": 2}", no_scales);
  expect_error([&] { run(*a, x, TensorShape{32, 2, 1}); }, "missing weight tensor: att.w_qkv_scales");
  auto b = make_attention("attention_int8", "{\"num_heads\": 2}", {});
  expect_error([&] { run(*b, x, TensorShape{32, 2, 1}); }, "missing weight tensor: att.w_qkv_i8");
  Tensors no_proj = tensors_of(w);
  no_proj.erase("att.w_proj_i8");
  auto c = make_attention("attention_int8", "{\"num_heads\": 2}", no_proj);
  expect_error([&] { run(*c, x, TensorShape{32, 2, 1}); }, "missing weight tensor: att.w_proj_i8");
  expect_error(
      [&] { make_attention("attention_int8", "{\"num_heads\": 3, \"embed_dim\": 32}", tensors_of(w)); },
      "node 'att': num_heads 3 does not divide embed_dim 32");
}

// ---- threads ----

// Heads and query tiles split between threads: one position, fewer heads (and tiles) than threads,
// a head split between two ranges (three tiles of one head), and tile edges; the float layer with
// and without fake quantisation, the int8 layer and the float table slot.
TEST(AttentionThreads, EveryPathGivesTheSameBytesAtEveryThreadCount) {
  const Case cases[] = {
      {1, 32, 2, true, 1.0f}, {70, 32, 1, true, 1.0f}, {130, 48, 3, false, 1.0f}, {197, 64, 4, true, 1.0f}};
  for (const Case& c : cases) {
    SCOPED_TRACE("T " + std::to_string(c.T) + " E " + std::to_string(c.E) + " heads " +
                 std::to_string(c.heads));
    const FloatWeights w = random_weights(c.E, c.biases, 300 + c.T);
    const Int8Weights wi = random_int8_weights(c.E, c.biases, 400 + c.T);
    const std::vector<float> x = testing::random_floats(size_t(c.T) * c.E, -1.0f, 1.0f, 500 + c.T);
    const std::string heads = "{\"num_heads\": " + std::to_string(c.heads);
    const TensorShape shape{c.E, c.T, 1};
    float* qkv = pack_weights_f32(w.w_qkv.data(), 3 * c.E, c.E);
    float* proj = pack_weights_f32(w.w_proj.data(), c.E, c.E);
    testing::for_each_cpu_tier([&](CpuTier, const KernelTable& k) {
      auto plain = make_attention("attention_fp32", heads + "}", tensors_of(w));
      auto snapped = make_attention("attention_fp32", heads + ", \"dynamic_quantize\": true}", tensors_of(w));
      auto int8 = make_attention("attention_int8", heads + "}", tensors_of(wi));
      testing::expect_same_bytes_at_thread_counts(
          [&] {
            std::vector<float> all = run(*plain, x, shape);
            for (ILayer* layer : {snapped.get(), int8.get()}) {
              const std::vector<float> y = run(*layer, x, shape);
              all.insert(all.end(), y.begin(), y.end());
            }
            std::vector<float> work(size_t(3) * c.T * c.E), y(size_t(c.T) * c.E);
            k.attention_f32(x.data(), nullptr, w.b_qkv.empty() ? nullptr : w.b_qkv.data(), nullptr,
                            w.b_proj.empty() ? nullptr : w.b_proj.data(), y.data(), c.T, c.E, c.heads,
                            work.data(), qkv, proj, nullptr, false);
            all.insert(all.end(), y.begin(), y.end());
            return all;
          },
          "attention");
    });
    free_packed_f32(qkv);
    free_packed_f32(proj);
  }
}

}  // namespace
}  // namespace trevalon
