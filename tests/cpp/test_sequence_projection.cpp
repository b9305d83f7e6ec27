// SeqGemmFp32 / SeqGemmInt8 layers: the float product per position, the decode step on the int8
// copy (and that it is not the float result), the quantised storage of a float weight, the int8
// layer against the dynamic-row formula, and the refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "arch/arch_loader.h"
#include "arch/json.h"
#include "kernel_tier_loop.h"
#include "kernels/gemm_f32.h"
#include "kernels/seq_gemm.h"
#include "layers/layer_factory.h"
#include "layers/quantised_storage.h"
#include "test_support.h"
#include "thread_counts.h"

namespace trevalon {
namespace {

using testing::bytes_of;
using testing::expect_error;
using testing::random_floats;
using Bytes = std::vector<uint8_t>;
using Tensors = std::map<std::string, Bytes>;

std::unique_ptr<ILayer> make_seq(const std::string& op, const std::string& name, const std::string& params,
                                 const Tensors& tensors) {
  const JsonValue node = testing::parse_node("{\"name\": \"" + name + "\", " + params + "}");
  auto layer = create_layer(op_from_name(op), node);
  layer->name = name;
  WeightGetter get = testing::getter_over(tensors);
  layer->load_weights(get);
  return layer;
}

// One pass over T positions of C values, with scratch buffers sized as the layer asks.
std::vector<float> run(ILayer& layer, const std::vector<float>& x, TensorShape in) {
  uint64_t sizes[kScratchBuffers] = {};
  layer.scratch_sizes(in, sizes);
  std::vector<std::vector<uint8_t>> scratch(kScratchBuffers);
  ExecContext ctx{};
  for (int i = 0; i < kScratchBuffers; ++i) {
    scratch[i].resize(sizes[i]);
    ctx.scratch[i] = BufferView{scratch[i].data(), 0, sizes[i]};
  }
  const TensorShape out_shape = layer.output_shape(in);
  std::vector<float> out(element_count(out_shape));
  TensorRef ref{BufferView{const_cast<float*>(x.data()), 0, x.size() * sizeof(float)}, in};
  EXPECT_EQ(layer.forward(&ref, 1, BufferView{out.data(), 0, out.size() * sizeof(float)}, &ctx), out_shape);
  return out;
}

std::string sizes(int C_in, int C_out, const std::string& more = "") {
  return "\"C_in\": " + std::to_string(C_in) + ", \"C_out\": " + std::to_string(C_out) + more;
}

// The decode copy as the layer builds it: per-row amax/127 scale, round(w x 127 / amax).
void decode_copy(const std::vector<float>& w, int C_out, int C_in, std::vector<int8_t>& q,
                 std::vector<float>& s) {
  q.assign(w.size(), 0);
  s.assign(size_t(C_out), 1e-8f);
  for (int i = 0; i < C_out; ++i) {
    float amax = 0;
    for (int j = 0; j < C_in; ++j) amax = std::max(amax, std::fabs(w[size_t(i) * C_in + j]));
    if (!(amax > 1e-8f)) continue;
    s[i] = amax * 0.007874016f;
    for (int j = 0; j < C_in; ++j)
      q[size_t(i) * C_in + j] =
          int8_t(std::max(-128.0f, std::min(127.0f, std::round(w[size_t(i) * C_in + j] * 127.0f / amax))));
  }
}

TEST(SeqGemmFp32, EveryPositionIsTheFusedProductAndGeluFollows) {
  const int C_in = 24, C_out = 10, T = 6;
  const auto w = random_floats(size_t(C_out) * C_in, -1, 1, 1);
  const auto b = random_floats(size_t(C_out), -1, 1, 2);
  const auto x = random_floats(size_t(T) * C_in, -1, 1, 3);
  std::vector<float> expected(size_t(T) * C_out);
  gemm_f32_reference(x.data(), w.data(), b.data(), expected.data(), false, T, C_in, C_out);
  // Loaded once on the best tier: each tier change prepares the weight again (from the prepared
  // form when that replaced the panels).
  auto loaded_once = make_seq("seqgemm_fp32", "once", sizes(C_in, C_out),
                              {{"once.weight", bytes_of(w)}, {"once.bias", bytes_of(b)}});
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable& k) {
    EXPECT_EQ(run(*loaded_once, x, TensorShape{C_in, T, 1}), expected);
    // "layers." keeps a decode copy, which T > 1 never reads.
    for (const char* name : {"proj", "layers.0.proj"}) {
      auto layer = make_seq(
          "seqgemm_fp32", name, sizes(C_in, C_out),
          {{std::string(name) + ".weight", bytes_of(w)}, {std::string(name) + ".bias", bytes_of(b)}});
      EXPECT_EQ(run(*layer, x, TensorShape{C_in, 2, 3}), expected);
    }
    auto gelu = make_seq("seqgemm_fp32", "g", sizes(C_in, C_out, ", \"gelu\": true"),
                         {{"g.weight", bytes_of(w)}, {"g.bias", bytes_of(b)}});
    std::vector<float> g = expected;
    k.gelu_f32(g.data(), int(g.size()));
    EXPECT_EQ(run(*gelu, x, TensorShape{C_in, T, 1}), g);
  });
}

TEST(SeqGemmFp32, OnePositionWithADecodeCopyIsTheInt8ProductNotTheFloatOne) {
  const int C_in = 40, C_out = 12;
  const auto w = random_floats(size_t(C_out) * C_in, -1, 1, 4);
  const auto b = random_floats(size_t(C_out), -1, 1, 5);
  const auto x = random_floats(size_t(C_in), -2, 2, 6);
  std::vector<int8_t> q;
  std::vector<float> s;
  decode_copy(w, C_out, C_in, q, s);
  std::vector<float> float_result(C_out);
  gemm_f32_reference(x.data(), w.data(), b.data(), float_result.data(), false, 1, C_in, C_out);
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable& k) {
    std::vector<float> int8_result(C_out);
    k.gemv_i8_dynamic(x.data(), q.data(), s.data(), b.data(), int8_result.data(), C_in, C_out, nullptr);
    for (const char* name : {"layers.3.mlp", "lm_head"}) {
      auto layer = make_seq(
          "seqgemm_fp32", name, sizes(C_in, C_out),
          {{std::string(name) + ".weight", bytes_of(w)}, {std::string(name) + ".bias", bytes_of(b)}});
      const auto got = run(*layer, x, TensorShape{C_in, 1, 1});
      EXPECT_EQ(got, int8_result);
      EXPECT_NE(got, float_result);
      for (int o = 0; o < C_out; ++o) EXPECT_NEAR(got[o], float_result[o], 0.2f);  // two 8-bit roundings
    }
    auto plain = make_seq("seqgemm_fp32", "lm_head2", sizes(C_in, C_out),
                          {{"lm_head2.weight", bytes_of(w)}, {"lm_head2.bias", bytes_of(b)}});
    EXPECT_EQ(run(*plain, x, TensorShape{C_in, 1, 1}), float_result);
  });
}

TEST(SeqGemmFp32, DynamicQuantizeRunsOnACopyOfTheInput) {
  const int C_in = 16, C_out = 5, T = 4;
  const auto w = random_floats(size_t(C_out) * C_in, -1, 1, 7);
  const auto x = random_floats(size_t(T) * C_in, -3, 3, 8);
  auto layer = make_seq("seqgemm_fp32", "dq", sizes(C_in, C_out, ", \"dynamic_quantize\": true"),
                        {{"dq.weight", bytes_of(w)}});
  const auto x_before = x;
  std::vector<float> xq = x;
  fake_quantize_f32(xq.data(), xq.size());
  ASSERT_NE(xq, x);
  std::vector<float> expected(size_t(T) * C_out);
  gemm_f32_reference(xq.data(), w.data(), nullptr, expected.data(), false, T, C_in, C_out);
  EXPECT_EQ(run(*layer, x, TensorShape{C_in, T, 1}), expected);
  EXPECT_EQ(x, x_before);
}

TEST(QuantisedStorage, RebuildsTheFloatWeightRowByRow) {
  const std::vector<int8_t> q{1, -2, 3, 127, -128, 0};
  const std::vector<float> scales{0.5f, 0.25f};
  Tensors t{{"blk.ff.weight_i8", bytes_of(q)}, {"blk.ff.w_scales", bytes_of(scales)}};
  WeightGetter get = testing::getter_over(t);
  std::vector<float> w;
  ASSERT_TRUE(load_float_weight(get, "blk.ff.weight", w, 6));
  EXPECT_EQ(w, (std::vector<float>{0.5f, -1.0f, 1.5f, 31.75f, -32.0f, 0.0f}));
  EXPECT_EQ(row_scales_name("weight"), "w_scales");

  // The layer built from the pair equals the layer built from the rebuilt float weight.
  const int C_in = 3, C_out = 2;
  const auto x = random_floats(size_t(2) * C_in, -1, 1, 9);
  Tensors pair{{"blk.ff.weight_i8", bytes_of(q)},
               {"blk.ff.w_scales", bytes_of(scales)},
               {"blk.ff.weight", bytes_of(std::vector<float>(6, 9.0f))}};  // ignored: the pair wins
  auto from_pair = make_seq("seqgemm_fp32", "blk.ff", sizes(C_in, C_out), pair);
  auto from_float = make_seq("seqgemm_fp32", "blk.ff", sizes(C_in, C_out), {{"blk.ff.weight", bytes_of(w)}});
  EXPECT_EQ(run(*from_pair, x, TensorShape{C_in, 2, 1}), run(*from_float, x, TensorShape{C_in, 2, 1}));

  // Scales alone are not a pair: the float weight is read.
  Tensors scales_only{{"blk.ff.w_scales", bytes_of(scales)}, {"blk.ff.weight", bytes_of(w)}};
  auto plain = make_seq("seqgemm_fp32", "blk.ff", sizes(C_in, C_out), scales_only);
  EXPECT_EQ(run(*plain, x, TensorShape{C_in, 2, 1}), run(*from_float, x, TensorShape{C_in, 2, 1}));

  Tensors ragged{{"n.weight_i8", bytes_of(std::vector<int8_t>(7))}, {"n.w_scales", bytes_of(scales)}};
  WeightGetter get_ragged = testing::getter_over(ragged);
  expect_error([&] { load_float_weight(get_ragged, "n.weight", w, 7); },
               "weight n.weight_i8 holds 7 bytes, not a whole number of rows of its 2 scales in n.w_scales");
  expect_error([&] { make_seq("seqgemm_fp32", "blk.ff", sizes(4, 2), pair); },
               "weight blk.ff.weight_i8 holds 6 elements, expected 8");
  // Six weights as three rows of two: the two scales cannot be one per row.
  expect_error([&] { make_seq("seqgemm_fp32", "blk.ff", sizes(2, 3), pair); },
               "weight blk.ff.w_scales holds 2 elements, expected 3");
}

TEST(SeqGemmInt8, FollowsTheDynamicRowFormulaAndTheDecodeStep) {
  const int C_in = 33, C_out = 9, T = 5;
  std::vector<int8_t> w(size_t(C_out) * C_in);
  for (size_t i = 0; i < w.size(); ++i) w[i] = int8_t(int(i * 37 % 256) - 128);
  const auto s = random_floats(size_t(C_out), 0.001f, 0.01f, 10);
  const auto b = random_floats(size_t(C_out), -1, 1, 11);
  const auto x = random_floats(size_t(T) * C_in, -2, 2, 12);
  std::vector<float> expected(size_t(T) * C_out);
  for (int t = 0; t < T; ++t) {
    std::vector<int8_t> q(C_in);
    float st;
    quantize_rows_i8_portable(x.data() + size_t(t) * C_in, 1, C_in, q.data(), &st);
    for (int o = 0; o < C_out; ++o) {
      int32_t acc = 0;
      for (int k = 0; k < C_in; ++k) acc += int32_t(q[k]) * w[size_t(o) * C_in + k];
      expected[size_t(t) * C_out + o] = float(acc) * s[o] * st + b[o];
    }
  }
  const Tensors tensors{{"layers.1.q.weight_i8", bytes_of(w)},
                        {"layers.1.q.w_scales", bytes_of(s)},
                        {"layers.1.q.bias", bytes_of(b)}};
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable& k) {
    auto layer = make_seq("seqgemm_int8", "layers.1.q", sizes(C_in, C_out), tensors);
    uint64_t need[kScratchBuffers] = {};
    layer->scratch_sizes(TensorShape{C_in, T, 1}, need);
    EXPECT_EQ(need[4], uint64_t(T) * C_in);
    EXPECT_EQ(need[5], 4u * C_out);
    EXPECT_EQ(run(*layer, x, TensorShape{C_in, T, 1}), expected);
    // One position: the int8 matrix-vector product on the kept weight.
    std::vector<float> one(C_out);
    k.gemv_i8_dynamic(x.data(), w.data(), s.data(), b.data(), one.data(), C_in, C_out, nullptr);
    EXPECT_EQ(run(*layer, std::vector<float>(x.begin(), x.begin() + C_in), TensorShape{C_in, 1, 1}), one);
  });
}

// Both layers with GELU at 1 to 4 threads: a prompt of odd length, then one position (the decode
// copy's int8 product, GELU after it), the float layer also with fake quantisation of its input.
TEST(SeqGemmLayers, PromptAndDecodeStepGiveTheSameBytesAtEveryThreadCount) {
  const int C_in = 40, C_out = 27, T = 19;
  const auto wf = random_floats(size_t(C_out) * C_in, -1, 1, 20);
  std::vector<int8_t> wi(wf.size());
  for (size_t i = 0; i < wi.size(); ++i) wi[i] = int8_t(int(i * 53 % 256) - 128);
  const auto s = random_floats(size_t(C_out), 0.001f, 0.01f, 21);
  const auto b = random_floats(size_t(C_out), -1, 1, 22);
  const auto x = random_floats(size_t(T) * C_in, -2, 2, 23);
  const std::vector<float> first(x.begin(), x.begin() + C_in);
  const Tensors floats{{"layers.2.up.weight", bytes_of(wf)}, {"layers.2.up.bias", bytes_of(b)}};
  const Tensors int8s{{"layers.2.up.weight_i8", bytes_of(wi)},
                      {"layers.2.up.w_scales", bytes_of(s)},
                      {"layers.2.up.bias", bytes_of(b)}};
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
    auto f32 = make_seq("seqgemm_fp32", "layers.2.up", sizes(C_in, C_out, ", \"gelu\": true"), floats);
    auto snapped = make_seq("seqgemm_fp32", "layers.2.up",
                            sizes(C_in, C_out, ", \"gelu\": true, \"dynamic_quantize\": true"), floats);
    auto i8 = make_seq("seqgemm_int8", "layers.2.up", sizes(C_in, C_out, ", \"gelu\": true"), int8s);
    testing::expect_same_bytes_at_thread_counts(
        [&] {
          std::vector<float> all;
          for (ILayer* layer : {f32.get(), snapped.get(), i8.get()}) {
            for (const auto& y :
                 {run(*layer, x, TensorShape{C_in, T, 1}), run(*layer, first, TensorShape{C_in, 1, 1})})
              all.insert(all.end(), y.begin(), y.end());
          }
          return all;
        },
        "projection layers");
  });
}

TEST(SeqGemmLayers, RefuseWhatCannotRun) {
  const auto w = random_floats(12, -1, 1, 13);
  expect_error(
      [&] {
        make_seq("seqgemm_fp32", "p", sizes(0, 3), {{"p.weight", bytes_of(w)}});
      },
      "node 'p': C_in and C_out must be positive, got C_in 0 and C_out 3");
  expect_error(
      [&] {
        make_seq("seqgemm_fp32", "p", sizes(4, 4), {{"p.weight", bytes_of(w)}});
      },
      "weight p.weight holds 12 elements, expected 16");
  expect_error(
      [&] {
        make_seq("seqgemm_int8", "p", sizes(4, 0), {{"p.weight_i8", Bytes(12)}});
      },
      "node 'p': C_in and C_out must be positive, got C_in 4 and C_out 0");
  auto missing = make_seq("seqgemm_fp32", "p", sizes(4, 3), {});
  expect_error(
      [&] {
        run(*missing, std::vector<float>(4), TensorShape{4, 1, 1});
      },
      "missing weight tensor: p.weight");
  auto missing_i8 = make_seq("seqgemm_int8", "p", sizes(4, 3), {{"p.weight_i8", Bytes(12)}});
  expect_error(
      [&] {
        run(*missing_i8, std::vector<float>(4), TensorShape{4, 1, 1});
      },
      "missing weight tensor: p.w_scales");
  auto ok = make_seq("seqgemm_fp32", "p", sizes(4, 3), {{"p.weight", bytes_of(w)}});
  expect_error(
      [&] {
        run(*ok, std::vector<float>(10), TensorShape{5, 2, 1});
      },
      "node 'p': input has 5 channels, expected C_in 4");
  EXPECT_EQ(ok->output_shape(TensorShape{4, 7, 2}), (TensorShape{3, 7, 2}));
  EXPECT_TRUE(run(*ok, {}, TensorShape{4, 0, 1}).empty());
}

TEST(SeqGemmLayers, DecodeCopyFollowsTheNodeName) {
  EXPECT_TRUE(keeps_int8_decode_copy("layers.3.mlp"));
  EXPECT_TRUE(keeps_int8_decode_copy("lm_head"));
  EXPECT_FALSE(keeps_int8_decode_copy("model.layers.3"));
  EXPECT_FALSE(keeps_int8_decode_copy("lm_head2"));
  EXPECT_FALSE(keeps_int8_decode_copy("layers"));
}

}  // namespace
}  // namespace trevalon
