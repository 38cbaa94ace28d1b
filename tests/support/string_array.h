// Owned strings and the NULL-terminated array of pointers to them that the code under test reads:
// an argument array, or an environment block as start-up receives one.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

namespace larderbox::test {

class StringArray {
 public:
  StringArray(std::initializer_list<std::string> strings) : strings_(strings) { point(); }
  template <class Iterator>
  StringArray(Iterator first, Iterator last) : strings_(first, last) {
    point();
  }
  // A copy points at its own strings, never at those of the original.
  StringArray(const StringArray& other) : strings_(other.strings_) { point(); }
  StringArray& operator=(const StringArray&) = delete;

  // The array without its terminating null, as an argument array.
  std::span<char* const> span() const { return {pointers_.data(), strings_.size()}; }
  // The NULL-terminated array, as an environment block; the code under test only reads it.
  char** entries() const { return const_cast<char**>(pointers_.data()); }
  std::size_t count() const { return strings_.size(); }

  // The strings quoted, for failure messages.
  std::string shown() const {
    std::string shown;
    for (const std::string& string : strings_)
      shown += "'" + string + "' ";
    return shown;
  }

 private:
  void point() {
    for (std::string& string : strings_)
      pointers_.push_back(string.data());
    pointers_.push_back(nullptr);
  }

  std::vector<std::string> strings_;
  std::vector<char*> pointers_;
};

using Arguments = StringArray;
using Environment = StringArray;

}  // namespace larderbox::test
