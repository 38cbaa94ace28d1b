// Reading a curl or wget command line as the tool itself reads it: clusters of short options
// ("-sSLo file", "-dx"), long options with a separate or an attached ("--name=value") value, their
// abbreviations and "--no-" forms, and "--", after which nothing is an option.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "runtime/bytes.h"
#include "shim/tool_options.h"

namespace larderbox {

// One option, or one element that is not an option (a URL, or "-").
struct CommandLineItem {
  std::size_t index = 0;  // the element that holds the option or is the positional one
  bool is_option = false;
  const OptionSpec* option = nullptr;  // the table's entry; none for what the table does not know
  bool negated = false;                // written "--no-<name>"
  bool expanded = false;               // written "--expand-<name>": curl expands its value
  Bytes spelling;               // as written, without any value: "--name", or the letter alone
  std::optional<Bytes> value;   // a view into the element, or into the next one when separate
  bool separate_value = false;  // the value is the whole element at index + 1
};

// Walks the argument array once, front to back. Never allocates and never reads past an element.
class CommandLineReader {
 public:
  CommandLineReader(const OptionTable& table, std::span<char* const> arguments)
      : table_(table), arguments_(arguments) {}

  // The next item; none at the end of the array.
  std::optional<CommandLineItem> next();

 private:
  CommandLineItem readLong(Bytes element);
  CommandLineItem readLetter();
  // The element after the option's as its separate value, consumed; none at the end of the array.
  std::optional<Bytes> takeNextElement(CommandLineItem& item);

  const OptionTable& table_;
  std::span<char* const> arguments_;
  std::size_t index_ = 0;
  Bytes cluster_;           // the element of short options being read
  std::size_t letter_ = 0;  // position in cluster_ of the next letter; 0 outside a cluster
  bool options_ended_ = false;
};

}  // namespace larderbox
