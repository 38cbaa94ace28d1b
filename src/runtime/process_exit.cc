#include "runtime/process_exit.h"

#include <stdlib.h>
#include <unistd.h>

#include "runtime/signals.h"

namespace larderbox {

void tearDown(RunContext& context) {
  if (context.handlers_installed) restoreSignalHandlers(context);
  if (context.null_device >= 0) {
    close(context.null_device);
    context.null_device = -1;
  }
  context.allocator.releaseAll();
}

void exitProcess(int status) {
  exit(status);
}

}  // namespace larderbox
