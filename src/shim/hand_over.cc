#include "shim/hand_over.h"

#include <errno.h>

#include "runtime/strings.h"
#include "runtime/system_calls.h"

namespace larderbox {

Result<ExecVector> formExecVector(ProcessAllocator& allocator, int argc, char** argv) {
  std::size_t count = argc > 1 ? static_cast<std::size_t>(argc) - 1 : 0;
  char** slots = allocator.allocateArray<char*>(count + 2);
  if (slots == nullptr) return fail(Error::OutOfMemory);
  for (std::size_t i = 1; i <= count; ++i)
    slots[i] = argv[i];
  slots[count + 1] = nullptr;
  return ExecVector{slots, count};
}

Status rewriteUrlArgument(ProcessAllocator& allocator, std::span<char*> arguments,
                          const UrlArgument& url, Bytes cache_address) {
  std::optional<Bytes> element = url.equals_form ? joinWithNul(allocator, {"--url=", cache_address})
                                                 : copyWithNul(allocator, cache_address);
  if (!element) return fail(Error::OutOfMemory);
  arguments[url.index] = const_cast<char*>(element->data());
  return {};
}

Ending handOver(ProcessAllocator& allocator, Bytes real_tool, Bytes argument_0, ExecVector vector,
                char** environment, std::optional<ReplacedArgument> replaced) {
  std::optional<Bytes> path = copyWithNul(allocator, real_tool);
  if (!path) return Ending::execUnprepared();
  // The real tool's own path has its copy; any other argument 0 is NUL-terminated already.
  Bytes zero = sameBytes(argument_0, real_tool) ? *path : argument_0;
  vector.slots[0] = const_cast<char*>(zero.data());
  int error = executeProgram(path->data(), vector.slots, environment);
  // The cache address is a third longer than the URL, so a command line that the caller could run
  // may no longer fit: the redirect must never cost the caller the download itself.
  if (error == E2BIG && replaced && replaced->index < vector.argument_count) {
    vector.arguments()[replaced->index] = replaced->original;
    (void)executeProgram(path->data(), vector.slots, environment);
  }
  return Ending::execFailed(real_tool);
}

}  // namespace larderbox
