// RMS norm and layer norm: every tier against the portable kernels bit for bit (row blocks and
// column blocks cut at every edge, in place, with and without affine weights), the portable kernels
// against a float64 reference, the fixed points of both norms, and the layers' weight errors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "kernel_tier_loop.h"
#include "kernels/normalization.h"
#include "small_layer_harness.h"
#include "test_support.h"

using namespace trevalon;
namespace test = trevalon::testing;  // "testing" alone would also name the GoogleTest namespace
using test::random_floats;

namespace {

constexpr float kSentinel = -12345.5f;

// Row sizes around the 8- and 16-row blocks and column counts around the 8/16-lane blocks, plus the
// C <= 3 rule of the RMS norm and a transformer width.
constexpr int kRows[] = {1, 3, 8, 15, 16, 17, 33};
constexpr int kCols[] = {1, 2, 3, 4, 7, 8, 9, 16, 17, 31, 100, 768};

struct Case {
  int rows, cols;
  std::vector<float> x, gamma, beta;
};

Case make_case(int rows, int cols, uint32_t seed) {
  Case c{rows, cols, {}, {}, {}};
  // An offset mean makes the two passes of the layer norm matter.
  c.x = random_floats(size_t(rows) * cols, 2.0f, 3.5f, seed);
  for (size_t i = 0; i < c.x.size(); i += 7) c.x[i] = -c.x[i];
  c.gamma = random_floats(size_t(cols), 0.5f, 1.5f, seed + 1);
  c.beta = random_floats(size_t(cols), -1.0f, 1.0f, seed + 2);
  return c;
}

template <class Kernel>
std::vector<float> run_rows(Kernel kernel, const Case& c, const float* gamma, const float* beta, float eps) {
  const size_t n = c.x.size();
  std::vector<float> out(n + 16, kSentinel);
  if constexpr (std::is_invocable_v<Kernel, const float*, const float*, float*, int, int, float>)
    kernel(c.x.data(), gamma, out.data(), c.rows, c.cols, eps);
  else
    kernel(c.x.data(), gamma, beta, out.data(), c.rows, c.cols, eps);
  for (size_t i = n; i < out.size(); ++i) EXPECT_EQ(out[i], kSentinel) << "written past the rows";
  out.resize(n);
  return out;
}

void expect_same_bits(const std::vector<float>& got, const std::vector<float>& want,
                      const std::string& what) {
  ASSERT_EQ(got.size(), want.size());
  EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(float)), 0) << what;
}

double ref_layer_norm(const float* x, int C, int c, float g, float b, double eps) {
  double m = 0, v = 0;
  for (int i = 0; i < C; ++i) m += x[i];
  m /= C;
  for (int i = 0; i < C; ++i) v += (x[i] - m) * (x[i] - m);
  return (x[c] - m) / std::sqrt(v / C + eps) * g + b;
}

double ref_rms_norm(const float* x, int C, int c, float g, double eps) {
  double s = 0;
  for (int i = 0; i < C; ++i) s += double(x[i]) * x[i];
  return x[c] / std::sqrt(s / C + eps) * g;
}

}  // namespace

TEST(NormalizationKernels, EveryTierGivesThePortableBits) {
  uint32_t seed = 1;
  test::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
    for (int rows : kRows)
      for (int cols : kCols) {
        const Case c = make_case(rows, cols, seed++);
        const std::string at = std::to_string(rows) + " x " + std::to_string(cols);
        expect_same_bits(run_rows(t.rms_norm_f32, c, c.gamma.data(), nullptr, 1e-6f),
                         run_rows(rms_norm_f32_portable, c, c.gamma.data(), nullptr, 1e-6f), "rms " + at);
        expect_same_bits(run_rows(t.rms_norm_f32, c, nullptr, nullptr, 1e-6f),
                         run_rows(rms_norm_f32_portable, c, nullptr, nullptr, 1e-6f), "rms unit " + at);
        // Each combination of present and absent affine weights.
        for (int mask = 0; mask < 4; ++mask) {
          const float* g = mask & 1 ? c.gamma.data() : nullptr;
          const float* b = mask & 2 ? c.beta.data() : nullptr;
          expect_same_bits(run_rows(t.layer_norm_f32, c, g, b, 1e-5f),
                           run_rows(layer_norm_f32_portable, c, g, b, 1e-5f),
                           "layer norm " + at + " affine " + std::to_string(mask));
        }
      }
  });
}

TEST(NormalizationKernels, InPlaceGivesTheSameBits) {
  test::for_each_cpu_tier([](CpuTier, const KernelTable& t) {
    for (int rows : {5, 16, 37}) {
      const Case c = make_case(rows, 45, 77);
      std::vector<float> ln = c.x, rms = c.x;
      t.layer_norm_f32(ln.data(), c.gamma.data(), c.beta.data(), ln.data(), rows, 45, 1e-6f);
      t.rms_norm_f32(rms.data(), c.gamma.data(), rms.data(), rows, 45, 1e-6f);
      expect_same_bits(ln, run_rows(layer_norm_f32_portable, c, c.gamma.data(), c.beta.data(), 1e-6f),
                       "layer");
      expect_same_bits(rms, run_rows(rms_norm_f32_portable, c, c.gamma.data(), nullptr, 1e-6f), "rms");
    }
  });
}

TEST(NormalizationKernels, PortableMatchesAFloat64Reference) {
  for (int cols : {1, 3, 4, 64, 768}) {
    const Case c = make_case(6, cols, 11);
    const auto ln = run_rows(layer_norm_f32_portable, c, c.gamma.data(), c.beta.data(), 1e-5f);
    const auto rms = run_rows(rms_norm_f32_portable, c, c.gamma.data(), nullptr, 1e-5f);
    for (int r = 0; r < c.rows; ++r)
      for (int k = 0; k < cols; ++k) {
        const float* x = c.x.data() + size_t(r) * cols;
        const size_t i = size_t(r) * cols + k;
        EXPECT_NEAR(ln[i], ref_layer_norm(x, cols, k, c.gamma[k], c.beta[k], 1e-5), 2e-5) << cols;
        EXPECT_NEAR(rms[i], ref_rms_norm(x, cols, k, c.gamma[k], 1e-5), 2e-5) << cols;
      }
  }
}

// The mean is (sum x) * (1/C): exact for these rows (dyadic values, C a power of two), so every
// deviation is 0 and the output is beta. Other constant rows can miss by the rounding of the mean.
TEST(NormalizationKernels, ConstantRowsGiveBetaAndZeroRowsGiveZero) {
  test::for_each_cpu_tier([](CpuTier, const KernelTable& t) {
    for (int cols : {4, 16, 64, 1024}) {
      Case c = make_case(19, cols, 5);
      for (int r = 0; r < c.rows; ++r)
        for (int k = 0; k < cols; ++k) c.x[size_t(r) * cols + k] = 0.375f * float(r % 7) - 1.25f;
      const auto ln = run_rows(t.layer_norm_f32, c, c.gamma.data(), c.beta.data(), 1e-6f);
      for (size_t i = 0; i < ln.size(); ++i) ASSERT_EQ(ln[i], c.beta[i % cols]) << cols << " at " << i;
    }
    for (int cols : {1, 3, 4, 17, 768}) {
      Case c = make_case(19, cols, 6);
      std::fill(c.x.begin(), c.x.end(), 0.0f);
      for (float y : run_rows(t.rms_norm_f32, c, c.gamma.data(), nullptr, 1e-6f)) ASSERT_EQ(y, 0.0f) << cols;
    }
  });
}

TEST(NormalizationLayers, RunTheirKernelsWithTheNodesEpsilon) {
  const int C = 24, T = 5;
  const Case c = make_case(T, C, 3);
  test::WeightMap w{{"ln.gamma", c.gamma}, {"ln.beta", c.beta}};
  auto layer_norm = test::make_layer("layernorm_fp32", R"({"eps": 0.25})", w, "ln");
  auto rms_norm = test::make_layer("rms_norm_fp32", R"({"args": {"eps": 0.25}})", w, "ln");
  std::vector<float> x = c.x;
  const auto ln = test::run_layer<float>(*layer_norm, {&x}, {{C, T, 1}});
  const auto rms = test::run_layer<float>(*rms_norm, {&x}, {{C, T, 1}});
  EXPECT_EQ(ln.shape, (TensorShape{C, T, 1}));
  EXPECT_EQ(rms.shape, (TensorShape{C, T, 1}));
  for (int r = 0; r < T; ++r)
    for (int k = 0; k < C; ++k) {
      const float* row = x.data() + size_t(r) * C;
      EXPECT_NEAR(ln.out[size_t(r) * C + k], ref_layer_norm(row, C, k, c.gamma[k], c.beta[k], 0.25), 1e-5);
      EXPECT_NEAR(rms.out[size_t(r) * C + k], ref_rms_norm(row, C, k, c.gamma[k], 0.25), 1e-5);
    }
}

TEST(NormalizationLayers, RefuseMissingOrMisSizedWeights) {
  std::vector<float> x(12, 1.0f);
  const std::vector<TensorShape> shape{{4, 3, 1}};
  const std::vector<float> four(4, 1.0f), five(5, 1.0f);
  auto run = [&](const char* op, const test::WeightMap& w) {
    auto layer = test::make_layer(op, "{}", w, "blk.norm");
    return test::error_of([&] { test::run_layer<float>(*layer, {&x}, shape); });
  };
  EXPECT_EQ(run("layernorm_fp32", {{"blk.norm.beta", four}}), "missing weight tensor: blk.norm.gamma");
  EXPECT_EQ(run("layernorm_fp32", {{"blk.norm.gamma", four}}), "missing weight tensor: blk.norm.beta");
  EXPECT_EQ(run("rms_norm_fp32", {}), "missing weight tensor: blk.norm.gamma");
  EXPECT_EQ(run("layernorm_fp32", {{"blk.norm.gamma", four}, {"blk.norm.beta", five}}),
            "weight blk.norm.beta holds 5 elements, expected 4");
  EXPECT_EQ(run("rms_norm_fp32", {{"blk.norm.gamma", five}}),
            "weight blk.norm.gamma holds 5 elements, expected 4");
  auto layer = test::make_layer("rms_norm_fp32", "{}", {{"blk.norm.gamma", four}}, "blk.norm");
  EXPECT_EQ(test::error_of([&] { test::run_layer<float>(*layer, {}, {}); }),
            "node 'blk.norm' needs 1 inputs, got 0");
}
