// wget2 before 2.0 writes the URL of every download into the file's extended attributes unless told
// not to (measured: 1.99.1 does, 2.2.0 does not); through a cache that URL would be the cache
// address. The release is read from the version text in the executable: asking the tool would cost
// a process.
#pragma once

#include <cstdint>
#include <optional>

#include "shim/redirect_gate.h"

namespace larderbox {

enum class Wget2Release : std::uint8_t {
  writes_attributes,  // before 2.0
  leaves_attributes,  // 2.0 and later
  unknown,            // unreadable, or no version text found
};

// `real_tool` is NUL-terminated; links are followed.
Wget2Release findWget2Release(const char* real_tool);

// None when a hit leaves the file's attributes as the real tool alone would.
std::optional<GateVerdict> gateWget2Release(const char* real_tool);

}  // namespace larderbox
