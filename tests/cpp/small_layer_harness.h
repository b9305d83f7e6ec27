// Builds a layer from a JSON node text, feeds it weights from a map and runs one forward pass on
// host vectors; used by the element-wise, pooling and activation tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "arch/json.h"
#include "test_support.h"
#include "arch/op_type.h"
#include "layers/layer_factory.h"

namespace trevalon::testing {

using WeightMap = std::map<std::string, std::vector<float>>;

// The layer of `op` with parameters from `json`, named `name`, with its float weights loaded.
inline std::unique_ptr<ILayer> make_layer(const std::string& op, const std::string& json,
                                          const WeightMap& weights = {}, const std::string& name = "node") {
  const JsonValue node = parse_node(json);
  auto layer = create_layer(op_from_name(op), node);
  if (!layer) return nullptr;
  layer->name = name;
  WeightGetter get = [&weights](const std::string& tensor, std::vector<int32_t>& shape,
                                std::vector<uint8_t>& bytes) {
    auto it = weights.find(tensor);
    if (it == weights.end()) return false;
    shape = {static_cast<int32_t>(it->second.size())};
    bytes.resize(it->second.size() * sizeof(float));
    if (!bytes.empty()) std::memcpy(bytes.data(), it->second.data(), bytes.size());
    return true;
  };
  layer->load_weights(get);
  return layer;
}

// One forward pass; the output vector is sized from runtime_output_shape.
template <class T>
struct LayerRun {
  TensorShape shape;
  std::vector<T> out;
};

template <class T>
LayerRun<T> run_layer(ILayer& layer, std::vector<std::vector<T>*> inputs,
                      const std::vector<TensorShape>& shapes) {
  TensorRef refs[kMaxLayerInputs] = {};
  const void* data[kMaxLayerInputs] = {};
  for (size_t i = 0; i < inputs.size(); ++i) {
    refs[i].view = BufferView{inputs[i]->data(), 0, inputs[i]->size() * sizeof(T)};
    refs[i].shape = shapes[i];
    data[i] = inputs[i]->data();
  }
  const int n = static_cast<int>(inputs.size());
  const TensorShape planned = layer.runtime_output_shape(data, shapes.data(), n);
  LayerRun<T> run;
  run.out.assign(element_count(planned) + 1, T{});  // one extra element, never an exact fit
  ExecContext ctx{};
  BufferView out{run.out.data(), 0, run.out.size() * sizeof(T)};
  run.shape = layer.forward(refs, n, out, &ctx);
  run.out.resize(element_count(run.shape));
  return run;
}

// The message of the runtime error `body` throws, or "<no error>".
template <class Body>
std::string error_of(Body body) {
  try {
    body();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "<no error>";
}

}  // namespace trevalon::testing
