// Pooling kernels and layers: max pooling over clipped windows (float and int8), global average
// pooling (float in row order, int8 with single-rounding Q31 scaling), on every tier.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "backend/cpu_backend.h"
#include "kernel_tier_loop.h"
#include "small_layer_harness.h"
#include "thread_counts.h"

using namespace trevalon;
namespace test = trevalon::testing;  // "testing" alone would also name the GoogleTest namespace

namespace {

struct PoolCase {
  int C, H, W, kH, kW, sh, sw, ph, pw;
};

std::string describe(const PoolCase& p) {
  return "C" + std::to_string(p.C) + " " + std::to_string(p.H) + "x" + std::to_string(p.W) + " k" +
         std::to_string(p.kH) + "x" + std::to_string(p.kW) + " s" + std::to_string(p.sh) + "," +
         std::to_string(p.sw) + " p" + std::to_string(p.ph) + "," + std::to_string(p.pw);
}

// Naive max pool: every window position, checked one by one against the input bounds.
template <class T>
std::vector<T> ref_maxpool(const std::vector<T>& in, const PoolCase& p, T lowest, int& oh, int& ow) {
  oh = (p.H + 2 * p.ph - p.kH) / p.sh + 1;
  ow = (p.W + 2 * p.pw - p.kW) / p.sw + 1;
  std::vector<T> out(size_t(oh) * ow * p.C, lowest);
  for (int oy = 0; oy < oh; ++oy)
    for (int ox = 0; ox < ow; ++ox)
      for (int ky = 0; ky < p.kH; ++ky)
        for (int kx = 0; kx < p.kW; ++kx) {
          const int y = oy * p.sh - p.ph + ky, x = ox * p.sw - p.pw + kx;
          if (y < 0 || y >= p.H || x < 0 || x >= p.W) continue;
          for (int c = 0; c < p.C; ++c) {
            T& o = out[(size_t(oy) * ow + ox) * p.C + c];
            o = std::max(o, in[(size_t(y) * p.W + x) * p.C + c]);
          }
        }
  return out;
}

const PoolCase kPoolCases[] = {
    {1, 4, 4, 3, 3, 2, 2, 0, 0},
    {3, 7, 9, 3, 3, 2, 2, 1, 1},
    {8, 5, 5, 2, 2, 2, 2, 0, 0},
    {17, 6, 4, 3, 2, 1, 2, 1, 0},
    {33, 9, 9, 3, 3, 2, 2, 1, 1},
    {70, 4, 5, 1, 1, 1, 1, 0, 0},
    {65, 3, 3, 3, 3, 1, 1, 2, 2},
    {16, 2, 2, 3, 3, 2, 2, 0, 0},
    {5, 8, 3, 5, 1, 3, 1, 2, 0},
    {2, 1, 1, 1, 1, 1, 1, 1, 1},
    // No rows or no columns: the positions padding gives, every window empty.
    {3, 0, 5, 3, 3, 1, 1, 2, 1},
    {20, 4, 0, 3, 3, 2, 2, 1, 1},
    {70, 0, 0, 2, 2, 1, 1, 1, 1},
};

template <class T>
void check_maxpool(T lowest) {
  for (const PoolCase& p : kPoolCases) {
    std::mt19937 rng(uint32_t(p.C * 31 + p.H));
    std::vector<T> in(size_t(p.C) * p.H * p.W);
    for (T& v : in) v = static_cast<T>(std::uniform_int_distribution<int>(-128, 127)(rng));
    int oh, ow;
    const std::vector<T> want = ref_maxpool(in, p, lowest, oh, ow);
    test::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
      std::vector<T> out(want.size() + 8, T(77));
      if constexpr (sizeof(T) == 1) {
        t.maxpool_i8(in.data(), out.data(), p.C, p.H, p.W, p.kH, p.kW, p.sh, p.sw, p.ph, p.pw, nullptr);
        std::vector<T> direct(want.size() + 8, T(77));
        t.maxpool_i8_direct(in.data(), direct.data(), p.C, p.H, p.W, p.kH, p.kW, p.sh, p.sw, p.ph, p.pw,
                            nullptr);
        EXPECT_EQ(direct, out) << describe(p);
      } else {
        t.maxpool_f32(in.data(), out.data(), p.C, p.H, p.W, p.kH, p.kW, p.sh, p.sw, p.ph, p.pw, nullptr);
      }
      for (size_t i = 0; i < want.size(); ++i) ASSERT_EQ(out[i], want[i]) << describe(p) << " i=" << i;
      for (size_t k = 0; k < 8; ++k) EXPECT_EQ(out[want.size() + k], T(77)) << "overrun " << describe(p);
    });
  }
}

}  // namespace

TEST(MaxPoolKernels, FloatMatchesTheNaiveWindowWalk) {
  check_maxpool<float>(-std::numeric_limits<float>::infinity());
}

TEST(MaxPoolKernels, Int8MatchesTheNaiveWindowWalk) { check_maxpool<int8_t>(int8_t(-128)); }

// A 1x1 input padded by 1 on each side with a 1x1 window: the eight border outputs see only padding.
TEST(MaxPoolKernels, WindowWhollyInPaddingGivesTheLowestValue) {
  const std::vector<float> in = {5.0f, -7.0f};
  const std::vector<int8_t> qin = {5, -7};
  test::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
    std::vector<float> out(18);
    std::vector<int8_t> qout(18);
    t.maxpool_f32(in.data(), out.data(), 2, 1, 1, 1, 1, 1, 1, 1, 1, nullptr);
    t.maxpool_i8(qin.data(), qout.data(), 2, 1, 1, 1, 1, 1, 1, 1, 1, nullptr);
    for (int pos = 0; pos < 9; ++pos)
      for (int c = 0; c < 2; ++c) {
        const bool centre = pos == 4;
        EXPECT_EQ(out[size_t(pos * 2 + c)], centre ? in[c] : -std::numeric_limits<float>::infinity());
        EXPECT_EQ(qout[size_t(pos * 2 + c)], centre ? qin[c] : int8_t(-128));
      }
  });
}

// Split over threads (output rows of a max pool, channels of a global pool), every tier gives the
// bytes of one thread: ragged row ranges, fewer rows or channels than threads, vector tails.
TEST(PoolKernels, ThreadsGiveTheOneThreadBytes) {
  std::mt19937 rng(17);
  const std::vector<float> in_f = [&] {
    std::vector<float> v(size_t(150) * 9 * 11);
    for (float& x : v) x = std::uniform_real_distribution<float>(-10, 10)(rng);
    return v;
  }();
  std::vector<int8_t> in_i8(in_f.size());
  for (size_t i = 0; i < in_f.size(); ++i) in_i8[i] = int8_t(std::lrint(in_f[i] * 12.7f));
  const PoolCase max_cases[] = {
      {150, 9, 11, 3, 3, 2, 2, 1, 1}, {33, 9, 9, 3, 3, 1, 1, 1, 1}, {17, 2, 11, 3, 2, 1, 2, 1, 0}};
  test::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
    for (const PoolCase& p : max_cases) {
      const size_t outputs =
          size_t((p.H + 2 * p.ph - p.kH) / p.sh + 1) * size_t((p.W + 2 * p.pw - p.kW) / p.sw + 1) * p.C;
      test::expect_same_bytes_at_thread_counts(
          [&] {
            std::vector<float> out(outputs);
            t.maxpool_f32(in_f.data(), out.data(), p.C, p.H, p.W, p.kH, p.kW, p.sh, p.sw, p.ph, p.pw,
                          nullptr);
            return out;
          },
          "float max pool");
      test::expect_same_bytes_at_thread_counts(
          [&] {
            std::vector<int8_t> out(outputs);
            t.maxpool_i8(in_i8.data(), out.data(), p.C, p.H, p.W, p.kH, p.kW, p.sh, p.sw, p.ph, p.pw,
                         nullptr);
            return out;
          },
          "int8 max pool");
    }
    for (int C : {1, 7, 33, 150}) {
      test::expect_same_bytes_at_thread_counts(
          [&] {
            std::vector<float> out(static_cast<size_t>(C));
            t.avgpool_f32(in_f.data(), out.data(), C, 9, 11, nullptr);
            return out;
          },
          "float global average pool");
      test::expect_same_bytes_at_thread_counts(
          [&] {
            std::vector<int8_t> out(static_cast<size_t>(C));
            t.avgpool_i8(in_i8.data(), -3, 4, out.data(), C, 9, 11, 0.05f, 0.02f, nullptr);
            return out;
          },
          "int8 global average pool");
    }
  });
}

TEST(AvgPoolKernels, FloatSumsInRowOrderTimesTheReciprocal) {
  for (int C : {1, 7, 8, 16, 33}) {
    for (auto [H, W] : {std::pair{7, 7}, std::pair{1, 1}, std::pair{3, 5}}) {
      std::mt19937 rng(uint32_t(C + H * 100));
      std::uniform_real_distribution<float> dist(-10, 10);
      std::vector<float> in(size_t(C) * H * W);
      for (float& v : in) v = dist(rng);
      std::vector<float> want(static_cast<size_t>(C));
      const float inv = 1.0f / float(H * W);
      for (int c = 0; c < C; ++c) {
        float sum = 0.0f;
        for (int p = 0; p < H * W; ++p) sum += in[size_t(p) * C + c];
        want[c] = sum * inv;
      }
      test::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
        std::vector<float> out(size_t(C) + 4, 99.0f);
        t.avgpool_f32(in.data(), out.data(), C, H, W, nullptr);
        for (int c = 0; c < C; ++c) ASSERT_EQ(out[c], want[c]) << "C=" << C << " c=" << c;
        for (int k = 0; k < 4; ++k) EXPECT_EQ(out[size_t(C) + k], 99.0f);
      });
    }
  }
  test::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {  // an empty image averages to 0
    std::vector<float> out(3, 99.0f);
    t.avgpool_f32(nullptr, out.data(), 3, 0, 5, nullptr);
    EXPECT_EQ(out, std::vector<float>(3, 0.0f));
  });
}

TEST(AvgPoolKernels, Int8UsesSingleRoundingQ31Scaling) {
  struct Q {
    float in_scale, out_scale;
    int in_zp, out_zp;
  };
  for (const Q& q :
       {Q{0.05f, 0.05f, 0, 0}, Q{0.1f, 0.03f, -128, 5}, Q{0.02f, 0.1f, 17, -20}, Q{1.0f, 1.0f, 127, 127}}) {
    for (int C : {1, 9, 64, 70, 150}) {
      const int H = 7, W = 5;
      std::mt19937 rng(static_cast<uint32_t>(C));
      std::vector<int8_t> in(static_cast<size_t>(C) * H * W);
      for (int8_t& v : in) v = int8_t(std::uniform_int_distribution<int>(-128, 127)(rng));
      // Reference: multiplier by frexp, 64-bit products, explicit rounding shift.
      const float r = q.in_scale / (float(H * W) * q.out_scale);
      int e = 0;
      const double f = std::frexp(double(r), &e);
      long long m = std::llround(f * 2147483648.0);
      if (m == 2147483648LL) m = 1LL << 30, ++e;
      std::vector<int8_t> want(static_cast<size_t>(C));
      for (int c = 0; c < C; ++c) {
        int64_t s = 0;
        for (int p = 0; p < H * W; ++p) s += in[size_t(p) * C + c] - q.in_zp;
        const int64_t v = q.out_zp + ((s * m + (int64_t(1) << (30 - e))) >> (31 - e));
        want[c] = int8_t(std::clamp<int64_t>(v, -128, 127));
      }
      test::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
        std::vector<int8_t> out(size_t(C) + 4, int8_t(77)), alt(size_t(C) + 4, int8_t(77));
        t.avgpool_i8(in.data(), q.in_zp, q.out_zp, out.data(), C, H, W, q.in_scale, q.out_scale, nullptr);
        t.avgpool_i8_to_i8(in.data(), q.in_zp, q.out_zp, alt.data(), C, H, W, q.in_scale, q.out_scale);
        for (int c = 0; c < C; ++c) ASSERT_EQ(out[c], want[c]) << "C=" << C << " c=" << c;
        EXPECT_EQ(alt, out);
        for (int k = 0; k < 4; ++k) EXPECT_EQ(out[size_t(C) + k], int8_t(77));
      });
    }
  }
}

TEST(PoolingLayers, MaxPoolShapesAndParameterChecks) {
  // 3x3 stride 2 on 4x4 without padding: a single output, the maximum of the top-left 3x3.
  auto pool = test::make_layer("maxpool_fp32", "{}");
  ASSERT_TRUE(pool);
  EXPECT_FALSE(pool->output_is_int8());
  std::vector<float> in(16);
  for (int i = 0; i < 16; ++i) in[i] = float(i);  // the top-left 3x3 ends at row 2, column 2: 10
  const auto run = test::run_layer<float>(*pool, {&in}, {{1, 4, 4}});
  EXPECT_EQ(run.shape, (TensorShape{1, 1, 1}));
  EXPECT_EQ(run.out[0], 10.0f);

  auto qpool = test::make_layer("maxpool", R"({"kH": 2, "kW": 2, "stride_h": 1, "stride_w": 1, "in_zp": 4})");
  EXPECT_TRUE(qpool->output_is_int8());
  EXPECT_EQ(qpool->output_shape({8, 5, 3}), (TensorShape{8, 4, 2}));
  EXPECT_EQ(pool->output_shape({3, 2, 2}), (TensorShape{3, 1, 1}));  // (2 - 3) / 2 truncates to 0

  auto big = test::make_layer("maxpool_fp32", R"({"kH": 7, "kW": 7})", {}, "mp");
  std::vector<float> small(4, 1.0f);
  EXPECT_EQ(test::error_of([&] {
              test::run_layer<float>(*big, {&small}, {{1, 2, 2}});
            }),
            "node 'mp': pooling window larger than the padded input (2x2)");
  EXPECT_EQ(test::error_of([] { test::make_layer("maxpool_int8", R"({"stride_w": 0})", {}, "mp"); }),
            "node 'mp': pooling window and strides must be positive");
}

// Layers on images of zero rows or columns: the output positions padding gives are written as the
// lowest value; when padding gives none, the output is empty.
TEST(PoolingLayers, MaxPoolOnAnEmptyImageWritesThePaddedPositions) {
  auto pool = test::make_layer("maxpool_fp32",
                               R"({"kH": 3, "kW": 3, "stride_h": 1, "stride_w": 2, "pad_h": 2, "pad_w": 1})");
  std::vector<float> none;
  const auto run = test::run_layer<float>(*pool, {&none}, {{4, 0, 5}});
  EXPECT_EQ(run.shape, (TensorShape{4, 2, 3}));
  EXPECT_EQ(run.out, std::vector<float>(24, -std::numeric_limits<float>::infinity()));

  auto qpool = test::make_layer("maxpool_int8", R"({"kH": 3, "kW": 3, "pad_h": 1, "pad_w": 1})");
  std::vector<int8_t> qnone;
  const auto qrun = test::run_layer<int8_t>(*qpool, {&qnone}, {{6, 3, 0}});
  EXPECT_EQ(qrun.shape, (TensorShape{6, 2, 1}));
  EXPECT_EQ(qrun.out, std::vector<int8_t>(12, int8_t(-128)));

  auto unpadded = test::make_layer("maxpool_fp32", R"({"kH": 3, "kW": 3, "stride_h": 1, "stride_w": 1})");
  EXPECT_EQ(test::run_layer<float>(*unpadded, {&none}, {{4, 0, 5}}).shape, (TensorShape{4, 0, 3}));
}

TEST(PoolingLayers, GlobalAveragePools) {
  auto pool = test::make_layer("avgpool_fp32", "{}");
  std::vector<float> in = {1, 10, 3, 20, 5, 30, 7, 40};  // 4 positions of 2 channels
  const auto run = test::run_layer<float>(*pool, {&in}, {{2, 2, 2}});
  EXPECT_EQ(run.shape, (TensorShape{2, 1, 1}));
  EXPECT_EQ(run.out, (std::vector<float>{4, 25}));

  auto qpool =
      test::make_layer("avgpool", R"({"in_scale": 0.5, "out_scale": 0.25, "in_zp": 1, "out_zp": -3})");
  EXPECT_TRUE(qpool->output_is_int8());
  std::vector<int8_t> q = {3, 10, 5, 20, 7, 30, 9, -40};
  const auto qrun = test::run_layer<int8_t>(*qpool, {&q}, {{2, 2, 2}});
  // Scale 0.5 / (4 x 0.25) = 0.5. Channel 0: sum(x - 1) = 20 -> 10, plus -3. Channel 1: 16 -> 8 - 3.
  EXPECT_EQ(qrun.out, (std::vector<int8_t>{7, 5}));
}
