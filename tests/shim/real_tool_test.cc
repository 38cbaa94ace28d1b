#include "shim/real_tool.h"

#include <grp.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "runtime/allocator.h"
#include "shim/marker.h"
#include "shim/test_tree.h"
#include "shim/tool_name.h"
#include "support/assertions.h"
#include "support/string_array.h"
#include "support/watchdog.h"

namespace larderbox {
namespace {

using test::Environment;
using testing::checkMarker;
using testing::ChildOutcome;
using testing::runInChild;
using testing::ScopedChdir;
using testing::TempTree;

constexpr const char* kNone = "<none>";

class RealToolTest : public ::testing::Test {
 protected:
  void TearDown() override {
    failNthAllocation(0);
    allocator_.releaseAll();
  }

  // The PATH search as a string, kNone when nothing is found. Without an executed path unless one
  // is given: the size then is the test binary's, which no file of a tree has.
  std::string onPath(std::optional<std::string> path_value,
                     SelfIdentity self = SelfIdentity::executedAs({}), Tool tool = Tool::curl) {
    std::optional<Bytes> value;
    if (path_value) value = Bytes(*path_value);
    Result<std::optional<Bytes>> found = findOnPath(allocator_, value, tool, self);
    if (!found) return std::string("error ") + std::string(errorName(found.error()));
    return *found ? std::string(**found) : kNone;
  }

  std::string realTool(Environment& environment, Tool tool = Tool::curl) {
    SelfIdentity self = SelfIdentity::executedAs({});
    Result<std::optional<Bytes>> found =
        findRealTool(allocator_, {environment.entries(), environment.count()}, tool, self);
    if (!found) return std::string("error ") + std::string(errorName(found.error()));
    return *found ? std::string(**found) : kNone;
  }

  ProcessAllocator allocator_;
  TempTree tree_;
};

TEST_F(RealToolTest, FileTests) {
  test::Watchdog bound(20);
  std::string script = tree_.script("tool");
  std::string plain = tree_.file("plain", "data", 0644);
  std::string execute_only = tree_.file("execute-only", "data", 0111);
  std::string directory = tree_.directory("dir");
  std::string fifo = tree_.fifo("fifo", 0755);
  std::string link = tree_.symlink(script, "link");

  EXPECT_TRUE(isExecutable(script.c_str()));
  EXPECT_FALSE(isExecutable(plain.c_str()));
  EXPECT_TRUE(isExecutable(execute_only.c_str()));
  EXPECT_TRUE(isExecutable(directory.c_str()));  // search permission counts
  EXPECT_TRUE(isExecutable(fifo.c_str()));
  EXPECT_FALSE(isExecutable(tree_.path("missing").c_str()));

  struct stat status;
  ASSERT_EQ(stat(script.c_str(), &status), 0);
  EXPECT_EQ(fileSize(script.c_str()), static_cast<std::uint64_t>(status.st_size));
  EXPECT_EQ(fileSize(link.c_str()), fileSize(script.c_str()));  // links are followed
  EXPECT_EQ(fileSize(plain.c_str()), 4u);
  EXPECT_EQ(fileSize(execute_only.c_str()), 4u);
  EXPECT_FALSE(fileSize(tree_.path("missing").c_str()));
  EXPECT_EQ(fileSize(fifo.c_str()), 0u);  // and it returns: nothing waits for a writer
}

TEST_F(RealToolTest, MarkerWindow) {
  test::Watchdog bound(20);
  struct Row {
    const char* name;
    std::size_t offset;        // of the note segment in the file
    std::size_t segment_size;  // as its program header gives it
    MarkerCheck expected;
  };
  const Row rows[] = {
      {"behind-program-headers", 120, 40, MarkerCheck::carries_marker},
      {"last-place-in-window", kMarkerWindow - 40, 40, MarkerCheck::carries_marker},
      {"straddling-window-end", kMarkerWindow - 39, 40, MarkerCheck::lacks_marker},
      {"behind-window", kMarkerWindow, 40, MarkerCheck::lacks_marker},
      {"segment-cut-short", 120, 39, MarkerCheck::lacks_marker},
      {"segment-longer-than-file", 120, 1 << 20, MarkerCheck::lacks_marker},
  };
  for (const Row& row : rows) {
    std::string path = tree_.shim(row.name, row.offset, row.segment_size);
    EXPECT_EQ(checkMarker(path.c_str()), row.expected) << row.name;
  }
  // The marker's bytes alone, outside any note, mark nothing: a script that quotes them is a
  // script.
  std::string quoted = std::string(64, 'x') + TempTree::larderboxNote() + std::string(200, 'y');
  EXPECT_EQ(checkMarker(tree_.file("quoted", quoted, 0755).c_str()), MarkerCheck::lacks_marker);
  EXPECT_EQ(checkMarker(tree_.script("script").c_str()), MarkerCheck::lacks_marker);
  EXPECT_EQ(checkMarker(tree_.file("empty", "", 0755).c_str()), MarkerCheck::lacks_marker);
  EXPECT_EQ(checkMarker(tree_.path("missing").c_str()), MarkerCheck::unreadable);
  EXPECT_EQ(checkMarker(tree_.directory("dir").c_str()), MarkerCheck::unreadable);
  // A FIFO without a writer is neither waited for nor read from.
  EXPECT_EQ(checkMarker(tree_.fifo("fifo", 0755).c_str()), MarkerCheck::unreadable);
}

TEST_F(RealToolTest, ShimAndLinksToItAreSkipped) {
  std::string shim = tree_.shim("shim/larderbox");
  tree_.symlink(shim, "opt/bin/curl");
  tree_.hardLink(shim, "local/bin/curl");
  tree_.symlink("../shim/larderbox", "relative/curl");
  tree_.copy(shim, "copy/curl");
  std::string real = tree_.script("usr/bin/curl");
  std::string path = tree_.path("opt/bin") + ":" + tree_.path("local/bin") + ":" +
                     tree_.path("relative") + ":" + tree_.path("copy") + ":" +
                     tree_.path("usr/bin");

  EXPECT_EQ(onPath(path), real);
  // The same with the shim's size known, as when it runs from its own file.
  EXPECT_EQ(onPath(path, SelfIdentity::executedAs(shim)), real);
  // Only larderbox files on PATH: nothing to hand over to.
  EXPECT_EQ(onPath(tree_.path("opt/bin") + ":" + tree_.path("copy")), kNone);
}

TEST_F(RealToolTest, ReadableFileWithoutTheMarkerIsTheRealTool) {
  // The marker alone decides for a file that can be read: one of the shim's size is the real tool
  // all the same, directly or through a link.
  std::string lookalike = tree_.script("a/curl");
  tree_.symlink(lookalike, "b/curl");
  std::string path = tree_.path("a") + ":" + tree_.path("b");
  std::string self = tree_.symlink(lookalike, "self/curl");  // the shim's size, off PATH
  EXPECT_EQ(onPath(path, SelfIdentity::executedAs(self)), lookalike);
  EXPECT_EQ(onPath(tree_.path("b"), SelfIdentity::executedAs(self)), tree_.path("b/curl"));
}

std::string nonExecutable(const std::string& path) {
  std::filesystem::permissions(path, std::filesystem::perms(0644));
  return path;
}

TEST_F(RealToolTest, CandidateKinds) {
  test::Watchdog bound(20);
  struct Row {
    const char* what;
    std::string path;
    CandidateKind expected;
    bool regular_file;
  };
  std::string script = tree_.script("tool");
  const Row rows[] = {
      {"script", script, CandidateKind::real_tool, true},
      {"link to it", tree_.symlink(script, "link"), CandidateKind::real_tool, true},
      {"not executable", tree_.file("plain", "data", 0644), CandidateKind::not_executable, true},
      {"execute-only", tree_.file("execute-only", "data", 0111), CandidateKind::real_tool, true},
      {"directory", tree_.directory("dir"), CandidateKind::not_executable, false},
      {"link to a directory", tree_.symlink(tree_.path("dir"), "dir-link"),
       CandidateKind::not_executable, false},
      {"fifo", tree_.fifo("fifo", 0755), CandidateKind::not_executable, false},
      {"another copy", tree_.shim("copy"), CandidateKind::larderbox, true},
      {"copy without execute permission", nonExecutable(tree_.shim("resting-copy")),
       CandidateKind::not_executable, true},
      {"missing", tree_.path("missing"), CandidateKind::not_executable, true},
  };
  for (const Row& row : rows) {
    SelfIdentity self = SelfIdentity::executedAs({});
    EXPECT_EQ(judgeCandidate(row.path.c_str(), self), row.expected) << row.what;
    // The test made through the open file answers as access does for the path.
    if (row.regular_file) {
      EXPECT_EQ(row.expected != CandidateKind::not_executable, isExecutable(row.path.c_str()))
          << row.what;
    }
  }
}

// Only a file that cannot be read shows neither marker nor contents; root reads every file, so a
// child that has given up root judges them.
TEST_F(RealToolTest, UnreadableCandidates) {
  test::Watchdog bound(20);
  ASSERT_EQ(chmod(tree_.root().c_str(), 0755), 0);
  std::string shim = tree_.shim("shim");
  struct Row {
    const char* what;
    std::string path;
    CandidateKind expected;
  };
  const std::string copy = tree_.copy(shim, "copy");
  ASSERT_EQ(chmod(copy.c_str(), 0111), 0);
  const Row rows[] = {
      {"execute-only copy of the shim (the size tells)", copy, CandidateKind::larderbox},
      {"execute-only file of another size", tree_.file("other", "#!/bin/sh\n", 0111),
       CandidateKind::real_tool},
      {"execute-only directory", tree_.directory("dir", 0111), CandidateKind::not_executable},
      {"execute-only fifo", tree_.fifo("fifo", 0111), CandidateKind::not_executable},
  };
  ChildOutcome outcome = runInChild([&] {
    constexpr uid_t kNobody = 65534;
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 ||
                           setuid(kNobody) != 0 || access(shim.c_str(), R_OK) != 0)) {
      std::printf("skip: cannot become an unprivileged user that reaches %s\n",
                  tree_.root().c_str());
      std::fflush(stdout);  // the child ends with _exit
      return;
    }
    for (const Row& row : rows) {
      SelfIdentity self = SelfIdentity::executedAs(shim);
      std::printf("%d\n", static_cast<int>(judgeCandidate(row.path.c_str(), self)));
    }
    std::fflush(stdout);
  });
  ASSERT_TRUE(outcome.exited(0)) << outcome.err;
  if (outcome.out.starts_with("skip")) GTEST_SKIP() << outcome.out;
  std::string expected;
  for (const Row& row : rows)
    expected += std::to_string(static_cast<int>(row.expected)) + "\n";
  EXPECT_EQ(outcome.out, expected);
}

TEST_F(RealToolTest, ExecutedPathIsTheShim) {
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the auxiliary vector holds addresses as integers
  std::string executed_as = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
  SelfIdentity self = SelfIdentity::ofThisProcess();
  EXPECT_TRUE(self.isExecutedAs(executed_as.c_str()));
  EXPECT_FALSE(self.isExecutedAs((executed_as + "x").c_str()));
  EXPECT_FALSE(self.isExecutedAs(executed_as.substr(0, executed_as.size() - 1).c_str()));
  EXPECT_EQ(judgeCandidate(executed_as.c_str(), self), CandidateKind::larderbox);
  EXPECT_EQ(self.size(), fileSize(executed_as.c_str()));

  // Without an executed path no path is that one.
  SelfIdentity unknown = SelfIdentity::executedAs({});
  EXPECT_FALSE(unknown.isExecutedAs(executed_as.c_str()));
  EXPECT_FALSE(unknown.isExecutedAs(""));
}

TEST_F(RealToolTest, ExecuteOnlyFileWithoutMarkerIsTaken) {
  std::string execute_only = tree_.file("a/curl", "#!/bin/sh\n", 0111);
  tree_.script("b/curl");
  std::string one_byte = tree_.file("one-byte", "x", 0644);
  EXPECT_EQ(onPath(tree_.path("a") + ":" + tree_.path("b"), SelfIdentity::executedAs(one_byte)),
            execute_only);
}

TEST_F(RealToolTest, EmptyEntriesAreSkipped) {
  std::string real = tree_.script("bin/curl");
  std::string empty = tree_.directory("empty");
  std::string bin = tree_.path("bin");
  // A curl in the working directory must not be found through an empty entry.
  tree_.script("curl");
  ScopedChdir here(tree_.root());
  ASSERT_TRUE(here.changed());

  struct Row {
    std::string path_value;
    std::string expected;
  };
  const Row rows[] = {
      {":" + bin, real},     {bin + ":", real},    {empty + "::" + bin, real},
      {"::" + empty, kNone}, {empty + ":", kNone}, {":", kNone},
      {"", kNone},
  };
  for (const Row& row : rows)
    EXPECT_EQ(onPath(row.path_value), row.expected) << row.path_value;
  EXPECT_EQ(onPath(std::nullopt), kNone);
}

TEST_F(RealToolTest, EntryBytesAreUsedAsTheyStand) {
  tree_.script("bin/curl");
  std::string bin = tree_.path("bin");
  EXPECT_EQ(onPath(bin + "/"), bin + "//curl");
  EXPECT_EQ(onPath(bin + "//"), bin + "///curl");
  EXPECT_EQ(onPath(tree_.root() + "/./bin"), tree_.root() + "/./bin/curl");
}

TEST_F(RealToolTest, DirectoryOrFifoNamedLikeTheToolIsSkipped) {
  test::Watchdog bound(20);
  tree_.directory("a/curl");
  tree_.fifo("b/curl", 0755);
  std::string real = tree_.script("c/curl");
  EXPECT_EQ(onPath(tree_.path("a") + ":" + tree_.path("b") + ":" + tree_.path("c")), real);
}

TEST_F(RealToolTest, RelativeEntries) {
  std::string shim = tree_.shim("shim/larderbox");
  tree_.symlink("shim/larderbox", "curl");
  tree_.script("bin/curl");
  tree_.script("other/curl");
  ScopedChdir here(tree_.root());
  ASSERT_TRUE(here.changed());

  // A relative link to the shim is skipped like an absolute one.
  EXPECT_EQ(onPath(".:bin"), "bin/curl");
  EXPECT_EQ(onPath("./:other"), "other/curl");
  EXPECT_EQ(onPath("bin:other"), "bin/curl");
  EXPECT_EQ(onPath("shim/..:other"), "other/curl");
  EXPECT_EQ(onPath("."), kNone);
}

TEST_F(RealToolTest, FirstAcceptableCandidateWins) {
  tree_.file("a/curl", "#!/bin/sh\n", 0644);  // not executable
  std::string second = tree_.script("c/curl");
  tree_.script("d/curl");
  std::string path = tree_.path("missing") + ":" + tree_.path("a") + ":" + tree_.path("b") + ":" +
                     tree_.path("c") + ":" + tree_.path("d");
  tree_.directory("b");
  EXPECT_EQ(onPath(path), second);
}

TEST_F(RealToolTest, SearchesForTheToolName) {
  tree_.script("bin/curl");
  std::string wget = tree_.script("bin/wget");
  std::string path = tree_.path("bin");
  EXPECT_EQ(onPath(path, SelfIdentity::executedAs({}), Tool::wget), wget);
  EXPECT_EQ(onPath(tree_.path("missing") + ":" + path, SelfIdentity::executedAs({}), Tool::wget),
            wget);
}

TEST_F(RealToolTest, NotNullTerminated) {
  std::string first = tree_.directory("first");
  std::string real = tree_.script("second/curl");
  tree_.script("second/curlx");
  tree_.script("second/sub/curl");
  std::string second = tree_.path("second");

  // PATH ends inside the buffer: the second entry is past the view's end.
  std::string two_entries = first + ":" + second;
  std::optional<Bytes> view = Bytes(two_entries.data(), first.size());
  SelfIdentity self = SelfIdentity::executedAs({});
  Result<std::optional<Bytes>> found = findOnPath(allocator_, view, Tool::curl, self);
  ASSERT_OK(found);
  EXPECT_FALSE(*found);

  // The view ends in the middle of what the buffer continues as a longer directory name.
  std::string longer = second + "/sub";
  found = findOnPath(allocator_, Bytes(longer.data(), second.size()), Tool::curl, self);
  ASSERT_OK(found);
  ASSERT_TRUE(*found);
  EXPECT_EQ(**found, real);
  EXPECT_EQ((**found).data()[(**found).size()], '\0');  // candidates are formed NUL-terminated
}

TEST_F(RealToolTest, CandidateOutOfMemory) {
  tree_.script("bin/curl");
  failNthAllocation(1);
  EXPECT_EQ(onPath(tree_.path("bin")), "error OutOfMemory");
  // Only empty entries: no candidate is formed, so nothing can run out.
  failNthAllocation(1);
  EXPECT_EQ(onPath("::"), kNone);
}

TEST_F(RealToolTest, RealToolVariable) {
  std::string named = tree_.script("opt/curl");
  std::string named_wget = tree_.script("opt/wget");
  std::string plain = tree_.file("opt/plain", "#!/bin/sh\n", 0644);
  std::string shim = tree_.shim("opt/larderbox");
  std::string directory = tree_.directory("opt/dir");
  std::string on_path = tree_.script("usr/bin/curl");
  std::string path = "PATH=" + tree_.path("usr/bin");
  std::string missing = tree_.path("opt/missing");

  struct Row {
    const char* what;
    Environment environment;
    Tool tool;
    std::string expected;
  };
  Row rows[] = {
      {"executable", {"REAL_CURL=" + named, path}, Tool::curl, named},
      {"missing file", {"REAL_CURL=" + missing, path}, Tool::curl, on_path},
      {"empty", {"REAL_CURL=", path}, Tool::curl, on_path},
      {"not executable", {"REAL_CURL=" + plain, path}, Tool::curl, on_path},
      {"a larderbox executable", {"REAL_CURL=" + shim, path}, Tool::curl, on_path},
      {"a directory", {"REAL_CURL=" + directory, path}, Tool::curl, on_path},
      {"lower-case tool name", {"REAL_curl=" + named, path}, Tool::curl, on_path},
      {"other tool's variable", {"REAL_WGET=" + named_wget, path}, Tool::curl, on_path},
      {"first entry wins",
       {"REAL_CURL=" + missing, "REAL_CURL=" + named, path},
       Tool::curl,
       on_path},
      {"PATH absent", {"REAL_WGET=" + named_wget}, Tool::wget, named_wget},
      {"nothing", {"LARDERBOX_SERVER=http://127.0.0.1:1"}, Tool::curl, kNone},
      {"PATH empty", {"PATH="}, Tool::curl, kNone},
      {"PATH in lower case", {"path=" + tree_.path("usr/bin")}, Tool::curl, kNone},
  };
  for (Row& row : rows)
    EXPECT_EQ(realTool(row.environment, row.tool), row.expected) << row.what;

  // A relative value is taken byte for byte, relative to the working directory.
  ScopedChdir here(tree_.root());
  ASSERT_TRUE(here.changed());
  Environment relative{"REAL_CURL=opt/curl", path};
  EXPECT_EQ(realTool(relative), "opt/curl");
}

TEST_F(RealToolTest, OnlyCandidatePathsNeedMemory) {
  std::string named = tree_.script("opt/curl");
  std::string on_path = tree_.script("usr/bin/curl");
  std::string path = "PATH=" + tree_.path("usr/bin");
  // The variable's name is a constant and its value is used in place: nothing to allocate.
  Environment variable{"REAL_CURL=" + named, path};
  failNthAllocation(1);
  EXPECT_EQ(realTool(variable), named);
  failNthAllocation(0);

  Environment search{"REAL_CURL=", path};
  failNthAllocation(1);  // the first candidate path
  EXPECT_EQ(realTool(search), "error OutOfMemory");
  failNthAllocation(0);
  EXPECT_EQ(realTool(search), on_path);
}

}  // namespace
}  // namespace larderbox
