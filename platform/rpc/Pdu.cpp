#include "platform/rpc/Pdu.h"

#include <algorithm>
#include <cstring>

#include "platform/rpc/Wire.h"

namespace nx::rpc::pdu {
namespace {

SyntaxId MakeSyntax(const char* text, uint32_t version) {
    SyntaxId s;
    Uuid::Parse(text, s.uuid);
    s.version = version;
    return s;
}

// Starts a PDU: common header with frag_length 0, patched by Finish.
std::size_t BeginPdu(std::vector<uint8_t>& buf, uint8_t ptype, uint8_t flags, uint32_t callId) {
    std::size_t start = buf.size();
    wire::Writer w(buf);
    w.U8(5);
    w.U8(0);
    w.U8(ptype);
    w.U8(flags);
    w.U8(0x10);  // little-endian integers, ASCII characters
    w.U8(0);     // IEEE floating point
    w.U8(0);
    w.U8(0);
    w.U16(0);  // frag_length, patched
    w.U16(0);  // auth_length: this runtime never authenticates
    w.U32(callId);
    return start;
}

void FinishPdu(std::vector<uint8_t>& buf, std::size_t start) {
    uint16_t len = static_cast<uint16_t>(buf.size() - start);
    buf[start + 8] = static_cast<uint8_t>(len);
    buf[start + 9] = static_cast<uint8_t>(len >> 8);
}

// A reader over the body of a fragment, positioned after the common header and stopping
// before any authentication verifier.
wire::Reader BodyReader(const Fragment& f) {
    std::size_t end = f.bytes.size();
    if (f.hdr.authLength) {
        std::size_t trailer = std::size_t{f.hdr.authLength} + 8;
        end = end >= kHeaderSize + trailer ? end - trailer : kHeaderSize;
    }
    wire::Reader r(std::span<const uint8_t>(f.bytes.data(), end), f.hdr.BigEndian());
    r.Skip(kHeaderSize);
    return r;
}

bool ReadSyntax(wire::Reader& r, SyntaxId& s) {
    return r.Uuid(s.uuid) && r.U32(s.version);
}

void WriteSyntax(wire::Writer& w, const SyntaxId& s) {
    w.Uuid(s.uuid);
    w.U32(s.version);
}

}  // namespace

const SyntaxId& NdrSyntax() {
    static const SyntaxId s = MakeSyntax("8a885d04-1ceb-11c9-9fe8-08002b104860", 2);
    return s;
}

bool IsFeatureNegotiation(const SyntaxId& s, uint8_t& bitmask) {
    // Prefix 6CB71C2C-9812-4540 in the GUID's wire layout, version 1.0.
    static const uint8_t prefix[8] = {0x2c, 0x1c, 0xb7, 0x6c, 0x12, 0x98, 0x40, 0x45};
    if (std::memcmp(s.uuid.bytes.data(), prefix, 8) != 0 || s.version != 1) return false;
    bitmask = s.uuid.bytes[8];
    return true;
}

FrameStatus ParseHeader(std::span<const uint8_t> data, Header& h) {
    if (data.size() < kHeaderSize) return FrameStatus::NeedMore;
    h.versMajor = data[0];
    h.versMinor = data[1];
    h.ptype = data[2];
    h.flags = data[3];
    std::memcpy(h.drep, data.data() + 4, 4);
    wire::Reader r(data.subspan(8, 8), (h.drep[0] & 0xF0) == 0);
    r.U16(h.fragLength);
    r.U16(h.authLength);
    r.U32(h.callId);
    if (h.versMajor != 5 || h.versMinor > 1) return FrameStatus::BadVersion;
    if ((h.drep[0] & 0xF0) > 0x10) return FrameStatus::BadDrep;
    if (h.fragLength < kHeaderSize) return FrameStatus::BadLength;
    if (h.authLength && std::size_t{h.authLength} + 8 + kHeaderSize > h.fragLength)
        return FrameStatus::BadLength;
    return FrameStatus::Ok;
}

bool ParseBind(const Fragment& f, Bind& out) {
    wire::Reader r = BodyReader(f);
    uint8_t n, reserved8;
    uint16_t reserved16;
    if (!r.U16(out.maxXmitFrag) || !r.U16(out.maxRecvFrag) || !r.U32(out.assocGroupId)) return false;
    if (!r.U8(n) || !r.U8(reserved8) || !r.U16(reserved16)) return false;
    out.contexts.clear();
    // Each element takes at least 44 bytes, so n (at most 255) is bounded by the fragment.
    for (unsigned i = 0; i < n; ++i) {
        ContextElem e;
        uint8_t nTransfer;
        if (!r.U16(e.contextId) || !r.U8(nTransfer) || !r.U8(reserved8) || !ReadSyntax(r, e.abstract))
            return false;
        if (nTransfer == 0) return false;
        for (unsigned t = 0; t < nTransfer; ++t) {
            SyntaxId s;
            if (!ReadSyntax(r, s)) return false;
            e.transfers.push_back(s);
        }
        out.contexts.push_back(std::move(e));
    }
    return true;
}

std::vector<uint8_t> EncodeBind(uint8_t ptype, uint32_t callId, const Bind& b) {
    std::vector<uint8_t> buf;
    std::size_t start = BeginPdu(buf, ptype, PFC_FIRST_FRAG | PFC_LAST_FRAG, callId);
    wire::Writer w(buf);
    w.U16(b.maxXmitFrag);
    w.U16(b.maxRecvFrag);
    w.U32(b.assocGroupId);
    w.U8(static_cast<uint8_t>(b.contexts.size()));
    w.U8(0);
    w.U16(0);
    for (const ContextElem& e : b.contexts) {
        w.U16(e.contextId);
        w.U8(static_cast<uint8_t>(e.transfers.size()));
        w.U8(0);
        WriteSyntax(w, e.abstract);
        for (const SyntaxId& s : e.transfers) WriteSyntax(w, s);
    }
    FinishPdu(buf, start);
    return buf;
}

bool ParseBindAck(const Fragment& f, BindAck& out) {
    wire::Reader r = BodyReader(f);
    uint16_t secLen, reserved16;
    uint8_t n, reserved8;
    if (!r.U16(out.maxXmitFrag) || !r.U16(out.maxRecvFrag) || !r.U32(out.assocGroupId) || !r.U16(secLen))
        return false;
    std::span<const uint8_t> sec;
    if (!r.Bytes(secLen, sec)) return false;
    out.secondaryAddress.assign(sec.begin(), sec.end());
    if (!out.secondaryAddress.empty() && out.secondaryAddress.back() == '\0') out.secondaryAddress.pop_back();
    if (!r.Align(4) || !r.U8(n) || !r.U8(reserved8) || !r.U16(reserved16)) return false;
    out.results.clear();
    for (unsigned i = 0; i < n; ++i) {
        ContextResult c;
        if (!r.U16(c.result) || !r.U16(c.reason) || !ReadSyntax(r, c.transfer)) return false;
        out.results.push_back(c);
    }
    return true;
}

std::vector<uint8_t> EncodeBindAck(uint8_t ptype, uint32_t callId, const BindAck& a) {
    std::vector<uint8_t> buf;
    std::size_t start = BeginPdu(buf, ptype, PFC_FIRST_FRAG | PFC_LAST_FRAG, callId);
    wire::Writer w(buf);
    w.U16(a.maxXmitFrag);
    w.U16(a.maxRecvFrag);
    w.U32(a.assocGroupId);
    // port_any_t: the length counts the terminating NUL; an empty address is length 0.
    if (a.secondaryAddress.empty()) {
        w.U16(0);
    } else {
        w.U16(static_cast<uint16_t>(a.secondaryAddress.size() + 1));
        w.Bytes(a.secondaryAddress.data(), a.secondaryAddress.size());
        w.U8(0);
    }
    w.Align(4);
    w.U8(static_cast<uint8_t>(a.results.size()));
    w.U8(0);
    w.U16(0);
    for (const ContextResult& c : a.results) {
        w.U16(c.result);
        w.U16(c.reason);
        WriteSyntax(w, c.transfer);
    }
    FinishPdu(buf, start);
    return buf;
}

bool ParseBindNak(const Fragment& f, uint16_t& reason) {
    wire::Reader r = BodyReader(f);
    return r.U16(reason);
}

std::vector<uint8_t> EncodeBindNak(uint32_t callId, uint16_t reason) {
    std::vector<uint8_t> buf;
    std::size_t start = BeginPdu(buf, kBindNak, PFC_FIRST_FRAG | PFC_LAST_FRAG, callId);
    wire::Writer w(buf);
    w.U16(reason);
    w.U8(1);  // versions supported: 5.0
    w.U8(5);
    w.U8(0);
    w.Align(4);
    FinishPdu(buf, start);
    return buf;
}

bool ParseRequest(const Fragment& f, Request& out) {
    wire::Reader r = BodyReader(f);
    if (!r.U32(out.allocHint) || !r.U16(out.contextId) || !r.U16(out.opnum)) return false;
    if (f.hdr.flags & PFC_OBJECT_UUID) {
        Uuid object;
        if (!r.Uuid(object)) return false;
    }
    return r.Bytes(r.Remaining(), out.stub);
}

bool ParseResponse(const Fragment& f, Response& out) {
    wire::Reader r = BodyReader(f);
    uint8_t cancelCount, reserved;
    if (!r.U32(out.allocHint) || !r.U16(out.contextId) || !r.U8(cancelCount) || !r.U8(reserved)) return false;
    return r.Bytes(r.Remaining(), out.stub);
}

bool ParseFault(const Fragment& f, uint32_t& status) {
    wire::Reader r = BodyReader(f);
    uint32_t allocHint;
    uint16_t contextId;
    uint8_t cancelCount, reserved;
    return r.U32(allocHint) && r.U16(contextId) && r.U8(cancelCount) && r.U8(reserved) && r.U32(status);
}

std::vector<uint8_t> EncodeFault(uint32_t callId, uint16_t contextId, RpcStatus status, bool didNotExecute) {
    std::vector<uint8_t> buf;
    uint8_t flags = PFC_FIRST_FRAG | PFC_LAST_FRAG | (didNotExecute ? PFC_DID_NOT_EXECUTE : 0);
    std::size_t start = BeginPdu(buf, kFault, flags, callId);
    wire::Writer w(buf);
    w.U32(static_cast<uint32_t>(kFaultSize));  // alloc_hint, as Windows writes it
    w.U16(contextId);
    w.U8(0);  // cancel_count
    w.U8(0);
    w.U32(status);
    w.U32(0);
    FinishPdu(buf, start);
    return buf;
}

namespace {

void EncodeFragments(uint8_t ptype, uint32_t callId, uint16_t contextId, uint16_t opnum,
                     std::span<const uint8_t> stub, uint16_t maxFrag,
                     std::vector<std::vector<uint8_t>>& out) {
    const std::size_t headerSize = ptype == kRequest ? kRequestHeaderSize : kResponseHeaderSize;
    std::size_t room = maxFrag > headerSize + 8 ? (maxFrag - headerSize) & ~std::size_t{7} : 8;
    std::size_t pos = 0;
    do {
        std::size_t n = std::min(room, stub.size() - pos);
        uint8_t flags = (pos == 0 ? PFC_FIRST_FRAG : 0) | (pos + n == stub.size() ? PFC_LAST_FRAG : 0);
        std::vector<uint8_t> buf;
        buf.reserve(headerSize + n);
        std::size_t start = BeginPdu(buf, ptype, flags, callId);
        wire::Writer w(buf);
        w.U32(static_cast<uint32_t>(stub.size() - pos));
        w.U16(contextId);
        if (ptype == kRequest) {
            w.U16(opnum);
        } else {
            w.U8(0);  // cancel_count
            w.U8(0);
        }
        w.Bytes(stub.data() + pos, n);
        FinishPdu(buf, start);
        out.push_back(std::move(buf));
        pos += n;
    } while (pos < stub.size());
}

}  // namespace

void EncodeRequestFragments(uint32_t callId, uint16_t contextId, uint16_t opnum,
                            std::span<const uint8_t> stub, uint16_t maxFrag,
                            std::vector<std::vector<uint8_t>>& out) {
    EncodeFragments(kRequest, callId, contextId, opnum, stub, maxFrag, out);
}

void EncodeResponseFragments(uint32_t callId, uint16_t contextId, std::span<const uint8_t> stub,
                             uint16_t maxFrag, std::vector<std::vector<uint8_t>>& out) {
    EncodeFragments(kResponse, callId, contextId, 0, stub, maxFrag, out);
}

}  // namespace nx::rpc::pdu
