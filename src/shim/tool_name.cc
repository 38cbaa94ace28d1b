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

void copyUpperCase(Bytes bytes, char* out) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    char byte = bytes[i];
    out[i] = byte >= 'a' && byte <= 'z' ? static_cast<char>(byte - 'a' + 'A') : byte;
  }
}

Bytes upperCaseToolName(ProcessAllocator& allocator, Bytes tool_name) {
  char* copy = allocator.allocateArray<char>(tool_name.size());
  if (copy == nullptr) return tool_name;
  copyUpperCase(tool_name, copy);
  return Bytes(copy, tool_name.size());
}

}  // namespace larderbox
