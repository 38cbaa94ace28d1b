#include "runtime/environment.h"

#include <cstring>

namespace larderbox {

EnvironmentBlock environmentBlock(char** entries) {
  std::size_t count = 0;
  if (entries != nullptr)
    while (entries[count] != nullptr)
      ++count;
  return {entries, count};
}

std::optional<Bytes> lookupEnv(EnvironmentBlock environment, Bytes name) {
  if (name.empty()) return std::nullopt;
  // A byte loop: the names are a few bytes long, where memchr's set-up costs more than the search.
  for (char byte : name)
    if (byte == '=') return std::nullopt;
  for (std::size_t i = 0; i < environment.count; ++i) {
    const char* entry = environment.entries[i];
    // Most entries differ in their first byte: they cost no call, and the whole environment is
    // scanned once for every variable a run looks up.
    if (entry[0] != name[0]) continue;
    // strncmp stops at the entry's NUL, so a shorter entry is never read past its end.
    if (std::strncmp(entry, name.data(), name.size()) == 0 && entry[name.size()] == '=')
      return Bytes(entry + name.size() + 1);
  }
  return std::nullopt;
}

}  // namespace larderbox
