#include "shim/redirect_decision.h"

#include "shim/cache_address.h"
#include "shim/config_files.h"
#include "shim/selection.h"
#include "shim/wget2_release.h"

namespace larderbox {
namespace {

RedirectDecision gatedBy(RedirectDecision decision, const GateVerdict& verdict) {
  decision.kind = RedirectKind::gated;
  decision.gate = verdict;
  return decision;
}

}  // namespace

Result<RedirectDecision> decideRedirect(RunContext& context, EnvironmentBlock environment,
                                        Tool tool, Bytes real_tool,
                                        std::span<char* const> arguments) {
  RedirectDecision decision;
  std::optional<Bytes> server = selectCacheServer(environment, tool);
  if (!server) return decision;
  std::optional<UrlArgument> url = findUrlArgument(arguments, tool);
  decision.kind = RedirectKind::no_url;
  if (!url) return decision;
  decision.url = *url;
  // Known from the path alone, and only here: a pass-through never looks at it.
  decision.family = findToolFamily(tool, real_tool);
  // Gated before any probe: nothing of such a command line may reach the cache host.
  if (std::optional<GateVerdict> gated = gateRedirect(decision.family, arguments, *url))
    return gatedBy(decision, *gated);
  // Formed before the files are read, so that memory for it runs out first (the error exit) and
  // the files' own allocations, which only ever send the line direct, come after it.
  decision.address = TRY(buildCacheAddress(context.allocator, *server, url->url));
  // The files the tool reads act as part of the command line; only read when the line passed.
  if (std::optional<GateVerdict> gated =
          gateConfigFiles(context.allocator, environment, decision.family, arguments, url->url))
    return gatedBy(decision, *gated);
  if (decision.family == ToolFamily::wget2)
    if (std::optional<GateVerdict> gated = gateWget2Release(real_tool.data()))
      return gatedBy(decision, *gated);
  decision.verdict = probeCache(context, environment, real_tool, decision.family, decision.address);
  decision.kind = decision.verdict.yes() ? RedirectKind::hit : RedirectKind::miss;
  return decision;
}

}  // namespace larderbox
