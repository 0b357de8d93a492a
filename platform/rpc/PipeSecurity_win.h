// Windows only: the system's means behind the pipe policy (PeerPolicy.h) for the system RPC
// runtime (Rpc_win.cpp), and the seam through which tests hand the two checks identities of
// their choosing.
//
// - Every server endpoint is created with UserOnlyDescriptor: owner and only grantee this
//   process's user; no administrators, no system account (the host is a desktop program of the
//   same user), nobody else.
// - Every interface is registered local-only with AdmitCaller as its security callback: the
//   caller's identity is the token of the pipe's client, taken with RpcImpersonateClient (the
//   named-pipe transport knows it without any RPC authentication, which the host does not use).
// - Before every call, a client asks AdmitListener who serves the pipe: it opens the pipe at
//   identification level (a listener cannot act as us) and compares the token user of the process
//   GetNamedPipeServerProcessId names. The runtime owns the connection a call then uses, so the
//   check cannot be tied to it; instead the binding keeps that connection to the judged server
//   open (PipeWitness) and judges again whenever the server has let go of it: a server that went
//   away may have left its pipe's name to another process, which the runtime would reach on its
//   own next connection.
//
// This header does not include windows.h (test files use the portable status constants, which
// the system headers turn into macros); the types are the system's: RPC_STATUS is long, a binding
// handle and a security descriptor are void*.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/rpc/PeerPolicy.h"
#include "platform/rpc/Rpc.h"

namespace nx::rpc::win {

// This process's user: the user SID of its token, read once. Empty when the token cannot be
// read, and then every peer is refused (PeerPolicy.h).
const UserId& ProcessUser();

// A connection to a pipe whose server a binding judged, kept open for the binding: while the
// server holds its end, the pipe is still that process's, so a call needs no new judgement.
// Closing it early also matters under Wine (8.0): a connection closed before Wine's runtime has
// taken it up leaves that runtime without a listening pipe for good.
class PipeWitness {
public:
    PipeWitness() = default;
    ~PipeWitness();
    PipeWitness(PipeWitness&& other) noexcept;
    PipeWitness& operator=(PipeWitness&& other) noexcept;
    PipeWitness(const PipeWitness&) = delete;
    PipeWitness& operator=(const PipeWitness&) = delete;

    void Hold(void* pipe);  // takes the handle of a connected pipe
    void Release();         // closes it
    bool Alive() const;     // a connection is held and its server has not closed its end

private:
    void* m_pipe = nullptr;
};

// Where the two checks learn who is at the other end. The system's means by default
// (SystemIdentitySources); a test sets sources of its own and puts the previous ones back.
struct IdentitySources {
    // The user of the client of `call` (the security callback's binding handle; null: the call
    // this thread serves); nullopt when the system does not say.
    std::optional<UserId> (*caller)(void* call) = nullptr;
    // The user of the process serving `pipe` ("\\.\pipe\Name"), waiting at most waitMs for a
    // busy pipe: RPC_S_OK with `user` set (nullopt: the pipe exists but the system does not say
    // whose it is) and the connection it judged in `witness`, RPC_S_SERVER_UNAVAILABLE when
    // nobody serves it, RPC_S_SERVER_TOO_BUSY when it stayed busy.
    RpcStatus (*listener)(const std::wstring& pipe, int waitMs, std::optional<UserId>& user,
                          PipeWitness& witness) = nullptr;
};
IdentitySources SystemIdentitySources();
// Makes `sources` the ones in use and returns those it replaces.
IdentitySources ExchangeIdentitySources(const IdentitySources& sources);

// The security callback of every interface a server registers (an RPC_IF_CALLBACK_FN): RPC_S_OK
// for a caller of this user; RPC_S_ACCESS_DENIED, traced, for anyone else.
long AdmitCaller(void* ifHandle, void* call);

// What a client does before it sends anything on `endpoint` ("\pipe\Name"): RPC_S_OK when the
// server `witness` holds is still there, or when a process of this user serves the pipe (then
// `witness` holds the connection judged); RPC_S_ACCESS_DENIED, traced, when another user's does
// or the system will not say whose it is; RPC_S_SERVER_UNAVAILABLE or RPC_S_SERVER_TOO_BUSY
// (waitMs; below 0: kListenerWaitMs) as the call itself would have failed.
RpcStatus AdmitListener(std::string_view endpoint, int waitMs, PipeWitness& witness);
inline constexpr int kListenerWaitMs = 30000;

// A self-relative security descriptor whose owner is this process's user and whose protected
// access list grants that user, and nobody else, all access. Null when the user is unknown.
class UserOnlyDescriptor {
public:
    UserOnlyDescriptor();
    ~UserOnlyDescriptor();
    UserOnlyDescriptor(const UserOnlyDescriptor&) = delete;
    UserOnlyDescriptor& operator=(const UserOnlyDescriptor&) = delete;
    void* get() const { return m_descriptor; }

private:
    void* m_descriptor = nullptr;  // LocalAlloc'd by the system
};

}  // namespace nx::rpc::win
