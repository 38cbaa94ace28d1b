#include "shim/hand_over.h"

#include <errno.h>

#include "runtime/strings.h"
#include "runtime/system_calls.h"

namespace larderbox {

Status rewriteUrlArgument(ProcessAllocator& allocator, std::span<char*> arguments,
                          const UrlArgument& url, Bytes cache_address) {
  std::optional<Bytes> element = url.equals_form ? joinWithNul(allocator, {"--url=", cache_address})
                                                 : copyWithNul(allocator, cache_address);
  if (!element) return fail(Error::OutOfMemory);
  arguments[url.index] = const_cast<char*>(element->data());
  return {};
}

Ending handOver(ProcessAllocator& allocator, Bytes real_tool, Bytes argument_0,
                std::span<char* const> arguments, char** environment,
                std::optional<ReplacedArgument> replaced) {
  std::optional<Bytes> path = copyWithNul(allocator, real_tool);
  if (!path) return Ending::execUnprepared();
  char** vector = allocator.allocateArray<char*>(arguments.size() + 2);
  if (vector == nullptr) return Ending::execUnprepared();
  // The real tool's own path has its copy; any other argument 0 is NUL-terminated already.
  Bytes zero = sameBytes(argument_0, real_tool) ? *path : argument_0;
  vector[0] = const_cast<char*>(zero.data());
  for (std::size_t i = 0; i < arguments.size(); ++i)
    vector[i + 1] = arguments[i];
  vector[arguments.size() + 1] = nullptr;
  int error = executeProgram(path->data(), vector, environment);
  // The cache address is a third longer than the URL, so a command line that the caller could run
  // may no longer fit: the redirect must never cost the caller the download itself.
  if (error == E2BIG && replaced && replaced->index < arguments.size()) {
    vector[replaced->index + 1] = replaced->original;
    (void)executeProgram(path->data(), vector, environment);
  }
  return Ending::execFailed(real_tool);
}

}  // namespace larderbox
