// Weight binding: the getter over an open W1X1 file and the per-thread registry of shared weights.
#include "weights/weight_binding.h"

#include <unordered_map>

#include "backend/registry.h"

namespace trevalon {
namespace {

using SharingRegistry = std::unordered_map<std::string, std::weak_ptr<SharedPackedWeight>>;

SharingRegistry& sharing_registry() {
  thread_local SharingRegistry registry = [] {
    SharingRegistry r;
    r.max_load_factor(1.0f);
    return r;
  }();
  return registry;
}

// Empties the registry when a load starts and whenever it ends, even by an exception.
struct RegistryScope {
  RegistryScope() { sharing_registry().clear(); }
  ~RegistryScope() { sharing_registry().clear(); }
};

}  // namespace

void load_weights(const std::string& weights_path, std::vector<std::unique_ptr<ILayer>>& layers,
                  WeightLoadMemoryStats* stats) {
  RegistryScope scope;
  W1x1File file(weights_path);
  WeightGetter getter = [&file, stats](const std::string& name, std::vector<int32_t>& shape,
                                       std::vector<uint8_t>& bytes) {
    return file.read(name, shape, bytes, stats);
  };
  for (auto& layer : layers) layer->load_weights(getter);
}

SharedWeightView share_host_packed_weight(const std::string& key, Buffer&& packed) {
  const BackendDescriptor& backend = require_backend();
  SharedWeightView result;
  if (backend.device != static_cast<int32_t>(DeviceKind::Host)) {
    result.buffer = std::move(packed);
    return result;
  }
  auto noop = [](void*) {};
  SharingRegistry& registry = sharing_registry();
  auto it = registry.find(key);
  if (it != registry.end()) {
    if (auto existing = it->second.lock()) {
      result.owner = existing;
      result.buffer = Buffer(existing->buffer.data, existing->buffer.is_device, 0, noop);
      return result;
    }
  }
  auto owner = std::make_shared<SharedPackedWeight>();
  owner->buffer = std::move(packed);
  registry[key] = owner;
  result.buffer = Buffer(owner->buffer.data, owner->buffer.is_device, owner->buffer.bytes, noop);
  result.owner = std::move(owner);
  return result;
}

}  // namespace trevalon
