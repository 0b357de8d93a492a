// Helpers for tests that speak raw PDUs to a server over an in-memory pipe.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/rpc/Pdu.h"
#include "platform/rpc/Server.h"
#include "platform/rpc/Transport.h"
#include "tests/platform/rpc/TestInterface.h"

namespace nx::rpc::test {

using Bytes = std::vector<uint8_t>;

// "05 00 0b ..." -> bytes; whitespace and '|' are ignored.
// A socket connection to a pipe endpoint of this test's world (null, and a test failure, when
// nobody listens).
inline std::unique_ptr<ByteStream> ConnectTo(const char* endpoint) {
    std::unique_ptr<ByteStream> s;
    EXPECT_EQ(ConnectEndpoint(endpoint, s), RPC_S_OK);
    return s;
}

inline bool SendBytes(ByteStream& s, const Bytes& b) {
    return s.WriteAll(b.data(), b.size(), 2000) == WriteResult::Ok;
}

inline Bytes Hex(std::string_view text) {
    Bytes out;
    int hi = -1;
    for (char c : text) {
        int v = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (v < 0) continue;
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<uint8_t>(hi << 4 | v));
            hi = -1;
        }
    }
    return out;
}

inline void Append(Bytes& b, const Bytes& more) {
    b.insert(b.end(), more.begin(), more.end());
}
inline void U16(Bytes& b, uint16_t v) {
    Append(b, {uint8_t(v), uint8_t(v >> 8)});
}
inline void U32(Bytes& b, uint32_t v) {
    Append(b, {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
}

// A little-endian PDU: common header with the right frag_length, then body.
inline Bytes Pdu(uint8_t ptype, uint8_t flags, uint32_t callId, const Bytes& body, uint16_t authLength = 0) {
    Bytes b{5, 0, ptype, flags, 0x10, 0, 0, 0};
    U16(b, static_cast<uint16_t>(16 + body.size()));
    U16(b, authLength);
    U32(b, callId);
    Append(b, body);
    return b;
}

inline Bytes RequestPdu(uint32_t callId, uint16_t opnum, const Bytes& stub, uint8_t flags = 3,
                        uint16_t ctx = 0) {
    Bytes body;
    U32(body, static_cast<uint32_t>(stub.size()));
    U16(body, ctx);
    U16(body, opnum);
    Append(body, stub);
    return Pdu(pdu::kRequest, flags, callId, body);
}

// NDR conformant varying string of UTF-16 units (terminator added).
inline Bytes VaryingString(std::u16string_view s, uint32_t maxCount = 0) {
    Bytes b;
    uint32_t actual = static_cast<uint32_t>(s.size() + 1);
    U32(b, maxCount ? maxCount : actual);
    U32(b, 0);
    U32(b, actual);
    for (char16_t c : s) U16(b, c);
    U16(b, 0);
    return b;
}

inline constexpr std::string_view kTestIfSyntax =
    "52 7a 1d 4f 1e 6c 8e 4b 9d 7f 0a 5b 3c 2e 1d 90 | 01 00 00 00";
inline constexpr std::string_view kNdrSyntax =
    "04 5d 88 8a eb 1c c9 11 9f e8 08 00 2b 10 48 60 | 02 00 00 00";

// A bind proposing NDR 2.0 for the test interface as context 0.
inline Bytes SimpleBind(uint32_t callId = 1, uint16_t maxXmit = 4280, uint16_t maxRecv = 4280) {
    Bytes body;
    U16(body, maxXmit);
    U16(body, maxRecv);
    Append(body, Hex("00 00 00 00 | 01 00 00 00 | 00 00 01 00"));
    Append(body, Hex(kTestIfSyntax));
    Append(body, Hex(kNdrSyntax));
    return Pdu(pdu::kBind, 3, callId, body);
}

// A server with the test interface and one raw connection to it over an in-memory pipe.
class RawPeer {
public:
    explicit RawPeer(std::atomic<int>* calls = nullptr) {
        EXPECT_EQ(server.RegisterIf(TestInterface(), TestHandlers(&server, calls)), RPC_S_OK);
        auto [a, b] = MakeMemoryPipe();
        ServerAccess::AttachStream(server, std::move(b), "\\PIPE\\NxTest");
        stream = std::move(a);
    }
    void Send(const Bytes& b) { ASSERT_EQ(stream->WriteAll(b.data(), b.size(), 1000), WriteResult::Ok); }
    // The next fragment from the server (fails the test on end of stream).
    pdu::Fragment Receive() {
        pdu::Fragment f;
        EXPECT_EQ(ReadFragment(*stream, f, 5000), ReadResult::Ok);
        return f;
    }
    // True when the server closed the connection (after whatever it still had to say).
    bool ClosedByServer() {
        uint8_t b;
        return stream->Read(&b, 1, 5000) == 0;
    }
    void Bind() {
        Send(SimpleBind());
        ASSERT_EQ(Receive().hdr.ptype, pdu::kBindAck);
    }
    // Sends one unfragmented request and returns the reply's fragments until the last.
    std::vector<pdu::Fragment> Call(uint32_t callId, uint16_t opnum, const Bytes& stub) {
        Send(RequestPdu(callId, opnum, stub));
        std::vector<pdu::Fragment> out;
        do {
            out.push_back(Receive());
        } while (!out.back().bytes.empty() && !(out.back().hdr.flags & pdu::PFC_LAST_FRAG));
        return out;
    }

    Server server;  // declared first: destroyed after the client end below
    std::unique_ptr<ByteStream> stream;
};

// The status of a fault PDU (0 when it is no fault).
inline uint32_t FaultStatus(const pdu::Fragment& f) {
    uint32_t st = 0;
    if (f.hdr.ptype != pdu::kFault || !pdu::ParseFault(f, st)) return 0;
    return st;
}

// The stub of a response (concatenated over fragments).
inline Bytes ResponseStub(const std::vector<pdu::Fragment>& frags) {
    Bytes out;
    for (const auto& f : frags) {
        pdu::Response r;
        EXPECT_EQ(f.hdr.ptype, pdu::kResponse);
        if (!pdu::ParseResponse(f, r)) ADD_FAILURE() << "bad response";
        out.insert(out.end(), r.stub.begin(), r.stub.end());
    }
    return out;
}

}  // namespace nx::rpc::test
