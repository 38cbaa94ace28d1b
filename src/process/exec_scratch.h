// The NUL-terminated copies of a child's arguments and environment that execve needs.
#pragma once

#include <cstddef>
#include <span>

#include "diag/error.h"
#include "runtime/allocator.h"
#include "runtime/bytes.h"

namespace larderbox {

// Made before the fork so that the child allocates nothing. One allocation, given back in one
// release once the child has its own copy of it, or when the launch fails.
class ExecScratch {
 public:
  explicit ExecScratch(ProcessAllocator& allocator) : allocator_(allocator) {}
  ExecScratch(const ExecScratch&) = delete;
  ExecScratch& operator=(const ExecScratch&) = delete;
  ~ExecScratch() { release(); }

  // Both vectors null-terminated, every string NUL-terminated; OutOfMemory when they do not fit.
  Status copy(std::span<const Bytes> arguments, std::span<const Bytes> environment);
  void release();

  [[nodiscard]] char** arguments() const { return arguments_; }
  [[nodiscard]] char** environment() const { return environment_; }

 private:
  ProcessAllocator& allocator_;
  void* memory_ = nullptr;
  std::size_t size_ = 0;
  char** arguments_ = nullptr;
  char** environment_ = nullptr;
};

}  // namespace larderbox
