// Weights in the form one kernel tier reads, derived once at load from the table's packed layouts
// (4-row float panels, 8x4 int8 blocks) and tagged with the tier they were derived for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "kernels/huge_page_memory.h"

namespace trevalon {

// `format` of weights nothing has prepared yet; a tier's drivers use their tier's number.
inline constexpr int kUnpreparedFormat = -1;

// Owned, 64-byte aligned, zero-filled storage of a prepared form, on huge pages when large (the
// kernels stream it on every pass).
class AlignedStorage {
 public:
  AlignedStorage() = default;
  AlignedStorage(AlignedStorage&& other) noexcept
      : block_(std::exchange(other.block_, HugePageAllocation{})), bytes_(std::exchange(other.bytes_, 0)) {}
  AlignedStorage& operator=(AlignedStorage&& other) noexcept {
    if (this != &other) {
      reset();
      block_ = std::exchange(other.block_, HugePageAllocation{});
      bytes_ = std::exchange(other.bytes_, 0);
    }
    return *this;
  }
  ~AlignedStorage() { reset(); }

  void assign_zeros(size_t bytes);
  void reset() {
    free_huge_page_memory(block_);
    block_ = HugePageAllocation{};
    bytes_ = 0;
  }
  void* data() const { return block_.data; }
  size_t bytes() const { return bytes_; }

 private:
  HugePageAllocation block_;
  size_t bytes_ = 0;
};

// A float matrix in the tier's form. With `panel` 4 the table's packed panels serve as they are
// and `data` stays empty; with 16 `data` holds ceil(rows/16) groups of cols x 16 floats.
struct PreparedWeightsF32 {
  int format = kUnpreparedFormat;
  int panel = 4;
  AlignedStorage data;
  const float* get() const { return static_cast<const float*>(data.data()); }
  // The row-major rows x cols matrix back from `data` (which must hold it): what a layer that kept
  // only this form packs again for another tier.
  void unpack_rows(int rows, int cols, float* w) const;
};

// What the int8 kernels would otherwise derive on every call: each channel's starting accumulator
// (for the offset-activation scheme: -128 x the weight row sum, plus the low 32 bits of the bias
// when `division`), and the tier's requantisation constants (`tables`, opaque; empty when the
// channels cannot be requantised by the tier's division form). Empty `starts`: nothing to read.
struct PreparedWeightsI8 {
  int format = kUnpreparedFormat;
  bool division = false;
  AlignedStorage starts;
  AlignedStorage tables;
  // The weights themselves in the tier's own layout, for a tier that reads them so in place of the
  // packed blocks (empty otherwise); a layer holding them may drop its packed form.
  AlignedStorage weights;
  const int32_t* start_values() const { return static_cast<const int32_t*>(starts.data()); }
};

// Preparations performed by this process so far (tests check that forwards perform none).
uint64_t weight_preparations();
void count_weight_preparation();

}  // namespace trevalon
