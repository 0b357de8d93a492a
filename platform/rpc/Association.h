// The server side of one connection: presentation-context negotiation, reassembly of request
// fragments, dispatch of a complete call to its handler and the reply or fault. It does no
// I/O: the connection thread feeds it fragments and writes what it answers, so tests and the
// fuzz target drive it directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/rpc/Pdu.h"
#include "platform/rpc/Rpc.h"

namespace nx::rpc {

struct RegisteredIf {
    Interface iface;
    std::vector<Handler> handlers;
    unsigned active = 0;     // calls running in its handlers; guarded by the server's mutex
    bool registered = true;  // false once unregistered: new calls are refused
};

// What an association needs of its server.
class Dispatcher {
public:
    virtual ~Dispatcher() = default;
    // The interface registered for an abstract syntax (major equal, minor not above ours).
    virtual std::shared_ptr<RegisteredIf> FindInterface(const pdu::SyntaxId& abstract) = 0;
    // Admits one call: RPC_S_OK, or the status of the fault to send instead.
    virtual RpcStatus BeginCall(RegisteredIf& reg) = 0;
    virtual void EndCall(RegisteredIf& reg) = 0;
    // A new association group id.
    virtual uint32_t NewAssociationGroup() = 0;
    // Memory for half-received calls, shared by every connection of the server: false when
    // `bytes` more would go over the budget. Every reservation is released exactly once.
    virtual bool ReserveReassembly(std::size_t /*bytes*/) { return true; }
    virtual void ReleaseReassembly(std::size_t /*bytes*/) {}
};

class Association {
public:
    Association(Dispatcher& dispatcher, std::string secondaryAddress);
    ~Association();
    Association(const Association&) = delete;
    Association& operator=(const Association&) = delete;

    struct Output {
        std::vector<std::vector<uint8_t>> pdus;  // to send, in order
        bool close = false;                      // end the connection after sending them
        // The admitted call, whose handler has run: to be ended (Dispatcher::EndCall) before
        // the reply is sent, so its slot is free by the time the client has the reply.
        std::shared_ptr<RegisteredIf> admitted;
    };

    void OnFragment(const pdu::Fragment& f, Output& out);

    // A fragmented call has begun and its last fragment has not come yet.
    bool Reassembling() const { return m_reassembling; }

private:
    void OnBind(const pdu::Fragment& f, Output& out);
    void OnAlterContext(const pdu::Fragment& f, Output& out);
    void OnRequest(const pdu::Fragment& f, Output& out);
    void Execute(std::span<const uint8_t> stub, Output& out);
    std::vector<pdu::ContextResult> Negotiate(const std::vector<pdu::ContextElem>& contexts);
    void ProtocolError(uint32_t callId, Output& out);
    // Makes room for `more` stub bytes of the call being reassembled within the server's
    // budget; false when the budget refuses it.
    bool GrowStub(std::size_t more);
    // Drops the call being reassembled and gives its memory back.
    void DropPending();
    // A call over the 16 MiB cap or the server's budget: fault, then close.
    void RefuseForMemory(uint32_t callId, const pdu::Request& req, Output& out);

    Dispatcher& m_dispatcher;
    std::string m_secondaryAddress;
    bool m_bound = false;
    uint16_t m_maxXmitFrag = pdu::kDefaultMaxFrag;  // what we send
    uint16_t m_maxRecvFrag = pdu::kDefaultMaxFrag;  // what we announced we receive
    uint32_t m_assocGroupId = 0;
    std::map<uint16_t, std::shared_ptr<RegisteredIf>> m_contexts;

    struct Pending {
        uint32_t callId = 0;
        uint16_t contextId = 0;
        uint16_t opnum = 0;
        bool bigEndian = false;
        std::vector<uint8_t> stub;
    };
    bool m_reassembling = false;
    Pending m_call;
    std::size_t m_reserved = 0;  // of the server's reassembly budget, for m_call.stub
};

}  // namespace nx::rpc
