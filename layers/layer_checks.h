// Helpers every layer uses to read its tensors and to refuse inputs it cannot handle safely.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "layers/layer.h"

namespace trevalon {

// Fetches `name` and reinterprets its bytes as T. Absent: `out` is cleared and false is returned
// (loading stays lenient). Present but holding fewer than `min_count` elements: throws
// "weight NAME holds X bytes, expected at least Y". For tensors whose size is a lower bound only.
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

// Throws unless `bytes` holds exactly `count` elements of `element_size` bytes:
// "weight NAME holds X elements, expected Y", or, for a byte count that is no whole number of
// elements, "weight NAME holds X bytes, expected B (Y elements)".
void require_tensor_elements(const std::string& name, uint64_t bytes, uint64_t element_size, uint64_t count);

// What a present tensor of no elements means: a size like any other, or "none" (an optional
// bias stored empty).
enum class EmptyTensor { Checked, MeansAbsent };

// Fetches `name` as exactly the element count the layer's parameters fix. Absent: `out` is cleared
// and false is returned. Present: `count` must match exactly, so that a model built for another
// architecture (a 1000-class head under a 10-class one) fails here. `count` is a number or a
// callable returning one; the callable runs only for a present tensor, after `shape` is filled, so
// a layer can first refuse the parameters the count derives from, or take the count from the
// tensor's own dimensions where those set the sizes.
template <class T, class Count>
bool load_tensor_exact(WeightGetter& get, const std::string& name, std::vector<T>& out, Count&& count,
                       std::vector<int32_t>* shape = nullptr, EmptyTensor empty = EmptyTensor::Checked) {
  std::vector<uint8_t> bytes;
  if (!load_tensor_bytes(get, name, bytes, 0, shape) ||
      (bytes.empty() && empty == EmptyTensor::MeansAbsent)) {
    out.clear();
    if (shape) shape->clear();
    return false;
  }
  uint64_t expected;
  if constexpr (std::is_invocable_v<Count>)
    expected = uint64_t(count());
  else
    expected = uint64_t(count);
  require_tensor_elements(name, bytes.size(), sizeof(T), expected);
  out.resize(bytes.size() / sizeof(T));
  if (!out.empty()) std::memcpy(out.data(), bytes.data(), bytes.size());
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
