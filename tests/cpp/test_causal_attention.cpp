// The causal attention core: the kernel against a float64 reference on every tier (tiers agree bit
// for bit), incremental passes against one pass, the cache rows, grouped heads; the layer's
// parameter and input checks; the model's position count and its "KV cache full" refusal.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "arch/arch_loader.h"
#include "backend/cpu_backend.h"
#include "kernels/causal_attention.h"
#include "kernel_tier_loop.h"
#include "layers/layer_factory.h"
#include "runtime/inference_model.h"
#include "test_support.h"
#include "thread_counts.h"

namespace trevalon {
namespace {

using testing::expect_error;
using testing::random_floats;

struct Shape {
  int nq, nkv, hd;
};

// Causal attention with rotary embedding over all n positions, in float64.
std::vector<double> reference(const std::vector<float>& q, const std::vector<float>& k,
                              const std::vector<float>& v, int n, Shape s, float theta) {
  const int half = s.hd / 2, group = s.nq / s.nkv;
  auto rotate = [&](std::vector<double>& x, int heads) {
    if (s.hd < 2) return;
    for (int t = 0; t < n; ++t)
      for (int h = 0; h < heads; ++h)
        for (int i = 0; i < half; ++i) {
          const double f = std::pow(double(theta), -2.0 * i / s.hd), a = f * t;
          double* p = &x[(size_t(t) * heads + h) * s.hd];
          const double x1 = p[i], x2 = p[i + half];
          p[i] = std::cos(a) * x1 - std::sin(a) * x2;
          p[i + half] = std::cos(a) * x2 + std::sin(a) * x1;
        }
  };
  std::vector<double> qd(q.begin(), q.end()), kd(k.begin(), k.end());
  rotate(qd, s.nq);
  rotate(kd, s.nkv);
  std::vector<double> out(size_t(n) * s.nq * s.hd);
  for (int t = 0; t < n; ++t)
    for (int g = 0; g < s.nq; ++g) {
      const int kh = g / group;
      std::vector<double> w(t + 1);
      double m = -1e300, total = 0;
      for (int j = 0; j <= t; ++j) {
        double dot = 0;
        for (int d = 0; d < s.hd; ++d)
          dot += qd[(size_t(t) * s.nq + g) * s.hd + d] * kd[(size_t(j) * s.nkv + kh) * s.hd + d];
        w[j] = dot / std::sqrt(double(s.hd));
        m = std::max(m, w[j]);
      }
      for (double& x : w) total += (x = std::exp(x - m));
      for (int d = 0; d < s.hd; ++d) {
        double acc = 0;
        for (int j = 0; j <= t; ++j) acc += w[j] / total * v[(size_t(j) * s.nkv + kh) * s.hd + d];
        out[(size_t(t) * s.nq + g) * s.hd + d] = acc;
      }
    }
  return out;
}

// Runs the table's kernel over the chunks in turn on one cache; returns every output row.
struct CoreRun {
  std::vector<float> out, cache;
};
CoreRun run_chunks(const KernelTable& table, const std::vector<float>& q, const std::vector<float>& k,
                   const std::vector<float>& v, const std::vector<int>& chunks, int capacity, Shape s,
                   float theta) {
  CoreRun r;
  r.cache.assign(causal_attn_cache_floats(capacity, s.nkv, s.hd), 0.0f);
  int P = 0;
  for (int T : chunks) {
    std::vector<float> scratch(causal_attn_scratch_floats(T, P, s.nq, s.nkv, s.hd));
    std::vector<float> out(size_t(T) * s.nq * s.hd + 1, 7.0f);  // one guard value
    const size_t qo = size_t(P) * s.nq * s.hd, ko = size_t(P) * s.nkv * s.hd;
    table.causal_attn_core_f32(q.data() + qo, k.data() + ko, v.data() + ko, r.cache.data(), P, capacity,
                               out.data(), T, theta, s.nq, s.nkv, s.hd, P, 0, scratch.data(), nullptr);
    EXPECT_EQ(out.back(), 7.0f) << "output written past its end";
    r.out.insert(r.out.end(), out.begin(), out.end() - 1);
    P += T;
  }
  return r;
}

TEST(CausalAttentionKernel, MatchesReferenceOnEveryTierAndTiersAgreeBitForBit) {
  const struct {
    Shape s;
    int n;
    float theta;
  } cases[] = {
      {{2, 1, 8}, 5, 10000.0f},    {{8, 2, 16}, 7, 10000.0f}, {{9, 3, 64}, 37, 100000.0f},
      {{4, 4, 3}, 4, 500.0f},      {{2, 1, 1}, 6, 10000.0f},  {{3, 1, 17}, 19, 10000.0f},
      {{1, 1, 130}, 33, 10000.0f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "nq " << c.s.nq << " nkv " << c.s.nkv << " hd " << c.s.hd << " n " << c.n);
    const auto q = random_floats(size_t(c.n) * c.s.nq * c.s.hd, -2.0f, 2.0f, 1);
    const auto k = random_floats(size_t(c.n) * c.s.nkv * c.s.hd, -2.0f, 2.0f, 2);
    const auto v = random_floats(size_t(c.n) * c.s.nkv * c.s.hd, -1.0f, 1.0f, 3);
    const auto want = reference(q, k, v, c.n, c.s, c.theta);
    std::vector<float> portable;
    testing::for_each_cpu_tier([&](CpuTier tier, const KernelTable& table) {
      const CoreRun r = run_chunks(table, q, k, v, {c.n}, c.n + 3, c.s, c.theta);
      for (size_t i = 0; i < want.size(); ++i)
        ASSERT_NEAR(r.out[i], want[i], 5e-5 + 5e-5 * std::fabs(want[i])) << i;
      if (tier == CpuTier::Portable) portable = r.out;
      EXPECT_EQ(r.out, portable) << "differs from the portable kernel";
      // Chunks (a prefill split in two, then single decode steps) give the same bits as one pass.
      const int first = c.n / 2;
      std::vector<int> chunks = {first, c.n - first - 2, 1, 1};
      if (chunks[1] <= 0) chunks = {c.n};
      EXPECT_EQ(run_chunks(table, q, k, v, chunks, c.n + 3, c.s, c.theta).out, r.out);
    });
  }
}

// A prefill then decode steps on one cache, at 1 to 4 threads: key heads fewer than threads, one
// query head per key head and groups of four and more, key blocks cut at every lane width.
TEST(CausalAttentionKernel, PrefillAndDecodeGiveTheSameBytesAndCacheAtEveryThreadCount) {
  const struct {
    Shape s;
    std::vector<int> chunks;
  } cases[] = {
      {{9, 3, 64}, {37, 1, 1}}, {{2, 1, 8}, {1, 1}}, {{6, 6, 17}, {20, 3, 1}}, {{10, 2, 32}, {70, 1}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "nq " << c.s.nq << " nkv " << c.s.nkv << " hd " << c.s.hd);
    int n = 0;
    for (int t : c.chunks) n += t;
    const auto q = random_floats(size_t(n) * c.s.nq * c.s.hd, -2.0f, 2.0f, 11);
    const auto k = random_floats(size_t(n) * c.s.nkv * c.s.hd, -2.0f, 2.0f, 12);
    const auto v = random_floats(size_t(n) * c.s.nkv * c.s.hd, -1.0f, 1.0f, 13);
    testing::for_each_cpu_tier([&](CpuTier, const KernelTable& table) {
      testing::expect_same_bytes_at_thread_counts(
          [&] {
            CoreRun r = run_chunks(table, q, k, v, c.chunks, n + 5, c.s, 10000.0f);
            r.out.insert(r.out.end(), r.cache.begin(), r.cache.end());
            return r.out;
          },
          "causal attention");
    });
  }
}

TEST(CausalAttentionKernel, CacheHoldsRotatedKeysAndRawValuesAtTheirPositions) {
  const Shape s{2, 1, 4};
  const int n = 3, capacity = 5;
  const auto q = random_floats(size_t(n) * 8, -1.0f, 1.0f, 4);
  const auto k = random_floats(size_t(n) * 4, -1.0f, 1.0f, 5);
  const auto v = random_floats(size_t(n) * 4, -1.0f, 1.0f, 6);
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable& table) {
    const CoreRun r = run_chunks(table, q, k, v, {2, 1}, capacity, s, 100.0f);
    for (int t = 0; t < n; ++t)
      for (int i = 0; i < 2; ++i) {
        const float f = std::pow(100.0f, -(float(2 * i) * 0.25f)), a = f * float(t);
        const float x1 = k[t * 4 + i], x2 = k[t * 4 + i + 2];
        EXPECT_EQ(r.cache[t * 4 + i], std::cos(a) * x1 - std::sin(a) * x2);
        EXPECT_EQ(r.cache[t * 4 + i + 2], std::cos(a) * x2 + std::sin(a) * x1);
      }
    for (int i = 0; i < n * 4; ++i) EXPECT_EQ(r.cache[capacity * 4 + i], v[i]);
    // Rows past the held positions are not touched.
    for (int i = n * 4; i < capacity * 4; ++i) EXPECT_EQ(r.cache[i], 0.0f);
  });
}

TEST(CausalAttentionKernel, HeadDimOneIsNotRotatedAndGroupsMapToTheirKeyValueHead) {
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable& table) {
    const auto k1 = random_floats(4, -1.0f, 1.0f, 7);
    const CoreRun one = run_chunks(table, random_floats(8, -1.0f, 1.0f, 8), k1, random_floats(4, -1, 1, 9),
                                   {4}, 4, Shape{2, 1, 1}, 10000.0f);
    for (int t = 0; t < 4; ++t) EXPECT_EQ(one.cache[t], k1[t]);

    // Eight query heads over two key/value heads: values 1 in head 0 and -1 in head 1, so every
    // query head of 0..3 averages to 1 and of 4..7 to -1.
    const Shape s{8, 2, 4};
    std::vector<float> v(3 * 8);
    for (int t = 0; t < 3; ++t)
      for (int d = 0; d < 8; ++d) v[t * 8 + d] = d < 4 ? 1.0f : -1.0f;
    const CoreRun r = run_chunks(table, random_floats(3 * 32, -1, 1, 10), random_floats(3 * 8, -1, 1, 11), v,
                                 {3}, 3, s, 10000.0f);
    for (int t = 0; t < 3; ++t)
      for (int g = 0; g < 8; ++g)
        for (int d = 0; d < 4; ++d) EXPECT_NEAR(r.out[(t * 8 + g) * 4 + d], g < 4 ? 1.0f : -1.0f, 1e-6);
  });
}

TEST(CausalAttentionLayer, RefusesHeadCountsAtLoadAndBadInputsAtForward) {
  // The head counts are refused when the model loads the layer's (absent) weights.
  auto make = [](const std::string& params) {
    auto layer =
        create_layer(OpType::CausalAttnCoreFp32, testing::parse_node("{\"name\": \"att\"" + params + "}"));
    layer->name = "att";
    WeightGetter none = [](const std::string&, std::vector<int32_t>&, std::vector<uint8_t>&) {
      return false;
    };
    layer->load_weights(none);
    return layer;
  };
  expect_error([&] { make(", \"num_q_heads\": 0, \"num_kv_heads\": 1, \"head_dim\": 4"); },
               "node 'att': num_q_heads, num_kv_heads and head_dim must be positive, got 0, 1 and 4");
  expect_error([&] { make(", \"num_q_heads\": 2, \"num_kv_heads\": 2"); },
               "node 'att': num_q_heads, num_kv_heads and head_dim must be positive, got 2, 2 and 0");
  expect_error([&] { make(", \"num_q_heads\": 6, \"num_kv_heads\": 4, \"head_dim\": 4"); },
               "node 'att': num_q_heads 6 is not a multiple of num_kv_heads 4");

  auto layer = make(", \"num_q_heads\": 4, \"num_kv_heads\": 2, \"head_dim\": 2");
  layer->name = "att";
  EXPECT_TRUE(layer->uses_kv_cache());
  const TensorShape qs{8, 3, 1}, ks{4, 3, 1};
  EXPECT_EQ(layer->output_shape_multi(&qs, 1), qs);
  EXPECT_EQ(layer->output_shape_multi(nullptr, 0), TensorShape{});
  std::vector<float> qd(24), kd(12), vd(12), out(24);
  auto refs = [&](TensorShape a, TensorShape b, TensorShape c) {
    std::vector<TensorRef> r(8);
    r[0] = {{qd.data(), 0, qd.size() * 4}, a};
    r[1] = {{kd.data(), 0, kd.size() * 4}, b};
    r[2] = {{vd.data(), 0, vd.size() * 4}, c};
    return r;
  };
  const BufferView ov{out.data(), 0, out.size() * 4};
  ExecContext ctx;
  expect_error([&] { layer->forward(refs(qs, ks, ks).data(), 3, ov, &ctx); },
               "node 'att': no key/value cache is allocated");
  layer->allocate_kv_cache(4, &cpu_allocator());
  expect_error(
      [&] {
        layer->forward(refs(TensorShape{6, 3, 1}, ks, ks).data(), 3, ov, &ctx);
      },
      "node 'att': queries have 6 channels, expected 8 (heads x head_dim)");
  expect_error(
      [&] {
        layer->forward(refs(qs, ks, TensorShape{2, 3, 1}).data(), 3, ov, &ctx);
      },
      "node 'att': values have 2 channels, expected 4 (heads x head_dim)");
  expect_error(
      [&] {
        layer->forward(refs(qs, TensorShape{4, 2, 1}, ks).data(), 3, ov, &ctx);
      },
      "node 'att': keys have 2 positions, queries 3");
  ctx.position_offset = 2;
  expect_error([&] { layer->forward(refs(qs, ks, ks).data(), 3, ov, &ctx); },
               "node 'att': key/value cache of 4 positions cannot take 3 more after 2");
  ctx.position_offset = 1;
  EXPECT_EQ(layer->forward(refs(qs, ks, ks).data(), 3, ov, &ctx), qs);
}

// A core between three inputs, written as an architecture file.
std::string core_arch(int max_positions) {
  std::string root = max_positions >= 0 ? "\"max_positions\": " + std::to_string(max_positions) + ", " : "";
  return "{" + root +
         "\"inputs\": [{\"name\": \"q\", \"shape\": [1, 0, 1, 8], \"dtype\": \"float32\"},"
         " {\"name\": \"k\", \"shape\": [1, 0, 1, 4], \"dtype\": \"float32\"},"
         " {\"name\": \"v\", \"shape\": [1, 0, 1, 4], \"dtype\": \"float32\"}],"
         " \"outputs\": [{\"name\": \"y\"}], \"nodes\": [{\"name\": \"att\", \"op\": "
         "\"causal_attn_core_fp32\","
         " \"inputs\": [\"q\", \"k\", \"v\"], \"outputs\": [\"y\"], \"num_q_heads\": 2, \"num_kv_heads\": 1,"
         " \"head_dim\": 4}]}";
}

class CausalModelTest : public ::testing::Test {
 protected:
  std::unique_ptr<InferenceModel> model(int max_positions, int mode = 0) {
    return std::make_unique<InferenceModel>(dir_.write("a.json", core_arch(max_positions)),
                                            dir_.write("w.w1x1", testing::build_w1x1({})), mode);
  }
  // One pass over positions [first, first + T) of the fixed sequence; returns y.
  std::vector<float> pass(InferenceModel& m, int first, int T) {
    TensorMap in;
    const char* names[] = {"q", "k", "v"};
    const std::vector<float>* data[] = {&q_, &k_, &v_};
    const int width[] = {8, 4, 4};
    for (int i = 0; i < 3; ++i)
      in[names[i]] = ModelTensor{data[i]->data() + size_t(first) * width[i], {T, width[i]}, "float32", {}};
    const TensorMap out = m.forward(in);
    const ModelTensor& y = out.at("y");
    std::vector<float> r(y.storage.size() / 4);
    std::memcpy(r.data(), y.storage.data(), y.storage.size());
    return r;
  }
  testing::TempDir dir_;
  std::vector<float> q_ = random_floats(10 * 8, -1, 1, 20), k_ = random_floats(10 * 4, -1, 1, 21),
                     v_ = random_floats(10 * 4, -1, 1, 22);
};

TEST_F(CausalModelTest, PositionsAdvanceAcrossPassesAndEveryMemoryModeKeepsTheCache) {
  auto whole = model(-1);
  EXPECT_EQ(whole->kv_capacity(), 2048);
  const std::vector<float> all = pass(*whole, 0, 6);
  EXPECT_EQ(whole->kv_positions(), 6);
  for (int mode : {0, 1, 2}) {
    SCOPED_TRACE(mode);
    auto m = model(8, mode);
    EXPECT_EQ(m->kv_capacity(), 8);
    std::vector<float> got = pass(*m, 0, 4);
    for (int t = 4; t < 6; ++t) {
      const auto row = pass(*m, t, 1);
      got.insert(got.end(), row.begin(), row.end());
    }
    EXPECT_EQ(m->kv_positions(), 6);
    EXPECT_EQ(got, all);
    m->reset_kv_cache();
    EXPECT_EQ(pass(*m, 0, 6), all);
  }
}

TEST_F(CausalModelTest, APassBeyondTheCapacityFailsAndChangesNothing) {
  auto m = model(5);
  const auto first = pass(*m, 0, 3);
  expect_error([&] { pass(*m, 3, 3); }, "KV cache full: 3 positions held, 3 more requested, capacity 5");
  EXPECT_EQ(m->kv_positions(), 3);
  const auto fits = pass(*m, 3, 2);
  EXPECT_EQ(m->kv_positions(), 5);
  auto fresh = model(5);
  const auto all = pass(*fresh, 0, 5);
  EXPECT_EQ(std::vector<float>(all.begin() + 3 * 8, all.end()), fits);

  expect_error([&] { m->set_kv_capacity(-1); },
               "KV cache capacity must be from 0 to 2147483647 positions, got -1");
  EXPECT_EQ(m->kv_positions(), 5);
  m->set_kv_capacity(0);
  EXPECT_EQ(m->kv_positions(), 0);
  expect_error([&] { pass(*m, 0, 1); }, "KV cache full: 0 positions held, 1 more requested, capacity 0");
  m->set_kv_capacity(6);
  EXPECT_EQ(pass(*m, 0, 3), first);
  // Inputs left out keep their three positions: the pass appends what the core was given.
  m->forward(TensorMap{});
  EXPECT_EQ(m->kv_positions(), 6);
}

TEST(CausalArch, MaxPositionsMustBeAWholeNonNegativeNumber) {
  EXPECT_EQ(parse_arch("{\"nodes\": []}", "a").max_positions, 2048);
  EXPECT_EQ(parse_arch("{\"max_positions\": 16}", "a").max_positions, 16);
  for (const char* bad : {"-1", "2.5", "\"64\"", "1e10"})
    expect_error([&] { parse_arch(std::string("{\"max_positions\": ") + bad + "}", "a"); },
                 "architecture: \"max_positions\" must be a whole number from 0 to 2147483647");
}

}  // namespace
}  // namespace trevalon
