#include "process/exec_scratch.h"

#include <cstdint>
#include <cstring>

namespace larderbox {
namespace {

bool addSize(std::size_t& total, std::size_t more) {
  if (more > SIZE_MAX - total) return false;
  total += more;
  return true;
}

// Room for `strings` as NUL-terminated copies plus their null-terminated pointer vector.
bool addVectorSize(std::size_t& total, std::span<const Bytes> strings) {
  if (strings.size() >= SIZE_MAX / sizeof(char*)) return false;
  if (!addSize(total, (strings.size() + 1) * sizeof(char*))) return false;
  for (Bytes string : strings)
    if (!addSize(total, string.size()) || !addSize(total, 1)) return false;
  return true;
}

char* copyVector(char** vector, char* strings, std::span<const Bytes> from) {
  for (std::size_t i = 0; i < from.size(); ++i) {
    vector[i] = strings;
    std::memcpy(strings, from[i].data(), from[i].size());
    strings += from[i].size();
    *strings++ = '\0';
  }
  vector[from.size()] = nullptr;
  return strings;
}

}  // namespace

Status ExecScratch::copy(std::span<const Bytes> arguments, std::span<const Bytes> environment) {
  std::size_t size = 0;
  if (!addVectorSize(size, arguments) || !addVectorSize(size, environment))
    return fail(Error::OutOfMemory);
  memory_ = allocator_.allocate(size, alignof(char*));
  if (memory_ == nullptr) return fail(Error::OutOfMemory);
  size_ = size;
  arguments_ = static_cast<char**>(memory_);
  environment_ = arguments_ + arguments.size() + 1;
  char* strings = reinterpret_cast<char*>(environment_ + environment.size() + 1);
  strings = copyVector(arguments_, strings, arguments);
  copyVector(environment_, strings, environment);
  return {};
}

void ExecScratch::release() {
  if (memory_ != nullptr) allocator_.release(memory_, size_);
  memory_ = nullptr;
}

}  // namespace larderbox
