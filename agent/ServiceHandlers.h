// The procedures the agent service answers itself (typed, agent/Procedures.h), and the
// registration of all 17 with the RPC runtime.
//
//   0 Shutdown           wait 1 s; NotifyShutdown to the host when a callback binding exists;
//                        stop listening; unregister every interface without waiting for calls;
//                        return (the listen call in the process entry then returns, exit 0).
//                        A failing stop or unregister ends the process with the RPC status.
//   7 GetContactFolder   the 3000-unit buffer goes back exactly as received; result 1
//   8 GetCalendarFolder  result 0
//   9 NoOperation        nothing (the result stays 0)
//  16 BindCallback       (re)binds the host callback (agent/HostCallback.h)
#pragma once

#include <vector>

#include "agent/Procedures.h"
#include "platform/rpc/Rpc.h"

namespace nx::agent {

// One handler per procedure, index = opnum, for registering the agent interface.
std::vector<nx::rpc::Handler> BuildAgentHandlers();

}  // namespace nx::agent
