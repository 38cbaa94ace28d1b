// Handing the run over to the real tool: the one replaced URL, then execve.
#pragma once

#include <span>

#include "diag/error.h"
#include "runtime/allocator.h"
#include "runtime/bytes.h"
#include "shim/url_argument.h"

namespace larderbox {

// Puts the cache address (behind "--url=" for the equals form) in place of the URL element.
Status rewriteUrlArgument(ProcessAllocator& allocator, std::span<char*> arguments,
                          const UrlArgument& url, Bytes cache_address);

// execve of the real tool with its own path as argument 0, then `arguments`, and the environment
// unchanged. Never returns: on failure it writes "larderbox shim: cannot exec <path>\n" and exits
// 127; when its copies cannot be allocated it exits 127 without a word.
[[noreturn]] void handOver(ProcessAllocator& allocator, Bytes real_tool,
                           std::span<char* const> arguments, char** environment);

}  // namespace larderbox
