// PATH values: lists of directories separated by ":".
#pragma once

#include <optional>

#include "runtime/bytes.h"

namespace larderbox {

// Takes the next non-empty entry off the front of `rest`, a PATH value or what is left of one;
// none once nothing but separators is left. An empty entry never stands for the working directory.
inline std::optional<Bytes> takePathEntry(Bytes& rest) {
  while (!rest.empty()) {
    std::size_t colon = rest.find(':');
    Bytes entry = bytesUpTo(rest, colon);
    rest = colon == Bytes::npos ? Bytes() : bytesFrom(rest, colon + 1);
    if (!entry.empty()) return entry;
  }
  return std::nullopt;
}

}  // namespace larderbox
