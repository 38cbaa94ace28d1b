// Raising the soft stack limit to what the executable's PT_GNU_STACK header asks for.
#pragma once

#include <sys/resource.h>

#include <cstdint>
#include <optional>

namespace larderbox {

// The soft limit to set for an executable that wants `wanted` bytes of stack, or none when the
// current limits already suffice. Never lowers, never exceeds the hard limit.
std::optional<rlim_t> raisedSoftStackLimit(std::uint64_t wanted, rlim_t soft, rlim_t hard);

// Failures are silent: the limit then stays as it was.
void raiseStackLimit();

}  // namespace larderbox
