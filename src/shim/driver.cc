// The shim's one control flow, from the program name to the hand-over: the program's function.
#include "diag/channel.h"
#include "runtime/program.h"
#include "shim/cache_address.h"
#include "shim/ending.h"
#include "shim/hand_over.h"
#include "shim/probe.h"
#include "shim/real_tool.h"
#include "shim/redirect_gate.h"
#include "shim/selection.h"
#include "shim/tool_name.h"
#include "shim/trace.h"

namespace larderbox {
namespace {

// The caller's arguments after the program name, as references to the caller's own strings.
Result<std::span<char*>> formArgumentArray(ProcessAllocator& allocator, int argc, char** argv) {
  std::size_t count = argc > 1 ? static_cast<std::size_t>(argc) - 1 : 0;
  char** array = allocator.allocateArray<char*>(count);
  if (array == nullptr) return fail(Error::OutOfMemory);
  for (std::size_t i = 0; i < count; ++i)
    array[i] = argv[i + 1];
  return std::span<char*>(array, count);
}

// Replaces the URL with the cache address when a cache server is named, the command line is one
// the cache can serve exactly as the origin would, and the cache holds the URL; gives back the
// caller's element it replaced. Nothing about the cache fails the run except memory for the address
// and its replacement element.
Result<std::optional<ReplacedArgument>> redirectToCache(RunContext& context,
                                                        EnvironmentBlock environment, Tool tool,
                                                        Bytes real_tool,
                                                        std::span<char*> arguments) {
  ProcessAllocator& allocator = context.allocator;
  TraceSink trace = traceSinkFrom(environment);
  std::optional<Bytes> server = selectCacheServer(environment, tool);
  if (!server) {
    writeTrace(allocator, trace, "direct", std::nullopt, {" (no cache server)"});
    return std::nullopt;
  }
  std::optional<UrlArgument> url = findUrlArgument(arguments, tool);
  if (!url) {
    writeTrace(allocator, trace, "direct", std::nullopt, {" (no URL)"});
    return std::nullopt;
  }
  // Gated before any probe: nothing of such a command line may reach the cache host.
  if (std::optional<GateVerdict> gated = gateRedirect(tool, arguments, *url)) {
    writeTrace(allocator, trace, "direct", url->url,
               {" (", gated->reason, ": ", gated->detail, ")"});
    return std::nullopt;
  }
  Bytes address = TRY(buildCacheAddress(allocator, *server, url->url));
  ProbeVerdict verdict = probeCache(context, real_tool, tool, address);
  if (!verdict.yes()) {
    traceMiss(allocator, trace, url->url, verdict);
    return std::nullopt;
  }
  ReplacedArgument replaced{url->index, arguments[url->index]};
  TRY(rewriteUrlArgument(allocator, arguments, *url, address));
  writeTrace(allocator, trace, "hit", url->url, {" -> "}, address);
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
  std::span<char*> arguments = TRY(formArgumentArray(context.allocator, argc, argv));
  std::optional<ReplacedArgument> replaced =
      TRY(redirectToCache(context, environment, tool, *real_tool, arguments));
  return handOver(context.allocator, *real_tool, arguments, environment.entries, replaced);
}

}  // namespace

// Returns only when the real tool has not replaced the process, with the status endRun picks.
int runProgram(RunContext& context, int argc, char** argv, EnvironmentBlock environment) {
  stderrChannel().setEnvironment(environment.entries, environment.count);
  Result<Ending> ending = runSteps(context, argc, argv, environment);
  return endRun(context, ending ? *ending : Ending::failed(ending.error()));
}

}  // namespace larderbox
