#include "shim/selection.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "runtime/allocator.h"
#include "shim/redirect_gate.h"
#include "shim/test_tree.h"
#include "shim/tool_name.h"
#include "support/string_array.h"

namespace larderbox {
namespace {

using test::Arguments;
using test::Environment;

TEST(UrlInItem, Scan) {
  struct Row {
    Arguments arguments;
    std::optional<std::string> url;  // none: no URL argument
    std::size_t index;
    bool equals_form;
    Tool tool = Tool::curl;
  };
  const Row rows[] = {
      {{"-fsSL", "http://h/x.tgz", "-o", "x.tgz"}, "http://h/x.tgz", 1, false},
      {{"--url", "h/x.tgz"}, "h/x.tgz", 1, false},
      {{"--url=h/x.tgz"}, "h/x.tgz", 0, true},
      {{"-o", "http://h/out", "http://h/in"}, "http://h/out", 1, false},
      {{"-H", "Referer: http://h/", "ftp://h/f"}, "ftp://h/f", 2, false},
      {{"http://h/a", "--", "http://h/b"}, "http://h/a", 0, false},
      {{"-v", "--", "-x", "http://h/a"}, "http://h/a", 3, false},
      {{"--", "--url=http://h/a"}, std::nullopt, 0, false},
      {{"--url"}, std::nullopt, 0, false},
      {{"--url", "--"}, "--", 1, false},
      {{"x", "--url="}, "", 1, true},
      {{"--URL", "http://h/a"}, "http://h/a", 1, false},
      {{}, std::nullopt, 0, false},
      // After "--" a "--url" pair has no meaning; elements before "--" are not looked at again.
      {{"--", "--url", "h/x"}, std::nullopt, 0, false},
      {{"-v", "--", "--url", "http://h/a"}, "http://h/a", 3, false},
      // The value after "--url" is taken whatever it holds, even a "--url=" element.
      {{"--url", "--url=http://h/a"}, "--url=http://h/a", 1, false},
      {{"--url", ""}, "", 1, false},
      {{"--url=http://h/a", "http://h/b"}, "http://h/a", 0, true},
      {{"-o", "x", "--url", "http://h/a", "http://h/b"}, "http://h/a", 3, false},
      {{"--URL=http://h/a"}, std::nullopt, 0, false},
      {{"--url=", "http://h/b"}, "", 0, true},
      {{"---", "http://h/b"}, "http://h/b", 1, false},
      // A value that is never the download URL is passed over, in every spelling the tool reads.
      {{"-x", "http://p:3128", "http://h/a"}, "http://h/a", 2, false},
      {{"-sx", "http://p:3128", "http://h/a"}, "http://h/a", 2, false},
      {{"-ox", "http://h/a"}, "http://h/a", 1, false},
      {{"-e", "http://r/", "--url", "http://h/a"}, "http://h/a", 3, false},
      {{"--refer", "http://r/", "http://h/a"}, "http://h/a", 2, false},
      {{"--preproxy", "socks5://p", "--socks5-hostname", "p:1080", "http://h/a"},
       "http://h/a",
       4,
       false},
      {{"--doh-url", "https://d/q", "--proxy1.0", "http://p", "http://h/a"},
       "http://h/a",
       4,
       false},
      {{"-x", "--", "http://h/a"}, "http://h/a", 2, false},
      {{"-x", "http://p:3128"}, std::nullopt, 0, false},
      {{"-v", "--", "-x", "http://h/a", "http://h/b"}, "http://h/a", 3, false},
      {{"-B", "http://b/", "--referer", "http://r/", "http://h/a"},
       "http://h/a",
       4,
       false,
       Tool::wget},
      {{"-e", "http://h/e", "http://h/a"}, "http://h/a", 2, false, Tool::wget},
      // wget's -x is a switch: the next element is the URL.
      {{"-x", "http://h/a", "http://h/b"}, "http://h/a", 1, false, Tool::wget},
      {{"--url", "h/x"}, "h/x", 1, false, Tool::wget},
      // An option's value is tested as an element; "--" as a value ends no options.
      {{"-o", "--url", "http://h/a"}, "http://h/a", 2, false},
      {{"-o", "--url=http://h/a"}, "http://h/a", 1, true},
      {{"-o", "--", "--url", "h/x"}, "h/x", 3, false},
  };
  for (const Row& row : rows) {
    std::string shown = std::string(toolName(row.tool)) + " " + row.arguments.shown();
    ToolFamily family = row.tool == Tool::wget ? ToolFamily::gnu_wget : ToolFamily::curl;
    std::optional<UrlArgument> found = readCommandLine(family, row.arguments.span()).url;
    if (!row.url) {
      EXPECT_FALSE(found) << shown;
      continue;
    }
    ASSERT_TRUE(found) << shown;
    EXPECT_EQ(found->url, *row.url) << shown;
    EXPECT_EQ(found->index, row.index) << shown;
    EXPECT_EQ(found->equals_form, row.equals_form) << shown;
    // The url is a view into the element at `index`, never a copy.
    if (found->url.empty()) continue;
    const char* element = row.arguments.span()[found->index];
    EXPECT_GE(found->url.data(), element) << shown;
    EXPECT_LE(found->url.data() + found->url.size(), element + std::strlen(element)) << shown;
  }
}

TEST(LooksLikeUrl, SchemeThenColonSlashSlash) {
  struct Row {
    std::string argument;
    bool expected;
  };
  const Row rows[] = {
      {"HTTP://h/a", true},
      {"git+ssh://h/r", true},
      {"a.b-c+d://x", true},
      {"file:///tmp/x", true},
      {"s3://", true},
      {"1http://h", false},
      {"://h", false},
      {"http:/h", false},
      {"a b://h", false},
      {"--url=http://h", false},
      {"\xC3\xA9://h", false},
      {"h\xC3\xA9://h", false},
      {"", false},
      {"a", false},
      {"a:/", false},
      {"a://", true},
      {"z9://h", true},
      {"h_t://h", false},
      {"h/x://h", false},
      {"ab_://h", false},  // the byte right before "://" is tested too
      {"ab\xC3://h", false},
      {"a ://h", false},
      {"h:x://h", false},
      {"http://h://x", true},  // only the first "://" counts
      {"+a://h", false},
      {std::string("a\0b://h", 7), false},
  };
  for (const Row& row : rows)
    EXPECT_EQ(looksLikeUrl(row.argument), row.expected) << row.argument;
}

TEST(LooksLikeUrl, NotNullTerminated) {
  // "://" only completes past the view's end.
  const char buffer[] = "http://h";
  EXPECT_FALSE(looksLikeUrl(Bytes(buffer, 5)));  // "http:"
  EXPECT_FALSE(looksLikeUrl(Bytes(buffer, 6)));  // "http:/"
  EXPECT_TRUE(looksLikeUrl(Bytes(buffer, 7)));   // "http://"
  EXPECT_FALSE(looksLikeUrl(Bytes(buffer, 0)));
}

class SelectCacheServerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    failNthAllocation(0);
    allocator_.releaseAll();
  }

  std::optional<std::string> select(Environment& environment, Tool tool) {
    std::optional<Bytes> server =
        selectCacheServer({environment.entries(), environment.count()}, tool);
    if (!server) return std::nullopt;
    return std::string(*server);
  }

  ProcessAllocator allocator_;
};

TEST_F(SelectCacheServerTest, ChoiceOfVariable) {
  struct Row {
    const char* what;
    Environment environment;
    Tool tool;
    std::optional<std::string> expected;
  };
  Row rows[] = {
      {"only the common one", {"LARDERBOX_SERVER=http://c:1"}, Tool::curl, "http://c:1"},
      {"tool-specific first",
       {"LARDERBOX_SERVER=http://c:1", "CURLLARDERBOX_SERVER=http://c:2"},
       Tool::curl,
       "http://c:2"},
      {"tool-specific first for wget",
       {"WGETLARDERBOX_SERVER=http://c:3", "LARDERBOX_SERVER=http://c:1"},
       Tool::wget,
       "http://c:3"},
      {"empty tool-specific hides the common one",
       {"CURLLARDERBOX_SERVER=", "LARDERBOX_SERVER=http://c:1"},
       Tool::curl,
       ""},
      {"empty common one is present", {"LARDERBOX_SERVER="}, Tool::curl, ""},
      {"wget's variable never read for curl",
       {"WGETLARDERBOX_SERVER=http://c:3", "LARDERBOX_SERVER=http://c:1"},
       Tool::curl,
       "http://c:1"},
      {"curl's variable never read for wget",
       {"CURLLARDERBOX_SERVER=http://c:2"},
       Tool::wget,
       std::nullopt},
      {"case-sensitive",
       {"larderbox_server=http://c:1", "Larderbox_Server=http://c:1"},
       Tool::curl,
       std::nullopt},
      {"lower-case tool prefix", {"curlLARDERBOX_SERVER=http://c:2"}, Tool::curl, std::nullopt},
      {"separator is not a thing", {"CURL_LARDERBOX_SERVER=http://c:2"}, Tool::curl, std::nullopt},
      {"first entry wins",
       {"LARDERBOX_SERVER=http://c:1", "LARDERBOX_SERVER=http://c:9"},
       Tool::curl,
       "http://c:1"},
      {"value taken as it stands",
       {"LARDERBOX_SERVER= http://c:1/ =x"},
       Tool::curl,
       " http://c:1/ =x"},
      {"neither", {"PATH=/usr/bin"}, Tool::curl, std::nullopt},
      {"empty environment", {}, Tool::curl, std::nullopt},
  };
  for (Row& row : rows)
    EXPECT_EQ(select(row.environment, row.tool), row.expected) << row.what;
}

TEST_F(SelectCacheServerTest, NeedsNoMemory) {
  // The variable names are constants and the values are used in place: exhausted memory changes
  // nothing about the choice.
  Environment both{"CURLLARDERBOX_SERVER=http://c:2", "LARDERBOX_SERVER=http://c:1"};
  Environment common{"LARDERBOX_SERVER=http://c:1"};
  failNthAllocation(1);
  EXPECT_EQ(select(both, Tool::curl), "http://c:2");
  EXPECT_EQ(select(common, Tool::wget), "http://c:1");
  EXPECT_EQ(select(common, Tool::curl), "http://c:1");
}

}  // namespace
}  // namespace larderbox
