// larderbox-path --check: what the shim would do for a plain download of each URL, and why.
#pragma once

#include <span>

#include "runtime/bytes.h"
#include "runtime/environment.h"
#include "runtime/run_context.h"
#include "shim/tool_name.h"
#include "tools/larderbox-path/standard_output.h"

namespace larderbox {

// Prints one line per URL to `output`, each as soon as it is decided: "hit ADDRESS", "miss ADDRESS
// (probe exited 22)" or "direct (REASON)", judged exactly as the shim judges `curl -fsSL -o FILE
// URL` (`wget -O FILE URL`): the same server variables, gate, address, real tool and probe. 0 when
// every URL hits.
int checkUrls(RunContext& context, EnvironmentBlock environment, Tool tool,
              std::span<char* const> urls, StandardOutput& output);

}  // namespace larderbox
