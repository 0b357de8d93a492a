// Client side: string bindings, binding handles and calls.
//
// A binding holds at most one connection. The first call connects and binds (one presentation
// context per interface: NDR 2.0 only; a second interface on the same binding is added with
// alter_context). A call reuses an idle connection without asking the system first; when the
// server has closed it, the request is refused before any byte leaves and the call reconnects
// and sends it again, once. A connection that fails while a request is being sent
// or its reply read is dropped and the call fails with RPC_S_CALL_FAILED (the server may have
// run it, so it is not sent again); the next call connects afresh. Under a silence bound every
// wait of a call also ends once the server has been silent for that long (RPC_S_CALL_CANCELLED).
#include "platform/rpc/Client.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cassert>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/rpc/Ndr.h"
#include "platform/rpc/Pdu.h"
#include "platform/rpc/Rpc.h"
#include "platform/rpc/Transport.h"
#include "platform/system/Ascii.h"

namespace nx::rpc {

struct Binding::Impl {
    using Connector = std::function<RpcStatus(std::unique_ptr<ByteStream>&, int timeoutMs)>;
    using Clock = std::chrono::steady_clock;

    std::string endpoint;
    Connector connect;
    CallTimeouts timeouts;
    int silenceMs = -1;
    SignOfLife signOfLife;
    Clock::time_point heard;  // the call's start, or the last fragment of an answer

    std::mutex m;
    std::unique_ptr<ByteStream> stream;
    uint32_t nextCallId = 1;
    uint16_t maxXmitFrag = pdu::kDefaultMaxFrag;
    using ContextKey = std::pair<std::array<uint8_t, 16>, uint16_t>;  // (uuid, major version)
    std::map<ContextKey, uint16_t> contexts;                          // -> context id
    uint16_t nextContext = 0;

    // A call's buffers, kept for the next call on the binding; one grown past kKeptBufferBytes
    // (a rare large document) is let go after its call.
    static constexpr std::size_t kKeptBufferBytes = 256 * 1024;
    std::vector<uint8_t> stubBuffer, wireBuffer, replyBuffer;
    void TrimBuffers() {
        for (std::vector<uint8_t>* buffer : {&stubBuffer, &wireBuffer, &replyBuffer})
            if (buffer->capacity() > kKeptBufferBytes) std::vector<uint8_t>().swap(*buffer);
    }

    // The call whose request went out and whose reply is still to be read (Send, then Receive):
    // the lock stays with the thread that sent it until Receive.
    struct Pending {
        uint32_t callId = 0;
        const Procedure* proc = nullptr;
        Args* args = nullptr;
    };
    std::optional<Pending> pending;
    std::atomic<std::thread::id> sender{};  // the thread a pending call's lock is with

    void Drop() {
        stream.reset();
        contexts.clear();
        nextContext = 0;
    }

    // `ms` (-1: no limit) no longer than the silence bound.
    int WithinSilence(int ms) const {
        if (silenceMs < 0) return ms;
        return ms < 0 ? silenceMs : std::min(ms, silenceMs);
    }

    // Each step of a write must make progress within this time.
    int WriteTimeoutMs() const {
        return WithinSilence(timeouts.replyMs >= 0 ? std::min(timeouts.replyMs, kMidPduTimeoutMs)
                                                   : kMidPduTimeoutMs);
    }

    // When the silence bound runs out: the last sign of life, the call's own or another.
    Clock::time_point SilenceEnd() const {
        Clock::time_point last = heard;
        if (signOfLife) last = std::max(last, signOfLife());
        return last + std::chrono::milliseconds(silenceMs);
    }

    // A wait that ran out under the silence bound is silence: traced, RPC_S_CALL_CANCELLED.
    RpcStatus Silenced(const char* what) const {
        TraceRpc("rpc: " + endpoint + ": no sign of life from the server for " + std::to_string(silenceMs) +
                 " ms during the " + what);
        return RPC_S_CALL_CANCELLED;
    }
    // `st`, or the silence bound's status when a step failed because the server stayed silent.
    RpcStatus OrSilenced(RpcStatus st, const char* what) const {
        return silenceMs >= 0 && Clock::now() >= SilenceEnd() ? Silenced(what) : st;
    }

    // Reads one fragment, waiting at most waitMs (-1: no limit) for it to begin and, under a
    // silence bound, no longer than the server stays silent: the wait is taken in pieces that
    // end where the silence would, and goes on while a sign of life moves that end. `silent`
    // tells which bound ran out when the result is Timeout.
    ReadResult ReadFragmentWithin(pdu::Fragment& f, int waitMs, bool& silent) {
        silent = false;
        if (silenceMs < 0) return ReadFragment(*stream, f, kMidPduTimeoutMs, waitMs);
        const auto waitEnd =
            waitMs < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(waitMs);
        for (;;) {
            const auto now = Clock::now();
            const auto silenceEnd = SilenceEnd();
            if (now >= silenceEnd) {
                silent = true;
                return ReadResult::Timeout;
            }
            if (now >= waitEnd) return ReadResult::Timeout;
            const auto piece =
                std::chrono::ceil<std::chrono::milliseconds>(std::min(waitEnd, silenceEnd) - now);
            const ReadResult rr =
                ReadFragment(*stream, f, WithinSilence(kMidPduTimeoutMs), static_cast<int>(piece.count()));
            if (rr == ReadResult::Ok) heard = Clock::now();
            if (rr != ReadResult::Timeout) return rr;
        }
    }

    // Reads the next fragment addressed to callId, waiting at most waitMs (-1: no limit) for it
    // to begin; other PDUs for older calls are skipped. A wait that runs out is traced as
    // `what` and gives RPC_S_CALL_FAILED; a silence bound that runs out, RPC_S_CALL_CANCELLED.
    RpcStatus ReadFor(uint32_t callId, pdu::Fragment& f, int waitMs, const char* what) {
        for (;;) {
            bool silent = false;
            const ReadResult rr = ReadFragmentWithin(f, waitMs, silent);
            if (silent) return Silenced(what);
            if (rr == ReadResult::Timeout) {
                TraceRpc("rpc: " + endpoint + ": no answer to the " + what + " within " +
                         std::to_string(waitMs) + " ms");
            }
            if (rr == ReadResult::Stalled) {
                TraceRpc("rpc: " + endpoint + ": the answer to the " + what + " stopped half-way");
            }
            if (rr != ReadResult::Ok) return RPC_S_CALL_FAILED;
            if (f.hdr.callId == callId) return RPC_S_OK;
            if (f.hdr.ptype != pdu::kResponse && f.hdr.ptype != pdu::kFault) return RPC_S_PROTOCOL_ERROR;
        }
    }

    // The interface's uuid bytes, not its text: a key is made on every call (the text cost 6.5 k
    // instructions a call).
    static ContextKey KeyOf(const Interface& iface) { return {iface.uuid.bytes, iface.versionMajor}; }

    // bind (fresh connection) or alter_context (further interface) for iface.
    RpcStatus AddContext(const Interface& iface, const ContextKey& key, uint16_t& contextId) {
        if (auto it = contexts.find(key); it != contexts.end()) {
            contextId = it->second;
            return RPC_S_OK;
        }
        const bool first = contexts.empty() && nextContext == 0;
        pdu::Bind b;
        pdu::ContextElem e;
        e.contextId = nextContext++;
        e.abstract.uuid = iface.uuid;
        e.abstract.version = iface.versionMajor | uint32_t{iface.versionMinor} << 16;
        e.transfers.push_back(pdu::NdrSyntax());
        b.contexts.push_back(e);
        uint32_t callId = nextCallId++;
        auto bytes = pdu::EncodeBind(first ? pdu::kBind : pdu::kAlterContext, callId, b);
        if (stream->WriteAll(bytes.data(), bytes.size(), WriteTimeoutMs()) != WriteResult::Ok)
            return OrSilenced(RPC_S_CALL_FAILED_DNE, "bind");
        pdu::Fragment f;
        // A server that closes the connection instead of answering the bind (too many
        // connections), or does not answer it in time, has not run anything.
        if (RpcStatus st = ReadFor(callId, f, timeouts.bindMs, "bind"); st != RPC_S_OK)
            return st == RPC_S_CALL_FAILED ? RPC_S_CALL_FAILED_DNE : st;
        if (f.hdr.ptype == pdu::kBindNak) {
            uint16_t reason = 0;
            pdu::ParseBindNak(f, reason);
            return reason == pdu::kNakTemporaryCongestion || reason == pdu::kNakLocalLimitExceeded
                       ? RPC_S_SERVER_TOO_BUSY
                       : RPC_S_CALL_FAILED_DNE;
        }
        pdu::BindAck ack;
        if (f.hdr.ptype != (first ? pdu::kBindAck : pdu::kAlterContextResp) || !pdu::ParseBindAck(f, ack) ||
            ack.results.size() != 1)
            return RPC_S_PROTOCOL_ERROR;
        const pdu::ContextResult& r = ack.results[0];
        if (r.result != pdu::kResultAcceptance) {
            return r.reason == pdu::kReasonTransferSyntaxesNotSupported ? RPC_S_UNSUPPORTED_TRANS_SYN
                                                                        : RPC_S_UNKNOWN_IF;
        }
        if (first) {
            // The server's max_xmit_frag is what we may send it... as long as it can receive it.
            maxXmitFrag = std::min<uint16_t>(pdu::kDefaultMaxFrag, ack.maxRecvFrag);
            if (maxXmitFrag < pdu::kMinRecvFrag) return RPC_S_PROTOCOL_ERROR;
        }
        contexts[key] = e.contextId;
        contextId = e.contextId;
        return RPC_S_OK;
    }

    // Marshals and sends the request of a call, the binding's lock held; on RPC_S_OK the call is
    // pending and ReceiveLocked reads its reply.
    RpcStatus SendLocked(const Interface& iface, uint16_t opnum, Args& args) {
        assert(!pending);  // one call at a time on a connection
        if (opnum >= iface.procedures.size()) return RPC_S_PROCNUM_OUT_OF_RANGE;
        const Procedure& proc = iface.procedures[opnum];
        if (args.size() != proc.params.size()) return RPC_S_INVALID_ARG;
        // The call's buffers are the binding's, reused from call to call (calls on a binding take
        // turns under its lock): a read sends thousands of documents of about the same size.
        // The stub is marshalled after room for a request header, so that a call that fits
        // one fragment goes out from this buffer without another copy.
        std::vector<uint8_t>& stub = stubBuffer;
        stub.assign(pdu::kRequestHeaderSize, 0);
        try {
            ndr::Marshal(proc, ndr::Pass::Request, args, stub);
        } catch (const std::bad_alloc&) {
            return RPC_S_OUT_OF_MEMORY;
        } catch (...) {
            return RPC_S_INVALID_ARG;  // Args built for another procedure
        }
        const std::size_t stubSize = stub.size() - pdu::kRequestHeaderSize;
        if (stubSize > pdu::kMaxCallStub) return RPC_S_INVALID_ARG;

        heard = Clock::now();  // the server's silence is counted from here
        // Bytes the server sent unasked make us start on a fresh connection.
        if (stream && stream->HasBufferedBytes()) Drop();
        const ContextKey key = KeyOf(iface);
        for (bool retried = false;; retried = true) {
            // A kept connection is used without asking the system first whether the server still
            // holds it: a request sent to a server that has closed its end is refused before any
            // byte of it leaves, and then the call reconnects and sends it again, once.
            const bool kept = stream != nullptr;
            if (!stream) {
                if (RpcStatus st = connect(stream, WithinSilence(timeouts.connectMs)); st != RPC_S_OK) {
                    stream.reset();
                    return st == RPC_S_SERVER_TOO_BUSY ? OrSilenced(st, "connect") : st;
                }
            }
            // A context added on a kept connection is a bind the server may no longer hear: that
            // rare case asks the system first, as a failed bind could not be told from a refusal.
            if (kept && !contexts.contains(key) && stream->PeerClosedOrReadable()) {
                Drop();
                continue;
            }
            uint16_t contextId = 0;
            if (RpcStatus st = AddContext(iface, key, contextId); st != RPC_S_OK) {
                Drop();
                return st;
            }

            const uint32_t callId = nextCallId++;
            // The fragments of a request go out in one write (the same bytes in one system call: a
            // contact document in UTF-16 takes two fragments).
            const std::vector<uint8_t>* wire = &stub;
            if (stub.size() <= maxXmitFrag) {
                std::vector<uint8_t>& header = wireBuffer;
                header.clear();
                pdu::AppendRequestFragments(callId, contextId, opnum, {}, maxXmitFrag, header);
                std::memcpy(stub.data(), header.data(), pdu::kRequestHeaderSize);
                stub[8] = static_cast<uint8_t>(stub.size());  // frag_length
                stub[9] = static_cast<uint8_t>(stub.size() >> 8);
                for (int i = 0; i < 4; ++i)
                    stub[16 + i] = static_cast<uint8_t>(stubSize >> (8 * i));  // alloc_hint
            } else {
                wireBuffer.clear();
                pdu::AppendRequestFragments(callId, contextId, opnum,
                                            std::span<const uint8_t>(stub).subspan(pdu::kRequestHeaderSize),
                                            maxXmitFrag, wireBuffer);
                wire = &wireBuffer;
            }
            const WriteResult wr = stream->WriteAll(wire->data(), wire->size(), WriteTimeoutMs());
            if (wr == WriteResult::Ok) {
                pending = Pending{callId, &proc, &args};
                return RPC_S_OK;
            }
            Drop();
            if (wr == WriteResult::PeerClosed && kept && !retried) continue;
            const RpcStatus st = OrSilenced(RPC_S_CALL_FAILED, "request");
            if (st == RPC_S_CALL_FAILED) TraceRpc("rpc: " + endpoint + ": the request could not be sent");
            return st;
        }
    }

    // Reads the pending call's reply and fills its [out] values, the binding's lock held.
    RpcStatus ReceiveLocked() {
        assert(pending);
        const Pending call = *pending;
        pending.reset();
        std::vector<uint8_t>& reply = replyBuffer;
        reply.clear();
        bool bigEndian = false;
        for (bool firstFrag = true;; firstFrag = false) {
            pdu::Fragment f;
            if (RpcStatus st = ReadFor(call.callId, f, timeouts.replyMs, "request"); st != RPC_S_OK) {
                Drop();
                return st;
            }
            if (f.hdr.ptype == pdu::kFault) {
                uint32_t status = RPC_S_CALL_FAILED;
                pdu::ParseFault(f, status);
                return status == RPC_S_OK ? RPC_S_CALL_FAILED : status;
            }
            pdu::Response resp;
            if (f.hdr.ptype != pdu::kResponse || !pdu::ParseResponse(f, resp) ||
                firstFrag != bool(f.hdr.flags & pdu::PFC_FIRST_FRAG) ||
                reply.size() + resp.stub.size() > pdu::kMaxCallStub) {
                Drop();
                return RPC_S_PROTOCOL_ERROR;
            }
            if (firstFrag) bigEndian = f.hdr.BigEndian();
            reply.insert(reply.end(), resp.stub.begin(), resp.stub.end());
            if (f.hdr.flags & pdu::PFC_LAST_FRAG) break;
        }
        return ndr::Unmarshal(*call.proc, ndr::Pass::Reply, reply, bigEndian, *call.args);
    }

    RpcStatus Call(const Interface& iface, uint16_t opnum, Args& args) {
        std::lock_guard lock(m);
        RpcStatus st = SendLocked(iface, opnum, args);
        if (st == RPC_S_OK) st = ReceiveLocked();
        TrimBuffers();
        return st;
    }

    RpcStatus Send(const Interface& iface, uint16_t opnum, Args& args) {
        m.lock();
        const RpcStatus st = SendLocked(iface, opnum, args);
        if (st != RPC_S_OK) {
            TrimBuffers();
            m.unlock();
            return st;
        }
        sender = std::this_thread::get_id();  // the lock stays with this thread until Receive
        return st;
    }

    RpcStatus Receive() {
        // Only the thread whose Send went through holds the lock and may read the reply.
        if (sender.load() != std::this_thread::get_id()) return RPC_S_INVALID_ARG;
        sender = std::thread::id();
        const RpcStatus st = ReceiveLocked();
        TrimBuffers();
        m.unlock();
        return st;
    }
};

Binding::Binding(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
Binding::~Binding() = default;

RpcStatus Binding::Call(const Interface& iface, uint16_t opnum, Args& args) {
    return m_impl->Call(iface, opnum, args);
}

RpcStatus Binding::Send(const Interface& iface, uint16_t opnum, Args& args) {
    return m_impl->Send(iface, opnum, args);
}

RpcStatus Binding::Receive() {
    return m_impl->Receive();
}

void Binding::SetTimeouts(const CallTimeouts& timeouts) {
    std::lock_guard lock(m_impl->m);
    m_impl->timeouts = timeouts;
}

void Binding::SetSilenceBound(int ms, SignOfLife signOfLife) {
    std::lock_guard lock(m_impl->m);
    m_impl->silenceMs = ms < 0 ? -1 : ms;
    m_impl->signOfLife = std::move(signOfLife);
}

const std::string& Binding::Endpoint() const {
    return m_impl->endpoint;
}

// ---------------------------------------------------------------------------------------------
// String bindings.

RpcStatus StringBindingCompose(std::string_view objUuid, std::string_view protseq,
                               std::string_view networkAddr, std::string_view endpoint,
                               std::string_view options, std::string& out) {
    std::string s;
    if (!objUuid.empty()) {
        Uuid u;
        if (!Uuid::Parse(objUuid, u)) return RPC_S_INVALID_STRING_UUID;
        s.append(objUuid).push_back('@');
    }
    s.append(protseq).push_back(':');
    s.append(networkAddr);
    if (!endpoint.empty() || !options.empty()) {
        s.push_back('[');
        s.append(endpoint);
        if (!options.empty()) s.append(",").append(options);
        s.push_back(']');
    }
    out = std::move(s);
    return RPC_S_OK;
}

namespace {

std::string_view Trim(std::string_view v) {
    return nx::sys::TrimAscii(v, " ");
}

}  // namespace

RpcStatus BindingFromStringBinding(std::string_view text, std::shared_ptr<Binding>& out) {
    std::string_view rest = text;
    if (auto at = rest.find('@'); at != std::string_view::npos && at < rest.find(':')) {
        Uuid u;
        if (!Uuid::Parse(rest.substr(0, at), u)) return RPC_S_INVALID_STRING_UUID;
        rest.remove_prefix(at + 1);
    }
    auto colon = rest.find(':');
    if (colon == std::string_view::npos) return RPC_S_INVALID_STRING_BINDING;
    std::string protseq = nx::sys::AsciiLower(rest.substr(0, colon));
    rest.remove_prefix(colon + 1);
    if (protseq != "ncacn_np") {
        for (std::string_view known :
             {"ncalrpc", "ncacn_ip_tcp", "ncadg_ip_udp", "ncacn_http", "ncacn_hvsocket"})
            if (protseq == known) return RPC_S_PROTSEQ_NOT_SUPPORTED;
        return RPC_S_INVALID_RPC_PROTSEQ;
    }
    std::string_view address = rest, inside;
    if (auto open = rest.find('['); open != std::string_view::npos) {
        if (rest.back() != ']' || rest.find(']') != rest.size() - 1) return RPC_S_INVALID_STRING_BINDING;
        address = rest.substr(0, open);
        inside = rest.substr(open + 1, rest.size() - open - 2);
    } else if (rest.find(']') != std::string_view::npos) {
        return RPC_S_INVALID_STRING_BINDING;
    }
    if (!IsLocalAddress(address)) return RPC_S_INVALID_NET_ADDR;
    // Inside the brackets: the endpoint, then options ("key=value", comma separated); the
    // endpoint may also be given as the option "endpoint=...". Other options are ignored.
    std::string endpoint;
    bool firstItem = true;
    while (true) {
        auto comma = inside.find(',');
        std::string_view item = Trim(inside.substr(0, comma));
        if (firstItem && item.find('=') == std::string_view::npos) {
            endpoint = item;
        } else if (auto eq = item.find('='); eq != std::string_view::npos &&
                                             nx::sys::AsciiLower(Trim(item.substr(0, eq))) == "endpoint") {
            endpoint = Trim(item.substr(eq + 1));
        }
        firstItem = false;
        if (comma == std::string_view::npos) break;
        inside.remove_prefix(comma + 1);
    }
    // Without an endpoint Windows would ask the endpoint mapper, which local pipes here do
    // not have.
    if (endpoint.empty()) return RPC_S_INVALID_ENDPOINT_FORMAT;
    std::string path;
    if (RpcStatus st = EndpointSocketPath(endpoint, path); st != RPC_S_OK) return st;
    auto impl = std::make_unique<Binding::Impl>();
    impl->endpoint = endpoint;
    impl->connect = [endpoint](std::unique_ptr<ByteStream>& s, int timeoutMs) {
        return ConnectEndpoint(endpoint, s, timeoutMs);
    };
    out = std::make_shared<Binding>(std::move(impl));
    return RPC_S_OK;
}

std::shared_ptr<Binding> MakeBinding(std::string endpoint, Connector connector) {
    auto impl = std::make_unique<Binding::Impl>();
    impl->endpoint = std::move(endpoint);
    impl->connect = [connector = std::move(connector)](std::unique_ptr<ByteStream>& s, int) {
        return connector(s);
    };
    return std::make_shared<Binding>(std::move(impl));
}

}  // namespace nx::rpc
