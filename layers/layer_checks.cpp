// Tensor reads and input checks shared by the layers.
#include "layers/layer_checks.h"

#include <stdexcept>

namespace trevalon {

bool load_tensor_bytes(WeightGetter& get, const std::string& name, std::vector<uint8_t>& bytes,
                       uint64_t min_bytes, std::vector<int32_t>* shape) {
  std::vector<int32_t> dims;
  if (!get(name, dims, bytes)) {
    bytes.clear();
    if (shape) shape->clear();
    return false;
  }
  if (bytes.size() < min_bytes)
    throw std::runtime_error("weight " + name + " holds " + std::to_string(bytes.size()) +
                             " bytes, expected at least " + std::to_string(min_bytes));
  if (shape) *shape = std::move(dims);
  return true;
}

void require_tensor_elements(const std::string& name, uint64_t bytes, uint64_t element_size, uint64_t count) {
  if (bytes % element_size != 0)
    throw std::runtime_error("weight " + name + " holds " + std::to_string(bytes) + " bytes, expected " +
                             std::to_string(count * element_size) + " (" + std::to_string(count) +
                             " elements)");
  if (bytes / element_size != count)
    throw std::runtime_error("weight " + name + " holds " + std::to_string(bytes / element_size) +
                             " elements, expected " + std::to_string(count));
}

void throw_missing_weight(const std::string& tensor) {
  throw std::runtime_error("missing weight tensor: " + tensor);
}

void require_inputs(const ILayer& layer, int n, int needed) {
  if (n < needed)
    throw std::runtime_error("node '" + layer.name + "' needs " + std::to_string(needed) + " inputs, got " +
                             std::to_string(n));
}

void require_elements(const ILayer& layer, const TensorShape& shape, uint64_t needed) {
  const uint64_t have = element_count(shape);
  if (have != needed)
    throw std::runtime_error("node '" + layer.name + "': input holds " + std::to_string(have) +
                             " values, expected " + std::to_string(needed));
}

void require_same_elements(const ILayer& layer, const TensorShape& a, const TensorShape& b) {
  const uint64_t x = element_count(a), y = element_count(b);
  if (x != y)
    throw std::runtime_error("node '" + layer.name + "': inputs hold " + std::to_string(x) + " and " +
                             std::to_string(y) + " values, expected equal sizes");
}

}  // namespace trevalon
