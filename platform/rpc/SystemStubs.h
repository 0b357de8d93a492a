// Windows only: the system RPC runtime (rpcrt4) marshals through stubs that widl generates from
// an interface's IDL, so the Windows side of Rpc.h's Server and Binding needs, per interface, what
// its generated stubs provide. The owner of an interface's IDL registers them here, by the
// interface's UUID, before the server registers the interface or a binding calls it.
//
// On Windows the server stubs call the interface's manager functions themselves (they are named
// in the IDL). The agent's managers call its typed procedures directly; nxhost's hand each call to
// the handlers Server::RegisterIf took (CallRegisteredHandler). The client side turns a call by
// opnum and Args into a call of the generated client stub.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/rpc/Rpc.h"

namespace nx::rpc {

struct SystemStubs {
    // The generated RPC_IF_HANDLE of the server side (null: this process does not serve it).
    void* serverInterface = nullptr;
    // Makes one call through the generated client stubs on `binding` (an RPC_BINDING_HANDLE):
    // reads the [in] values of args, sets its [out] values, returns the call's status (null:
    // this process does not call the interface).
    RpcStatus (*call)(void* binding, uint16_t opnum, Args& args) = nullptr;
};

void RegisterSystemStubs(const Uuid& uuid, const SystemStubs& stubs);

// The interface id of a generated RPC_IF_HANDLE (server or client side).
Uuid InterfaceUuid(const void* ifHandle);

// Serves one call of a manager function through the handler a Server registered for the
// interface: `fill` sets the [in] values of the procedure's Args. RPC_S_UNKNOWN_IF when no server
// has the interface registered, RPC_S_CALL_FAILED when the handler threw.
RpcStatus CallRegisteredHandler(const Uuid& uuid, uint16_t opnum, const std::function<void(Args&)>& fill);

}  // namespace nx::rpc
