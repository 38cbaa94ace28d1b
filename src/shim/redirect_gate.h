// The redirect gate: whether the cache can serve a command line exactly as the origin would. A
// command line it cannot is handed to the real tool unchanged, with no probe, so that nothing of
// it reaches the cache host.
#pragma once

#include <optional>
#include <span>

#include "runtime/bytes.h"
#include "shim/tool_family.h"
#include "shim/tool_name.h"
#include "shim/url_argument.h"

namespace larderbox {

// Why a command line goes to the real tool without asking the cache: a class of reasons and the
// option (its canonical spelling, "-T" or "--post-data", never the caller's value) or aspect
// ("userinfo", "query", ...) that put it there. Both are static strings, except the name of an
// option the table does not know, which is the caller's own spelling up to any "=".
//
// Reasons: "sends data", "not a plain GET", "credentials", "transport", "reports the source",
// "keeps state", "file name", "glob", "config", "unknown option", and "not the URL" when the
// element taken for the URL is the value of another option ("-o http://h/out http://h/in"). Aspects
// of the URL: "userinfo", "dot segment", "brackets", "query", "no path", "directory".
struct GateVerdict {
  Bytes reason;
  Bytes detail;
};

// None when the cache can serve this command line exactly as the origin would, read with the
// table of the real tool's family. url is what findUrlArgument found in the same arguments.
std::optional<GateVerdict> gateRedirect(ToolFamily family, std::span<char* const> arguments,
                                        const UrlArgument& url);

// The same with the table of the tool's own family (curl, GNU wget).
std::optional<GateVerdict> gateRedirect(Tool tool, std::span<char* const> arguments,
                                        const UrlArgument& url);

}  // namespace larderbox
