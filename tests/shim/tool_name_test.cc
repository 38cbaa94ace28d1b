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

TEST(ToolVariables, NamedAfterTheUpperCaseTool) {
  struct Row {
    Bytes tool;
    Bytes real_tool;
    Bytes server;
  };
  const Row rows[] = {{kCurl, "REAL_CURL", "CURLLARDERBOX_SERVER"},
                      {kWget, "REAL_WGET", "WGETLARDERBOX_SERVER"}};
  for (const Row& row : rows) {
    // A copy of the name, not the constant itself, picks the variables too.
    std::string tool(row.tool);
    EXPECT_EQ(realToolVariable(tool), row.real_tool);
    EXPECT_EQ(toolServerVariable(tool), row.server);
    // The system reads them as C strings.
    EXPECT_EQ(realToolVariable(tool).data()[row.real_tool.size()], '\0');
    EXPECT_EQ(toolServerVariable(tool).data()[row.server.size()], '\0');
  }
}

}  // namespace
}  // namespace larderbox
