// Helpers every layer uses to read its tensors and to refuse inputs it cannot handle safely.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "layers/layer.h"

namespace trevalon {

// Fetches `name` and reinterprets its bytes as T. Absent: `out` is cleared and false is returned
// (loading stays lenient). Present but holding fewer than `min_count` elements: throws
// "weight NAME holds X bytes, expected at least Y".
bool load_tensor_bytes(WeightGetter& get, const std::string& name, std::vector<uint8_t>& bytes,
                       uint64_t min_bytes, std::vector<int32_t>* shape = nullptr);

template <class T>
bool load_tensor(WeightGetter& get, const std::string& name, std::vector<T>& out, uint64_t min_count,
                 std::vector<int32_t>* shape = nullptr) {
  std::vector<uint8_t> bytes;
  if (!load_tensor_bytes(get, name, bytes, min_count * sizeof(T), shape)) {
    out.clear();
    return false;
  }
  out.resize(bytes.size() / sizeof(T));
  if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * sizeof(T));
  return true;
}

// "missing weight tensor: NAME" — thrown when a layer runs without a mandatory tensor.
[[noreturn]] void throw_missing_weight(const std::string& tensor);

// "node 'NAME' needs N inputs, got M"
void require_inputs(const ILayer& layer, int n, int needed);

// "node 'NAME': input holds X values, expected Y"
void require_elements(const ILayer& layer, const TensorShape& shape, uint64_t needed);

// "node 'NAME': inputs hold X and Y values, expected equal sizes"
void require_same_elements(const ILayer& layer, const TensorShape& a, const TensorShape& b);

}  // namespace trevalon
