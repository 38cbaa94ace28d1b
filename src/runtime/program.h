// The program's own function, which start-up calls: the one thing the runtime knows of what lies
// above it.
#pragma once

#include "runtime/environment.h"
#include "runtime/run_context.h"

namespace larderbox {

// Defined by the program (src/shim/driver.cc). Called once, after start-up has put the process
// services in place; the process exits with the status it returns, unless the program has had it
// replaced by then.
int runProgram(RunContext& context, int argc, char** argv, EnvironmentBlock environment);

}  // namespace larderbox
