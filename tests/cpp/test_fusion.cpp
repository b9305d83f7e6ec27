// A residual addition finished by the convolution that produces one of its operands: the same
// bytes as the two nodes run apart, on every tier and for both element types, and only where the
// graph allows it (the addition alone reads the convolution's output, that output is no declared
// output, the other operand exists before the convolution runs).
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kernel_tier_loop.h"
#include "runtime/inference_model.h"
#include "test_support.h"
#include "thread_counts.h"

namespace trevalon {
namespace {

using testing::TempDir;

struct Case {
  bool int8;
  int H, W, C, C_out, k, stride, pad;
  int out_h() const { return (H + 2 * pad - k) / stride + 1; }
  int out_w() const { return (W + 2 * pad - k) / stride + 1; }
};

std::string input_json(const std::string& name, int h, int w, int c, bool int8) {
  return R"({"name": ")" + name + R"(", "shape": [1, )" + std::to_string(h) + ", " + std::to_string(w) +
         ", " + std::to_string(c) + R"(], "dtype": ")" + (int8 ? "int8" : "float32") + "\"}";
}

std::string conv_json(const Case& c, const std::string& name, const std::string& in, const std::string& out,
                      int C_in) {
  auto kv = [](const char* k, int v) { return ", \"" + std::string(k) + "\": " + std::to_string(v); };
  return R"({"name": ")" + name + R"(", "op": ")" + (c.int8 ? "conv_int8" : "conv_fp32") +
         R"(", "inputs": [")" + in + R"("], "outputs": [")" + out + "\"]" + kv("C_in", C_in) +
         kv("C_out", c.C_out) + kv("kH", c.k) + kv("kW", c.k) + kv("stride_h", c.stride) +
         kv("stride_w", c.stride) + kv("pad_h", c.pad) + kv("pad_w", c.pad) +
         (c.int8 ? R"(, "in_zp": 3, "out_zp": -5)" : R"(, "relu": true)") + "}";
}

std::string add_json(const Case& c, const std::string& name, const std::string& a, const std::string& b,
                     const std::string& out) {
  return R"({"name": ")" + name + R"(", "op": ")" + (c.int8 ? "add_int8" : "add_fp32") +
         R"(", "inputs": [")" + a + R"(", ")" + b + R"("], "outputs": [")" + out + "\"]" +
         (c.int8
              ? R"(, "in1_scale": 0.031, "in2_scale": 0.047, "out_scale": 0.05, "in1_zp": -5, "in2_zp": 7, "out_zp": -2})"
              : R"(, "relu": true})");
}

// Weights of convolutions named in `names`, all C_out x C_in x k x k.
std::string weights_for(const Case& c, const std::vector<std::string>& names, int C_in) {
  std::mt19937 rng(7);
  std::vector<testing::TensorRecord> records;
  const size_t count = size_t(c.C_out) * C_in * c.k * c.k;
  for (const std::string& n : names) {
    if (c.int8) {
      std::uniform_int_distribution<int> byte(-128, 127);
      std::vector<int8_t> w(count);
      for (auto& v : w) v = int8_t(byte(rng));
      std::vector<float> scale(c.C_out, 0.6f / float(C_in * c.k * c.k * 64));
      std::vector<int64_t> bias(c.C_out);
      for (int o = 0; o < c.C_out; ++o) bias[o] = int64_t(o * 37) - 500;
      records.push_back(testing::make_record(n + ".weight", {int32_t(count)}, w));
      records.push_back(testing::make_record(n + ".req_scale", {c.C_out}, scale));
      records.push_back(testing::make_record(n + ".eff_bias", {c.C_out}, bias));
    } else {
      std::normal_distribution<float> normal(0.0f, 0.3f);
      std::vector<float> w(count), b(c.C_out);
      for (auto& v : w) v = normal(rng);
      for (auto& v : b) v = normal(rng);
      records.push_back(testing::make_record(n + ".weight", {int32_t(count)}, w));
      records.push_back(testing::make_record(n + ".bias", {c.C_out}, b));
    }
  }
  return testing::build_w1x1(records);
}

// Random tensors for inputs x (H x W x C) and r (the convolution's output shape).
struct Inputs {
  std::vector<uint8_t> x, r;
  TensorMap map(const Case& c) const {
    TensorMap m;
    m["x"].data = x.data();
    m["x"].shape = {c.H, c.W, c.C};
    m["r"].data = r.data();
    m["r"].shape = {c.out_h(), c.out_w(), c.C_out};
    for (auto& [name, t] : m) t.dtype = c.int8 ? "int8" : "float32";
    return m;
  }
};

Inputs random_inputs(const Case& c) {
  std::mt19937 rng(11);
  auto fill = [&](size_t n) {
    std::vector<uint8_t> v(n * (c.int8 ? 1 : 4));
    if (c.int8) {
      for (auto& b : v) b = uint8_t(rng());
    } else {
      std::normal_distribution<float> normal(0.0f, 1.0f);
      for (size_t i = 0; i < n; ++i) {
        const float f = normal(rng);
        std::memcpy(v.data() + 4 * i, &f, 4);
      }
    }
    return v;
  };
  return {fill(size_t(c.H) * c.W * c.C), fill(size_t(c.out_h()) * c.out_w() * c.C_out)};
}

std::vector<uint8_t> bytes_of_output(const TensorMap& out, const std::string& name) {
  const ModelTensor& t = out.at(name);
  const auto* p = static_cast<const uint8_t*>(t.data);
  return std::vector<uint8_t>(p, p + t.storage.size());
}

class FusionTest : public ::testing::TestWithParam<Case> {
 protected:
  // conv(x) -> a, then a + r (or r + a) -> y; `extra_outputs` are declared besides y.
  std::unique_ptr<InferenceModel> residual(const Case& c, bool conv_first,
                                           const std::string& extra_outputs = "") {
    const std::string json =
        "{\"inputs\": [" + input_json("x", c.H, c.W, c.C, c.int8) + ", " +
        input_json("r", c.out_h(), c.out_w(), c.C_out, c.int8) + "], \"nodes\": [" +
        conv_json(c, "conv", "x", "a", c.C) + ", " +
        (conv_first ? add_json(c, "sum", "a", "r", "y") : add_json(c, "sum", "r", "a", "y")) +
        "], \"outputs\": [{\"name\": \"y\"}" + extra_outputs + "]}";
    const std::string tag = std::to_string(files_++);  // a loaded model may still map its files
    return std::make_unique<InferenceModel>(dir_.write("arch" + tag + ".json", json),
                                            dir_.write("w" + tag + ".w1x1", weights_for(c, {"conv"}, c.C)));
  }
  TempDir dir_;
  int files_ = 0;
};

TEST_P(FusionTest, FusedSumHasTheBytesOfTheUnfusedOne) {
  const Case c = GetParam();
  const Inputs in = random_inputs(c);
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
    for (bool conv_first : {true, false}) {
      SCOPED_TRACE(conv_first ? "conv output first" : "conv output second");
      auto fused = residual(c, conv_first);
      auto apart = residual(c, conv_first, ", {\"name\": \"a\"}");  // a declared output keeps its own slot
      EXPECT_EQ(fused->slot_of("a"), fused->slot_of("y"));
      EXPECT_NE(apart->slot_of("a"), apart->slot_of("y"));
      fused->set_profile_enabled(true);
      const TensorMap got = fused->forward(in.map(c));
      const TensorMap want = apart->forward(in.map(c));
      ASSERT_EQ(got.at("y").shape, want.at("y").shape);
      EXPECT_TRUE(bytes_of_output(got, "y") == bytes_of_output(want, "y"));
      // The second pass reuses the slots: the same bytes again.
      EXPECT_TRUE(bytes_of_output(fused->forward(in.map(c)), "y") == bytes_of_output(want, "y"));
      const auto profile = fused->layer_profile();
      EXPECT_EQ(profile.count("conv"), 1u);
      EXPECT_EQ(profile.count("sum"), 1u);
    }
  });
}

// With threads the addition runs over ranges of whole 16-element groups: the fused bytes of one
// thread at any thread count, including a tail past the last group.
TEST_P(FusionTest, FusedSumKeepsItsBytesAtAnyThreadCount) {
  const Case c = GetParam();
  const Inputs in = random_inputs(c);
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
    for (bool conv_first : {true, false}) {
      SCOPED_TRACE(conv_first ? "conv output first" : "conv output second");
      auto fused = residual(c, conv_first);
      testing::expect_same_bytes_at_thread_counts(
          [&] { return bytes_of_output(fused->forward(in.map(c)), "y"); }, "fused sum");
    }
  });
}

// Float tensors of about 1.3 MB are computed in bands of rows (1x1 kernels), the rest in one
// piece. An int8 1x1 product finishes the addition in its own epilogue where the tier has one and
// every value takes the addition's group formula; otherwise the int8 ones go in bands as well.
INSTANTIATE_TEST_SUITE_P(Shapes, FusionTest,
                         ::testing::Values(Case{false, 80, 64, 16, 64, 1, 1, 0},  // banded
                                           Case{false, 159, 64, 8, 64, 1, 2, 0},  // banded, stride 2
                                           Case{false, 13, 11, 8, 16, 3, 1, 1},   // Winograd
                                           Case{false, 15, 9, 5, 12, 3, 2, 1},    // patch matrix
                                           Case{true, 160, 64, 16, 64, 1, 1, 0},  // in the product
                                           Case{true, 8, 8, 16, 12, 1, 1, 0},     // 768 values: masked lanes
                                           Case{true, 5, 5, 16, 12, 1, 1, 0},     // 300: the addition's tail
                                           Case{true, 639, 64, 8, 64, 1, 2, 0},   // banded, stride 2
                                           Case{true, 13, 11, 8, 16, 3, 1, 1},
                                           Case{true, 15, 9, 5, 12, 3, 2, 1},
                                           Case{true, 17, 5, 4, 12, 3, 2, 1}));  // 324 values

class FusionGraphTest : public ::testing::Test {
 protected:
  std::unique_ptr<InferenceModel> load(const std::string& nodes, const std::string& outputs,
                                       const std::vector<std::string>& convs) {
    const std::string json = "{\"inputs\": [" + input_json("x", c_.H, c_.W, c_.C, false) + ", " +
                             input_json("r", c_.H, c_.W, c_.C, false) + "], \"nodes\": [" + nodes +
                             "], \"outputs\": [" + outputs + "]}";
    const std::string tag = std::to_string(files_++);  // a loaded model may still map its files
    return std::make_unique<InferenceModel>(dir_.write("arch" + tag + ".json", json),
                                            dir_.write("w" + tag + ".w1x1", weights_for(c_, convs, c_.C)));
  }
  const Case c_{false, 6, 5, 4, 4, 1, 1, 0};
  TempDir dir_;
  int files_ = 0;
};

TEST_F(FusionGraphTest, OnlyTheAdditionMayReadTheConvolutionOutput) {
  const std::string conv = conv_json(c_, "conv", "x", "a", c_.C);
  // a is also read by a second addition.
  auto shared =
      load(conv + ", " + add_json(c_, "sum", "a", "r", "y") + ", " + add_json(c_, "sum2", "r", "a", "z"),
           R"({"name": "y"}, {"name": "z"})", {"conv"});
  EXPECT_NE(shared->slot_of("a"), shared->slot_of("y"));
  EXPECT_NE(shared->slot_of("a"), shared->slot_of("z"));
  // a is a declared output: it must survive the pass.
  auto declared =
      load(conv + ", " + add_json(c_, "sum", "a", "r", "y"), R"({"name": "a"}, {"name": "y"})", {"conv"});
  EXPECT_NE(declared->slot_of("a"), declared->slot_of("y"));
  // Both fused and the declared one: same y.
  auto fused = load(conv + ", " + add_json(c_, "sum", "a", "r", "y"), R"({"name": "y"})", {"conv"});
  EXPECT_EQ(fused->slot_of("a"), fused->slot_of("y"));
  std::vector<float> x(size_t(c_.H) * c_.W * c_.C), r(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    x[i] = float(i % 7) - 3.0f;
    r[i] = float(i % 5) * 0.5f - 1.0f;
  }
  TensorMap in;
  in["x"].data = x.data();
  in["x"].shape = {c_.H, c_.W, c_.C};
  in["r"].data = r.data();
  in["r"].shape = {c_.H, c_.W, c_.C};
  const TensorMap a = declared->forward(in), b = fused->forward(in), s = shared->forward(in);
  EXPECT_TRUE(bytes_of_output(a, "y") == bytes_of_output(b, "y"));
  EXPECT_TRUE(bytes_of_output(s, "y") == bytes_of_output(b, "y"));
}

TEST_F(FusionGraphTest, TheOtherOperandMustExistBeforeTheConvolution) {
  // r2 = r + r is computed after the convolution: nothing fuses.
  auto later = load(conv_json(c_, "conv", "x", "a", c_.C) + ", " + add_json(c_, "double", "r", "r", "r2") +
                        ", " + add_json(c_, "sum", "a", "r2", "y"),
                    R"({"name": "y"})", {"conv"});
  EXPECT_NE(later->slot_of("a"), later->slot_of("y"));
  // Two convolutions feeding the addition: the later one finishes it.
  auto two = load(conv_json(c_, "conv", "x", "a", c_.C) + ", " + conv_json(c_, "conv2", "r", "b", c_.C) +
                      ", " + add_json(c_, "sum", "a", "b", "y"),
                  R"({"name": "y"})", {"conv", "conv2"});
  EXPECT_NE(two->slot_of("a"), two->slot_of("y"));
  EXPECT_EQ(two->slot_of("b"), two->slot_of("y"));
  // The sum's slot is taken while a is live, so it is neither a's nor the convolution's input's.
  EXPECT_NE(two->slot_of("y"), two->slot_of("r"));
}

}  // namespace
}  // namespace trevalon
