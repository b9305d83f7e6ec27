// EmbeddingFp32 and BertEmbeddingsFp32: clamped and truncated lookups, N and D from the table's
// shape, the BERT sum and its normalisation against a float64 reference, and the errors for ids
// and positions the tables do not cover.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "kernel_tier_loop.h"
#include "small_layer_harness.h"
#include "test_support.h"
#include "thread_counts.h"

using namespace trevalon;
namespace test = trevalon::testing;  // "testing" alone would also name the GoogleTest namespace
using test::random_floats;

namespace {

struct Tensor {
  std::vector<int32_t> shape;
  std::vector<float> values;
};
using ShapedWeights = std::map<std::string, Tensor>;

// The layer of `op` with weights that carry their own shapes, as the weights file gives them.
std::unique_ptr<ILayer> make_shaped(const std::string& op, const std::string& json, const ShapedWeights& w,
                                    const std::string& name) {
  auto layer = create_layer(op_from_name(op), test::parse_node(json));
  layer->name = name;
  WeightGetter get = [&w](const std::string& tensor, std::vector<int32_t>& shape,
                          std::vector<uint8_t>& bytes) {
    auto it = w.find(tensor);
    if (it == w.end()) return false;
    shape = it->second.shape;
    bytes = test::bytes_of(it->second.values);
    return true;
  };
  layer->load_weights(get);
  return layer;
}

std::vector<float> table(int rows, int cols) {
  std::vector<float> t(size_t(rows) * cols);
  for (size_t i = 0; i < t.size(); ++i) t[i] = float(i) + 0.5f;
  return t;
}

std::vector<float> row_of(const std::vector<float>& t, int cols, int r) {
  return {t.begin() + size_t(r) * cols, t.begin() + size_t(r + 1) * cols};
}

}  // namespace

TEST(EmbeddingLayer, ClampsAndTruncatesIdsWithSizesFromTheTablesShape) {
  const int N = 6, D = 5;
  const auto t = table(N, D);
  // The JSON sizes are wrong on purpose: a two-dimensional table sets N and D.
  auto layer = make_shaped("embedding_fp32", R"({"num_embeddings": 2, "embedding_dim": 15})",
                           {{"emb.weight", {{N, D}, t}}}, "emb");
  std::vector<float> ids = {-3.0f, float(N + 5), 2.9f, -0.9f, 5.0f, 1e30f, NAN};
  const auto run = test::run_layer<float>(*layer, {&ids}, {{1, int(ids.size()), 1}});
  EXPECT_EQ(run.shape, (TensorShape{D, int(ids.size()), 1}));
  const int want_rows[] = {0, N - 1, 2, 0, 5, N - 1, 0};
  for (size_t i = 0; i < ids.size(); ++i)
    EXPECT_EQ(std::vector<float>(run.out.begin() + i * D, run.out.begin() + (i + 1) * D),
              row_of(t, D, want_rows[i]))
        << "id " << ids[i];

  std::vector<float> none;
  EXPECT_EQ(test::run_layer<float>(*layer, {&none}, {{1, 0, 1}}).shape, (TensorShape{D, 0, 1}));
}

TEST(EmbeddingLayer, FlatTablesUseTheNodesSizes) {
  const auto t = table(3, 4);
  auto layer = make_shaped("embedding_fp32", R"({"num_embeddings": 3, "embedding_dim": 4})",
                           {{"emb.weight", {{12}, t}}}, "emb");
  std::vector<float> ids = {2.0f, 1.0f};
  std::vector<float> want = row_of(t, 4, 2);
  for (float v : row_of(t, 4, 1)) want.push_back(v);
  EXPECT_EQ(test::run_layer<float>(*layer, {&ids}, {{1, 2, 1}}).out, want);

  EXPECT_EQ(test::error_of([&] {
              make_shaped("embedding_fp32", R"({"num_embeddings": 4, "embedding_dim": 4})",
                          {{"emb.weight", {{12}, t}}}, "emb");
            }),
            "weight emb.weight holds 12 elements, expected 16");
  EXPECT_EQ(test::error_of([&] {
              make_shaped("embedding_fp32", "{}", {{"emb.weight", {{12}, t}}}, "emb");
            }),
            "node 'emb': num_embeddings and embedding_dim must be positive, got 0 and 0");
}

TEST(EmbeddingLayer, RefusesAMissingTableAndIdsInSeveralChannels) {
  std::vector<float> ids = {0.0f, 1.0f};
  auto bare = make_shaped("embedding_fp32", R"({"num_embeddings": 3, "embedding_dim": 4})", {}, "emb");
  EXPECT_EQ(test::error_of([&] {
              test::run_layer<float>(*bare, {&ids}, {{1, 2, 1}});
            }),
            "missing weight tensor: emb.weight");
  auto layer = make_shaped("embedding_fp32", "{}", {{"emb.weight", {{3, 4}, table(3, 4)}}}, "emb");
  EXPECT_EQ(test::error_of([&] {
              test::run_layer<float>(*layer, {&ids}, {{2, 1, 1}});
            }),
            "node 'emb': token ids must have one channel (c = 1), got c = 2");
}

namespace {

// word (V x E), pos (P x E), type (2 x E), layer norm weight and bias (E).
struct Bert {
  int V = 7, P = 4, E = 12;
  std::vector<float> word = random_floats(size_t(V) * E, -1.0f, 1.0f, 1);
  std::vector<float> pos = random_floats(size_t(P) * E, -1.0f, 1.0f, 2);
  std::vector<float> type = random_floats(size_t(2) * E, -1.0f, 1.0f, 3);
  std::vector<float> gamma = random_floats(size_t(E), 0.5f, 1.5f, 4);
  std::vector<float> beta = random_floats(size_t(E), -1.0f, 1.0f, 5);

  ShapedWeights weights(bool affine, bool with_type) const {
    ShapedWeights w{{"bert.word_weight", {{V, E}, word}}, {"bert.pos_weight", {{P * E}, pos}}};
    if (with_type) w["bert.type_weight"] = {{2, E}, type};
    if (affine) {
      w["bert.layernorm.weight"] = {{E}, gamma};
      w["bert.layernorm.bias"] = {{E}, beta};
    }
    return w;
  }

  std::unique_ptr<ILayer> layer(bool affine = true, bool with_type = true) const {
    return make_shaped("bert_embeddings_fp32", R"({"emb_size": 12})", weights(affine, with_type), "bert");
  }

  double expected(int id, int t, int k, bool affine, bool with_type) const {
    std::vector<double> e(E);
    double m = 0, v = 0;
    for (int i = 0; i < E; ++i) {
      e[i] = double(word[size_t(id) * E + i]) + pos[size_t(t) * E + i] + (with_type ? type[i] : 0.0);
      m += e[i];
    }
    m /= E;
    for (double x : e) v += (x - m) * (x - m);
    const double y = (e[k] - m) / std::sqrt(v / E + 1e-12);
    return affine ? y * gamma[k] + beta[k] : y;
  }
};

}  // namespace

TEST(BertEmbeddingsLayer, SumsWordPositionAndTypeRowsThenNormalises) {
  const Bert b;
  std::vector<float> ids = {3.0f, 0.7f, 6.99f, 2.0f};  // ids 3, 0, 6, 2
  const int want_ids[] = {3, 0, 6, 2};
  for (bool affine : {true, false})
    for (bool with_type : {true, false}) {
      const auto run = test::run_layer<float>(*b.layer(affine, with_type), {&ids}, {{1, 2, 2}});
      ASSERT_EQ(run.shape, (TensorShape{b.E, 2, 2}));
      for (int t = 0; t < 4; ++t)
        for (int k = 0; k < b.E; ++k)
          EXPECT_NEAR(run.out[size_t(t) * b.E + k], b.expected(want_ids[t], t, k, affine, with_type), 2e-6)
              << "affine " << affine << " type " << with_type << " t " << t;
    }
}

TEST(BertEmbeddingsLayer, EveryTierAndThreadCountGivesTheSameBits) {
  const Bert b;
  std::vector<float> ids = {3.0f, 0.0f, 6.0f, 2.0f};
  std::vector<float> first;
  test::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
    const auto layer = b.layer();
    const auto out = test::run_layer<float>(*layer, {&ids}, {{1, 4, 1}}).out;
    if (first.empty()) first = out;
    EXPECT_EQ(std::memcmp(out.data(), first.data(), out.size() * sizeof(float)), 0);
    test::expect_same_bytes_at_thread_counts(
        [&] {
          return test::run_layer<float>(*layer, {&ids}, {{1, 4, 1}}).out;
        },
        "embeddings");
  });
}

TEST(BertEmbeddingsLayer, EqualSumsGiveTheBiasExactly) {
  Bert b;
  std::fill(b.word.begin(), b.word.end(), 0.375f);
  std::fill(b.pos.begin(), b.pos.end(), -1.5f);
  std::fill(b.type.begin(), b.type.end(), 2.0f);
  std::vector<float> ids = {1.0f, 4.0f, 6.0f};
  const auto run = test::run_layer<float>(*b.layer(), {&ids}, {{1, 3, 1}});
  for (size_t i = 0; i < run.out.size(); ++i) ASSERT_EQ(run.out[i], b.beta[i % b.E]) << i;
}

TEST(BertEmbeddingsLayer, RefusesIdsAndPositionsTheTablesDoNotCover) {
  const Bert b;
  auto layer = b.layer();
  auto error_for = [&](std::vector<float> ids) {
    return test::error_of([&] { test::run_layer<float>(*layer, {&ids}, {{1, int(ids.size()), 1}}); });
  };
  EXPECT_EQ(error_for({1.0f, 7.0f}),
            "node 'bert': word id 7 at position 1 is outside the vocabulary of 7 rows");
  EXPECT_EQ(error_for({-1.0f}), "node 'bert': word id -1 at position 0 is outside the vocabulary of 7 rows");
  EXPECT_EQ(error_for({NAN}), "node 'bert': word id nan at position 0 is outside the vocabulary of 7 rows");
  EXPECT_EQ(error_for({-0.5f}), "<no error>");  // truncates to 0
  EXPECT_EQ(error_for({0, 1, 2, 3, 4}), "node 'bert': 5 positions exceed the 4 rows of bert.pos_weight");

  ShapedWeights w = b.weights(true, true);
  w.erase("bert.pos_weight");
  auto no_pos = make_shaped("bert_embeddings_fp32", R"({"emb_size": 12})", w, "bert");
  std::vector<float> ids = {1.0f};
  EXPECT_EQ(test::error_of([&] {
              test::run_layer<float>(*no_pos, {&ids}, {{1, 1, 1}});
            }),
            "missing weight tensor: bert.pos_weight");
}

TEST(BertEmbeddingsLayer, RefusesTablesOfAnotherWidthAtLoad) {
  const Bert b;
  ShapedWeights w = b.weights(true, true);
  w["bert.word_weight"] = {{b.V * b.E - 1}, std::vector<float>(size_t(b.V) * b.E - 1, 0.0f)};
  EXPECT_EQ(test::error_of([&] { make_shaped("bert_embeddings_fp32", R"({"emb_size": 12})", w, "bert"); }),
            "weight bert.word_weight holds 83 values, expected whole rows of 12 (emb_size)");
  w = b.weights(true, true);
  w["bert.type_weight"] = {{4, 6}, std::vector<float>(24, 0.0f)};
  EXPECT_EQ(test::error_of([&] { make_shaped("bert_embeddings_fp32", R"({"emb_size": 12})", w, "bert"); }),
            "weight bert.type_weight has rows of 6 values, expected 12 (emb_size)");
  w = b.weights(true, true);
  w["bert.layernorm.bias"] = {{11}, std::vector<float>(11, 0.0f)};
  EXPECT_EQ(test::error_of([&] { make_shaped("bert_embeddings_fp32", R"({"emb_size": 12})", w, "bert"); }),
            "weight bert.layernorm.bias holds 11 elements, expected 12");
}
