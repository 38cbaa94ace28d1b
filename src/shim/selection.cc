#include "shim/selection.h"

#include "runtime/strings.h"
#include "shim/tool_name.h"

namespace larderbox {
namespace {

bool isSchemeByte(char byte) {
  return isAsciiLetter(byte) || (byte >= '0' && byte <= '9') || byte == '+' || byte == '-' ||
         byte == '.';
}

// The tests an element passes as an option's or as its value: "--url" with an element after it,
// "--url=", or a URL.
std::optional<UrlArgument> urlInElement(std::span<char* const> arguments, std::size_t index) {
  constexpr Bytes kEqualsPrefix = "--url=";
  Bytes element(arguments[index]);
  if (element == "--url") {
    if (index + 1 == arguments.size()) return std::nullopt;
    return UrlArgument{Bytes(arguments[index + 1]), index + 1, false};
  }
  if (element.starts_with(kEqualsPrefix))
    return UrlArgument{bytesFrom(element, kEqualsPrefix.size()), index, true};
  if (looksLikeUrl(element)) return UrlArgument{element, index, false};
  return std::nullopt;
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

std::optional<UrlArgument> urlInItem(const CommandLineItem& item,
                                     std::span<char* const> arguments) {
  if (!item.is_option) {
    Bytes element(arguments[item.index]);
    if (looksLikeUrl(element)) return UrlArgument{element, item.index, false};
    return std::nullopt;
  }
  // A letter's element begins "-x": only a long option's can be "--url" or "--url=".
  if (item.spelling.size() > 1)
    if (std::optional<UrlArgument> url = urlInElement(arguments, item.index)) return url;
  if (!item.separate_value || item.option->value == OptionValue::not_url) return std::nullopt;
  return urlInElement(arguments, item.index + 1);
}

}  // namespace larderbox
