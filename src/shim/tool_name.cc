#include "shim/tool_name.h"

namespace larderbox {

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

Bytes chooseToolName(Bytes program_name) {
  return containsBytes(lastPathComponent(program_name), "wget") ? kWget : kCurl;
}

Bytes realToolVariable(Bytes tool_name) {
  return tool_name == kWget ? "REAL_WGET" : "REAL_CURL";
}

Bytes toolServerVariable(Bytes tool_name) {
  return tool_name == kWget ? "WGETLARDERBOX_SERVER" : "CURLLARDERBOX_SERVER";
}

}  // namespace larderbox
