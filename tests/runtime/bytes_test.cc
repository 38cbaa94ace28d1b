// The ASCII case helpers: only A to Z fold, whatever lies beside them or above 127.
#include "runtime/bytes.h"

#include <gtest/gtest.h>

namespace larderbox {
namespace {

TEST(AsciiCase, OnlyAsciiLettersFold) {
  struct Row {
    Bytes bytes;
    Bytes lower;
    bool starts;
    bool equals;
  };
  const Row rows[] = {
      {"Authorization", "authorization", true, true},
      {"HEADER{x}", "header{", true, false},
      {"@[`{", "@[`{", true, true},        // the bytes beside A, Z, a and z stay as they are
      {"@", "`", false, false},            // '@' + 32 is '`': no blind OR of 0x20
      {"[", "{", false, false},            // '[' + 32 is '{'
      {"\xC4", "\xE4", false, false},      // Latin-1 letters are bytes, not letters
      {"Host", "hostname", false, false},  // shorter than the prefix
      {"", "", true, true},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(beginsIgnoringCase(row.bytes, row.lower), row.starts) << row.bytes;
    EXPECT_EQ(equalsIgnoringCase(row.bytes, row.lower), row.equals) << row.bytes;
    EXPECT_EQ(sameIgnoringCase(row.lower, row.bytes), row.equals) << row.bytes;
  }
  EXPECT_TRUE(sameIgnoringCase("HoSt", "hOsT"));  // either side in any case
  for (char byte : {'@', '[', '`', '{', '0'})
    EXPECT_FALSE(isAsciiLetter(byte)) << byte;
  EXPECT_TRUE(isAsciiLetter('A') && isAsciiLetter('Z') && isAsciiLetter('a') && isAsciiLetter('z'));
}

}  // namespace
}  // namespace larderbox
