// Whole models at several thread counts: in every memory mode the outputs keep their bytes, the
// key/value cache its positions, and memory mode 2 leaves no working buffer on any thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "kernels/thread_pool.h"
#include "kernels/thread_work.h"
#include "runtime/inference_model.h"
#include "test_support.h"
#include "thread_counts.h"

namespace trevalon {
namespace {

constexpr int H = 14, W = 12, C = 16, T = 23, E = 32, kHeads = 4, kHidden = 16;

// An image branch (float convolutions, pooling, fully connected) and a sequence branch (1-D
// convolution, LSTM, projections, attention, the causal attention core with its cache): layers
// with per-thread working memory and layers that release their own scratch.
std::string architecture() {
  auto node = [](const std::string& name, const std::string& op, const std::string& inputs,
                 const std::string& params) {
    return "{\"name\": \"" + name + "\", \"op\": \"" + op + "\", \"inputs\": [" + inputs +
           "], \"outputs\": [\"" + name + "\"]" + (params.empty() ? "" : ", " + params) + "}";
  };
  const std::string c = std::to_string(C), e = std::to_string(E), hidden = std::to_string(kHidden);
  const std::vector<std::string> nodes = {
      node("wino", "conv_fp32", "\"img\"",
           "\"C_out\": " + c + ", \"C_in\": " + c + ", \"kH\": 3, \"kW\": 3, \"pad_h\": 1, \"pad_w\": 1"),
      node("strided", "conv_fp32", "\"wino\"",
           "\"C_out\": 24, \"C_in\": " + c + ", \"kH\": 3, \"kW\": 3, \"stride_h\": 2, \"stride_w\": 2, "
           "\"pad_h\": 1, \"pad_w\": 1, \"relu\": true"),
      node("gap", "avgpool_fp32", "\"strided\"", ""),
      node("fc", "gemm_fp32", "\"gap\"", "\"C_out\": 10, \"C_in\": 24"),
      node("c1d", "conv1d_fp32", "\"seq\"",
           "\"C_out\": " + e + ", \"C_in\": " + e + ", \"kernel_size\": 3, \"padding\": 1"),
      node("lstm", "lstm_fp32", "\"c1d\"", "\"hidden_size\": " + std::to_string(E / 2) + ", \"bidirectional\": true"),
      node("att", "attention_fp32", "\"lstm\"", "\"num_heads\": " + std::to_string(kHeads) + ", \"embed_dim\": " + e),
      node("q", "seqgemm_fp32", "\"att\"", "\"C_out\": " + e + ", \"C_in\": " + e),
      node("k", "seqgemm_fp32", "\"att\"", "\"C_out\": " + hidden + ", \"C_in\": " + e + ", \"dynamic_quantize\": true"),
      node("v", "seqgemm_fp32", "\"att\"", "\"C_out\": " + hidden + ", \"C_in\": " + e),
      node("core", "causal_attn_core_fp32", "\"q\", \"k\", \"v\"",
           "\"num_q_heads\": 4, \"num_kv_heads\": 2, \"head_dim\": 8"),
  };
  std::string text = "{\"model\": \"threaded\", \"max_positions\": 64, \"inputs\": ["
                     "{\"name\": \"img\", \"shape\": [1, " + std::to_string(H) + ", " + std::to_string(W) +
                     ", " + c + "], \"dtype\": \"float32\"}, "
                     "{\"name\": \"seq\", \"shape\": [1, 0, 1, " + e + "], \"dtype\": \"float32\"}], "
                     "\"outputs\": [{\"name\": \"fc\"}, {\"name\": \"core\"}], \"nodes\": [";
  for (size_t i = 0; i < nodes.size(); ++i) text += (i ? ", " : "") + nodes[i];
  return text + "]}";
}

std::string weights() {
  std::mt19937 rng(29);
  std::vector<testing::TensorRecord> records;
  auto add = [&](const std::string& name, size_t count, float scale) {
    records.push_back(testing::make_record(name, {int32_t(count)}, testing::random_floats(count, rng, -scale, scale)));
  };
  add("wino.weight", size_t(C) * C * 9, 0.15f);
  add("wino.bias", C, 0.1f);
  add("strided.weight", size_t(24) * C * 9, 0.15f);
  add("fc.weight", 10 * 24, 0.3f);
  add("fc.bias", 10, 0.1f);
  add("c1d.weight", size_t(E) * E * 3, 0.2f);
  for (const char* suffix : {"", "_reverse"}) {
    add(std::string("lstm.weight_ih_l0") + suffix, size_t(4 * (E / 2)) * E, 0.25f);
    add(std::string("lstm.weight_hh_l0") + suffix, size_t(4 * (E / 2)) * (E / 2), 0.25f);
    add(std::string("lstm.bias_ih_l0") + suffix, 4 * (E / 2), 0.1f);
  }
  add("att.w_qkv", size_t(3 * E) * E, 0.2f);
  add("att.w_proj", size_t(E) * E, 0.2f);
  add("q.weight", size_t(E) * E, 0.2f);
  add("k.weight", size_t(kHidden) * E, 0.2f);
  add("v.weight", size_t(kHidden) * E, 0.2f);
  add("v.bias", kHidden, 0.1f);
  return testing::build_w1x1(records);
}

// Every output of a prompt pass and two one-position passes, as bytes in a row.
std::vector<uint8_t> run_passes(InferenceModel& model) {
  std::mt19937 rng(5);
  const std::vector<float> img = testing::random_floats(size_t(H) * W * C, rng);
  const std::vector<float> seq = testing::random_floats(size_t(T) * E, rng);
  model.reset_kv_cache();
  std::vector<uint8_t> all;
  for (auto [start, length] : {std::pair{0, T - 2}, std::pair{T - 2, 1}, std::pair{T - 1, 1}}) {
    TensorMap inputs;
    inputs["img"].data = img.data();
    inputs["img"].shape = {H, W, C};
    inputs["seq"].data = seq.data() + size_t(start) * E;
    inputs["seq"].shape = {length, E};
    std::map<std::string, std::vector<uint8_t>> outputs;
    model.forward(inputs, [&](const std::string& name, const std::vector<int32_t>&, bool, uint64_t bytes) -> void* {
      outputs[name].resize(bytes);
      return outputs[name].data();
    });
    for (const auto& [name, bytes] : outputs) all.insert(all.end(), bytes.begin(), bytes.end());
  }
  EXPECT_EQ(model.kv_positions(), T);
  return all;
}

std::atomic<size_t> g_held{0};

// Working-buffer bytes held by the caller and every pool worker.
size_t held_on_every_thread() {
  g_held = 0;
  run_on_every_thread([] { g_held += thread_work_held_bytes(); });
  return g_held.load();
}

TEST(ThreadedModel, EveryMemoryModeGivesTheSameBytesAtAnyThreadCount) {
  testing::TempDir dir;
  const std::string arch = dir.write("m.json", architecture());
  const std::string bin = dir.write("m.w1x1", weights());
  std::vector<uint8_t> mode0;
  for (int32_t mode : {0, 1, 2}) {
    // A fresh model each time: an output a wrong split leaves unwritten cannot keep an earlier
    // run's value.
    auto run = [&] {
      InferenceModel model(arch, bin, mode);
      return run_passes(model);
    };
    const std::vector<uint8_t> one = run();
    ASSERT_EQ(one.size(), (3 * 10 + size_t(T) * E) * sizeof(float));  // fc per pass, core per position
    EXPECT_NE(std::count(one.begin(), one.end(), uint8_t(0)), ptrdiff_t(one.size()));
    if (mode == 0) mode0 = one;
    EXPECT_EQ(one, mode0) << "memory mode " << mode << " changes the outputs";
    testing::expect_same_bytes_at_thread_counts(run, ("memory mode " + std::to_string(mode)).c_str());
  }
}

TEST(ThreadedModel, MemoryMode2LeavesNoWorkingBufferOnAnyThread) {
  testing::TempDir dir;
  const std::string arch = dir.write("m.json", architecture());
  const std::string bin = dir.write("m.w1x1", weights());
  InferenceModel keep(arch, bin, 0), release(arch, bin, 2);
  testing::ScopedThreads threads(3);
  const std::vector<uint8_t> want = run_passes(keep);
  EXPECT_GT(held_on_every_thread(), 0u);  // mode 0 keeps what the kernels grew
  release_thread_work();
  EXPECT_EQ(run_passes(release), want);
  EXPECT_EQ(held_on_every_thread(), 0u);
}

}  // namespace
}  // namespace trevalon
