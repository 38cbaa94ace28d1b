#include "shim/selection.h"

#include "runtime/strings.h"
#include "shim/tool_name.h"

namespace larderbox {
namespace {

bool isAsciiLetter(char byte) {
  return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z');
}

bool isSchemeByte(char byte) {
  return isAsciiLetter(byte) || (byte >= '0' && byte <= '9') || byte == '+' || byte == '-' ||
         byte == '.';
}

std::optional<UrlArgument> firstUrlFrom(std::span<char* const> arguments, std::size_t from) {
  for (std::size_t i = from; i < arguments.size(); ++i)
    if (looksLikeUrl(arguments[i])) return UrlArgument{Bytes(arguments[i]), i, false};
  return std::nullopt;
}

}  // namespace

std::optional<Bytes> selectCacheServer(EnvironmentBlock environment, Bytes tool_name) {
  if (std::optional<Bytes> server = lookupEnv(environment, toolServerVariable(tool_name)))
    return server;
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

std::optional<UrlArgument> findUrlArgument(std::span<char* const> arguments) {
  constexpr Bytes kEqualsPrefix = "--url=";
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    Bytes argument(arguments[i]);
    if (argument == "--") return firstUrlFrom(arguments, i + 1);
    if (argument == "--url" && i + 1 < arguments.size())
      return UrlArgument{Bytes(arguments[i + 1]), i + 1, false};
    if (argument.starts_with(kEqualsPrefix))
      return UrlArgument{bytesFrom(argument, kEqualsPrefix.size()), i, true};
    if (looksLikeUrl(argument)) return UrlArgument{argument, i, false};
  }
  return std::nullopt;
}

}  // namespace larderbox
