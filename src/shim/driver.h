// The shim's one control flow: from the program name to the hand-over.
#pragma once

#include "runtime/environment.h"
#include "runtime/run_context.h"

namespace larderbox {

// Runs one invocation. Returns only through the error exit (status 1); every other ending replaces
// the process with the real tool or exits inside.
int runShim(RunContext& context, int argc, char** argv, EnvironmentBlock environment);

}  // namespace larderbox
