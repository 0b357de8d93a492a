// The agent process: start-up, serving, shutdown and exit codes.
//
// Order of the process entry (RunAgent):
//   1. trace "Begin  Rpc Intliaize---..." (the trace log is not initialised yet: nothing is written)
//   2. register "ncacn_np" with "\pipe\MapiServer64", at most 1234 concurrent calls
//   3. register the agent interface with the 17 handlers
//   4. start-up steps (RunStartupSteps); their result is not looked at
//   5. trace "finish Rpc Intliaize---..."
//   6. listen (at least 1 call thread, at most 1234 calls) until Shutdown stops it
//   7. exit 0
//
// Exit codes: agent/ExitCode.h.
#pragma once

#include "agent/ExitCode.h"
#include "platform/rpc/Rpc.h"

namespace nx::agent {

// Start-up steps: trace log init ("NxAgentOutlook64", an executable, default switch 4), open
// the MAPI runtime from the executable's folder first, bind its 10 entries, read
// PIMProfile.ini, create the work folder. False when MAPI could not be opened or bound (the
// texts of that go to the debugger-output channel); start-up stops there, so the configuration
// keeps its defaults and no folder is created.
bool RunStartupSteps();

// The server the process entry registered (null before RunAgent created it).
nx::rpc::Server* AgentServer();

// The whole process entry; returns the exit code (or ends the process on an RPC failure).
int RunAgent();

}  // namespace nx::agent
