// The environment block as the process received it; never modified.
#pragma once

#include <cstddef>
#include <optional>

#include "runtime/allocator.h"
#include "runtime/bytes.h"

namespace larderbox {

struct EnvironmentBlock {
  char** entries = nullptr;  // NULL-terminated, as received by main
  std::size_t count = 0;
};

EnvironmentBlock environmentBlock(char** entries);

// The value of the first entry that begins with `name` immediately followed by "=". An empty value
// is present. An empty name and a name holding "=" give none. Nothing is allocated, so a lookup
// cannot run out of memory.
std::optional<Bytes> lookupEnv(EnvironmentBlock environment, Bytes name);

}  // namespace larderbox
