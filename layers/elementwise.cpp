// elementwise layers.
#include "layers/layer_factory.h"

namespace trevalon {

std::unique_ptr<ILayer> make_elementwise_layer(OpType op, const JsonValue& node) { return nullptr; }

}  // namespace trevalon
