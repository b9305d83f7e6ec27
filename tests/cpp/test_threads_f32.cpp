// Float matrix products and float convolutions give the bytes of one thread at 2, 3 and 4 threads on
// every tier: split over rows and over channel ranges, with shapes whose ranges end inside a tile, a
// panel or a block, fewer rows than threads, and one row.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "arch/json.h"
#include "backend/cpu_features.h"
#include "kernel_tier_loop.h"
#include "kernels/conv_geometry.h"
#include "kernels/gemm_f32.h"
#include "kernels/winograd_f32.h"
#include "layers/layer_factory.h"
#include "test_support.h"
#include "thread_counts.h"
#ifndef TREVALON_PORTABLE
#include "kernels/x86/gemm_f32_avx512.h"
#endif

namespace trevalon {
namespace {

using testing::expect_same_bytes_at_thread_counts;
using testing::random_floats;

constexpr int kGuard = 16;
constexpr float kSentinel = -12345.5f;

struct Packed {
  float* p;
  Packed(const std::vector<float>& w, int rows, int cols) : p(pack_weights_f32(w.data(), rows, cols)) {}
  ~Packed() { free_packed_f32(p); }
};

// {M, K, N}: one row; fewer rows than threads; odd sizes; channels not a multiple of any panel;
// short products split by channels (rows few, weights large); tall ones split by rows.
const int kProducts[][3] = {{1, 37, 130}, {3, 19, 70},  {17, 33, 9},     {49, 512, 200},
                            {13, 70, 25}, {70, 64, 24}, {200, 300, 130}, {166, 33, 1}};

TEST(F32Threads, GemmEveryTierSameBytes) {
  std::mt19937 rng(5);
  for (const auto& s : kProducts) {
    const int M = s[0], K = s[1], N = s[2];
    SCOPED_TRACE("M=" + std::to_string(M) + " K=" + std::to_string(K) + " N=" + std::to_string(N));
    const auto A = random_floats(size_t(M) * K, rng), W = random_floats(size_t(N) * K, rng);
    const auto bias = random_floats(N, rng);
    const Packed packed(W, N, K);
    std::vector<float> expected(size_t(M) * N);
    gemm_f32_reference(A.data(), W.data(), bias.data(), expected.data(), true, M, K, N);
    testing::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
      auto run = [&] {
        std::vector<float> out(expected.size() + kGuard, kSentinel);
        t.gemm_f32(A.data(), packed.p, bias.data(), out.data(), true, M, K, N);
        return out;
      };
      const auto one = run();
      ASSERT_EQ(std::memcmp(one.data(), expected.data(), expected.size() * sizeof(float)), 0);
      expect_same_bytes_at_thread_counts(run, "gemm_f32");
    });
#ifndef TREVALON_PORTABLE
    if (detect_cpu_tier() >= CpuTier::Avx512) {
      // The product on weights prepared in 64-channel panels, as the layers hold them.
      std::vector<float> w16(x86::regrouped16_floats(K, N));
      x86::regroup16_avx512(packed.p, K, N, w16.data());
      expect_same_bytes_at_thread_counts(
          [&] {
            std::vector<float> out(expected.size() + kGuard, kSentinel);
            gemm_f32_prepared_avx512(A.data(), packed.p, w16.data(), bias.data(), out.data(), true, M, K, N);
            EXPECT_EQ(std::memcmp(out.data(), expected.data(), expected.size() * sizeof(float)), 0);
            return out;
          },
          "prepared gemm_f32");
    }
#endif
  }
}

TEST(F32Threads, GemvEveryTierSameBytes) {
  std::mt19937 rng(6);
  const int shapes[][2] = {{1, 1}, {17, 9}, {64, 33}, {300, 130}, {2048, 37}};
  for (const auto& s : shapes) {
    const int K = s[0], N = s[1];
    const auto x = random_floats(K, rng), W = random_floats(size_t(N) * K, rng), bias = random_floats(N, rng);
    const Packed packed(W, N, K);
    std::vector<float> expected(N);
    gemm_f32_reference(x.data(), W.data(), bias.data(), expected.data(), false, 1, K, N);
    testing::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
      for (const float* p : {static_cast<const float*>(packed.p), static_cast<const float*>(nullptr)})
        expect_same_bytes_at_thread_counts(
            [&] {
              std::vector<float> out(N + kGuard, kSentinel);
              t.gemv_f32(x.data(), W.data(), bias.data(), out.data(), K, N, p, nullptr);
              EXPECT_EQ(std::memcmp(out.data(), expected.data(), N * sizeof(float)), 0) << "K=" << K;
              return out;
            },
            p ? "gemv, packed" : "gemv, unpacked");
    });
  }
}

struct Conv {
  int C, H, W, C_out, k, stride, pad, dilation;
};

// 3x3 Winograd in one block and in several; 1x1 read in place (rows few: channel ranges) and
// strided; the 7x7 stride-2 stem; tall products reading patch runs; short ones gathering patches.
const Conv kConvs[] = {{8, 7, 7, 20, 3, 1, 1, 1},
                       {64, 30, 30, 64, 3, 1, 1, 1},
                       {40, 13, 11, 33, 3, 1, 1, 1},
                       {64, 7, 7, 200, 1, 1, 0, 1},
                       {24, 9, 9, 40, 1, 2, 0, 1},
                       {3, 40, 38, 16, 7, 2, 3, 1},
                       {16, 20, 20, 40, 3, 1, 2, 2},
                       {128, 8, 8, 70, 3, 2, 1, 1},
                       // 1x1 with outputs of several bands (the fused addition runs band by band)
                       {32, 40, 64, 256, 1, 1, 0, 1},
                       {32, 80, 128, 256, 1, 2, 0, 1}};

std::string conv_json(const Conv& c) {
  return "{\"C_out\": " + std::to_string(c.C_out) + ", \"C_in\": " + std::to_string(c.C) +
         ", \"kH\": " + std::to_string(c.k) + ", \"kW\": " + std::to_string(c.k) +
         ", \"stride_h\": " + std::to_string(c.stride) + ", \"stride_w\": " + std::to_string(c.stride) +
         ", \"pad_h\": " + std::to_string(c.pad) + ", \"pad_w\": " + std::to_string(c.pad) +
         ", \"dilation_h\": " + std::to_string(c.dilation) +
         ", \"dilation_w\": " + std::to_string(c.dilation) + "}";
}

// The float convolution layer at every tier, alone and with a fused residual addition, and the
// convolution slot on unprepared weights.
TEST(F32Threads, ConvolutionsEveryTierSameBytes) {
  std::mt19937 rng(7);
  for (const Conv& c : kConvs) {
    SCOPED_TRACE(conv_json(c));
    const auto x = random_floats(size_t(c.H) * c.W * c.C, rng);
    const std::map<std::string, std::vector<uint8_t>> tensors{
        {"conv.weight", testing::bytes_of(random_floats(size_t(c.C_out) * c.C * c.k * c.k, rng))},
        {"conv.bias", testing::bytes_of(random_floats(c.C_out, rng))}};
    const int oh = int(conv_output_size(c.H, c.k, c.stride, c.pad, c.dilation));
    const int ow = int(conv_output_size(c.W, c.k, c.stride, c.pad, c.dilation));
    const size_t produced = size_t(oh) * ow * c.C_out;
    const auto residual = random_floats(produced, rng);
    auto add = create_layer(OpType::AddFp32, testing::parse_node("{}"));
    const auto* epilogue = dynamic_cast<const ElementwiseEpilogue*>(add.get());
    ASSERT_NE(epilogue, nullptr);

    testing::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
      for (bool fused : {false, true}) {
        SCOPED_TRACE(fused ? "fused addition" : "alone");
        auto layer = create_layer(OpType::ConvFp32, testing::parse_node(conv_json(c)));
        layer->name = "conv";
        layer->relu = true;
        WeightGetter get = testing::getter_over(tensors);
        layer->load_weights(get);
        if (fused) {
          ASSERT_TRUE(layer->fuse_epilogue(epilogue, 0));
        }
        expect_same_bytes_at_thread_counts(
            [&] {
              std::vector<float> out(produced + kGuard, kSentinel);
              TensorRef in[2]{};
              in[0].view = BufferView{const_cast<float*>(x.data()), 0, x.size() * sizeof(float)};
              in[0].shape = TensorShape{c.C, c.H, c.W};
              in[1].view = BufferView{const_cast<float*>(residual.data()), 0, produced * sizeof(float)};
              in[1].shape = TensorShape{c.C_out, oh, ow};
              // The patch scratch the layer asks for, shared by the threads' ranges.
              uint64_t sizes[kScratchBuffers] = {};
              layer->scratch_sizes(in[0].shape, sizes);
              std::vector<float> scratch(sizes[2] / sizeof(float));
              ExecContext ctx{};
              ctx.scratch[2] = BufferView{scratch.data(), 0, scratch.size() * sizeof(float)};
              layer->forward(in, fused ? 2 : 1, BufferView{out.data(), 0, out.size() * sizeof(float)}, &ctx);
              return out;
            },
            "conv layer");
      }
      // The slot packs (and, where the tier prepares, regroups) the weights for the call.
      std::vector<float> w(tensors.at("conv.weight").size() / sizeof(float));
      std::memcpy(w.data(), tensors.at("conv.weight").data(), w.size() * sizeof(float));
      expect_same_bytes_at_thread_counts(
          [&] {
            std::vector<float> out(produced + kGuard, kSentinel);
            t.conv2d_f32(x.data(), w.data(), nullptr, out.data(), c.C, c.H, c.W, c.C_out, c.k, c.k, c.stride,
                         c.stride, c.pad, c.pad, false, nullptr, nullptr, c.dilation, c.dilation, nullptr);
            return out;
          },
          "conv2d_f32 slot");
    });
  }
}

// The Winograd slot on the 4-row panels of the 16 matrices (regrouped for the call where the tier
// prepares), in one block of tiles and in several.
TEST(F32Threads, WinogradSlotEveryTierSameBytes) {
  std::mt19937 rng(8);
  const int shapes[][4] = {{8, 7, 7, 20}, {64, 30, 30, 64}, {17, 5, 9, 33}};
  for (const auto& s : shapes) {
    const int C = s[0], H = s[1], W = s[2], C_out = s[3];
    SCOPED_TRACE("C=" + std::to_string(C) + " H=" + std::to_string(H) + " W=" + std::to_string(W));
    const auto x = random_floats(size_t(H) * W * C, rng), bias = random_floats(C_out, rng);
    std::vector<std::unique_ptr<Packed>> matrices;
    const float* packed16[16];
    for (int m = 0; m < 16; ++m) {
      matrices.push_back(std::make_unique<Packed>(random_floats(size_t(C_out) * C, rng), C_out, C));
      packed16[m] = matrices.back()->p;
    }
    testing::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
      expect_same_bytes_at_thread_counts(
          [&] {
            std::vector<float> out(size_t(H) * W * C_out + kGuard, kSentinel);
            t.conv2d_f32_winograd(x.data(), packed16, bias.data(), out.data(), C, H, W, C_out, true, nullptr,
                                  nullptr, nullptr);
            return out;
          },
          "winograd slot");
    });
  }
}

TEST(F32Threads, FullyConnectedLayerSameBytes) {
  std::mt19937 rng(9);
  const int C_in = 300, C_out = 130;
  const std::map<std::string, std::vector<uint8_t>> tensors{
      {"fc.weight", testing::bytes_of(random_floats(size_t(C_out) * C_in, rng))},
      {"fc.bias", testing::bytes_of(random_floats(C_out, rng))}};
  const auto x = random_floats(C_in, rng);
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
    auto layer =
        create_layer(OpType::GemmFp32, testing::parse_node("{\"C_out\": " + std::to_string(C_out) +
                                                           ", \"C_in\": " + std::to_string(C_in) + "}"));
    layer->name = "fc";
    WeightGetter get = testing::getter_over(tensors);
    layer->load_weights(get);
    expect_same_bytes_at_thread_counts(
        [&] {
          std::vector<float> out(C_out + kGuard, kSentinel);
          TensorRef in{};
          in.view = BufferView{const_cast<float*>(x.data()), 0, x.size() * sizeof(float)};
          in.shape = TensorShape{C_in, 1, 1};
          ExecContext ctx{};
          layer->forward(&in, 1, BufferView{out.data(), 0, out.size() * sizeof(float)}, &ctx);
          return out;
        },
        "fully connected");
  });
}

}  // namespace
}  // namespace trevalon
