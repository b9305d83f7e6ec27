// Float GEMM/GEMV: packed layout, and every tier bit-identical to the k-ordered scalar reference.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "kernel_tier_loop.h"
#include "kernels/gemm_f32.h"
#include "test_support.h"

namespace trevalon {
namespace {

using testing::random_floats;

constexpr int kGuard = 16;
constexpr float kSentinel = -12345.5f;

struct PackedF32 {
  float* p;
  explicit PackedF32(float* q) : p(q) {}
  ~PackedF32() { free_packed_f32(p); }
};

TEST(GemmF32Pack, PanelLayoutWithZeroRows) {
  const int N = 5, K = 6;
  std::vector<float> w(N * K);
  for (int i = 0; i < N * K; ++i) w[i] = float(i + 1);
  EXPECT_EQ(packed_weights_f32_floats(N, K), size_t(2 * K * 4));
  PackedF32 packed(pack_weights_f32(w.data(), N, K));
  for (int n = 0; n < 8; ++n)
    for (int k = 0; k < K; ++k) {
      const float expected = n < N ? w[n * K + k] : 0.0f;
      EXPECT_EQ(packed.p[(n / 4) * 4 * K + 4 * k + n % 4], expected) << "n=" << n << " k=" << k;
    }
  EXPECT_EQ(packed_weights_f32_floats(0, 3), 0u);
  EXPECT_EQ(packed_weights_f32_floats(3, 0), 0u);
}

// K = 6 exercises the 4-step and the tail; the result must equal the fused sum in k order.
TEST(GemmF32, SmallCaseIsFusedSumInKOrder) {
  const int M = 1, K = 6, N = 5;
  std::mt19937 rng(7);
  auto A = random_floats(M * K, rng), W = random_floats(N * K, rng), bias = random_floats(N, rng);
  PackedF32 packed(pack_weights_f32(W.data(), N, K));
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
    std::vector<float> out(N + kGuard, kSentinel);
    t.gemm_f32(A.data(), packed.p, bias.data(), out.data(), false, M, K, N);
    for (int n = 0; n < N; ++n) {
      float acc = 0.0f;
      for (int k = 0; k < K; ++k) acc = std::fma(A[k], W[n * K + k], acc);
      EXPECT_EQ(out[n], acc + bias[n]) << "n=" << n;
    }
    for (int g = N; g < N + kGuard; ++g) EXPECT_EQ(out[g], kSentinel) << "overrun at " << g;
  });
}

TEST(GemmF32, EveryTierMatchesReferenceBitForBit) {
  const int sizes_m[] = {1, 2, 3, 7, 8, 9, 12, 15, 16, 17, 28, 31, 33, 49, 70};
  const int sizes_n[] = {1, 3, 4, 5, 8, 9, 15, 16, 17, 24, 25, 33, 64, 70};
  const int sizes_k[] = {1, 3, 4, 6, 9, 16, 17, 33, 70};
  std::mt19937 rng(42);
  int case_index = 0;
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
    for (int M : sizes_m)
      for (int N : sizes_n)
        for (int K : sizes_k) {
          // Sample the grid; every size still meets every other size's neighbours.
          if ((++case_index % 3) != 0 && M > 3 && N > 5) continue;
          auto A = random_floats(size_t(M) * K, rng), W = random_floats(size_t(N) * K, rng);
          auto bias = random_floats(N, rng);
          PackedF32 packed(pack_weights_f32(W.data(), N, K));
          for (int variant = 0; variant < 3; ++variant) {
            const bool with_bias = variant != 1, relu = variant != 0;
            const float* b = with_bias ? bias.data() : nullptr;
            std::vector<float> expected(size_t(M) * N), out(size_t(M) * N + kGuard, kSentinel);
            gemm_f32_reference(A.data(), W.data(), b, expected.data(), relu, M, K, N);
            t.gemm_f32(A.data(), packed.p, b, out.data(), relu, M, K, N);
            ASSERT_EQ(std::memcmp(out.data(), expected.data(), expected.size() * sizeof(float)), 0)
                << "M=" << M << " N=" << N << " K=" << K << " bias=" << with_bias << " relu=" << relu;
            for (int g = 0; g < kGuard; ++g)
              ASSERT_EQ(out[size_t(M) * N + g], kSentinel) << "overrun M=" << M << " N=" << N;
          }
        }
  });
}

// Shapes large enough for the blocked paths: tall products over several channel blocks (and rows
// of A beyond L2, in passes) with row and channel tails, short products whose prepared rows
// outgrow L2 (one 16-row tile at a time), and every row tail (4-row lane groups of 1 to 3, a
// 13-row tile, a lone last row).
TEST(GemmF32, BlockedShapesMatchReferenceBitForBit) {
  const int shapes[][3] = {{70, 2048, 100}, {200, 300, 37}, {49, 4608, 9}, {60, 512, 30},   {57, 64, 24},
                           {45, 64, 26},    {28, 40, 7},    {166, 33, 1},  {170, 600, 230}, {400, 1000, 140}};
  std::mt19937 rng(17);
  for (const auto& s : shapes) {
    const int M = s[0], K = s[1], N = s[2];
    auto A = random_floats(size_t(M) * K, rng), W = random_floats(size_t(N) * K, rng);
    auto bias = random_floats(N, rng);
    PackedF32 packed(pack_weights_f32(W.data(), N, K));
    std::vector<float> expected(size_t(M) * N);
    gemm_f32_reference(A.data(), W.data(), bias.data(), expected.data(), true, M, K, N);
    testing::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
      std::vector<float> out(size_t(M) * N + kGuard, kSentinel);
      t.gemm_f32(A.data(), packed.p, bias.data(), out.data(), true, M, K, N);
      ASSERT_EQ(std::memcmp(out.data(), expected.data(), expected.size() * sizeof(float)), 0)
          << "M=" << M << " K=" << K << " N=" << N;
      for (int g = 0; g < kGuard; ++g)
        ASSERT_EQ(out[size_t(M) * N + g], kSentinel) << "overrun M=" << M << " N=" << N;
    });
  }
}

TEST(GemmF32, ZeroRowsOrChannelsWriteNothing) {
  std::vector<float> A(16, 1.0f), W(16, 1.0f);
  PackedF32 packed(pack_weights_f32(W.data(), 4, 4));
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
    std::vector<float> out(8, kSentinel);
    t.gemm_f32(A.data(), packed.p, nullptr, out.data(), false, 0, 4, 4);
    t.gemm_f32(A.data(), packed.p, nullptr, out.data(), false, 2, 4, 0);
    for (float v : out) EXPECT_EQ(v, kSentinel);
  });
}

TEST(GemvF32, PackedAndUnpackedMatchReference) {
  std::mt19937 rng(3);
  const int shapes[][2] = {{1, 1}, {6, 5}, {17, 9}, {64, 33}, {100, 70}, {2048, 37}};
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
    for (const auto& s : shapes) {
      const int K = s[0], N = s[1];
      auto x = random_floats(K, rng), W = random_floats(size_t(N) * K, rng);
      auto bias = random_floats(N, rng);
      PackedF32 packed(pack_weights_f32(W.data(), N, K));
      for (const float* b : {static_cast<const float*>(bias.data()), static_cast<const float*>(nullptr)}) {
        std::vector<float> expected(N);
        gemm_f32_reference(x.data(), W.data(), b, expected.data(), false, 1, K, N);
        for (const float* p : {static_cast<const float*>(packed.p), static_cast<const float*>(nullptr)}) {
          std::vector<float> out(N + kGuard, kSentinel);
          t.gemv_f32(x.data(), W.data(), b, out.data(), K, N, p, nullptr);
          ASSERT_EQ(std::memcmp(out.data(), expected.data(), N * sizeof(float)), 0)
              << "K=" << K << " N=" << N << " packed=" << (p != nullptr) << " bias=" << (b != nullptr);
          for (int g = N; g < N + kGuard; ++g) ASSERT_EQ(out[g], kSentinel) << "overrun K=" << K;
        }
      }
    }
  });
}

}  // namespace
}  // namespace trevalon
