#include "runtime/strings.h"

#include <cstring>

namespace larderbox {

std::optional<Bytes> joinWithNul(ProcessAllocator& allocator, std::initializer_list<Bytes> pieces) {
  std::size_t length = 0;
  for (Bytes piece : pieces) {
    if (piece.size() > SIZE_MAX - 1 - length) return std::nullopt;
    length += piece.size();
  }
  char* out = allocator.allocateArray<char>(length + 1);
  if (out == nullptr) return std::nullopt;
  char* cursor = out;
  for (Bytes piece : pieces) {
    if (!piece.empty()) std::memcpy(cursor, piece.data(), piece.size());
    cursor += piece.size();
  }
  *cursor = '\0';
  return Bytes(out, length);
}

}  // namespace larderbox
