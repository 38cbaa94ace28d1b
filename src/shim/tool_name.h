// Which download tool an invocation stands for, chosen from the program name.
#pragma once

#include "runtime/allocator.h"
#include "runtime/bytes.h"

namespace larderbox {

inline constexpr Bytes kCurl = "curl";
inline constexpr Bytes kWget = "wget";

// The last path component of `program_name`: root and trailing slashes never belong to it.
Bytes lastPathComponent(Bytes program_name);

// "wget" when the last path component holds "wget" anywhere (case-sensitive), else "curl".
Bytes chooseToolName(Bytes program_name);

// The variables named after the tool: "REAL_" or "LARDERBOX_SERVER" joined to its upper-case name.
// Constants, NUL-terminated: the tool name is one of two, so no copy has to be made.
Bytes realToolVariable(Bytes tool_name);
Bytes toolServerVariable(Bytes tool_name);

}  // namespace larderbox
