#include "agent/AgentProcess.h"

#include <memory>

#include "agent/AgentConfig.h"
#include "agent/Interfaces.h"
#include "agent/ServiceHandlers.h"
#include "common/LogFile.h"
#include "common/MapiFunctions.h"
#include "platform/system/DebugOutput.h"
#include "platform/system/Paths.h"

namespace nx::agent {
namespace {

std::unique_ptr<nx::rpc::Server> g_server;

}  // namespace

bool RunStartupSteps() {
    const uint32_t defaultSwitch = LOG_TO_DEBUGGER;
    CLogFile::Init("NxAgentOutlook64", false, defaultSwitch);

    const std::string folder = nx::sys::FolderWithSeparator(nx::sys::ExecutablePath());
    if (!LoadMapiLibrary(folder)) {
        nx::sys::OutputDebugString("unable open MAPI32.dll failed\n");
        return false;
    }
    if (!LoadMapiFunctions()) {
        nx::sys::OutputDebugString("LoadLibrary MAPI32.dll failed\n");
        return false;  // the library stays loaded
    }
    // Without a bound MAPI runtime start-up stops above: the configuration only serves MAPI
    // procedures, which then answer their failure values anyway.
    ReadAgentProfile(kProfileSection);
    CreateWorkFolder();
    return true;
}

nx::rpc::Server* AgentServer() {
    return g_server.get();
}

int RunAgent() {
    CLogFile::Trace("Begin  Rpc Intliaize-----------------------------------");
    // Why the runtime refused a peer or gave up on one goes to the trace.
    nx::rpc::SetTraceSink([](std::string_view text) {
        CLogFile::Trace("%.*s\r\n", static_cast<int>(text.size()), text.data());
    });
    g_server = std::make_unique<nx::rpc::Server>();

    nx::rpc::RpcStatus status = g_server->UseProtseqEp(kProtseq, kMaxCalls, kAgentEndpoint);
    if (status != nx::rpc::RPC_S_OK) ExitWithRpcStatus("RpcServerUseProtseqEp", status);

    status = g_server->RegisterIf(AgentInterface(), BuildAgentHandlers());
    if (status != nx::rpc::RPC_S_OK) ExitWithRpcStatus("RpcServerRegisterIf", status);

    RunStartupSteps();
    CLogFile::Trace("finish Rpc Intliaize-----------------------------------");

    status = g_server->Listen(kMinCallThreads, kMaxCalls);
    if (status != nx::rpc::RPC_S_OK) ExitWithRpcStatus("RpcServerListen", status);

    g_server.reset();
    return 0;
}

}  // namespace nx::agent
