// Internals of Server that the runtime's tests and fuzz target reach.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/rpc/Rpc.h"
#include "platform/rpc/Transport.h"

namespace nx::rpc {

// Connections served at once (the connection table).
inline constexpr std::size_t kMaxConnections = 1234;
// Descriptors kept free for the process's own files (store, journal, trace, documents): a new
// connection that would leave fewer is refused, or an idle one evicted for it.
inline constexpr uint64_t kDescriptorReserve = 64;
// What all half-received (fragmented) calls of a server may hold together; a fragment beyond
// it fails its call with nca_s_fault_remote_no_memory and closes its connection.
inline constexpr std::size_t kMaxPartialCallBytes = std::size_t{64} << 20;

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
    // The connection table's size and the bytes all half-received calls may hold together
    // (kMaxConnections and kMaxPartialCallBytes by default).
    static void SetLimits(Server& server, std::size_t maxConnections, std::size_t reassemblyBudget);
    // Bytes held by half-received calls right now.
    static std::size_t ReassemblyHeld(Server& server);
};

}  // namespace nx::rpc
