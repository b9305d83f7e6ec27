// conv_int8 layers.
#include "layers/layer_factory.h"

namespace trevalon {

std::unique_ptr<ILayer> make_conv_int8_layer(OpType op, const JsonValue& node) { return nullptr; }

}  // namespace trevalon
