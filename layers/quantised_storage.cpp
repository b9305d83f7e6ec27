// The quantised storage of float weights: an int8 matrix and its row scales, dequantised at load.
#include "layers/quantised_storage.h"

#include <stdexcept>

namespace trevalon {

std::string row_scales_name(const std::string& name) {
  const size_t dot = name.rfind('.');
  return (dot == std::string::npos ? std::string() : name.substr(0, dot + 1)) + "w_scales";
}

bool load_quantised_float(WeightGetter& get, const std::string& name, std::vector<float>& out,
                          uint64_t rows) {
  const std::string scales_name = row_scales_name(name);
  std::vector<int8_t> q;
  std::vector<float> scales;
  if (!load_tensor(get, name + "_i8", q, 0)) return false;
  if (!load_tensor(get, scales_name, scales, 0)) return false;
  const size_t S = scales.size(), B = q.size();
  if (rows > 0) require_tensor_elements(scales_name, S * sizeof(float), sizeof(float), rows);
  if (S == 0 ? B != 0 : B % S != 0)
    throw std::runtime_error("weight " + name + "_i8 holds " + std::to_string(B) +
                             " bytes, not a whole number of rows of its " + std::to_string(S) +
                             " scales in " + scales_name);
  out.resize(B);
  const size_t row = S == 0 ? 0 : B / S;
  for (size_t i = 0; i < S; ++i)
    for (size_t j = 0; j < row; ++j) out[i * row + j] = scales[i] * float(q[i * row + j]);
  return true;
}

}  // namespace trevalon
