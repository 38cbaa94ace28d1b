#include "runtime/signals.h"

namespace larderbox {
namespace {

void ignoreSignal(int) {}

bool install(int signal_number, struct sigaction& saved) {
  struct sigaction action = {};
  action.sa_handler = ignoreSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  return sigaction(signal_number, &action, &saved) == 0;
}

}  // namespace

void installSignalHandlers(RunContext& context) {
  context.sigio_saved = install(SIGIO, context.saved_sigio);
  context.sigpipe_saved = install(SIGPIPE, context.saved_sigpipe);
}

void restoreSignalHandlers(RunContext& context) {
  if (context.sigio_saved) sigaction(SIGIO, &context.saved_sigio, nullptr);
  if (context.sigpipe_saved) sigaction(SIGPIPE, &context.saved_sigpipe, nullptr);
}

}  // namespace larderbox
