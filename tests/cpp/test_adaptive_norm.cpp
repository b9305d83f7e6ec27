// Style-conditioned norms: every tier against the portable kernels bit for bit (channel and row
// blocks cut at every edge, in place, with and without the instance norm's affine weights), the
// portable kernels against float64 references, the fixed points (one position, a zero style),
// the layers' style projection (float and int8-stored weights) and their errors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "kernel_tier_loop.h"
#include "kernels/normalization.h"
#include "small_layer_harness.h"
#include "test_support.h"

using namespace trevalon;
namespace test = trevalon::testing;
using test::random_floats;

namespace {

constexpr float kSentinel = -12345.5f;

struct Case {
  int rows, C;
  std::vector<float> x, gamma, beta, w, b;
};

Case make_case(int rows, int C, uint32_t seed) {
  Case c{rows,
         C,
         random_floats(size_t(rows) * C, 1.0f, 3.0f, seed),
         random_floats(C, -0.5f, 0.5f, seed + 1),
         random_floats(C, -1.0f, 1.0f, seed + 2),
         random_floats(C, 0.5f, 1.5f, seed + 3),
         random_floats(C, -1.0f, 1.0f, seed + 4)};
  for (size_t i = 0; i < c.x.size(); i += 5) c.x[i] = -c.x[i];
  return c;
}

// Runs an ada_in1d_f32 or ada_layer_norm_f32 kernel, checking the guard after the output.
template <class Kernel>
std::vector<float> run(Kernel kernel, const Case& c, const float* w, const float* b, float eps) {
  const size_t n = c.x.size();
  std::vector<float> out(n + 16, kSentinel);
  if constexpr (std::is_invocable_v<Kernel, const float*, float*, const float*, const float*, int, int,
                                    float>)
    kernel(c.x.data(), out.data(), c.gamma.data(), c.beta.data(), c.rows, c.C, eps);
  else
    kernel(c.x.data(), out.data(), c.gamma.data(), c.beta.data(), c.rows, c.C, w, eps, b);
  for (size_t i = n; i < out.size(); ++i) EXPECT_EQ(out[i], kSentinel) << "written past the tensor";
  out.resize(n);
  return out;
}

void expect_same_bits(const std::vector<float>& got, const std::vector<float>& want,
                      const std::string& what) {
  ASSERT_EQ(got.size(), want.size());
  EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(float)), 0) << what;
}

// The formulas in float64: instance norm over time per channel, layer norm over channels per row.
std::vector<double> ref_ada_in(const Case& c, bool affine, double eps) {
  std::vector<double> y(c.x.size());
  for (int ch = 0; ch < c.C; ++ch) {
    double m = 0, v = 0;
    for (int t = 0; t < c.rows; ++t) m += c.x[size_t(t) * c.C + ch];
    m /= c.rows;
    for (int t = 0; t < c.rows; ++t) v += std::pow(c.x[size_t(t) * c.C + ch] - m, 2);
    const double inv = 1 / std::sqrt(v / c.rows + eps);
    for (int t = 0; t < c.rows; ++t) {
      double n = (c.x[size_t(t) * c.C + ch] - m) * inv;
      if (affine) n = n * c.w[ch] + c.b[ch];
      y[size_t(t) * c.C + ch] = n * (1 + c.gamma[ch]) + c.beta[ch];
    }
  }
  return y;
}

std::vector<double> ref_ada_layer_norm(const Case& c, double eps) {
  std::vector<double> y(c.x.size());
  for (int t = 0; t < c.rows; ++t) {
    const float* x = c.x.data() + size_t(t) * c.C;
    double m = 0, v = 0;
    for (int k = 0; k < c.C; ++k) m += x[k];
    m /= c.C;
    for (int k = 0; k < c.C; ++k) v += (x[k] - m) * (x[k] - m);
    const double r = 1 / std::sqrt(v / c.C + eps);
    for (int k = 0; k < c.C; ++k) y[size_t(t) * c.C + k] = (x[k] - m) * r * (1 + c.gamma[k]) + c.beta[k];
  }
  return y;
}

void expect_near(const std::vector<float>& got, const std::vector<double>& want, double tol,
                 const std::string& at) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) ASSERT_NEAR(got[i], want[i], tol) << at << " at " << i;
}

}  // namespace

TEST(AdaptiveNormKernels, EveryTierGivesThePortableBits) {
  uint32_t seed = 1;
  test::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
    // Channels around the 8/16 lanes and the four-vector block of the instance norm, rows around
    // the row blocks of the layer norm.
    for (int rows : {1, 2, 7, 16, 17, 33})
      for (int C : {1, 3, 8, 15, 16, 17, 31, 64, 65, 130}) {
        const Case c = make_case(rows, C, seed++);
        const std::string at = std::to_string(rows) + " x " + std::to_string(C);
        for (int mask = 0; mask < 4; ++mask) {
          const float* w = mask & 1 ? c.w.data() : nullptr;
          const float* b = mask & 2 ? c.b.data() : nullptr;
          expect_same_bits(run(t.ada_in1d_f32, c, w, b, 1e-5f), run(ada_in1d_f32_portable, c, w, b, 1e-5f),
                           "ada_in " + at + " affine " + std::to_string(mask));
        }
        expect_same_bits(run(t.ada_layer_norm_f32, c, nullptr, nullptr, 1e-5f),
                         run(ada_layer_norm_f32_portable, c, nullptr, nullptr, 1e-5f), "ada_ln " + at);
      }
  });
}

TEST(AdaptiveNormKernels, InPlaceGivesTheSameBits) {
  test::for_each_cpu_tier([](CpuTier, const KernelTable& t) {
    const Case c = make_case(21, 37, 9);
    std::vector<float> in = c.x, ln = c.x;
    t.ada_in1d_f32(in.data(), in.data(), c.gamma.data(), c.beta.data(), c.rows, c.C, c.w.data(), 1e-5f,
                   c.b.data());
    t.ada_layer_norm_f32(ln.data(), ln.data(), c.gamma.data(), c.beta.data(), c.rows, c.C, 1e-5f);
    expect_same_bits(in, run(ada_in1d_f32_portable, c, c.w.data(), c.b.data(), 1e-5f), "ada_in");
    expect_same_bits(ln, run(ada_layer_norm_f32_portable, c, nullptr, nullptr, 1e-5f), "ada_ln");
  });
}

TEST(AdaptiveNormKernels, PortableMatchesFloat64References) {
  for (int rows : {1, 5, 64})
    for (int C : {1, 4, 80}) {
      const Case c = make_case(rows, C, 40 + rows + C);
      const std::string at = std::to_string(rows) + " x " + std::to_string(C);
      expect_near(run(ada_in1d_f32_portable, c, c.w.data(), c.b.data(), 1e-5f), ref_ada_in(c, true, 1e-5),
                  3e-5, "ada_in affine " + at);
      expect_near(run(ada_in1d_f32_portable, c, nullptr, nullptr, 1e-5f), ref_ada_in(c, false, 1e-5), 3e-5,
                  "ada_in " + at);
      expect_near(run(ada_layer_norm_f32_portable, c, nullptr, nullptr, 1e-5f), ref_ada_layer_norm(c, 1e-5),
                  3e-5, "ada_ln " + at);
    }
}

// One position has no deviation: the instance norm gives b, then b * (1 + gamma) + beta (fused),
// or beta alone without the norm's bias.
TEST(AdaptiveNormKernels, OnePositionGivesTheNormBiasScaledAndShifted) {
  test::for_each_cpu_tier([](CpuTier, const KernelTable& t) {
    const Case c = make_case(1, 37, 3);
    const auto with_bias = run(t.ada_in1d_f32, c, c.w.data(), c.b.data(), 1e-5f);
    const auto without = run(t.ada_in1d_f32, c, c.w.data(), nullptr, 1e-5f);
    for (int k = 0; k < c.C; ++k) {
      EXPECT_EQ(with_bias[k], std::fma(c.b[k], 1.0f + c.gamma[k], c.beta[k])) << k;
      EXPECT_EQ(without[k], c.beta[k]) << k;
    }
  });
}

namespace {

using ByteMap = std::map<std::string, std::vector<uint8_t>>;

std::unique_ptr<ILayer> make_norm(const std::string& op, const std::string& json, const ByteMap& tensors,
                                  const std::string& name = "dec.0.norm") {
  auto layer = create_layer(op_from_name(op), test::parse_node(json));
  layer->name = name;
  WeightGetter get = test::getter_over(tensors);
  layer->load_weights(get);
  return layer;
}

// The projection's weights, named for node "dec.0.norm".
ByteMap norm_weights(const std::vector<float>& fc, const std::vector<float>& bias) {
  return {{"dec.0.norm.fc.weight", test::bytes_of(fc)}, {"dec.0.norm.fc.bias", test::bytes_of(bias)}};
}

// The style projection in float64: fc x style + bias, as gamma (first C) and beta.
void project(Case& c, const std::vector<float>& fc, const std::vector<float>& bias,
             const std::vector<float>& style) {
  const int S = int(style.size());
  for (int o = 0; o < 2 * c.C; ++o) {
    double p = bias[o];
    for (int k = 0; k < S; ++k) p += double(fc[size_t(o) * S + k]) * style[k];
    (o < c.C ? c.gamma[o] : c.beta[o - c.C]) = float(p);
  }
}

}  // namespace

TEST(AdaptiveNormLayers, ProjectTheStyleThenNormalise) {
  const int C = 12, S = 7, T = 9;
  Case c = make_case(T, C, 21);
  const auto fc = random_floats(size_t(2 * C) * S, -0.3f, 0.3f, 22);
  const auto bias = random_floats(size_t(2 * C), -0.2f, 0.2f, 23);
  // A longer style vector: only its first C_style values count.
  auto style = random_floats(S + 3, -1.0f, 1.0f, 24);
  const std::vector<float> used(style.begin(), style.begin() + S);
  project(c, fc, bias, used);
  const std::string json = R"({"C": 12, "C_style": 7, "eps": 1e-5})";

  ByteMap in_weights = norm_weights(fc, bias);
  in_weights["dec.0.norm.norm.weight"] = test::bytes_of(c.w);
  in_weights["dec.0.norm.norm.bias"] = test::bytes_of(c.b);
  test::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
    auto ada_in = make_norm("ada_in1d_fp32", json, in_weights);
    auto ada_ln = make_norm("ada_layer_norm_fp32", json, norm_weights(fc, bias));
    std::vector<float> x = c.x;
    const std::vector<TensorShape> shapes{{C, T, 1}, {S + 3, 1, 1}};
    const auto in = test::run_layer<float>(*ada_in, {&x, &style}, shapes);
    const auto ln = test::run_layer<float>(*ada_ln, {&x, &style}, shapes);
    EXPECT_EQ(in.shape, (TensorShape{C, T, 1}));
    expect_near(in.out, ref_ada_in(c, true, 1e-5), 1e-4, "ada_in");
    expect_near(ln.out, ref_ada_layer_norm(c, 1e-5), 1e-4, "ada_ln");
    // The projection scratch is freed and regrown.
    ada_ln->release_scratch();
    expect_same_bits(test::run_layer<float>(*ada_ln, {&x, &style}, shapes).out, ln.out, "after release");
  });
}

TEST(AdaptiveNormLayers, ReadTheProjectionStoredAsInt8Rows) {
  const int C = 4, S = 6, T = 5;
  std::vector<int8_t> q(size_t(2 * C) * S);
  for (size_t i = 0; i < q.size(); ++i) q[i] = int8_t(int(i * 37 % 255) - 127);
  const auto scales = random_floats(size_t(2 * C), 0.001f, 0.01f, 31);
  std::vector<float> fc(q.size());
  for (size_t i = 0; i < q.size(); ++i) fc[i] = scales[i / S] * float(q[i]);
  const auto bias = random_floats(size_t(2 * C), -0.2f, 0.2f, 32);
  const std::string json = R"({"C": 4, "C_style": 6})";
  auto from_float = make_norm("ada_layer_norm_fp32", json, norm_weights(fc, bias));
  auto from_int8 = make_norm("ada_layer_norm_fp32", json,
                             {{"dec.0.norm.fc.weight_i8", test::bytes_of(q)},
                              {"dec.0.norm.fc.w_scales", test::bytes_of(scales)},
                              {"dec.0.norm.fc.bias", test::bytes_of(bias)}});
  auto x = random_floats(size_t(T) * C, -2.0f, 2.0f, 33);
  auto style = random_floats(S, -1.0f, 1.0f, 34);
  const std::vector<TensorShape> shapes{{C, T, 1}, {S, 1, 1}};
  expect_same_bits(test::run_layer<float>(*from_int8, {&x, &style}, shapes).out,
                   test::run_layer<float>(*from_float, {&x, &style}, shapes).out, "int8-stored projection");
}

// Zero projection weights and bias give gamma = beta = 0: plain layer norm without affine weights.
TEST(AdaptiveNormLayers, ZeroStyleIsPlainLayerNorm) {
  const int C = 40, S = 3, T = 19;
  auto layer = make_norm("ada_layer_norm_fp32", R"({"C": 40, "C_style": 3, "eps": 1e-6})",
                         norm_weights(std::vector<float>(2 * C * S, 0.0f), std::vector<float>(2 * C, 0.0f)));
  auto x = random_floats(size_t(T) * C, -3.0f, 5.0f, 5);
  std::vector<float> style(S, 0.0f), plain(x.size());
  layer_norm_f32_portable(x.data(), nullptr, nullptr, plain.data(), T, C, 1e-6f);
  test::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
    const auto got = test::run_layer<float>(*layer, {&x, &style}, {{C, T, 1}, {S, 1, 1}});
    // The plain norm fuses v * (1/C) + eps, this one rounds the product first: a last-bit difference.
    for (size_t i = 0; i < x.size(); ++i)
      ASSERT_NEAR(got.out[i], plain[i], 4e-7f * (1 + std::fabs(plain[i]))) << i;
  });
}

TEST(AdaptiveNormLayers, RefuseInputsAndWeightsThatDisagree) {
  const int C = 4, S = 3, T = 2;
  const std::vector<float> fc(2 * C * S, 0.1f), bias(2 * C, 0.0f);
  auto layer = make_norm("ada_in1d_fp32", R"({"C": 4, "C_style": 3})", norm_weights(fc, bias));
  std::vector<float> x(3 * 5, 1.0f), style(3, 1.0f);
  auto error = [&](std::vector<std::vector<float>*> in, const std::vector<TensorShape>& shapes) {
    return test::error_of([&] { test::run_layer<float>(*layer, in, shapes); });
  };
  EXPECT_EQ(error({&x}, {{C, T, 1}}), "node 'dec.0.norm' needs 2 inputs, got 1");
  EXPECT_EQ(error({&x, &style}, {{5, T, 1}, {S, 1, 1}}),
            "node 'dec.0.norm': input has 5 channels, expected C 4");
  EXPECT_EQ(error({&x, &style}, {{C, T, 1}, {2, 1, 1}}),
            "node 'dec.0.norm': style vector holds 2 values, expected at least C_style 3");

  auto load_error = [](const std::string& json, const ByteMap& w) {
    return test::error_of([&] { make_norm("ada_in1d_fp32", json, w); });
  };
  const std::string json = R"({"C": 4, "C_style": 3})";
  EXPECT_EQ(load_error(json, norm_weights(std::vector<float>(2 * C * S + 1), bias)),
            "weight dec.0.norm.fc.weight holds 25 elements, expected 24");
  EXPECT_EQ(load_error(json, norm_weights(fc, std::vector<float>(C))),
            "weight dec.0.norm.fc.bias holds 4 elements, expected 8");
  ByteMap bad_norm = norm_weights(fc, bias);
  bad_norm["dec.0.norm.norm.weight"] = test::bytes_of(std::vector<float>(C + 1));
  EXPECT_EQ(load_error(json, bad_norm), "weight dec.0.norm.norm.weight holds 5 elements, expected 4");
  EXPECT_EQ(load_error(R"({"C_style": 3})", norm_weights(fc, bias)),
            "node 'dec.0.norm': C and C_style must be positive, got 0 and 3");

  auto unloaded = make_norm("ada_layer_norm_fp32", json, {});
  EXPECT_EQ(test::error_of([&] {
              test::run_layer<float>(*unloaded, {&x, &style}, {{C, T, 1}, {S, 1, 1}});
            }),
            "missing weight tensor: dec.0.norm.fc.weight");
}
