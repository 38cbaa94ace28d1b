// endRun: the line and the status of every ending, and the error exit's tear-down.
#include "shim/ending.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "runtime/allocator.h"
#include "runtime/signals.h"
#include "shim/test_tree.h"

namespace larderbox {
namespace {

using testing::ChildOutcome;
using testing::runInChild;

TEST(EndRun, LineAndStatusOfEveryEnding) {
  const char path[] = "/opt/bin/curlXYZ";
  struct Row {
    const char* what;
    Ending ending;
    int status;
    std::string line;
  };
  const Row rows[] = {
      {"no real curl", Ending::noRealTool(Tool::curl), 127,
       "curllarderbox: no real curl found on PATH (set $REAL_CURL)\n"},
      {"no real wget", Ending::noRealTool(Tool::wget), 127,
       "wgetlarderbox: no real wget found on PATH (set $REAL_WGET)\n"},
      // The path is a view: the bytes behind it are not written.
      {"exec failed", Ending::execFailed(Bytes(path, 13)), 127,
       "larderbox shim: cannot exec /opt/bin/curl\n"},
      {"exec unprepared", Ending::execUnprepared(), 127, ""},
      {"error", Ending::failed(Error::OutOfMemory), 1, "error: OutOfMemory\n"},
  };
  for (const Row& row : rows) {
    ChildOutcome outcome = runInChild([&] {
      ProcessAllocator allocator;
      RunContext context(allocator);
      _exit(endRun(context, row.ending));
    });
    EXPECT_TRUE(outcome.exited(row.status)) << row.what << ": status " << outcome.status;
    EXPECT_EQ(outcome.err, row.line) << row.what;
    EXPECT_EQ(outcome.out, "") << row.what;
  }
}

void callerHandler(int) {}

// Prints what endRun left of the run: its status, whether the null device handle is none, whether
// its descriptor is still open, and whether the caller's SIGPIPE handler is back.
void endAndShow(const Ending& ending) {
  struct sigaction caller = {};
  caller.sa_handler = callerHandler;
  sigaction(SIGPIPE, &caller, nullptr);
  ProcessAllocator allocator;
  RunContext context(allocator);
  installSignalHandlers(context);
  context.handlers_installed = true;
  context.null_device = open("/dev/null", O_RDWR | O_CLOEXEC);
  int null_device = context.null_device;
  int status = endRun(context, ending);
  struct sigaction now = {};
  sigaction(SIGPIPE, nullptr, &now);
  std::printf("%d %d %d %d\n", status, context.null_device == -1, fcntl(null_device, F_GETFD) != -1,
              now.sa_handler == callerHandler);
  std::fflush(stdout);  // the child ends with _exit
}

TEST(EndRun, OnlyTheErrorExitTearsDown) {
  ChildOutcome error = runInChild([] { endAndShow(Ending::failed(Error::OutOfMemory)); });
  EXPECT_EQ(error.out, "1 1 0 1\n");
  EXPECT_EQ(error.err, "error: OutOfMemory\n");
  // The process exit that follows any other ending takes everything back by itself.
  ChildOutcome other = runInChild([] { endAndShow(Ending::execUnprepared()); });
  EXPECT_EQ(other.out, "127 0 1 0\n");
}

}  // namespace
}  // namespace larderbox
