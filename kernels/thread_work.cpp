// Per-thread working buffers of the kernels, freed on request.
#include "kernels/thread_work.h"

#include "kernels/huge_page_memory.h"
#include "kernels/thread_pool.h"

namespace trevalon {
namespace {

// Zero-filled and 64-byte aligned; large working sets (patch matrices, transformed tiles) on huge
// pages, since the kernels stream them on every pass.
struct Block {
  HugePageAllocation memory;
  size_t bytes = 0;
};

struct ThreadBlocks {
  Block blocks[static_cast<int>(WorkBuffer::Count)];
  void release() {
    for (Block& b : blocks) {
      free_huge_page_memory(b.memory);
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
  if (b.bytes < bytes || !b.memory.data) {
    const size_t size = bytes > 0 ? bytes : 1;
    const HugePageAllocation fresh = allocate_huge_page_memory(size);
    free_huge_page_memory(b.memory);
    b.memory = fresh;
    b.bytes = size;
  }
  return b.memory.data;
}

void release_thread_work() { run_on_every_thread(release_own); }

size_t thread_work_held_bytes() {
  size_t total = 0;
  for (const Block& b : blocks().blocks) total += b.bytes;
  return total;
}

}  // namespace trevalon
