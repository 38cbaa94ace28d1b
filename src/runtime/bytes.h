// Byte strings: a pointer and a length, raw bytes without any character-set conversion.
#pragma once

#include <cstddef>
#include <string_view>

namespace larderbox {

using Bytes = std::string_view;

// True when `haystack` holds `needle` anywhere. Unlike string_view::substr, nothing here can throw.
constexpr bool containsBytes(Bytes haystack, Bytes needle) {
  return haystack.find(needle) != Bytes::npos;
}

// The bytes of `bytes` from `from` to its end; `from` past the end gives the empty view.
constexpr Bytes bytesFrom(Bytes bytes, std::size_t from) {
  return from >= bytes.size() ? Bytes() : Bytes(bytes.data() + from, bytes.size() - from);
}

// The first `count` bytes of `bytes` (all of them when it is shorter).
constexpr Bytes bytesUpTo(Bytes bytes, std::size_t count) {
  return Bytes(bytes.data(), count < bytes.size() ? count : bytes.size());
}

}  // namespace larderbox
