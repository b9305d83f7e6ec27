// PatchPrepFp32, PosEmbAddFp32 and ClsExtractFp32: a ViT-sized class token and position table, the
// first row kept for the head, and the errors for tables that do not cover the input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "small_layer_harness.h"
#include "test_support.h"

using namespace trevalon;
namespace test = trevalon::testing;  // "testing" alone would also name the GoogleTest namespace
using test::random_floats;

TEST(PatchPrepLayer, PrependsTheClassTokenAndAddsPositions) {
  const int C = 768, T = 196;
  const auto x = random_floats(size_t(C) * T, -1.0f, 1.0f, 1);
  const auto cls = random_floats(size_t(C), -1.0f, 1.0f, 2);
  const auto pos = random_floats(size_t(C) * (T + 1), -1.0f, 1.0f, 3);
  auto layer =
      test::make_layer("patch_prep_fp32", "{}", {{"vit.cls_token", cls}, {"vit.pos_embed", pos}}, "vit");
  std::vector<float> in = x;
  const auto run = test::run_layer<float>(*layer, {&in}, {{C, 14, 14}});  // a 14 x 14 patch grid
  ASSERT_EQ(run.shape, (TensorShape{C, T + 1, 1}));
  EXPECT_EQ(layer->output_shape({C, 14, 14}), run.shape);
  for (int k = 0; k < C; ++k) ASSERT_EQ(run.out[k], cls[k] + pos[k]) << k;
  for (int t = 0; t < T; ++t)
    for (int k = 0; k < C; ++k)
      ASSERT_EQ(run.out[size_t(t + 1) * C + k], x[size_t(t) * C + k] + pos[size_t(t + 1) * C + k]) << t;
}

TEST(PatchPrepLayer, RefusesTablesThatDoNotFitTheInput) {
  std::vector<float> x(8, 1.0f);  // C = 4, T = 2
  const std::vector<float> four(4, 0.0f), twelve(12, 0.0f), eleven(11, 0.0f);
  auto error_with = [&](const test::WeightMap& w) {
    auto layer = test::make_layer("patch_prep_fp32", "{}", w, "pp");
    return test::error_of([&] { test::run_layer<float>(*layer, {&x}, {{4, 2, 1}}); });
  };
  EXPECT_EQ(error_with({{"pp.pos_embed", twelve}}),
            "node 'pp': missing weight tensor: pp.cls_token, expected 4 values (the input's 4 channels)");
  EXPECT_EQ(error_with({{"pp.cls_token", std::vector<float>(5)}, {"pp.pos_embed", twelve}}),
            "node 'pp': pp.cls_token holds 5 values, expected 4 (the input's 4 channels)");
  EXPECT_EQ(error_with({{"pp.cls_token", four}}),
            "node 'pp': missing weight tensor: pp.pos_embed, expected 12 values (3 positions of 4)");
  EXPECT_EQ(error_with({{"pp.cls_token", four}, {"pp.pos_embed", eleven}}),
            "node 'pp': pp.pos_embed holds 11 values, expected at least 12 (3 positions of 4)");
  EXPECT_EQ(error_with({{"pp.cls_token", four}, {"pp.pos_embed", std::vector<float>(40)}}), "<no error>");
}

TEST(PosEmbAddLayer, AddsTheTablesFirstValuesAndRefusesAShortOne) {
  const auto x = random_floats(30, -1.0f, 1.0f, 4);
  const auto table = random_floats(45, -1.0f, 1.0f, 5);  // longer than needed: its head is used
  auto layer = test::make_layer("pos_emb_add_fp32", "{}", {{"pe.weight", table}}, "pe");
  std::vector<float> in = x;
  const auto run = test::run_layer<float>(*layer, {&in}, {{6, 5, 1}});
  EXPECT_EQ(run.shape, (TensorShape{6, 5, 1}));
  for (size_t i = 0; i < x.size(); ++i) ASSERT_EQ(run.out[i], x[i] + table[i]);

  auto short_table =
      test::make_layer("pos_emb_add_fp32", "{}", {{"pe.weight", std::vector<float>(29)}}, "pe");
  EXPECT_EQ(test::error_of([&] {
              test::run_layer<float>(*short_table, {&in}, {{6, 5, 1}});
            }),
            "node 'pe': pe.weight holds 29 values, expected at least 30 (5 positions of 6)");
  auto none = test::make_layer("pos_emb_add_fp32", "{}", {}, "pe");
  EXPECT_EQ(test::error_of([&] {
              test::run_layer<float>(*none, {&in}, {{6, 5, 1}});
            }),
            "node 'pe': missing weight tensor: pe.weight, expected 30 values (5 positions of 6)");
}

TEST(ClsExtractLayer, KeepsTheFirstRow) {
  const int C = 768, T = 197;
  std::vector<float> x = random_floats(size_t(C) * T, -1.0f, 1.0f, 6);
  auto layer = test::make_layer("cls_extract_fp32", "{}", {}, "cls");
  const auto run = test::run_layer<float>(*layer, {&x}, {{C, T, 1}});
  EXPECT_EQ(run.shape, (TensorShape{C, 1, 1}));
  EXPECT_EQ(run.out, std::vector<float>(x.begin(), x.begin() + C));
  std::vector<float> empty;
  EXPECT_EQ(test::error_of([&] {
              test::run_layer<float>(*layer, {&empty}, {{C, 0, 1}});
            }),
            "node 'cls': input has no positions, expected at least 1");
}
