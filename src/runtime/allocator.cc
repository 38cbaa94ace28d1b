#include "runtime/allocator.h"

#include "runtime/system_calls.h"

namespace larderbox {
namespace {

constexpr std::size_t kHeaderSize = 24;
// The kernel maps whole pages; the block owns all of them, so the next small requests need no map.
constexpr std::size_t kPageSize = 4096;

#ifdef LARDERBOX_FAULT_SEAM
std::uint64_t allocations_until_failure = 0;
int failure_report_fd = -1;

bool injectedFailure() {
  if (allocations_until_failure == 0) return false;
  if (--allocations_until_failure != 0) return false;
  // A lost report only makes the test that asked for it fail: nothing to do about it here.
  if (failure_report_fd >= 0 && writeFile(failure_report_fd, "!", 1).value_or(0) != 1)
    failure_report_fd = -1;
  return true;
}
#endif

}  // namespace

ProcessAllocator::ProcessAllocator(std::span<char> first_block) {
  auto* block = reinterpret_cast<BlockHeader*>(first_block.data());
  block->size = first_block.size();
  block->used = 0;
  block->next = nullptr;
  current_ = block;
  first_block_ = block;
}

#ifdef LARDERBOX_FAULT_SEAM
void failNthAllocation(std::uint64_t n, int report_fd) {
  allocations_until_failure = n;
  failure_report_fd = report_fd;
}
#endif

void* ProcessAllocator::allocate(std::size_t size, std::size_t alignment) {
#ifdef LARDERBOX_FAULT_SEAM
  if (injectedFailure()) return nullptr;
#endif
  if (alignment == 0) alignment = 1;
  if (void* memory = carve(size, alignment)) return memory;
  if (!mapBlock(size, alignment)) return nullptr;
  return carve(size, alignment);
}

// `size` bytes behind the current block's last request, or null when they do not fit. Integers,
// not pointers: an aligned start past the block's end must not be formed as a pointer.
void* ProcessAllocator::carve(std::size_t size, std::size_t alignment) {
  if (current_ == nullptr) return nullptr;
  std::uintptr_t first = reinterpret_cast<std::uintptr_t>(current_) + kHeaderSize;
  std::uintptr_t start = (first + current_->used + alignment - 1) & ~(alignment - 1);
  std::uintptr_t end = reinterpret_cast<std::uintptr_t>(current_) + current_->size;
  if (start < first || start > end || size > end - start) return nullptr;
  current_->used = start + size - first;
  // NOLINTNEXTLINE(performance-no-int-to-ptr): `start` was checked to lie inside the block
  return reinterpret_cast<void*>(start);
}

bool ProcessAllocator::mapBlock(std::size_t size, std::size_t alignment) {
  std::size_t usable = current_ != nullptr ? current_->size - kHeaderSize : 0;
  std::size_t sum = addSaturated(addSaturated(addSaturated(usable, size), alignment), 40);
  std::size_t block_size = addSaturated(sum, sum / 2);
  if (block_size == SIZE_MAX) return false;
  block_size = addSaturated(block_size, block_size & 1);
  block_size = addSaturated(block_size, -block_size & (kPageSize - 1));
  if (block_size == SIZE_MAX) return false;
  SystemResult<void*> memory = mapAnonymous(block_size);
  if (!memory) return false;
  auto* block = static_cast<BlockHeader*>(*memory);
  block->size = block_size;
  block->used = 0;
  block->next = current_;
  current_ = block;
  return true;
}

bool ProcessAllocator::isMostRecent(const void* memory, std::size_t size) const {
  if (current_ == nullptr || memory == nullptr) return false;
  const char* used_end = reinterpret_cast<const char*>(current_) + kHeaderSize + current_->used;
  const char* first = reinterpret_cast<const char*>(current_) + kHeaderSize;
  const char* start = static_cast<const char*>(memory);
  return start >= first && start <= used_end && static_cast<std::size_t>(used_end - start) == size;
}

bool ProcessAllocator::resizeInPlace(void* memory, std::size_t old_size, std::size_t new_size) {
  if (!isMostRecent(memory, old_size)) return new_size <= old_size;
  char* first = reinterpret_cast<char*>(current_) + kHeaderSize;
  char* start = static_cast<char*>(memory);
  auto offset = static_cast<std::size_t>(start - first);
  if (new_size > current_->size - kHeaderSize - offset) return false;
  current_->used = offset + new_size;
  return true;
}

void ProcessAllocator::release(void* memory, std::size_t size) {
  if (!isMostRecent(memory, size)) return;
  current_->used -= size;
}

void ProcessAllocator::releaseAll() {
  while (current_ != nullptr) {
    BlockHeader* next = current_->next;
    if (current_ != first_block_) unmapMemory(current_, current_->size);
    current_ = next;
  }
  first_block_ = nullptr;
}

}  // namespace larderbox
