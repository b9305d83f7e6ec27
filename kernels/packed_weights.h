// The one owner of packed weights: what a table's pack_weights_f32 / pack_weights_i8 returned,
// released through the free function of the table that packed it (a later tier's table may free
// differently), whether a layer keeps it from load or a kernel packs for one call.
#pragma once

#include <cstdint>
#include <utility>

namespace trevalon {

template <class T>
class PackedWeights {
 public:
  using Release = void (*)(T*);

  PackedWeights() = default;
  // `bytes`: the size an upload step copies, where the owner needs it (0 otherwise).
  PackedWeights(T* data, Release release, uint64_t bytes = 0) noexcept
      : data_(data), release_(release), bytes_(bytes) {}
  PackedWeights(PackedWeights&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)), release_(o.release_), bytes_(std::exchange(o.bytes_, 0)) {}
  PackedWeights& operator=(PackedWeights&& o) noexcept {
    if (this != &o) {
      reset();
      data_ = std::exchange(o.data_, nullptr);
      release_ = o.release_;
      bytes_ = std::exchange(o.bytes_, 0);
    }
    return *this;
  }
  PackedWeights(const PackedWeights&) = delete;
  PackedWeights& operator=(const PackedWeights&) = delete;
  ~PackedWeights() { reset(); }

  const T* get() const { return data_; }
  uint64_t bytes() const { return bytes_; }
  void reset() {
    if (data_ && release_) release_(data_);
    data_ = nullptr;
    bytes_ = 0;
  }

 private:
  T* data_ = nullptr;
  Release release_ = nullptr;
  uint64_t bytes_ = 0;
};

}  // namespace trevalon
