// The cache address: where the cache server holds its copy of one URL.
//   <trimmed server> "/b/" <base64url(URL), unpadded> "/" <file name>
#pragma once

#include "diag/error.h"
#include "runtime/allocator.h"
#include "runtime/bytes.h"

namespace larderbox {

// Blanks (space, tab, CR, LF) off both ends, then every trailing "/".
Bytes trimCacheServer(Bytes server);

// The length of the unpadded base64url encoding of `input_length` bytes.
std::size_t base64UrlLength(std::size_t input_length);

// Writes the unpadded base64url encoding of `input` (RFC 4648 section 5, "-" and "_") into `out`,
// base64UrlLength(input.size()) bytes.
void encodeBase64UrlInto(Bytes input, char* out);

// The last path segment before any "?" or "#", trailing slashes dropped; "download" when empty.
Bytes cacheFileName(Bytes url);

// The whole cache address, a new string followed by a NUL that its length does not count.
Result<Bytes> buildCacheAddress(ProcessAllocator& allocator, Bytes server, Bytes url);

}  // namespace larderbox
