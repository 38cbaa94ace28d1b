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

// The ASCII upper-case copy used inside variable names; the tool name itself when the copy cannot
// be allocated.
Bytes upperCaseToolName(ProcessAllocator& allocator, Bytes tool_name);

// Upper-cases ASCII letters of `bytes` into `out`, which holds at least bytes.size() bytes.
void copyUpperCase(Bytes bytes, char* out);

}  // namespace larderbox
