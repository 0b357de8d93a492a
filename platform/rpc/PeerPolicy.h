// Who may be at the other end of the agent's pipes, on every system: a process of this user, and
// nobody else. Both servers (the agent on "\pipe\MapiServer64", a host on "\pipe\OutlookServer32")
// serve only callers of their own user, and both clients send nothing to a listener of another
// user: another user's process could otherwise read and change the store through the agent, or
// receive the documents the agent delivers by taking the host's pipe name first.
//
// Each system finds out who is at the other end with its own means and hands the identities to
// this one rule, which decides and words the refusal (the same trace lines on every system):
//   POSIX:   the owner of the pipe directory (lstat) and SO_PEERCRED of every connection, both ways
//            (Transport.cpp, Server.cpp);
//   Windows: the security callback of every registered interface (the pipe client's token, through
//            RpcImpersonateClient) and, before every call a client makes, the token of the process
//            serving the pipe (GetNamedPipeServerProcessId) (PipeSecurity_win.cpp).
// docs/rpc.md and docs/windows.md describe both sides.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nx::rpc {

// A user as the system names it, as bytes: a uid (4 bytes, little-endian) on POSIX, a SID on
// Windows. Only compared, never interpreted here.
struct UserId {
    std::vector<uint8_t> bytes;
    friend bool operator==(const UserId&, const UserId&) = default;
};

// Which end the judged peer is: a caller a server is asked to serve, or a listener a client is
// about to call.
enum class PeerRole { Caller, Listener };

// The rule: true only for a peer known to run as `self`. A peer whose user the system would not
// tell (nullopt) counts as another user's; a process that cannot tell its own user (empty `self`)
// trusts nobody.
bool IsSameUser(const std::optional<UserId>& peer, const UserId& self);

// Judges the other end of a pipe: nullopt admits it; otherwise the refusal's trace line, which the
// caller passes to the trace sink before it refuses (RPC_S_ACCESS_DENIED):
//   a caller:   "rpc: connection refused: the peer runs as another user"
//   a listener: "rpc: <endpoint> refused: the listener runs as another user"
std::optional<std::string> PeerRefusal(PeerRole role, std::string_view endpoint,
                                       const std::optional<UserId>& peer, const UserId& self);

// True when a string binding's network address names this machine: "", ".", "localhost", the
// loopback addresses, "\\." and "\\localhost" (any case). Only a peer on this machine can be
// judged, so a binding to another one is refused (RPC_S_INVALID_NET_ADDR) on every system.
bool IsLocalAddress(std::string_view address);

}  // namespace nx::rpc
