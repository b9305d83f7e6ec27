// The model runtime with test-only layers: slots, planning, memory modes, profiling, speed, errors.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <thread>

#include "layers/layer_factory.h"
#include "runtime/inference_model.h"
#include "test_support.h"

namespace trevalon {
namespace {

using testing::TempDir;

// Float layer: out = sum of its inputs + "bias"; asks for "scratch" bytes of scratch buffer 0 and
// writes them, so a scratch buffer that is too small shows up under the sanitizers.
class SumLayer : public ILayer, public DurationScaled {
 public:
  explicit SumLayer(const JsonValue& node)
      : bias_(node.get_float("bias", 0.0f)),
        scratch_(node.get_int("scratch", 0)),
        sleep_us_(node.get_int("sleep_us", 0)) {}
  TensorShape forward(const TensorRef* in, int n, BufferView out, ExecContext* ctx) override {
    require_backend();
    const uint64_t count = n ? element_count(in[0].shape) : 0;
    float* dst = static_cast<float*>(out.data);
    for (uint64_t i = 0; i < count; ++i) {
      float v = bias_;
      for (int k = 0; k < n; ++k) v += static_cast<const float*>(in[k].view.data)[i];
      dst[i] = v;
    }
    if (scratch_ > 0) {
      EXPECT_GE(ctx->scratch[0].bytes, uint64_t(scratch_));
      std::memset(ctx->scratch[0].data, 0x5a, scratch_);
    }
    if (sleep_us_) std::this_thread::sleep_for(std::chrono::microseconds(sleep_us_));
    return n ? in[0].shape : TensorShape{};
  }
  bool output_is_int8() const override { return false; }
  TensorShape output_shape(TensorShape s) const override { return s; }
  void scratch_sizes(TensorShape, uint64_t sizes[kScratchBuffers]) const override {
    sizes[0] = std::max<uint64_t>(sizes[0], scratch_);
  }
  void release_scratch() override { ++releases; }
  void set_duration_scale(float s) override { duration_scale = s; }

  static inline int releases = 0;  // release_scratch calls over every SumLayer
  float duration_scale = 1.0f;

 private:
  float bias_;
  int scratch_;
  int sleep_us_;
};

// Int8 layer: copies its input bytes plus one.
class Int8PlusOne : public ILayer {
 public:
  TensorShape forward(const TensorRef* in, int n, BufferView out, ExecContext*) override {
    const uint64_t count = element_count(in[0].shape);
    for (uint64_t i = 0; i < count; ++i)
      static_cast<int8_t*>(out.data)[i] =
          static_cast<int8_t>(static_cast<const int8_t*>(in[0].view.data)[i] + 1);
    return in[0].shape;
  }
  bool output_is_int8() const override { return true; }
  TensorShape output_shape(TensorShape s) const override { return s; }
};

std::unique_ptr<ILayer> make_test_layer(OpType op, const JsonValue& node) {
  switch (op) {
    case OpType::AddFp32:
    case OpType::LengthRegulateFp32: return std::make_unique<SumLayer>(node);
    case OpType::ConvInt8: return std::make_unique<Int8PlusOne>();
    default: return nullptr;
  }
}

class RuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_extra_layer_maker(&make_test_layer);
    weights_ = dir_.write("empty.w1x1", testing::build_w1x1({}));
  }
  void TearDown() override { set_extra_layer_maker(nullptr); }

  std::unique_ptr<InferenceModel> load(const std::string& json, int mode = 0) {
    return std::make_unique<InferenceModel>(dir_.write("arch.json", json), weights_, mode);
  }

  TempDir dir_;
  std::string weights_;
};

const char* kChain = R"({"model": "chain",
  "inputs": [{"name": "x", "shape": [1, 1, 2, 3], "dtype": "float32"}],
  "nodes": [
    {"name": "A", "op": "add_fp32", "inputs": ["x"], "outputs": ["a"], "bias": 1},
    {"name": "B", "op": "add_fp32", "inputs": ["a"], "outputs": ["b"], "bias": 10},
    {"name": "C", "op": "add_fp32", "inputs": ["b"], "outputs": ["c"], "bias": 100, "scratch": 4096}
  ]})";

TensorMap one_input(const std::string& name, const std::vector<float>& v, std::vector<int32_t> shape) {
  TensorMap m;
  m[name].data = v.data();
  m[name].shape = std::move(shape);
  return m;
}

TEST_F(RuntimeTest, ChainReusesSlotsAndComputes) {
  auto model = load(kChain);
  EXPECT_EQ(model->slot_of("x"), 0);
  EXPECT_EQ(model->slot_of("a"), 1);
  EXPECT_EQ(model->slot_of("b"), 0);
  EXPECT_EQ(model->slot_of("c"), 1);
  EXPECT_EQ(model->slot_count(), 2);
  ASSERT_EQ(model->output_names(), std::vector<std::string>{"c"});

  const std::vector<float> x = {0, 1, 2, 3, 4, 5};
  TensorMap out = model->forward(one_input("x", x, {2, 3}));
  ASSERT_EQ(out.count("c"), 1u);
  EXPECT_EQ(out["c"].shape, (std::vector<int32_t>{2, 3}));
  EXPECT_EQ(out["c"].dtype, "float32");
  const float* y = reinterpret_cast<const float*>(out["c"].data);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(y[i], x[i] + 111.0f);
}

TEST_F(RuntimeTest, ReleasingModesGiveTheSameResults) {
  const std::vector<float> x = {0.5f, -1, 2, 3, 4, 5};
  std::vector<float> reference;
  for (int mode : {0, 1, 2, 7}) {
    auto model = load(kChain, mode);
    for (int call = 0; call < 2; ++call) {
      TensorMap out = model->forward(one_input("x", x, {2, 3}));
      const float* y = reinterpret_cast<const float*>(out["c"].data);
      std::vector<float> got(y, y + 6);
      if (reference.empty()) {
        reference = got;
      }
      EXPECT_EQ(got, reference) << "mode " << mode;
    }
    if (mode == 1 || mode == 2) {
      EXPECT_EQ(model->slot_buffer_bytes(0), 0u) << "mode " << mode;
    } else {
      EXPECT_GE(model->slot_buffer_bytes(0), 24u) << "mode " << mode;
    }
  }
}

TEST_F(RuntimeTest, OnlyModeTwoReleasesEachLayersScratch) {
  const std::vector<float> x = {0, 1, 2, 3, 4, 5};
  for (auto [mode, per_node] : {std::pair{0, 0}, {1, 0}, {2, 1}, {3, 0}, {-2, 0}}) {
    auto model = load(kChain, mode);
    SumLayer::releases = 0;
    model->forward(one_input("x", x, {2, 3}));
    model->forward(one_input("x", x, {2, 3}));
    EXPECT_EQ(SumLayer::releases, 2 * 3 * per_node) << "mode " << mode;  // two calls, three nodes
  }
}

TEST_F(RuntimeTest, OutputShapesFollowRank) {
  struct Case {
    std::vector<int32_t> in;
    std::vector<int32_t> out;
  } cases[] = {{{10}, {10}}, {{120, 80}, {120, 80}}, {{4, 5, 3}, {4, 5, 3}}, {{1, 80}, {80}}};
  auto model = load(R"({"inputs": [{"name": "x", "shape": [1, 1, 0, 0], "dtype": "float32"}],
    "nodes": [{"name": "A", "op": "add_fp32", "inputs": ["x"], "outputs": ["y"]}]})");
  for (const Case& c : cases) {
    uint64_t n = 1;
    for (int32_t d : c.in) n *= d;
    std::vector<float> x(n, 1.0f);
    TensorMap out = model->forward(one_input("x", x, c.in));
    EXPECT_EQ(out["y"].shape, c.out);
  }
}

TEST_F(RuntimeTest, FourDimensionalInputMapsToWidthAndKeepsAllBytes) {
  // [1, 4, 5, 3]: c = 3, h = 1, w = 4; every byte is still copied into the slot.
  auto model = load(R"({"inputs": [{"name": "x", "shape": [1, 1, 0, 0], "dtype": "float32"}],
    "nodes": [{"name": "A", "op": "add_fp32", "inputs": ["x"], "outputs": ["y"]}]})");
  std::vector<float> x(60, 2.0f);
  TensorMap out = model->forward(one_input("x", x, {1, 4, 5, 3}));
  EXPECT_EQ(out["y"].shape, (std::vector<int32_t>{1, 4, 3}));
  EXPECT_GE(model->slot_buffer_bytes(0), 240u);
}

TEST_F(RuntimeTest, InputLimitsAndMissingLayers) {
  std::string nine = R"({"inputs": [{"name": "x", "shape": [1,1,1,2], "dtype": "float32"}], "nodes": [
    {"name": "wide", "op": "add_fp32", "inputs": ["x","x","x","x","x","x","x","x")";
  auto eight = load(nine + R"(], "outputs": ["y"]}]})");
  std::vector<float> x = {1, 2};
  TensorMap out = eight->forward(one_input("x", x, {2}));
  EXPECT_EQ(reinterpret_cast<const float*>(out["y"].data)[1], 16.0f);

  auto too_many = load(nine + R"(,"x"], "outputs": ["y"]}]})");
  try {
    too_many->forward(one_input("x", x, {2}));
    FAIL() << "nine inputs ran";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "node 'wide' has 9 inputs (max 8)");
  }

  auto unknown = load(R"({"inputs": [{"name": "x", "shape": [1,1,1,2], "dtype": "float32"}],
    "nodes": [{"name": "r", "op": "relu_fp32", "inputs": ["x"], "outputs": ["y"]}]})");
  EXPECT_THROW(
      {
        try {
          unknown->forward(one_input("x", x, {2}));
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "No layer for: r");
          throw;
        }
      },
      std::runtime_error);

  auto dangling = load(R"({"inputs": [{"name": "x", "shape": [1,1,1,2], "dtype": "float32"}],
    "nodes": [{"name": "A", "op": "add_fp32", "inputs": ["nowhere"], "outputs": ["y"]}]})");
  try {
    dangling->forward(one_input("x", x, {2}));
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "unordered_map::at: key not found");
  }
}

std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

float first_value(const TensorMap& out, const std::string& name, size_t i = 0) {
  return reinterpret_cast<const float*>(out.at(name).data)[i];
}

TEST_F(RuntimeTest, OmittedInputKeepsItsSlotOnlyWhileTheSlotIsItsOwn) {
  auto model = load(R"({"inputs": [{"name": "x", "shape": [1,1,1,2], "dtype": "float32"},
                                   {"name": "z", "shape": [1,1,1,2], "dtype": "float32"}],
    "outputs": [{"name": "y"}, {"name": "ghost"}],
    "nodes": [{"name": "A", "op": "add_fp32", "inputs": ["x", "z"], "outputs": ["y"]}]})");
  std::vector<float> x = {1, 2}, z = {10, 20};
  TensorMap only_x = one_input("x", x, {2});
  EXPECT_EQ(error_of([&] { model->forward(only_x); }),
            "input 'z' was not supplied, and no earlier call supplied it");
  TensorMap both = one_input("x", x, {2});
  both["z"].data = z.data();
  both["z"].shape = {2};
  TensorMap out = model->forward(both);
  EXPECT_EQ(out.count("ghost"), 0u);
  EXPECT_EQ(first_value(out, "y", 1), 22.0f);
  // z's slot is never reused, so it still holds z.
  EXPECT_EQ(first_value(model->forward(only_x), "y", 1), 22.0f);

  // x -> A(x, z) -> a -> B -> b -> C -> c: b takes z's freed slot, so z cannot be kept; x's slot
  // is never reused, so x can.
  const char* shared = R"({"inputs": [{"name": "x", "shape": [1,1,1,2], "dtype": "float32"},
                                      {"name": "z", "shape": [1,1,1,2], "dtype": "float32"}],
    "nodes": [{"name": "A", "op": "add_fp32", "inputs": ["x", "z"], "outputs": ["a"]},
              {"name": "B", "op": "add_fp32", "inputs": ["a"], "outputs": ["b"]},
              {"name": "C", "op": "add_fp32", "inputs": ["b"], "outputs": ["c"]}]})";
  for (int mode : {0, 1, 2}) {
    auto chain = load(shared, mode);
    ASSERT_EQ(chain->slot_of("b"), chain->slot_of("z"));
    EXPECT_EQ(first_value(chain->forward(both), "c"), 11.0f) << mode;
    const std::string z_error = error_of([&] { chain->forward(only_x); });
    const std::string x_error = error_of([&] { chain->forward(one_input("z", z, {2})); });
    if (mode == 0) {
      EXPECT_EQ(z_error,
                "input 'z' was not supplied; its buffer is reused by later tensors during a pass, "
                "so every call must supply it");
      EXPECT_EQ(x_error, "");
    } else {
      EXPECT_EQ(z_error, "input 'z' was not supplied; memory mode " + std::to_string(mode) +
                             " releases every buffer after a call, so every call must supply it");
      EXPECT_EQ(x_error, "input 'x' was not supplied; memory mode " + std::to_string(mode) +
                             " releases every buffer after a call, so every call must supply it");
    }
  }
}

TEST_F(RuntimeTest, DeclaredOutputReadByALaterNodeKeepsItsData) {
  std::string json = kChain;
  json.insert(json.find("\"nodes\""), R"("outputs": [{"name": "a"}, {"name": "c"}], )");
  auto model = load(json);
  EXPECT_NE(model->slot_of("a"), model->slot_of("c"));
  const std::vector<float> x = {0, 1, 2, 3, 4, 5};
  TensorMap out = model->forward(one_input("x", x, {2, 3}));
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(first_value(out, "a", i), x[i] + 1.0f);
    EXPECT_EQ(first_value(out, "c", i), x[i] + 111.0f);
  }
}

TEST_F(RuntimeTest, SuppliedShapesMustAgreeWithTheDeclaration) {
  auto fixed = load(kChain);  // x declared [1, 2, 3]
  std::vector<float> x(7, 1.0f);
  for (std::vector<int32_t> ok : {std::vector<int32_t>{6}, {1, 2, 3}, {2, 1, 3}, {2, 3, 1}})
    EXPECT_EQ(error_of([&] { fixed->forward(one_input("x", x, ok)); }), "") << ok.size();
  EXPECT_EQ(error_of([&] { fixed->forward(one_input("x", x, {7})); }),
            "input 'x' expects shape [1, 2, 3] (6 elements), got shape [7] (7 elements)");
  EXPECT_EQ(error_of([&] {
              fixed->forward(one_input("x", x, {3, 2}));
            }),
            "input 'x' expects shape [1, 2, 3] (6 elements), got shape [3, 2] (6 elements); the engine takes "
            "rows x channels, so transpose a channels-first array");

  // Declared [0, 4]: the channels are fixed, the rows are not.
  auto rows = load(R"({"inputs": [{"name": "x", "shape": [1, 0, 1, 4], "dtype": "float32"}],
    "nodes": [{"name": "A", "op": "add_fp32", "inputs": ["x"], "outputs": ["y"]}]})");
  std::vector<float> r(12, 1.0f);
  EXPECT_EQ(rows->forward(one_input("x", r, {3, 4}))["y"].shape, (std::vector<int32_t>{3, 4}));
  EXPECT_EQ(error_of([&] { rows->forward(one_input("x", r, {12})); }),
            "input 'x' expects shape [0, 4] (whole rows of 4 elements), got shape [12] (12 elements)");
}

TEST_F(RuntimeTest, MixedTypeSlotIsSizedForFloat) {
  // "q" (int8) and "f" (float) share a slot; its last writer is int8, but the float writer
  // still needs 4 bytes per element.
  auto model = load(R"({"inputs": [{"name": "x", "shape": [1,1,1,256], "dtype": "float32"},
                                   {"name": "i", "shape": [1,1,1,256], "dtype": "int8"}],
    "nodes": [{"name": "F", "op": "add_fp32", "inputs": ["x"], "outputs": ["f"]},
              {"name": "G", "op": "add_fp32", "inputs": ["f"], "outputs": ["g"]},
              {"name": "Q", "op": "conv_int8", "inputs": ["i"], "outputs": ["q"]}]})");
  ASSERT_EQ(model->slot_of("f"), model->slot_of("q"));
  EXPECT_TRUE(model->slot_is_int8(model->slot_of("q")));
  EXPECT_GE(model->slot_buffer_bytes(model->slot_of("f")), 1024u);
  std::vector<float> x(256, 1.0f);
  std::vector<int8_t> i(256, 5);
  TensorMap in = one_input("x", x, {256});
  in["i"].data = i.data();
  in["i"].shape = {256};
  in["i"].dtype = "int8";
  TensorMap out = model->forward(in);
  EXPECT_EQ(out["q"].dtype, "int8");
  EXPECT_EQ(out["q"].storage.size(), 256u);
  EXPECT_EQ(static_cast<int8_t>(out["q"].storage[0]), 6);
}

TEST_F(RuntimeTest, MalformedInputTensorsAreErrors) {
  auto model = load(kChain);
  TensorMap null_data;
  null_data["x"].shape = {2, 3};
  EXPECT_THROW(model->forward(null_data), std::runtime_error);
  std::vector<float> x(6);
  TensorMap huge = one_input("x", x, {1 << 30, 1 << 30, 1 << 30});
  EXPECT_THROW(model->forward(huge), std::runtime_error);
  TensorMap negative = one_input("x", x, {-2, 3});
  EXPECT_THROW(model->forward(negative), std::runtime_error);
  // The model stays usable.
  TensorMap out = model->forward(one_input("x", x, {2, 3}));
  EXPECT_EQ(out["c"].shape, (std::vector<int32_t>{2, 3}));
}

TEST_F(RuntimeTest, ProfilingAccumulatesAcrossCalls) {
  auto model = load(R"({"inputs": [{"name": "x", "shape": [1,1,1,2], "dtype": "float32"}],
    "nodes": [{"name": "A", "op": "add_fp32", "inputs": ["x"], "outputs": ["a"], "sleep_us": 2000},
              {"name": "A", "op": "add_fp32", "inputs": ["a"], "outputs": ["b"], "sleep_us": 2000}]})");
  std::vector<float> x = {1, 2};
  model->forward(one_input("x", x, {2}));
  EXPECT_TRUE(model->op_profile().empty()) << "profiling starts off";
  model->set_profile_enabled(true);
  model->forward(one_input("x", x, {2}));
  const double first = model->op_profile().at("add_fp32");
  EXPECT_GE(first, 4.0);                                     // two nodes of 2 ms each share one op entry
  EXPECT_NEAR(model->layer_profile().at("A"), first, 1e-9);  // and one node name
  model->forward(one_input("x", x, {2}));
  EXPECT_GE(model->op_profile().at("add_fp32"), first + 4.0);
  model->reset_profile();
  EXPECT_TRUE(model->op_profile().empty());
  EXPECT_TRUE(model->layer_profile().empty());
  model->reset_profile();
}

TEST_F(RuntimeTest, SpeedIsValidatedAndReachesLengthRegulators) {
  auto model = load(R"({"inputs": [{"name": "x", "shape": [1,1,1,2], "dtype": "float32"}],
    "nodes": [{"name": "L", "op": "length_regulate_fp32", "inputs": ["x"], "outputs": ["y"]}]})");
  EXPECT_EQ(model->speed(), 1.0f);
  for (float bad : {0.0f, -0.0f, -1.0f, std::numeric_limits<float>::infinity(),
                    std::numeric_limits<float>::quiet_NaN()}) {
    try {
      model->set_speed(bad);
      FAIL() << bad;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "speed must be a positive finite value");
    }
    EXPECT_EQ(model->speed(), 1.0f);
  }
  model->set_speed(2.0f);
  EXPECT_EQ(model->speed(), 2.0f);
  model->set_speed(std::numeric_limits<float>::denorm_min());
  EXPECT_EQ(model->speed(), std::numeric_limits<float>::denorm_min());
}

TEST_F(RuntimeTest, ConstructionErrorsPassThrough) {
  EXPECT_THROW(InferenceModel(dir_.path("missing.json"), weights_), std::runtime_error);
  const std::string arch = dir_.write("a.json", kChain);
  try {
    InferenceModel m(arch, dir_.path("missing.w1x1"));
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open weights: " + dir_.path("missing.w1x1"));
  }
}

}  // namespace
}  // namespace trevalon
