// Handing the run over to the real tool: the one replaced URL, then execve.
#pragma once

#include <optional>
#include <span>

#include "diag/error.h"
#include "runtime/allocator.h"
#include "runtime/bytes.h"
#include "shim/ending.h"
#include "shim/url_argument.h"

namespace larderbox {

// The vector execve gets, formed once from the caller's: slot 0 stays free for argument 0, chosen
// once the real tool is known; then references to the caller's arguments after the program name,
// which are the argument array the run reads; then the null pointer that ends it.
struct ExecVector {
  char** slots = nullptr;
  std::size_t argument_count = 0;

  [[nodiscard]] std::span<char*> arguments() const { return {slots + 1, argument_count}; }
};

// Fails only for memory.
Result<ExecVector> formExecVector(ProcessAllocator& allocator, int argc, char** argv);

// Puts the cache address (behind "--url=" for the equals form) in place of the URL element.
Status rewriteUrlArgument(ProcessAllocator& allocator, std::span<char*> arguments,
                          const UrlArgument& url, Bytes cache_address);

// The caller's own element that rewriteUrlArgument replaced.
struct ReplacedArgument {
  std::size_t index = 0;
  char* original = nullptr;
};

// execve of the real tool with `argument_0` (handOverArgumentZero: the real tool's path, or a
// NUL-terminated string of the caller's or a constant) in slot 0 of `vector`, and the environment
// unchanged. Returns only when the process was not replaced: exec_failed, or exec_unprepared when
// the copy of the path cannot be allocated. When the vector with the cache address in it is too
// large for the system, the caller's own element is tried once more.
Ending handOver(ProcessAllocator& allocator, Bytes real_tool, Bytes argument_0, ExecVector vector,
                char** environment, std::optional<ReplacedArgument> replaced = std::nullopt);

}  // namespace larderbox
