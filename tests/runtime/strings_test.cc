#include "runtime/strings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/allocator.h"
#include "runtime/environment.h"

namespace larderbox {
namespace {

class StringsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    failNthAllocation(0);
    allocator_.releaseAll();
  }
  ProcessAllocator allocator_;
};

TEST_F(StringsTest, JoinWithNul) {
  // The joined bytes, checked for the NUL behind them that their length does not count.
  auto join = [this](std::initializer_list<Bytes> pieces) -> std::string {
    std::optional<Bytes> joined = joinWithNul(allocator_, pieces);
    if (!joined) return "<none>";
    if (joined->data()[joined->size()] != '\0') return "<no NUL>";
    return std::string(*joined);
  };
  EXPECT_EQ(join({}), "");
  EXPECT_EQ(join({""}), "");
  EXPECT_EQ(join({"REAL_", "CURL"}), "REAL_CURL");
  EXPECT_EQ(join({"/usr/bin", "/", "curl"}), "/usr/bin/curl");
  EXPECT_EQ(join({"", "a", "", "b", ""}), "ab");
  EXPECT_EQ(join({Bytes("a\0b", 3), "c"}), std::string("a\0bc", 4));
}

TEST_F(StringsTest, JoinWithNulNotNullTerminated) {
  const char buffer[] = "/usr/binXX/curlYY";
  std::optional<Bytes> joined =
      joinWithNul(allocator_, {Bytes(buffer, 8), "/", Bytes(buffer + 11, 4)});
  ASSERT_TRUE(joined);
  EXPECT_EQ(*joined, "/usr/bin/curl");
  EXPECT_EQ(joined->data()[joined->size()], '\0');
  EXPECT_STREQ(buffer, "/usr/binXX/curlYY") << "the pieces are only read";

  std::optional<Bytes> copy = copyWithNul(allocator_, Bytes(buffer, 4));
  ASSERT_TRUE(copy);
  EXPECT_STREQ(copy->data(), "/usr");
  EXPECT_NE(copy->data(), buffer);
}

TEST_F(StringsTest, JoinWithNulOutOfMemory) {
  failNthAllocation(1);
  EXPECT_FALSE(joinWithNul(allocator_, {"a", "b"}));
  EXPECT_TRUE(joinWithNul(allocator_, {"a", "b"}));
  // Lengths whose sum overflows are refused before a byte is read.
  static const char byte = 'x';
  Bytes half(&byte, SIZE_MAX / 2 + 1);
  EXPECT_FALSE(joinWithNul(allocator_, {half, half}));
  EXPECT_FALSE(copyWithNul(allocator_, Bytes(&byte, SIZE_MAX)));
}

class LookupEnvTest : public StringsTest {
 protected:
  std::optional<std::string> lookup(std::vector<std::string> entries, Bytes name) {
    std::vector<char*> pointers;
    for (std::string& entry : entries)
      pointers.push_back(entry.data());
    pointers.push_back(nullptr);
    EnvironmentBlock block = environmentBlock(pointers.data());
    EXPECT_EQ(block.count, entries.size());
    std::optional<Bytes> value = lookupEnv(block, name);
    if (!value) return std::nullopt;
    return std::string(*value);
  }
};

TEST_F(LookupEnvTest, ExactFirstMatch) {
  struct Row {
    const char* what;
    std::vector<std::string> entries;
    std::string name;
    std::optional<std::string> expected;
  };
  const Row rows[] = {
      {"found", {"A=1", "PATH=/bin", "B=2"}, "PATH", "/bin"},
      {"first match wins", {"PATH=/first", "PATH=/second"}, "PATH", "/first"},
      {"empty value is present", {"PATH="}, "PATH", ""},
      {"value keeps its '='", {"X==a=b"}, "X", "=a=b"},
      {"prefix of the name", {"PAT=x"}, "PATH", std::nullopt},
      {"name is a prefix of the entry's name", {"PATHS=x", "PATH_X=y"}, "PATH", std::nullopt},
      {"prefix found later", {"PATHS=x", "PATH=y"}, "PATH", "y"},
      {"shorter name", {"PATH=/bin"}, "PAT", std::nullopt},
      {"case-sensitive", {"path=/bin", "Path=/bin"}, "PATH", std::nullopt},
      {"entry without '='", {"PATH", "PATH=/bin"}, "PATH", "/bin"},
      {"only entry without '='", {"PATH"}, "PATH", std::nullopt},
      {"name with '='", {"A=B=c"}, "A=B", std::nullopt},
      {"name is '='", {"==x"}, "=", std::nullopt},
      {"empty name", {"=x", "A=1"}, "", std::nullopt},
      {"empty environment", {}, "PATH", std::nullopt},
      {"value bytes as they are", {"S= \t\xC3\xA9 "}, "S", " \t\xC3\xA9 "},
  };
  for (const Row& row : rows)
    EXPECT_EQ(lookup(row.entries, row.name), row.expected) << row.what;
}

TEST_F(LookupEnvTest, NotNullTerminated) {
  // "PATH" as a view of "PATHS": an entry named PATHS must not match, one named PATH must.
  const char name[] = "PATHS";
  EXPECT_EQ(lookup({"PATHS=wrong", "PATH=right"}, Bytes(name, 4)), "right");
  EXPECT_EQ(lookup({"PATHS=wrong"}, Bytes(name, 4)), std::nullopt);
  // A name with "=" past the view's end is fine.
  const char with_equals[] = "AB=C";
  EXPECT_EQ(lookup({"AB=1"}, Bytes(with_equals, 2)), "1");
}

TEST_F(LookupEnvTest, NeedsNoMemory) {
  failNthAllocation(1);
  EXPECT_EQ(lookup({"PATH=/bin"}, "PATH"), "/bin");
  // Entries shorter than the name, or equal to it without "=", are not read past their end.
  EXPECT_EQ(lookup({"PA", "PATH", "PATH=/usr/bin"}, "PATH"), "/usr/bin");
}

TEST(EnvironmentBlock, CountsEntries) {
  EXPECT_EQ(environmentBlock(nullptr).count, 0u);
  char* empty[] = {nullptr};
  EXPECT_EQ(environmentBlock(empty).count, 0u);
  std::string a = "A=1", b = "B";
  char* two[] = {a.data(), b.data(), nullptr};
  EnvironmentBlock block = environmentBlock(two);
  EXPECT_EQ(block.count, 2u);
  EXPECT_EQ(block.entries, two);
}

}  // namespace
}  // namespace larderbox
