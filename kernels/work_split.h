// How much work a range must hold before a kernel hands it to another thread: enough for some tens of microseconds, so that a hand-off (a few
// microseconds to a spinning worker) never costs more than it saves, and small layers stay on the
// caller.
#pragma once

#include <cstddef>

namespace trevalon {

// Plain per-value operations (adds, products, copies, snapping to a grid): memory-bound.
constexpr size_t kSplitValues = 32768;
// Values of a polynomial activation (GELU, SiLU, exp, ...): some nanoseconds each.
constexpr size_t kSplitTranscendentals = 8192;

// Multiply-adds a range of a float product should hold, and of an int8 one (whose vector
// instructions do several times as many per cycle).
constexpr size_t kSplitMacsF32 = size_t(1) << 20;
constexpr size_t kSplitMacsI8 = size_t(1) << 23;
// A float matrix-vector product waits on memory rather than on arithmetic: 128K weights (512 KiB).
constexpr size_t kSplitGemvMacsF32 = size_t(1) << 17;

// Rows of a K x N product per range, for `macs` multiply-adds per range.
inline size_t rows_worth_splitting(long K, long N, size_t macs = kSplitMacsF32) {
  const size_t per_row = size_t(K > 0 ? K : 1) * size_t(N > 0 ? N : 1);
  const size_t rows = macs / per_row;
  return rows > 0 ? rows : 1;
}

// Weight rows of K bytes per range of a matrix-vector product: 32 KiB streamed from memory.
inline size_t gemv_rows_worth_splitting(long K) {
  const size_t rows = size_t(32768) / size_t(K > 0 ? K : 1);
  return rows > 4 ? rows : 4;
}

// Rows of `cols` values per range for a pass that reads each value a few times (norms).
inline size_t rows_of_values(long cols, size_t values = kSplitValues) {
  const size_t rows = values / size_t(cols > 0 ? cols : 1);
  return rows > 0 ? rows : 1;
}

}  // namespace trevalon
