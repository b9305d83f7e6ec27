// LstmFp32 and its recurrence kernels: the polynomial functions against the library ones, every
// tier against the portable bits, the layer against a float64 LSTM, and its edge cases and errors.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "kernel_tier_loop.h"
#include "kernels/lstm_f32.h"
#include "kernels/prepared_weights.h"
#include "small_layer_harness.h"
#include "test_support.h"

namespace trevalon::testing {
namespace {

struct LstmWeights {
  int K, H;
  std::vector<float> w_ih, w_hh, b_ih, b_hh;
};

LstmWeights random_lstm(int K, int H, uint32_t seed, float scale = 0.5f) {
  return {K,
          H,
          random_floats(size_t(4) * H * K, -scale, scale, seed),
          random_floats(size_t(4) * H * H, -scale, scale, seed + 1),
          random_floats(size_t(4) * H, -0.5f, 0.5f, seed + 2),
          random_floats(size_t(4) * H, -0.5f, 0.5f, seed + 3)};
}

WeightMap lstm_map(const LstmWeights& f, const LstmWeights* b = nullptr) {
  WeightMap m{{"lstm.weight_ih_l0", f.w_ih},
              {"lstm.weight_hh_l0", f.w_hh},
              {"lstm.bias_ih_l0", f.b_ih},
              {"lstm.bias_hh_l0", f.b_hh}};
  if (b) {
    m["lstm.weight_ih_l0_reverse"] = b->w_ih;
    m["lstm.weight_hh_l0_reverse"] = b->w_hh;
    m["lstm.bias_ih_l0_reverse"] = b->b_ih;
    m["lstm.bias_hh_l0_reverse"] = b->b_hh;
  }
  return m;
}

std::string lstm_json(int H, bool bidirectional) {
  return "{\"name\": \"lstm\", \"hidden_size\": " + std::to_string(H) +
         ", \"bidirectional\": " + (bidirectional ? "true" : "false") + "}";
}

// One direction in float64 with exact sigmoid and tanh; T x H.
std::vector<double> reference_direction(const LstmWeights& w, const std::vector<float>& x, int T,
                                        bool reverse) {
  const int H = w.H, K = w.K;
  std::vector<double> h(H, 0.0), c(H, 0.0), out(size_t(T) * H), a(4 * H);
  auto sigmoid = [](double v) { return 1.0 / (1.0 + std::exp(-v)); };
  for (int s = 0; s < T; ++s) {
    const int t = reverse ? T - 1 - s : s;
    for (int r = 0; r < 4 * H; ++r) {
      double v = double(w.b_ih[r]) + double(w.b_hh[r]);
      for (int k = 0; k < K; ++k) v += double(x[size_t(t) * K + k]) * w.w_ih[size_t(r) * K + k];
      for (int k = 0; k < H; ++k) v += h[k] * w.w_hh[size_t(r) * H + k];
      a[r] = v;
    }
    for (int u = 0; u < H; ++u) {
      c[u] = c[u] * sigmoid(a[H + u]) + std::tanh(a[2 * H + u]) * sigmoid(a[u]);
      h[u] = std::tanh(c[u]) * sigmoid(a[3 * H + u]);
      out[size_t(t) * H + u] = h[u];
    }
  }
  return out;
}

TEST(LstmKernels, PolynomialFunctionsTrackTheLibraryOnes) {
  double worst_exp = 0, worst_rcp = 0, worst_sigmoid = 0, worst_tanh = 0;
  for (int i = -87000; i <= 87000; i += 7) {
    const float x = float(i) * 1e-3f;
    worst_exp = std::max(worst_exp, std::abs(double(lstm_exp(x)) / std::exp(double(x)) - 1.0));
    worst_sigmoid = std::max(worst_sigmoid, std::abs(lstm_sigmoid(x) - 1.0 / (1.0 + std::exp(-double(x)))));
    worst_tanh = std::max(worst_tanh, std::abs(lstm_tanh(x) - std::tanh(double(x))));
  }
  for (float d = 1.0f; d < 1e38f; d *= 1.0137f)
    worst_rcp = std::max(worst_rcp, std::abs(double(lstm_reciprocal(d)) * double(d) - 1.0));
  EXPECT_LT(worst_exp, 3e-7);
  EXPECT_LT(worst_rcp, 1.3e-7);
  EXPECT_LT(worst_sigmoid, 1.2e-7);
  EXPECT_LT(worst_tanh, 2.4e-7);
  // Clamped at +-88: no infinity, and far below the clamp the result is 0 or tiny.
  EXPECT_TRUE(std::isfinite(lstm_exp(1000.0f)));
  EXPECT_LE(lstm_exp(-1000.0f), 1e-37f);
  EXPECT_EQ(lstm_sigmoid(0.0f), 0.5f);
}

// Hidden sizes on both sides of the vector widths and the groups of four.
TEST(LstmLayer, EveryTierGivesThePortableBitsAndTracksFloat64) {
  for (const int H : {1, 4, 5, 13, 20, 64, 67}) {
    SCOPED_TRACE("H " + std::to_string(H));
    const int K = 9, T = 11;
    const LstmWeights fw = random_lstm(K, H, 10 + H), bw = random_lstm(K, H, 50 + H);
    std::vector<float> x = random_floats(size_t(T) * K, -1.5f, 1.5f, 7);
    std::vector<float> portable;
    for_each_cpu_tier([&](CpuTier tier, const KernelTable&) {
      auto layer = make_layer("lstm_fp32", lstm_json(H, true), lstm_map(fw, &bw), "lstm");
      const auto run = run_layer<float>(*layer, {&x}, {TensorShape{K, T, 1}});
      ASSERT_EQ(run.shape, (TensorShape{2 * H, T, 1}));
      if (tier == CpuTier::Portable) {
        portable = run.out;
        const auto f = reference_direction(fw, x, T, false), b = reference_direction(bw, x, T, true);
        for (int t = 0; t < T; ++t)
          for (int u = 0; u < H; ++u) {
            ASSERT_NEAR(run.out[size_t(t) * 2 * H + u], f[size_t(t) * H + u], 1e-5)
                << "t " << t << " u " << u;
            ASSERT_NEAR(run.out[size_t(t) * 2 * H + H + u], b[size_t(t) * H + u], 1e-5)
                << "t " << t << " u " << u;
          }
      } else {
        ASSERT_EQ(run.out, portable);
      }
    });
  }
}

// A layer loaded under one tier and run under another prepares its weights for the new tier.
TEST(LstmLayer, TierSwitchAfterLoadGivesTheSameBits) {
  const int K = 6, H = 24, T = 5;
  const LstmWeights w = random_lstm(K, H, 3);
  std::vector<float> x = random_floats(size_t(T) * K, -1.0f, 1.0f, 4);
  auto layer = make_layer("lstm_fp32", lstm_json(H, false), lstm_map(w), "lstm");  // best tier
  const uint64_t prepared = weight_preparations();
  const auto best = run_layer<float>(*layer, {&x}, {TensorShape{K, T, 1}});
  EXPECT_EQ(weight_preparations(), prepared);  // weights were prepared at load, not per pass
  ASSERT_TRUE(set_cpu_kernel_tier(CpuTier::Portable));
  const auto portable = run_layer<float>(*layer, {&x}, {TensorShape{K, T, 1}});
  set_cpu_kernel_tier(detect_cpu_tier());
  const auto again = run_layer<float>(*layer, {&x}, {TensorShape{K, T, 1}});
  EXPECT_EQ(best.out, portable.out);
  EXPECT_EQ(again.out, portable.out);
}

TEST(LstmLayer, ZeroWeightsGiveZeroAndACandidateBiasGivesTheClosedForm) {
  for_each_cpu_tier([&](CpuTier, const KernelTable&) {
    for (const int H : {5, 16}) {
      const int K = 3, T = 4;
      LstmWeights z{K,
                    H,
                    std::vector<float>(size_t(4) * H * K),
                    std::vector<float>(size_t(4) * H * H),
                    std::vector<float>(size_t(4) * H),
                    std::vector<float>(size_t(4) * H)};
      std::vector<float> x = random_floats(size_t(T) * K, -3.0f, 3.0f, 1);
      auto zero = make_layer("lstm_fp32", lstm_json(H, true), lstm_map(z, &z), "lstm");
      for (float v : run_layer<float>(*zero, {&x}, {TensorShape{K, T, 1}}).out) ASSERT_EQ(v, 0.0f);

      // T = 1, candidate rows biased to 1: i = f = o = 1/2, g = tanh(1), c = tanh(1)/2.
      for (int u = 2 * H; u < 3 * H; ++u) z.b_hh[u] = 1.0f;
      auto one = make_layer("lstm_fp32", lstm_json(H, false), lstm_map(z), "lstm");
      std::vector<float> x1(K, 0.25f);
      const double expected = std::tanh(0.5 * std::tanh(1.0)) * 0.5;
      for (float v : run_layer<float>(*one, {&x1}, {TensorShape{K, 1, 1}}).out)
        ASSERT_NEAR(v, expected, 1.5e-7);
    }
  });
}

// Position 0 of the backward half holds the state after reading the whole sequence right to left:
// the same as a forward-only layer with the backward weights on the reversed sequence, at its end.
TEST(LstmLayer, BackwardHalfIsTheForwardLayerOnTheReversedSequence) {
  const int K = 7, H = 9, T = 13;
  const LstmWeights fw = random_lstm(K, H, 21), bw = random_lstm(K, H, 22);
  std::vector<float> x = random_floats(size_t(T) * K, -1.0f, 1.0f, 23), reversed(x.size());
  for (int t = 0; t < T; ++t)
    std::copy_n(x.begin() + size_t(t) * K, K, reversed.begin() + size_t(T - 1 - t) * K);
  auto both = make_layer("lstm_fp32", lstm_json(H, true), lstm_map(fw, &bw), "lstm");
  auto forward_only = make_layer("lstm_fp32", lstm_json(H, false), lstm_map(bw), "lstm");
  const auto b = run_layer<float>(*both, {&x}, {TensorShape{K, T, 1}});
  const auto f = run_layer<float>(*forward_only, {&reversed}, {TensorShape{K, T, 1}});
  for (int t = 0; t < T; ++t)
    for (int u = 0; u < H; ++u)
      ASSERT_EQ(b.out[size_t(t) * 2 * H + H + u], f.out[size_t(T - 1 - t) * H + u]) << "t " << t;
}

TEST(LstmLayer, RefusesMisSizedWeightsAndInputs) {
  const LstmWeights w = random_lstm(4, 3, 5);
  WeightMap bad_hh = lstm_map(w);
  bad_hh["lstm.weight_hh_l0"].pop_back();
  expect_error([&] { make_layer("lstm_fp32", lstm_json(3, false), bad_hh, "lstm"); },
               "weight lstm.weight_hh_l0 holds 35 elements, expected 36");
  WeightMap bad_ih = lstm_map(w);
  bad_ih["lstm.weight_ih_l0"].pop_back();
  expect_error([&] { make_layer("lstm_fp32", lstm_json(3, false), bad_ih, "lstm"); },
               "weight lstm.weight_ih_l0 holds 47 elements, expected 36");
  WeightMap bad_reverse = lstm_map(w, &w);
  bad_reverse["lstm.weight_ih_l0_reverse"].resize(12 * 5);
  expect_error([&] { make_layer("lstm_fp32", lstm_json(3, true), bad_reverse, "lstm"); },
               "weight lstm.weight_ih_l0_reverse holds 60 elements, expected 48");
  expect_error([&] { make_layer("lstm_fp32", lstm_json(0, false), lstm_map(w), "lstm"); },
               "node 'lstm': hidden_size must be positive with 8 x hidden_size in 32 bits, got 0");

  auto layer = make_layer("lstm_fp32", lstm_json(3, true), lstm_map(w), "lstm");
  std::vector<float> x(20);
  expect_error(
      [&] {
        run_layer<float>(*layer, {&x}, {TensorShape{4, 5, 1}});
      },
      "missing weight tensor: lstm.weight_ih_l0_reverse");
  auto uni = make_layer("lstm_fp32", lstm_json(3, false), lstm_map(w), "lstm");
  expect_error(
      [&] {
        run_layer<float>(*uni, {&x}, {TensorShape{5, 4, 1}});
      },
      "node 'lstm': input has 5 features, expected 4 (the width of lstm.weight_ih_l0)");
  std::vector<float> empty;
  EXPECT_EQ(run_layer<float>(*uni, {&empty}, {TensorShape{4, 0, 1}}).shape, (TensorShape{3, 0, 1}));
}

}  // namespace
}  // namespace trevalon::testing
