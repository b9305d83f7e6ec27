// The architecture loader: input shape rules, defaults, derived outputs, node fields, bad files.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "arch/arch_loader.h"
#include "layers/layer_factory.h"
#include "test_support.h"

namespace trevalon {
namespace {

ArchSpec parse(const std::string& text) { return parse_arch(text, "test.json"); }

std::string error_of(const std::string& text) {
  try {
    parse(text);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(ArchLoader, DefaultInputWhenNoneDeclared) {
  for (const char* text : {R"({"model": "m"})", R"({"inputs": []})", "[1, 2]", R"("text")"}) {
    ArchSpec arch = parse(text);
    ASSERT_EQ(arch.inputs.size(), 1u) << text;
    EXPECT_EQ(arch.inputs[0].name, "x");
    EXPECT_TRUE(arch.inputs[0].shape.empty());
    EXPECT_EQ(arch.inputs[0].scale, 1.0f);
    EXPECT_EQ(arch.inputs[0].zp, 0);
    EXPECT_EQ(arch.inputs[0].dtype, "int8");
  }
}

TEST(ArchLoader, InputShapesDropUnitDimensions) {
  struct Case {
    const char* shape;
    std::vector<int32_t> expected;
  } cases[] = {{"[1, 224, 224, 3]", {224, 224, 3}},
               {"[1, 1, 1, 80]", {80}},
               {"[1, 80, 1, 4]", {80, 4}},
               {"[1, 1, 0, 80]", {1, 0, 80}},
               {"[7, 2.9, 1, 3]", {2, 3}}};
  for (const Case& c : cases) {
    ArchSpec arch = parse(std::string(R"({"inputs": [{"name": "a", "dtype": "float32", "scale": 0.5,
      "zp": -3.7, "shape": )") +
                          c.shape + "}]}");
    EXPECT_EQ(arch.inputs[0].shape, c.expected) << c.shape;
    EXPECT_EQ(arch.inputs[0].name, "a");
    EXPECT_EQ(arch.inputs[0].dtype, "float32");
    EXPECT_EQ(arch.inputs[0].scale, 0.5f);
    EXPECT_EQ(arch.inputs[0].zp, -3);
  }
  ArchSpec hwc = parse(R"({"inputs": [{"h": 5, "c": 2}]})");
  EXPECT_EQ(hwc.inputs[0].shape, (std::vector<int32_t>{5, 2}));
}

TEST(ArchLoader, SingleInputObjectIgnoresNameAndShape) {
  ArchSpec arch = parse(R"({"input": {"h": 32, "w": 32, "c": 3, "name": "img", "shape": [1, 2, 2, 2]}})");
  ASSERT_EQ(arch.inputs.size(), 1u);
  EXPECT_EQ(arch.inputs[0].name, "x");
  EXPECT_EQ(arch.inputs[0].shape, (std::vector<int32_t>{32, 32, 3}));
}

TEST(ArchLoader, DeclaredAndDerivedOutputs) {
  ArchSpec declared = parse(R"({"outputs": [{"name": "y"}, "z", {"other": 1}, {"name": "w"}],
    "nodes": [{"name": "A", "op": "add_fp32", "outputs": ["q"]}]})");
  EXPECT_EQ(declared.output_names, (std::vector<std::string>{"y", "w"}));

  // Only a node's first output gets a slot, so only first outputs are derived.
  ArchSpec derived = parse(R"({"outputs": ["plain"], "nodes": [
    {"name": "A", "op": "add_fp32", "inputs": ["x"], "outputs": ["a"]},
    {"name": "B", "op": "add_fp32", "inputs": ["a"], "outputs": ["b", "b2"]}]})");
  EXPECT_EQ(derived.output_names, (std::vector<std::string>{"b"}));
  ArchSpec second_free = parse(R"({"nodes": [
    {"name": "A", "op": "add_fp32", "inputs": ["x", "c"], "outputs": ["a"]},
    {"name": "B", "op": "add_fp32", "inputs": ["a"], "outputs": ["b", "state"]},
    {"name": "C", "op": "add_fp32", "inputs": ["b"], "outputs": ["c"]}]})");
  EXPECT_EQ(second_free.output_names, (std::vector<std::string>{"c"}));

  // The last node's output is consumed (a dangling consumer): walk back to the latest free output.
  ArchSpec cycle = parse(R"({"nodes": [
    {"name": "A", "op": "add_fp32", "inputs": ["c"], "outputs": ["a"]},
    {"name": "B", "op": "add_fp32", "inputs": ["a"], "outputs": ["free"]},
    {"name": "C", "op": "add_fp32", "inputs": ["free2"], "outputs": ["c"]}]})");
  EXPECT_EQ(cycle.output_names, (std::vector<std::string>{"free"}));

  ArchSpec all_consumed = parse(R"({"nodes": [
    {"name": "A", "op": "add_fp32", "inputs": ["b"], "outputs": ["a"]},
    {"name": "B", "op": "add_fp32", "inputs": ["a"], "outputs": ["b"]}]})");
  EXPECT_EQ(all_consumed.output_names, (std::vector<std::string>{"b"}));
}

TEST(ArchLoader, NodeFieldsAndReluRules) {
  ArchSpec arch = parse(R"({"nodes": [
    {"name": "n1", "op": "add_fp32", "in": "a", "in3": "c", "out": "o"},
    {"name": "n2", "op": "add_fp32", "in2": "b"},
    {"name": "n3", "op": "add_fp32", "relu": true, "args": {"alpha": 0.1}},
    {"name": "n4", "op": "add_fp32", "relu": 1},
    {"name": "n5", "op": "add_fp32", "args": {"relu": true}},
    {"name": "n6", "op": "add_fp32", "relu": 0.5},
    {"name": "n7", "op": "conv"}]})");
  ASSERT_EQ(arch.nodes.size(), 7u);
  EXPECT_EQ(arch.nodes[0].inputs, (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(arch.nodes[0].outputs, (std::vector<std::string>{"o"}));
  EXPECT_TRUE(arch.nodes[1].inputs.empty());
  EXPECT_FALSE(arch.nodes[2].relu);
  EXPECT_TRUE(arch.nodes[3].relu);
  EXPECT_TRUE(arch.nodes[4].relu);
  EXPECT_FALSE(arch.nodes[5].relu);
  EXPECT_EQ(arch.nodes[6].op, OpType::ConvInt8);
}

TEST(ArchLoader, OpNamesAndAliases) {
  EXPECT_EQ(op_from_name("conv_int8"), OpType::ConvInt8);
  EXPECT_EQ(op_from_name("causal_attn_core_fp32"), OpType::CausalAttnCoreFp32);
  EXPECT_EQ(op_from_name("gemm"), OpType::GemmInt8);
  EXPECT_EQ(op_from_name("add"), OpType::AddInt8);
  EXPECT_EQ(op_from_name("maxpool"), OpType::MaxPoolInt8);
  EXPECT_EQ(op_from_name("avgpool"), OpType::AvgPoolInt8);
  EXPECT_EQ(op_from_name("Conv_int8"), OpType::Unknown);
  EXPECT_STREQ(op_name(OpType::ElemwiseMulFp32), "elemwise_mul_fp32");
  EXPECT_STREQ(op_name(OpType::Unknown), "unknown");
  EXPECT_STREQ(op_name(static_cast<OpType>(49)), "unknown");
}

TEST(ArchLoader, UnknownOpWarnsAndKeepsNode) {
  ::testing::internal::CaptureStderr();
  ArchSpec arch =
      parse(R"({"nodes": [{"name": "r", "op": "relu_fp32", "inputs": ["x"], "outputs": ["y"]}]})");
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("arch_loader: unknown op 'relu_fp32' in node 'r'\n"), std::string::npos) << err;
  ASSERT_EQ(arch.nodes.size(), 1u);
  EXPECT_EQ(arch.nodes[0].op, OpType::Unknown);
  EXPECT_TRUE(arch.layers.empty());
}

TEST(ArchLoader, MalformedFilesAreRejected) {
  EXPECT_EQ(error_of(R"({"nodes": [{"op": "add_fp32"}]})"), "JSON key not found: name");
  EXPECT_EQ(error_of(R"({"nodes": [{"name": "a"}]})"), "JSON key not found: op");
  EXPECT_EQ(error_of(R"({"nodes": [3]})"), "JSON key not found: name");
  EXPECT_EQ(error_of(R"({"nodes": {"name": "a"}})"), "architecture: \"nodes\" must be an array");
  EXPECT_EQ(error_of(R"({"inputs": {"name": "a"}})"), "architecture: \"inputs\" must be an array");
  EXPECT_EQ(error_of(R"({"outputs": 3})"), "architecture: \"outputs\" must be an array");
  EXPECT_EQ(error_of(R"({"inputs": [{"name": "a", "shape": [1, 2, 3]}]})"),
            "architecture: \"shape\" of input 'a' must be an array of four numbers [N, H, W, C]");
  EXPECT_EQ(error_of(""), "JSON: unexpected char '");
}

TEST(ArchLoader, FileErrors) {
  testing::TempDir dir;
  try {
    load_arch(dir.path("nope.json"));
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open JSON: " + dir.path("nope.json"));
  }
  ArchSpec arch = load_arch(dir.write("m.json", R"({"model": "tiny"} trailing text is ignored)"));
  EXPECT_EQ(arch.model_name, "tiny");

  // A directory opens for reading but is no file; unreadable files fail to open.
  const std::string sub = dir.path("models");
  std::filesystem::create_directory(sub);
  const std::string locked = dir.write("locked.json", "{}");
  std::filesystem::permissions(locked, std::filesystem::perms::none);
  std::FILE* probe = std::fopen(locked.c_str(), "rb");
  const bool can_read_anyway = probe != nullptr;
  if (probe) std::fclose(probe);
  for (const std::string& path : {sub, locked}) {
    if (path == locked && can_read_anyway) continue;  // privileged users read it regardless
    try {
      load_arch(path);
      FAIL() << path;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "Cannot open JSON: " + path);
    }
  }
}

}  // namespace
}  // namespace trevalon
