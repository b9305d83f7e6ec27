// Buffers and the host allocator.
#include "backend/allocator.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "kernels/huge_page_memory.h"

namespace trevalon {

void Buffer::release() {
  if (data && deleter) deleter(data);
  data = nullptr;
  is_device = 0;
  bytes = 0;
  deleter = nullptr;
}

void Buffer::take(Buffer& other) noexcept {
  data = other.data;
  is_device = other.is_device;
  bytes = other.bytes;
  deleter = std::move(other.deleter);
  other.data = nullptr;
  other.is_device = 0;
  other.bytes = 0;
  other.deleter = nullptr;
}

void Buffer::grow(Allocator& allocator, uint64_t n) {
  if (bytes >= n && (data || n == 0)) return;
  release();
  *this = allocator.make_buffer(n);
}

Buffer Allocator::make_buffer(uint64_t bytes) {
  void* p = allocate(bytes);
  return Buffer(p, is_device() ? 1 : 0, bytes, [this](void* q) { this->free(q); });
}

void* CpuAllocator::allocate(uint64_t bytes) {
#if defined(TREVALON_SANITIZED_ALLOCATOR) || defined(__SANITIZE_ADDRESS__)
  // Exactly the bytes asked for (never zero), so a read or write past them is reported rather than
  // landing in rounding slack.
  void* p = nullptr;
  if (bytes > SIZE_MAX || posix_memalign(&p, 64, bytes ? size_t(bytes) : 1) != 0) throw std::bad_alloc();
  return p;
#else
  // Round up so the size is a multiple of the alignment, and never ask for zero bytes.
  uint64_t rounded = (bytes + 63) & ~uint64_t(63);
  if (rounded < bytes) throw std::bad_alloc();
  if (rounded == 0) rounded = 64;
  // Large buffers (activations, scratch) sit on huge pages: every pass streams through them.
  return allocate_huge_page_array(size_t(rounded));
#endif
}

void CpuAllocator::free(void* p) {
#if defined(TREVALON_SANITIZED_ALLOCATOR) || defined(__SANITIZE_ADDRESS__)
  std::free(p);
#else
  free_huge_page_array(p);
#endif
}

void CpuAllocator::copy_to_device(void* dst, const void* src, uint64_t bytes) {
  if (bytes) std::memcpy(dst, src, bytes);
}
void CpuAllocator::copy_to_host(void* dst, const void* src, uint64_t bytes) {
  if (bytes) std::memcpy(dst, src, bytes);
}
void CpuAllocator::copy_on_device(void* dst, const void* src, uint64_t bytes) {
  if (bytes) std::memmove(dst, src, bytes);
}
void CpuAllocator::zero(void* p, uint64_t bytes) {
  if (bytes) std::memset(p, 0, bytes);
}

CpuAllocator& host_allocator() {
  static CpuAllocator instance;
  return instance;
}

}  // namespace trevalon
