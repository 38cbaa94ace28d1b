// The options of curl and wget that the shim has to understand: those whose value must not be
// taken for an option or a URL, and those that decide whether the cache may serve a command line.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "runtime/bytes.h"
#include "shim/tool_name.h"

namespace larderbox {

enum class OptionValue : std::uint8_t {
  none,      // a switch (wget's switches may still be written "--name=value")
  required,  // attached, or else the next element whatever it holds
  not_url,   // required, and never the download URL (a proxy, a referer, a base)
};

// What an option means to the shim. The classes after `remote_name` hand every command line that
// holds the option to the real tool unchanged.
enum class OptionRole : std::uint8_t {
  plain,            // listed for its value, or so that its exact name wins over an abbreviation
  url,              // curl's "--url": its value is the download URL
  header,           // an HTTP header: some carry credentials
  write_out,        // curl's report after the transfer: some name where the bytes came from
  execute,          // a wgetrc command: harmless ones are allowed
  globoff,          // curl takes the URL as it stands, without globbing
  next,             // curl starts another transfer with its own options
  output_document,  // wget writes to the named file, not to one named after the URL
  remote_name,      // curl names the file after the URL
  request,          // curl's request method: a plain GET only when it is "GET"
  sends_data,
  not_plain_get,
  credentials,
  transport,
  reports_source,
  keeps_state,
  file_name,
  config,
  proxy,        // the download's route to the cache host would not be the probe's
  no_transfer,  // the tool prints something of its own and fetches nothing
};

constexpr bool alwaysGates(OptionRole role) {
  return role >= OptionRole::sends_data;
}

struct OptionSpec {
  Bytes name;   // the long option with its "--"; empty for a letter without a name
  char letter;  // the short option, 0 when there is none
  OptionValue value;
  OptionRole role;

  [[nodiscard]] Bytes longName() const { return bytesFrom(name, 2); }
  [[nodiscard]] bool takesValue() const { return value != OptionValue::none; }
};

struct OptionTable {
  std::span<const OptionSpec> options;  // sorted by name, byte by byte
  std::array<std::uint8_t, 128>
      by_letter;   // 1 + position of the option a letter stands for; 0: none
  bool fold_case;  // curl's long names ignore ASCII case, wget's do not

  [[nodiscard]] const OptionSpec* forLetter(char letter) const {
    auto code = static_cast<unsigned char>(letter);
    if (code >= by_letter.size() || by_letter[code] == 0) return nullptr;
    return &options[by_letter[code] - 1];
  }
};

// The table of curl (7.88) or wget (1.21).
const OptionTable& optionTableFor(Tool tool);

struct OptionMatch {
  const OptionSpec* option = nullptr;  // none: no option, or an abbreviation of several
  bool negated = false;                // named as "no-" followed by the option's name
};

// The option a long name (without "--" and any "=value") stands for, as the tools read it: the
// exact name first, then "no-" and an exact name, then an abbreviation. An abbreviation that could
// stand for an option that always gates counts as that option; otherwise it must name exactly one.
OptionMatch findLongOption(const OptionTable& table, Bytes name);

}  // namespace larderbox
