// Sequence-projection kernels: the float row product against float64 and against the k-ordered
// fused sum on every tier, the fake quantisation against its formula, and the dynamic-row int8
// product and int8 matrix-vector product against exact references, bit for bit on every tier and
// at every thread count.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "backend/cpu_backend.h"
#include "kernel_tier_loop.h"
#include "kernels/gemm_f32.h"
#include "kernels/gemm_i8.h"
#include "kernels/packed_weights.h"
#include "kernels/seq_gemm.h"
#include "test_support.h"
#include "thread_counts.h"

namespace trevalon {
namespace {

using testing::for_each_cpu_tier;
using testing::random_floats;

std::vector<int8_t> random_i8(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> d(-128, 127);
  std::vector<int8_t> v(n);
  for (auto& x : v) x = int8_t(d(rng));
  return v;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// --- float rows ---------------------------------------------------------------------------------

struct RowsShape {
  int T, K, N;
};

TEST(GemmF32Rows, MatchesFusedSumOnEveryTierWithAndWithoutPackedWeights) {
  const RowsShape shapes[] = {{1, 1, 1}, {1, 64, 20}, {5, 7, 5}, {17, 33, 19}, {40, 130, 37}, {3, 0, 6}};
  for (const RowsShape& s : shapes) {
    SCOPED_TRACE(std::to_string(s.T) + "x" + std::to_string(s.K) + "x" + std::to_string(s.N));
    const auto x = random_floats(size_t(s.T) * s.K, -1.0f, 1.0f, 1);
    const auto w = random_floats(size_t(s.N) * s.K, -1.0f, 1.0f, 2);
    const auto bias = random_floats(size_t(s.N), -1.0f, 1.0f, 3);
    std::vector<float> expected(size_t(s.T) * s.N);
    gemm_f32_reference(x.data(), w.data(), bias.data(), expected.data(), false, s.T, s.K, s.N);
    // The float64 sum agrees to float rounding: the fused chain is the right product.
    for (int t = 0; t < s.T; ++t)
      for (int o = 0; o < s.N; ++o) {
        double ref = bias[o];
        for (int k = 0; k < s.K; ++k) ref += double(x[size_t(t) * s.K + k]) * w[size_t(o) * s.K + k];
        ASSERT_NEAR(expected[size_t(t) * s.N + o], ref, 1e-5 * (1 + s.K));
      }
    PackedWeights<float> packed(pack_weights_f32(w.data(), s.N, s.K), &free_packed_f32);
    for_each_cpu_tier([&](CpuTier, const KernelTable& k) {
      std::vector<float> direct(expected.size()), on_panels(expected.size()), prepared_out(expected.size());
      k.gemm_f32_rows(x.data(), w.data(), bias.data(), direct.data(), s.T, s.K, s.N, false, nullptr, nullptr);
      k.gemm_f32_rows(x.data(), nullptr, bias.data(), on_panels.data(), s.T, s.K, s.N, false, packed.get(),
                      nullptr);
      EXPECT_TRUE(same_bits(direct, expected));
      EXPECT_TRUE(same_bits(on_panels, expected));
      // The driver on the tier's prepared form, as the layer calls it.
      const KernelDrivers& d = cpu_kernel_drivers();
      PreparedWeightsF32 form;
      if (d.prepare_f32) d.prepare_f32(packed.get(), s.N, s.K, d.format, form);
      d.gemm_f32_rows(x.data(), bias.data(), prepared_out.data(), s.T, s.K, s.N, false,
                      form.get() ? nullptr : packed.get(), form.get());
      EXPECT_TRUE(same_bits(prepared_out, expected));
    });
  }
}

TEST(GemmF32Rows, GeluIsTheTablesGeluOverAllOutputsAndNoBiasMeansZero) {
  const int T = 9, K = 21, N = 13;
  const auto x = random_floats(size_t(T) * K, -2.0f, 2.0f, 4);
  const auto w = random_floats(size_t(N) * K, -1.0f, 1.0f, 5);
  PackedWeights<float> packed(pack_weights_f32(w.data(), N, K), &free_packed_f32);
  for_each_cpu_tier([&](CpuTier, const KernelTable& k) {
    std::vector<float> plain(size_t(T) * N), with_gelu(plain.size()), direct_gelu(plain.size());
    k.gemm_f32_rows(x.data(), w.data(), nullptr, plain.data(), T, K, N, false, packed.get(), nullptr);
    k.gemm_f32_rows(x.data(), w.data(), nullptr, with_gelu.data(), T, K, N, true, packed.get(), nullptr);
    k.gemm_f32_rows(x.data(), w.data(), nullptr, direct_gelu.data(), T, K, N, true, nullptr, nullptr);
    std::vector<float> expected(plain.size());
    gemm_f32_reference(x.data(), w.data(), nullptr, expected.data(), false, T, K, N);
    EXPECT_TRUE(same_bits(plain, expected));
    k.gelu_f32(expected.data(), int(expected.size()));
    EXPECT_TRUE(same_bits(with_gelu, expected));
    EXPECT_TRUE(same_bits(direct_gelu, expected));
  });
}

// --- fake quantisation --------------------------------------------------------------------------

// The formula value by value, on a range widened to take in 0.
std::vector<float> fake_quantized_reference(std::vector<float> v) {
  float lo = v[0], hi = v[0];
  for (float x : v) lo = std::min(lo, x), hi = std::max(hi, x);
  if (hi == lo) return v;
  lo = std::min(lo, 0.0f), hi = std::max(hi, 0.0f);
  const float scale = (hi - lo) * 0.003921569f;
  const float z = std::round(std::min(std::max(-lo / scale, 0.0f), 255.0f));
  const float inv = 1.0f / scale;
  for (float& x : v) x = (std::min(std::max(std::round(x * inv) + z, 0.0f), 255.0f) - z) * scale;
  return v;
}

TEST(FakeQuantize, FollowsTheFormulaSnapsToAtMost256LevelsAndKeepsConstants) {
  for (auto [lo, hi] : {std::pair{-1.0f, 1.0f}, {0.5f, 3.0f}, {-7.0f, -2.0f}, {-0.001f, 100.0f}}) {
    auto v = random_floats(1000, lo, hi, 6);
    const auto expected = fake_quantized_reference(v);
    const auto original = v;
    fake_quantize_f32(v.data(), v.size());
    EXPECT_TRUE(same_bits(v, expected));
    const float step = (std::max(hi, 0.0f) - std::min(lo, 0.0f)) / 255.0f;
    std::set<float> levels(v.begin(), v.end());
    EXPECT_LE(levels.size(), 256u);
    // Every value within half a step, also for ranges that do not hold 0 ([0.5, 3] once clipped
    // its top to 2.5).
    for (size_t i = 0; i < v.size(); ++i) EXPECT_NEAR(v[i], original[i], 0.51f * step + 1e-5f);
  }
  for (float c : {0.0f, 1e-7f, 3.25f, -40.0f}) {
    std::vector<float> v(17, c);
    fake_quantize_f32(v.data(), v.size());
    for (float x : v) EXPECT_EQ(x, c);
  }
  std::vector<float> one{2.5f};
  fake_quantize_f32(one.data(), 1);
  EXPECT_EQ(one[0], 2.5f);
}

// --- dynamic-row int8 -----------------------------------------------------------------------------

struct QuantizedRow {
  std::vector<int8_t> q;
  float s;
};

// One row as written: s = max|x| x 0.007874016 (at least 1e-8), q = clamp(round(x / s)).
QuantizedRow quantize_reference(const float* x, int K) {
  float amax = 0.0f;
  for (int k = 0; k < K; ++k) amax = std::max(amax, std::fabs(x[k]));
  QuantizedRow r{std::vector<int8_t>(size_t(K)), std::max(amax * 0.007874016f, 1e-8f)};
  const float inv = 1.0f / r.s;
  for (int k = 0; k < K; ++k) r.q[k] = int8_t(std::min(std::max(std::round(x[k] * inv), -128.0f), 127.0f));
  return r;
}

int32_t dot_i8(const int8_t* a, const int8_t* b, int K) {
  int32_t acc = 0;
  for (int k = 0; k < K; ++k) acc += int32_t(a[k]) * b[k];
  return acc;
}

TEST(DynamicRowQuantisation, RoundsHalvesAwayFromZeroOnEveryTier) {
  // max |x| = 127 gives s = 1 exactly, so these values sit on halves.
  const std::vector<float> row{127.0f, 63.5f, -63.5f, 0.5f, -0.5f, 2.5f,  -2.5f, 0.49999997f, -126.5f,
                               1.5f,   0.0f,  -0.0f,  3.5f, 4.5f,  -5.5f, 6.5f,  7.5f};
  const std::vector<int8_t> expected{127, 64, -64, 1, -1, 3, -3, 0, -127, 2, 0, 0, 4, 5, -6, 7, 8};
  for_each_cpu_tier([&](CpuTier, const KernelTable&) {
    std::vector<int8_t> q(row.size());
    float s = 0;
    cpu_kernel_drivers().quantize_rows_i8(row.data(), 1, int(row.size()), q.data(), &s);
    EXPECT_EQ(s, 1.0f);
    EXPECT_EQ(q, expected);
  });
}

TEST(DynamicRowQuantisation, TinyRowsUseTheFloorScaleAndNaNsAreSkippedAlike) {
  std::vector<float> rows(3 * 40);
  for (int k = 0; k < 40; ++k) {
    rows[k] = 1e-9f * float(k - 20);                          // amax below 127e-8: scale 1e-8
    rows[40 + k] = k == 7 ? std::nanf("") : float(k) * 0.1f;  // a NaN among ordinary values
    rows[80 + k] = 0.0f;
  }
  std::vector<int8_t> q0(rows.size());
  float s0[3];
  quantize_rows_i8_portable(rows.data(), 3, 40, q0.data(), s0);
  EXPECT_EQ(s0[0], 1e-8f);
  EXPECT_EQ(s0[1], (39.0f * 0.1f) * 0.007874016f);
  EXPECT_EQ(s0[2], 1e-8f);
  EXPECT_EQ(q0[47], -128);  // NaN takes the lower bound
  for_each_cpu_tier([&](CpuTier, const KernelTable&) {
    std::vector<int8_t> q(rows.size());
    float s[3];
    cpu_kernel_drivers().quantize_rows_i8(rows.data(), 3, 40, q.data(), s);
    EXPECT_EQ(q, q0);
    EXPECT_EQ(std::memcmp(s, s0, sizeof s), 0);
  });
}

TEST(GemmI8DynamicRows, MatchesTheFormulaBitForBitOnEveryTier) {
  // The last shape is a projection's: weights too large to widen in one piece, rows in many tiles.
  const RowsShape shapes[] = {{1, 1, 1},    {1, 64, 8},  {3, 5, 9}, {17, 67, 33},
                              {64, 96, 40}, {2, 0, 3},   {131, 771, 776}};
  for (const RowsShape& s : shapes) {
    SCOPED_TRACE(std::to_string(s.T) + "x" + std::to_string(s.K) + "x" + std::to_string(s.N));
    auto x = random_floats(size_t(s.T) * s.K, -3.0f, 3.0f, 7);
    if (s.T > 1) std::fill(x.begin() + s.K, x.begin() + 2 * s.K, 0.0f);  // a zero row: scale 1e-8
    const auto w = random_i8(size_t(s.N) * s.K, 8);
    const auto scales = random_floats(size_t(s.N), 0.001f, 0.02f, 9);
    const auto bias = random_floats(size_t(s.N), -1.0f, 1.0f, 10);
    const std::vector<int64_t> zero(size_t(s.N), 0);
    std::vector<float> expected(size_t(s.T) * s.N), expected_no_bias(expected.size());
    for (int t = 0; t < s.T; ++t) {
      const QuantizedRow r = quantize_reference(x.data() + size_t(t) * s.K, s.K);
      for (int o = 0; o < s.N; ++o) {
        const float v = float(dot_i8(r.q.data(), w.data() + size_t(o) * s.K, s.K)) * scales[o] * r.s;
        expected[size_t(t) * s.N + o] = v + bias[o];
        expected_no_bias[size_t(t) * s.N + o] = v;
      }
    }
    PackedWeights<int8_t> packed(pack_weights_i8(w.data(), s.N, s.K), &free_packed_i8);
    for_each_cpu_tier([&](CpuTier, const KernelTable& k) {
      const KernelDrivers& d = cpu_kernel_drivers();
      PreparedWeightsI8 form;
      if (d.prepare_i8)
        d.prepare_i8(packed.get(), s.N, s.K, nullptr, nullptr, nullptr, 0, false, d.format, form);
      std::vector<int8_t> q(size_t(s.T) * s.K + 1);
      std::vector<float> f(s.N), out(expected.size()), slot_out(expected.size()), unprepared(expected.size());
      gemm_i8_dynamic_rows(x.data(), packed.get(), scales.data(), zero.data(), bias.data(), q.data(),
                           f.data(), out.data(), s.T, s.K, s.N, d, &form);
      gemm_i8_dynamic_rows(x.data(), packed.get(), scales.data(), zero.data(), nullptr, q.data(), f.data(),
                           unprepared.data(), s.T, s.K, s.N, d, nullptr);
      k.seq_gemm_i8(x.data(), packed.get(), scales.data(), zero.data(), bias.data(), q.data(), f.data(),
                    slot_out.data(), s.T, s.K, s.N, false, nullptr);
      EXPECT_TRUE(same_bits(out, expected));
      EXPECT_TRUE(same_bits(unprepared, expected_no_bias));
      EXPECT_TRUE(same_bits(slot_out, expected));
      k.seq_gemm_i8(x.data(), packed.get(), scales.data(), zero.data(), bias.data(), q.data(), f.data(),
                    slot_out.data(), s.T, s.K, s.N, true, nullptr);
      std::vector<float> gelu = expected;
      if (!gelu.empty()) k.gelu_f32(gelu.data(), int(gelu.size()));
      EXPECT_TRUE(same_bits(slot_out, gelu));
      // The layers' path: GELU in the product's registers where the tier fuses it, or a pass
      // (counts that are not a multiple of four end in the scalar tail).
      gemm_i8_dynamic_rows(x.data(), packed.get(), scales.data(), zero.data(), bias.data(), q.data(),
                           f.data(), out.data(), s.T, s.K, s.N, d, &form, k.gelu_f32);
      EXPECT_TRUE(same_bits(out, gelu));
    });
  }
}

TEST(GemvI8Dynamic, MatchesTheFormulaBitForBitOnEveryTier) {
  for (int K : {1, 15, 16, 17, 63, 64, 65, 200, 1031}) {
    for (int N : {1, 3, 4, 9}) {
      SCOPED_TRACE(std::to_string(K) + "x" + std::to_string(N));
      const auto x = random_floats(size_t(K), -5.0f, 5.0f, uint32_t(K));
      auto w = random_i8(size_t(N) * K, uint32_t(K + N));
      std::fill(w.begin(), w.begin() + std::min<size_t>(w.size(), 70), int8_t(-128));  // extreme weights
      const auto scales = random_floats(size_t(N), 0.001f, 0.02f, 11);
      const auto bias = random_floats(size_t(N), -1.0f, 1.0f, 12);
      const QuantizedRow r = quantize_reference(x.data(), K);
      std::vector<float> expected(N), expected_no_bias(N);
      for (int o = 0; o < N; ++o) {
        const float acc = float(dot_i8(r.q.data(), w.data() + size_t(o) * K, K));
        expected[o] = bias[o] + scales[o] * (r.s * acc);
        expected_no_bias[o] = 0.0f + scales[o] * (r.s * acc);
      }
      for_each_cpu_tier([&](CpuTier, const KernelTable& k) {
        std::vector<float> out(size_t(N) + 1, -7.0f), no_bias(N);
        k.gemv_i8_dynamic(x.data(), w.data(), scales.data(), bias.data(), out.data(), K, N, nullptr);
        k.gemv_i8_dynamic(x.data(), w.data(), scales.data(), nullptr, no_bias.data(), K, N, nullptr);
        EXPECT_EQ(out.back(), -7.0f);
        out.pop_back();
        EXPECT_TRUE(same_bits(out, expected));
        EXPECT_TRUE(same_bits(no_bias, expected_no_bias));
      });
    }
  }
}

// --- threads ------------------------------------------------------------------------------------

// Row counts that are not multiples of the ranges' blocks, one row, fewer rows than threads, and
// products whose GELU count ends in a scalar tail (T x N not a multiple of four).
TEST(SequenceProjectionThreads, EveryProductGivesTheSameBytesAtEveryThreadCount) {
  const RowsShape shapes[] = {{1, 40, 9}, {3, 17, 5}, {19, 64, 33}, {37, 96, 40}, {70, 33, 7}};
  for (const RowsShape& s : shapes) {
    SCOPED_TRACE(std::to_string(s.T) + "x" + std::to_string(s.K) + "x" + std::to_string(s.N));
    const auto x = random_floats(size_t(s.T) * s.K, -3.0f, 3.0f, 31);
    const auto wf = random_floats(size_t(s.N) * s.K, -1.0f, 1.0f, 32);
    const auto wi = random_i8(size_t(s.N) * s.K, 33);
    const auto scales = random_floats(size_t(s.N), 0.001f, 0.02f, 34);
    const auto bias = random_floats(size_t(s.N), -1.0f, 1.0f, 35);
    const std::vector<int64_t> zero(size_t(s.N), 0);
    PackedWeights<float> panels(pack_weights_f32(wf.data(), s.N, s.K), &free_packed_f32);
    PackedWeights<int8_t> packed(pack_weights_i8(wi.data(), s.N, s.K), &free_packed_i8);
    for_each_cpu_tier([&](CpuTier, const KernelTable& k) {
      const KernelDrivers& d = cpu_kernel_drivers();
      PreparedWeightsI8 form;
      if (d.prepare_i8)
        d.prepare_i8(packed.get(), s.N, s.K, nullptr, nullptr, nullptr, 0, false, d.format, form);
      const size_t outs = size_t(s.T) * s.N;
      testing::expect_same_bytes_at_thread_counts(
          [&] {
            // Every product into one vector: float rows direct and on panels (with GELU), the
            // dynamic-row int8 product through the slot and the drivers (fused GELU and not),
            // and the decode product of the first row.
            std::vector<float> all(5 * outs + x.size() + s.N);
            std::vector<int8_t> q(size_t(s.T) * s.K);
            std::vector<float> f(s.N);
            k.gemm_f32_rows(x.data(), wf.data(), bias.data(), all.data(), s.T, s.K, s.N, true, nullptr,
                            nullptr);
            k.gemm_f32_rows(x.data(), nullptr, bias.data(), all.data() + outs, s.T, s.K, s.N, true,
                            panels.get(), nullptr);
            k.seq_gemm_i8(x.data(), packed.get(), scales.data(), zero.data(), bias.data(), q.data(), f.data(),
                          all.data() + 2 * outs, s.T, s.K, s.N, true, nullptr);
            gemm_i8_dynamic_rows(x.data(), packed.get(), scales.data(), zero.data(), bias.data(), q.data(),
                                 f.data(), all.data() + 3 * outs, s.T, s.K, s.N, d, &form, k.gelu_f32);
            gemm_i8_dynamic_rows(x.data(), packed.get(), scales.data(), zero.data(), nullptr, q.data(),
                                 f.data(), all.data() + 4 * outs, s.T, s.K, s.N, d, nullptr);
            std::copy(x.begin(), x.end(), all.begin() + 5 * outs);
            fake_quantize_f32(all.data() + 5 * outs, x.size());
            k.gemv_i8_dynamic(x.data(), wi.data(), scales.data(), bias.data(),
                              all.data() + 5 * outs + x.size(), s.K, s.N, nullptr);
            return all;
          },
          "sequence products");
    });
  }
}

// The decode product over many rows, the shape a decoder's projections have: ranges of groups of
// four rows and a leftover row, every range reading the caller's quantised vector.
TEST(SequenceProjectionThreads, DecodeProductMatchesTheFormulaAtEveryThreadCount) {
  const int K = 200, N = 1027;
  const auto x = random_floats(size_t(K), -5.0f, 5.0f, 41);
  const auto w = random_i8(size_t(N) * K, 42);
  const auto scales = random_floats(size_t(N), 0.001f, 0.02f, 43);
  const QuantizedRow r = quantize_reference(x.data(), K);
  std::vector<float> expected(N);
  for (int o = 0; o < N; ++o)
    expected[o] = 0.0f + scales[o] * (r.s * float(dot_i8(r.q.data(), w.data() + size_t(o) * K, K)));
  for_each_cpu_tier([&](CpuTier, const KernelTable& k) {
    for (int threads : {1, 2, 3, 4}) {
      testing::ScopedThreads scope(threads);
      std::vector<float> out(N);
      k.gemv_i8_dynamic(x.data(), w.data(), scales.data(), nullptr, out.data(), K, N, nullptr);
      EXPECT_TRUE(same_bits(out, expected)) << threads << " threads";
    }
  });
}

}  // namespace
}  // namespace trevalon
