// The 53-row operation name table: 48 canonical names in value order, then five aliases.
#include "arch/op_type.h"

namespace trevalon {
namespace {

constexpr const char* kCanonicalNames[kOpCount] = {
    "conv_int8",
    "conv_fp32",
    "gemm_int8",
    "gemm_fp32",
    "add_int8",
    "add_fp32",
    "maxpool_int8",
    "maxpool_fp32",
    "avgpool_int8",
    "avgpool_fp32",
    "patch_prep_fp32",
    "layernorm_fp32",
    "attention_fp32",
    "attention_int8",
    "seqgemm_fp32",
    "seqgemm_int8",
    "cls_extract_fp32",
    "upsample_bilinear_fp32",
    "pos_emb_add_fp32",
    "leaky_relu_fp32",
    "exp_fp32",
    "sin_fp32",
    "sigmoid_fp32",
    "tanh_fp32",
    "gelu_fp32",
    "conv1d_fp32",
    "conv1d_int8",
    "conv_transpose1d_fp32",
    "lstm_fp32",
    "ada_in1d_fp32",
    "ada_layer_norm_fp32",
    "embedding_fp32",
    "bert_embeddings_fp32",
    "snake1d_fp32",
    "length_regulate_fp32",
    "istft_fp32",
    "stft_fp32",
    "concat1d_fp32",
    "upsample_nearest1d_fp32",
    "sine_gen_fp32",
    "sum_channels_fp32",
    "scale_fp32",
    "reflection_pad1d_fp32",
    "slice_channels_fp32",
    "rms_norm_fp32",
    "silu_fp32",
    "elemwise_mul_fp32",
    "causal_attn_core_fp32",
};

struct Alias {
  const char* name;
  OpType op;
};
constexpr Alias kAliases[] = {{"conv", OpType::ConvInt8},
                              {"gemm", OpType::GemmInt8},
                              {"add", OpType::AddInt8},
                              {"maxpool", OpType::MaxPoolInt8},
                              {"avgpool", OpType::AvgPoolInt8}};

}  // namespace

OpType op_from_name(const std::string& name) {
  for (int i = 0; i < kOpCount; ++i)
    if (name == kCanonicalNames[i]) return static_cast<OpType>(i + 1);
  for (const Alias& a : kAliases)
    if (name == a.name) return a.op;
  return OpType::Unknown;
}

const char* op_name(OpType op) {
  int v = static_cast<int>(op);
  return (v >= 1 && v <= kOpCount) ? kCanonicalNames[v - 1] : "unknown";
}

}  // namespace trevalon
