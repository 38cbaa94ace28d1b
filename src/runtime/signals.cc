#include "runtime/signals.h"

namespace larderbox {
namespace {

void ignoreSignal(int) {}

void install(int signal_number, struct sigaction& saved) {
  struct sigaction action = {};
  action.sa_handler = ignoreSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(signal_number, &action, &saved);
}

}  // namespace

void installSignalHandlers(RunContext& context) {
  install(SIGIO, context.saved_sigio);
  install(SIGPIPE, context.saved_sigpipe);
}

void restoreSignalHandlers(RunContext& context) {
  sigaction(SIGIO, &context.saved_sigio, nullptr);
  sigaction(SIGPIPE, &context.saved_sigpipe, nullptr);
}

}  // namespace larderbox
