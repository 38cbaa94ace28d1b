#include "shim/config_files.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "shim/config_syntax.h"
#include "support/string_array.h"
#include "test_tree.h"

namespace larderbox {
namespace {

using test::Arguments;
using test::Environment;

// A line as the command-line elements it stands for: a bare name gets its "--".
std::vector<std::string> curlElements(ProcessAllocator& allocator, const std::string& line) {
  std::optional<CurlSetting> setting = parseCurlSetting(allocator, line);
  if (!setting) return {"<no memory>"};
  std::string option(setting->option);
  std::vector<std::string> elements = {option.starts_with('-') ? option : "--" + option};
  if (setting->value) elements.emplace_back(*setting->value);
  return elements;
}

TEST(CurlSetting, LinesAsCommandLineElements) {
  ProcessAllocator allocator;
  struct Row {
    std::string line;
    std::vector<std::string> elements;
  } rows[] = {
      {"silent", {"--silent"}},
      {"  header = \"X-A: 1\"", {"--header", "X-A: 1"}},
      {"header:\"X-A: 1\" # comment", {"--header", "X-A: 1"}},
      {"header\t\"X-A: 1", {"--header", "X-A: 1"}},  // unterminated: to the line's end
      {"header = X-E: 5", {"--header", "X-E:"}},     // unquoted: to the first blank
      {"--header \"X-B: 2\"", {"--header", "X-B: 2"}},
      {"-sd x", {"-sd", "x"}},
      {"user-agent = \"a\\tb\\\"c\\\\d\\q\"", {"--user-agent", "a\tb\"c\\dq"}},
      {"data=x\r", {"--data", "x"}},
  };
  for (const Row& row : rows)
    EXPECT_EQ(curlElements(allocator, row.line), row.elements) << row.line;
  EXPECT_TRUE(isEmptySetting("   # a comment"));
  EXPECT_TRUE(isEmptySetting(" \t"));
  EXPECT_FALSE(isEmptySetting(" silent"));
}

TEST(Netrc, CoversTheHostOrEveryHost) {
  EXPECT_TRUE(netrcCoversHost("machine other login a\nmachine H.example password p", "h.example"));
  EXPECT_TRUE(netrcCoversHost("machine other login a\ndefault login anonymous", "h"));
  EXPECT_FALSE(netrcCoversHost("machine other login a password h", "h"));
  EXPECT_FALSE(netrcCoversHost("macdef init\nmachine h\n\nmachine other", "h"));
}

// The files a run's real tool reads, in a fresh home; each row writes one file and expects a
// verdict's reason and the start of its detail (empty: a hit may go ahead).
struct FileRow {
  ToolFamily tool;
  std::string file;  // relative to the tree; "" for none
  std::string content;
  std::vector<std::string> arguments;
  std::string reason;
  std::string detail_start;
};

TEST(ConfigFiles, SettingsPassTheGate) {
  const FileRow rows[] = {
      {ToolFamily::curl, "", "", {"-o", "f"}, "", ""},
      {ToolFamily::curl, "home/.curlrc", "# plain\nretry = 3\nuser-agent \"ua\"\n", {}, "", ""},
      {ToolFamily::curl,
       "home/.curlrc",
       "\n\ndata = \"x\"\n",
       {},
       "config",
       "@/home/.curlrc:3 (sends"},
      {ToolFamily::curl,
       "home/.config/curlrc",
       "user = alice:s3cret\n",
       {},
       "config",
       "@/home/.config"},
      {ToolFamily::curl, "curl_home/.curlrc", "remote-header-name\n", {}, "config", "@/curl_home/"},
      {ToolFamily::curl,
       "xdg/curlrc",
       "header = \"PRIVATE-TOKEN: t\"\n",
       {},
       "config",
       "@/xdg/curlrc:1"},
      {ToolFamily::curl,
       "home/.curlrc",
       "no-such-option\n",
       {},
       "config",
       "@/home/.curlrc:1 (unknown option: no-such-option)"},
      {ToolFamily::curl,
       "home/.curlrc",
       "url = http://h/other\n",
       {},
       "config",
       "@/home/.curlrc:1"},
      {ToolFamily::curl, "home/.curlrc", "data = x\n", {"-q", "-o", "f"}, "", ""},  // -q: not read
      {ToolFamily::curl, "home/.curlrc", "-sOd x\n", {"--disable"}, "", ""},
      {ToolFamily::gnu_wget, "home/.wgetrc", "passive_ftp = on\n", {}, "", ""},
      {ToolFamily::gnu_wget,
       "home/.wgetrc",
       "post_data = x\n",
       {},
       "config",
       "@/home/.wgetrc:1 (sends"},
      {ToolFamily::gnu_wget,
       "home/.wgetrc",
       "Content-Disposition = on\n",
       {},
       "config",
       "@/home/.wgetrc"},
      {ToolFamily::gnu_wget,
       "home/.wgetrc",
       "header = Authorization: t\n",
       {"--no-config"},
       "",
       ""},
      {ToolFamily::gnu_wget, "wgetrc", "robots off\n", {}, "config", "@/wgetrc:1 (config: syntax)"},
      {ToolFamily::gnu_wget,
       "home/.netrc",
       "machine 127.0.0.1 login a password b\n",
       {},
       "credentials",
       "@/home/.netrc"},
      {ToolFamily::gnu_wget, "home/.netrc", "default login a password b\n", {"--no-netrc"}, "", ""},
      {ToolFamily::gnu_wget,
       "home/.netrc",
       "default login a\n",
       {"--no-netrc", "--netrc"},
       "credentials",
       "@/home/.netrc"},  // the last one decides
      {ToolFamily::gnu_wget, "home/.netrc", "machine other login a password b\n", {}, "", ""},
      {ToolFamily::wget2, "home/.wget2rc", "post_data = x\n", {}, "config", "@/home/.wget2rc:1"},
      {ToolFamily::wget2, "home/.wgetrc", "post_data = x\n", {}, "", ""},    // not wget2's
      {ToolFamily::busybox, "home/.wgetrc", "post_data = x\n", {}, "", ""},  // reads none
  };
  for (const FileRow& row : rows) {
    testing::TempTree tree;
    tree.directory("home");
    if (!row.file.empty()) tree.file(row.file, row.content, 0644);
    std::vector<std::string> variables = {"HOME=" + tree.path("home"),
                                          "CURL_HOME=" + tree.path("curl_home"),
                                          "XDG_CONFIG_HOME=" + tree.path("xdg")};
    if (row.file == "wgetrc") variables.push_back("WGETRC=" + tree.path("wgetrc"));
    Environment environment(variables.begin(), variables.end());
    Arguments arguments(row.arguments.begin(), row.arguments.end());
    ProcessAllocator allocator;
    // The switches come from the reading of the command line, as in a run.
    FileSwitches switches = readCommandLine(row.tool, arguments.span()).files;
    std::optional<GateVerdict> verdict =
        gateConfigFiles(allocator, {environment.entries(), environment.count()}, row.tool, switches,
                        "http://127.0.0.1:8080/x.tgz");
    std::string shown = row.file + ": " + row.content;
    if (row.reason.empty()) {
      EXPECT_FALSE(verdict) << shown << verdict->reason << ": " << verdict->detail;
      continue;
    }
    ASSERT_TRUE(verdict) << shown;
    EXPECT_EQ(verdict->reason, row.reason) << shown;
    std::string expected = row.detail_start;
    if (expected.starts_with('@')) expected = tree.root() + expected.substr(1);
    EXPECT_TRUE(std::string(verdict->detail).starts_with(expected))
        << shown << verdict->detail << " does not start with " << expected;
  }
}

TEST(ConfigFiles, AFileThatCannotBeReadGoesDirect) {
  testing::TempTree tree;
  tree.directory("home/.curlrc");  // exists, but is no file curl could read
  Environment environment{"HOME=" + tree.path("home")};
  ProcessAllocator allocator;
  std::optional<GateVerdict> verdict =
      gateConfigFiles(allocator, {environment.entries(), environment.count()}, ToolFamily::curl,
                      FileSwitches{}, "http://h/x");
  ASSERT_TRUE(verdict);
  EXPECT_EQ(std::string(verdict->detail), tree.path("home/.curlrc") + " (unreadable)");
}

}  // namespace
}  // namespace larderbox
