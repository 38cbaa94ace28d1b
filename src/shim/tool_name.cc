#include "shim/tool_name.h"

namespace larderbox {

Bytes toolName(Tool tool) {
  return tool == Tool::wget ? "wget" : "curl";
}

Bytes lastPathComponent(Bytes name) {
  std::size_t root = 0;
  while (root < name.size() && name[root] == '/')
    ++root;
  std::size_t end = name.size();
  while (end > root && name[end - 1] == '/')
    --end;
  std::size_t start = end;
  while (start > root && name[start - 1] != '/')
    --start;
  return Bytes(name.data() + start, end - start);
}

Tool chooseTool(Bytes program_name) {
  return containsBytes(lastPathComponent(program_name), "wget") ? Tool::wget : Tool::curl;
}

Bytes realToolVariable(Tool tool) {
  return tool == Tool::wget ? "REAL_WGET" : "REAL_CURL";
}

Bytes toolServerVariable(Tool tool) {
  return tool == Tool::wget ? "WGETLARDERBOX_SERVER" : "CURLLARDERBOX_SERVER";
}

}  // namespace larderbox
