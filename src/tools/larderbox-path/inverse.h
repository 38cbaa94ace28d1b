// From a cache address back to the URL it holds: the inverse of the shim's cache address.
#pragma once

#include <optional>

#include "diag/error.h"
#include "runtime/allocator.h"
#include "runtime/bytes.h"

namespace larderbox {

// The URL of an address and the file below a cache directory that holds it.
struct AddressOrigin {
  Bytes url;
  Bytes stored;  // b/<segment>/<file name, percent-escapes decoded>
};

// The bytes an unpadded base64url `segment` encodes; none when it is not such an encoding.
std::optional<Bytes> decodeBase64Url(ProcessAllocator& allocator, Bytes segment);

// `address` is a cache address or path ending in b/SEGMENT/NAME, b/SEGMENT, or a bare SEGMENT.
// None when the segment decodes to no URL whose own address has that segment (and, when NAME is
// given, a file name that a server stores as NAME is stored), or when no file can hold it.
Result<std::optional<AddressOrigin>> originOfAddress(ProcessAllocator& allocator, Bytes address);

}  // namespace larderbox
