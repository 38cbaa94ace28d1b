// The cache probe: one header-only run of the real tool against the cache address.
#pragma once

#include <cstdint>

#include "runtime/bytes.h"
#include "runtime/environment.h"
#include "runtime/run_context.h"
#include "shim/tool_name.h"

namespace larderbox {

// How the probe ended. Only `answered` is a yes; the others say why the answer is no.
enum class ProbeOutcome : std::uint8_t {
  answered,     // the child exited with status 0
  exited,       // with the non-zero status in `value`
  signalled,    // by the signal in `value`
  no_answer,    // its output stayed open past the probe's deadline
  not_started,  // the launch failed
  failed,       // reading its output or waiting for it failed, or it ended otherwise
};

struct ProbeVerdict {
  ProbeOutcome outcome = ProbeOutcome::failed;
  std::uint32_t value = 0;
  [[nodiscard]] bool yes() const { return outcome == ProbeOutcome::answered; }
};

// Past this many seconds with the child's output still open the answer is "no".
inline constexpr std::int64_t kProbeDeadlineSeconds = 15;

// Every failure is simply "no": the probe prints nothing and never ends the run. The probe runs
// exactly the file the hand-over will execute, with the caller's proxy and certificate variables.
ProbeVerdict probeCache(RunContext& context, EnvironmentBlock environment, Bytes real_tool,
                        Tool tool, Bytes cache_address);

}  // namespace larderbox
