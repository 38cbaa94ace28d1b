// Byte strings: a pointer and a length, raw bytes without any character-set conversion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
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

// ASCII only, whatever the locale: command lines and URLs are bytes, not text.
constexpr bool isAsciiLetter(char byte) {
  return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z');
}

constexpr char lowerAscii(char byte) {
  return byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte - 'A' + 'a') : byte;
}

// True when `bytes` begins with `lower_prefix`, ASCII letters of `bytes` compared in lower case.
constexpr bool startsIgnoringAsciiCase(Bytes bytes, Bytes lower_prefix) {
  if (bytes.size() < lower_prefix.size()) return false;
  for (std::size_t i = 0; i < lower_prefix.size(); ++i)
    if (lowerAscii(bytes[i]) != lower_prefix[i]) return false;
  return true;
}

constexpr bool equalsIgnoringAsciiCase(Bytes bytes, Bytes lower) {
  return bytes.size() == lower.size() && startsIgnoringAsciiCase(bytes, lower);
}

// Equality, eight bytes at a time: musl's memcmp compares byte by byte, and paths of some forty
// bytes are compared on every run.
inline bool sameBytes(Bytes a, Bytes b) {
  if (a.size() != b.size()) return false;
  std::size_t size = a.size();
  if (size < 8) return a == b;
  auto word = [](Bytes bytes, std::size_t at) {
    std::uint64_t value;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
  };
  for (std::size_t at = 0; at + 8 < size; at += 8)
    if (word(a, at) != word(b, at)) return false;
  return word(a, size - 8) == word(b, size - 8);  // the last eight, overlapping what went before
}

}  // namespace larderbox
