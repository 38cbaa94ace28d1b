#include "tools/larderbox-path/check.h"

#include <array>
#include <initializer_list>

#include "diag/channel.h"
#include "shim/real_tool.h"
#include "shim/redirect_decision.h"
#include "shim/tool_name.h"
#include "shim/trace.h"

namespace larderbox {
namespace {

constexpr int kNotAllHits = 1;

// One line, out at once: lines of URLs checked one by one reach a pipe as they are decided.
bool printLine(StandardOutput& output, std::initializer_list<Bytes> pieces) {
  for (Bytes piece : pieces)
    output.append(piece);
  return output.flush();
}

// The plain download the shim is asked about, with `url` in the place a script would put it:
// curl -fsSL -o FILE URL, or wget -O FILE URL.
std::span<char* const> plainDownload(Tool tool, char* url, std::array<char*, 4>& storage) {
  static char file[] = "FILE";
  if (tool == Tool::wget) {
    static char wget_output[] = "-O";
    storage = {wget_output, file, url, nullptr};
    return std::span<char* const>(storage.data(), 3);
  }
  static char curl_options[] = "-fsSL";
  static char curl_output[] = "-o";
  storage = {curl_options, curl_output, file, url};
  return storage;
}

// The verdict for one URL as a line, or false when it could not be printed.
Result<bool> checkOne(RunContext& context, EnvironmentBlock environment, Tool tool, Bytes real_tool,
                      char* url_argument, StandardOutput& output, bool& hit) {
  std::array<char*, 4> storage{};
  std::span<char* const> arguments = plainDownload(tool, url_argument, storage);
  RedirectDecision decision = TRY(decideRedirect(context, environment, tool, real_tool, arguments));
  hit = decision.kind == RedirectKind::hit;
  char digits[10];
  MissReason reason = describeMiss(decision.verdict, digits);
  switch (decision.kind) {
    case RedirectKind::no_server:
      return printLine(output, {"direct (no cache server)\n"});
    case RedirectKind::no_url:
      return printLine(output, {"direct (no URL)\n"});
    case RedirectKind::gated:
      return printLine(output,
                       {"direct (", decision.gate.reason, ": ", decision.gate.detail, ")\n"});
    case RedirectKind::miss:
      return printLine(output, {"miss ", decision.address, reason[0], reason[1], reason[2], "\n"});
    case RedirectKind::hit:
      break;
  }
  return printLine(output, {"hit ", decision.address, "\n"});
}

}  // namespace

int checkUrls(RunContext& context, EnvironmentBlock environment, Tool tool,
              std::span<char* const> urls, StandardOutput& output) {
  SelfIdentity self = SelfIdentity::ofThisProcess();
  Result<std::optional<Bytes>> real_tool = findRealTool(context.allocator, environment, tool, self);
  if (!real_tool) {
    writeErrorLine(real_tool.error());
    return kNotAllHits;
  }
  if (!*real_tool) {
    writeMessage({"larderbox-path: no real ", toolName(tool), " found on PATH (set $",
                  realToolVariable(tool), ")\n"});
    return kNotAllHits;
  }
  bool all_hit = true;
  for (char* url : urls) {
    bool hit = false;
    Result<bool> printed = checkOne(context, environment, tool, **real_tool, url, output, hit);
    if (!printed) {
      writeErrorLine(printed.error());
      return kNotAllHits;
    }
    if (!*printed) {
      writeMessage({"larderbox-path: cannot write to standard output\n"});
      return kNotAllHits;
    }
    all_hit = all_hit && hit;
  }
  return all_hit ? 0 : kNotAllHits;
}

}  // namespace larderbox
