// Whether a run goes to the cache, and why: the one sequence of server choice, URL scan, gate,
// address and probe that the shim follows and that larderbox-path --check reports.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "diag/error.h"
#include "runtime/bytes.h"
#include "runtime/environment.h"
#include "runtime/run_context.h"
#include "shim/probe.h"
#include "shim/redirect_gate.h"
#include "shim/tool_family.h"
#include "shim/tool_name.h"
#include "shim/url_argument.h"

namespace larderbox {

enum class RedirectKind : std::uint8_t { no_server, no_url, gated, miss, hit };

struct RedirectDecision {
  RedirectKind kind = RedirectKind::no_server;
  UrlArgument url;                       // from no_url's successors on
  ToolFamily family = ToolFamily::curl;  // from no_url on
  GateVerdict gate;                      // for gated
  Bytes address;                         // for miss and hit
  ProbeVerdict verdict;                  // for miss and hit
};

// Stops at the first step that says no. Fails only for memory to form the cache address.
Result<RedirectDecision> decideRedirect(RunContext& context, EnvironmentBlock environment,
                                        Tool tool, Bytes real_tool,
                                        std::span<char* const> arguments);

}  // namespace larderbox
