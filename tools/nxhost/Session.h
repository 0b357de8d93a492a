// One nxhost session: the callback side served, the agent started (--start) or found listening,
// every step called in order with its [out] values printed and checked, the agent ended, and the
// summary.
#pragma once

#include <vector>

#include "tools/nxhost/Options.h"
#include "tools/nxhost/SessionScript.h"

namespace nx::host {

// Runs the session; the exit status: 0 when every call went through (and a started agent exited
// with 0), 1 otherwise.
int RunSession(const Options& opt, const std::vector<SessionStep>& steps);

// Ends the agent this session started, if it still runs; for the interrupt handler (it only
// makes calls a signal handler may make).
void EndStartedAgent();

}  // namespace nx::host
