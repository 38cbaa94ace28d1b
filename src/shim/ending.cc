#include "shim/ending.h"

#include "diag/channel.h"
#include "runtime/tear_down.h"

namespace larderbox {
namespace {

constexpr int kNotFoundStatus = 127;
constexpr int kErrorStatus = 1;

}  // namespace

int endRun(RunContext& context, const Ending& ending) {
  switch (ending.kind) {
    case EndingKind::no_real_tool: {
      Bytes name = toolName(ending.tool);
      writeMessage({name, "larderbox: no real ", name, " found on PATH (set $",
                    realToolVariable(ending.tool), ")\n"});
      return kNotFoundStatus;
    }
    case EndingKind::exec_failed:
      writeMessage({"larderbox shim: cannot exec ", ending.real_tool, "\n"});
      return kNotFoundStatus;
    case EndingKind::exec_unprepared:
      return kNotFoundStatus;
    case EndingKind::error:
      break;
  }
  tearDown(context);
  writeErrorLine(ending.error);
  return kErrorStatus;
}

}  // namespace larderbox
