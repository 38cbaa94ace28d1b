#include "support/watchdog.h"

#include <signal.h>
#include <unistd.h>

namespace larderbox::test {
namespace {

void timedOut(int) {
  static const char kMessage[] = "\nwatchdog expired: a test hung\n";
  (void)!write(2, kMessage, sizeof kMessage - 1);
  _exit(124);
}

}  // namespace

Watchdog::Watchdog(unsigned seconds) {
  signal(SIGALRM, timedOut);
  alarm(seconds);
}

Watchdog::~Watchdog() {
  alarm(0);
}

}  // namespace larderbox::test
