// The record that start-up creates for the process services of one run.
#pragma once

#include <signal.h>

#include "runtime/allocator.h"
#include "runtime/futex_mutex.h"

namespace larderbox {

// Lives on the main thread's stack until the process ends or is replaced. It holds no environment:
// a launched child gets exactly the environment list its launch names.
struct RunContext {
  explicit RunContext(ProcessAllocator& process_allocator) : allocator(process_allocator) {}

  ProcessAllocator& allocator;
  // The shared "/dev/null" descriptor of child launches, -1 until the first launch needs it.
  int null_device = -1;
  FutexMutex null_device_mutex;
  // What the handlers replaced; restored only where the install succeeded, so that a failed install
  // never turns into a disposition the caller did not have.
  struct sigaction saved_sigio = {};
  struct sigaction saved_sigpipe = {};
  bool sigio_saved = false;
  bool sigpipe_saved = false;
  bool handlers_installed = false;
};

}  // namespace larderbox
