#include "shim/wget2_release.h"

#include <fcntl.h>

#include <cstddef>
#include <cstring>

#include "runtime/bytes.h"
#include "runtime/descriptor.h"
#include "runtime/system_calls.h"

namespace larderbox {
namespace {

// Printed by --version and --help of every release measured: "GNU Wget2 1.99.1 - multithreaded".
constexpr Bytes kVersionText = "GNU Wget2 ";
// The text, a major number and its dot never straddle more than this across two reads.
constexpr std::size_t kOverlap = 16;
constexpr std::size_t kChunk = std::size_t{64} * 1024;
// The executables measured are under 512 KiB; a file far larger is not read to its end.
constexpr std::size_t kMostRead = std::size_t{32} * 1024 * 1024;

// The release named after the version text at `at`, or none when no "N." follows it whole.
std::optional<Wget2Release> releaseAt(Bytes text, std::size_t at) {
  std::size_t digits = at;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
    ++digits;
  if (digits == at || digits - at > 3 || digits >= text.size() || text[digits] != '.')
    return std::nullopt;
  bool before_two = digits - at == 1 && (text[at] == '0' || text[at] == '1');
  return before_two ? Wget2Release::writes_attributes : Wget2Release::leaves_attributes;
}

std::optional<Wget2Release> scan(Bytes text) {
  for (std::size_t from = 0;;) {
    std::size_t found = text.find(kVersionText, from);
    if (found == Bytes::npos) return std::nullopt;
    if (auto release = releaseAt(text, found + kVersionText.size())) return release;
    from = found + 1;
  }
}

}  // namespace

Wget2Release findWget2Release(const char* real_tool) {
  SystemResult<int> opened = openFile(real_tool, O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (!opened) return Wget2Release::unknown;
  Descriptor file(*opened);
  static_assert(kOverlap > kVersionText.size() + 4);
  char buffer[kOverlap + kChunk];
  std::size_t kept = 0;  // bytes carried over from the end of the previous read
  for (std::size_t total = 0; total < kMostRead;) {
    SystemResult<std::size_t> got = readFile(file.get(), buffer + kept, kChunk);
    if (!got || *got == 0) return Wget2Release::unknown;
    total += *got;
    std::size_t filled = kept + *got;
    // A version text cut off by the end of this read is found whole in the next one.
    if (auto release = scan(Bytes(buffer, filled))) return *release;
    kept = filled < kOverlap ? filled : kOverlap;
    std::memmove(buffer, buffer + (filled - kept), kept);
  }
  return Wget2Release::unknown;
}

std::optional<GateVerdict> gateWget2Release(const char* real_tool) {
  Wget2Release release = findWget2Release(real_tool);
  if (release == Wget2Release::leaves_attributes) return std::nullopt;
  Bytes detail = release == Wget2Release::writes_attributes
                     ? "--xattr (wget2 1.x writes it by default)"
                     : "--xattr (wget2 release unknown)";
  return GateVerdict{"reports the source", detail};
}

}  // namespace larderbox
