// Memory for weights that kernels stream from RAM on every pass. With 4 KiB pages a streamed
// megabyte costs 256 page walks; on huge pages it costs none worth counting. Blocks of 2 MiB and
// more get a mapping of their own on a 2 MiB boundary; blocks from 128 KiB are cut from shared
// 2 MiB chunks (a layer's sixteen 1 MiB Winograd matrices fill eight huge pages); smaller ones come
// from the heap. The huge pages are asked for, not required: the memory works without them.
#pragma once

#include <cstddef>

namespace trevalon {

// How a block was obtained, which is what freeing it needs to know.
enum class HugePageBlock { Heap, OwnMapping, SharedChunk };

struct HugePageAllocation {
  void* data = nullptr;
  HugePageBlock kind = HugePageBlock::Heap;
  size_t length = 0;  // bytes reserved (the request rounded up)
};

// `bytes` (> 0) of zero-filled memory, 64-byte aligned. Throws std::bad_alloc when none is left.
HugePageAllocation allocate_huge_page_memory(size_t bytes);
void free_huge_page_memory(const HugePageAllocation& block);

// The same memory behind a bare pointer, for owners that free by pointer alone (the packed weights
// of the kernel table): the block's record sits in the 64 bytes before the data.
void* allocate_huge_page_array(size_t bytes);
void free_huge_page_array(void* data);

}  // namespace trevalon
