// Element-wise kernels and layers: float and int8 add (with the split between the group formulas
// and the single-rounding tail), scale, snake, nearest and bilinear upsampling, on every tier.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "backend/cpu_backend.h"
#include "kernel_tier_loop.h"
#include "kernels/elementwise_f32.h"
#include "small_layer_harness.h"
#include "thread_counts.h"

using namespace trevalon;
namespace test = trevalon::testing;  // "testing" alone would also name the GoogleTest namespace

namespace {

uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

template <class T>
std::vector<T> random_values(size_t n, double lo, double hi, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<T> v(n);
  if constexpr (std::is_floating_point_v<T>) {
    std::uniform_real_distribution<T> dist(static_cast<T>(lo), static_cast<T>(hi));
    for (T& x : v) x = dist(rng);
  } else {
    std::uniform_int_distribution<int> dist(static_cast<int>(lo), static_cast<int>(hi));
    for (T& x : v) x = static_cast<T>(dist(rng));
  }
  return v;
}

// ---- int8 add reference, written from the formulas in 64-bit integers ----

struct Q31 {
  int64_t m;
  int e;
};

Q31 to_q31(float r) {
  if (r == 0.0f || !std::isfinite(r)) return {0, 0};
  int e = 0;
  const double f = std::frexp(double(r), &e);
  const long long q = std::llround(f * 2147483648.0);
  if (q == 2147483648LL) return {1LL << 30, e + 1};
  return {q, e};
}

int clamp8(int64_t v) { return v < -128 ? -128 : (v > 127 ? 127 : int(v)); }

int64_t floor_shift(int64_t v, int s) { return v >> s; }  // arithmetic: floor division by 2^s

struct AddParams {
  float s1, s2, so;
  int zp1, zp2, zpo;
};

int ref_q12(const AddParams& p, int a, int b) {
  const int64_t u = std::llround(double(p.s1 / p.so) * 4096.0);
  const int64_t v = std::llround(double(p.s2 / p.so) * 4096.0);
  const int64_t j = int64_t(p.zpo) * 4096 - p.zp1 * u - p.zp2 * v;
  return clamp8(floor_shift(j + u * a + v * b + 2048, 12));
}

int64_t ref_high_mul_term(int64_t d, Q31 q) {
  int64_t t = floor_shift(d * q.m + (int64_t(1) << 30), 31);  // rounding doubling high multiply
  if (q.e >= 0) return t << q.e;
  return floor_shift(t + (int64_t(1) << (-q.e - 1)), -q.e);
}

int ref_high_mul(const AddParams& p, int a, int b) {
  return clamp8(p.zpo + ref_high_mul_term(a - p.zp1, to_q31(p.s1 / p.so)) +
                ref_high_mul_term(b - p.zp2, to_q31(p.s2 / p.so)));
}

int64_t ref_single_term(int64_t d, Q31 q) {
  return floor_shift(d * q.m + (int64_t(1) << (30 - q.e)), 31 - q.e);
}

int ref_single(const AddParams& p, int a, int b) {
  return clamp8(p.zpo + ref_single_term(a - p.zp1, to_q31(p.s1 / p.so)) +
                ref_single_term(b - p.zp2, to_q31(p.s2 / p.so)));
}

bool small_ratios(const AddParams& p) {
  return std::fabs(p.s1 / p.so) <= 7.99f && std::fabs(p.s2 / p.so) <= 7.99f;
}

std::vector<int8_t> run_add_i8(const KernelTable& t, const AddParams& p, const std::vector<int8_t>& a,
                               const std::vector<int8_t>& b, int count) {
  std::vector<int8_t> out(size_t(count) + 8, int8_t(0x5a));
  t.add_i8(a.data(), b.data(), p.zp1, p.zp2, p.zpo, out.data(), count, p.s1, p.s2, p.so, nullptr);
  for (int k = 0; k < 8; ++k) EXPECT_EQ(out[size_t(count) + k], int8_t(0x5a)) << "overrun, count " << count;
  out.resize(size_t(count));
  return out;
}

// First (a, b) whose two formulas give different results.
template <class F, class G>
std::pair<int, int> find_disagreement(F f, G g) {
  for (int a = -128; a < 128; ++a)
    for (int b = -128; b < 128; b += 3)
      if (f(a, b) != g(a, b)) return {a, b};
  return {0, 0};
}

}  // namespace

TEST(AddI8Kernel, CompleteGroupsAndTailMatchTheirFormulas) {
  const AddParams sets[] = {
      {0.37f, 0.61f, 1.0f, 0, 0, 0},        {0.02f, 0.03f, 0.05f, -128, 127, 3},
      {0.5f, -0.25f, 0.75f, 10, -7, -128},  {7.9f, 0.001f, 1.0f, 1, 2, 3},
      {10.0f, 1.0f, 1.0f, 0, 0, 0},         {0.9f, 33.0f, 4.0f, -5, 100, 20},
      {-12.0f, 0.3f, 1.0f, 127, -128, 0},   {1.0f, 1.0f, 1.0f, 0, 0, 0},
      {7.98f, -7.98f, 1.0f, -128, 127, -3},  // Q12 weights at the edge of 16 bits
  };
  const std::vector<int8_t> a = random_values<int8_t>(300, -128, 127, 1);
  const std::vector<int8_t> b = random_values<int8_t>(300, -128, 127, 2);
  for (const AddParams& p : sets) {
    const bool small = small_ratios(p);
    const int group = small ? 16 : 8;
    test::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
      for (int count : {0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 47, 64, 100, 300}) {
        const std::vector<int8_t> out = run_add_i8(t, p, a, b, count);
        const int grouped = count - count % group;
        for (int i = 0; i < count; ++i) {
          const int want = i >= grouped ? ref_single(p, a[i], b[i])
                                        : (small ? ref_q12(p, a[i], b[i]) : ref_high_mul(p, a[i], b[i]));
          ASSERT_EQ(out[i], want) << "i=" << i << " count=" << count << " scales " << p.s1 << " " << p.s2
                                  << " " << p.so << " zps " << p.zp1 << " " << p.zp2 << " " << p.zpo;
        }
      }
    });
  }
}

// Split over threads, each element keeps the formula its place gives it: ranges start on whole
// groups of 16, the tail stays single-rounding.
TEST(AddI8Kernel, ThreadsKeepEveryElementsFormula) {
  const AddParams sets[] = {{0.37f, 0.61f, 1.0f, 0, 0, 0}, {10.0f, 1.0f, 1.0f, 0, 0, 0}};
  const std::vector<int8_t> a = random_values<int8_t>(300, -128, 127, 3);
  const std::vector<int8_t> b = random_values<int8_t>(300, -128, 127, 4);
  for (const AddParams& p : sets)
    test::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
      for (int count : {9, 17, 40, 100, 300})
        test::expect_same_bytes_at_thread_counts([&] { return run_add_i8(t, p, a, b, count); },
                                                 small_ratios(p) ? "add, Q12 groups" : "add, high multiply");
    });
}

// 17 elements with small ratios: 16 by Q12, the 17th by the single-rounding formula; ratio 10 with
// 9 elements: 8 by the high multiply, the 9th single-rounding. A pair on which the formulas
// disagree, placed first and last, shows which one ran.
TEST(AddI8Kernel, SplitPointsBetweenGroupAndTailFormulas) {
  struct Split {
    AddParams p;
    int count;
    int (*group_formula)(const AddParams&, int, int);
  };
  const Split splits[] = {{{0.37f, 0.61f, 1.0f, 0, 0, 0}, 17, ref_q12},
                          {{10.0f, 1.0f, 1.0f, 0, 0, 0}, 9, ref_high_mul}};
  for (const Split& s : splits) {
    const auto [x, y] = find_disagreement([&](int a, int b) { return s.group_formula(s.p, a, b); },
                                          [&](int a, int b) { return ref_single(s.p, a, b); });
    ASSERT_NE(s.group_formula(s.p, x, y), ref_single(s.p, x, y));
    const std::vector<int8_t> a(size_t(s.count), int8_t(x)), b(size_t(s.count), int8_t(y));
    test::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
      const std::vector<int8_t> out = run_add_i8(t, s.p, a, b, s.count);
      for (int i = 0; i + 1 < s.count; ++i) EXPECT_EQ(out[i], s.group_formula(s.p, x, y)) << "element " << i;
      EXPECT_EQ(out[s.count - 1], ref_single(s.p, x, y));
    });
  }
}

TEST(AddF32Kernel, SumsWithOptionalRelu) {
  const std::vector<float> a = random_values<float>(70, -5, 5, 3), b = random_values<float>(70, -5, 5, 4);
  test::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
    for (int count : {0, 1, 3, 8, 15, 16, 17, 33, 70})
      for (bool relu : {false, true}) {
        std::vector<float> out(size_t(count) + 4, 99.0f);
        t.add_f32(a.data(), b.data(), out.data(), count, relu, nullptr);
        for (int i = 0; i < count; ++i) {
          const float sum = a[i] + b[i];
          EXPECT_EQ(out[i], relu && sum < 0 ? 0.0f : sum);
        }
        for (int k = 0; k < 4; ++k) EXPECT_EQ(out[size_t(count) + k], 99.0f);
      }
    std::vector<float> scaled(20, 99.0f);
    t.scale_f32(a.data(), scaled.data(), 19, -1.5f);
    for (int i = 0; i < 19; ++i) EXPECT_EQ(scaled[i], a[i] * -1.5f);
    EXPECT_EQ(scaled[19], 99.0f);
  });
}

TEST(ElemwiseMulKernel, ProductsOnEveryTierWithoutOverrun) {
  const std::vector<float> a = random_values<float>(70, -5, 5, 7), b = random_values<float>(70, -5, 5, 8);
  test::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
    for (int count : {0, 1, 7, 8, 9, 16, 17, 70}) {
      std::vector<float> out(size_t(count) + 4, 99.0f);
      t.elemwise_mul_f32(a.data(), b.data(), out.data(), count);
      for (int i = 0; i < count; ++i) EXPECT_EQ(out[i], a[i] * b[i]);
      for (int k = 0; k < 4; ++k) EXPECT_EQ(out[size_t(count) + k], 99.0f);
    }
  });
}

TEST(SnakeKernel, PolynomialSineForGroupsOfFourChannelsAndSinfForTheRest) {
  const int positions = 3;
  for (int C : {1, 3, 4, 5, 8, 13, 16, 19, 37}) {
    const std::vector<float> x = random_values<float>(size_t(positions * C), -4, 4, uint32_t(C));
    const std::vector<float> alpha = random_values<float>(size_t(C), 0.1, 3, uint32_t(C + 100));
    std::vector<float> inv(static_cast<size_t>(C));
    for (int c = 0; c < C; ++c) inv[c] = 1.0f / (alpha[c] + 1e-9f);
    std::vector<float> want(x.size());
    snake_f32_portable(x.data(), want.data(), alpha.data(), inv.data(), positions, C, nullptr);
    for (int p = 0; p < positions; ++p)
      for (int c = 0; c < C; ++c) {
        const float xv = x[size_t(p * C + c)];
        const double s = std::sin(double(alpha[c]) * xv);
        EXPECT_NEAR(want[size_t(p * C + c)], xv + s * s / alpha[c], 2e-5 * (1 + 1 / alpha[c])) << C;
        if (c >= (C & ~3)) {  // the channels past the last group of four use sinf, bit for bit
          const float sf = sinf(alpha[c] * xv);
          EXPECT_EQ(bits(want[size_t(p * C + c)]), bits(fmaf(sf * sf, inv[c], xv)))
              << "C=" << C << " c=" << c;
        }
      }
    test::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
      std::vector<float> out(x.size() + 4, 99.0f);
      t.snake_f32(x.data(), out.data(), alpha.data(), inv.data(), positions, C, nullptr);
      for (size_t i = 0; i < x.size(); ++i) ASSERT_EQ(bits(out[i]), bits(want[i])) << "C=" << C << " i=" << i;
      for (int k = 0; k < 4; ++k) EXPECT_EQ(out[x.size() + k], 99.0f);
      // Without the table the kernel divides; without alpha it copies.
      t.snake_f32(x.data(), out.data(), alpha.data(), nullptr, positions, C, nullptr);
      for (size_t i = 0; i < x.size(); ++i) EXPECT_NEAR(out[i], want[i], 1e-5 * (1 + std::fabs(want[i])));
      t.snake_f32(x.data(), out.data(), nullptr, nullptr, positions, C, nullptr);
      for (size_t i = 0; i < x.size(); ++i) EXPECT_EQ(out[i], x[i]);
    });
  }
}

TEST(UpsampleKernels, NearestRepeatsEachRow) {
  const std::vector<float> in = {1, 2, 3, 4, 5, 6};  // 3 rows of 2
  test::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
    std::vector<float> out(19, 0.0f);
    t.upsample_nearest1d_f32(in.data(), out.data(), 3, 2, 3, nullptr);
    const std::vector<float> want = {1, 2, 1, 2, 1, 2, 3, 4, 3, 4, 3, 4, 5, 6, 5, 6, 5, 6, 0};
    EXPECT_EQ(out, want);
  });
}

// 2x of a 2x2 image: output row 0 samples s = -0.25, i.e. input row 0 only; row 1 s = 0.25.
TEST(UpsampleKernels, BilinearTwiceOfTwoByTwo) {
  const std::vector<float> in = {0, 4, 8, 12};  // rows {0, 4} and {8, 12}, one channel
  const std::vector<float> want = {0, 1, 3, 4, 2, 3, 5, 6, 6, 7, 9, 10, 8, 9, 11, 12};
  test::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
    std::vector<float> out(17, 99.0f);
    t.upsample_bilinear_f32(in.data(), out.data(), 1, 2, 2, 4, 4, nullptr);
    EXPECT_EQ(std::vector<float>(out.begin(), out.begin() + 16), want);
    EXPECT_EQ(out[16], 99.0f);
  });
}

TEST(UpsampleKernels, BilinearTiersAgreeAndFollowTheHalfPixelRule) {
  struct Shape {
    int C, H, W, oh, ow;
  };
  for (const Shape& s : {Shape{1, 3, 5, 7, 2}, Shape{3, 4, 4, 8, 8}, Shape{17, 5, 3, 9, 11},
                         Shape{33, 2, 7, 3, 14}, Shape{8, 1, 1, 3, 3}}) {
    const std::vector<float> in = random_values<float>(size_t(s.C * s.H * s.W), -3, 3, uint32_t(s.C));
    const size_t n = size_t(s.C) * s.oh * s.ow;
    std::vector<float> want(n);
    upsample_bilinear_f32_portable(in.data(), want.data(), s.C, s.H, s.W, s.oh, s.ow, nullptr);
    auto coord = [](int i, int size, int out_size, int& lo, int& hi) {
      const double pos = (i + 0.5) * size / out_size - 0.5;
      const double base = std::floor(pos);
      lo = std::clamp(int(base), 0, size - 1);
      hi = std::clamp(int(base) + 1, 0, size - 1);
      return pos - base;
    };
    for (int y = 0; y < s.oh; ++y)
      for (int x = 0; x < s.ow; ++x) {
        int y0, y1, x0, x1;
        const double f = coord(y, s.H, s.oh, y0, y1), g = coord(x, s.W, s.ow, x0, x1);
        for (int c = 0; c < s.C; ++c) {
          auto at = [&](int yy, int xx) { return double(in[(size_t(yy) * s.W + xx) * s.C + c]); };
          const double v = at(y0, x0) * (1 - g) * (1 - f) + at(y0, x1) * g * (1 - f) +
                           at(y1, x0) * (1 - g) * f + at(y1, x1) * g * f;
          EXPECT_NEAR(want[(size_t(y) * s.ow + x) * s.C + c], v, 1e-5);
        }
      }
    test::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
      std::vector<float> out(n + 4, 99.0f);
      t.upsample_bilinear_f32(in.data(), out.data(), s.C, s.H, s.W, s.oh, s.ow, nullptr);
      for (size_t i = 0; i < n; ++i) ASSERT_EQ(bits(out[i]), bits(want[i])) << "C=" << s.C << " i=" << i;
      for (int k = 0; k < 4; ++k) EXPECT_EQ(out[n + k], 99.0f);
    });
  }
}

TEST(ElementwiseLayers, AddLayersNeedTwoEqualInputs) {
  auto add = test::make_layer("add_fp32", "{}", {}, "sum");
  ASSERT_TRUE(add);
  add->relu = true;
  std::vector<float> a = {1, -2, 3, -4, 5, -6}, b = {1, 1, 1, 1, 1, 1};
  const auto run = test::run_layer<float>(*add, {&a, &b}, {{3, 2, 1}, {3, 2, 1}});
  EXPECT_EQ(run.shape, (TensorShape{3, 2, 1}));
  EXPECT_EQ(run.out, (std::vector<float>{2, 0, 4, 0, 6, 0}));
  EXPECT_EQ(test::error_of([&] {
              test::run_layer<float>(*add, {&a}, {{3, 2, 1}});
            }),
            "node 'sum' needs 2 inputs, got 1");
  EXPECT_EQ(test::error_of([&] {
              test::run_layer<float>(*add, {&a, &b}, {{3, 2, 1}, {5, 1, 1}});
            }),
            "node 'sum': inputs hold 6 and 5 values, expected equal sizes");

  auto qadd = test::make_layer("add", R"({"args": {"in1_scale": 0.37, "in2_scale": 0.61, "out_zp": 3}})");
  ASSERT_TRUE(qadd);
  EXPECT_TRUE(qadd->output_is_int8());
  std::vector<int8_t> qa = random_values<int8_t>(20, -128, 127, 5),
                      qb = random_values<int8_t>(20, -128, 127, 6);
  const auto qrun = test::run_layer<int8_t>(*qadd, {&qa, &qb}, {{20, 1, 1}, {20, 1, 1}});
  const AddParams p{0.37f, 0.61f, 1.0f, 0, 0, 3};
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(qrun.out[i], i < 16 ? ref_q12(p, qa[i], qb[i]) : ref_single(p, qa[i], qb[i])) << i;
}

TEST(ElementwiseLayers, ProductNeedsTwoEqualInputsAndKeepsTheFirstShape) {
  auto mul = test::make_layer("elemwise_mul_fp32", "{}", {}, "gate");
  ASSERT_TRUE(mul);
  std::vector<float> a = {1, -2, 3, -4, 5, -6}, b = {2, 2, 0.5f, 1, -1, 0};
  const auto run = test::run_layer<float>(*mul, {&a, &b}, {{3, 2, 1}, {6, 1, 1}});
  EXPECT_EQ(run.shape, (TensorShape{3, 2, 1}));
  EXPECT_EQ(run.out, (std::vector<float>{2, -4, 1.5f, -4, -5, -0.0f}));
  const TensorShape shapes[] = {{3, 2, 1}, {6, 1, 1}};
  EXPECT_EQ(mul->output_shape_multi(shapes, 2), (TensorShape{3, 2, 1}));
  EXPECT_EQ(test::error_of([&] {
              test::run_layer<float>(*mul, {&a}, {{3, 2, 1}});
            }),
            "node 'gate' needs 2 inputs, got 1");
  EXPECT_EQ(test::error_of([&] {
              test::run_layer<float>(*mul, {&a, &b}, {{3, 2, 1}, {5, 1, 1}});
            }),
            "node 'gate': inputs hold 6 and 5 values, expected equal sizes");
}

TEST(ElementwiseLayers, ScaleAndSnake) {
  auto scale = test::make_layer("scale_fp32", R"({"scalar": -0.5})");
  std::vector<float> x = {2, 4, -8};
  EXPECT_EQ(test::run_layer<float>(*scale, {&x}, {{3, 1, 1}}).out, (std::vector<float>{-1, -2, 4}));

  std::vector<float> in = random_values<float>(12, -2, 2, 7);
  const std::vector<float> alpha = {0.5f, 1.0f, 2.0f};
  auto snake = test::make_layer("snake1d_fp32", "{}", {{"voc.alpha", alpha}}, "voc");
  const auto run = test::run_layer<float>(*snake, {&in}, {{3, 4, 1}});
  for (int p = 0; p < 4; ++p)
    for (int c = 0; c < 3; ++c) {
      const float v = in[size_t(p * 3 + c)], s = sinf(alpha[c] * v);
      EXPECT_EQ(run.out[size_t(p * 3 + c)], fmaf(s * s, 1.0f / (alpha[c] + 1e-9f), v));
    }
  auto missing = test::make_layer("snake1d_fp32", "{}", {}, "voc");
  EXPECT_EQ(test::error_of([&] {
              test::run_layer<float>(*missing, {&in}, {{3, 4, 1}});
            }),
            "missing weight tensor: voc.alpha");
  // One value per channel, exactly: a table for a wider or narrower model is refused.
  EXPECT_EQ(test::error_of([&] {
              test::run_layer<float>(*snake, {&in}, {{4, 3, 1}});
            }),
            "weight voc.alpha holds 3 elements, expected 4");
  EXPECT_EQ(test::error_of([&] {
              test::run_layer<float>(*snake, {&in}, {{2, 6, 1}});
            }),
            "weight voc.alpha holds 3 elements, expected 2");
}

TEST(ElementwiseLayers, UpsampleShapes) {
  auto bilinear = test::make_layer("upsample_bilinear_fp32", R"({"scale_h": 1.5, "scale_w": 2})");
  EXPECT_EQ(bilinear->output_shape({4, 3, 5}), (TensorShape{4, 5, 10}));  // int(1.5 * 3 + 0.5) = 5
  std::vector<float> img = random_values<float>(2 * 3 * 5, -1, 1, 8);
  EXPECT_EQ(test::run_layer<float>(*bilinear, {&img}, {{2, 3, 5}}).shape, (TensorShape{2, 5, 10}));
  EXPECT_EQ(
      test::error_of([] { test::make_layer("upsample_bilinear_fp32", R"({"name": "up", "scale_h": -2})"); }),
      "node 'up': scale_h must be a positive finite number, got -2.000000");

  auto nearest = test::make_layer("upsample_nearest1d_fp32", R"({"scale_factor": 3})");
  EXPECT_EQ(nearest->output_shape({2, 4, 1}), (TensorShape{2, 12, 1}));
  std::vector<float> seq = {1, 2, 3, 4, 5, 6, 7, 8};  // 2 x 2 positions of 2 channels
  const auto run = test::run_layer<float>(*nearest, {&seq}, {{2, 2, 2}});
  EXPECT_EQ(run.shape, (TensorShape{2, 12, 1}));
  EXPECT_EQ(std::vector<float>(run.out.begin(), run.out.begin() + 8),
            (std::vector<float>{1, 2, 1, 2, 1, 2, 3, 4}));
  EXPECT_EQ(
      test::error_of([] { test::make_layer("upsample_nearest1d_fp32", R"({"scale_factor": -1})", {}, "n"); }),
      "node 'n': scale_factor must not be negative");
}
