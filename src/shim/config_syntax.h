// The syntax of the files curl and wget read before their command line: curl's configuration file,
// wget's startup files and the netrc file. Pure functions over bytes, so that they can be tested
// line by line.
#pragma once

#include <optional>

#include "runtime/allocator.h"
#include "runtime/bytes.h"

namespace larderbox {

// Takes the next line off the front of `rest` (without its LF); none at the end.
std::optional<Bytes> takeLine(Bytes& rest);

// Blank, or a comment ("#" after blanks): nothing for either tool.
bool isEmptySetting(Bytes line);

// A curl configuration line: the option as written (a bare long name, or an element beginning
// with "-" as on the command line) and its value, when the line has one. The name ends at a blank,
// "=" or ":"; a quoted value ends at its closing quote and knows the escapes \t \n \r \v (any
// other escaped byte stands for itself); an unquoted one ends at a blank. Views into the line,
// but for a quoted value with escapes, which is unescaped into arena memory; none when memory for
// that runs out.
struct CurlSetting {
  Bytes option;
  std::optional<Bytes> value;
};
std::optional<CurlSetting> parseCurlSetting(ProcessAllocator& allocator, Bytes line);

// Whether a netrc file would give credentials for `host`: a "machine" entry naming it (in any
// ASCII case) or a "default" entry. Tokens are separated by blanks and line ends; a "macdef"
// body, which runs to the next empty line, holds no entries.
bool netrcCoversHost(Bytes netrc, Bytes host);

}  // namespace larderbox
