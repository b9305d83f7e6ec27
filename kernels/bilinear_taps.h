// Where an output row (or column) of a half-pixel bilinear resize samples its input: the two
// neighbouring input indices and the weight of the second.
#pragma once

#include <math.h>

namespace trevalon {
namespace {  // included by ISA files too: keep every copy local to its file

struct BilinearTap {
  int lo;  // index weighted (1 - frac)
  int hi;  // index weighted frac
  float frac;
};

// s = (i + 0.5) * in / out - 0.5 with one rounding for the final multiply-add; both neighbours are
// clamped into the input.
inline BilinearTap bilinear_tap(int i, int in_size, float inv_out_size) {
  const float s = fmaf((static_cast<float>(i) + 0.5f) * static_cast<float>(in_size), inv_out_size, -0.5f);
  const float base = floorf(s);
  const int last = in_size - 1;
  int lo = static_cast<int>(base);
  int hi = lo + 1;
  lo = lo < 0 ? 0 : (lo > last ? last : lo);
  hi = hi < 0 ? 0 : (hi > last ? last : hi);
  return {lo, hi, s - base};
}

}  // namespace
}  // namespace trevalon
