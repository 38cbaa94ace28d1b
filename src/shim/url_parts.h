// The parts of a URL that decide how it may be redirected and shown, found without decoding.
#pragma once

#include "runtime/bytes.h"

namespace larderbox {

// Without "://" the authority starts at the first byte: curl takes "user:pass@host/x" as a URL
// too. The authority ends at the first "/", "?" or "#", the path at the first "?" or "#".
struct UrlParts {
  Bytes scheme;     // up to and with "://"; empty when there is none
  Bytes authority;  // userinfo included
  Bytes path;
};

constexpr UrlParts splitUrl(Bytes url) {
  std::size_t separator = url.find("://");
  Bytes scheme = separator == Bytes::npos ? Bytes() : bytesUpTo(url, separator + 3);
  Bytes rest = bytesFrom(url, scheme.size());
  std::size_t authority_end = rest.find_first_of("/?#");
  Bytes after = authority_end == Bytes::npos ? Bytes() : bytesFrom(rest, authority_end);
  return {scheme, bytesUpTo(rest, authority_end), bytesUpTo(after, after.find_first_of("?#"))};
}

}  // namespace larderbox
