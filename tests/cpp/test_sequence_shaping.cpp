// Sequence shaping: the channel sum on every tier (bits of the portable kernel, its summation
// order), length regulation (repeat counts, rounding, the duration scale, the sizes it refuses),
// concatenation with and without broadcast, channel slices, the reflection pad, and their errors;
// the model's bound on an output size read from input values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "kernel_tier_loop.h"
#include "kernels/sequence_shaping_f32.h"
#include "runtime/inference_model.h"
#include "small_layer_harness.h"
#include "test_support.h"

using namespace trevalon;
namespace test = trevalon::testing;

namespace {

constexpr float kSentinel = -12345.5f;

std::vector<float> sum_rows(void (*kernel)(const float*, float*, int, int, void*),
                            const std::vector<float>& x, int positions, int C) {
  std::vector<float> out(size_t(positions) + 16, kSentinel);
  kernel(x.data(), out.data(), positions, C, nullptr);
  for (size_t i = size_t(positions); i < out.size(); ++i)
    EXPECT_EQ(out[i], kSentinel) << "written past the rows";
  out.resize(size_t(positions));
  return out;
}

std::unique_ptr<ILayer> layer_of(const std::string& op, const std::string& json = "{}") {
  return test::make_layer(op, json, {}, "shape.n");
}

// Numbers 1, 2, 3 ... so every copied row is recognisable.
std::vector<float> counting(size_t n) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = float(i + 1);
  return v;
}

}  // namespace

TEST(SumChannelsKernel, EveryTierGivesThePortableBits) {
  test::for_each_cpu_tier([](CpuTier, const KernelTable& t) {
    for (int positions : {1, 7, 8, 15, 16, 17, 40})
      for (int C : {1, 2, 3, 4, 5, 8, 9, 15, 16, 17, 19, 33, 100}) {
        const auto x = test::random_floats(size_t(positions) * C, -1e3f, 1e3f, uint32_t(positions * 131 + C));
        const auto got = sum_rows(t.sum_channels_f32, x, positions, C);
        const auto want = sum_rows(sum_channels_f32_portable, x, positions, C);
        EXPECT_EQ(std::memcmp(got.data(), want.data(), want.size() * sizeof(float)), 0)
            << positions << " x " << C;
      }
  });
}

// Rows whose float sum depends on the order: four partial sums over the groups of four, added
// left to right, then the remaining channels. A plain running sum or a pairwise combination of
// the partial sums gives another value for each row.
TEST(SumChannelsKernel, KeepsTheFourWideOrderOnEveryTier) {
  struct Row {
    std::vector<float> x;
    float sum;
  };
  const std::vector<Row> rows = {
      {{1e8f, 1, 0, 0, -1e8f, 1, 0, 0}, 2.0f},  // partial sum 1 keeps both ones; a running sum drops one
      {{1, 1e8f, -1e8f, 1}, 1.0f},              // ((1 + 1e8) - 1e8) + 1, not (1 + 1e8) + (1 - 1e8)
      {{1, 1e8f, -1e8f, 1, 0.5f, 0.25f}, 1.75f},
      {{0.5f, 0.25f, 2}, 2.75f},
      {std::vector<float>(4, 1.0f), 4.0f},
  };
  test::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
    for (const Row& row : rows) {
      const int C = int(row.x.size()), positions = 19;  // more than one vector block
      std::vector<float> x;
      for (int p = 0; p < positions; ++p) x.insert(x.end(), row.x.begin(), row.x.end());
      for (float s : sum_rows(t.sum_channels_f32, x, positions, C)) ASSERT_EQ(s, row.sum) << "C " << C;
    }
    EXPECT_EQ(sum_rows(t.sum_channels_f32, {}, 3, 0), std::vector<float>(3, 0.0f));
  });
}

TEST(SumChannelsLayer, SumsEachPositionsChannels) {
  auto layer = layer_of("sum_channels_fp32");
  std::vector<float> ones(4 * 6, 1.0f);
  const auto run = test::run_layer<float>(*layer, {&ones}, {{4, 3, 2}});
  EXPECT_EQ(run.shape, (TensorShape{1, 6, 1}));
  EXPECT_EQ(run.out, std::vector<float>(6, 4.0f));
}

TEST(LengthRegulate, RepeatsRowsByTheirRoundedScaledDurations) {
  auto layer = layer_of("length_regulate_fp32");
  auto* scaled = dynamic_cast<DurationScaled*>(layer.get());
  ASSERT_NE(scaled, nullptr);
  std::vector<float> x = counting(3 * 2);  // rows (1 2) (3 4) (5 6)
  std::vector<float> d = {0.2f, 1.4f, 2.5f};
  // The durations may be one position of T channels or T positions of one channel.
  for (TensorShape ds : {TensorShape{3, 1, 1}, TensorShape{1, 3, 1}, TensorShape{1, 1, 3}}) {
    scaled->set_duration_scale(1.0f);
    const auto run = test::run_layer<float>(*layer, {&x, &d}, {{2, 3, 1}, ds});
    EXPECT_EQ(run.shape, (TensorShape{2, 5, 1}));
    EXPECT_EQ(run.out, (std::vector<float>{1, 2, 3, 4, 5, 6, 5, 6, 5, 6}));
    scaled->set_duration_scale(0.5f);  // speed 2
    EXPECT_EQ(test::run_layer<float>(*layer, {&x, &d}, {{2, 3, 1}, ds}).out, x);
  }
  // Halves round away from zero; anything rounding below 1 still gives one row.
  std::vector<float> x1 = counting(6), halves = {0.5f, 1.5f, 2.49f, -3.0f, 0.0f, 3.5f};
  scaled->set_duration_scale(1.0f);
  const auto run = test::run_layer<float>(*layer, {&x1, &halves}, {{1, 6, 1}, {6, 1, 1}});
  EXPECT_EQ(run.out, (std::vector<float>{1, 2, 2, 3, 3, 4, 5, 6, 6, 6, 6}));
  // runtime_output_shape gives what forward writes; without durations it keeps the input's shape.
  const void* data[2] = {x1.data(), halves.data()};
  const TensorShape shapes[2] = {{1, 6, 1}, {6, 1, 1}};
  EXPECT_EQ(layer->runtime_output_shape(data, shapes, 2), run.shape);
  EXPECT_EQ(layer->runtime_output_shape(data, shapes, 1), shapes[0]);
}

TEST(LengthRegulate, RefusesDurationsItCannotTurnIntoASize) {
  auto layer = layer_of("length_regulate_fp32");
  auto* scaled = dynamic_cast<DurationScaled*>(layer.get());
  std::vector<float> x(8, 1.0f), d = {1.0f, 2.0f};
  auto error = [&](const std::vector<float>& durations, float scale, TensorShape features = {4, 2, 1}) {
    std::vector<float> copy = durations;
    scaled->set_duration_scale(scale);
    return test::error_of([&] {
      test::run_layer<float>(*layer, {&x, &copy}, {features, {int32_t(copy.size()), 1, 1}});
    });
  };
  EXPECT_EQ(test::error_of([&] {
              test::run_layer<float>(*layer, {&x}, {{4, 2, 1}});
            }),
            "node 'shape.n' needs 2 inputs, got 1");
  EXPECT_EQ(error({1, 2, 3}, 1.0f),
            "node 'shape.n': durations hold 3 values, expected 2, one per position of the features");
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(error({1, nan}, 1.0f),
            "node 'shape.n': duration nan at position 1 times the duration scale 1 is not finite");
  // The scale of a subnormal speed is infinite; 0 x infinity is NaN.
  EXPECT_EQ(error({0, 1}, inf),
            "node 'shape.n': duration 0 at position 0 times the duration scale inf is not finite");
  EXPECT_EQ(error({3e38f, 3e38f}, 10.0f),
            "node 'shape.n': duration 3e+38 at position 0 times the duration scale 10 is not finite");
  // Each count fits 32 bits, their sum does not.
  EXPECT_EQ(error({2e9f, 2e9f}, 1.0f),
            "node 'shape.n': the scaled durations add up to more than 2147483647 positions");
  EXPECT_EQ(error({3, 3}, 1e9f),
            "node 'shape.n': the scaled durations add up to more than 2147483647 positions");
  EXPECT_EQ(error({1e9f, 1}, 1.0f),
            "node 'shape.n': 1000000001 positions of 4 channels exceed 2147483647 values");

  // An output buffer smaller than the total: refused, not overrun.
  scaled->set_duration_scale(1.0f);
  TensorRef refs[2] = {{{x.data(), 0, x.size() * 4}, {4, 2, 1}}, {{d.data(), 0, d.size() * 4}, {2, 1, 1}}};
  std::vector<float> out(11, kSentinel);
  ExecContext ctx{};
  EXPECT_EQ(test::error_of([&] {
              layer->forward(refs, 2, BufferView{out.data(), 0, 44}, &ctx);
            }),
            "node 'shape.n': 3 positions of 4 channels need 48 bytes, the output buffer holds 44");
  EXPECT_EQ(out, std::vector<float>(11, kSentinel));
}

TEST(Concat1d, AppendsTheSecondInputsRowOrItsOnlyRow) {
  auto layer = layer_of("concat1d_fp32", R"({"C2": 2})");
  std::vector<float> a = counting(3 * 3), rows = {-1, -2, -3, -4, -5, -6}, one = {7, 8};
  const auto full = test::run_layer<float>(*layer, {&a, &rows}, {{3, 3, 1}, {2, 3, 1}});
  EXPECT_EQ(full.shape, (TensorShape{5, 3, 1}));
  EXPECT_EQ(full.out, (std::vector<float>{1, 2, 3, -1, -2, 4, 5, 6, -3, -4, 7, 8, 9, -5, -6}));
  const auto broadcast = test::run_layer<float>(*layer, {&a, &one}, {{3, 3, 1}, {2, 1, 1}});
  EXPECT_EQ(broadcast.out, (std::vector<float>{1, 2, 3, 7, 8, 4, 5, 6, 7, 8, 7, 8, 9, 7, 8}));
  // The first input's h and w are kept.
  EXPECT_EQ(test::run_layer<float>(*layer, {&a, &one}, {{3, 1, 3}, {2, 1, 1}}).shape, (TensorShape{5, 1, 3}));

  auto error = [&](TensorShape second, int n = 2) {
    return test::error_of([&] {
      std::vector<std::vector<float>*> in{&a, &rows};
      in.resize(size_t(n));
      test::run_layer<float>(*layer, in, {{3, 3, 1}, second});
    });
  };
  EXPECT_EQ(error({2, 3, 1}, 1), "node 'shape.n' needs 2 inputs, got 1");
  EXPECT_EQ(error({3, 2, 1}),
            "node 'shape.n': second input has 3 channels at 2 positions, expected C2 2 channels at 1 or 3 "
            "positions");
  EXPECT_EQ(error({2, 2, 1}),
            "node 'shape.n': second input has 2 channels at 2 positions, expected C2 2 channels at 1 or 3 "
            "positions");
}

TEST(SliceChannels, KeepsTheChannelRangeAndRefusesBoundsOutsideTheInput) {
  std::vector<float> x = counting(4 * 2);  // rows (1 2 3 4) (5 6 7 8)
  const std::vector<TensorShape> shape{{4, 2, 1}};
  auto slice = [&](const std::string& json) {
    return test::run_layer<float>(*layer_of("slice_channels_fp32", json), {&x}, shape);
  };
  const auto mid = slice(R"({"ch_start": 1, "ch_end": 3})");
  EXPECT_EQ(mid.shape, (TensorShape{2, 2, 1}));
  EXPECT_EQ(mid.out, (std::vector<float>{2, 3, 6, 7}));
  const auto empty = slice(R"({"ch_start": 2, "ch_end": 2})");
  EXPECT_EQ(empty.shape, (TensorShape{0, 2, 1}));
  EXPECT_TRUE(empty.out.empty());
  auto error = [&](const std::string& json) { return test::error_of([&] { slice(json); }); };
  EXPECT_EQ(error(R"({"ch_start": 1, "ch_end": 5})"),
            "node 'shape.n': channel slice ch_start 1 to ch_end 5 is not within the input's 0 to 4 channels");
  EXPECT_EQ(
      error(R"({"ch_start": -1, "ch_end": 2})"),
      "node 'shape.n': channel slice ch_start -1 to ch_end 2 is not within the input's 0 to 4 channels");
  EXPECT_EQ(error(R"({"ch_start": 3, "ch_end": 1})"),
            "node 'shape.n': channel slice ch_start 3 to ch_end 1 is not within the input's 0 to 4 channels");
}

TEST(ReflectionPad1d, PrependsTheSecondRowAndNeedsTwoPositions) {
  auto layer = layer_of("reflection_pad1d_fp32");
  std::vector<float> x = {1, 10, 2, 20, 3, 30};  // rows a, b, c of two channels
  const auto run = test::run_layer<float>(*layer, {&x}, {{2, 3, 1}});
  EXPECT_EQ(run.shape, (TensorShape{2, 4, 1}));
  EXPECT_EQ(run.out, (std::vector<float>{2, 20, 1, 10, 2, 20, 3, 30}));
  EXPECT_EQ(layer->output_shape({2, 3, 2}), (TensorShape{2, 7, 1}));
  EXPECT_EQ(test::error_of([&] {
              test::run_layer<float>(*layer, {&x}, {{2, 1, 1}});
            }),
            "node 'shape.n': reflection padding needs at least 2 positions, got 1");
}

namespace {

// Claims an output of 2^32 positions once it sees its input, as a layer reading lengths from
// values could.
class ValueSizedLayer final : public ILayer {
 public:
  TensorShape forward(const TensorRef*, int, BufferView, ExecContext*) override { return {}; }
  bool output_is_int8() const override { return false; }
  TensorShape output_shape(TensorShape in) const override { return in; }
  TensorShape runtime_output_shape(const void* const*, const TensorShape*, int) const override {
    return {2, 1 << 16, 1 << 16};
  }
};

std::unique_ptr<ILayer> make_value_sized(OpType op, const JsonValue&) {
  return op == OpType::ScaleFp32 ? std::make_unique<ValueSizedLayer>() : nullptr;
}

}  // namespace

TEST(ValueSizedOutputs, AreRefusedBeforeTheirBufferGrows) {
  test::TempDir dir;
  set_extra_layer_maker(&make_value_sized);
  const std::string arch = dir.write("a.json", R"({"model": "m",
    "inputs": [{"name": "x", "shape": [1, 1, 1, 4], "dtype": "float32"}],
    "nodes": [{"name": "grow", "op": "scale_fp32", "inputs": ["x"], "outputs": ["y"]}]})");
  std::string error;
  try {
    InferenceModel model(arch, dir.write("w.w1x1", test::build_w1x1({})));
    const std::vector<float> x(4, 1.0f);
    TensorMap in;
    in["x"].data = x.data();
    in["x"].shape = {4};
    error = test::error_of([&] { model.forward(in); });
  } catch (...) {
    set_extra_layer_maker(nullptr);
    throw;
  }
  set_extra_layer_maker(nullptr);
  EXPECT_EQ(error, "node 'grow' would hold 8589934592 elements (2 x 65536 x 65536), more than 2^31");
}
