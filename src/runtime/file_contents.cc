#include "runtime/file_contents.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "runtime/descriptor.h"
#include "runtime/system_calls.h"

namespace larderbox {
namespace {

// Reads to the end of the file; false when a read fails or the file holds more than `capacity`
// bytes (it grew after its size was taken).
bool readAll(int fd, char* buffer, std::size_t capacity, std::size_t& size) {
  size = 0;
  for (;;) {
    // One byte of room beyond the size tells a file that grew from one that did not.
    SystemResult<std::size_t> got = readFile(fd, buffer + size, capacity + 1 - size);
    if (!got) return false;
    if (*got == 0) return true;
    size += *got;
    if (size > capacity) return false;
  }
}

}  // namespace

FileContents readSmallFile(ProcessAllocator& allocator, const char* path, std::size_t limit) {
  SystemResult<int> opened = openFile(path, O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (!opened) {
    bool missing = opened.error() == ENOENT || opened.error() == ENOTDIR;
    return {missing ? FileRead::absent : FileRead::unreadable, {}};
  }
  Descriptor file(*opened);
  struct stat status {};
  if (!openFileStatus(file.get(), status) || !S_ISREG(status.st_mode) ||
      static_cast<std::uint64_t>(status.st_size) > limit)
    return {FileRead::unreadable, {}};
  auto capacity = static_cast<std::size_t>(status.st_size);
  auto* buffer = static_cast<char*>(allocator.allocate(capacity + 1, 1));
  if (buffer == nullptr) return {FileRead::unreadable, {}};
  std::size_t size = 0;
  if (!readAll(file.get(), buffer, capacity, size)) return {FileRead::unreadable, {}};
  return {FileRead::read, Bytes(buffer, size)};
}

}  // namespace larderbox
