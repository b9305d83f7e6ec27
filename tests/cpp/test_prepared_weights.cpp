// Weights prepared once per tier: forwards prepare nothing, a tier switch after load gives that
// tier's exact result, prepared products equal the table's, and release_scratch frees the
// kernels' working memory.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "backend/cpu_backend.h"
#include "kernel_tier_loop.h"
#include "kernels/gemm_f32.h"
#include "kernels/gemm_i8.h"
#include "kernels/prepared_weights.h"
#include "kernels/thread_work.h"
#include "layers/layer_factory.h"
#include "test_support.h"

namespace trevalon {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::bytes_of;
using testing::parse_node;

template <class T>
std::vector<T> random_values(size_t n, std::mt19937& rng, T lo, T hi) {
  std::vector<T> v(n);
  if constexpr (std::is_floating_point_v<T>) {
    std::uniform_real_distribution<T> d(lo, hi);
    for (T& x : v) x = d(rng);
  } else {
    std::uniform_int_distribution<int64_t> d(lo, hi);
    for (T& x : v) x = T(d(rng));
  }
  return v;
}

// A layer with its weights, an input of its element type, and the input's shape.
struct Case {
  std::string what;
  OpType op;
  std::string json;
  std::map<std::string, Bytes> tensors;
  TensorShape in;
  Bytes input;
};

std::unique_ptr<ILayer> load(const Case& c) {
  auto layer = create_layer(c.op, parse_node(c.json));
  if (!layer) throw std::runtime_error(std::string(c.what).append(": no layer"));
  layer->name = "l";
  WeightGetter get = testing::getter_over(c.tensors);
  layer->load_weights(get);
  return layer;
}

// One forward with scratch buffers of the sizes the layer asks for; the output's bytes.
Bytes run(ILayer& layer, const Case& c) {
  uint64_t sizes[kScratchBuffers] = {};
  layer.scratch_sizes(c.in, sizes);
  std::vector<Bytes> scratch(kScratchBuffers);
  ExecContext ctx{};
  for (int k = 0; k < kScratchBuffers; ++k) {
    scratch[k].assign(sizes[k] + 64, 0);
    ctx.scratch[k] = BufferView{scratch[k].data(), 0, sizes[k]};
  }
  const size_t elem = layer.output_is_int8() ? 1 : sizeof(float);
  Bytes out(element_count(layer.output_shape(c.in)) * elem);
  TensorRef ref{};
  ref.view = BufferView{const_cast<uint8_t*>(c.input.data()), 0, c.input.size()};
  ref.shape = c.in;
  layer.forward(&ref, 1, BufferView{out.data(), 0, out.size()}, &ctx);
  return out;
}

std::string conv_json(int C_in, int C_out, int k, int stride, int pad) {
  return "{\"C_in\": " + std::to_string(C_in) + ", \"C_out\": " + std::to_string(C_out) +
         ", \"kH\": " + std::to_string(k) + ", \"kW\": " + std::to_string(k) +
         ", \"stride_h\": " + std::to_string(stride) + ", \"stride_w\": " + std::to_string(stride) +
         ", \"pad_h\": " + std::to_string(pad) + ", \"pad_w\": " + std::to_string(pad) +
         ", \"in_zp\": 3, \"out_zp\": -5}";
}

// Shapes large enough that the AVX-512 float products take their 16-channel path (160 rows or more)
// and channel counts that are not multiples of the panel widths.
std::vector<Case> cases() {
  std::mt19937 rng(91);
  std::vector<Case> all;
  auto conv_f32 = [&](std::string what, int C_in, int C_out, int k, int stride, int pad, int H, int W) {
    Case c{what, OpType::ConvFp32, conv_json(C_in, C_out, k, stride, pad), {}, {C_in, H, W}, {}};
    c.tensors["l.weight"] = bytes_of(random_values<float>(size_t(C_out) * C_in * k * k, rng, -1, 1));
    c.tensors["l.bias"] = bytes_of(random_values<float>(size_t(C_out), rng, -1, 1));
    c.input = bytes_of(random_values<float>(size_t(C_in) * H * W, rng, -1, 1));
    all.push_back(std::move(c));
  };
  auto conv_i8 = [&](std::string what, int C_in, int C_out, int k, int stride, int pad, int H, int W) {
    Case c{what, OpType::ConvInt8, conv_json(C_in, C_out, k, stride, pad), {}, {C_in, H, W}, {}};
    const int K = C_in * k * k;
    c.tensors["l.weight"] = bytes_of(random_values<int8_t>(size_t(C_out) * K, rng, -128, 127));
    c.tensors["l.req_scale"] = bytes_of(random_values<float>(size_t(C_out), rng, 0.002f / K, 0.02f / K));
    c.tensors["l.eff_bias"] = bytes_of(random_values<int64_t>(size_t(C_out), rng, -90000, 90000));
    c.input = bytes_of(random_values<int8_t>(size_t(C_in) * H * W, rng, -128, 127));
    all.push_back(std::move(c));
  };
  conv_f32("float Winograd", 12, 37, 3, 1, 1, 30, 29);
  conv_f32("float patch path", 10, 21, 3, 2, 1, 40, 37);
  conv_f32("float 1x1", 24, 19, 1, 1, 0, 17, 16);
  conv_i8("int8 1x1", 20, 45, 1, 1, 0, 13, 14);
  conv_i8("int8 3x3 stride 2", 9, 70, 3, 2, 1, 21, 20);
  {
    Case c{"int8 fully connected",
           OpType::GemmInt8,
           R"({"C_in": 75, "C_out": 33, "in_zp": 0})",
           {},
           {75, 1, 1},
           {}};
    c.tensors["l.weight"] = bytes_of(random_values<int8_t>(75 * 33, rng, -128, 127));
    c.tensors["l.req_scale"] = bytes_of(random_values<float>(33, rng, 0.0001f, 0.01f));
    c.tensors["l.eff_bias"] = bytes_of(random_values<int64_t>(33, rng, -5000, 5000));
    c.input = bytes_of(random_values<int8_t>(75, rng, -128, 127));
    all.push_back(std::move(c));
  }
  return all;
}

bool tier_prepares(const KernelDrivers& d) { return d.prepare_f32 || d.prepare_i8; }

TEST(PreparedWeights, LoadPreparesAndForwardsPrepareNothing) {
  const std::vector<Case> all = cases();
  const uint64_t before_load = weight_preparations();
  std::vector<std::unique_ptr<ILayer>> layers;
  for (const Case& c : all) layers.push_back(load(c));
  const uint64_t after_load = weight_preparations();
  // On a tier that prepares, every layer here derives its form at load: the counter is live.
  if (tier_prepares(cpu_kernel_drivers())) {
    EXPECT_GT(after_load, before_load);
  }
  for (size_t i = 0; i < all.size(); ++i) {
    SCOPED_TRACE(all[i].what);
    const Bytes first = run(*layers[i], all[i]);
    const Bytes second = run(*layers[i], all[i]);
    EXPECT_EQ(first, second);
  }
  EXPECT_EQ(weight_preparations(), after_load);
}

TEST(PreparedWeights, TierSwitchedAfterLoadGivesThatTiersResult) {
  const std::vector<Case> all = cases();
  std::vector<std::unique_ptr<ILayer>> layers;
  std::vector<Bytes> best;
  for (const Case& c : all) {
    layers.push_back(load(c));
    best.push_back(run(*layers.back(), c));
  }
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
    for (size_t i = 0; i < all.size(); ++i) {
      SCOPED_TRACE(all[i].what);
      const Bytes switched = run(*layers[i], all[i]);  // loaded for the best tier
      const Bytes fresh = run(*load(all[i]), all[i]);  // loaded for this one
      EXPECT_EQ(switched, fresh);
      // Prepared again once for this tier, then read as it is.
      const uint64_t count = weight_preparations();
      EXPECT_EQ(run(*layers[i], all[i]), fresh);
      EXPECT_EQ(weight_preparations(), count);
    }
  });
  for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(run(*layers[i], all[i]), best[i]) << all[i].what;
}

TEST(PreparedWeights, ReleaseScratchFreesTheKernelsWorkingMemory) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.what);
    auto layer = load(c);
    const Bytes want = run(*layer, c);
    layer->release_scratch();
    EXPECT_EQ(thread_work_held_bytes(), 0u);
    EXPECT_EQ(run(*layer, c), want);  // the buffers come back as needed
  }
  // The Winograd driver keeps its transformed tiles in working memory on every tier.
  const Case winograd = cases()[0];
  auto layer = load(winograd);
  run(*layer, winograd);
  EXPECT_GT(thread_work_held_bytes(), 0u);
  layer->release_scratch();
  EXPECT_EQ(thread_work_held_bytes(), 0u);
}

TEST(PreparedWeights, PreparedInt8ProductEqualsTheSlot) {
  // Channel counts around the 16-channel vectors and 64-channel tiles; K not a multiple of 4; some
  // multipliers the division form cannot take (shift far left), which fall back per call. Few rows
  // over many channel groups (the next group's weights prefetched, a last group of one 8-channel
  // block), and rows enough for several chunks of offset activations.
  struct Shape {
    int M, K, N;
    bool divisible;
  };
  const Shape shapes[] = {{1, 75, 33, true}, {7, 13, 64, true}, {20, 40, 65, true}, {6, 9, 17, false},
                          {5, 36, 200, true},  {700, 200, 136, true}};
  std::mt19937 rng(5);
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable& table) {
    const KernelDrivers& drivers = cpu_kernel_drivers();
    for (const Shape& s : shapes) {
      SCOPED_TRACE(std::to_string(s.M) + "x" + std::to_string(s.K) + "x" + std::to_string(s.N));
      const auto A = random_values<int8_t>(size_t(s.M) * s.K, rng, -128, 127);
      const auto W = random_values<int8_t>(size_t(s.N) * s.K, rng, -128, 127);
      const auto bias = random_values<int64_t>(size_t(s.N), rng, -(int64_t(1) << 34), int64_t(1) << 34);
      const auto scale = random_values<float>(size_t(s.N), rng, 0.001f, 0.01f);
      std::vector<int32_t> mult(s.N), shift(s.N);
      for (int n = 0; n < s.N; ++n) {
        mult[n] = int32_t(1 << 30) + n * 1000;
        shift[n] = s.divisible ? -9 - n % 4 : 12;
      }
      int8_t* packed = table.pack_weights_i8(W.data(), s.N, s.K);
      for (int mode = 0; mode < 3; ++mode) {  // row-major int8, channel-major int8, float
        const bool float_out = mode == 2, channel_major = mode == 1;
        PreparedWeightsI8 prepared;
        if (drivers.prepare_i8)
          drivers.prepare_i8(packed, s.N, s.K, bias.data(), mult.data(), shift.data(), -3, !float_out,
                             drivers.format, prepared);
        const size_t bytes = size_t(s.M) * s.N * (float_out ? 4 : 1);
        Bytes want(bytes), got(bytes);
        table.gemm_i8(A.data(), packed, bias.data(), mult.data(), shift.data(), scale.data(), -3, want.data(),
                      float_out, s.M, s.K, s.N, channel_major, nullptr, nullptr);
        drivers.gemm_i8(A.data(), packed, &prepared, bias.data(), mult.data(), shift.data(), scale.data(), -3,
                        got.data(), float_out, s.M, s.K, s.N, channel_major, nullptr);
        EXPECT_EQ(got, want) << "mode " << mode;
      }
      table.free_packed_i8(packed);
    }
  });
}

TEST(PreparedWeights, PreparedFloatProductEqualsTheReference) {
  // The product as 1x1 layers run it: k blocks with a short last one (K = 129, 300, 2100), row
  // tails of every tile height, channel tails past 16-channel vectors and 64-channel tiles, and
  // tall passes whose tiles run all of a short K at once with a channel tail (96 x 64 x 20).
  const int shapes[][3] = {{1, 129, 33}, {5, 300, 70}, {49, 2100, 17}, {13, 64, 130}, {200, 257, 64},
                           {96, 64, 20}};
  std::mt19937 rng(11);
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable& table) {
    const KernelDrivers& drivers = cpu_kernel_drivers();
    if (!drivers.prepare_f32 || !drivers.conv2d_f32) return;
    for (const auto& s : shapes) {
      const int M = s[0], K = s[1], N = s[2];
      SCOPED_TRACE(std::to_string(M) + "x" + std::to_string(K) + "x" + std::to_string(N));
      const auto A = random_values<float>(size_t(M) * K, rng, -1.0f, 1.0f);
      const auto W = random_values<float>(size_t(N) * K, rng, -1.0f, 1.0f);
      const auto bias = random_values<float>(size_t(N), rng, -1.0f, 1.0f);
      std::vector<float> want(size_t(M) * N), got(size_t(M) * N + 16, 7.0f);
      gemm_f32_reference(A.data(), W.data(), bias.data(), want.data(), true, M, K, N);
      float* packed = table.pack_weights_f32(W.data(), N, K);
      PreparedWeightsF32 prepared;
      drivers.prepare_f32(packed, N, K, drivers.format, prepared);
      drivers.conv2d_f32(A.data(), bias.data(), got.data(), K, M, 1, N, 1, 1, 1, 1, 0, 0, true, packed,
                         prepared.get(), nullptr, 1, 1);
      table.free_packed_f32(packed);
      EXPECT_EQ(std::memcmp(got.data(), want.data(), want.size() * sizeof(float)), 0);
      for (size_t i = want.size(); i < got.size(); ++i) ASSERT_EQ(got[i], 7.0f) << "overrun at " << i;
    }
  });
}

}  // namespace
}  // namespace trevalon
