// The commands of wget's startup files, also given one by one with "-e": what each means to the
// shim, in the roles of the option table.
#pragma once

#include <optional>

#include "runtime/bytes.h"
#include "shim/tool_options.h"

namespace larderbox {

// A wgetrc command split at its first "=": the name and the value, blanks around both removed.
struct WgetrcCommand {
  Bytes name;
  Bytes value;
};

// None for a line without "=", which wget refuses.
std::optional<WgetrcCommand> splitWgetrcCommand(Bytes line);

// The role of a command by its name, which ignores case, "_" and "-" ("use_proxy", "useProxy").
// None for a command the shim does not know: it may do anything.
std::optional<OptionRole> wgetrcCommandRole(Bytes name);

}  // namespace larderbox
