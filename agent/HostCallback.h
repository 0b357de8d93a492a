// The agent's side of the host callback interface: the one process-wide callback binding and
// the three calls made through it.
//
// BindHostCallback() composes "ncacn_np:[\pipe\OutlookServer32]" and replaces the process-wide
// binding with a new one (the old one is released once no call uses it any more). Binding does
// not contact the host; the first callback call does. It is called by procedure BindCallback
// and at the end of every MAPILogOn. A failure to compose the string binding ends the process
// with the RPC status (see AgentProcess.h for how a status becomes an exit code); a failure to
// turn it into a binding is traced as "faild to bind outlookserver----..." and leaves the old
// binding in place.
//
// The Deliver calls are synchronous: they return once the host has answered (or the call has
// failed); the Send calls with CollectDelivery split one into its request and its answer. They are
// made from the thread of the read procedure that produces the documents.
// Their status is returned so a read can report a host that has gone away as a failed read.
//
// Every callback call is bounded (kCallbackTimeouts): a host that does not accept, does not
// answer the bind or does not reply fails the call (traced), so Shutdown and the reads go on
// instead of hanging on a broken host. NX_CALLBACK_TIMEOUT_MS (a whole number of milliseconds
// above 0) replaces all three, for tests that must not wait 15 s.
#pragma once

#include <string_view>

#include "platform/rpc/Rpc.h"

namespace nx::agent {

inline constexpr nx::rpc::CallTimeouts kCallbackTimeouts{
    .connectMs = 5000,
    .bindMs = 5000,
    .replyMs = 15000,  // a host may take a moment to store a large document
};

// The timeouts for a value of NX_CALLBACK_TIMEOUT_MS (null: unset); a value that is not a
// whole number of milliseconds above 0 keeps kCallbackTimeouts.
nx::rpc::CallTimeouts CallbackTimeoutsFor(const char* override);

void BindHostCallback();

// True once a binding exists (BindCallback or MAPILogOn ran).
bool HasHostCallback();

// NotifyShutdown, only when a binding exists; RPC_S_INVALID_BINDING when none does.
nx::rpc::RpcStatus NotifyHostShutdown();

// One contact / appointment document (UTF-8; it travels as UTF-16). RPC_S_INVALID_BINDING when
// no binding exists.
nx::rpc::RpcStatus DeliverContact(std::string_view xml);
nx::rpc::RpcStatus DeliverCalendar(std::string_view xml);

// The same calls in two steps (nx::rpc::Binding::Send and Receive), for a read that prepares the
// next document while the host handles one: Send* hands the document over (RPC_S_OK: it is on its
// way, and CollectDelivery on the same thread gives the host's answer; anything else is the
// call's status, nothing is on its way). One document per thread is on its way at a time.
nx::rpc::RpcStatus SendContact(std::string_view xml);
nx::rpc::RpcStatus SendCalendar(std::string_view xml);
nx::rpc::RpcStatus CollectDelivery();

}  // namespace nx::agent
