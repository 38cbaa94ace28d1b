#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <utility>

#include "runtime/allocator.h"
#include "runtime/run_context.h"
#include "runtime/signals.h"
#include "runtime/tear_down.h"
#include "support/watchdog.h"

namespace larderbox {
namespace {

// The process's own dispositions of SIGIO and SIGPIPE, put back after each test.
class SignalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sigaction(SIGIO, nullptr, &original_sigio_);
    sigaction(SIGPIPE, nullptr, &original_sigpipe_);
  }
  void TearDown() override {
    sigaction(SIGIO, &original_sigio_, nullptr);
    sigaction(SIGPIPE, &original_sigpipe_, nullptr);
    allocator_.releaseAll();
  }

  static void setDisposition(int signal_number, void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
  }
  static struct sigaction current(int signal_number) {
    struct sigaction action = {};
    sigaction(signal_number, nullptr, &action);
    return action;
  }

  ProcessAllocator allocator_;
  struct sigaction original_sigio_ = {};
  struct sigaction original_sigpipe_ = {};
};

volatile sig_atomic_t caller_handler_calls = 0;
void callerHandler(int) {
  caller_handler_calls = caller_handler_calls + 1;
}

TEST_F(SignalTest, HandlersDoNothingWithoutRestart) {
  setDisposition(SIGPIPE, callerHandler);
  setDisposition(SIGIO, SIG_DFL);
  RunContext context(allocator_);
  installSignalHandlers(context);
  EXPECT_TRUE(context.sigio_handled);
  EXPECT_TRUE(context.sigpipe_handled);

  for (int signal_number : {SIGIO, SIGPIPE}) {
    struct sigaction installed = current(signal_number);
    EXPECT_NE(installed.sa_handler, SIG_DFL) << signal_number;
    EXPECT_NE(installed.sa_handler, SIG_IGN) << signal_number;
    EXPECT_EQ(installed.sa_flags & SA_RESTART, 0) << signal_number;
    EXPECT_EQ(installed.sa_flags & SA_SIGINFO, 0) << signal_number;
    for (int other = 1; other < NSIG; ++other)
      EXPECT_EQ(sigismember(&installed.sa_mask, other), 0) << signal_number << " masks " << other;
  }
  // The process survives both: SIGIO's default action would have ended it.
  EXPECT_EQ(raise(SIGPIPE), 0);
  EXPECT_EQ(raise(SIGIO), 0);

  // The caller's dispositions were saved.
  EXPECT_EQ(context.saved_sigpipe.sa_handler, callerHandler);
  EXPECT_EQ(context.saved_sigio.sa_handler, SIG_DFL);
}

TEST_F(SignalTest, IgnoredSignalsStayIgnored) {
  struct Row {
    const char* what;
    void (*sigio)(int);
    void (*sigpipe)(int);
  };
  const Row rows[] = {
      {"SIGPIPE ignored", SIG_DFL, SIG_IGN},
      {"SIGIO ignored", SIG_IGN, callerHandler},
      {"both ignored", SIG_IGN, SIG_IGN},
  };
  for (const Row& row : rows) {
    setDisposition(SIGIO, row.sigio);
    setDisposition(SIGPIPE, row.sigpipe);
    RunContext context(allocator_);
    installSignalHandlers(context);
    EXPECT_EQ(context.sigio_handled, row.sigio != SIG_IGN) << row.what;
    EXPECT_EQ(context.sigpipe_handled, row.sigpipe != SIG_IGN) << row.what;
    for (auto [signal_number, caller] : {std::pair{SIGIO, row.sigio}, {SIGPIPE, row.sigpipe}}) {
      void (*now)(int) = current(signal_number).sa_handler;
      if (caller == SIG_IGN)
        EXPECT_EQ(now, SIG_IGN) << row.what << ": signal " << signal_number;
      else
        EXPECT_NE(now, caller) << row.what << ": signal " << signal_number;
    }
  }
}

TEST_F(SignalTest, BlockingCallInterruptedFailsWithEintr) {
  RunContext context(allocator_);
  installSignalHandlers(context);
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  // SIGIO arrives while read() waits on a pipe that never gets data; without SA_RESTART the read
  // must come back with EINTR. The watchdog is only a backstop against a read that is restarted.
  struct sigevent event = {};
  event.sigev_notify = SIGEV_SIGNAL;
  event.sigev_signo = SIGIO;
  timer_t timer;
  ASSERT_EQ(timer_create(CLOCK_MONOTONIC, &event, &timer), 0);
  struct itimerspec when = {};
  when.it_value.tv_nsec = 50 * 1000 * 1000;
  ASSERT_EQ(timer_settime(timer, 0, &when, nullptr), 0);
  ssize_t got;
  int error;
  {
    test::Watchdog bound(10);
    char byte;
    got = read(ends[0], &byte, 1);
    error = errno;
  }
  timer_delete(timer);
  EXPECT_EQ(got, -1);
  EXPECT_EQ(error, EINTR);
  close(ends[0]);
  close(ends[1]);
}

TEST_F(SignalTest, RestoreSignalHandlersPutsTheCallersBack) {
  struct Row {
    const char* what;
    void (*sigio)(int);
    void (*sigpipe)(int);
  };
  const Row rows[] = {
      {"defaults", SIG_DFL, SIG_DFL},
      {"SIGPIPE ignored", SIG_DFL, SIG_IGN},
      {"both ignored", SIG_IGN, SIG_IGN},
      {"caller's handlers", callerHandler, callerHandler},
  };
  for (const Row& row : rows) {
    setDisposition(SIGIO, row.sigio);
    setDisposition(SIGPIPE, row.sigpipe);
    RunContext context(allocator_);
    installSignalHandlers(context);
    restoreSignalHandlers(context);
    EXPECT_EQ(current(SIGIO).sa_handler, row.sigio) << row.what;
    EXPECT_EQ(current(SIGPIPE).sa_handler, row.sigpipe) << row.what;
  }
  // The caller's own handler runs again after the restore.
  caller_handler_calls = 0;
  raise(SIGPIPE);
  EXPECT_EQ(caller_handler_calls, 1);
}

TEST_F(SignalTest, TearDown) {
  setDisposition(SIGPIPE, callerHandler);
  RunContext context(allocator_);
  installSignalHandlers(context);
  context.handlers_installed = true;
  context.null_device = open("/dev/null", O_RDWR | O_CLOEXEC);
  ASSERT_GE(context.null_device, 0);
  int descriptor = context.null_device;
  void* memory = allocator_.allocate(100, 8);
  ASSERT_NE(memory, nullptr);

  tearDown(context);
  EXPECT_EQ(context.null_device, -1);
  EXPECT_EQ(fcntl(descriptor, F_GETFD), -1) << "the null device descriptor is closed";
  EXPECT_EQ(current(SIGPIPE).sa_handler, callerHandler) << "the caller's disposition is back";
  unsigned char state;
  void* page =
      reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(memory) & ~std::uintptr_t{4095});
  EXPECT_EQ(mincore(page, 4096, &state), -1) << "the allocator's blocks are unmapped";

  // Without installed handlers and without a null device nothing else is touched.
  setDisposition(SIGPIPE, callerHandler);
  RunContext untouched(allocator_);
  installSignalHandlers(untouched);
  untouched.handlers_installed = false;
  tearDown(untouched);
  EXPECT_NE(current(SIGPIPE).sa_handler, callerHandler);
  EXPECT_EQ(untouched.null_device, -1);
}

}  // namespace
}  // namespace larderbox
