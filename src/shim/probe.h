// The cache probe: one header-only run of the real tool against the cache address.
#pragma once

#include "runtime/bytes.h"
#include "runtime/run_context.h"

namespace larderbox {

// True only when the probe child exited with status 0. Every failure is simply "no": the probe
// prints nothing and never ends the run.
bool probeCache(RunContext& context, Bytes real_tool, Bytes tool_name, Bytes cache_address);

}  // namespace larderbox
