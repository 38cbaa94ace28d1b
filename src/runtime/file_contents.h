// A small file read whole into arena memory, for the configuration files the real tool will read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/allocator.h"
#include "runtime/bytes.h"

namespace larderbox {

enum class FileRead : std::uint8_t {
  absent,      // no such file, or a path component is not a directory
  unreadable,  // it exists but cannot be read whole: no access, a directory, too large, no memory
  read,
};

struct FileContents {
  FileRead kind = FileRead::absent;
  Bytes bytes;  // for `read`: the whole file, in arena memory
};

// `path` is NUL-terminated. A file of more than `limit` bytes counts as unreadable.
FileContents readSmallFile(ProcessAllocator& allocator, const char* path, std::size_t limit);

}  // namespace larderbox
