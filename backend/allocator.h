// Memory handles: the allocator interface a backend hands out, the host allocator and owning buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace trevalon {

class Allocator;

// Borrowed view of a buffer; the first three fields of a Buffer.
struct BufferView {
  void* data = nullptr;
  uint8_t is_device = 0;
  uint64_t bytes = 0;
};

// Owning handle: releases its memory through the deleter bound when it was made.
class Buffer {
 public:
  void* data = nullptr;
  uint8_t is_device = 0;
  uint64_t bytes = 0;
  std::function<void(void*)> deleter;

  Buffer() = default;
  Buffer(void* d, uint8_t dev, uint64_t n, std::function<void(void*)> del)
      : data(d), is_device(dev), bytes(n), deleter(std::move(del)) {}
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  Buffer(Buffer&& other) noexcept { take(other); }
  Buffer& operator=(Buffer&& other) noexcept {
    if (this != &other) {
      release();
      take(other);
    }
    return *this;
  }
  ~Buffer() { release(); }

  BufferView view() const { return BufferView{data, is_device, bytes}; }
  void release();
  // Make the buffer hold at least n bytes; contents are not kept, buffers never shrink.
  void grow(Allocator& allocator, uint64_t n);

 private:
  void take(Buffer& other) noexcept;
};

class Allocator {
 public:
  virtual bool is_device() const = 0;
  virtual void* allocate(uint64_t bytes) = 0;
  virtual void free(void* p) = 0;
  virtual void copy_to_device(void* dst, const void* src, uint64_t bytes) = 0;
  virtual void copy_to_host(void* dst, const void* src, uint64_t bytes) = 0;
  virtual void copy_on_device(void* dst, const void* src, uint64_t bytes) = 0;
  virtual void synchronize() = 0;
  virtual void zero(void* p, uint64_t bytes) = 0;
  virtual ~Allocator() = default;

  Buffer make_buffer(uint64_t bytes);
};

// Host memory, 64-byte aligned so every vector width can load it; allocation failure throws bad_alloc.
class CpuAllocator final : public Allocator {
 public:
  bool is_device() const override { return false; }
  void* allocate(uint64_t bytes) override;
  void free(void* p) override;
  void copy_to_device(void* dst, const void* src, uint64_t bytes) override;
  void copy_to_host(void* dst, const void* src, uint64_t bytes) override;
  void copy_on_device(void* dst, const void* src, uint64_t bytes) override;
  void synchronize() override {}
  void zero(void* p, uint64_t bytes) override;
};

// The process-wide host allocator used for host mirrors and staging whatever backend is active.
CpuAllocator& host_allocator();

}  // namespace trevalon
