// Which release family the real tool belongs to: curl, GNU wget, wget2 or busybox's wget applet.
// Each reads its own options and needs its own probe line.
#pragma once

#include <cstdint>

#include "runtime/bytes.h"
#include "shim/tool_name.h"

namespace larderbox {

enum class ToolFamily : std::uint8_t { curl, gnu_wget, wget2, busybox };

// "curl", "GNU wget", "wget2" or "busybox wget", for messages and the trace.
Bytes familyName(ToolFamily family);

// Whether a path's last component names busybox, which picks its applet by argument 0.
bool namesBusybox(Bytes path);

// The family of the real tool at `real_tool` (NUL-terminated), known without running it: the last
// component of the path or of the target of its symbolic links, followed a few levels deep, names
// busybox or wget2; else the tool's own family. curl's path is never looked at.
ToolFamily findToolFamily(Tool tool, Bytes real_tool);

// What the real tool gets as argument 0: the caller's own when its last component is the tool's
// name, so that messages read as with the real tool alone; else the real tool's path, or the tool's
// name when that path names busybox itself.
Bytes handOverArgumentZero(Tool tool, Bytes caller_argument_0, Bytes real_tool);

}  // namespace larderbox
