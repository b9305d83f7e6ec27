// Operation codes of the architecture file.
#pragma once

#include <cstdint>
#include <string>

namespace trevalon {

enum class OpType : int32_t {
  Unknown = 0,
  ConvInt8 = 1,
  ConvFp32,
  GemmInt8,
  GemmFp32,
  AddInt8,
  AddFp32,
  MaxPoolInt8,
  MaxPoolFp32,
  AvgPoolInt8,
  AvgPoolFp32,
  PatchPrepFp32,
  LayerNormFp32,
  AttentionFp32,
  AttentionInt8,
  SeqGemmFp32,
  SeqGemmInt8,
  ClsExtractFp32,
  UpsampleBilinearFp32,
  PosEmbAddFp32,
  LeakyReluFp32,
  ExpFp32,
  SinFp32,
  SigmoidFp32,
  TanhFp32,
  GeluFp32,
  Conv1dFp32,
  Conv1dInt8,
  ConvTranspose1dFp32,
  LstmFp32,
  AdaIn1dFp32,
  AdaLayerNormFp32,
  EmbeddingFp32,
  BertEmbeddingsFp32,
  Snake1dFp32,
  LengthRegulateFp32,
  IstftFp32,
  StftFp32,
  Concat1dFp32,
  UpsampleNearest1dFp32,
  SineGenFp32,
  SumChannelsFp32,
  ScaleFp32,
  ReflectionPad1dFp32,
  SliceChannelsFp32,
  RmsNormFp32,
  SiluFp32,
  ElemwiseMulFp32,
  CausalAttnCoreFp32,
};

inline constexpr int kOpCount = 48;

// Searches the 48 canonical names, then the aliases conv, gemm, add, maxpool, avgpool; Unknown when
// nothing matches (exact, case-sensitive).
OpType op_from_name(const std::string& name);
// Canonical name of an op ("conv_int8"), or "unknown" outside 1..48.
const char* op_name(OpType op);

}  // namespace trevalon
