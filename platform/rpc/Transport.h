// Byte streams under the RPC engine, the Unix-socket implementation that stands in for a
// Windows named pipe, an in-memory pipe for tests, and the mapping of pipe endpoint names to
// socket paths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/rpc/Pdu.h"
#include "platform/rpc/PeerPolicy.h"
#include "platform/rpc/Rpc.h"

namespace nx::rpc {

// Once a PDU has begun, the rest of it must arrive (and a written PDU must drain) within this
// time; a peer that stalls mid-PDU loses its connection. Between PDUs a connection may idle.
inline constexpr int kMidPduTimeoutMs = 30000;

// How a WriteAll ended. PeerClosed: the peer had closed its end before any byte of this write
// went out, so nothing of it was delivered and the bytes may be sent again on a new connection.
enum class WriteResult { Ok, PeerClosed, Failed };

class ByteStream {
public:
    virtual ~ByteStream() = default;
    static constexpr long kError = -1;
    static constexpr long kTimeout = -2;
    // Reads up to n bytes, waiting at most timeoutMs (-1: no limit). Returns the count read
    // (> 0), 0 at end of stream, kError or kTimeout.
    virtual long Read(void* buf, std::size_t n, int timeoutMs) = 0;
    // Writes all n bytes; each step must make progress within timeoutMs.
    virtual WriteResult WriteAll(const void* buf, std::size_t n, int timeoutMs) = 0;
    // True when bytes were read from the system but not yet handed out (no system call).
    virtual bool HasBufferedBytes() const = 0;
    // Without blocking: true when the peer has closed its end or bytes are waiting (may ask
    // the system). A client about to add a context on an idle connection uses it to see that
    // the server dropped it.
    virtual bool PeerClosedOrReadable() = 0;
    // Ends both directions; blocked readers and writers return at once. Thread-safe.
    virtual void Shutdown() = 0;
};

// A connected Unix stream socket; owns the descriptor.
std::unique_ptr<ByteStream> MakeSocketStream(int fd);
// Connects to the socket of a pipe endpoint: RPC_S_SERVER_UNAVAILABLE when nobody listens,
// RPC_S_ACCESS_DENIED when the pipe directory fails the ownership check (CheckPipeDirectory)
// or the listener runs as another user, RPC_S_SERVER_TOO_BUSY when the listener did not take
// the connection within timeoutMs (-1: no limit).
RpcStatus ConnectEndpoint(std::string_view endpoint, std::unique_ptr<ByteStream>& out, int timeoutMs = -1);

// The user of this process (its effective uid), and of the process at the other end of a
// connected Unix socket (SO_PEERCRED; nullopt when the system does not say), for PeerPolicy.h.
UserId ProcessUser();
std::optional<UserId> PeerUser(int fd);

// Passes a text to the trace sink (SetTraceSink), if any.
void TraceRpc(const std::string& text);

// Two connected in-memory ends (unbounded buffers: writes never block).
std::pair<std::unique_ptr<ByteStream>, std::unique_ptr<ByteStream>> MakeMemoryPipe();

// Reads one whole fragment. The wait for its first byte lasts at most firstByteTimeoutMs (-1:
// no limit; Timeout when it runs out, nothing read); the rest must arrive within
// kMidPduTimeoutMs (or midTimeoutMs; Stalled when it does not, the stream then cut mid-PDU).
// frag_length is at most 65535 by construction.
enum class ReadResult { Ok, Eof, IoError, Timeout, Stalled, BadVersion, BadDrep, BadLength };
ReadResult ReadFragment(ByteStream& s, pdu::Fragment& out, int midTimeoutMs = kMidPduTimeoutMs,
                        int firstByteTimeoutMs = -1);

// The name of the pipe after "\pipe\", as given ("MapiServer64"), or an error status.
RpcStatus PipeNameOfEndpoint(std::string_view endpoint, std::string& name);
// The secondary address a bind_ack carries for an endpoint: "\PIPE\MapiServer64".
std::string SecondaryAddressOf(std::string_view endpoint);
// Creates the pipe directory (mode 0700, parents too) when missing, then checks it
// (CheckPipeDirectory).
RpcStatus EnsurePipeDirectory(std::string& dir);
// The pipe directory must be a real directory (not a symbolic link), owned by this user and
// writable by nobody else: RPC_S_ACCESS_DENIED otherwise, RPC_S_SERVER_UNAVAILABLE when it
// does not exist. Servers and clients both check it before they trust a socket in it.
RpcStatus CheckPipeDirectory(const std::string& dir);

}  // namespace nx::rpc
