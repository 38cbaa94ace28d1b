#include "shim/selection.h"

#include <cstdint>

#include "runtime/strings.h"
#include "shim/command_line.h"
#include "shim/tool_name.h"

namespace larderbox {
namespace {

bool isSchemeByte(char byte) {
  return isAsciiLetter(byte) || (byte >= '0' && byte <= '9') || byte == '+' || byte == '-' ||
         byte == '.';
}

// The next element that the tool reads as the separate value of an option whose value is never the
// download URL; SIZE_MAX when there is none.
std::size_t nextNotUrlValue(CommandLineReader& reader) {
  while (std::optional<CommandLineItem> item = reader.next())
    if (item->separate_value && item->option->value == OptionValue::not_url) return item->index + 1;
  return SIZE_MAX;
}

}  // namespace

std::optional<Bytes> selectCacheServer(EnvironmentBlock environment, Tool tool) {
  if (std::optional<Bytes> server = lookupEnv(environment, toolServerVariable(tool))) return server;
  return lookupEnv(environment, "LARDERBOX_SERVER");
}

bool looksLikeUrl(Bytes argument) {
  std::size_t separator = argument.find("://");
  if (separator == Bytes::npos || separator == 0) return false;
  if (!isAsciiLetter(argument[0])) return false;
  for (std::size_t i = 0; i < separator; ++i)
    if (!isSchemeByte(argument[i])) return false;
  return true;
}

std::optional<UrlArgument> findUrlArgument(std::span<char* const> arguments, Tool tool) {
  constexpr Bytes kEqualsPrefix = "--url=";
  CommandLineReader reader(optionTableFor(tool), arguments);
  std::size_t not_url = nextNotUrlValue(reader);
  bool after_double_dash = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    Bytes argument(arguments[i]);
    if (i == not_url) {
      not_url = nextNotUrlValue(reader);
      continue;
    }
    if (after_double_dash) {
      if (looksLikeUrl(argument)) return UrlArgument{argument, i, false};
      continue;
    }
    if (argument == "--") {
      after_double_dash = true;
      continue;
    }
    if (argument == "--url" && i + 1 < arguments.size())
      return UrlArgument{Bytes(arguments[i + 1]), i + 1, false};
    if (argument.starts_with(kEqualsPrefix))
      return UrlArgument{bytesFrom(argument, kEqualsPrefix.size()), i, true};
    if (looksLikeUrl(argument)) return UrlArgument{argument, i, false};
  }
  return std::nullopt;
}

}  // namespace larderbox
