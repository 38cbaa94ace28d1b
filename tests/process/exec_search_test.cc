// execSearch on its own, run in a forked child: a search that wrongly succeeds replaces that child,
// never the test binary.
#include "process/exec_search.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "process_test_support.h"
#include "runtime/system_calls.h"

namespace larderbox {
namespace {

// What became of one search: the error it returned, or none when a program was executed.
struct Outcome {
  bool executed = false;
  Error error = Error::None;
};

// `copy`: hand execSearch a NUL-terminated copy, as spawnChild does; otherwise the view itself.
Outcome searchInChild(Bytes argument_0, std::optional<Bytes> path_value, bool copy = true) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    std::string written(argument_0);
    Bytes handed = copy ? Bytes(written) : argument_0;
    char* arguments[] = {const_cast<char*>(handed.data()), nullptr};
    char* environment[] = {nullptr};
    Error error = execSearch(handed, arguments, environment, path_value, true);
    auto code = static_cast<std::uint16_t>(error);
    (void)!write(report[1], &code, sizeof code);
    exitImmediately(0);
  }
  close(report[1]);
  std::uint16_t code = 0;
  ssize_t got = read(report[0], &code, sizeof code);
  close(report[0]);
  waitpid(pid, nullptr, 0);
  if (got != sizeof code) return {true, Error::None};
  return {false, static_cast<Error>(code)};
}

void expectError(const Outcome& outcome, Error expected) {
  EXPECT_FALSE(outcome.executed) << "a program was executed";
  EXPECT_EQ(errorName(outcome.error), errorName(expected));
}

std::string directoryOfLength(std::size_t length) {
  std::string directory = "/nonexistent-larderbox";
  while (directory.size() < length) {
    std::size_t room = length - directory.size();
    directory +=
        room == 1 ? std::string("x") : "/" + std::string(std::min<std::size_t>(room - 1, 200), 'b');
  }
  return directory;
}

class ExecSearchTest : public ::testing::Test {
 protected:
  test::Watchdog watchdog{30};
};

TEST_F(ExecSearchTest, ArgumentWithSlashIsExecutedAsItStands) {
  expectError(searchInChild("/nonexistent-larderbox/true", Bytes("/bin:/usr/bin")),
              Error::FileNotFound);
  expectError(searchInChild("./nonexistent-larderbox-true", Bytes("/bin")), Error::FileNotFound);
  EXPECT_TRUE(searchInChild("/bin/true", std::nullopt).executed);
}

TEST_F(ExecSearchTest, DefaultListWithoutPathValue) {
  EXPECT_TRUE(searchInChild("true", std::nullopt).executed);
  expectError(searchInChild("larderbox-no-such-tool", std::nullopt), Error::FileNotFound);
}

TEST_F(ExecSearchTest, EmptyElementsAreSkipped) {
  expectError(searchInChild("true", Bytes("")), Error::FileNotFound);
  expectError(searchInChild("true", Bytes(":::")), Error::FileNotFound);
  EXPECT_TRUE(searchInChild("true", Bytes(":/nonexistent-larderbox::/bin:")).executed);
}

TEST_F(ExecSearchTest, NameTooLongBoundary) {
  // "x" is 1 byte: 4094 + 1 = 4095 is one too many; 4093 + 1 = 4094 is tried.
  std::string too_long = directoryOfLength(4094);
  std::string longest = directoryOfLength(4093);
  ASSERT_EQ(too_long.size(), 4094u);
  ASSERT_EQ(longest.size(), 4093u);
  expectError(searchInChild("x", Bytes(too_long)), Error::NameTooLong);
  expectError(searchInChild("x", Bytes(longest)), Error::FileNotFound);
  // The long directory stops the search before a directory that would have found the program.
  std::string then_bin = too_long + ":/bin";
  expectError(searchInChild("true", Bytes(then_bin)), Error::NameTooLong);
  // An argument 0 that alone is longer than the buffer allows.
  expectError(searchInChild(Bytes(std::string(4095, 'p')), Bytes("/bin")), Error::NameTooLong);
}

TEST_F(ExecSearchTest, PathValueIsAView) {
  const char path[] = "/nonexistent-larderbox:/bin";
  expectError(searchInChild("true", Bytes(path, 22)), Error::FileNotFound);
  EXPECT_TRUE(searchInChild("true", Bytes(path, sizeof path - 1)).executed);
}

TEST_F(ExecSearchTest, ArgumentZeroIsAView) {
  // The "/" behind the view must not turn the search into a direct exec of "true/x".
  const char argument[] = "true/x";
  EXPECT_TRUE(
      searchInChild(Bytes(argument, 4), Bytes("/nonexistent-larderbox:/bin"), false).executed);
}

TEST_F(ExecSearchTest, ArgumentZeroIsPutBack) {
  // Every directory fails, so this runs safely in the test process itself.
  char written[] = "larderbox-no-such-tool";
  char* arguments[] = {written, nullptr};
  char* environment[] = {nullptr};
  Error error = execSearch(Bytes(written), arguments, environment,
                           Bytes("/nonexistent-larderbox:/tmp"), false);
  EXPECT_EQ(errorName(error), errorName(Error::FileNotFound));
  EXPECT_EQ(arguments[0], written);
}

TEST(ExecError, Table) {
  struct Row {
    int errnum;
    Error expected;
  };
  const Row rows[] = {
      {EPERM, Error::PermissionDenied},
      {ENOENT, Error::FileNotFound},
      {EIO, Error::FileSystem},
      {ELOOP, Error::FileSystem},
      {E2BIG, Error::SystemResources},
      {ENOMEM, Error::SystemResources},
      {ENOEXEC, Error::InvalidExe},
      {EINVAL, Error::InvalidExe},
      {ELIBBAD, Error::InvalidExe},
      {EACCES, Error::AccessDenied},
      {ENOTDIR, Error::NotDir},
      {EISDIR, Error::IsDir},
      {ENFILE, Error::SystemFdQuotaExceeded},
      {EMFILE, Error::ProcessFdQuotaExceeded},
      {ETXTBSY, Error::FileBusy},
      {ENAMETOOLONG, Error::NameTooLong},
      {EINTR, Error::Unexpected},
      {EFAULT, Error::Unexpected},
  };
  for (const Row& row : rows)
    EXPECT_EQ(errorName(execError(row.errnum)), errorName(row.expected)) << row.errnum;
}

}  // namespace
}  // namespace larderbox
