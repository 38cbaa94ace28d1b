// Choosing the cache server from the environment and the URL from the command line.
#pragma once

#include <optional>
#include <span>

#include "runtime/bytes.h"
#include "runtime/environment.h"
#include "shim/command_line.h"
#include "shim/tool_name.h"
#include "shim/url_argument.h"

namespace larderbox {

// <TOOL>LARDERBOX_SERVER when present (even empty), else LARDERBOX_SERVER, else none.
std::optional<Bytes> selectCacheServer(EnvironmentBlock environment, Tool tool);

// A scheme in the sense of RFC 3986 directly followed by "://".
bool looksLikeUrl(Bytes argument);

// The URL an item of the command line holds, when it is the first one: the items are fed in the
// order the reader gives them, and the first answer is the URL. An option's element counts when
// it is "--url" followed by another element (which is then taken whole, whatever it holds) or
// begins with "--url="; the separate value of an option counts by the same tests and when it
// looks like a URL, unless that option's value is never the download URL (a proxy, a referer, a
// base); any other element counts when it looks like a URL. A value taken so may belong to an
// option such as "-o": the gate then refuses it.
std::optional<UrlArgument> urlInItem(const CommandLineItem& item, std::span<char* const> arguments);

}  // namespace larderbox
