// The shim's one control flow, from the program name to the hand-over: the program's function.
#include "diag/channel.h"
#include "runtime/program.h"
#include "shim/ending.h"
#include "shim/hand_over.h"
#include "shim/real_tool.h"
#include "shim/redirect_decision.h"
#include "shim/tool_family.h"
#include "shim/tool_name.h"
#include "shim/trace.h"

namespace larderbox {
namespace {

// Replaces the URL with the cache address when the decision is a hit, traces the decision, and
// gives back the caller's element it replaced. Nothing about the cache fails the run except memory
// for the address and its replacement element.
Result<std::optional<ReplacedArgument>> redirectToCache(RunContext& context,
                                                        EnvironmentBlock environment, Tool tool,
                                                        Bytes real_tool,
                                                        std::span<char*> arguments) {
  ProcessAllocator& allocator = context.allocator;
  TraceSink trace = traceSinkFrom(environment);
  RedirectDecision decision = TRY(decideRedirect(context, environment, tool, real_tool, arguments));
  Bytes url = decision.url.url;
  switch (decision.kind) {
    case RedirectKind::no_server:
      writeTrace(allocator, trace, "direct", std::nullopt, {" (no cache server)"});
      return std::nullopt;
    case RedirectKind::no_url:
      writeTrace(allocator, trace, "direct", std::nullopt, {" (no URL)"});
      return std::nullopt;
    case RedirectKind::gated:
      writeTrace(allocator, trace, "direct", url,
                 {" (", decision.gate.reason, ": ", decision.gate.detail, ")"});
      return std::nullopt;
    case RedirectKind::miss:
      traceMiss(allocator, trace, url, decision.verdict);
      return std::nullopt;
    case RedirectKind::hit:
      break;
  }
  ReplacedArgument replaced{decision.url.index, arguments[decision.url.index]};
  TRY(rewriteUrlArgument(allocator, arguments, decision.url, decision.address));
  writeTrace(allocator, trace, "hit", url, {" -> "}, decision.address);
  return replaced;
}

// The steps in their order; what returns is how the run ends without the real tool.
Result<Ending> runSteps(RunContext& context, int argc, char** argv, EnvironmentBlock environment) {
  // An empty argument vector has no program name: it stands for "curl" with no arguments.
  Bytes program_name = argc > 0 && argv[0] != nullptr ? Bytes(argv[0]) : Bytes();
  Tool tool = chooseTool(program_name);
  SelfIdentity self = SelfIdentity::ofThisProcess();
  std::optional<Bytes> real_tool = TRY(findRealTool(context.allocator, environment, tool, self));
  if (!real_tool) return Ending::noRealTool(tool);
  ExecVector vector = TRY(formExecVector(context.allocator, argc, argv));
  std::optional<ReplacedArgument> replaced =
      TRY(redirectToCache(context, environment, tool, *real_tool, vector.arguments()));
  Bytes argument_0 = handOverArgumentZero(tool, program_name, *real_tool);
  return handOver(context.allocator, *real_tool, argument_0, vector, environment.entries, replaced);
}

}  // namespace

// Returns only when the real tool has not replaced the process, with the status endRun picks.
int runProgram(RunContext& context, int argc, char** argv, EnvironmentBlock environment) {
  stderrChannel().setEnvironment(environment.entries, environment.count);
  Result<Ending> ending = runSteps(context, argc, argv, environment);
  return endRun(context, ending ? *ending : Ending::failed(ending.error()));
}

}  // namespace larderbox
