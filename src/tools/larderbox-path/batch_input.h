// The URLs of batch mode: all of standard input, split at line feeds or NULs.
#pragma once

#include <optional>
#include <span>

#include "runtime/allocator.h"
#include "runtime/bytes.h"

namespace larderbox {

// Every byte of standard input, in arena memory; none when it cannot be read or held.
std::optional<Bytes> readStandardInput(ProcessAllocator& allocator);

// The records of `input` ended by `separator` (the last may lack it), in arena memory; none when
// memory is exhausted.
std::optional<std::span<Bytes>> splitRecords(ProcessAllocator& allocator, Bytes input,
                                             char separator);

}  // namespace larderbox
