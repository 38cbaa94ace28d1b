#include "shim/tool_name.h"

#include <gtest/gtest.h>

namespace larderbox {
namespace {

TEST(ChooseTool, FromLastPathComponent) {
  struct Row {
    const char* program_name;
    Tool tool;
  };
  const Row rows[] = {
      {"wget", Tool::wget},
      {"/usr/local/bin/wget", Tool::wget},
      {"wget2", Tool::wget},
      {"my-wget-shim", Tool::wget},
      {"./wget", Tool::wget},
      {"/opt/wget/", Tool::wget},
      {"WGET", Tool::curl},
      {"/opt/wget/curl", Tool::curl},
      {"curl", Tool::curl},
      {"fetch", Tool::curl},
      {"", Tool::curl},
      {"/", Tool::curl},
      // Root and trailing slashes never join a component.
      {"//wget//", Tool::wget},
      {"///", Tool::curl},
      {"wg/et", Tool::curl},
  };
  for (const Row& row : rows)
    EXPECT_EQ(chooseTool(row.program_name), row.tool)
        << "program name '" << row.program_name << "'";
}

TEST(ChooseTool, NotNullTerminated) {
  // "wget" only appears if bytes past the view's end are read.
  const char buffer[] = "/usr/bin/wgetwget";
  EXPECT_EQ(chooseTool(Bytes(buffer, 12)), Tool::curl);  // "/usr/bin/wge"
  EXPECT_EQ(chooseTool(Bytes(buffer, 13)), Tool::wget);
  // A trailing slash beyond the view must not hide the component either.
  const char slashed[] = "/opt/wget/x";
  EXPECT_EQ(chooseTool(Bytes(slashed, 10)), Tool::wget);
  EXPECT_EQ(lastPathComponent(Bytes(slashed, 10)), "wget");
}

TEST(ToolNames, NameAndVariablesNamedAfterIt) {
  struct Row {
    Tool tool;
    Bytes name;
    Bytes real_tool;
    Bytes server;
  };
  const Row rows[] = {{Tool::curl, "curl", "REAL_CURL", "CURLLARDERBOX_SERVER"},
                      {Tool::wget, "wget", "REAL_WGET", "WGETLARDERBOX_SERVER"}};
  for (const Row& row : rows) {
    EXPECT_EQ(toolName(row.tool), row.name);
    EXPECT_EQ(realToolVariable(row.tool), row.real_tool);
    EXPECT_EQ(toolServerVariable(row.tool), row.server);
    // The system reads them as C strings.
    EXPECT_EQ(toolName(row.tool).data()[row.name.size()], '\0');
    EXPECT_EQ(realToolVariable(row.tool).data()[row.real_tool.size()], '\0');
    EXPECT_EQ(toolServerVariable(row.tool).data()[row.server.size()], '\0');
  }
}

}  // namespace
}  // namespace larderbox
