// The name under which a static HTTP server looks for the file of a cache address.
#pragma once

#include <cstddef>
#include <optional>

#include "runtime/bytes.h"

namespace larderbox {

// Servers decode percent-escapes in a request path before they look for the file, so a cache
// address ending in "a%20b.txt" is answered from the file "a b.txt". Writes the decoded `name`
// into `out` (room for name.size() bytes) and returns its length. An escape that is not "%" and two
// hex digits stays as written. None when the decoded name cannot be one file in one directory:
// ".", "..", or holding "/", a NUL or a line feed.
std::optional<std::size_t> decodeStoredName(Bytes name, char* out);

}  // namespace larderbox
