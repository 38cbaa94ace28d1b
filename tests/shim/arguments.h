// An argument array for shim tests: owned, NUL-terminated strings and the array of references to
// them that the shim scans.
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <vector>

namespace larderbox::testing {

class Arguments {
 public:
  Arguments(std::initializer_list<std::string> arguments) : strings_(arguments) {
    for (std::string& argument : strings_)
      pointers_.push_back(argument.data());
  }
  std::span<char* const> span() const { return pointers_; }

  // The elements quoted, for failure messages.
  std::string shown() const {
    std::string shown;
    for (const std::string& argument : strings_)
      shown += "'" + argument + "' ";
    return shown;
  }

 private:
  std::vector<std::string> strings_;
  std::vector<char*> pointers_;
};

}  // namespace larderbox::testing
