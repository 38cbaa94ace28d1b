// Choosing the cache server from the environment and the URL from the command line.
#pragma once

#include <optional>
#include <span>

#include "runtime/allocator.h"
#include "runtime/bytes.h"
#include "runtime/environment.h"
#include "shim/tool_name.h"
#include "shim/url_argument.h"

namespace larderbox {

// <TOOL>LARDERBOX_SERVER when present (even empty), else LARDERBOX_SERVER, else none.
std::optional<Bytes> selectCacheServer(EnvironmentBlock environment, Tool tool);

// A scheme in the sense of RFC 3986 directly followed by "://".
bool looksLikeUrl(Bytes argument);

// The first element that is a URL: after "--" only URL-looking ones count; "--url" takes the next
// element whole; "--url=" takes the rest of its own element; else the first URL-looking element.
// An element that the tool reads as the value of an option whose value is never
// the download URL (a proxy, a referer, a base) is passed over.
std::optional<UrlArgument> findUrlArgument(std::span<char* const> arguments, Tool tool);

}  // namespace larderbox
