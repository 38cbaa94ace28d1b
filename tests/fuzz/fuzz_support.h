// What every fuzz target shares: the libFuzzer entry point, the invariant check and the splitting
// of one input into several byte strings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

// libFuzzer's entry point, defined once (fuzz_entry.cc) over the target's fuzzInput.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace larderbox::fuzz {

// Each target defines this: it checks its invariants on one input and aborts when one breaks.
void fuzzInput(std::string_view input);

// abort() rather than a return value: libFuzzer and the replay both stop at the input that broke
// the invariant, and the line says which one it was.
inline void require(bool holds, const char* invariant) {
  if (holds) return;
  std::fprintf(stderr, "invariant broken: %s\n", invariant);
  std::abort();
}

inline std::string_view asBytes(const std::uint8_t* data, std::size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
}

// The pieces between NUL bytes. A final NUL ends the last piece instead of starting an empty one,
// so "" gives no pieces, "\0" one empty piece and "a\0b\0" the same two pieces as "a\0b".
inline std::vector<std::string_view> splitAtNul(std::string_view input) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  while (start < input.size()) {
    std::size_t nul = input.find('\0', start);
    if (nul == std::string_view::npos) nul = input.size();
    pieces.push_back(input.substr(start, nul - start));
    start = nul + 1;
  }
  return pieces;
}

// True when `part` lies inside `whole`: a view into it, not a copy. An empty view may point
// anywhere, even nowhere.
inline bool isViewInto(std::string_view part, std::string_view whole) {
  if (part.empty()) return true;
  auto begin = reinterpret_cast<std::uintptr_t>(whole.data());
  auto at = reinterpret_cast<std::uintptr_t>(part.data());
  return at >= begin && at + part.size() <= begin + whole.size();
}

}  // namespace larderbox::fuzz
