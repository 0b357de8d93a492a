#include "platform/rpc/Association.h"

#include <algorithm>
#include <cassert>
#include <new>

#include "platform/rpc/Ndr.h"

namespace nx::rpc {

// The call a handler is running on this thread, so that UnregisterIf called from a handler
// does not wait for its own call.
thread_local const RegisteredIf* t_currentInterface = nullptr;

Association::Association(Dispatcher& dispatcher, std::string secondaryAddress)
    : m_dispatcher(dispatcher), m_secondaryAddress(std::move(secondaryAddress)) {}

Association::~Association() {
    DropPending();
}

bool Association::GrowStub(std::size_t more) {
    std::vector<uint8_t>& stub = m_call.stub;
    assert(m_reassembling);
    assert(m_reserved <= stub.capacity());  // so `extra` below cannot wrap
    const std::size_t need = stub.size() + more;
    if (need <= stub.capacity()) return true;
    // Grown by doubling (as the vector would), but never past the call cap, and every byte of
    // capacity counted against the budget.
    const std::size_t capacity = std::max(need, std::min(stub.capacity() * 2, pdu::kMaxCallStub));
    const std::size_t extra = capacity - m_reserved;
    if (!m_dispatcher.ReserveReassembly(extra)) return false;
    m_reserved += extra;
    stub.reserve(capacity);
    return true;
}

void Association::DropPending() {
    m_reassembling = false;
    // A new vector, not `= {}`: assigning an empty list keeps the capacity, which the budget
    // would then no longer count (and the next call would reuse unreserved).
    m_call.stub = std::vector<uint8_t>();
    if (m_reserved != 0) m_dispatcher.ReleaseReassembly(m_reserved);
    m_reserved = 0;
}

void Association::ProtocolError(uint32_t callId, Output& out) {
    out.pdus.push_back(pdu::EncodeFault(callId, 0, NCA_S_PROTO_ERROR, true));
    out.close = true;
}

void Association::OnFragment(const pdu::Fragment& f, Output& out) {
    // What the last fragment left: memory held for a call only while it is being reassembled,
    // and never past the cap.
    assert(m_reassembling || (m_reserved == 0 && m_call.stub.capacity() == 0));
    assert(m_call.stub.size() <= pdu::kMaxCallStub);
    switch (f.hdr.ptype) {
        case pdu::kBind:
            OnBind(f, out);
            break;
        case pdu::kAlterContext:
            OnAlterContext(f, out);
            break;
        case pdu::kRequest:
            OnRequest(f, out);
            break;
        case pdu::kOrphaned:
            // The client gave up a call it was still sending: drop what was reassembled.
            if (m_reassembling && f.hdr.callId == m_call.callId) DropPending();
            break;
        case pdu::kCoCancel:
        case pdu::kAuth3:
        case pdu::kShutdown:
            break;  // no cancellable work, no security contexts: nothing to do
        default:
            ProtocolError(f.hdr.callId, out);  // a PDU only a server sends
            break;
    }
}

std::vector<pdu::ContextResult> Association::Negotiate(const std::vector<pdu::ContextElem>& contexts) {
    std::vector<pdu::ContextResult> results;
    for (const pdu::ContextElem& e : contexts) {
        pdu::ContextResult r;
        uint8_t bits = 0;
        if (e.transfers.size() == 1 && pdu::IsFeatureNegotiation(e.transfers[0], bits)) {
            // MS-RPCE 3.3.1.5.3: negotiate_ack, the reason carrying the features both sides
            // support. Orphaned PDUs never end a connection here; there is no security
            // context to multiplex.
            r.result = pdu::kResultNegotiateAck;
            r.reason = bits & pdu::kFeatureKeepConnectionOnOrphan;
        } else if (auto reg = m_dispatcher.FindInterface(e.abstract); !reg) {
            r.result = pdu::kResultProviderRejection;
            r.reason = pdu::kReasonAbstractSyntaxNotSupported;
        } else if (std::find(e.transfers.begin(), e.transfers.end(), pdu::NdrSyntax()) == e.transfers.end()) {
            r.result = pdu::kResultProviderRejection;
            r.reason = pdu::kReasonTransferSyntaxesNotSupported;
        } else {
            r.result = pdu::kResultAcceptance;
            r.transfer = pdu::NdrSyntax();
            m_contexts[e.contextId] = std::move(reg);
        }
        results.push_back(r);
    }
    return results;
}

void Association::OnBind(const pdu::Fragment& f, Output& out) {
    pdu::Bind bind;
    uint16_t nak = pdu::kNakReasonNotSpecified;
    bool refuse = true;
    if (m_bound) {
        nak = pdu::kNakReasonNotSpecified;  // one bind per connection; more contexts need alter_context
    } else if (f.hdr.authLength != 0) {
        nak = pdu::kNakAuthenticationTypeNotRecognized;  // these interfaces have no authentication
    } else if (!pdu::ParseBind(f, bind)) {
        nak = pdu::kNakReasonNotSpecified;
    } else if (bind.maxRecvFrag < pdu::kMinRecvFrag) {
        nak = pdu::kNakLocalLimitExceeded;  // below what every DCE peer must be able to receive
    } else {
        refuse = false;
    }
    if (refuse) {
        out.pdus.push_back(pdu::EncodeBindNak(f.hdr.callId, nak));
        out.close = true;
        return;
    }
    m_bound = true;
    m_maxXmitFrag = std::min(pdu::kDefaultMaxFrag, bind.maxRecvFrag);
    // What we announce we receive: ours, or less when the client will never send more (but
    // not below what every peer must accept).
    m_maxRecvFrag = std::min(pdu::kDefaultMaxFrag, std::max(bind.maxXmitFrag, pdu::kMinRecvFrag));
    // A client joining a group keeps its id (groups carry no shared state here: no context
    // handles); a new association gets a fresh one.
    m_assocGroupId = bind.assocGroupId ? bind.assocGroupId : m_dispatcher.NewAssociationGroup();
    pdu::BindAck ack;
    ack.maxXmitFrag = m_maxXmitFrag;
    ack.maxRecvFrag = m_maxRecvFrag;
    ack.assocGroupId = m_assocGroupId;
    ack.secondaryAddress = m_secondaryAddress;
    ack.results = Negotiate(bind.contexts);
    out.pdus.push_back(pdu::EncodeBindAck(pdu::kBindAck, f.hdr.callId, ack));
}

void Association::OnAlterContext(const pdu::Fragment& f, Output& out) {
    pdu::Bind bind;
    if (!m_bound || f.hdr.authLength != 0 || !pdu::ParseBind(f, bind)) {
        ProtocolError(f.hdr.callId, out);
        return;
    }
    pdu::BindAck ack;
    ack.maxXmitFrag = m_maxXmitFrag;
    ack.maxRecvFrag = m_maxRecvFrag;
    ack.assocGroupId = m_assocGroupId;
    ack.results = Negotiate(bind.contexts);
    out.pdus.push_back(pdu::EncodeBindAck(pdu::kAlterContextResp, f.hdr.callId, ack));
}

void Association::OnRequest(const pdu::Fragment& f, Output& out) {
    pdu::Request req;
    if (!m_bound || f.hdr.authLength != 0 || !pdu::ParseRequest(f, req)) {
        ProtocolError(f.hdr.callId, out);
        return;
    }
    if (f.hdr.flags & pdu::PFC_FIRST_FRAG) {
        if (m_reassembling) {  // a new call before the last one was complete: no multiplexing
            ProtocolError(f.hdr.callId, out);
            return;
        }
        if (f.hdr.flags & pdu::PFC_LAST_FRAG) {  // the whole call in one fragment: no copy
            m_call.callId = f.hdr.callId;
            m_call.contextId = req.contextId;
            m_call.opnum = req.opnum;
            m_call.bigEndian = f.hdr.BigEndian();
            Execute(req.stub, out);
            return;
        }
        m_reassembling = true;
        m_call.callId = f.hdr.callId;
        m_call.contextId = req.contextId;
        m_call.opnum = req.opnum;
        m_call.bigEndian = f.hdr.BigEndian();
        m_call.stub.clear();
        // alloc_hint (the bytes still to come) sizes the buffer once, so an honest call is never
        // copied while it grows; a lying hint costs at most the call cap, charged to the budget
        // like received bytes (pages never written are not even touched).
        if (!GrowStub(std::min<std::size_t>(req.allocHint, pdu::kMaxCallStub)))
            return RefuseForMemory(f.hdr.callId, req, out);
    } else if (!m_reassembling || f.hdr.callId != m_call.callId) {
        ProtocolError(f.hdr.callId, out);
        return;
    }
    if (m_call.stub.size() + req.stub.size() > pdu::kMaxCallStub || !GrowStub(req.stub.size()))
        return RefuseForMemory(f.hdr.callId, req, out);
    m_call.stub.insert(m_call.stub.end(), req.stub.begin(), req.stub.end());
    if (!(f.hdr.flags & pdu::PFC_LAST_FRAG)) return;
    m_reassembling = false;
    std::vector<uint8_t> stub = std::move(m_call.stub);
    Execute(stub, out);
    stub = std::vector<uint8_t>();
    DropPending();  // the memory is free only now
}

void Association::RefuseForMemory(uint32_t callId, const pdu::Request& req, Output& out) {
    DropPending();
    out.pdus.push_back(pdu::EncodeFault(callId, req.contextId, NCA_S_FAULT_REMOTE_NO_MEMORY, true));
    out.close = true;
}

void Association::Execute(std::span<const uint8_t> stub, Output& out) {
    assert(m_bound && !m_reassembling);  // a whole call, on a bound connection
    // The reply's fragments need room for their header (EncodeFragments).
    assert(m_maxXmitFrag >= pdu::kMinRecvFrag);
    const uint32_t callId = m_call.callId;
    const uint16_t ctx = m_call.contextId;
    auto fault = [&](RpcStatus st, bool didNotExecute) {
        out.pdus.push_back(pdu::EncodeFault(callId, ctx, st, didNotExecute));
    };
    auto it = m_contexts.find(ctx);
    if (it == m_contexts.end()) return fault(NCA_S_UNK_IF, true);
    std::shared_ptr<RegisteredIf> reg = it->second;
    if (m_call.opnum >= reg->iface.procedures.size() || !reg->handlers[m_call.opnum])
        return fault(NCA_S_OP_RNG_ERROR, true);
    if (RpcStatus st = m_dispatcher.BeginCall(*reg); st != RPC_S_OK) return fault(st, true);
    out.admitted = reg;

    const Procedure& proc = reg->iface.procedures[m_call.opnum];
    try {
        Args args(proc);
        if (ndr::Unmarshal(proc, ndr::Pass::Request, stub, m_call.bigEndian, args) != RPC_S_OK)
            return fault(RPC_X_BAD_STUB_DATA, true);
        t_currentInterface = reg.get();
        try {
            reg->handlers[m_call.opnum](args);
        } catch (...) {
            t_currentInterface = nullptr;
            throw;
        }
        t_currentInterface = nullptr;
        std::vector<uint8_t> stub;
        ndr::Marshal(proc, ndr::Pass::Reply, args, stub);
        pdu::EncodeResponseFragments(callId, ctx, stub, m_maxXmitFrag, out.pdus);
    } catch (const std::bad_alloc&) {
        out.pdus.clear();
        fault(RPC_S_OUT_OF_MEMORY, false);
    } catch (...) {
        out.pdus.clear();
        fault(RPC_S_CALL_FAILED, false);
    }
}

}  // namespace nx::rpc
