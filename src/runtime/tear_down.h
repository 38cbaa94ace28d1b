// The error exit's tear-down: what the run put in place, taken back before its last line.
#pragma once

#include "runtime/run_context.h"

namespace larderbox {

// The caller's signal dispositions back, the null device handle closed, the whole allocator
// returned. A run that ends otherwise needs none of it: the exec or the process exit does it all.
void tearDown(RunContext& context);

}  // namespace larderbox
