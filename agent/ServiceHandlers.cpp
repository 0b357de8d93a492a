#include "agent/ServiceHandlers.h"

#include <chrono>
#include <thread>

#include "agent/AgentProcess.h"
#include "agent/ArgsAdapter.h"
#include "agent/HostCallback.h"
#include "agent/Interfaces.h"
#include "agent/ItemHandlers.h"
#include "agent/SessionHandlers.h"
#include "common/LogFile.h"
#include "mapi/TraceScope.h"

namespace nx::agent {

void Shutdown() {
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    // Its outcome is not looked at; a host that does not answer is given up on after the
    // callback timeouts (and traced), so Shutdown always goes on.
    if (HasHostCallback()) NotifyHostShutdown();

    nx::rpc::Server* server = AgentServer();
    CLogFile::Trace("Calling RpcMgmtStopServerListening\n");
    nx::rpc::RpcStatus status = server ? server->StopListening() : nx::rpc::RPC_S_NOT_LISTENING;
    CLogFile::Trace("RpcMgmtStopServerListening returned: 0x%x\n", status);
    if (status != nx::rpc::RPC_S_OK) ExitWithRpcStatus("RpcMgmtStopServerListening", status);

    CLogFile::Trace("Calling RpcServerUnregisterIf\n");
    status = server->UnregisterIf(nullptr, false);
    CLogFile::Trace("RpcServerUnregisterIf returned 0x%x\n", status);
    if (status != nx::rpc::RPC_S_OK) ExitWithRpcStatus("RpcServerUnregisterIf", status);
}

int32_t GetContactFolder(FolderBuffer) {
    // The buffer goes back exactly as received.
    const NAMESPACE_MAPI::CTraceScope scope("GetContactFolder");
    return 1;
}

int32_t GetCalendarFolder(WireChar) {
    CLogFile::Trace("Outlook2k - GetCalendarFolder : Begin\r\n");
    CLogFile::Trace("Outlook2k - GetCalendarFolder : Finish\r\n");
    return 0;
}

int32_t NoOperation(WireChar) {
    return 0;
}

void BindCallback() {
    BindHostCallback();
}

std::vector<nx::rpc::Handler> BuildAgentHandlers() {
    std::vector<nx::rpc::Handler> h(kAgentProcCount);
#define NX_HANDLER(name) h[k##name] = HandlerFor<&name>();
    NX_AGENT_PROCEDURES(NX_HANDLER)
#undef NX_HANDLER
    return h;
}

}  // namespace nx::agent
