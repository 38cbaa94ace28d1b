// The redirect gate: whether the cache can serve a command line exactly as the origin would. A
// command line it cannot is handed to the real tool unchanged, with no probe, so that nothing of
// it reaches the cache host.
#pragma once

#include <optional>
#include <span>

#include "runtime/bytes.h"
#include "shim/tool_family.h"
#include "shim/url_argument.h"

namespace larderbox {

// Why a command line goes to the real tool without asking the cache: a class of reasons and the
// option (its canonical spelling, "-T" or "--post-data", never the caller's value), header name,
// setting or aspect ("userinfo", "query", ...) that put it there. Both live as long as the run;
// the name of an option the table does not know is the caller's own spelling, cut before any
// byte no option name holds.
//
// Reasons: "sends data", "not a plain GET", "credentials", "transport" ("proxy" among them),
// "reports the source", "keeps state", "file name", "glob", "config", "header", "scheme",
// "no transfer", "unknown option", and "not the URL" when the element taken for the URL is the
// value of another option ("-o http://h/out http://h/in"). Aspects of the URL: "userinfo",
// "dot segment", "brackets", "query", "no path", "directory".
struct GateVerdict {
  Bytes reason;
  Bytes detail;
};

// What the command line says of the files the tool reads before it: curl skips its configuration
// file when the first argument is "-q" (alone or first in a cluster) or "--disable"; for wget
// the last of "--no-config" and "--config" decides, and likewise for the netrc, in either
// spelling a table may know them by ("--no-config" as an option of its own, or "--config"
// negated).
struct FileSwitches {
  bool config_off = false;
  bool netrc_off = false;
};

// One reading of a command line with the table of the real tool's family: the URL the scan picks
// (urlInItem) and the first reason, if any, why the cache cannot serve the line exactly as the
// origin would. The reading ends as soon as both are known.
struct CommandLineReading {
  std::optional<UrlArgument> url;
  std::optional<GateVerdict> gate;  // for a line with a URL only
  FileSwitches files;               // for a line the gate passed, which is read whole
};

CommandLineReading readCommandLine(ToolFamily family, std::span<char* const> arguments);

// One setting of a curl configuration file, as the elements it stands for ("--header", "X: 1"):
// judged as on the command line, except that an option the table does not know, or another URL,
// may change anything.
std::optional<GateVerdict> gateCurlSetting(std::span<char* const> elements, Bytes url);

// The same for a line that names a long option without "--" ("header", "X: 1"), which is most
// lines: looked up directly, with no copy of the line.
std::optional<GateVerdict> gateCurlSetting(Bytes name, std::optional<Bytes> value, Bytes url);

// One wgetrc command ("header = X: 1"), as from a startup file or "-e".
std::optional<GateVerdict> gateWgetSetting(Bytes command, Bytes url);

}  // namespace larderbox
