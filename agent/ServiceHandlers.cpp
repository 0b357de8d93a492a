#include "agent/ServiceHandlers.h"

#include <chrono>
#include <thread>

#include "agent/AgentProcess.h"
#include "agent/HostCallback.h"
#include "agent/Interfaces.h"
#include "agent/ItemHandlers.h"
#include "agent/SessionHandlers.h"
#include "common/LogFile.h"

namespace nx::agent {

void HandleShutdown(nx::rpc::Args&) {
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

void HandleGetContactFolder(nx::rpc::Args& args) {
    CLogFile::Trace("CMAPIObject::GetContactFolder - Begin\r\n");
    CLogFile::Trace("CMAPIObject::GetContactFolder - Finish\r\n");
    args.Long(1) = 1;
}

void HandleGetCalendarFolder(nx::rpc::Args& args) {
    CLogFile::Trace("Outlook2k - GetCalendarFolder : Begin\r\n");
    CLogFile::Trace("Outlook2k - GetCalendarFolder : Finish\r\n");
    args.Long(1) = 0;
}

void HandleNoOperation(nx::rpc::Args&) {}

void HandleBindCallback(nx::rpc::Args&) {
    BindHostCallback();
}

std::vector<nx::rpc::Handler> BuildAgentHandlers() {
    std::vector<nx::rpc::Handler> h(kAgentProcCount);
    h[kShutdown] = HandleShutdown;
    h[kMAPILogOn] = HandleMAPILogOn;
    h[kMAPILogOff] = HandleMAPILogOff;
    h[kGetAppProfile] = HandleGetAppProfile;
    h[kGetContactCount] = HandleGetContactCount;
    h[kGetCalendarCount] = HandleGetCalendarCount;
    h[kGetAppFolder] = HandleGetAppFolder;
    h[kGetContactFolder] = HandleGetContactFolder;
    h[kGetCalendarFolder] = HandleGetCalendarFolder;
    h[kNoOperation] = HandleNoOperation;
    h[kSetContactFolder] = HandleSetContactFolder;
    h[kSetCalendarFolder] = HandleSetCalendarFolder;
    h[kWriteContacts] = HandleWriteContacts;
    h[kWriteCalendars] = HandleWriteCalendars;
    h[kReadContacts] = HandleReadContacts;
    h[kReadCalendars] = HandleReadCalendars;
    h[kBindCallback] = HandleBindCallback;
    return h;
}

}  // namespace nx::agent
