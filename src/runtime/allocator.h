// The process allocator: one bump arena for the whole run, in blocks of anonymous memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace larderbox {

// Sum with saturation: an overflowing size is simply too large to allocate.
constexpr std::size_t addSaturated(std::size_t a, std::size_t b) {
  return a > SIZE_MAX - b ? SIZE_MAX : a + b;
}

// Every string and array a run forms comes from here and lives until the process is replaced or
// exits; only the error exit's tear-down gives the memory back (releaseAll).
//
// Each block begins with a 24-byte header (block size, bytes used, next block). When the current
// block cannot take a request, a new one is mapped of 1.5 x (usable size of the current block +
// request + alignment + 40), rounded up to an even number; the block then owns the whole pages the
// kernel maps for that size. The first block may be storage the creator hands over instead.
class ProcessAllocator {
 public:
  ProcessAllocator() = default;
  // `first_block`, aligned to 8 bytes and larger than a header, is the first block: a run whose
  // strings fit there maps no memory at all. It is never unmapped; releaseAll forgets it.
  explicit ProcessAllocator(std::span<char> first_block);
  ProcessAllocator(const ProcessAllocator&) = delete;
  ProcessAllocator& operator=(const ProcessAllocator&) = delete;

  // `alignment` is a power of two. Returns nullptr when memory is exhausted.
  void* allocate(std::size_t size, std::size_t alignment);

  // Succeeds when shrinking, or when growing the most recent allocation of the current block within
  // that block; otherwise callers allocate, copy and release.
  bool resizeInPlace(void* memory, std::size_t old_size, std::size_t new_size);

  // Gives the bytes back only for the most recent allocation of the current block.
  void release(void* memory, std::size_t size);

  // Unmaps every mapped block; allocations start afresh in a new mapping.
  void releaseAll();

  template <class T>
  T* allocateArray(std::size_t count) {
    if (count > SIZE_MAX / sizeof(T)) return nullptr;
    return static_cast<T*>(allocate(count * sizeof(T), alignof(T)));
  }

 private:
  struct BlockHeader {
    std::size_t size;  // whole mapping, header included
    std::size_t used;  // bytes handed out behind the header
    BlockHeader* next;
  };
  static_assert(sizeof(BlockHeader) == 24);

  bool isMostRecent(const void* memory, std::size_t size) const;
  bool mapBlock(std::size_t size, std::size_t alignment);
  void* carve(std::size_t size, std::size_t alignment);

  BlockHeader* current_ = nullptr;
  const BlockHeader* first_block_ = nullptr;  // the creator's storage, when it handed some over
};

#ifdef LARDERBOX_FAULT_SEAM
// Test builds only: makes the n-th allocate() from now on fail (counting from 1); 0 disarms. When
// the failure happens, one byte is written to `report_fd` unless it is negative.
void failNthAllocation(std::uint64_t n, int report_fd = -1);
#endif

}  // namespace larderbox
