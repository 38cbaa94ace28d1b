// The files the real tool reads before its command line: curl's configuration file, wget's startup
// files and its netrc. Their settings act as if written on the command line, so they pass the same
// gate before any probe.
#pragma once

#include <optional>

#include "runtime/allocator.h"
#include "runtime/bytes.h"
#include "runtime/environment.h"
#include "shim/redirect_gate.h"
#include "shim/tool_family.h"

namespace larderbox {

// None when nothing the tool will read keeps the cache from serving `url` as the origin would. A
// setting gives the reason "config" and the detail "FILE:LINE (REASON: DETAIL)"; a file that exists
// but cannot be read, "FILE (unreadable)"; a netrc entry for the host, "credentials" and "FILE".
// Every failure, memory included, is a reason to go direct. busybox reads no such file.
std::optional<GateVerdict> gateConfigFiles(ProcessAllocator& allocator,
                                           EnvironmentBlock environment, ToolFamily family,
                                           FileSwitches switches, Bytes url);

}  // namespace larderbox
