// The tool from the program name: wget exactly when the last path component holds "wget", else
// curl. The input is the program name's bytes.
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "shim/tool_name.h"

namespace larderbox::fuzz {
namespace {

// Root slashes never belong to the component, trailing slashes are ignored.
std::string_view referenceLastComponent(std::string_view name) {
  std::size_t root = name.find_first_not_of('/');
  if (root == std::string_view::npos) return {};
  std::size_t last = name.find_last_not_of('/');
  std::size_t slash = name.rfind('/', last);
  std::size_t start = slash == std::string_view::npos || slash < root ? root : slash + 1;
  return name.substr(start, last + 1 - start);
}

}  // namespace

void fuzzInput(std::string_view name) {
  std::string_view component = lastPathComponent(name);
  require(component == referenceLastComponent(name), "the last component follows its rules");
  require(component.find('/') == std::string_view::npos, "the last component holds no \"/\"");
  require(isViewInto(component, name), "the last component is a view into the name");

  Tool tool = chooseTool(name);
  bool holds_wget = component.find("wget") != std::string_view::npos;
  require(tool == (holds_wget ? Tool::wget : Tool::curl),
          "wget exactly when the component holds it");
  require(toolName(tool) == (holds_wget ? "wget" : "curl"), "the tool's name is the tool's");

  require(realToolVariable(tool) == (holds_wget ? "REAL_WGET" : "REAL_CURL"),
          "the real-tool variable is named after the tool");
  require(
      toolServerVariable(tool) == (holds_wget ? "WGETLARDERBOX_SERVER" : "CURLLARDERBOX_SERVER"),
      "the tool's server variable is named after the tool");
}

}  // namespace larderbox::fuzz
