// Float activation kernels and ActivationFp32: every tier against the portable kernels and the
// math library, the split between polynomial groups of four and C-library tails, saturation, and
// the layer's op-to-kernel mapping and errors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "backend/cpu_backend.h"
#include "backend/registry.h"
#include "kernel_tier_loop.h"
#include "kernels/activation_f32.h"
#include "small_layer_harness.h"
#include "test_support.h"

using namespace trevalon;
namespace test = trevalon::testing;  // "testing" alone would also name the GoogleTest namespace
using trevalon::testing::random_floats;

namespace {

using Unary = void (*)(const float*, float*, int);

uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

constexpr float kSentinel = -12345.5f;

// Runs `kernel` on the first `count` inputs into a buffer with sentinels after the output.
std::vector<float> run_unary(Unary kernel, const std::vector<float>& in, int count) {
  std::vector<float> out(size_t(count) + 4, kSentinel);
  kernel(in.data(), out.data(), count);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(out[size_t(count) + k], kSentinel) << "overrun, count " << count;
  out.resize(size_t(count));
  return out;
}

struct UnaryCase {
  const char* name;
  Unary portable;
  Unary KernelTable::*slot;
  std::function<double(double)> exact;
  float lo, hi;
  double abs_tol;  // absolute part of the error bound
};

// gelu_f32 works in place; this gives the table's entry the unary shape.
thread_local void (*g_gelu)(float*, int) = nullptr;
void gelu_table_copy(const float* in, float* out, int count) {
  if (count > 0) std::memcpy(out, in, size_t(count) * sizeof(float));
  g_gelu(out, count);
}

double gelu_exact(double x) {
  return 0.5 * x * (1.0 + std::tanh(0.7978845608028654 * (x + 0.044715 * x * x * x)));
}

std::vector<UnaryCase> unary_cases() {
  return {
      {"exp", exp_f32_portable, &KernelTable::exp_f32, [](double x) { return std::exp(x); }, -20, 20, 2e-7},
      {"sin", sin_f32_portable, &KernelTable::sin_f32, [](double x) { return std::sin(x); }, -10, 10, 4e-6},
      {"sigmoid", sigmoid_f32_portable, &KernelTable::sigmoid_f32,
       [](double x) { return 1.0 / (1.0 + std::exp(-x)); }, -30, 30, 2e-7},
      {"tanh", tanh_f32_portable, &KernelTable::tanh_f32, [](double x) { return std::tanh(x); }, -12, 12,
       2e-7},
      {"silu", silu_f32_portable, &KernelTable::silu_f32, [](double x) { return x / (1.0 + std::exp(-x)); },
       -30, 30, 2e-7},
  };
}

Unary table_unary(const KernelTable& t, const UnaryCase& c) { return t.*(c.slot); }

// Error bound against exact math: a few float ulps of the value plus an absolute part. The sine
// polynomial is a degree-9 Taylor series (3.6e-6 at pi/2); GELU's 1 - 1/d cancels for negative x,
// leaving about |x| ulps of 1.
void expect_close(const char* what, float x, float got, double want, double abs_tol) {
  EXPECT_NEAR(got, want, 8e-7 * std::fabs(want) + abs_tol) << what << " at x = " << x;
}

}  // namespace

TEST(ActivationKernels, EveryTierIsCloseToTheMathLibrary) {
  for (const UnaryCase& c : unary_cases()) {
    const std::vector<float> in = random_floats(4099, c.lo, c.hi, 7);
    test::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
      const std::vector<float> out = run_unary(table_unary(t, c), in, int(in.size()));
      for (size_t i = 0; i < in.size(); ++i) expect_close(c.name, in[i], out[i], c.exact(in[i]), c.abs_tol);
    });
  }
  const std::vector<float> in = random_floats(4099, -12, 12, 8);
  test::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
    g_gelu = t.gelu_f32;
    const std::vector<float> out = run_unary(gelu_table_copy, in, int(in.size()));
    for (size_t i = 0; i < in.size(); ++i)
      expect_close("gelu", in[i], out[i], gelu_exact(in[i]), 1.2e-7 * (1.0 + std::fabs(in[i])));
  });
}

// exp and sin involve no reciprocal estimate, so every tier and width gives the portable bits; the
// sine parity of huge arguments (beyond 2^24 and beyond int range) must agree as well.
TEST(ActivationKernels, PolynomialKernelsGiveThePortableBitsOnEveryTier) {
  std::vector<float> in = random_floats(70, -60, 60, 3);
  const float specials[] = {0.0f, -0.0f, 88.0f, 88.7f, -88.0f, -88.7f, 100.0f, -100.0f, 1e-30f,     0.5f,
                            1.5f, 2.5f,  -2.5f, 1e8f,  3e9f,   -5e12f, 1e30f,  -1e30f,  16777217.0f};
  in.insert(in.begin(), std::begin(specials), std::end(specials));
  for (const UnaryCase& c : unary_cases()) {
    if (std::string(c.name) != "exp" && std::string(c.name) != "sin") continue;
    for (int count : {0, 1, 3, 4, 5, 7, 8, 9, 12, 15, 16, 17, 31, 33, int(in.size())}) {
      const std::vector<float> want = run_unary(c.portable, in, count);
      test::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
        const std::vector<float> got = run_unary(table_unary(t, c), in, count);
        for (int i = 0; i < count; ++i)
          EXPECT_EQ(bits(got[i]), bits(want[i]))
              << c.name << " x=" << in[i] << " i=" << i << " count=" << count;
      });
    }
  }
}

// Every complete group of four takes the polynomial, the rest the C library: an argument where the
// two differ shows which formula produced each element.
TEST(ActivationKernels, GroupsOfFourUseThePolynomialAndTheRestTheCLibrary) {
  struct Tail {
    const char* name;
    Unary KernelTable::*slot;
    float (*library)(float);
  };
  const Tail tails[] = {
      {"exp", &KernelTable::exp_f32, [](float x) { return expf(x); }},
      {"sin", &KernelTable::sin_f32, [](float x) { return sinf(x); }},
      {"sigmoid", &KernelTable::sigmoid_f32, [](float x) { return 1.0f / (1.0f + expf(-x)); }},
      {"tanh", &KernelTable::tanh_f32, [](float x) { return tanhf(x); }},
      {"silu", &KernelTable::silu_f32, [](float x) { return x / (1.0f + expf(-x)); }},
  };
  for (const Tail& tail : tails) {
    test::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
      // Find an argument whose polynomial value differs from the library's.
      float x = 0.3f;
      std::vector<float> probe(4);
      for (int k = 0; k < 2000; ++k, x += 0.0137f) {
        probe.assign(4, x);
        (t.*(tail.slot))(probe.data(), probe.data(), 4);
        if (bits(probe[0]) != bits(tail.library(x))) break;
      }
      ASSERT_NE(bits(probe[0]), bits(tail.library(x))) << tail.name;
      for (int count : {5, 6, 7, 9, 13}) {
        const std::vector<float> in(size_t(count), x);
        const std::vector<float> out = run_unary(t.*(tail.slot), in, count);
        const int grouped = count & ~3;
        for (int i = 0; i < count; ++i) {
          const float want = i < grouped ? probe[0] : tail.library(x);
          EXPECT_EQ(bits(out[i]), bits(want)) << tail.name << " element " << i << " of " << count;
        }
      }
    });
  }
}

TEST(ActivationKernels, GeluTailUsesTheScalarFormula) {
  auto scalar = [](float x) {
    const float u = fmaf(x * x, 0.044715f * x, x);
    return (0.5f * x) * (tanhf(u * 0.7978846f) + 1.0f);
  };
  const std::vector<float> in = random_floats(23, -5, 5, 11);  // 16 + 4 by the vector formula, 3 scalar
  test::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
    std::vector<float> data = in;
    data.push_back(kSentinel);
    t.gelu_f32(data.data(), 23);
    EXPECT_EQ(data[23], kSentinel);
    for (int i = 20; i < 23; ++i) EXPECT_EQ(bits(data[i]), bits(scalar(in[i]))) << "element " << i;
  });
}

TEST(ActivationKernels, LargeArgumentsSaturateInsteadOfOverflowing) {
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> in = {1000.0f, -1000.0f, inf, -inf, 89.0f, -89.0f, 30.0f, -30.0f};
  test::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
    std::vector<float> e(8), s(8), th(8), si(8), g = in;
    t.exp_f32(in.data(), e.data(), 8);
    t.sigmoid_f32(in.data(), s.data(), 8);
    t.tanh_f32(in.data(), th.data(), 8);
    t.silu_f32(in.data(), si.data(), 8);
    t.gelu_f32(g.data(), 8);
    for (int i = 0; i < 8; ++i) {
      const bool positive = in[i] > 0;
      EXPECT_TRUE(std::isfinite(e[i])) << in[i];
      EXPECT_NEAR(s[i], positive ? 1.0f : 0.0f, 1e-6f) << in[i];
      EXPECT_NEAR(th[i], positive ? 1.0f : -1.0f, 1e-6f) << in[i];
      if (std::isfinite(in[i])) {
        EXPECT_NEAR(si[i], positive ? in[i] : 0.0f, 1e-4f) << in[i];
        EXPECT_NEAR(g[i], positive ? in[i] : 0.0f, 1e-4f) << in[i];
      }
    }
    EXPECT_EQ(e[1], 0.0f);  // below the clamp the scale 2^-127 is formed as 0
    std::vector<float> nan_in(4, std::numeric_limits<float>::quiet_NaN()), nan_out(4);
    t.exp_f32(nan_in.data(), nan_out.data(), 4);
    EXPECT_TRUE(std::isnan(nan_out[0]));
  });
}

#ifndef TREVALON_PORTABLE
// The AVX2 and AVX-512 tiers share one reciprocal estimate and so give identical bits.
TEST(ActivationKernels, Avx2AndAvx512GiveIdenticalBits) {
  if (detect_cpu_tier() < CpuTier::Avx512) GTEST_SKIP() << "no AVX-512 on this CPU";
  const std::vector<float> in = random_floats(131, -25, 25, 5);
  const Unary pairs[][2] = {{sigmoid_f32_avx2, sigmoid_f32_avx512},
                            {tanh_f32_avx2, tanh_f32_avx512},
                            {silu_f32_avx2, silu_f32_avx512},
                            {exp_f32_avx2, exp_f32_avx512},
                            {sin_f32_avx2, sin_f32_avx512}};
  for (int count : {4, 8, 12, 16, 20, 28, 131}) {
    for (const auto& p : pairs) {
      const std::vector<float> a = run_unary(p[0], in, count), b = run_unary(p[1], in, count);
      for (int i = 0; i < count; ++i) ASSERT_EQ(bits(a[i]), bits(b[i])) << "i=" << i << " count=" << count;
    }
    std::vector<float> a = in, b = in;
    gelu_f32_avx2(a.data(), count);
    gelu_f32_avx512(b.data(), count);
    for (int i = 0; i < count; ++i) ASSERT_EQ(bits(a[i]), bits(b[i])) << "gelu i=" << i;
  }
}
#endif

TEST(ActivationKernels, ReluAndLeakyRelu) {
  const std::vector<float> in = {-2.0f, -0.0f, 0.0f, 3.5f, -1e-30f, 7.0f, -8.0f, 1.0f, -0.5f};
  test::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
    std::vector<float> a = in, b = in;
    a.push_back(kSentinel);
    t.relu_f32(a.data(), int(in.size()));
    t.relu_inplace_f32(b.data(), int(in.size()));
    EXPECT_EQ(a.back(), kSentinel);
    for (size_t i = 0; i < in.size(); ++i) {
      EXPECT_EQ(a[i], in[i] < 0 ? 0.0f : in[i]);
      EXPECT_EQ(bits(a[i]), bits(b[i]));
    }
    const std::vector<float> leaky = [&] {
      std::vector<float> out(in.size() + 1, kSentinel);
      t.leaky_relu_f32(in.data(), out.data(), int(in.size()), 0.1f);
      EXPECT_EQ(out.back(), kSentinel);
      return out;
    }();
    for (size_t i = 0; i < in.size(); ++i)
      EXPECT_EQ(bits(leaky[i]), bits((in[i] >= 0 ? 1.0f : 0.1f) * in[i]));
  });
}

TEST(ActivationLayer, EachOpRunsItsKernelWithItsParameters) {
  const std::vector<float> in = random_floats(2 * 3 * 5, -4, 4, 9);
  const TensorShape shape{5, 2, 3};
  const auto& k = cpu_backend_descriptor().kernels;
  struct OpCase {
    const char* op;
    const char* json;
    std::function<void(const float*, float*, int)> kernel;
  };
  const OpCase cases[] = {
      {"leaky_relu_fp32", R"({"args": {"alpha": 0.01}})",
       [&](const float* x, float* y, int n) { k.leaky_relu_f32(x, y, n, 0.01f); }},
      {"leaky_relu_fp32", "{}", [&](const float* x, float* y, int n) { k.leaky_relu_f32(x, y, n, 0.2f); }},
      {"exp_fp32", "{}", k.exp_f32},
      {"sin_fp32", "{}", k.sin_f32},
      {"sigmoid_fp32", "{}", k.sigmoid_f32},
      {"tanh_fp32", "{}", k.tanh_f32},
      {"silu_fp32", "{}", k.silu_f32},
      {"gelu_fp32", R"({"alpha": 0.5})",
       [&](const float* x, float* y, int n) {
         std::memcpy(y, x, size_t(n) * 4);
         k.gelu_f32(y, n);
       }},
  };
  for (const OpCase& c : cases) {
    auto layer = test::make_layer(c.op, c.json);
    ASSERT_TRUE(layer) << c.op;
    EXPECT_FALSE(layer->output_is_int8());
    std::vector<float> x = in;
    const auto run = test::run_layer<float>(*layer, {&x}, {shape});
    EXPECT_EQ(run.shape, shape);
    EXPECT_EQ(x, in) << c.op << " changed its input";
    std::vector<float> want(in.size());
    c.kernel(in.data(), want.data(), int(in.size()));
    for (size_t i = 0; i < in.size(); ++i)
      EXPECT_EQ(bits(run.out[i]), bits(want[i])) << c.op << " " << c.json;
  }
}

TEST(ActivationLayer, RefusesMissingInputsAndAMissingBackend) {
  auto layer = test::make_layer("tanh_fp32", "{}", {}, "act1");
  EXPECT_EQ(test::error_of([&] { layer->forward(nullptr, 0, BufferView{}, nullptr); }),
            "node 'act1' needs 1 inputs, got 0");
  std::vector<float> x(4, 1.0f), y(4, kSentinel);
  TensorRef ref{BufferView{x.data(), 0, 16}, TensorShape{4, 1, 1}};
  clear_backend_registry_for_tests();
  const std::string message = test::error_of([&] {
    layer->forward(&ref, 1, BufferView{y.data(), 0, 16}, nullptr);
  });
  register_cpu_backend();
  EXPECT_EQ(message, kNoBackendMessage);
  EXPECT_EQ(y, std::vector<float>(4, kSentinel));
}
