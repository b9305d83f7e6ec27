// Float weights that a weights file may store quantised: an int8 tensor NAME + "_i8" beside one
// float scale per row, PREFIX + "w_scales" (PREFIX: NAME up to and including its last "."). The
// layer asks for the float weight by NAME and gets it rebuilt, row i element j = scale[i] x q[i][j].
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "layers/layer_checks.h"

namespace trevalon {

// "w_scales" beside `name`: "blocks.0.ff.w_scales" for "blocks.0.ff.weight".
std::string row_scales_name(const std::string& name);

// Rebuilds `name` from its quantised pair into `out` when both tensors exist (true); false, with
// `out` untouched, otherwise. Throws "weight NAME_i8 holds B bytes, not a whole number of rows of
// its S scales in SCALES" when the int8 bytes do not split into one row per scale, and the
// weight-size error for SCALES when `rows` (0: any) fixes their count.
bool load_quantised_float(WeightGetter& get, const std::string& name, std::vector<float>& out,
                          uint64_t rows = 0);

// The float weight `name` through the rule above, else read as float32; absent: false and `out`
// cleared. Either way it must hold exactly `count` elements (a number, or a callable run only
// for a present weight), or loading fails with the weight-size error naming the tensor read;
// `rows` (0: any) is the number of scales a quantised weight must come with.
template <class Count>
bool load_float_weight(WeightGetter& get, const std::string& name, std::vector<float>& out, Count&& count,
                       uint64_t rows = 0) {
  if (!load_quantised_float(get, name, out, rows)) return load_tensor_exact(get, name, out, count);
  uint64_t expected;
  if constexpr (std::is_invocable_v<Count>)
    expected = uint64_t(count());
  else
    expected = uint64_t(count);
  require_tensor_elements(name + "_i8", out.size(), 1, expected);
  return true;
}

}  // namespace trevalon
