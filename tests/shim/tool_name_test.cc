#include "shim/tool_name.h"

#include <gtest/gtest.h>

#include <string>

#include "runtime/allocator.h"

namespace larderbox {
namespace {

TEST(ChooseToolName, FromLastPathComponent) {
  struct Row {
    const char* program_name;
    Bytes tool;
  };
  const Row rows[] = {
      {"wget", kWget},
      {"/usr/local/bin/wget", kWget},
      {"wget2", kWget},
      {"my-wget-shim", kWget},
      {"./wget", kWget},
      {"/opt/wget/", kWget},
      {"WGET", kCurl},
      {"/opt/wget/curl", kCurl},
      {"curl", kCurl},
      {"fetch", kCurl},
      {"", kCurl},
      {"/", kCurl},
      // Root and trailing slashes never join a component.
      {"//wget//", kWget},
      {"///", kCurl},
      {"wg/et", kCurl},
  };
  for (const Row& row : rows)
    EXPECT_EQ(chooseToolName(row.program_name), row.tool)
        << "program name '" << row.program_name << "'";
}

TEST(ChooseToolName, NotNullTerminated) {
  // "wget" only appears if bytes past the view's end are read.
  const char buffer[] = "/usr/bin/wgetwget";
  EXPECT_EQ(chooseToolName(Bytes(buffer, 12)), kCurl);  // "/usr/bin/wge"
  EXPECT_EQ(chooseToolName(Bytes(buffer, 13)), kWget);
  // A trailing slash beyond the view must not hide the component either.
  const char slashed[] = "/opt/wget/x";
  EXPECT_EQ(chooseToolName(Bytes(slashed, 10)), kWget);
  EXPECT_EQ(lastPathComponent(Bytes(slashed, 10)), "wget");
}

TEST(UpperCaseToolName, CopiesOrFallsBackToLowerCase) {
  ProcessAllocator allocator;
  EXPECT_EQ(upperCaseToolName(allocator, kCurl), "CURL");
  EXPECT_EQ(upperCaseToolName(allocator, kWget), "WGET");
  // Only a-z change; the view's length bounds what is read.
  const char buffer[] = "a-Z9zq";
  EXPECT_EQ(upperCaseToolName(allocator, Bytes(buffer, 5)), "A-Z9Z");

  failNthAllocation(1);
  Bytes fallback = upperCaseToolName(allocator, kCurl);
  EXPECT_EQ(fallback, "curl");
  failNthAllocation(0);
  allocator.releaseAll();
}

}  // namespace
}  // namespace larderbox
