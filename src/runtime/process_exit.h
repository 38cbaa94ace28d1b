// The ways the process ends when the real tool does not replace it.
#pragma once

#include "runtime/run_context.h"

namespace larderbox {

// The error exit's steps before its line: the caller's signal dispositions back, the null device
// handle closed, the whole allocator returned.
void tearDown(RunContext& context);

// Runs the C library's exit handlers (none are registered) and ends every thread with `status`.
[[noreturn]] void exitProcess(int status);

}  // namespace larderbox
