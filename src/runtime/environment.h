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
// is present. An empty name, a name holding "=", and a name whose NUL-terminated copy cannot be
// allocated all give none.
std::optional<Bytes> lookupEnv(ProcessAllocator& allocator, EnvironmentBlock environment,
                               Bytes name);

}  // namespace larderbox
