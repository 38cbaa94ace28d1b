// Which download tool an invocation stands for, chosen from the program name, and its names.
#pragma once

#include <cstdint>

#include "runtime/bytes.h"

namespace larderbox {

enum class Tool : std::uint8_t { curl, wget };

// "curl" or "wget", NUL-terminated.
Bytes toolName(Tool tool);

// The last path component of `program_name`: root and trailing slashes never belong to it.
Bytes lastPathComponent(Bytes program_name);

// wget when the last path component holds "wget" anywhere (case-sensitive), else curl.
Tool chooseTool(Bytes program_name);

// The variables named after the tool: "REAL_" or "LARDERBOX_SERVER" joined to its upper-case name.
// Constants, NUL-terminated.
Bytes realToolVariable(Tool tool);
Bytes toolServerVariable(Tool tool);

}  // namespace larderbox
