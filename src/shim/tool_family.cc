#include "shim/tool_family.h"

#include <string.h>

#include <array>
#include <optional>

#include "runtime/system_calls.h"
#include "shim/tool_name.h"

namespace larderbox {
namespace {

// Debian's alternatives put two links between /usr/bin/wget and the file; more than this is a loop
// or something no package makes.
constexpr int kLinksFollowed = 8;
constexpr std::size_t kPathBufferSize = 4096;

std::optional<ToolFamily> familyNamedBy(Bytes path) {
  Bytes name = lastPathComponent(path);
  if (name.starts_with("busybox")) return ToolFamily::busybox;
  if (name.starts_with("wget2")) return ToolFamily::wget2;
  return std::nullopt;
}

// The path a link's target stands for: the target itself when absolute, else beside the link.
// False when it does not fit the buffer.
using PathBuffer = std::array<char, kPathBufferSize>;

bool resolveTarget(PathBuffer& next, Bytes link, Bytes target) {
  std::size_t directory = target.starts_with('/') ? 0 : link.rfind('/') + 1;
  if (directory + target.size() >= next.size()) return false;
  memcpy(next.data(), link.data(), directory);
  memcpy(next.data() + directory, target.data(), target.size());
  next[directory + target.size()] = '\0';
  return true;
}

}  // namespace

Bytes familyName(ToolFamily family) {
  constexpr std::array<Bytes, 4> kNames = {"curl", "GNU wget", "wget2", "busybox wget"};
  return kNames[static_cast<std::size_t>(family)];
}

bool namesBusybox(Bytes path) {
  return lastPathComponent(path).starts_with("busybox");
}

ToolFamily findToolFamily(Tool tool, Bytes real_tool) {
  if (tool == Tool::curl) return ToolFamily::curl;
  // Static, not on the stack: the shim must not need more stack than the tool it hands over to.
  static std::array<PathBuffer, 2> paths;
  static PathBuffer target;
  Bytes path = real_tool;
  for (int level = 0;; ++level) {
    if (std::optional<ToolFamily> named = familyNamedBy(path)) return *named;
    if (level == kLinksFollowed) break;
    SystemResult<std::size_t> length = readSymbolicLink(path.data(), target);
    if (!length || *length == target.size()) break;
    PathBuffer& next = paths[level % 2];
    if (!resolveTarget(next, path, Bytes(target.data(), *length))) break;
    path = Bytes(next.data());
  }
  return ToolFamily::gnu_wget;
}

Bytes handOverArgumentZero(Tool tool, Bytes caller_argument_0, Bytes real_tool) {
  if (sameBytes(lastPathComponent(caller_argument_0), toolName(tool))) return caller_argument_0;
  return namesBusybox(real_tool) ? toolName(tool) : real_tool;
}

}  // namespace larderbox
