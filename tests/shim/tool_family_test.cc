#include "shim/tool_family.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "shim/test_tree.h"
#include "shim/tool_name.h"

namespace larderbox {
namespace {

using testing::TempTree;

// One row per way a distribution installs wget: a file of its own, busybox's or wget2's name, or
// links to them, relative or absolute, one or two levels deep.
TEST(FindToolFamily, FromThePathAndItsLinks) {
  TempTree tree;
  tree.file("bin/wget", "#!/bin/sh\n", 0755);
  tree.file("bin/busybox", "#!/bin/sh\n", 0755);
  tree.file("bin/wget2", "#!/bin/sh\n", 0755);
  auto link = [&](const std::string& target, const std::string& name) {
    ASSERT_EQ(symlink(target.c_str(), tree.path(name).c_str()), 0) << name;
  };
  tree.file("alpine/.keep", "", 0644);
  tree.file("fedora/.keep", "", 0644);
  tree.file("alternatives/.keep", "", 0644);
  link("../bin/busybox", "alpine/wget");                 // relative
  link("../bin/wget2", "fedora/wget");                   // relative
  link(tree.path("fedora/wget"), "alternatives/wget2");  // absolute, then relative
  link("wget-loop", "alternatives/wget-loop");           // a loop is followed only so far
  link(tree.path("bin/wget"), "alternatives/wget");      // a link to GNU wget
  struct Row {
    Tool tool;
    std::string path;
    ToolFamily family;
  };
  const Row rows[] = {
      {Tool::wget, tree.path("bin/wget"), ToolFamily::gnu_wget},
      {Tool::wget, tree.path("bin/busybox"), ToolFamily::busybox},
      {Tool::wget, tree.path("bin/wget2"), ToolFamily::wget2},
      {Tool::wget, tree.path("alpine/wget"), ToolFamily::busybox},
      {Tool::wget, tree.path("fedora/wget"), ToolFamily::wget2},
      {Tool::wget, tree.path("alternatives/wget2"), ToolFamily::wget2},
      {Tool::wget, tree.path("alternatives/wget-loop"), ToolFamily::gnu_wget},
      {Tool::wget, tree.path("alternatives/wget"), ToolFamily::gnu_wget},
      {Tool::wget, tree.path("missing/wget"), ToolFamily::gnu_wget},
      {Tool::curl, tree.path("alpine/wget"), ToolFamily::curl},  // curl's path is never read
  };
  for (const Row& row : rows)
    EXPECT_EQ(findToolFamily(row.tool, row.path), row.family) << row.path;
}

TEST(HandOverArgumentZero, CallersWhenItNamesTheTool) {
  struct Row {
    Tool tool;
    std::string caller;
    std::string real_tool;
    std::string expected;
  };
  const Row rows[] = {
      {Tool::wget, "wget", "/usr/bin/wget", "wget"},
      {Tool::wget, "/opt/shim/wget", "/usr/bin/wget2", "/opt/shim/wget"},
      {Tool::curl, "curl", "/usr/bin/curl", "curl"},
      {Tool::wget, "my-wget", "/usr/bin/wget", "/usr/bin/wget"},
      {Tool::wget, "wget2", "/usr/bin/wget2", "/usr/bin/wget2"},
      {Tool::wget, "", "/usr/bin/wget", "/usr/bin/wget"},
      // busybox picks its applet by argument 0.
      {Tool::wget, "my-wget", "/bin/busybox", "wget"},
      {Tool::wget, "my-wget", "/sbin/wget", "/sbin/wget"},
  };
  for (const Row& row : rows)
    EXPECT_EQ(std::string(handOverArgumentZero(row.tool, row.caller, row.real_tool)), row.expected)
        << row.caller << " " << row.real_tool;
}

}  // namespace
}  // namespace larderbox
