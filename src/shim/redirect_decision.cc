#include "shim/redirect_decision.h"

#include "shim/cache_address.h"
#include "shim/selection.h"

namespace larderbox {

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
  if (std::optional<GateVerdict> gated = gateRedirect(decision.family, arguments, *url)) {
    decision.kind = RedirectKind::gated;
    decision.gate = *gated;
    return decision;
  }
  decision.address = TRY(buildCacheAddress(context.allocator, *server, url->url));
  decision.verdict = probeCache(context, real_tool, decision.family, decision.address);
  decision.kind = decision.verdict.yes() ? RedirectKind::hit : RedirectKind::miss;
  return decision;
}

}  // namespace larderbox
