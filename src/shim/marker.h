// The mark by which one larderbox executable recognises another, so that it never hands over to
// one.
#pragma once

#include "runtime/bytes.h"

namespace larderbox {

// The marker: 16 bytes held in an ELF note that the linker places right behind the program headers,
// inside the first 4 KiB of every larderbox executable.
inline constexpr std::size_t kMarkerWindow = 4096;

enum class MarkerCheck { carries_marker, lacks_marker, unreadable };

// Looks for the marker in the first 4 KiB of the open regular file `fd`, with one read:
// carries_marker, lacks_marker, or unreadable when the read fails.
MarkerCheck readMarker(int fd);

}  // namespace larderbox
