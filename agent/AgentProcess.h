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
// Exit codes. A process exit status has 8 bits here, while an RPC status is a 32-bit Windows
// code (RPC_S_DUPLICATE_ENDPOINT is 1740). A failing status therefore becomes the exit code
//     status & 0xFF, or 255 when that is 0 or 1
// (0 would read as success and 1 means "initialisation failed"), and the full status is
// printed on standard error first, in decimal and hex, with the name of the call that failed:
//     NxAgentOutlook64: RpcServerUseProtseqEp failed with RPC status 1740 (0x000006CC); exit code 204
// So 0 is a normal end after Shutdown, 1 is an initialisation failure (the process has no
// framework to initialise; 1 is kept for a failure before registration), anything else an RPC
// status as above.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/rpc/Rpc.h"

namespace nx::agent {

int ExitCodeForRpcStatus(nx::rpc::RpcStatus status);

// Prints the status on standard error and ends the process at once with its exit code.
[[noreturn]] void ExitWithRpcStatus(std::string_view call, nx::rpc::RpcStatus status);

// Start-up steps: trace log init ("NxAgentOutlook64", an executable, default switch 4) and the
// release as the log's first line ("NxAgentOutlook64 (NxAgentForOutlook64) x.y.z"), open
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
