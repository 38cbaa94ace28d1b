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

// ASCII case: the tools compare option, header and scheme names in ASCII, whatever the locale.
constexpr bool isAsciiLetter(char byte) {
  return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z');
}

constexpr char asciiLower(char byte) {
  return byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte - 'A' + 'a') : byte;
}

// Whether `bytes` begins with `lower_prefix` (written in lower case) in any ASCII case.
constexpr bool beginsIgnoringCase(Bytes bytes, Bytes lower_prefix) {
  if (bytes.size() < lower_prefix.size()) return false;
  for (std::size_t i = 0; i < lower_prefix.size(); ++i)
    if (asciiLower(bytes[i]) != lower_prefix[i]) return false;
  return true;
}

constexpr bool equalsIgnoringCase(Bytes bytes, Bytes lower) {
  return bytes.size() == lower.size() && beginsIgnoringCase(bytes, lower);
}

// Equality in any ASCII case on both sides.
constexpr bool sameIgnoringCase(Bytes a, Bytes b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (asciiLower(a[i]) != asciiLower(b[i])) return false;
  return true;
}

// Without the blanks (spaces, tabs) at either end.
constexpr Bytes trimBlanks(Bytes bytes) {
  while (!bytes.empty() && (bytes.front() == ' ' || bytes.front() == '\t'))
    bytes.remove_prefix(1);
  while (!bytes.empty() && (bytes.back() == ' ' || bytes.back() == '\t'))
    bytes.remove_suffix(1);
  return bytes;
}

}  // namespace larderbox
