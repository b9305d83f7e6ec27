// Shape conversions of the runtime and the rules for arrays given to declared inputs. Nothing here
// allocates unless it throws, so the checks cost a few comparisons per input on every forward pass.
#include "runtime/shapes.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "kernels/conv_geometry.h"

namespace trevalon {
namespace {

constexpr uint64_t kCountOverflow = UINT64_MAX;

// Product of the dimensions; 0 when any is 0 or negative, kCountOverflow past 64 bits.
template <class T>
uint64_t count_of(std::span<const T> dims) {
  uint64_t n = 1;
  bool overflow = false;
  for (T d : dims) {
    if (d <= 0) return 0;
    overflow |= __builtin_mul_overflow(n, static_cast<uint64_t>(d), &n);
  }
  return overflow ? kCountOverflow : n;
}

template <class T>
std::string shape_text(std::span<const T> dims) {
  std::string s = "[";
  for (size_t i = 0; i < dims.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(dims[i]);
  }
  return s + "]";
}

std::string elements_text(uint64_t n) {
  if (n == kCountOverflow) return "more elements than 64 bits count";
  return std::to_string(n) + (n == 1 ? " element" : " elements");
}

bool is_variable(const std::vector<int32_t>& declared) {
  return std::find(declared.begin(), declared.end(), 0) != declared.end();
}

// Elements of one row of a variable shape as the engine binds it: width x channels, where the
// width is the middle entry of three (taken as 1 below 2) and 1 otherwise.
uint64_t row_elements(const std::vector<int32_t>& declared) {
  if (declared.empty()) return 0;
  const uint64_t c = static_cast<uint64_t>(std::max(declared.back(), 0));
  const uint64_t w = declared.size() >= 3 && declared[1] >= 2 ? static_cast<uint64_t>(declared[1]) : 1;
  return w * c;  // both below 2^31
}

// Does declared[i..] match dims[j..], 1s skipped on both sides? A declared 0 matches any size,
// including a 1 that was skipped (a sequence of one row given without its row dimension).
template <class T>
bool dims_match_from(const std::vector<int32_t>& declared, size_t i, std::span<const T> dims, size_t j) {
  while (i < declared.size() && declared[i] == 1) ++i;
  while (j < dims.size() && dims[j] == 1) ++j;
  if (i == declared.size()) return j == dims.size();
  if (declared[i] == 0 && dims_match_from(declared, i + 1, dims, j)) return true;
  if (j == dims.size()) return false;
  if (declared[i] != 0 && static_cast<int64_t>(declared[i]) != static_cast<int64_t>(dims[j])) return false;
  return dims_match_from(declared, i + 1, dims, j + 1);
}

// Are the dimensions other than 1, in order, those of the declared shape? An array that is 1-D
// once its 1s are dropped always is.
template <class T>
bool dims_match(const std::vector<int32_t>& declared, std::span<const T> dims) {
  const size_t given =
      static_cast<size_t>(std::count_if(dims.begin(), dims.end(), [](T d) { return d != 1; }));
  return given <= 1 || dims_match_from(declared, 0, dims, 0);
}

// The channels-first transpose of the declared shape: channels moved to the front, the rest in order.
template <class T>
bool is_channels_first(const std::vector<int32_t>& declared, std::span<const T> dims, size_t& rank) {
  constexpr size_t kMax = 8;
  int64_t d[kMax], a[kMax];
  size_t nd = 0, na = 0;
  for (int32_t v : declared)
    if (v != 1 && nd < kMax) d[nd++] = v;
  for (T v : dims)
    if (v != 1 && na < kMax) a[na++] = static_cast<int64_t>(v);
  rank = nd;
  if (nd < 2 || nd != na || nd == kMax) return false;
  auto same = [](int64_t want, int64_t got) { return want == 0 || want == got; };
  if (!same(d[nd - 1], a[0])) return false;
  for (size_t k = 1; k < nd; ++k)
    if (!same(d[k - 1], a[k])) return false;
  return true;
}

template <class T>
[[noreturn]] void fail_shape(const InputSpec& input, std::span<const T> dims, bool check_transpose) {
  const std::vector<int32_t>& declared = input.shape;
  std::string expected;
  if (!is_variable(declared))
    expected = elements_text(count_of(std::span<const int32_t>(declared)));
  else if (const uint64_t row = row_elements(declared))
    expected = "whole rows of " + elements_text(row);
  else
    expected = "any number of elements";
  std::string message = "input '" + input.name + "' expects shape " +
                        shape_text(std::span<const int32_t>(declared)) + " (" + expected + "), got shape " +
                        shape_text(dims) + " (" + elements_text(count_of(dims)) + ")";
  size_t rank = 0;
  if (check_transpose && is_channels_first(declared, dims, rank))
    message += rank >= 3 ? "; the engine takes height x width x channels, so transpose a channels-first array"
                         : "; the engine takes rows x channels, so transpose a channels-first array";
  throw std::runtime_error(message);
}

// The rule shared by both entry points for a fully declared shape: same count, matching dims.
template <class T>
void check_declared(const InputSpec& input, std::span<const T> dims) {
  if (count_of(dims) != count_of(std::span<const int32_t>(input.shape))) fail_shape(input, dims, false);
  if (!dims_match(input.shape, dims)) fail_shape(input, dims, true);
}

int32_t to_int32(const InputSpec& input, uint64_t v) {
  if (v > static_cast<uint64_t>(INT32_MAX))
    throw std::runtime_error("input '" + input.name + "' has " + std::to_string(v) +
                             " rows, more than a dimension can hold");
  return static_cast<int32_t>(v);
}

// The array has exactly the declared dimensions: the common case, answered first.
template <class T>
bool same_dims(const std::vector<int32_t>& declared, std::span<const T> dims) {
  if (declared.size() != dims.size()) return false;
  for (size_t k = 0; k < dims.size(); ++k)
    if (static_cast<int64_t>(declared[k]) != static_cast<int64_t>(dims[k])) return false;
  return true;
}

}  // namespace

uint64_t checked_mul(uint64_t a, uint64_t b, const std::string& what) {
  return checked_mul(a, b, UINT64_MAX, [&] { return "tensor '" + what + "' is too large"; });
}

uint64_t checked_elements(const TensorShape& s, const std::string& what) {
  auto dim = [](int32_t v) { return v > 0 ? uint64_t(v) : uint64_t(0); };
  return checked_mul(checked_mul(dim(s.c), dim(s.h), what), dim(s.w), what);
}

uint64_t checked_elements(const std::vector<int32_t>& dims, const std::string& what) {
  uint64_t n = 1;
  for (int32_t d : dims) n = checked_mul(n, static_cast<uint64_t>(d), what);
  return n;
}

TensorShape bound_shape(const std::vector<int32_t>& dims) {
  if (dims.empty()) return {1, 1, 1};
  if (dims.size() == 1) return {dims[0], 1, 1};
  if (dims.size() == 2) return {dims[1], std::max(dims[0], 1), 1};
  return {dims.back(), std::max(dims[0], 1), std::max(dims[1], 1)};
}

TensorShape planned_input_shape(const std::vector<int32_t>& declared, const std::vector<int32_t>* supplied) {
  if (declared.empty()) return {1, 1, 1};
  int32_t first = declared.size() >= 2 ? declared[0] : 1;
  int32_t second = declared.size() >= 3 ? declared[1] : 1;
  int32_t last = declared.back();
  if (supplied && !supplied->empty()) {
    const std::vector<int32_t>& S = *supplied;
    if (last == 0) last = S.back();
    if (first == 0) first = S.size() >= 2 ? S[0] : 1;
    if (second == 0) second = S.size() >= 3 ? S[1] : 1;
  }
  return {last, std::max(first, 1), std::max(second, 1)};
}

void output_dims(const TensorShape& s, std::vector<int32_t>& out) {
  if (s.w >= 2)
    out.assign({s.h, s.w, s.c});
  else if (s.h >= 2)
    out.assign({s.h, s.c});
  else
    out.assign({s.c});
}

std::vector<int32_t> input_tensor_shape(const InputSpec& input, std::span<const int64_t> dims) {
  const std::vector<int32_t>& declared = input.shape;
  if (!is_variable(declared)) {
    if (same_dims(declared, dims)) return declared;
    check_declared(input, dims);
    return declared;
  }
  const uint64_t count = count_of(dims);
  const uint64_t row = row_elements(declared);
  // A partial row would be read past the array's end, or its tail silently dropped.
  if (row > 0 && (count < row || count % row != 0)) fail_shape(input, dims, false);
  if (!dims_match(declared, dims)) fail_shape(input, dims, true);

  const int32_t c = std::max(declared.back(), 0);
  const int32_t w = declared.size() >= 3 && declared[1] >= 2 ? declared[1] : 1;
  const int32_t h = row == 0 ? 0 : to_int32(input, count / row);
  std::vector<int32_t> shape;
  output_dims(TensorShape{c, h, w}, shape);  // rows given back in the form outputs take
  return shape;
}

void check_bound_shape(const InputSpec& input, const std::vector<int32_t>& shape) {
  const std::vector<int32_t>& declared = input.shape;
  const std::span<const int32_t> dims(shape);
  if (shape == declared) return;  // as the bindings pass every fully declared input
  if (!is_variable(declared)) {
    check_declared(input, dims);
    return;
  }
  // Binding takes the channels from the last dimension and the width from the second of three.
  const int32_t c = shape.empty() ? 1 : shape.back();
  const int32_t w = shape.size() >= 3 ? shape[1] : 1;
  if (declared.back() > 0 && c != declared.back()) fail_shape(input, dims, true);
  if (declared.size() >= 3 && declared[1] >= 2 && w != declared[1]) fail_shape(input, dims, true);
}

}  // namespace trevalon
