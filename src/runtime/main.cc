// Process entry: start-up, then one run of the shim.
#include "diag/channel.h"
#include "runtime/environment.h"
#include "runtime/run_context.h"
#include "runtime/signals.h"
#include "runtime/stack_limit.h"
#include "shim/driver.h"

int main(int argc, char** argv, char** envp) {
  using namespace larderbox;
  EnvironmentBlock environment = environmentBlock(envp);
  raiseStackLimit();
  stderrChannel().setEnvironment(environment.entries, environment.count);
  ProcessAllocator allocator;
  RunContext context(allocator);
  installSignalHandlers(context);
  context.handlers_installed = true;
  return runShim(context, argc, argv, environment);
}
