#include "runtime/file_contents.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "runtime/descriptor.h"
#include "runtime/system_calls.h"

namespace larderbox {
namespace {

// Reads the `size` bytes the file held when its size was taken; false when a read fails. Bytes
// appended since then are not read: the size is the file as it was opened.
bool readAll(int fd, char* buffer, std::size_t size) {
  for (std::size_t done = 0; done < size;) {
    SystemResult<std::size_t> got = readFile(fd, buffer + done, size - done);
    if (!got || *got == 0) return false;
    done += *got;
  }
  return true;
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
  auto size = static_cast<std::size_t>(status.st_size);
  auto* buffer = static_cast<char*>(allocator.allocate(size + 1, 1));
  if (buffer == nullptr || !readAll(file.get(), buffer, size)) return {FileRead::unreadable, {}};
  return {FileRead::read, Bytes(buffer, size)};
}

}  // namespace larderbox
