// A bound on how long a test may block, for every unit test binary.
#pragma once

namespace larderbox::test {

// While it lives, a test that runs longer than `seconds` ends the whole test binary with a message
// and status 124, so that a hang fails instead of blocking the suite.
class Watchdog {
 public:
  explicit Watchdog(unsigned seconds);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
};

}  // namespace larderbox::test
