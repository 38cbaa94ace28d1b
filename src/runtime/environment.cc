#include "runtime/environment.h"

#include <cstring>

#include "runtime/strings.h"

namespace larderbox {

EnvironmentBlock environmentBlock(char** entries) {
  std::size_t count = 0;
  if (entries != nullptr)
    while (entries[count] != nullptr)
      ++count;
  return {entries, count};
}

std::optional<Bytes> lookupEnv(ProcessAllocator& allocator, EnvironmentBlock environment,
                               Bytes name) {
  if (name.empty()) return std::nullopt;
  // A byte loop: the names are a few bytes long, where memchr's set-up costs more than the search.
  for (char byte : name)
    if (byte == '=') return std::nullopt;
  std::optional<Bytes> copy = copyWithNul(allocator, name);
  if (!copy) return std::nullopt;
  for (std::size_t i = 0; i < environment.count; ++i) {
    const char* entry = environment.entries[i];
    // Most entries differ in their first byte: they cost no call. An environment of 30 variables
    // is scanned four times per run.
    if (entry[0] != (*copy)[0]) continue;
    if (std::strncmp(entry, copy->data(), copy->size()) == 0 && entry[copy->size()] == '=')
      return Bytes(entry + copy->size() + 1);
  }
  return std::nullopt;
}

}  // namespace larderbox
