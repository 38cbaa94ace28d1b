#include "shim/redirect_decision.h"

#include "shim/cache_address.h"
#include "shim/config_files.h"
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
  // Gated before any probe: nothing of such a command line may reach the cache host.
  // The files the tool reads act as part of the command line; only read when the line passed.
  std::optional<GateVerdict> gated = gateRedirect(tool, arguments, *url);
  if (!gated) gated = gateConfigFiles(context.allocator, environment, tool, arguments, url->url);
  if (gated) {
    decision.kind = RedirectKind::gated;
    decision.gate = *gated;
    return decision;
  }
  decision.address = TRY(buildCacheAddress(context.allocator, *server, url->url));
  decision.verdict = probeCache(context, environment, real_tool, tool, decision.address);
  decision.kind = decision.verdict.yes() ? RedirectKind::hit : RedirectKind::miss;
  return decision;
}

}  // namespace larderbox
