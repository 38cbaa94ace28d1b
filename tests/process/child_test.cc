// spawnChild, waitChild, killChild and the wait status decoder, with real children.
#include "process/child.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "process_test_support.h"
#include "support/assertions.h"

namespace larderbox {
namespace {

struct Finished {
  ChildExit exit;
  std::string out;
  std::string err;
};

class ChildTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The SIGSEGV case must not leave core files behind.
    struct rlimit limit;
    if (getrlimit(RLIMIT_CORE, &limit) == 0) {
      limit.rlim_cur = 0;
      setrlimit(RLIMIT_CORE, &limit);
    }
  }

  void TearDown() override {
    EXPECT_TRUE(test::hasNoChildren()) << "a test left a child behind";
    if (context.null_device >= 0) close(context.null_device);
    allocator.releaseAll();
  }

  // Standard input on the null device, standard output and standard error on pipes: the probe's
  // launch.
  static ChildSpawnOptions probeLike(const std::vector<Bytes>& arguments,
                                     const std::vector<Bytes>& environment, bool keep = false) {
    ChildSpawnOptions options;
    options.arguments = arguments;
    options.environment = environment;
    options.standard_input = StdioDisposition::ignore;
    options.standard_output = StdioDisposition::pipe;
    options.standard_error = StdioDisposition::pipe;
    options.keep_argument_0 = keep;
    return options;
  }

  // Launches, reads both pipes (small outputs only: one after the other) and waits.
  Result<Finished> run(const std::vector<Bytes>& arguments, const std::vector<Bytes>& environment,
                       bool keep = false) {
    test::Spawned spawned = test::spawn(context, probeLike(arguments, environment, keep));
    if (!spawned) return fail(spawned.error());
    Finished finished;
    finished.out = test::readToEnd(spawned->standard_output.get());
    finished.err = test::readToEnd(spawned->standard_error.get());
    Result<ChildExit> ended = waitChild(*spawned);
    if (!ended) return fail(ended.error());
    finished.exit = *ended;
    return finished;
  }

  Result<Finished> shell(const std::string& script) {
    return run({"/bin/sh", "-c", Bytes(script)}, {});
  }

  ProcessAllocator allocator;
  RunContext context{allocator};
  test::Watchdog watchdog{60};
};

constexpr ChildExit exited(std::uint32_t code) {
  return {ChildExitKind::exited, code};
}
constexpr ChildExit killedBy(std::uint32_t signal_number) {
  return {ChildExitKind::signal, signal_number};
}

// A directory name of exactly `length` bytes whose components stay below NAME_MAX and whose first
// component does not exist, so that only the length decides between NameTooLong and FileNotFound.
std::string longDirectory(std::size_t length) {
  std::string directory = "/nonexistent-larderbox";
  while (directory.size() < length) {
    std::size_t room = length - directory.size();
    if (room == 1) {
      directory += 'x';
      break;
    }
    directory += '/';
    directory += std::string(std::min<std::size_t>(room - 1, 200), 'a');
  }
  return directory;
}

TEST_F(ChildTest, ExitCodesAndSignals) {
  struct Row {
    const char* script;
    ChildExit expected;
  };
  const Row rows[] = {
      {"exit 0", exited(0)},           {"exit 3", exited(3)},
      {"exit 255", exited(255)},       {"kill -KILL $$", killedBy(9)},
      {"kill -SEGV $$", killedBy(11)}, {"kill -TERM $$", killedBy(15)},
  };
  for (const Row& row : rows) {
    Result<Finished> finished = shell(row.script);
    ASSERT_OK(finished);
    EXPECT_EQ(finished->exit, row.expected) << row.script;
  }
}

TEST_F(ChildTest, OutputsReachTheirPipes) {
  Result<Finished> finished = shell("echo out; echo err >&2");
  ASSERT_OK(finished);
  EXPECT_EQ(finished->out, "out\n");
  EXPECT_EQ(finished->err, "err\n");
  EXPECT_EQ(finished->exit, exited(0));
}

TEST_F(ChildTest, RefusedExecIsAnErrorAndLeavesNoChild) {
  test::TemporaryDirectory directory;
  std::string script = directory / "not-executable";
  test::writeTextFile(script, "#!/bin/sh\nexit 0\n",
                      0644);  // no execute bit: EACCES, even for root
  std::set<int> before = test::openDescriptors();
  EXPECT_ERROR(test::spawn(context, probeLike({Bytes(script)}, {})), Error::AccessDenied);
  EXPECT_TRUE(test::hasNoChildren());
  std::set<int> after = test::openDescriptors();
  after.erase(context.null_device);  // the one handle a launch keeps, by design
  EXPECT_EQ(after, before);
}

TEST_F(ChildTest, MissingProgramPath) {
  EXPECT_ERROR(test::spawn(context, probeLike({"/nonexistent-larderbox/tool"}, {})),
               Error::FileNotFound);
  EXPECT_TRUE(test::hasNoChildren());
}

TEST_F(ChildTest, ExecErrorsWithoutTheirOwnRowAndStopTheSearch) {
  test::TemporaryDirectory directory;
  test::writeTextFile(directory / "sh", std::string("\x01\x02\x03 not a program\n"), 0755);
  std::string path = "PATH=" + directory.path() + ":/bin:/usr/bin";
  // ENOEXEC is not "try the next directory": /bin/sh is never reached.
  EXPECT_ERROR(test::spawn(context, probeLike({"sh", "-c", "exit 0"}, {Bytes(path)})),
               Error::InvalidExe);
  EXPECT_TRUE(test::hasNoChildren());
}

TEST_F(ChildTest, NoPathEntryUsesTheDefaultDirectories) {
  Result<Finished> finished = run({"true"}, {});
  ASSERT_OK(finished);
  EXPECT_EQ(finished->exit, exited(0));

  // "sh" is tried as /usr/local/bin/sh, then /bin//sh (the list says "/bin/"), then /usr/bin/sh;
  // with argument 0 replaced, the shell shows which candidate ran.
  finished = run({"sh", "-c", "echo \"$0\""}, {"HOME=/", "MYPATH=/nowhere"});
  ASSERT_OK(finished);
  std::string expected =
      access("/usr/local/bin/sh", X_OK) == 0 ? "/usr/local/bin/sh\n" : "/bin//sh\n";
  EXPECT_EQ(finished->out, expected);
}

TEST_F(ChildTest, EmptyPathValueTriesNothing) {
  EXPECT_ERROR(test::spawn(context, probeLike({"true"}, {"PATH="})), Error::FileNotFound);
  EXPECT_TRUE(test::hasNoChildren());
}

TEST_F(ChildTest, LastPathEntryCounts) {
  Result<Finished> finished = run({"true"}, {"PATH=/nonexistent-larderbox", "PATH=/bin"});
  ASSERT_OK(finished);
  EXPECT_EQ(finished->exit, exited(0));
  EXPECT_ERROR(test::spawn(context, probeLike({"true"}, {"PATH=/bin", "PATH="})),
               Error::FileNotFound);
  // Only an entry named exactly PATH is one.
  EXPECT_ERROR(test::spawn(context, probeLike({"true"}, {"PATH=", "PATHS=/bin", "XPATH=/bin"})),
               Error::FileNotFound);
}

TEST_F(ChildTest, PathWithEmptyElementsTriesOnlyTheOthers) {
  test::TemporaryDirectory directory;
  ASSERT_EQ(symlink("/bin/sh", (directory / "myshell").c_str()), 0);
  std::string path = "PATH=::/nonexistent-larderbox::" + directory.path() + ":";
  Result<Finished> finished = run({"myshell", "-c", "echo \"$0\""}, {Bytes(path)});
  ASSERT_OK(finished);
  EXPECT_EQ(finished->out, directory / "myshell\n");
}

TEST_F(ChildTest, AccessDeniedOutranksNotFound) {
  test::TemporaryDirectory a, b, c;
  test::writeTextFile(b / "prog", "#!/bin/sh\n", 0644);
  test::writeTextFile(c / "file", "", 0644);
  struct Row {
    std::string path;
    Error expected;
  };
  const Row rows[] = {
      {"PATH=" + a.path() + ":" + b.path() + ":" + c.path(), Error::AccessDenied},
      {"PATH=" + b.path() + ":" + a.path(), Error::AccessDenied},
      {"PATH=" + a.path() + ":" + c.path(), Error::FileNotFound},
      // A file where a directory should be: ENOTDIR is pending like ENOENT; the last one counts.
      {"PATH=" + a.path() + ":" + (c / "file"), Error::NotDir},
      {"PATH=" + (c / "file") + ":" + a.path(), Error::FileNotFound},
      {"PATH=" + (c / "file") + ":" + b.path(), Error::AccessDenied},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_ERROR(test::spawn(context, probeLike({"prog"}, {Bytes(row.path)})), row.expected);
  }
  EXPECT_TRUE(test::hasNoChildren());
}

TEST_F(ChildTest, NameTooLongAtDirectoryPlusProgram4095) {
  // "sh" is 2 bytes: a 4093-byte directory makes 4095, a 4092-byte one 4094.
  std::string too_long = "PATH=" + longDirectory(4093) + ":/bin";
  std::string longest = "PATH=" + longDirectory(4092);
  ASSERT_EQ(too_long.size(), 5 + 4093 + 5);
  ASSERT_EQ(longest.size(), 5 + 4092);
  // The search stops at the long directory: /bin after it is never tried.
  EXPECT_ERROR(test::spawn(context, probeLike({"sh"}, {Bytes(too_long)})), Error::NameTooLong);
  EXPECT_ERROR(test::spawn(context, probeLike({"sh"}, {Bytes(longest)})), Error::FileNotFound);
  EXPECT_TRUE(test::hasNoChildren());
}

TEST_F(ChildTest, KeepArgumentZero) {
  // A shebang script cannot show its argument 0 (the kernel puts the script's path there), so a
  // link to the shell stands in for a program found along PATH.
  test::TemporaryDirectory directory;
  ASSERT_EQ(symlink("/bin/sh", (directory / "myshell").c_str()), 0);
  std::string path = "PATH=/nonexistent-larderbox:" + directory.path();
  Result<Finished> kept = run({"myshell", "-c", "echo \"$0\""}, {Bytes(path)}, true);
  ASSERT_OK(kept);
  EXPECT_EQ(kept->out, "myshell\n");
  Result<Finished> replaced = run({"myshell", "-c", "echo \"$0\""}, {Bytes(path)}, false);
  ASSERT_OK(replaced);
  EXPECT_EQ(replaced->out, directory / "myshell\n");
}

TEST_F(ChildTest, ArgumentsAndEnvironmentAreViews) {
  // Each view is shorter than its buffer; the bytes behind it must not reach the child.
  const char program[] = "/bin/shXXXX";
  const char flag[] = "-cZZ";
  const char script[] = "printf '%s|%s\\n' \"$0\" \"$1\"TRAILING";
  const char operand[] = "abcdef";
  std::vector<Bytes> arguments = {Bytes(program, 7), Bytes(flag, 2),
                                  Bytes(script, sizeof script - 1 - 8), Bytes(operand, 3),
                                  Bytes(operand + 3, 2)};
  Result<Finished> finished = run(arguments, {});
  ASSERT_OK(finished);
  EXPECT_EQ(finished->out, "abc|de\n");

  const char entry_a[] = "A=1XYZ";
  const char path_entry[] = "PATH=/bin:/nonexistent-larderbox";
  // The PATH entry is a view as well: its value is "/bin", and the directory cut off is not tried.
  Result<Finished> env = run({"env"}, {Bytes(entry_a, 3), Bytes(path_entry, 9)});
  ASSERT_OK(env);
  EXPECT_EQ(env->out, "A=1\nPATH=/bin\n");
  const char cut_path[] = "PATH=/nonexistent-larderbox:/bin";
  EXPECT_ERROR(test::spawn(context, probeLike({"env"}, {Bytes(cut_path, 27)})),
               Error::FileNotFound);
}

TEST_F(ChildTest, EnvironmentIsExactlyTheList) {
  Result<Finished> empty = run({"/usr/bin/env"}, {});
  ASSERT_OK(empty);
  EXPECT_EQ(empty->out, "");
  Result<Finished> two = run({"/usr/bin/env"}, {"B=2", "A=", "C=x=y"});
  ASSERT_OK(two);
  EXPECT_EQ(two->out, "B=2\nA=\nC=x=y\n");
}

TEST_F(ChildTest, StandardInputIsTheNullDevice) {
  Result<Finished> finished =
      shell("if read line; then echo got; else echo eof; fi; readlink /proc/self/fd/0");
  ASSERT_OK(finished);
  EXPECT_EQ(finished->out, "eof\n/dev/null\n");
}

TEST_F(ChildTest, NullDeviceIsOpenedOnceCloseOnExec) {
  ASSERT_OK(shell("exit 0"));
  int handle = context.null_device;
  ASSERT_GE(handle, 0);
  EXPECT_NE(fcntl(handle, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_NE(fcntl(handle, F_GETFL) & O_RDWR, 0);
  ASSERT_OK(shell("exit 0"));
  EXPECT_EQ(context.null_device, handle);
}

TEST_F(ChildTest, OnlyTheStandardStreamsReachTheChild) {
  // A descriptor this process holds without close-on-exec, as a caller may hand one down.
  int inheritable = open("/dev/null", O_RDONLY);
  ASSERT_GE(inheritable, 0);
  ASSERT_EQ(dup2(inheritable, 37), 37);
  Result<Finished> finished = run({"/bin/ls", "-l", "/proc/self/fd"}, {});
  close(37);
  close(inheritable);
  ASSERT_OK(finished);
  std::map<int, std::string> targets;
  std::istringstream listing(finished->out);
  for (std::string text; std::getline(listing, text);) {
    std::size_t arrow =
        text.find(" -> ");  // "lr-x------ 1 root root 64 Dec  9 02:08 0 -> /dev/null"
    if (arrow == std::string::npos) continue;
    std::size_t number = text.rfind(' ', arrow - 1) + 1;
    targets[std::stoi(text.substr(number, arrow - number))] = text.substr(arrow + 4);
  }
  ASSERT_EQ(targets.count(0), 1u) << finished->out;
  EXPECT_EQ(targets[0], "/dev/null");
  EXPECT_EQ(targets[1].rfind("pipe:", 0), 0u) << targets[1];
  EXPECT_EQ(targets[2].rfind("pipe:", 0), 0u) << targets[2];
  for (const auto& [fd, target] : targets) {
    if (fd <= 2) continue;
    // Only ls's own directory may be open besides the standard streams.
    EXPECT_EQ(target.rfind("/proc/", 0), 0u) << "leaked descriptor " << fd << " -> " << target;
  }
}

void doNothing(int) {}

// This process's signal mask and ignored signals, as /proc shows them for its main thread.
std::string maskAndIgnored() {
  std::ifstream status("/proc/self/status");
  std::string lines;
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("SigBlk:") || line.starts_with("SigIgn:")) lines += line + "\n";
  return lines;
}

TEST_F(ChildTest, ChildStartsWithTheCallersMaskAndIgnoredSignals) {
  // The caller blocks SIGUSR1 and ignores SIGPIPE; this process catches SIGIO, as after start-up.
  sigset_t blocked, caller_mask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  ASSERT_EQ(sigprocmask(SIG_BLOCK, &blocked, &caller_mask), 0);
  struct sigaction ignore = {}, handle = {}, saved_sigpipe, saved_sigio;
  ignore.sa_handler = SIG_IGN;
  handle.sa_handler = doNothing;
  sigaction(SIGPIPE, &ignore, &saved_sigpipe);
  sigaction(SIGIO, &handle, &saved_sigio);
  context.sigio_handled = true;
  std::string expected = maskAndIgnored();

  Result<Finished> finished = run({"/bin/grep", "-E", "^Sig(Blk|Ign):", "/proc/self/status"}, {});
  std::string after_launch = maskAndIgnored();
  sigaction(SIGIO, &saved_sigio, nullptr);
  sigaction(SIGPIPE, &saved_sigpipe, nullptr);
  sigprocmask(SIG_SETMASK, &caller_mask, nullptr);
  ASSERT_OK(finished);
  EXPECT_EQ(finished->out, expected);
  EXPECT_EQ(after_launch, expected) << "the launch left this process's mask changed";
}

TEST_F(ChildTest, DescriptorAlreadyOnItsTargetSurvivesTheExec) {
  // With this process's standard input closed, the read end of the child's standard input pipe
  // opens on 0, close-on-exec as every pipe of a launch: dup2(0, 0) changes nothing, so the launch
  // has to clear the flag itself.
  int saved = fcntl(0, F_DUPFD_CLOEXEC, 3);
  close(0);
  std::vector<Bytes> arguments = {"/bin/cat"};
  std::vector<Bytes> no_environment;
  ChildSpawnOptions options = probeLike(arguments, no_environment);
  options.standard_input = StdioDisposition::pipe;
  test::Spawned child = test::spawn(context, options);
  if (saved >= 0) {
    dup2(saved, 0);
    close(saved);
  }
  ASSERT_OK(child);
  ASSERT_EQ(write(child->standard_input.get(), "fed\n", 4), 4);
  child->standard_input.reset();
  EXPECT_EQ(test::readToEnd(child->standard_output.get()), "fed\n");
  EXPECT_EQ(test::readToEnd(child->standard_error.get()), "");
  Result<ChildExit> ended = waitChild(*child);
  ASSERT_OK(ended);
  EXPECT_EQ(*ended, exited(0));
}

TEST_F(ChildTest, WaitLeavesNoProcessIdAndNoHandles) {
  test::Spawned child = test::spawn(context, probeLike({"/bin/sh", "-c", "exit 4"}, {}));
  ASSERT_OK(child);
  ASSERT_TRUE(child->pid.has_value());
  EXPECT_FALSE(child->standard_input.isOpen());  // standard input was `ignore`
  int out = child->standard_output.get();
  int err = child->standard_error.get();
  Result<ChildExit> ended = waitChild(*child);
  ASSERT_OK(ended);
  EXPECT_EQ(*ended, exited(4));
  EXPECT_FALSE(child->pid.has_value());
  EXPECT_FALSE(child->standard_output.isOpen());
  EXPECT_FALSE(child->standard_error.isOpen());
  EXPECT_FALSE(test::isOpen(out));
  EXPECT_FALSE(test::isOpen(err));
  // The caller's rule: test the present flag before terminating; it is absent, nothing is sent.
  EXPECT_FALSE(child->pid.has_value());
  killChild(*child);  // and a stray call is harmless
  EXPECT_TRUE(test::hasNoChildren());
}

TEST_F(ChildTest, StandardInputPipeIsTheParentsWriteEnd) {
  std::vector<Bytes> arguments = {"/bin/cat"};
  std::vector<Bytes> no_environment;
  ChildSpawnOptions options = probeLike(arguments, no_environment);
  options.standard_input = StdioDisposition::pipe;
  test::Spawned child = test::spawn(context, options);
  ASSERT_OK(child);
  ASSERT_TRUE(child->standard_input.isOpen());
  ASSERT_EQ(write(child->standard_input.get(), "through\n", 8), 8);
  child->standard_input.reset();
  EXPECT_EQ(test::readToEnd(child->standard_output.get()), "through\n");
  Result<ChildExit> ended = waitChild(*child);
  ASSERT_OK(ended);
  EXPECT_EQ(*ended, exited(0));
}

TEST_F(ChildTest, SignalsWithoutRestartInterruptNeitherLaunchNorWait) {
  test::SignalRain rain;
  test::Spawned child = test::spawn(context, probeLike({"/bin/sh", "-c", "sleep 0.3; exit 6"}, {}));
  Result<ChildExit> ended = fail(Error::Unexpected);
  if (child) ended = waitChild(*child);  // blocks in wait4 while the signals arrive
  rain.stop();
  ASSERT_OK(child);
  ASSERT_OK(ended);
  EXPECT_EQ(*ended, exited(6));
  EXPECT_GT(test::SignalRain::delivered(), 10u);  // a loaded machine sends fewer
}

TEST_F(ChildTest, WaitFailureStillReleasesTheHandles) {
  test::Spawned child = test::spawn(context, probeLike({"/bin/sh", "-c", "exit 0"}, {}));
  ASSERT_OK(child);
  int out = child->standard_output.get();
  ASSERT_EQ(waitpid(*child->pid, nullptr, 0), *child->pid);  // reaped elsewhere: ECHILD
  EXPECT_ERROR(waitChild(*child), Error::Unexpected);
  EXPECT_FALSE(child->pid.has_value());
  EXPECT_FALSE(child->standard_output.isOpen());
  EXPECT_FALSE(test::isOpen(out));
}

TEST_F(ChildTest, KillTerminatesAndReaps) {
  test::Spawned child = test::spawn(context, probeLike({"/bin/sh", "-c", "exec sleep 30"}, {}));
  ASSERT_OK(child);
  int out = child->standard_output.get();
  auto began = std::chrono::steady_clock::now();
  killChild(*child);
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(10));
  EXPECT_FALSE(child->pid.has_value());
  EXPECT_FALSE(test::isOpen(out));
  EXPECT_TRUE(test::hasNoChildren());
}

TEST_F(ChildTest, KillAfterTheChildWasReapedElsewhereDoesNotWait) {
  test::Spawned gone = test::spawn(context, probeLike({"/bin/sh", "-c", "exit 0"}, {}));
  ASSERT_OK(gone);
  ASSERT_EQ(waitpid(*gone->pid, nullptr, 0), *gone->pid);
  test::Spawned alive = test::spawn(context, probeLike({"/bin/sh", "-c", "exec sleep 30"}, {}));
  ASSERT_OK(alive);
  auto began = std::chrono::steady_clock::now();
  killChild(*gone);  // kill fails (no such process): no wait, in particular none for `alive`
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(10));
  EXPECT_FALSE(gone->pid.has_value());
  EXPECT_FALSE(gone->standard_output.isOpen());
  EXPECT_EQ(waitpid(*alive->pid, nullptr, WNOHANG), 0) << "the other child was reaped";
  killChild(*alive);
  EXPECT_TRUE(test::hasNoChildren());
}

TEST_F(ChildTest, RecordThatGoesTerminatesAndReapsItsChild) {
  auto began = std::chrono::steady_clock::now();
  int out = -1;
  {
    test::Spawned spawned = test::spawn(context, probeLike({"/bin/sh", "-c", "exec sleep 30"}, {}));
    ASSERT_OK(spawned);
    ChildProcess moved = std::move(*spawned);
    EXPECT_FALSE(spawned->pid.has_value());  // the moved-from record holds nothing to reap
    out = moved.standard_output.get();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(10));
  EXPECT_FALSE(test::isOpen(out));
  EXPECT_TRUE(test::hasNoChildren());
}

TEST_F(ChildTest, FailedLaunchReleasesEverything) {
  std::set<int> before = test::openDescriptors();
  EXPECT_ERROR(test::spawn(context, probeLike({"true"}, {"PATH="})), Error::FileNotFound);
  std::set<int> after = test::openDescriptors();
  after.erase(context.null_device);
  EXPECT_EQ(after, before);

  // The copies of the arguments cannot be made: nothing is forked, every pipe is closed.
  failNthAllocation(1);
  EXPECT_ERROR(test::spawn(context, probeLike({"/bin/sh", "-c", "exit 0"}, {"A=1"})),
               Error::OutOfMemory);
  failNthAllocation(0);
  std::set<int> now = test::openDescriptors();
  now.erase(context.null_device);
  EXPECT_EQ(now, before);
  EXPECT_TRUE(test::hasNoChildren());
}

TEST_F(ChildTest, EmptyArgumentListIsRefused) {
  EXPECT_ERROR(test::spawn(context, probeLike({}, {})), Error::Unexpected);
  EXPECT_TRUE(test::hasNoChildren());
}

TEST_F(ChildTest, ScratchAreaIsGivenBack) {
  // The copies are made in one allocation and released after the fork: the arena's next
  // allocation lands where they were.
  void* first = allocator.allocate(1, alignof(char*));
  allocator.release(first, 1);
  ASSERT_OK(shell("exit 0"));
  void* next = allocator.allocate(1, alignof(char*));
  EXPECT_EQ(next, first);
}

TEST(DecodeWaitStatus, Table) {
  struct Row {
    std::uint32_t status;
    ChildExit expected;
  };
  const Row rows[] = {
      {0x0000, {ChildExitKind::exited, 0}},
      {0x0300, {ChildExitKind::exited, 3}},
      {0xff00, {ChildExitKind::exited, 255}},
      {0x0009, {ChildExitKind::signal, 9}},
      {0x000b, {ChildExitKind::signal, 11}},
      {0x008b, {ChildExitKind::signal, 11}},       // core dumped
      {0x137f, {ChildExitKind::unknown, 0x137f}},  // stopped by SIGSTOP: no wait here asks for it
      {0xffff, {ChildExitKind::unknown, 0xffff}},  // continued: likewise
  };
  for (const Row& row : rows) {
    EXPECT_EQ(decodeWaitStatus(row.status), row.expected) << std::hex << "0x" << row.status;
  }
}

}  // namespace
}  // namespace larderbox
