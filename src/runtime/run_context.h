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
  // What the handlers replaced. A signal is handled while the do-nothing handler is in place: the
  // tear-down then puts the saved disposition back, and a launched child resets the signal to its
  // default before its exec. Not handled where the caller ignored it (it stays ignored) or where
  // the install failed, so that neither turns into a disposition the caller did not have.
  struct sigaction saved_sigio = {};
  struct sigaction saved_sigpipe = {};
  bool sigio_handled = false;
  bool sigpipe_handled = false;
  bool handlers_installed = false;
};

}  // namespace larderbox
