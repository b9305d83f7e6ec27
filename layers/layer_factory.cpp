// Asks each layer family in turn for the node's layer, after refusing parameters no input could
// make valid, so a model never plans buffers for a layer that would refuse to run.
#include "layers/layer_factory.h"

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace trevalon {

namespace {
LayerMaker extra_maker = nullptr;

std::string node_name(const JsonValue& node) {
  return node.type == JsonType::Object && node.contains("name") ? node.at("name").text : std::string();
}

// Kernel sizes, paddings and dilations: never negative. A padding must leave room for at least
// one input row inside the kernels' 32-bit index range.
// Each key is read with the default its layer reads it with, so both see the same value.
struct WindowKey {
  const char* key;
  int32_t fallback;
};

void check_window(const JsonValue& node, const WindowKey* keys, int count) {
  for (int k = 0; k < count; ++k) {
    const std::string key = keys[k].key;
    const int32_t v = node.get_int(key, keys[k].fallback);
    if (v < 0)
      throw std::runtime_error("node '" + node_name(node) + "': " + key + " must not be negative, got " +
                               std::to_string(v));
    if (key.rfind("pad", 0) == 0 && int64_t(v) * 2 >= INT32_MAX)
      throw std::runtime_error("node '" + node_name(node) + "': " + key + " " + std::to_string(v) +
                               " is too large, the padded input must fit 32 bits");
  }
}

// Bilinear scales multiply the input size: only positive finite values give an output size.
void check_scales(const JsonValue& node) {
  for (const char* key : {"scale_h", "scale_w"}) {
    const float v = node.get_float(key, 2.0f);
    if (!(std::isfinite(v) && v > 0.0f))
      throw std::runtime_error("node '" + node_name(node) + "': " + key +
                               " must be a positive finite number, got " + std::to_string(v));
  }
}

void validate_parameters(OpType op, const JsonValue& node) {
  static const WindowKey kConvInt8[] = {{"kH", 1}, {"kW", 1}, {"pad_h", 0}, {"pad_w", 0}};
  static const WindowKey kMaxPool[] = {{"kH", 3}, {"kW", 3}, {"pad_h", 0}, {"pad_w", 0}};
  static const WindowKey kConvFp32[] = {{"kH", 1},    {"kW", 1},         {"pad_h", 0},
                                        {"pad_w", 0}, {"dilation_h", 1}, {"dilation_w", 1}};
  switch (op) {
    case OpType::ConvInt8: check_window(node, kConvInt8, 4); break;
    case OpType::MaxPoolInt8:
    case OpType::MaxPoolFp32: check_window(node, kMaxPool, 4); break;
    case OpType::ConvFp32: check_window(node, kConvFp32, 6); break;
    case OpType::UpsampleBilinearFp32: check_scales(node); break;
    default: break;
  }
}

}  // namespace

void set_extra_layer_maker(LayerMaker maker) { extra_maker = maker; }

std::unique_ptr<ILayer> create_layer(OpType op, const JsonValue& node) {
  if (extra_maker)  // a test hook; it builds through this function again, which validates then
    if (auto layer = extra_maker(op, node)) return layer;
  validate_parameters(op, node);
  static constexpr LayerMaker kMakers[] = {
      make_elementwise_layer, make_pooling_layer,   make_activation_layer,
      make_conv_fp32_layer,   make_conv_int8_layer, make_fully_connected_layer,
      make_sequence_projection_layer,
      make_normalization_layer, make_embedding_layer, make_patch_position_layer,
      make_attention_layer,     make_causal_attention_layer,
      make_conv1d_layer,        make_conv1d_int8_layer,
      make_lstm_layer,          make_waveform_layer,
      make_adaptive_norm_layer, make_sequence_shaping_layer,
  };
  for (LayerMaker make : kMakers)
    if (auto layer = make(op, node)) return layer;
  return nullptr;
}

}  // namespace trevalon
