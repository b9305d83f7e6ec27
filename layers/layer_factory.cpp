// Asks each layer family in turn for the node's layer.
#include "layers/layer_factory.h"

namespace trevalon {

namespace {
LayerMaker extra_maker = nullptr;
}

void set_extra_layer_maker(LayerMaker maker) { extra_maker = maker; }

std::unique_ptr<ILayer> create_layer(OpType op, const JsonValue& node) {
  if (extra_maker)
    if (auto layer = extra_maker(op, node)) return layer;
  static constexpr LayerMaker kMakers[] = {
      make_elementwise_layer, make_pooling_layer,   make_activation_layer,
      make_conv_fp32_layer,   make_conv_int8_layer, make_fully_connected_layer,
  };
  for (LayerMaker make : kMakers)
    if (auto layer = make(op, node)) return layer;
  return nullptr;
}

}  // namespace trevalon
