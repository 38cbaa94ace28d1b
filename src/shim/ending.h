// How a run ends when the real tool has not replaced the process, and the one function that says
// so and picks the exit status.
#pragma once

#include <cstdint>

#include "diag/error.h"
#include "runtime/bytes.h"
#include "runtime/run_context.h"
#include "shim/tool_name.h"

namespace larderbox {

// A run that hands over is replaced by the real tool, which then gives the exit status; there is
// nobody left to return that ending to. Every other run ends in one of these.
enum class EndingKind : std::uint8_t {
  no_real_tool,     // neither REAL_<TOOL> nor PATH names one
  exec_failed,      // the real tool could not replace the process
  exec_unprepared,  // the copies the hand-over needs could not be allocated
  error,            // an error value: the error exit
};

struct Ending {
  EndingKind kind = EndingKind::error;
  Tool tool = Tool::curl;           // for no_real_tool
  Bytes real_tool;                  // for exec_failed
  Error error = Error::Unexpected;  // for error

  static Ending noRealTool(Tool tool) { return {EndingKind::no_real_tool, tool, {}, Error::None}; }
  static Ending execFailed(Bytes real_tool) {
    return {EndingKind::exec_failed, Tool::curl, real_tool, Error::None};
  }
  static Ending execUnprepared() {
    return {EndingKind::exec_unprepared, Tool::curl, {}, Error::None};
  }
  static Ending failed(Error error) { return {EndingKind::error, Tool::curl, {}, error}; }
};

// Writes the ending's line on standard error and gives the exit status:
//   no_real_tool     "<tool>larderbox: no real <tool> found on PATH (set $REAL_<TOOL>)\n", 127
//   exec_failed      "larderbox shim: cannot exec <path>\n", 127
//   exec_unprepared  nothing, 127
//   error            the tear-down first, so that the line is written with the caller's signal
//                    dispositions back in place; then "error: <name>\n", 1
int endRun(RunContext& context, const Ending& ending);

}  // namespace larderbox
