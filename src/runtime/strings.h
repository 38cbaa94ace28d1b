// Strings formed by a run: joined from pieces into process-allocator memory.
#pragma once

#include <initializer_list>
#include <optional>

#include "runtime/allocator.h"
#include "runtime/bytes.h"

namespace larderbox {

// The pieces one after another, followed by a NUL that the returned view does not count. None when
// memory is exhausted (the caller decides whether that is an error).
std::optional<Bytes> joinWithNul(ProcessAllocator& allocator, std::initializer_list<Bytes> pieces);

inline std::optional<Bytes> copyWithNul(ProcessAllocator& allocator, Bytes bytes) {
  return joinWithNul(allocator, {bytes});
}

}  // namespace larderbox
