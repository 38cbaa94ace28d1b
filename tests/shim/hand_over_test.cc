#include "shim/hand_over.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/allocator.h"
#include "shim/redirect_gate.h"
#include "shim/test_tree.h"
#include "support/assertions.h"
#include "support/string_array.h"

namespace larderbox {
namespace {

using test::Environment;
using testing::ChildOutcome;
using testing::runInChild;
using testing::ScopedChdir;
using testing::TempTree;

class RewriteUrlArgumentTest : public ::testing::Test {
 protected:
  void TearDown() override {
    failNthAllocation(0);
    allocator_.releaseAll();
  }
  ProcessAllocator allocator_;
};

TEST_F(RewriteUrlArgumentTest, FourForms) {
  // Not NUL-terminated where the view ends: only its bytes may reach the new element.
  const char buffer[] = "http://c/b/aHR0cDovL2gveC50Z3o/x.tgzTRAILING";
  const Bytes address(buffer, std::strlen(buffer) - std::strlen("TRAILING"));
  const std::string a(address);
  struct Row {
    std::vector<std::string> arguments;
    std::vector<std::string> expected;
  };
  const Row rows[] = {
      {{"-fsSL", "http://h/x.tgz", "-o", "x.tgz"}, {"-fsSL", a, "-o", "x.tgz"}},
      {{"--url=http://h/x.tgz", "-o", "x"}, {"--url=" + a, "-o", "x"}},
      {{"-s", "--url", "http://h/x.tgz"}, {"-s", "--url", a}},
      {{"-v", "--", "-x", "http://h/x.tgz", "http://h/y"}, {"-v", "--", "-x", a, "http://h/y"}},
  };
  for (const Row& row : rows) {
    std::vector<std::string> strings = row.arguments;
    std::vector<char*> array;
    for (std::string& s : strings)
      array.push_back(s.data());
    const std::vector<char*> before = array;
    std::optional<UrlArgument> url = readCommandLine(ToolFamily::curl, array).url;
    ASSERT_TRUE(url) << row.arguments[0];
    ASSERT_OK(rewriteUrlArgument(allocator_, array, *url, address));
    ASSERT_EQ(array.size(), row.expected.size());
    for (std::size_t i = 0; i < array.size(); ++i) {
      EXPECT_STREQ(array[i], row.expected[i].c_str()) << "element " << i;
      // Every other element is still the caller's own string.
      if (i != url->index) {
        EXPECT_EQ(array[i], before[i]) << "element " << i;
      }
    }
    // The caller's string is left alone; the new element is a string of its own.
    EXPECT_EQ(strings[url->index], row.arguments[url->index]);
  }
}

TEST_F(RewriteUrlArgumentTest, OutOfMemoryLeavesTheArrayAlone) {
  std::string url_argument = "http://h/x.tgz";
  std::vector<char*> array = {url_argument.data()};
  failNthAllocation(1);
  EXPECT_ERROR(rewriteUrlArgument(allocator_, array, UrlArgument{url_argument, 0, false},
                                  "http://c/b/x/x.tgz"),
               Error::OutOfMemory);
  EXPECT_EQ(array[0], url_argument.data());
}

// What the driver does last: the hand-over, and the ending when it returns.
[[noreturn]] void handOverAndEnd(Bytes real_tool, std::vector<char*> arguments, char** environment,
                                 std::size_t fail_allocation = 0) {
  ProcessAllocator allocator;
  RunContext context(allocator);
  // As the caller's argv: argument 0 (the slot handOver fills), the arguments, the null pointer.
  arguments.insert(arguments.begin(), nullptr);
  arguments.push_back(nullptr);
  Result<ExecVector> vector =
      formExecVector(allocator, static_cast<int>(arguments.size()) - 1, arguments.data());
  if (!vector) _exit(91);
  failNthAllocation(fail_allocation);
  Ending ending = handOver(allocator, real_tool, real_tool, *vector, environment);
  _exit(endRun(context, ending));
}

// Runs handOver in a child; `arguments` become the argument array.
ChildOutcome handOverInChild(const std::string& real_tool, std::vector<std::string> arguments,
                             Environment* environment = nullptr, const char* directory = nullptr,
                             std::size_t fail_allocation = 0) {
  return runInChild([&] {
    if (directory != nullptr && chdir(directory) != 0) _exit(90);
    std::vector<char*> array;
    for (std::string& argument : arguments)
      array.push_back(argument.data());
    handOverAndEnd(real_tool, array, environment != nullptr ? environment->entries() : environ,
                   fail_allocation);
  });
}

TEST(HandOver, ExecsTheRealToolWithItsPathAsArgumentZero) {
  TempTree tree;
  std::string tool = tree.script("bin/curl");
  ChildOutcome outcome = handOverInChild(tool, {"-fsSL", "http://c/b/x/x.tgz", "-o", "x.tgz", ""});
  EXPECT_TRUE(outcome.exited(0)) << outcome.status << outcome.err;
  EXPECT_EQ(outcome.out, tool + "\n-fsSL\nhttp://c/b/x/x.tgz\n-o\nx.tgz\n\n");
  EXPECT_EQ(outcome.err, "");

  // No arguments: the vector holds only the path.
  outcome = handOverInChild(tool, {});
  EXPECT_TRUE(outcome.exited(0)) << outcome.status << outcome.err;
  EXPECT_EQ(outcome.out, tool + "\n");
}

TEST(HandOver, EnvironmentPassedUnchanged) {
  TempTree tree;
  std::string tool = tree.file("env-tool", "#!/bin/sh\nexec /usr/bin/env\n", 0755);
  Environment environment{"LARDERBOX_SERVER=http://127.0.0.1:9", "REAL_CURL=/x", "EMPTY="};
  ChildOutcome outcome = handOverInChild(tool, {}, &environment);
  EXPECT_TRUE(outcome.exited(0)) << outcome.status << outcome.err;
  // The shell may add variables of its own (PWD, SHLVL); ours must all arrive.
  EXPECT_NE(outcome.out.find("LARDERBOX_SERVER=http://127.0.0.1:9\n"), std::string::npos);
  EXPECT_NE(outcome.out.find("REAL_CURL=/x\n"), std::string::npos);
  EXPECT_NE(outcome.out.find("EMPTY=\n"), std::string::npos);
}

TEST(HandOver, RelativePathResolvedAgainstWorkingDirectory) {
  TempTree tree;
  tree.script("bin/curl");
  ChildOutcome outcome = handOverInChild("bin/curl", {"x"}, nullptr, tree.root().c_str());
  EXPECT_TRUE(outcome.exited(0)) << outcome.status << outcome.err;
  EXPECT_EQ(outcome.out, "bin/curl\nx\n");
}

TEST(HandOver, ExecFailureMessageAndStatus127) {
  TempTree tree;
  struct Row {
    const char* what;
    std::string path;
  };
  const Row rows[] = {
      {"directory", tree.directory("curl")},
      {"missing", tree.path("missing/curl")},
      {"not executable", tree.file("plain", "#!/bin/sh\n", 0644)},
      {"unknown format", tree.file("garbage", std::string(64, '\x01'), 0755)},
      {"empty path", ""},
  };
  for (const Row& row : rows) {
    ChildOutcome outcome = handOverInChild(row.path, {"http://h/x"});
    EXPECT_TRUE(outcome.exited(127)) << row.what << " status " << outcome.status;
    EXPECT_EQ(outcome.err, "larderbox shim: cannot exec " + row.path + "\n") << row.what;
    EXPECT_EQ(outcome.out, "") << row.what;
  }
}

TEST(HandOver, PathNotNullTerminated) {
  TempTree tree;
  std::string tool = tree.script("bin/curl");
  std::string longer = tool + "-not-this-one";
  tree.script("bin/curl-not-this-one");
  ChildOutcome outcome =
      runInChild([&] { handOverAndEnd(Bytes(longer.data(), tool.size()), {}, environ); });
  EXPECT_TRUE(outcome.exited(0)) << outcome.status << outcome.err;
  EXPECT_EQ(outcome.out, tool + "\n");

  // The message shows the view's bytes only.
  std::string missing = tree.path("missing");
  std::string missing_longer = missing + "XYZ";
  outcome = runInChild(
      [&] { handOverAndEnd(Bytes(missing_longer.data(), missing.size()), {}, environ); });
  EXPECT_TRUE(outcome.exited(127));
  EXPECT_EQ(outcome.err, "larderbox shim: cannot exec " + missing + "\n");
}

TEST(HandOver, CopiesThatCannotBeAllocatedExit127Silently) {
  TempTree tree;
  std::string tool = tree.script("bin/curl");
  // The path copy: the vector was formed before.
  ChildOutcome outcome = handOverInChild(tool, {"a"}, nullptr, nullptr, 1);
  EXPECT_TRUE(outcome.exited(127)) << " status " << outcome.status;
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(outcome.out, "");
}

}  // namespace
}  // namespace larderbox
