#include "shim/cache_address.h"

#include <gtest/gtest.h>

#include <string>

#include "runtime/allocator.h"
#include "support/assertions.h"

namespace larderbox {
namespace {

class CacheAddressTest : public ::testing::Test {
 protected:
  void TearDown() override {
    failNthAllocation(0);
    allocator_.releaseAll();
  }

  static std::string encode(Bytes input) {
    std::string out(base64UrlLength(input.size()), '\0');
    encodeBase64UrlInto(input, out.data());
    return out;
  }

  std::string address(Bytes server, Bytes url) {
    Result<Bytes> built = buildCacheAddress(allocator_, server, url);
    if (!built) return std::string("error ") + std::string(errorName(built.error()));
    // The address is followed by a NUL that its length does not count.
    EXPECT_EQ(built->data()[built->size()], '\0');
    return std::string(*built);
  }

  ProcessAllocator allocator_;
};

// The reverse of the encoding, to check round trips without trusting the encoder.
std::string decodeBase64Url(const std::string& text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  unsigned bits = 0, count = 0;
  for (char c : text) {
    std::size_t value = alphabet.find(c);
    if (value == std::string::npos) return "<bad character>";
    bits = bits << 6 | static_cast<unsigned>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>(bits >> count & 0xFF));
    }
  }
  if ((bits & ((1u << count) - 1)) != 0) return "<non-zero padding bits>";
  return out;
}

TEST_F(CacheAddressTest, Encodings) {
  struct Row {
    std::string input;
    std::string encoded;
  };
  const Row rows[] = {
      {"", ""},
      {"a", "YQ"},
      {"ab", "YWI"},
      {"abc", "YWJj"},
      {"abcd", "YWJjZA"},
      {"http://a/b", "aHR0cDovL2EvYg"},
      {"http://h/~~~", "aHR0cDovL2gvfn5-"},
      {"x?>~", "eD8-fg"},
      // Bytes from 0x80 upwards are bytes like any other: no sign extension.
      {"\xff\xff\xff", "____"},
      {"\xfb\xff", "-_8"},
      {"\x80", "gA"},
      {std::string("\0\0\0", 3), "AAAA"},
  };
  for (const Row& row : rows)
    EXPECT_EQ(encode(row.input), row.encoded) << row.input;
}

TEST_F(CacheAddressTest, EncodedLength) {
  std::string input;
  for (std::size_t n = 0; n <= 50; ++n) {
    constexpr std::size_t kTail[] = {0, 2, 3};
    std::size_t expected = 4 * (n / 3) + kTail[n % 3];
    EXPECT_EQ(base64UrlLength(n), expected) << n;
    std::string encoded = encode(input);
    EXPECT_EQ(encoded.size(), expected) << n;
    EXPECT_EQ(encoded.find('='), std::string::npos) << n;
    EXPECT_EQ(decodeBase64Url(encoded), input) << n;
    input.push_back(static_cast<char>(n * 37 + 200));
  }
}

TEST_F(CacheAddressTest, EncodingNotNullTerminated) {
  // One more input byte would change the last character and add another.
  const char buffer[] = "abcd";
  EXPECT_EQ(encode(Bytes(buffer, 3)), "YWJj");
  EXPECT_EQ(encode(Bytes(buffer, 1)), "YQ");
  // encodeBase64UrlInto writes exactly the encoded length, nothing behind it.
  std::string out(8, '#');
  encodeBase64UrlInto(Bytes(buffer, 2), out.data());
  EXPECT_EQ(out, "YWI#####");
}

TEST(CacheFileName, LastSegmentBeforeQueryOrFragment) {
  struct Row {
    std::string url;
    std::string name;
  };
  const Row rows[] = {
      {"http://h/a/b.tar.gz", "b.tar.gz"},
      {"https://h/a/b.tar.gz?x=1#f", "b.tar.gz"},
      {"http://h/p#a/b?c", "p"},
      {"http://h/d?q#f", "d"},
      {"http://h/d/", "d"},
      {"ftp://h/dir//", "dir"},
      {"http://h", "h"},
      {"http://h:8080/", "h:8080"},
      {"http://h/?q=/x", "h"},
      {"http://h/a%20b.txt", "a%20b.txt"},
      {"a://", "a:"},
      {"", "download"},
      {"?x", "download"},
      {"/", "download"},
      {"///", "download"},
      {"#", "download"},
      {"//?x/y", "download"},
      {"x", "x"},
      {"http://u:p@h:1", "u:p@h:1"},
      {"http://h/a b\xC3\xA9", "a b\xC3\xA9"},
  };
  for (const Row& row : rows)
    EXPECT_EQ(cacheFileName(row.url), row.name) << row.url;
}

TEST(CacheFileName, NotNullTerminated) {
  const char buffer[] = "http://h/d/e?q";
  EXPECT_EQ(cacheFileName(Bytes(buffer, 11)), "d");  // "http://h/d/"
  EXPECT_EQ(cacheFileName(Bytes(buffer, 12)), "e");
  // The "?" behind the view's end must not shorten anything.
  const char query[] = "http://h/ab?";
  EXPECT_EQ(cacheFileName(Bytes(query, 10)), "a");
  EXPECT_EQ(cacheFileName(Bytes(buffer, 0)), "download");
}

TEST(TrimCacheServer, BlanksThenTrailingSlashes) {
  struct Row {
    std::string server;
    std::string trimmed;
  };
  const Row rows[] = {
      {"http://c:8080", "http://c:8080"},
      {" http://c:8080//\n", "http://c:8080"},
      {"\t\r\nhttp://c/cache/ \t\r\n", "http://c/cache"},
      {"http://c/ /", "http://c/ "},
      {" / ", ""},
      {"", ""},
      {"////", ""},
      {"http://c / x", "http://c / x"},
      {"\vhttp://c\f", "\vhttp://c\f"},  // only space, tab, CR and LF are blanks
  };
  for (const Row& row : rows)
    EXPECT_EQ(trimCacheServer(row.server), row.trimmed) << row.server;
  // A view: the blank and slash behind its end belong to someone else.
  const char buffer[] = "http://c/x/ ";
  EXPECT_EQ(trimCacheServer(Bytes(buffer, 10)), "http://c/x");
}

TEST_F(CacheAddressTest, WholeAddresses) {
  struct Row {
    std::string server;
    std::string url;
    std::string address;
  };
  const Row rows[] = {
      {"http://c:8080", "http://h/a/b.tar.gz",
       "http://c:8080/b/aHR0cDovL2gvYS9iLnRhci5neg/b.tar.gz"},
      {" http://c:8080//\n", "http://h/a/b.tar.gz",
       "http://c:8080/b/aHR0cDovL2gvYS9iLnRhci5neg/b.tar.gz"},
      {"http://c:8080/cache/", "https://h/a/b.tar.gz?x=1#f",
       "http://c:8080/cache/b/aHR0cHM6Ly9oL2EvYi50YXIuZ3o_eD0xI2Y/b.tar.gz"},
      {"http://c", "http://h", "http://c/b/aHR0cDovL2g/h"},
      {"http://c", "http://h/", "http://c/b/aHR0cDovL2gv/h"},
      {"http://c", "", "http://c/b//download"},
      {"http://c", "h/x.tgz", "http://c/b/aC94LnRneg/x.tgz"},
      {"", "http://h/a", "/b/aHR0cDovL2gvYQ/a"},
      {" / ", "http://h/a", "/b/aHR0cDovL2gvYQ/a"},
      {"http://c/ /", "http://h/a", "http://c/ /b/aHR0cDovL2gvYQ/a"},
      // Nothing is escaped: blanks, "%" and high bytes go through as they are.
      {"http://c/%20\xC3\xA9", "http://h/a b%", "http://c/%20\xC3\xA9/b/aHR0cDovL2gvYSBiJQ/a b%"},
  };
  for (const Row& row : rows)
    EXPECT_EQ(address(row.server, row.url), row.address) << row.server << " + " << row.url;
}

TEST_F(CacheAddressTest, WholeAddressNotNullTerminated) {
  const char server[] = "http://c:8080/x";
  const char url[] = "http://h/a/b.tar.gz?x";
  EXPECT_EQ(address(Bytes(server, 13), Bytes(url, 19)),
            "http://c:8080/b/aHR0cDovL2gvYS9iLnRhci5neg/b.tar.gz");
}

TEST_F(CacheAddressTest, OutOfMemory) {
  failNthAllocation(1);
  EXPECT_EQ(address("http://c", "http://h/a"), "error OutOfMemory");
}

}  // namespace
}  // namespace larderbox
