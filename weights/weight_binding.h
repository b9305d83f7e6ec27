// Hands every layer its tensors from the weights file, and lets layers share packed weights.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "backend/allocator.h"
#include "layers/layer.h"
#include "weights/w1x1_reader.h"

namespace trevalon {

// One packed weight held jointly by every layer that uses it.
struct SharedPackedWeight {
  Buffer buffer;
};

// Opens `weights_path`, calls each layer's load_weights with a getter over the file, closes it
// on every path. Throws the reader's errors and passes layer errors through.
void load_weights(const std::string& weights_path, std::vector<std::unique_ptr<ILayer>>& layers,
                  WeightLoadMemoryStats* stats);

struct SharedWeightView {
  Buffer buffer;                              // non-owning view to use (or `packed` itself on a device)
  std::shared_ptr<SharedPackedWeight> owner;  // keeps the memory alive; null on a device backend
};

// Within one load_weights call on this thread, equal keys share one packed copy. On a host backend
// the first caller's buffer is kept and later callers' duplicates are dropped (left in `packed`).
SharedWeightView share_host_packed_weight(const std::string& key, Buffer&& packed);

}  // namespace trevalon
