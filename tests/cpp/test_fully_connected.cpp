// Fully connected layers: GemmFp32 against the k-ordered fused sum, GemmInt8 against exact integer
// arithmetic, their ReLU rules, output shape and the refusals of inputs that do not fit.
#include <gtest/gtest.h>

#include <cmath>
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
#include "layers/layer_factory.h"

namespace trevalon {
namespace {

using testing::bytes_of;
using testing::expect_error;
using testing::parse_node;

constexpr int kGuard = 16;
constexpr float kSentinel = -12345.5f;

using Bytes = std::vector<uint8_t>;

std::unique_ptr<ILayer> make_fc(OpType op, int C_out, int C_in, const std::map<std::string, Bytes>& tensors,
                                bool relu = false) {
  const JsonValue node =
      parse_node("{\"C_out\": " + std::to_string(C_out) + ", \"C_in\": " + std::to_string(C_in) + "}");
  auto layer = create_layer(op, node);
  if (!layer) throw std::runtime_error("no fully connected layer");
  layer->name = "fc";
  layer->relu = relu;
  WeightGetter get = testing::getter_over(tensors);
  layer->load_weights(get);
  return layer;
}

// Runs on `x` (float or int8 bytes) with the given shape; output values plus kGuard sentinels.
TensorShape run(ILayer& layer, const void* x, size_t x_bytes, TensorShape in, int C_out,
                std::vector<float>& out) {
  out.assign(size_t(C_out) + kGuard, kSentinel);
  TensorRef ref{};
  ref.view = BufferView{const_cast<void*>(x), 0, x_bytes};
  ref.shape = in;
  ExecContext ctx{};
  return layer.forward(&ref, 1, BufferView{out.data(), 0, out.size() * sizeof(float)}, &ctx);
}

void expect_guard(const std::vector<float>& out, size_t produced) {
  for (size_t i = produced; i < out.size(); ++i) ASSERT_EQ(out[i], kSentinel) << "overrun at " << i;
}

// out[n] = fma sum over k in increasing order, then + bias, then ReLU.
TEST(GemmFp32Layer, MatchesFusedSumInKOrderEveryTier) {
  struct Case {
    int C_out, C_in;
    bool bias, relu;
  };
  const Case cases[] = {{6, 24, true, false},   // second panel partial: exactly 6 values written
                        {6, 24, false, false},  // no bias: the plain product
                        {1, 1, true, true},
                        {9, 7, true, true},
                        {33, 130, false, true}};
  std::mt19937 rng(21);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  for (const Case& c : cases) {
    SCOPED_TRACE("C_out=" + std::to_string(c.C_out) + " C_in=" + std::to_string(c.C_in) +
                 " bias=" + std::to_string(c.bias) + " relu=" + std::to_string(c.relu));
    std::vector<float> w(size_t(c.C_out) * c.C_in), b(c.C_out), x(c.C_in);
    for (auto* v : {&w, &b, &x})
      for (float& e : *v) e = dist(rng);
    std::map<std::string, Bytes> tensors{{"fc.weight", bytes_of(w)}};
    if (c.bias) tensors["fc.bias"] = bytes_of(b);
    testing::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
      auto layer = make_fc(OpType::GemmFp32, c.C_out, c.C_in, tensors, c.relu);
      std::vector<float> out;
      // Any shape holding C_in values is read as one vector.
      const TensorShape in = c.C_in % 4 == 0 ? TensorShape{4, c.C_in / 4, 1} : TensorShape{c.C_in, 1, 1};
      EXPECT_EQ(run(*layer, x.data(), x.size() * 4, in, c.C_out, out), (TensorShape{c.C_out, 1, 1}));
      for (int n = 0; n < c.C_out; ++n) {
        float acc = 0.0f;
        for (int k = 0; k < c.C_in; ++k) acc = std::fma(x[k], w[size_t(n) * c.C_in + k], acc);
        float expected = c.bias ? acc + b[n] : acc;
        if (c.relu) expected = expected > 0.0f ? expected : 0.0f;
        ASSERT_EQ(out[n], expected) << "n=" << n;
      }
      expect_guard(out, c.C_out);
    });
  }
}

TEST(GemmInt8Layer, DequantisesBiasPlusAccumulator) {
  // acc = 7, eff_bias = -3, req_scale = 0.5 gives 2.0.
  {
    auto layer = make_fc(OpType::GemmInt8, 1, 2,
                         {{"fc.weight", bytes_of(std::vector<int8_t>{3, 2})},
                          {"fc.req_scale", bytes_of(std::vector<float>{0.5f})},
                          {"fc.eff_bias", bytes_of(std::vector<int64_t>{-3})}});
    const std::vector<int8_t> x{1, 2};
    std::vector<float> out;
    EXPECT_EQ(run(*layer, x.data(), 2, TensorShape{2, 1, 1}, 1, out), (TensorShape{1, 1, 1}));
    EXPECT_EQ(out[0], 2.0f);
    expect_guard(out, 1);
  }
  // Random sizes against exact int64 arithmetic: float(bias + acc) x scale, one rounding each.
  std::mt19937 rng(4);
  std::uniform_int_distribution<int> i8(-128, 127);
  const int C_out = 11, C_in = 37;
  std::vector<int8_t> w(size_t(C_out) * C_in), x(C_in);
  for (auto& v : w) v = int8_t(i8(rng));
  for (auto& v : x) v = int8_t(i8(rng));
  std::vector<int64_t> bias(C_out);
  std::vector<float> scale(C_out);
  for (int n = 0; n < C_out; ++n) {
    bias[n] = int64_t(i8(rng)) * 1000003;
    scale[n] = 0.001f * float(n + 1);
  }
  const std::map<std::string, Bytes> tensors{
      {"fc.weight", bytes_of(w)}, {"fc.req_scale", bytes_of(scale)}, {"fc.eff_bias", bytes_of(bias)}};
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
    for (bool relu : {false, true}) {
      auto layer = make_fc(OpType::GemmInt8, C_out, C_in, tensors, relu);
      std::vector<float> out;
      run(*layer, x.data(), x.size(), TensorShape{C_in, 1, 1}, C_out, out);
      for (int n = 0; n < C_out; ++n) {
        int64_t acc = 0;
        for (int k = 0; k < C_in; ++k) acc += int64_t(x[k]) * w[size_t(n) * C_in + k];
        float expected = float(bias[n] + acc) * scale[n];
        if (relu) expected = expected > 0.0f ? expected : 0.0f;
        ASSERT_EQ(out[n], expected) << "n=" << n << " relu=" << relu;
      }
      expect_guard(out, C_out);
    }
  });
}

// ReLU of the int8 layer is maxNum(out, 0): negative values and NaN both become 0.
TEST(GemmInt8Layer, ReluTurnsNaNIntoZero) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  auto layer = make_fc(OpType::GemmInt8, 3, 1,
                       {{"fc.weight", bytes_of(std::vector<int8_t>{1, 1, 1})},
                        {"fc.req_scale", bytes_of(std::vector<float>{nan, -1.0f, 1.0f})},
                        {"fc.eff_bias", bytes_of(std::vector<int64_t>{0, 0, 0})}},
                       true);
  const std::vector<int8_t> x{5};
  std::vector<float> out;
  run(*layer, x.data(), 1, TensorShape{1, 1, 1}, 3, out);
  EXPECT_EQ(out[0], 0.0f);
  EXPECT_EQ(out[1], 0.0f);
  EXPECT_EQ(out[2], 5.0f);
}

TEST(FullyConnectedLayers, RefuseInputsAndWeightsThatDoNotFit) {
  const std::vector<float> w(3 * 4, 1.0f), x(5, 1.0f);
  auto fp = make_fc(OpType::GemmFp32, 3, 4, {{"fc.weight", bytes_of(w)}});
  std::vector<float> out;
  expect_error(
      [&] {
        run(*fp, x.data(), 20, TensorShape{5, 1, 1}, 3, out);
      },
      "node 'fc': input holds 5 values, expected 4");
  expect_error(
      [&] {
        make_fc(OpType::GemmFp32, 3, 5, {{"fc.weight", bytes_of(w)}});
      },
      "weight fc.weight holds 12 elements, expected 15");
  expect_error(
      [&] {
        make_fc(OpType::GemmFp32, 3, 4,
                {{"fc.weight", bytes_of(w)}, {"fc.bias", bytes_of(std::vector<float>(2))}});
      },
      "weight fc.bias holds 2 elements, expected 3");
  auto no_weight = make_fc(OpType::GemmFp32, 3, 4, {});
  expect_error(
      [&] {
        run(*no_weight, x.data(), 20, TensorShape{4, 1, 1}, 3, out);
      },
      "missing weight tensor: fc.weight");

  const std::vector<int8_t> w8(3 * 4, 1), x8(4, 1);
  auto no_scale = make_fc(OpType::GemmInt8, 3, 4,
                          {{"fc.weight", bytes_of(w8)}, {"fc.eff_bias", bytes_of(std::vector<int64_t>(3))}});
  expect_error(
      [&] {
        run(*no_scale, x8.data(), 4, TensorShape{4, 1, 1}, 3, out);
      },
      "missing weight tensor: fc.req_scale");
  auto i8 = make_fc(OpType::GemmInt8, 3, 4,
                    {{"fc.weight", bytes_of(w8)},
                     {"fc.req_scale", bytes_of(std::vector<float>(3, 1.0f))},
                     {"fc.eff_bias", bytes_of(std::vector<int64_t>(3))}});
  expect_error(
      [&] {
        run(*i8, x8.data(), 4, TensorShape{2, 3, 1}, 3, out);
      },
      "node 'fc': input holds 6 values, expected 4");
  expect_error(
      [&] {
        make_fc(OpType::GemmInt8, 3, 4,
                {{"fc.weight", bytes_of(w8)}, {"fc.eff_bias", bytes_of(std::vector<int64_t>(2))}});
      },
      "weight fc.eff_bias holds 2 elements, expected 3");
  EXPECT_FALSE(fp->output_is_int8());
  EXPECT_FALSE(i8->output_is_int8());
  EXPECT_EQ(i8->output_shape(TensorShape{2, 2, 1}), (TensorShape{3, 1, 1}));
}

// A 1000-class head under a 10-class architecture is refused at load, in both layers and for
// every per-channel table, instead of quietly using the first rows; an empty bias means none.
TEST(FullyConnectedLayers, WeightsForAnotherHeadFailAtLoad) {
  const Bytes big_f32 = bytes_of(std::vector<float>(1000 * 512)), big_i8(1000 * 512);
  expect_error(
      [&] {
        make_fc(OpType::GemmFp32, 10, 512, {{"fc.weight", big_f32}});
      },
      "weight fc.weight holds 512000 elements, expected 5120");
  expect_error(
      [&] {
        make_fc(OpType::GemmInt8, 10, 512, {{"fc.weight", big_i8}});
      },
      "weight fc.weight holds 512000 elements, expected 5120");

  const Bytes w_f32 = bytes_of(std::vector<float>(10 * 512)), w_i8(10 * 512);
  const Bytes scale = bytes_of(std::vector<float>(10, 0.5f)), bias = bytes_of(std::vector<int64_t>(10));
  expect_error(
      [&] {
        make_fc(OpType::GemmFp32, 10, 512,
                {{"fc.weight", w_f32}, {"fc.bias", bytes_of(std::vector<float>(1000))}});
      },
      "weight fc.bias holds 1000 elements, expected 10");
  expect_error(
      [&] {
        make_fc(OpType::GemmInt8, 10, 512,
                {{"fc.weight", w_i8},
                 {"fc.eff_bias", bias},
                 {"fc.req_scale", bytes_of(std::vector<float>(1000))}});
      },
      "weight fc.req_scale holds 1000 elements, expected 10");
  expect_error(
      [&] {
        make_fc(OpType::GemmInt8, 10, 512,
                {{"fc.weight", w_i8},
                 {"fc.req_scale", scale},
                 {"fc.eff_bias", bytes_of(std::vector<int64_t>(1000))}});
      },
      "weight fc.eff_bias holds 1000 elements, expected 10");
  // A float weight where int8 is expected holds four bytes per value: the count tells.
  expect_error(
      [&] {
        make_fc(OpType::GemmInt8, 10, 512, {{"fc.weight", w_f32}});
      },
      "weight fc.weight holds 20480 elements, expected 5120");

  auto no_bias = make_fc(OpType::GemmFp32, 2, 2,
                         {{"fc.weight", bytes_of(std::vector<float>{1, 2, 3, 4})}, {"fc.bias", Bytes{}}});
  const std::vector<float> x{1.0f, 1.0f};
  std::vector<float> out;
  run(*no_bias, x.data(), 8, TensorShape{2, 1, 1}, 2, out);
  EXPECT_EQ(out[0], 3.0f);
  EXPECT_EQ(out[1], 7.0f);
}

}  // namespace
}  // namespace trevalon
