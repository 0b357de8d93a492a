// Fuzz target: the server's PDU reader, reassembly, context negotiation and NDR decoder, fed a
// byte stream as a connection would deliver it; then the client-side decoders and the NDR
// decoder of every test procedure on the raw input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/rpc/Association.h"
#include "platform/rpc/Ndr.h"
#include "platform/rpc/Pdu.h"
#include "tests/platform/rpc/TestInterface.h"

namespace {

using namespace nx::rpc;

class FuzzDispatcher final : public Dispatcher {
public:
    FuzzDispatcher() : m_reg(std::make_shared<RegisteredIf>()) {
        m_reg->iface = test::TestInterface();
        m_reg->handlers = test::TestHandlers(nullptr);
        m_reg->handlers[test::kSleep] = [](Args& a) { a.Long(1) = static_cast<int32_t>(a.Text(0).size()); };
    }
    std::shared_ptr<RegisteredIf> FindInterface(const pdu::SyntaxId& s) override {
        return s.uuid == m_reg->iface.uuid && (s.version & 0xffff) == 1 ? m_reg : nullptr;
    }
    RpcStatus BeginCall(RegisteredIf& r) override {
        ++r.active;
        return RPC_S_OK;
    }
    void EndCall(RegisteredIf& r) override { --r.active; }
    uint32_t NewAssociationGroup() override { return 1; }

private:
    std::shared_ptr<RegisteredIf> m_reg;
};

// Everything the server sends must itself be a well-formed PDU.
void CheckOwnOutput(const std::vector<uint8_t>& bytes) {
    pdu::Fragment f;
    if (pdu::ParseHeader(bytes, f.hdr) != pdu::FrameStatus::Ok || f.hdr.fragLength != bytes.size())
        std::abort();
    f.bytes = bytes;
    pdu::BindAck ack;
    pdu::Response resp;
    uint32_t status;
    uint16_t reason;
    bool ok = false;
    switch (f.hdr.ptype) {
        case pdu::kBindAck:
        case pdu::kAlterContextResp:
            ok = pdu::ParseBindAck(f, ack);
            break;
        case pdu::kResponse:
            ok = pdu::ParseResponse(f, resp);
            break;
        case pdu::kFault:
            ok = pdu::ParseFault(f, status);
            break;
        case pdu::kBindNak:
            ok = pdu::ParseBindNak(f, reason);
            break;
    }
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FuzzDispatcher dispatcher;
    std::span<const uint8_t> input(data, size);

    Association assoc(dispatcher, "\\PIPE\\Fuzz");
    std::size_t pos = 0;
    while (pos < size) {
        pdu::Fragment f;
        if (pdu::ParseHeader(input.subspan(pos), f.hdr) != pdu::FrameStatus::Ok) break;
        if (f.hdr.fragLength > size - pos) break;
        f.bytes.assign(data + pos, data + pos + f.hdr.fragLength);
        pos += f.hdr.fragLength;
        Association::Output out;
        assoc.OnFragment(f, out);
        if (out.admitted) dispatcher.EndCall(*out.admitted);
        for (const auto& p : out.pdus) CheckOwnOutput(p);
        if (out.close) break;

        // The same fragment through the client-side decoders.
        pdu::BindAck ack;
        pdu::Response resp;
        pdu::Request req;
        uint32_t status;
        uint16_t reason;
        pdu::ParseBindAck(f, ack);
        pdu::ParseResponse(f, resp);
        pdu::ParseRequest(f, req);
        pdu::ParseFault(f, status);
        pdu::ParseBindNak(f, reason);
    }

    // The NDR decoder on the raw bytes, as a request and as a reply, in both representations.
    for (const Procedure& proc : test::TestInterface().procedures) {
        for (bool big : {false, true}) {
            Args a(proc);
            ndr::Unmarshal(proc, ndr::Pass::Request, input, big, a);
            Args b(proc);
            ndr::Unmarshal(proc, ndr::Pass::Reply, input, big, b);
        }
    }
    return 0;
}
