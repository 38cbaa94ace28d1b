#include "runtime/tear_down.h"

#include "runtime/signals.h"
#include "runtime/system_calls.h"

namespace larderbox {

void tearDown(RunContext& context) {
  if (context.handlers_installed) restoreSignalHandlers(context);
  if (context.null_device >= 0) {
    closeFile(context.null_device);
    context.null_device = -1;
  }
  context.allocator.releaseAll();
}

}  // namespace larderbox
