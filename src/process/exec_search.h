// The child-side exec: argument 0 as a path, or searched for along a PATH value.
#pragma once

#include <cstddef>
#include <optional>

#include "diag/error.h"
#include "runtime/bytes.h"

namespace larderbox {

// With no PATH value the search uses this list, whatever the parent's own PATH is.
inline constexpr Bytes kDefaultSearchPath = "/usr/local/bin:/bin/:/usr/bin";

// d + "/" + argument 0 + NUL must fit this buffer, so d + argument 0 may be at most 4094 bytes.
inline constexpr std::size_t kCandidateBufferSize = 4096;

// Runs between fork and exec: allocates nothing, takes no lock, and returns only on failure, with
// the error that the launch reports.
//
// `argument_0` is arguments[0] as a view; its bytes are followed by a NUL. A path holding "/" is
// executed once as it stands. Otherwise each non-empty element d of `path_value` (the default list
// when none; an empty value tries nothing) is tried as d + "/" + argument 0:
// 1. d + argument 0 longer than 4094 bytes stops the search with NameTooLong;
// 2. unless `keep_argument_0`, the candidate becomes arguments[0] for its execve;
// 3. FileNotFound and NotDir become the pending error, AccessDenied sets a flag, and the search
//    goes on; any other error ends it.
// After the last directory: AccessDenied if any candidate gave it, else the pending error
// (FileNotFound when nothing else was met). arguments[0] is put back before returning.
Error execSearch(Bytes argument_0, char** arguments, char** environment,
                 std::optional<Bytes> path_value, bool keep_argument_0);

// The error of one execve, by its errno.
Error execError(int errnum);

}  // namespace larderbox
