#include "platform/rpc/Pdu.h"

#include <algorithm>
#include <cstring>

#include "platform/system/ByteCursor.h"

namespace nx::rpc::pdu {
namespace {

using nx::sys::ByteReader;
using nx::sys::ByteWriter;

SyntaxId MakeSyntax(const char* text, uint32_t version) {
    SyntaxId s;
    Uuid::Parse(text, s.uuid);
    s.version = version;
    return s;
}

// Starts a PDU: common header with frag_length 0, patched by Finish.
std::size_t BeginPdu(std::vector<uint8_t>& buf, uint8_t ptype, uint8_t flags, uint32_t callId) {
    std::size_t start = buf.size();
    ByteWriter w(buf);
    w.Put8(5);
    w.Put8(0);
    w.Put8(ptype);
    w.Put8(flags);
    w.Put8(0x10);  // little-endian integers, ASCII characters
    w.Put8(0);     // IEEE floating point
    w.Put8(0);
    w.Put8(0);
    w.Put16(0);  // frag_length, patched
    w.Put16(0);  // auth_length: this runtime never authenticates
    w.Put32(callId);
    return start;
}

void FinishPdu(std::vector<uint8_t>& buf, std::size_t start) {
    uint16_t len = static_cast<uint16_t>(buf.size() - start);
    buf[start + 8] = static_cast<uint8_t>(len);
    buf[start + 9] = static_cast<uint8_t>(len >> 8);
}

// A reader over the body of a fragment, positioned after the common header and stopping
// before any authentication verifier.
ByteReader BodyReader(const Fragment& f) {
    std::size_t end = f.bytes.size();
    if (f.hdr.authLength) {
        std::size_t trailer = std::size_t{f.hdr.authLength} + 8;
        end = end >= kHeaderSize + trailer ? end - trailer : kHeaderSize;
    }
    ByteReader r(std::span<const uint8_t>(f.bytes.data(), end), f.hdr.IntegerOrder());
    r.Skip(kHeaderSize);
    return r;
}

// A GUID: three integers in the sender's representation, then eight plain bytes. The result is
// in the little-endian wire layout that Uuid keeps.
bool ReadUuid(ByteReader& r, Uuid& u) {
    uint32_t d1;
    uint16_t d2, d3;
    std::span<const uint8_t> d4;
    if (!r.Read(d1) || !r.Read(d2) || !r.Read(d3) || !r.Bytes(8, d4)) return false;
    for (int i = 0; i < 4; ++i) u.bytes[i] = static_cast<uint8_t>(d1 >> (8 * i));
    u.bytes[4] = static_cast<uint8_t>(d2);
    u.bytes[5] = static_cast<uint8_t>(d2 >> 8);
    u.bytes[6] = static_cast<uint8_t>(d3);
    u.bytes[7] = static_cast<uint8_t>(d3 >> 8);
    std::memcpy(u.bytes.data() + 8, d4.data(), 8);
    return true;
}

void WriteUuid(ByteWriter& w, const Uuid& u) {
    w.Bytes(u.bytes.data(), u.bytes.size());
}

bool ReadSyntax(ByteReader& r, SyntaxId& s) {
    return ReadUuid(r, s.uuid) && r.Read(s.version);
}

void WriteSyntax(ByteWriter& w, const SyntaxId& s) {
    WriteUuid(w, s.uuid);
    w.Put32(s.version);
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
    ByteReader r(data.subspan(8, 8), h.IntegerOrder());
    r.Read(h.fragLength);
    r.Read(h.authLength);
    r.Read(h.callId);
    if (h.versMajor != 5 || h.versMinor > 1) return FrameStatus::BadVersion;
    if ((h.drep[0] & 0xF0) > 0x10) return FrameStatus::BadDrep;
    if (h.fragLength < kHeaderSize) return FrameStatus::BadLength;
    if (h.authLength && std::size_t{h.authLength} + 8 + kHeaderSize > h.fragLength)
        return FrameStatus::BadLength;
    return FrameStatus::Ok;
}

bool ParseBind(const Fragment& f, Bind& out) {
    ByteReader r = BodyReader(f);
    uint8_t n, reserved8;
    uint16_t reserved16;
    if (!r.Read(out.maxXmitFrag) || !r.Read(out.maxRecvFrag) || !r.Read(out.assocGroupId)) return false;
    if (!r.Read(n) || !r.Read(reserved8) || !r.Read(reserved16)) return false;
    out.contexts.clear();
    // Each element takes at least 44 bytes, so n (at most 255) is bounded by the fragment.
    for (unsigned i = 0; i < n; ++i) {
        ContextElem e;
        uint8_t nTransfer;
        if (!r.Read(e.contextId) || !r.Read(nTransfer) || !r.Read(reserved8) || !ReadSyntax(r, e.abstract))
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
    ByteWriter w(buf);
    w.Put16(b.maxXmitFrag);
    w.Put16(b.maxRecvFrag);
    w.Put32(b.assocGroupId);
    w.Put8(static_cast<uint8_t>(b.contexts.size()));
    w.Put8(0);
    w.Put16(0);
    for (const ContextElem& e : b.contexts) {
        w.Put16(e.contextId);
        w.Put8(static_cast<uint8_t>(e.transfers.size()));
        w.Put8(0);
        WriteSyntax(w, e.abstract);
        for (const SyntaxId& s : e.transfers) WriteSyntax(w, s);
    }
    FinishPdu(buf, start);
    return buf;
}

bool ParseBindAck(const Fragment& f, BindAck& out) {
    ByteReader r = BodyReader(f);
    uint16_t secLen, reserved16;
    uint8_t n, reserved8;
    if (!r.Read(out.maxXmitFrag) || !r.Read(out.maxRecvFrag) || !r.Read(out.assocGroupId) || !r.Read(secLen))
        return false;
    std::span<const uint8_t> sec;
    if (!r.Bytes(secLen, sec)) return false;
    out.secondaryAddress.assign(sec.begin(), sec.end());
    if (!out.secondaryAddress.empty() && out.secondaryAddress.back() == '\0') out.secondaryAddress.pop_back();
    if (!r.Align(4) || !r.Read(n) || !r.Read(reserved8) || !r.Read(reserved16)) return false;
    out.results.clear();
    for (unsigned i = 0; i < n; ++i) {
        ContextResult c;
        if (!r.Read(c.result) || !r.Read(c.reason) || !ReadSyntax(r, c.transfer)) return false;
        out.results.push_back(c);
    }
    return true;
}

std::vector<uint8_t> EncodeBindAck(uint8_t ptype, uint32_t callId, const BindAck& a) {
    std::vector<uint8_t> buf;
    std::size_t start = BeginPdu(buf, ptype, PFC_FIRST_FRAG | PFC_LAST_FRAG, callId);
    ByteWriter w(buf);
    w.Put16(a.maxXmitFrag);
    w.Put16(a.maxRecvFrag);
    w.Put32(a.assocGroupId);
    // port_any_t: the length counts the terminating NUL; an empty address is length 0.
    if (a.secondaryAddress.empty()) {
        w.Put16(0);
    } else {
        w.Put16(static_cast<uint16_t>(a.secondaryAddress.size() + 1));
        w.Bytes(a.secondaryAddress.data(), a.secondaryAddress.size());
        w.Put8(0);
    }
    w.Align(4);
    w.Put8(static_cast<uint8_t>(a.results.size()));
    w.Put8(0);
    w.Put16(0);
    for (const ContextResult& c : a.results) {
        w.Put16(c.result);
        w.Put16(c.reason);
        WriteSyntax(w, c.transfer);
    }
    FinishPdu(buf, start);
    return buf;
}

bool ParseBindNak(const Fragment& f, uint16_t& reason) {
    ByteReader r = BodyReader(f);
    return r.Read(reason);
}

std::vector<uint8_t> EncodeBindNak(uint32_t callId, uint16_t reason) {
    std::vector<uint8_t> buf;
    std::size_t start = BeginPdu(buf, kBindNak, PFC_FIRST_FRAG | PFC_LAST_FRAG, callId);
    ByteWriter w(buf);
    w.Put16(reason);
    w.Put8(1);  // versions supported: 5.0
    w.Put8(5);
    w.Put8(0);
    w.Align(4);
    FinishPdu(buf, start);
    return buf;
}

bool ParseRequest(const Fragment& f, Request& out) {
    ByteReader r = BodyReader(f);
    if (!r.Read(out.allocHint) || !r.Read(out.contextId) || !r.Read(out.opnum)) return false;
    if (f.hdr.flags & PFC_OBJECT_UUID) {
        Uuid object;
        if (!ReadUuid(r, object)) return false;
    }
    return r.Bytes(r.Remaining(), out.stub);
}

bool ParseResponse(const Fragment& f, Response& out) {
    ByteReader r = BodyReader(f);
    uint8_t cancelCount, reserved;
    if (!r.Read(out.allocHint) || !r.Read(out.contextId) || !r.Read(cancelCount) || !r.Read(reserved))
        return false;
    return r.Bytes(r.Remaining(), out.stub);
}

bool ParseFault(const Fragment& f, uint32_t& status) {
    ByteReader r = BodyReader(f);
    uint32_t allocHint;
    uint16_t contextId;
    uint8_t cancelCount, reserved;
    return r.Read(allocHint) && r.Read(contextId) && r.Read(cancelCount) && r.Read(reserved) &&
           r.Read(status);
}

std::vector<uint8_t> EncodeFault(uint32_t callId, uint16_t contextId, RpcStatus status, bool didNotExecute) {
    std::vector<uint8_t> buf;
    uint8_t flags = PFC_FIRST_FRAG | PFC_LAST_FRAG | (didNotExecute ? PFC_DID_NOT_EXECUTE : 0);
    std::size_t start = BeginPdu(buf, kFault, flags, callId);
    ByteWriter w(buf);
    w.Put32(static_cast<uint32_t>(kFaultSize));  // alloc_hint, as Windows writes it
    w.Put16(contextId);
    w.Put8(0);  // cancel_count
    w.Put8(0);
    w.Put32(status);
    w.Put32(0);
    FinishPdu(buf, start);
    return buf;
}

namespace {

// Calls `fragment` with each fragment's flags and stub range: every fragment but the last
// carries a multiple of 8 stub bytes and at most maxFrag bytes with its header.
template <typename F>
void SplitStub(std::size_t headerSize, std::size_t stubSize, uint16_t maxFrag, F&& fragment) {
    const std::size_t room = maxFrag > headerSize + 8 ? (maxFrag - headerSize) & ~std::size_t{7} : 8;
    std::size_t pos = 0;
    do {
        const std::size_t n = std::min(room, stubSize - pos);
        const uint8_t flags = (pos == 0 ? PFC_FIRST_FRAG : 0) | (pos + n == stubSize ? PFC_LAST_FRAG : 0);
        fragment(flags, pos, n);
        pos += n;
    } while (pos < stubSize);
}

// One fragment of the stub's bytes [pos, pos + n) appended to `buf`.
void AppendFragment(std::vector<uint8_t>& buf, uint8_t ptype, uint8_t flags, uint32_t callId,
                    uint16_t contextId, uint16_t opnum, std::span<const uint8_t> stub, std::size_t pos,
                    std::size_t n) {
    std::size_t start = BeginPdu(buf, ptype, flags, callId);
    ByteWriter w(buf);
    w.Put32(static_cast<uint32_t>(stub.size() - pos));
    w.Put16(contextId);
    if (ptype == kRequest) {
        w.Put16(opnum);
    } else {
        w.Put8(0);  // cancel_count
        w.Put8(0);
    }
    w.Bytes(stub.data() + pos, n);
    FinishPdu(buf, start);
}

void EncodeFragments(uint8_t ptype, uint32_t callId, uint16_t contextId, uint16_t opnum,
                     std::span<const uint8_t> stub, uint16_t maxFrag,
                     std::vector<std::vector<uint8_t>>& out) {
    const std::size_t headerSize = ptype == kRequest ? kRequestHeaderSize : kResponseHeaderSize;
    SplitStub(headerSize, stub.size(), maxFrag, [&](uint8_t flags, std::size_t pos, std::size_t n) {
        std::vector<uint8_t>& buf = out.emplace_back();
        buf.reserve(headerSize + n);
        AppendFragment(buf, ptype, flags, callId, contextId, opnum, stub, pos, n);
    });
}

}  // namespace

void EncodeRequestFragments(uint32_t callId, uint16_t contextId, uint16_t opnum,
                            std::span<const uint8_t> stub, uint16_t maxFrag,
                            std::vector<std::vector<uint8_t>>& out) {
    EncodeFragments(kRequest, callId, contextId, opnum, stub, maxFrag, out);
}

void AppendRequestFragments(uint32_t callId, uint16_t contextId, uint16_t opnum,
                            std::span<const uint8_t> stub, uint16_t maxFrag, std::vector<uint8_t>& out) {
    SplitStub(kRequestHeaderSize, stub.size(), maxFrag, [&](uint8_t flags, std::size_t pos, std::size_t n) {
        AppendFragment(out, kRequest, flags, callId, contextId, opnum, stub, pos, n);
    });
}

void EncodeResponseFragments(uint32_t callId, uint16_t contextId, std::span<const uint8_t> stub,
                             uint16_t maxFrag, std::vector<std::vector<uint8_t>>& out) {
    EncodeFragments(kResponse, callId, contextId, 0, stub, maxFrag, out);
}

}  // namespace nx::rpc::pdu
