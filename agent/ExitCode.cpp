#include "agent/ExitCode.h"

#include <cstdio>
#include <cstdlib>

namespace nx::agent {

int ExitCodeForRpcStatus(nx::rpc::RpcStatus status) {
    const int low = static_cast<int>(status & 0xFF);
    return low <= 1 ? 255 : low;
}

void ExitWithRpcStatus(std::string_view call, nx::rpc::RpcStatus status) {
    const int code = ExitCodeForRpcStatus(status);
    std::fprintf(stderr, "NxAgentOutlook64: %.*s failed with RPC status %u (0x%08X); exit code %d\n",
                 static_cast<int>(call.size()), call.data(), status, status, code);
    std::fflush(stderr);
    std::fflush(stdout);
    std::_Exit(code);
}

}  // namespace nx::agent
