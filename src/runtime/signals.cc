#include "runtime/signals.h"

#include "runtime/system_calls.h"

namespace larderbox {
namespace {

void ignoreSignal(int) {}

// An ignored signal interrupts no call and ends nothing, and it must reach the real tool and the
// probe ignored: the caller's SIG_IGN goes back at once. Asking first would cost every run a call;
// this costs one only to a caller that ignores the signal.
bool install(int signal_number, struct sigaction& saved) {
  struct sigaction action = {};
  action.sa_handler = ignoreSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  if (!changeSignalAction(signal_number, action, &saved)) return false;
  if (saved.sa_handler != SIG_IGN) return true;
  // Should this fail, the do-nothing handler stays and is treated as installed.
  return !changeSignalAction(signal_number, saved, nullptr);
}

}  // namespace

void installSignalHandlers(RunContext& context) {
  context.sigio_handled = install(SIGIO, context.saved_sigio);
  context.sigpipe_handled = install(SIGPIPE, context.saved_sigpipe);
}

void restoreSignalHandlers(RunContext& context) {
  if (context.sigio_handled) (void)changeSignalAction(SIGIO, context.saved_sigio, nullptr);
  if (context.sigpipe_handled) (void)changeSignalAction(SIGPIPE, context.saved_sigpipe, nullptr);
}

}  // namespace larderbox
