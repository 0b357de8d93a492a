// The agent's exit codes. A process exit status has 8 bits here, while an RPC status is a 32-bit
// Windows code (RPC_S_DUPLICATE_ENDPOINT is 1740). A failing status therefore becomes the exit code
//     status & 0xFF, or 255 when that is 0 or 1
// (0 would read as success and 1 means "initialisation failed"), and the full status is
// printed on standard error first, in decimal and hex, with the name of the call that failed:
//     NxAgentOutlook64: RpcServerUseProtseqEp failed with RPC status 1740 (0x000006CC); exit code 204
// So 0 is a normal end after Shutdown, 1 is an initialisation failure (the process has no
// framework to initialise; 1 is kept for a failure before registration), anything else an RPC
// status as above. The process entry, Shutdown and the callback binding end the process this way.
#pragma once

#include <string_view>

#include "platform/rpc/Rpc.h"

namespace nx::agent {

int ExitCodeForRpcStatus(nx::rpc::RpcStatus status);

// Prints the status on standard error and ends the process at once with its exit code.
[[noreturn]] void ExitWithRpcStatus(std::string_view call, nx::rpc::RpcStatus status);

}  // namespace nx::agent
