// Huge-page memory for streamed weights: own 2 MiB-aligned mappings for large blocks, shared 2 MiB
// chunks for medium ones, the heap for the rest.
#include "kernels/huge_page_memory.h"

#include <bitset>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace trevalon {
namespace {

#if defined(__linux__)
constexpr size_t kHugePage = size_t(2) << 20;
constexpr size_t kSharedFrom = size_t(128) << 10;
constexpr size_t kSmallPage = 4096;

size_t round_up(size_t bytes, size_t to) { return (bytes + to - 1) / to * to; }

// A zero-filled mapping of `length` bytes (a multiple of 4 KiB) on a 2 MiB boundary, marked for
// huge pages, or null. Only whole 2 MiB stretches get huge pages; a tail stays in small ones, so a
// block takes no more memory than it asks for.
void* map_aligned(size_t length) {
  const size_t span = length + kHugePage;
  void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = round_up(start, kHugePage);
  if (aligned > start) munmap(raw, aligned - start);
  const uintptr_t end = start + span, used_end = aligned + length;
  if (end > used_end) munmap(reinterpret_cast<void*>(used_end), end - used_end);
  void* p = reinterpret_cast<void*>(aligned);
  madvise(p, length, MADV_HUGEPAGE);  // a hint; refused, the memory still works
  return p;
}

// Chunks that medium blocks are cut from, page by page: a block takes the first run of free 4 KiB
// pages long enough in any chunk (weights packed at load and freed once regrouped leave holes that
// the next layer's weights fill), and a chunk is unmapped when its last block is freed.
struct SharedChunks {
  static constexpr size_t kPages = kHugePage / kSmallPage;
  std::mutex mutex;
  std::map<uintptr_t, std::bitset<kPages>> chunks;  // chunk start -> pages in use

  void* take(size_t length) {
    const size_t pages = length / kSmallPage;
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& [start, used] : chunks) {
      size_t run = 0;
      for (size_t i = 0; i < kPages; ++i) {
        run = used[i] ? 0 : run + 1;
        if (run == pages) return mark(start, used, i + 1 - pages, pages);
      }
    }
    void* chunk = map_aligned(kHugePage);
    if (!chunk) return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(chunk);
    return mark(start, chunks[start], 0, pages);
  }

  void give_back(void* p, size_t length) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(p);
    const uintptr_t start = at & ~uintptr_t(kHugePage - 1);
    std::lock_guard<std::mutex> lock(mutex);
    auto it = chunks.find(start);
    if (it == chunks.end()) return;
    const size_t first = (at - start) / kSmallPage;
    for (size_t i = first; i < first + length / kSmallPage; ++i) it->second.reset(i);
    if (it->second.none()) {
      munmap(reinterpret_cast<void*>(start), kHugePage);
      chunks.erase(it);
    }
  }

 private:
  static void* mark(uintptr_t start, std::bitset<kPages>& used, size_t first, size_t pages) {
    for (size_t i = first; i < first + pages; ++i) used.set(i);
    return reinterpret_cast<void*>(start + first * kSmallPage);
  }
};

SharedChunks& shared_chunks() {
  static SharedChunks* chunks = new SharedChunks;  // never destroyed: blocks may outlive statics
  return *chunks;
}
#endif

}  // namespace

HugePageAllocation allocate_huge_page_memory(size_t bytes) {
  if (bytes > SIZE_MAX / 2) throw std::bad_alloc();  // no rounding below may overflow
  HugePageAllocation block;
#if defined(__linux__) && !defined(TREVALON_SANITIZED_ALLOCATOR) && !defined(__SANITIZE_ADDRESS__)
  // (Under the sanitizers every block comes from the heap, sized exactly, so that a read past its
  // end is reported rather than landing in a page's slack.)
  if (bytes >= kHugePage) {
    block.length = round_up(bytes, kSmallPage);
    block.data = map_aligned(block.length);  // fresh anonymous memory reads as zeros
    if (block.data) {
      block.kind = HugePageBlock::OwnMapping;
      return block;
    }
  } else if (bytes >= kSharedFrom) {
    block.length = round_up(bytes, kSmallPage);
    block.data = shared_chunks().take(block.length);
    if (block.data) {
      std::memset(block.data, 0, bytes);  // the chunk may have held a freed block
      block.kind = HugePageBlock::SharedChunk;
      return block;
    }
  }
#endif
  block.kind = HugePageBlock::Heap;
  block.length = bytes;
  block.data = ::operator new (bytes, std::align_val_t{64});
  std::memset(block.data, 0, bytes);
  return block;
}

void free_huge_page_memory(const HugePageAllocation& block) {
  if (!block.data) return;
  switch (block.kind) {
#if defined(__linux__)
    case HugePageBlock::OwnMapping: munmap(block.data, block.length); return;
    case HugePageBlock::SharedChunk: shared_chunks().give_back(block.data, block.length); return;
#endif
    default: ::operator delete (block.data, std::align_val_t{64}); return;
  }
}

namespace {
constexpr size_t kRecordBytes = 64;  // keeps the data 64-byte aligned
static_assert(sizeof(HugePageAllocation) <= kRecordBytes);
}  // namespace

void* allocate_huge_page_array(size_t bytes) {
  if (bytes > SIZE_MAX - kRecordBytes) throw std::bad_alloc();
  const HugePageAllocation block = allocate_huge_page_memory(kRecordBytes + bytes);
  std::memcpy(block.data, &block, sizeof block);
  return static_cast<char*>(block.data) + kRecordBytes;
}

void free_huge_page_array(void* data) {
  if (!data) return;
  HugePageAllocation block;
  std::memcpy(&block, static_cast<char*>(data) - kRecordBytes, sizeof block);
  free_huge_page_memory(block);
}

}  // namespace trevalon
