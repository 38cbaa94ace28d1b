// Do-nothing handlers for SIGIO and SIGPIPE for the length of the run.
#pragma once

#include "runtime/run_context.h"

namespace larderbox {

// Without SA_RESTART: blocking calls interrupted by either signal fail with EINTR and are repeated
// by their callers. A write to a pipe without reader fails with EPIPE instead of ending the
// process. A signal the caller ignores stays ignored. The previous dispositions are saved in
// `context`. Failures are silent.
void installSignalHandlers(RunContext& context);

// Puts the saved dispositions back, SIGIO then SIGPIPE. Failures are silent.
void restoreSignalHandlers(RunContext& context);

}  // namespace larderbox
