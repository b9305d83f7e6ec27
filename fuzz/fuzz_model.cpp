// Fuzzes model loading and the forward pass together. The input bytes choose an architecture (one
// to five nodes of the implemented ops, parameters drawn from hostile ranges), a weights file to
// match it or not, input tensors, a kernel tier and a memory mode. Both files go to in-memory
// files, the model is built and run twice. A std::exception is an accepted answer; a crash, a
// sanitizer report or integer outputs that differ between two kernel tiers is a bug.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "backend/cpu_backend.h"
#include "backend/registry.h"
#include "runtime/inference_model.h"

using namespace trevalon;

namespace {

// Model memory comes through an allocator that refuses single requests above a cap with
// bad_alloc, so a plan that is legal but large is an ordinary error here rather than the fuzzer's
// out-of-memory report or a minutes-long convolution; every smaller buffer is a plain (sanitized)
// heap block.
constexpr uint64_t kAllocationCap = uint64_t(2) << 20;

class CappedAllocator final : public Allocator {
 public:
  bool is_device() const override { return false; }
  void* allocate(uint64_t bytes) override {
    if (bytes > kAllocationCap) throw std::bad_alloc();
    return cpu_allocator().allocate(bytes);
  }
  void free(void* p) override { cpu_allocator().free(p); }
  void copy_to_device(void* d, const void* s, uint64_t n) override {
    cpu_allocator().copy_to_device(d, s, n);
  }
  void copy_to_host(void* d, const void* s, uint64_t n) override { cpu_allocator().copy_to_host(d, s, n); }
  void copy_on_device(void* d, const void* s, uint64_t n) override {
    cpu_allocator().copy_on_device(d, s, n);
  }
  void synchronize() override {}
  void zero(void* p, uint64_t n) override { cpu_allocator().zero(p, n); }
};

Allocator* capped_allocator() {
  static CappedAllocator instance;
  return &instance;
}

// A host backend above "cpu" whose table is the CPU table of the chosen tier, allocator swapped.
BackendDescriptor& fuzz_backend() {
  static BackendDescriptor descriptor{"fuzz", 1, 0, KernelTable{}};
  static const bool registered = (register_backend(&descriptor), true);
  (void)registered;
  return descriptor;
}

void use_tier(CpuTier tier) {
  set_cpu_kernel_tier(tier);
  fuzz_backend().kernels = cpu_backend_descriptor().kernels;
  fuzz_backend().kernels.get_allocator = &capped_allocator;
}

// A memory file reachable by path, rewritten for every input.
struct MemFile {
  int fd;
  std::string path;
  explicit MemFile(const char* name)
      : fd(memfd_create(name, 0)), path("/proc/self/fd/" + std::to_string(fd)) {
    if (fd < 0) std::abort();
  }
  void write(const std::string& bytes) const {
    if (ftruncate(fd, 0) != 0) std::abort();
    if (!bytes.empty() && pwrite(fd, bytes.data(), bytes.size(), 0) != ssize_t(bytes.size())) std::abort();
  }
};

// Cheap filler for tensor contents, seeded from the input.
struct Rng {
  uint64_t s;
  uint64_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
};

int32_t hostile_int(FuzzedDataProvider& p, int32_t small_max) {
  switch (p.ConsumeIntegralInRange<int>(0, 15)) {
    case 0: return -1;
    case 1: return std::numeric_limits<int32_t>::min();
    case 2: return std::numeric_limits<int32_t>::max();
    case 3: return 0;
    case 4: return 1 << 20;
    case 5: return 65536;
    case 6: return -(1 << 20);
    case 7: return 1 << 30;
    case 8: return (1 << 30) - 1;  // the largest padding a 1-pixel input leaves inside 32 bits
    default: return p.ConsumeIntegralInRange<int32_t>(1, small_max);
  }
}

// Float tokens as the architecture file holds them ("1e999" parses to infinity; the reader has no
// NaN, which reaches layers only through weights).
const char* const kFloatTokens[] = {"1",   "0.5",  "2",     "0",   "-1",   "1e-45", "1e999", "-1e999",
                                    "1e9", "1e-9", "1e-30", "3.5", "0.02", "1e38",  "0.25",  "-0.5"};

float float_value(int index) {
  static const float values[] = {
      1,        0.5f,      2,     0,     -1,     std::numeric_limits<float>::quiet_NaN(),
      INFINITY, -INFINITY, 1e9f,  1e-9f, 1e-30f, 3.5f,
      0.02f,    1e38f,     0.25f, -0.5f};
  return values[index];
}

enum class Kind { Int, Channels, Zp, Float, Flag };
struct Param {
  const char* key;
  Kind kind;
};
enum class Tensor { I8, F32, I64 };
struct WeightSpec {
  const char* suffix;
  Tensor type;
  bool per_channel;  // C_out values, or C for ops without C_out (else the weight matrix)
};
struct Op {
  const char* name;
  int arity;
  bool integer;  // every output of the op is exact across tiers
  std::vector<Param> params;
  std::vector<WeightSpec> weights;
};

const std::vector<Param> kConvParams = {
    {"C_out", Kind::Channels}, {"C_in", Kind::Channels}, {"kH", Kind::Int},
    {"kW", Kind::Int},         {"stride_h", Kind::Int},  {"stride_w", Kind::Int},
    {"pad_h", Kind::Int},      {"pad_w", Kind::Int},     {"groups", Kind::Int}};
const std::vector<Param> kPoolParams = {{"kH", Kind::Int},       {"kW", Kind::Int},
                                        {"stride_h", Kind::Int}, {"stride_w", Kind::Int},
                                        {"pad_h", Kind::Int},    {"pad_w", Kind::Int}};

std::vector<Param> plus(std::vector<Param> a, const std::vector<Param>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::vector<Op>& ops() {
  static const std::vector<Op> table = {
      {"conv_int8",
       1,
       true,
       plus(kConvParams, {{"in_zp", Kind::Zp}, {"out_zp", Kind::Zp}}),
       {{".weight", Tensor::I8, false}, {".req_scale", Tensor::F32, true}, {".eff_bias", Tensor::I64, true}}},
      {"conv",
       1,
       true,
       plus(kConvParams, {{"in_zp", Kind::Zp}, {"out_zp", Kind::Zp}}),
       {{".weight", Tensor::I8, false}, {".req_scale", Tensor::F32, true}, {".eff_bias", Tensor::I64, true}}},
      {"conv_fp32",
       1,
       false,
       plus(kConvParams, {{"dilation_h", Kind::Int}, {"dilation_w", Kind::Int}}),
       {{".weight", Tensor::F32, false}, {".bias", Tensor::F32, true}}},
      {"gemm_int8",
       1,
       true,
       {{"C_out", Kind::Channels}, {"C_in", Kind::Channels}, {"in_zp", Kind::Zp}},
       {{".weight", Tensor::I8, false}, {".req_scale", Tensor::F32, true}, {".eff_bias", Tensor::I64, true}}},
      {"gemm",
       1,
       true,
       {{"C_out", Kind::Channels}, {"C_in", Kind::Channels}},
       {{".weight", Tensor::I8, false}, {".req_scale", Tensor::F32, true}, {".eff_bias", Tensor::I64, true}}},
      {"gemm_fp32",
       1,
       false,
       {{"C_out", Kind::Channels}, {"C_in", Kind::Channels}},
       {{".weight", Tensor::F32, false}, {".bias", Tensor::F32, true}}},
      {"add_int8",
       2,
       true,
       {{"in1_scale", Kind::Float},
        {"in2_scale", Kind::Float},
        {"out_scale", Kind::Float},
        {"in1_zp", Kind::Zp},
        {"in2_zp", Kind::Zp},
        {"out_zp", Kind::Zp}},
       {}},
      {"add_fp32", 2, false, {}, {}},
      {"maxpool_int8", 1, true, plus(kPoolParams, {{"in_zp", Kind::Zp}, {"out_zp", Kind::Zp}}), {}},
      {"maxpool_fp32", 1, false, kPoolParams, {}},
      {"avgpool_int8",
       1,
       true,
       {{"in_scale", Kind::Float}, {"out_scale", Kind::Float}, {"in_zp", Kind::Zp}, {"out_zp", Kind::Zp}},
       {}},
      {"avgpool_fp32", 1, false, {}, {}},
      {"upsample_bilinear_fp32", 1, false, {{"scale_h", Kind::Float}, {"scale_w", Kind::Float}}, {}},
      {"upsample_nearest1d_fp32", 1, false, {{"scale_factor", Kind::Int}}, {}},
      {"leaky_relu_fp32", 1, false, {{"alpha", Kind::Float}}, {}},
      {"exp_fp32", 1, false, {}, {}},
      {"sin_fp32", 1, false, {}, {}},
      {"sigmoid_fp32", 1, false, {}, {}},
      {"tanh_fp32", 1, false, {}, {}},
      {"gelu_fp32", 1, false, {}, {}},
      {"silu_fp32", 1, false, {}, {}},
      {"scale_fp32", 1, false, {{"scalar", Kind::Float}}, {}},
      {"snake1d_fp32", 1, false, {}, {{".alpha", Tensor::F32, true}}},
      {"elemwise_mul_fp32", 2, false, {}, {}},
      {"layernorm_fp32",
       1,
       false,
       {{"eps", Kind::Float}},
       {{".gamma", Tensor::F32, true}, {".beta", Tensor::F32, true}}},
      {"rms_norm_fp32", 1, false, {{"eps", Kind::Float}}, {{".gamma", Tensor::F32, true}}},
      {"embedding_fp32",
       1,
       false,
       {{"num_embeddings", Kind::Int}, {"embedding_dim", Kind::Int}},
       {{".weight", Tensor::F32, false}}},
      {"bert_embeddings_fp32",
       1,
       false,
       {{"emb_size", Kind::Channels}},
       {{".word_weight", Tensor::F32, false},
        {".pos_weight", Tensor::F32, false},
        {".type_weight", Tensor::F32, false},
        {".layernorm.weight", Tensor::F32, true},
        {".layernorm.bias", Tensor::F32, true}}},
      {"patch_prep_fp32",
       1,
       false,
       {},
       {{".cls_token", Tensor::F32, true}, {".pos_embed", Tensor::F32, false}}},
      {"pos_emb_add_fp32", 1, false, {}, {{".weight", Tensor::F32, false}}},
      {"cls_extract_fp32", 1, false, {}, {}},
      {"seqgemm_fp32",
       1,
       false,
       {{"C_out", Kind::Channels},
        {"C_in", Kind::Channels},
        {"gelu", Kind::Flag},
        {"dynamic_quantize", Kind::Flag}},
       {{".weight", Tensor::F32, false}, {".bias", Tensor::F32, true}}},
      {"seqgemm_int8",
       1,
       false,
       {{"C_out", Kind::Channels}, {"C_in", Kind::Channels}, {"gelu", Kind::Flag}},
       {{".weight_i8", Tensor::I8, false}, {".w_scales", Tensor::F32, true}, {".bias", Tensor::F32, true}}},
      {"attention_fp32",
       1,
       false,
       {{"num_heads", Kind::Int}, {"embed_dim", Kind::Channels}, {"dynamic_quantize", Kind::Flag}},
       {{".w_qkv", Tensor::F32, false},
        {".b_qkv", Tensor::F32, true},
        {".w_proj", Tensor::F32, false},
        {".b_proj", Tensor::F32, true}}},
      {"attention_int8",
       1,
       false,
       {{"num_heads", Kind::Int}, {"embed_dim", Kind::Channels}},
       {{".w_qkv_i8", Tensor::I8, false},
        {".w_qkv_scales", Tensor::F32, true},
        {".b_qkv", Tensor::F32, true},
        {".w_proj_i8", Tensor::I8, false},
        {".w_proj_scales", Tensor::F32, true},
        {".b_proj", Tensor::F32, true}}},
      {"stft_fp32",
       1,
       false,
       {{"n_fft", Kind::Int}, {"hop_size", Kind::Int}},
       {{".w_real", Tensor::F32, false}, {".w_imag", Tensor::F32, false}}},
      {"istft_fp32", 2, false, {{"n_fft", Kind::Int}, {"hop_size", Kind::Int}, {"normalized", Kind::Flag}}, {}},
      {"sine_gen_fp32",
       1,
       false,
       {{"sample_rate", Kind::Int},
        {"harmonic_num", Kind::Int},
        {"sine_amp", Kind::Float},
        {"voiced_threshold", Kind::Float},
        {"noise_std", Kind::Float},
        {"upsample_scale", Kind::Int}},
       {}},
      {"ada_in1d_fp32",
       2,
       false,
       {{"C", Kind::Channels}, {"C_style", Kind::Channels}, {"eps", Kind::Float}},
       {{".fc.weight", Tensor::F32, false},
        {".fc.bias", Tensor::F32, true},
        {".norm.weight", Tensor::F32, true},
        {".norm.bias", Tensor::F32, true}}},
      {"ada_layer_norm_fp32",
       2,
       false,
       {{"C", Kind::Channels}, {"C_style", Kind::Channels}, {"eps", Kind::Float}},
       {{".fc.weight", Tensor::F32, false}, {".fc.bias", Tensor::F32, true}}},
      {"length_regulate_fp32", 2, false, {}, {}},
      {"concat1d_fp32", 2, false, {{"C2", Kind::Channels}}, {}},
      {"slice_channels_fp32", 1, false, {{"ch_start", Kind::Int}, {"ch_end", Kind::Int}}, {}},
      {"reflection_pad1d_fp32", 1, false, {}, {}},
      {"sum_channels_fp32", 1, false, {}, {}},
      {"conv1d_fp32",
       1,
       false,
       {{"C_out", Kind::Channels}, {"C_in", Kind::Channels}, {"kernel_size", Kind::Int}, {"stride", Kind::Int},
        {"padding", Kind::Int}, {"dilation", Kind::Int}, {"groups", Kind::Int}},
       {{".weight", Tensor::F32, false}, {".bias", Tensor::F32, true}}},
      {"conv_transpose1d_fp32",
       1,
       false,
       {{"C_out", Kind::Channels}, {"C_in", Kind::Channels}, {"kernel_size", Kind::Int}, {"stride", Kind::Int},
        {"padding", Kind::Int}, {"output_padding", Kind::Int}, {"groups", Kind::Int}},
       {{".weight", Tensor::F32, false}, {".bias", Tensor::F32, true}}},
      {"conv1d_int8",
       1,
       false,
       {{"C_out", Kind::Channels},
        {"C_in", Kind::Channels},
        {"kernel_size", Kind::Int},
        {"stride", Kind::Int},
        {"padding", Kind::Int},
        {"dilation", Kind::Int},
        {"groups", Kind::Int}},
       {{".weight_i8", Tensor::I8, false}, {".w_scales", Tensor::F32, true}, {".bias", Tensor::F32, true}}},
      {"lstm_fp32",
       1,
       false,
       {{"hidden_size", Kind::Channels}, {"bidirectional", Kind::Flag}},
       {{".weight_ih_l0", Tensor::F32, false},
        {".weight_hh_l0", Tensor::F32, false},
        {".bias_ih_l0", Tensor::F32, true},
        {".bias_hh_l0", Tensor::F32, true},
        {".weight_ih_l0_reverse", Tensor::F32, false},
        {".weight_hh_l0_reverse", Tensor::F32, false},
        {".bias_ih_l0_reverse", Tensor::F32, true},
        {".bias_hh_l0_reverse", Tensor::F32, true}}},
      {"causal_attn_core_fp32",
       3,
       false,
       {{"num_q_heads", Kind::Int},
        {"num_kv_heads", Kind::Int},
        {"head_dim", Kind::Int},
        {"rope_theta", Kind::Float}},
       {}},
      {"relu_fp32", 1, true, {}, {}},  // an unknown op
  };
  return table;
}

struct Weights {
  std::string index, records;
  int count = 0;
  void add(const std::string& name, const std::vector<uint8_t>& data) {
    std::string entry(80, '\0');
    std::memcpy(entry.data(), name.data(), std::min<size_t>(name.size(), 63));
    const uint64_t offset = records.size();  // made absolute once the index size is known
    const uint32_t size = uint32_t(4 + 4 + data.size());
    std::memcpy(entry.data() + 64, &offset, 8);
    std::memcpy(entry.data() + 72, &size, 4);
    index += entry;
    const uint16_t ndim = 1;
    const int32_t dim = int32_t(data.size());
    records.append(2, '\0');
    records.append(reinterpret_cast<const char*>(&ndim), 2);
    records.append(reinterpret_cast<const char*>(&dim), 4);
    records.append(reinterpret_cast<const char*>(data.data()), data.size());
    ++count;
  }
  std::string file() const {
    std::string out = "W1X1";
    const uint32_t version = 1, n = uint32_t(count);
    out.append(reinterpret_cast<const char*>(&version), 4);
    out.append(reinterpret_cast<const char*>(&n), 4);
    std::string idx = index;
    const uint64_t base = 12 + idx.size();
    for (int k = 0; k < count; ++k) {
      uint64_t off;
      std::memcpy(&off, idx.data() + 80 * k + 64, 8);
      off += base;
      std::memcpy(idx.data() + 80 * k + 64, &off, 8);
    }
    return out + idx + records;
  }
};

// Tensor contents in one of a few styles: random bits, small values, or the type's extremes.
std::vector<uint8_t> tensor_bytes(FuzzedDataProvider& p, Tensor type, uint64_t count) {
  Rng rng{p.ConsumeIntegral<uint64_t>() | 1};
  const int style = p.ConsumeIntegralInRange<int>(0, 3);
  const size_t elem = type == Tensor::I8 ? 1 : type == Tensor::F32 ? 4 : 8;
  std::vector<uint8_t> out(count * elem);
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t r = rng.next();
    uint8_t* dst = out.data() + i * elem;
    if (type == Tensor::I8) {
      *dst = style == 2 ? ((r & 1) ? 0x7F : 0x80) : uint8_t(style == 1 ? (r % 7) - 3 : r);
    } else if (type == Tensor::F32) {
      float v = style == 0   ? float(int64_t(r % 2001) - 1000) / 1000.0f
                : style == 1 ? float_value(int(r % 16))
                             : (style == 2 ? 1e-3f * float(r % 5) : 0.01f);
      if (style == 3) std::memcpy(&v, &r, 4);  // raw bits: NaNs, denormals, huge values
      std::memcpy(dst, &v, 4);
    } else {
      static const int64_t extremes[] = {std::numeric_limits<int64_t>::max(),
                                         std::numeric_limits<int64_t>::min(),
                                         int64_t(1) << 31,
                                         -(int64_t(1) << 31),
                                         0,
                                         -1};
      const int64_t v = style == 2 ? extremes[r % 6] : style == 1 ? int64_t(r % 20001) - 10000 : int64_t(r);
      std::memcpy(dst, &v, 8);
    }
  }
  return out;
}

struct Built {
  std::string arch, weights;
  std::vector<ModelTensor> inputs;  // data points into `input_data`
  std::vector<std::string> input_names;
  std::vector<std::vector<uint8_t>> input_data;
  bool integer_only = true;
};

void build(FuzzedDataProvider& p, Built& b) {
  std::string arch = "{\"model\": \"fuzz\", \"inputs\": [";
  std::vector<std::string> tensors;  // names a node may read
  std::vector<int32_t> channels;     // a guess of each tensor's channel count
  const int n_inputs = p.ConsumeIntegralInRange<int>(1, 2);
  for (int k = 0; k < n_inputs; ++k) {
    const std::string name = "x" + std::to_string(k);
    const bool int8 = p.ConsumeBool();
    int32_t dims[3];
    for (int32_t& d : dims)
      d = p.ConsumeIntegralInRange<int>(0, 7) == 0 ? hostile_int(p, 6) : p.ConsumeIntegralInRange<int>(1, 6);
    if (k) arch += ", ";
    arch += "{\"name\": \"" + name + "\", \"shape\": [1, " + std::to_string(dims[0]) + ", " +
            std::to_string(dims[1]) + ", " + std::to_string(dims[2]) + "], \"dtype\": \"" +
            (int8 ? "int8" : "float32") + "\"}";
    tensors.push_back(name);
    channels.push_back(dims[2]);
    if (!int8) b.integer_only = false;
    if (p.ConsumeIntegralInRange<int>(0, 7) == 0) continue;  // not supplied

    // Supplied: the declared shape (variable entries filled in) or a shape of its own.
    std::vector<int32_t> shape;
    if (p.ConsumeIntegralInRange<int>(0, 5) != 0) {
      for (int32_t d : dims) shape.push_back(d == 0 ? p.ConsumeIntegralInRange<int>(0, 6) : d);
      if (p.ConsumeBool() && shape[0] == 1) shape.erase(shape.begin());
    } else {
      const int rank = p.ConsumeIntegralInRange<int>(0, 4);
      for (int r = 0; r < rank; ++r) shape.push_back(p.ConsumeIntegralInRange<int>(-1, 6));
    }
    uint64_t count = 1;
    bool huge = false;
    for (int32_t d : shape) {
      huge = huge || d > (1 << 20);
      count *= uint64_t(d > 0 ? d : 0);
    }
    if (huge || count > (1u << 20)) continue;  // the caller's array would have to be this large
    const bool give_int8 = p.ConsumeIntegralInRange<int>(0, 9) == 0 ? !int8 : int8;
    b.input_data.push_back(tensor_bytes(p, give_int8 ? Tensor::I8 : Tensor::F32, count));
    ModelTensor t;
    t.shape = shape;
    t.dtype = give_int8 ? "int8" : "float32";
    b.inputs.push_back(std::move(t));
    b.input_names.push_back(name);
  }
  arch += "], \"nodes\": [";

  Weights weights;
  const int n_nodes = p.ConsumeIntegralInRange<int>(1, 5);
  std::vector<std::string> outputs;
  for (int i = 0; i < n_nodes; ++i) {
    const Op& op = ops()[p.ConsumeIntegralInRange<size_t>(0, ops().size() - 1)];
    if (!op.integer) b.integer_only = false;
    const std::string name = "n" + std::to_string(i);
    if (i) arch += ", ";
    arch += "{\"name\": \"" + name + "\", \"op\": \"" + op.name + "\"";

    // Inputs: usually the op's arity, mostly the latest tensors, sometimes a name nothing produces.
    int arity = op.arity;
    if (p.ConsumeIntegralInRange<int>(0, 9) == 0) arity = p.ConsumeIntegralInRange<int>(0, 3);
    std::string in_list;
    int32_t in_channels = 0;
    for (int k = 0; k < arity; ++k) {
      std::string in = "missing";
      int32_t c = 0;
      if (p.ConsumeIntegralInRange<int>(0, 19) != 0) {
        const size_t back = p.ConsumeIntegralInRange<size_t>(0, p.ConsumeBool() ? 0 : tensors.size() - 1);
        in = tensors[tensors.size() - 1 - back];
        c = channels[channels.size() - 1 - back];
      }
      if (k == 0) in_channels = c;
      in_list += std::string(k ? ", " : "") + "\"" + in + "\"";
    }
    arch += ", \"inputs\": [" + in_list + "]";

    // Parameters, directly in the node or inside "args"; each may be left to its default.
    const bool in_args = p.ConsumeIntegralInRange<int>(0, 3) == 0;
    std::string params;
    int64_t C_out = 0, C_in = 0, kH = 1, kW = 1, groups = 1;
    for (const Param& param : op.params) {
      if (p.ConsumeIntegralInRange<int>(0, 5) == 0) continue;
      std::string value;
      int64_t v = 0;
      switch (param.kind) {
        case Kind::Int:
          v = p.ConsumeIntegralInRange<int>(0, 3) == 0 ? hostile_int(p, 4)
                                                       : p.ConsumeIntegralInRange<int>(0, 3);
          value = std::to_string(v);
          break;
        case Kind::Channels:
          v = p.ConsumeIntegralInRange<int>(0, 2) != 0 ? in_channels : hostile_int(p, 9);
          value = std::to_string(v);
          break;
        case Kind::Zp:
          v = p.ConsumeIntegralInRange<int>(0, 3) == 0 ? hostile_int(p, 300)
                                                       : p.ConsumeIntegralInRange<int>(-128, 127);
          value = std::to_string(v);
          break;
        case Kind::Float: value = kFloatTokens[p.ConsumeIntegralInRange<int>(0, 15)]; break;
        case Kind::Flag: value = p.ConsumeBool() ? "true" : "false"; break;
      }
      const std::string key = param.key;
      if (key == "C_out" || key == "embed_dim") C_out = v;
      if (key == "C_in" || key == "C_style") C_in = v;
      if (key == "C") C_out = v;
      if (key == "kH") kH = v;
      if (key == "C_in") C_in = v;
      if (key == "kH" || key == "kernel_size") kH = v;
      if (key == "C_in") C_in = v;
      if (key == "kH" || key == "kernel_size") kH = v;
      if (key == "hidden_size") C_out = v;
      if (key == "kW") kW = v;
      if (key == "groups") groups = v;
      params += ", \"" + key + "\": " + value;
    }
    if (p.ConsumeBool()) params += std::string(", \"relu\": ") + (p.ConsumeBool() ? "true" : "1");
    arch += in_args ? ", \"args\": {" + (params.empty() ? std::string() : params.substr(2)) + "}" : params;

    // Outputs: one new name, none, two, or the name of an existing tensor.
    const int out_kind = p.ConsumeIntegralInRange<int>(0, 11);
    std::string out = "t" + std::to_string(i);
    if (out_kind == 0) {
      arch += ", \"outputs\": []";
    } else if (out_kind == 1 && !tensors.empty()) {
      out = tensors[p.ConsumeIntegralInRange<size_t>(0, tensors.size() - 1)];
      arch += ", \"out\": \"" + out + "\"";
    } else if (out_kind == 2) {
      arch += ", \"outputs\": [\"" + out + "\", \"" + out + "b\"]";
    } else {
      arch += ", \"out\": \"" + out + "\"";
    }
    arch += "}";
    if (out_kind != 0) {
      outputs.push_back(out);
      tensors.push_back(out);
      const bool sets_channels = op.params.size() > 0 && op.params[0].key == std::string("C_out");
      channels.push_back(sets_channels ? int32_t(C_out) : in_channels);
    }

    // Weights: absent, the size the parameters imply, one off, or any small size.
    for (const WeightSpec& w : op.weights) {
      const int mode = p.ConsumeIntegralInRange<int>(0, 7);
      if (mode == 0) continue;
      // Products in double: hostile factors overflow any integer type, and such sizes are
      // replaced below anyway.
      const bool sized_by_input =
          op.weights.size() == 1 || op.params.empty() || op.params[0].key != std::string("C_out");
      double expected =
          w.per_channel ? (sized_by_input ? in_channels : C_out)
                        : double(C_out) * double(C_in / (groups > 1 ? groups : 1)) * double(kH) * double(kW);
      const std::string op_name = op.name;
      if (op_name.find("gemm") != std::string::npos && !w.per_channel)
        expected = double(C_out) * double(C_in);
      if (op_name == "conv_transpose1d_fp32" && !w.per_channel)  // C_in x C_out/groups x K
        expected = double(C_in) * double(C_out / (groups > 1 ? groups : 1)) * double(kH);
      if (op_name.rfind("attention", 0) == 0) {  // 3E rows for queries, keys and values, E for the output
        const double E = C_out > 0 ? double(C_out) : double(in_channels);
        const double rows = std::string(w.suffix).find("qkv") != std::string::npos ? 3 * E : E;
        expected = w.per_channel ? rows : rows * E;
      }
      if (op_name.rfind("ada_", 0) == 0) {  // the style projection has 2C rows of C_style, the norm C values
        const bool projection = std::string(w.suffix).rfind(".fc.", 0) == 0;
        expected = projection ? 2 * double(C_out) * (w.per_channel ? 1 : double(C_in)) : double(C_out);
      }
      if (op_name == "lstm_fp32") {  // 4H gate rows of the input width (ih) or of H (hh)
        const double rows = 4 * double(C_out);
        const bool input_side = std::string(w.suffix).find("_ih_") != std::string::npos;
        expected = w.per_channel ? rows : rows * (input_side ? double(in_channels) : double(C_out));
      }
      double count = mode == 1   ? p.ConsumeIntegralInRange<int>(0, 64)
                     : mode == 2 ? expected - 1
                     : mode == 3 ? expected + 1
                                 : expected;
      if (count < 0 || count > (1 << 14) || C_out < 0 || C_in < 0 || kH < 0 || kW < 0)
        count = p.ConsumeIntegralInRange<int>(0, 64);
      weights.add(name + w.suffix, tensor_bytes(p, w.type, uint64_t(count)));
    }
  }
  arch += "]";
  if (!outputs.empty() && p.ConsumeBool()) {
    arch += ", \"outputs\": [";
    const int n_out = p.ConsumeIntegralInRange<int>(1, 3);
    for (int k = 0; k < n_out; ++k)
      arch += std::string(k ? ", " : "") + "{\"name\": \"" +
              outputs[p.ConsumeIntegralInRange<size_t>(0, outputs.size() - 1)] + "\"}";
    arch += "]";
  }
  arch += "}";
  b.arch = std::move(arch);
  b.weights = weights.file();
  if (p.ConsumeIntegralInRange<int>(0, 15) == 0)  // a file cut short
    b.weights.resize(p.ConsumeIntegralInRange<size_t>(0, b.weights.size()));
  for (size_t k = 0; k < b.inputs.size(); ++k) b.inputs[k].data = b.input_data[k].data();
}

// Builds and runs the model twice; the outputs of the last run, or false when anything threw.
bool run(const MemFile& arch, const MemFile& weights, const Built& b, int32_t memory_mode, TensorMap& out) {
  try {
    InferenceModel model(arch.path, weights.path, memory_mode);
    TensorMap inputs;
    for (size_t k = 0; k < b.inputs.size(); ++k) inputs[b.input_names[k]] = b.inputs[k];
    model.forward(inputs);
    out = model.forward(inputs);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const MemFile arch("fuzz_arch"), weights("fuzz_weights");
  static const CpuTier best = detect_cpu_tier();
  FuzzedDataProvider p(data, size);
  const CpuTier tier = CpuTier(p.ConsumeIntegralInRange<int>(0, int(best)));
  const CpuTier other = CpuTier(p.ConsumeIntegralInRange<int>(0, int(best)));
  int32_t memory_mode = p.ConsumeIntegralInRange<int32_t>(0, 3);
  if (memory_mode == 3) memory_mode = p.ConsumeIntegral<int32_t>();  // behaves as 0

  Built b;
  build(p, b);
  static const bool dump = std::getenv("FUZZ_MODEL_DUMP") != nullptr;  // show what a crash input builds
  if (dump)
    std::fprintf(stderr, "tier %d/%d, memory mode %d\n%s\n", int(tier), int(other), memory_mode,
                 b.arch.c_str());
  arch.write(b.arch);
  weights.write(b.weights);

  use_tier(tier);
  TensorMap first, second;
  const bool ran = run(arch, weights, b, memory_mode, first);
  // Integer graphs must give the same bits on every tier.
  if (ran && b.integer_only && other != tier) {
    use_tier(other);
    if (run(arch, weights, b, memory_mode, second)) {
      if (first.size() != second.size()) std::abort();
      for (const auto& [name, t] : first) {
        auto it = second.find(name);
        if (it == second.end() || it->second.shape != t.shape || it->second.storage != t.storage) {
          if (dump && it != second.end() && it->second.storage.size() == t.storage.size())
            for (size_t i = 0; i < t.storage.size(); ++i)
              if (t.storage[i] != it->second.storage[i]) {
                std::fprintf(stderr, "output %s differs at byte %zu of %zu: %d against %d\n", name.c_str(), i,
                             t.storage.size(), int(int8_t(t.storage[i])), int(int8_t(it->second.storage[i])));
                break;
              }
          std::abort();
        }
      }
    }
  }
  return 0;
}
