// Per-thread working buffers of the kernels, freed on request.
#include "kernels/thread_work.h"

#include <cstring>
#include <new>

#include "kernels/thread_pool.h"

namespace trevalon {
namespace {

constexpr std::align_val_t kAlign{64};

struct Block {
  void* data = nullptr;
  size_t bytes = 0;
};

struct ThreadBlocks {
  Block blocks[static_cast<int>(WorkBuffer::Count)];
  void release() {
    for (Block& b : blocks) {
      if (b.data) ::operator delete(b.data, kAlign);
      b = Block{};
    }
  }
  ~ThreadBlocks() { release(); }
};

ThreadBlocks& blocks() {
  thread_local ThreadBlocks instance;
  return instance;
}

void release_own() { blocks().release(); }

}  // namespace

void* thread_work_bytes(WorkBuffer buffer, size_t bytes) {
  Block& b = blocks().blocks[static_cast<int>(buffer)];
  if (b.bytes < bytes || !b.data) {
    const size_t size = bytes > 0 ? bytes : 1;
    void* fresh = ::operator new(size, kAlign);
    std::memset(fresh, 0, size);
    if (b.data) ::operator delete(b.data, kAlign);
    b.data = fresh;
    b.bytes = size;
  }
  return b.data;
}

void release_thread_work() { run_on_every_thread(release_own); }

size_t thread_work_held_bytes() {
  size_t total = 0;
  for (const Block& b : blocks().blocks) total += b.bytes;
  return total;
}

}  // namespace trevalon
