// Internals of Server that the runtime's tests and fuzz target reach.
#pragma once

#include <memory>
#include <string>

#include "platform/rpc/Rpc.h"
#include "platform/rpc/Transport.h"

namespace nx::rpc {

struct ServerAccess {
    // Serves one already connected byte stream (an in-memory pipe in tests) on a connection
    // thread of the server, as if it had been accepted on an endpoint whose bind_ack
    // secondary address is secondaryAddress.
    static void AttachStream(Server& server, std::unique_ptr<ByteStream> stream,
                             std::string secondaryAddress);
    // Calls admitted and not yet replied to.
    static unsigned CallsInFlight(Server& server);
    // Live connection threads.
    static std::size_t Connections(Server& server);
    // How long a PDU that has begun may take to arrive or drain (kMidPduTimeoutMs by default).
    static void SetMidPduTimeout(Server& server, int ms);
    // Connections served since the server was created.
    static std::size_t ConnectionsServed(Server& server);
};

}  // namespace nx::rpc
