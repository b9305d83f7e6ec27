// Faults first found by fuzzing load + forward: int8 fully connected arithmetic at the edges of its
// integer types, parameters refused at load before any buffer is planned, and the sanitized
// allocator's exact sizes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "backend/allocator.h"
#include "backend/cpu_backend.h"
#include "kernel_tier_loop.h"
#include "layers/layer_factory.h"
#include "runtime/inference_model.h"
#include "test_support.h"

namespace trevalon {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::bytes_of;
using testing::parse_node;

std::unique_ptr<ILayer> make_gemm_int8(int C_out, int C_in, const std::map<std::string, Bytes>& tensors) {
  auto layer = create_layer(OpType::GemmInt8, parse_node("{\"C_out\": " + std::to_string(C_out) +
                                                         ", \"C_in\": " + std::to_string(C_in) + "}"));
  layer->name = "fc";
  WeightGetter get = testing::getter_over(tensors);
  layer->load_weights(get);
  return layer;
}

std::vector<float> run_gemm(ILayer& layer, const std::vector<int8_t>& x, int C_out) {
  std::vector<float> out(static_cast<size_t>(C_out));
  TensorRef ref{};
  ref.view = BufferView{const_cast<int8_t*>(x.data()), 0, x.size()};
  ref.shape = TensorShape{int32_t(x.size()), 1, 1};
  ExecContext ctx{};
  layer.forward(&ref, 1, BufferView{out.data(), 0, out.size() * sizeof(float)}, &ctx);
  return out;
}

// float(bias + acc) with the 64-bit sum wrapping, times the scale.
float wrapped_output(int64_t bias, int32_t acc, float scale) {
  return float(int64_t(uint64_t(bias) + uint64_t(int64_t(acc)))) * scale;
}

uint32_t bits(float v) {
  uint32_t b;
  std::memcpy(&b, &v, 4);
  return b;
}

TEST(FuzzRegressions, GemmInt8BiasAtInt64EdgesWrapsAlikeOnEveryTier) {
  // 19 channels: a full vector of 16 (or two blocks of 8) and a tail. Rows alternate +1 and -1
  // weights, so channel n accumulates +-5 x 100 and meets biases at both ends of int64.
  constexpr int C_out = 19, C_in = 5;
  const int64_t max = std::numeric_limits<int64_t>::max(), min = std::numeric_limits<int64_t>::min();
  std::vector<int8_t> w(size_t(C_out) * C_in);
  std::vector<int64_t> bias(C_out);
  std::vector<float> scale(C_out);
  for (int n = 0; n < C_out; ++n) {
    for (int k = 0; k < C_in; ++k) w[size_t(n) * C_in + k] = n % 2 ? -1 : 1;
    const int64_t edges[] = {max, min, max - 100, min + 100, 0};
    bias[n] = edges[n % 5];
    scale[n] = n % 3 ? 1.0f : -0.5f;
  }
  const std::vector<int8_t> x(C_in, 100);
  const std::map<std::string, Bytes> tensors = {
      {"fc.weight", bytes_of(w)}, {"fc.eff_bias", bytes_of(bias)}, {"fc.req_scale", bytes_of(scale)}};
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
    auto layer = make_gemm_int8(C_out, C_in, tensors);
    const std::vector<float> out = run_gemm(*layer, x, C_out);
    for (int n = 0; n < C_out; ++n)
      EXPECT_EQ(bits(out[n]), bits(wrapped_output(bias[n], n % 2 ? -500 : 500, scale[n]))) << "channel " << n;
  });
}

TEST(FuzzRegressions, GemmInt8RowsLongerThanInt32SumsLoad) {
  // 127 x C_in passes 2^31: the row sum is formed in 64 bits and the accumulator wraps in 32.
  constexpr int C_in = (1 << 24) + (1 << 20);
  const std::map<std::string, Bytes> tensors = {{"fc.weight", Bytes(C_in, 127)},
                                                {"fc.eff_bias", bytes_of(std::vector<int64_t>{7})},
                                                {"fc.req_scale", bytes_of(std::vector<float>{1.0f})}};
  const std::vector<int8_t> x(C_in, 1);
  const int32_t acc = int32_t(uint32_t(uint64_t(127) * C_in));
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
    auto layer = make_gemm_int8(1, C_in, tensors);
    EXPECT_EQ(bits(run_gemm(*layer, x, 1)[0]), bits(wrapped_output(7, acc, 1.0f)));
  });
}

// Model construction from one node; the message of the error it throws, or "<no error>".
std::string load_error(const std::string& node, const std::string& input_shape = "[1, 4, 4, 2]",
                       int32_t memory_mode = 0, const std::string& dtype = "float32") {
  testing::TempDir dir;
  const std::string arch =
      dir.write("m.json", "{\"inputs\": [{\"name\": \"x\", \"shape\": " + input_shape + ", \"dtype\": \"" +
                              dtype + "\"}], \"nodes\": [" + node + "]}");
  const std::string weights = dir.write("m.w1x1", testing::build_w1x1({}));
  try {
    InferenceModel model(arch, weights, memory_mode);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no error>";
}

TEST(FuzzRegressions, ParametersNoInputCouldUseAreRefusedAtLoad) {
  EXPECT_EQ(load_error(R"({"name": "c", "op": "conv_int8", "in": "x", "out": "y", "kH": -1})", "[1, 4, 4, 2]",
                       0, "int8"),
            "node 'c': kH must not be negative, got -1");
  EXPECT_EQ(
      load_error(R"({"name": "c", "op": "conv_fp32", "in": "x", "out": "y", "args": {"dilation_w": -2}})"),
      "node 'c': dilation_w must not be negative, got -2");
  EXPECT_EQ(load_error(R"({"name": "p", "op": "maxpool_fp32", "in": "x", "out": "y", "pad_h": -2147483648})"),
            "node 'p': pad_h must not be negative, got -2147483648");
  EXPECT_EQ(load_error(R"({"name": "c", "op": "conv", "in": "x", "out": "y", "pad_w": 1073741824})",
                       "[1, 4, 4, 2]", 0, "int8"),
            "node 'c': pad_w 1073741824 is too large, the padded input must fit 32 bits");
  EXPECT_EQ(
      load_error(R"({"name": "u", "op": "upsample_bilinear_fp32", "in": "x", "out": "y", "scale_h": 0})"),
      "node 'u': scale_h must be a positive finite number, got 0.000000");
  EXPECT_EQ(
      load_error(R"({"name": "u", "op": "upsample_bilinear_fp32", "in": "x", "out": "y", "scale_w": 1e999})"),
      "node 'u': scale_w must be a positive finite number, got inf");
  EXPECT_EQ(load_error(
                R"({"name": "u", "op": "upsample_bilinear_fp32", "in": "x", "out": "y", "scale_h": -1e-30})"),
            "node 'u': scale_h must be a positive finite number, got -0.000000");
  // What the layers define stays loadable: a zero kernel or padding, scales below 1.
  EXPECT_EQ(load_error(R"({"name": "c", "op": "conv_int8", "in": "x", "out": "y", "kH": 0, "pad_w": 0})",
                       "[1, 4, 4, 2]", 0, "int8"),
            "<no error>");
  EXPECT_EQ(
      load_error(R"({"name": "u", "op": "upsample_bilinear_fp32", "in": "x", "out": "y", "scale_h": 0.25})"),
      "<no error>");
}

TEST(FuzzRegressions, PlansBeyondTwoToThe31ElementsAreRefusedBeforeAllocating) {
  // 2 channels x 1e9 rows x 2 columns: 4e9 elements would have been 16 GB of float.
  for (int32_t mode : {0, 1, 2})
    EXPECT_EQ(
        load_error(R"({"name": "u", "op": "upsample_bilinear_fp32", "in": "x", "out": "y", "scale_h": 1e9})",
                   "[1, 1, 1, 2]", mode),
        "node 'u': tensor 'y' would hold 4000000000 elements (2 x 1000000000 x 2), more than 2^31");
  // A 6-row kernel over a padding just inside 32 bits: 2^31 - 12 output rows fit, but the patch
  // matrix (12.9 GB) does not.
  EXPECT_EQ(load_error(R"({"name": "c", "op": "conv_int8", "in": "x", "out": "y", "C_in": 1, "C_out": 1,
                           "kH": 6, "pad_h": 1073741820})",
                       "[1, 1, 1, 1]", 0, "int8"),
            "node 'c': scratch buffer 0 would hold 12884901816 bytes, more than 2^33");
  // A padding that fits alone but not with the declared height: the forward pass would refuse it.
  EXPECT_EQ(load_error(R"({"name": "c", "op": "conv_fp32", "in": "x", "out": "y", "C_in": 1, "C_out": 1,
                           "pad_h": 1073741800})",
                       "[1, 100, 1, 1]"),
            "node 'c': padded input too large");
  // A zero-size kernel over the largest padding: 2^31 rows are an error, not INT32_MAX rows.
  EXPECT_EQ(load_error(R"({"name": "c", "op": "conv_int8", "in": "x", "out": "y", "C_in": 1, "C_out": 1,
                           "kH": 0, "pad_h": 1073741823})",
                       "[1, 1, 1, 1]", 0, "int8"),
            "node 'c': output too large");
  EXPECT_EQ(load_error(R"({"name": "x2", "op": "add_fp32", "inputs": ["x", "x"], "out": "y"})",
                       "[1, 65536, 65536, 2]"),
            "input 'x' would hold 8589934592 elements (2 x 65536 x 65536), more than 2^31");
}

TEST(FuzzRegressions, SanitizedAllocatorHandsOutExactSizes) {
#if defined(TREVALON_SANITIZED_ALLOCATOR)
  // One byte past a 10-byte buffer is inside the 64-byte rounding an ordinary build adds.
  EXPECT_DEATH(
      {
        CpuAllocator allocator;
        Buffer b = allocator.make_buffer(10);
        static_cast<volatile uint8_t*>(b.data)[10] = 1;
      },
      "heap-buffer-overflow");
#else
  GTEST_SKIP() << "ordinary builds round allocations up to 64 bytes";
#endif
}

}  // namespace
}  // namespace trevalon
