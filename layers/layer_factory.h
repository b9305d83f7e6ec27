// Creates the layer of a graph node from its op and parameters.
#pragma once

#include <memory>

#include "arch/json.h"
#include "arch/op_type.h"
#include "layers/layer.h"

namespace trevalon {

// Null when no layer class carries `op` (yet); the loader then treats the node as unknown. Throws
// "node 'NAME': ..." for parameters no input could make valid (negative kernel sizes, paddings
// or dilations, paddings beyond 32-bit indexing, bilinear scales that are not positive and finite).
std::unique_ptr<ILayer> create_layer(OpType op, const JsonValue& node);

using LayerMaker = std::unique_ptr<ILayer> (*)(OpType op, const JsonValue& node);
// Test hook: a maker asked before the families (null to remove); the C++ tests use it to run
// the model with layers of their own.
void set_extra_layer_maker(LayerMaker maker);

// One maker per layer family; each answers null for ops outside its family.
std::unique_ptr<ILayer> make_elementwise_layer(OpType op, const JsonValue& node);
std::unique_ptr<ILayer> make_pooling_layer(OpType op, const JsonValue& node);
std::unique_ptr<ILayer> make_activation_layer(OpType op, const JsonValue& node);
std::unique_ptr<ILayer> make_conv_fp32_layer(OpType op, const JsonValue& node);
std::unique_ptr<ILayer> make_conv_int8_layer(OpType op, const JsonValue& node);
std::unique_ptr<ILayer> make_fully_connected_layer(OpType op, const JsonValue& node);
std::unique_ptr<ILayer> make_sequence_projection_layer(OpType op, const JsonValue& node);
std::unique_ptr<ILayer> make_normalization_layer(OpType op, const JsonValue& node);
std::unique_ptr<ILayer> make_embedding_layer(OpType op, const JsonValue& node);
std::unique_ptr<ILayer> make_patch_position_layer(OpType op, const JsonValue& node);
std::unique_ptr<ILayer> make_attention_layer(OpType op, const JsonValue& node);
std::unique_ptr<ILayer> make_causal_attention_layer(OpType op, const JsonValue& node);
std::unique_ptr<ILayer> make_conv1d_layer(OpType op, const JsonValue& node);
std::unique_ptr<ILayer> make_conv1d_int8_layer(OpType op, const JsonValue& node);
std::unique_ptr<ILayer> make_lstm_layer(OpType op, const JsonValue& node);
std::unique_ptr<ILayer> make_waveform_layer(OpType op, const JsonValue& node);
std::unique_ptr<ILayer> make_adaptive_norm_layer(OpType op, const JsonValue& node);
std::unique_ptr<ILayer> make_sequence_shaping_layer(OpType op, const JsonValue& node);

}  // namespace trevalon
