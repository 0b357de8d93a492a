// Wire conformance: exact bytes of the PDUs the server answers to hand-written client PDUs.
#include <gtest/gtest.h>

#include "tests/platform/rpc/WireHelpers.h"

namespace nx::rpc::test {
namespace {

TEST(RpcWire, BindWithNdr64AndFeatureNegotiationNextToNdr) {
    // Three contexts as a Windows client proposes them: NDR, NDR64, bind-time feature
    // negotiation with bits 0x03.
    Bytes body = Hex("b8 10 b8 10 | 00 00 00 00 | 03 00 00 00");
    Append(body, Hex("00 00 01 00"));
    Append(body, Hex(kTestIfSyntax));
    Append(body, Hex(kNdrSyntax));
    Append(body, Hex("01 00 01 00"));
    Append(body, Hex(kTestIfSyntax));
    Append(body, Hex("33 05 71 71 ba be 37 49 83 19 b5 db ef 9c cc 36 | 01 00 00 00"));
    Append(body, Hex("02 00 01 00"));
    Append(body, Hex(kTestIfSyntax));
    Append(body, Hex("2c 1c b7 6c 12 98 40 45 03 00 00 00 00 00 00 00 | 01 00 00 00"));
    RawPeer peer;
    peer.Send(Pdu(pdu::kBind, 3, 1, body));
    pdu::Fragment ack = peer.Receive();

    Bytes expected =
        Hex("05 00 0c 03 10 00 00 00 74 00 00 00 01 00 00 00"  // header, frag_length 116
            "b8 10 b8 10 00 5a 00 00"                          // max frags 4280, association group
            "0d 00 5c 50 49 50 45 5c 4e 78 54 65 73 74 00"     // "\PIPE\NxTest" with its NUL
            "00"                                               // pad to 4
            "03 00 00 00"                                      // three results
            "00 00 00 00");                                    // acceptance, NDR 2.0
    Append(expected, Hex(kNdrSyntax));
    Append(expected, Hex("02 00 02 00"));  // provider rejection: transfer syntaxes not supported
    Append(expected, Bytes(20, 0));
    Append(expected, Hex("03 00 02 00"));  // negotiate_ack, keep-connection-on-orphan accepted
    Append(expected, Bytes(20, 0));
    EXPECT_EQ(ack.bytes, expected);
}

TEST(RpcWire, BindRejectsUnknownInterfaceAndVersion) {
    struct Case {
        const char* name;
        const char* abstractSyntax;
        uint16_t reason;
    } cases[] = {
        {"unknown uuid", "00 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff | 01 00 00 00", 1},
        {"major 2", "52 7a 1d 4f 1e 6c 8e 4b 9d 7f 0a 5b 3c 2e 1d 90 | 02 00 00 00", 1},
        {"minor 1 above ours", "52 7a 1d 4f 1e 6c 8e 4b 9d 7f 0a 5b 3c 2e 1d 90 | 01 00 01 00", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes body = Hex("b8 10 b8 10 00 00 00 00 01 00 00 00 | 00 00 01 00");
        Append(body, Hex(c.abstractSyntax));
        Append(body, Hex(kNdrSyntax));
        RawPeer peer;
        peer.Send(Pdu(pdu::kBind, 3, 7, body));
        pdu::Fragment f = peer.Receive();
        pdu::BindAck ack;
        ASSERT_TRUE(pdu::ParseBindAck(f, ack));
        ASSERT_EQ(ack.results.size(), 1u);
        EXPECT_EQ(ack.results[0].result, pdu::kResultProviderRejection);
        EXPECT_EQ(ack.results[0].reason, c.reason);
        EXPECT_EQ(ack.results[0].transfer, pdu::SyntaxId{});
        // A request on the rejected context faults as an unknown interface.
        peer.Send(RequestPdu(8, test::kPing, {}));
        EXPECT_EQ(FaultStatus(peer.Receive()), NCA_S_UNK_IF);
    }
}

TEST(RpcWire, BindRefusals) {
    struct Case {
        const char* name;
        Bytes pdu;
        uint16_t nakReason;
    } cases[] = {
        {"authentication",
         [] {
             Bytes bind = SimpleBind();
             return Pdu(pdu::kBind, 3, 1, Bytes(bind.begin() + 16, bind.end()), 8);
         }(),
         pdu::kNakAuthenticationTypeNotRecognized},
        {"max_recv_frag below 1432", SimpleBind(1, 4280, 1024), pdu::kNakLocalLimitExceeded},
        {"rpc version 4",
         [] {
             Bytes b = SimpleBind();
             b[0] = 4;
             return b;
         }(),
         pdu::kNakProtocolVersionNotSupported},
        {"truncated context list",
         [] {
             Bytes b = SimpleBind();
             b.resize(b.size() - 10);
             b[8] = static_cast<uint8_t>(b.size());
             return b;
         }(),
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawPeer peer;
        peer.Send(c.pdu);
        pdu::Fragment f = peer.Receive();
        ASSERT_EQ(f.hdr.ptype, pdu::kBindNak);
        uint16_t reason = 99;
        ASSERT_TRUE(pdu::ParseBindNak(f, reason));
        EXPECT_EQ(reason, c.nakReason);
        EXPECT_TRUE(peer.ClosedByServer());
    }
}

TEST(RpcWire, AlterContextAddsContextWithEmptySecondaryAddress) {
    RawPeer peer;
    peer.Bind();
    Bytes body = Hex("b8 10 b8 10 00 5a 00 00 01 00 00 00 | 05 00 01 00");
    Append(body, Hex(kTestIfSyntax));
    Append(body, Hex(kNdrSyntax));
    peer.Send(Pdu(pdu::kAlterContext, 3, 2, body));
    Bytes expected =
        Hex("05 00 0f 03 10 00 00 00 38 00 00 00 02 00 00 00 b8 10 b8 10 00 5a 00 00 00 00 00 00"
            "01 00 00 00 00 00 00 00");
    Append(expected, Hex(kNdrSyntax));
    EXPECT_EQ(peer.Receive().bytes, expected);
    peer.Send(RequestPdu(3, kChar, Hex("41 00"), 3, 5));
    EXPECT_EQ(peer.Receive().bytes,
              Hex("05 00 02 03 10 00 00 00 1c 00 00 00 03 00 00 00 04 00 00 00 05 00 00 00"
                  "41 00 00 00"));
}

// Each shape in a request and in its response, byte for byte.
TEST(RpcWire, EveryShapeInRequestAndResponse) {
    struct Case {
        const char* name;
        uint16_t opnum;
        Bytes requestStub;
        Bytes replyStub;
    } cases[] = {
        {"no parameters", kPing, {}, {}},
        {"single wide character", kChar, Hex("41 00"), Hex("41 00 00 00")},
        {"zero character", kChar, Hex("00 00"), Hex("00 00 00 00")},
        {"string", kText, Hex("03 00 00 00 00 00 00 00 03 00 00 00 68 00 69 00 00 00"), Hex("02 00 00 00")},
        {"empty string", kText, Hex("01 00 00 00 00 00 00 00 01 00 00 00 00 00"), Hex("00 00 00 00")},
        {"two strings, the second aligned", kTwoTexts,
         Hex("02 00 00 00 00 00 00 00 02 00 00 00 61 00 00 00 03 00 00 00 00 00 00 00 03 00 00 00 62 00 63 "
             "00 00 00"),
         Hex("ea 03 00 00")},
        {"sized out strings and long", kWrite, Hex("03 00 00 00 00 00 00 00 03 00 00 00 61 00 62 00 00 00"),
         Hex("90 01 00 00 00 00 00 00 03 00 00 00 61 00 62 00 00 00 00 00"  // max 400, "ab", pad
             "28 00 00 00 00 00 00 00 14 00 00 00"                          // max 40, actual 20
             "32 00 30 00 32 00 36 00 2f 00 31 00 32 00 2f 00 30 00 36 00 20 00 30 00 31 00 3a 00 30 00"
             "32 00 3a 00 30 00 33 00 00 00"
             "00 00 00 00")},
        {"max count above actual is accepted", kText, Hex("09 00 00 00 00 00 00 00 02 00 00 00 7a 00 00 00"),
         Hex("01 00 00 00")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawPeer peer;
        peer.Bind();
        auto frags = peer.Call(2, c.opnum, c.requestStub);
        ASSERT_EQ(frags.size(), 1u);
        Bytes expected = Hex("05 00 02 03 10 00 00 00");
        U16(expected, static_cast<uint16_t>(24 + c.replyStub.size()));
        Append(expected, Hex("00 00 02 00 00 00"));
        U32(expected, static_cast<uint32_t>(c.replyStub.size()));
        Append(expected, Hex("00 00 00 00"));
        Append(expected, c.replyStub);
        EXPECT_EQ(frags[0].bytes, expected);
    }
}

TEST(RpcWire, IdentifierTextIsCutToItsBuffer) {
    RawPeer peer;
    peer.Bind();
    for (std::size_t len : {399u, 400u, 1000u}) {
        SCOPED_TRACE(len);
        std::u16string text(len, u'x');
        Bytes reply = ResponseStub(peer.Call(4, kWrite, VaryingString(text)));
        ASSERT_GE(reply.size(), 12u);
        EXPECT_EQ(reply[0] | reply[1] << 8, 400);
        EXPECT_EQ(reply[8] | reply[9] << 8, 400);  // 399 units and the terminator
    }
}

TEST(RpcWire, FixedArrayFragmentedAt4280BothWays) {
    RawPeer peer;
    peer.Bind();
    Bytes stub;
    U32(stub, 3000);
    for (int i = 0; i < 3000; ++i) U16(stub, static_cast<uint16_t>(i + 1));
    // Request in two fragments as a Windows client cuts it: 4256 stub bytes, then the rest.
    Bytes first(stub.begin(), stub.begin() + 4256), second(stub.begin() + 4256, stub.end());
    Bytes f1, f2;
    {
        Bytes body;
        U32(body, static_cast<uint32_t>(stub.size()));
        Append(body, Hex("00 00 03 00"));
        Append(body, first);
        f1 = Pdu(pdu::kRequest, pdu::PFC_FIRST_FRAG, 9, body);
        body.clear();
        U32(body, static_cast<uint32_t>(second.size()));
        Append(body, Hex("00 00 03 00"));
        Append(body, second);
        f2 = Pdu(pdu::kRequest, pdu::PFC_LAST_FRAG, 9, body);
    }
    EXPECT_EQ(f1.size(), 4280u);
    peer.Send(f1);
    peer.Send(f2);
    std::vector<pdu::Fragment> frags;
    do {
        frags.push_back(peer.Receive());
    } while (!(frags.back().hdr.flags & pdu::PFC_LAST_FRAG) && frags.size() < 5);
    ASSERT_EQ(frags.size(), 2u);
    EXPECT_EQ(frags[0].hdr.fragLength, 4280);
    EXPECT_EQ(frags[0].hdr.flags, pdu::PFC_FIRST_FRAG);
    EXPECT_EQ(frags[1].hdr.flags, pdu::PFC_LAST_FRAG);
    pdu::Response r0, r1;
    ASSERT_TRUE(pdu::ParseResponse(frags[0], r0));
    ASSERT_TRUE(pdu::ParseResponse(frags[1], r1));
    EXPECT_EQ(r0.allocHint, 6008u);
    EXPECT_EQ(r1.allocHint, 6008u - 4256u);
    Bytes reply = ResponseStub(frags);
    ASSERT_EQ(reply.size(), 6008u);
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 4), Hex("b8 0b 00 00"));
    EXPECT_EQ(reply[4] | reply[5] << 8, 3000);  // reversed
    EXPECT_EQ(reply[6002] | reply[6003] << 8, 1);
    EXPECT_EQ(Bytes(reply.end() - 4, reply.end()), Hex("b8 0b 00 00"));  // 3000 non-zero units
}

TEST(RpcWire, ResponseHonoursSmallerClientFragment) {
    RawPeer peer;
    peer.Send(SimpleBind(1, 4280, 2048));
    pdu::BindAck ack;
    ASSERT_TRUE(pdu::ParseBindAck(peer.Receive(), ack));
    EXPECT_EQ(ack.maxXmitFrag, 2048);
    Bytes stub;
    U32(stub, 3000);
    Append(stub, Bytes(6000, 0x20));
    Bytes body;
    U32(body, 6004);
    Append(body, Hex("00 00 03 00"));
    Append(body, stub);
    peer.Send(Pdu(pdu::kRequest, 3, 2, body));  // one big fragment is accepted too
    int n = 0;
    pdu::Fragment f;
    do {
        f = peer.Receive();
        EXPECT_LE(f.hdr.fragLength, 2048);
        ++n;
    } while (!(f.hdr.flags & pdu::PFC_LAST_FRAG) && n < 10);
    EXPECT_EQ(n, 3);
}

// Faults for stub data that breaks a correlation check, for unknown operations and for a
// failing handler; the handler never runs for a refused call, and the connection goes on.
TEST(RpcWire, Faults) {
    Bytes arrayOf2999;
    U32(arrayOf2999, 2999);
    Append(arrayOf2999, Bytes(5998, 0));
    Bytes arrayOf3001;
    U32(arrayOf3001, 3001);
    Append(arrayOf3001, Bytes(6002, 0));
    struct Case {
        const char* name;
        uint16_t opnum;
        Bytes stub;
        uint32_t status;  // the handler runs only for the call that gets as far as it (kThrow)
    } cases[] = {
        {"actual above max", kText, Hex("01 00 00 00 00 00 00 00 02 00 00 00 61 00 00 00"),
         RPC_X_BAD_STUB_DATA},
        {"offset not 0", kText, Hex("02 00 00 00 01 00 00 00 02 00 00 00 61 00 00 00"), RPC_X_BAD_STUB_DATA},
        {"missing terminator", kText, Hex("02 00 00 00 00 00 00 00 02 00 00 00 61 00 62 00"),
         RPC_X_BAD_STUB_DATA},
        {"actual count 0", kText, Hex("00 00 00 00 00 00 00 00 00 00 00 00"), RPC_X_BAD_STUB_DATA},
        {"counts beyond the stub", kText, Hex("ff ff ff 7f 00 00 00 00 ff ff ff 7f 61 00"),
         RPC_X_BAD_STUB_DATA},
        {"array count 2999", kArray, arrayOf2999, RPC_X_BAD_STUB_DATA},
        {"array count 3001", kArray, arrayOf3001, RPC_X_BAD_STUB_DATA},
        {"truncated: no stub", kChar, {}, RPC_X_BAD_STUB_DATA},
        {"truncated second string", kTwoTexts, Hex("02 00 00 00 00 00 00 00 02 00 00 00 61 00 00 00 03 00"),
         RPC_X_BAD_STUB_DATA},
        {"unknown opnum", 99, {}, NCA_S_OP_RNG_ERROR},
        {"opnum without handler", kMissing, {}, NCA_S_OP_RNG_ERROR},
        {"handler throws", kThrow, {}, RPC_S_CALL_FAILED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<int> calls{0};
        RawPeer peer(&calls);
        peer.Bind();
        auto frags = peer.Call(5, c.opnum, c.stub);
        ASSERT_EQ(frags.size(), 1u);
        const pdu::Fragment& f = frags[0];
        EXPECT_EQ(FaultStatus(f), c.status);
        EXPECT_EQ(f.hdr.callId, 5u);
        EXPECT_EQ(f.hdr.fragLength, 32);
        const bool executed = c.opnum == kThrow;
        EXPECT_EQ(bool(f.hdr.flags & pdu::PFC_DID_NOT_EXECUTE), !executed);
        EXPECT_EQ(calls.load(), executed ? 1 : 0);
        // The same connection still serves.
        EXPECT_EQ(ResponseStub(peer.Call(6, kChar, Hex("5a 00"))), Hex("5a 00 00 00"));
    }
}

// Every strict prefix of a valid stub is refused as bad stub data.
TEST(RpcWire, EveryTruncationOfAStubFaults) {
    Bytes full = Hex("03 00 00 00 00 00 00 00 03 00 00 00 61 00 62 00 00 00");
    RawPeer peer;
    peer.Bind();
    for (std::size_t n = 0; n < full.size(); ++n) {
        SCOPED_TRACE(n);
        auto frags = peer.Call(static_cast<uint32_t>(10 + n), kWrite, Bytes(full.begin(), full.begin() + n));
        EXPECT_EQ(FaultStatus(frags[0]), RPC_X_BAD_STUB_DATA);
    }
}

TEST(RpcWire, BigEndianSenderIsByteSwapped) {
    RawPeer peer;
    // Bind and request entirely in big-endian integer representation (drep 00 00 00 00).
    Bytes bind =
        Hex("05 00 0b 03 00 00 00 00 00 48 00 00 00 00 00 01 | 10 b8 10 b8 00 00 00 00 01 00 00 00"
            "00 00 01 00 | 4f 1d 7a 52 6c 1e 4b 8e 9d 7f 0a 5b 3c 2e 1d 90 00 00 00 01"
            "8a 88 5d 04 1c eb 11 c9 9f e8 08 00 2b 10 48 60 00 00 00 02");
    peer.Send(bind);
    pdu::BindAck ack;
    pdu::Fragment f = peer.Receive();
    ASSERT_EQ(f.hdr.ptype, pdu::kBindAck);
    ASSERT_TRUE(pdu::ParseBindAck(f, ack));
    ASSERT_EQ(ack.results.size(), 1u);
    EXPECT_EQ(ack.results[0].result, pdu::kResultAcceptance);
    // TwoTexts("a", "bc") in big-endian NDR.
    Bytes req =
        Hex("05 00 00 03 00 00 00 00 00 3a 00 00 00 00 00 02 | 00 00 00 22 00 00 00 05"
            "00 00 00 02 00 00 00 00 00 00 00 02 00 61 00 00"
            "00 00 00 03 00 00 00 00 00 00 00 03 00 62 00 63 00 00");
    peer.Send(req);
    f = peer.Receive();
    ASSERT_EQ(f.hdr.ptype, pdu::kResponse) << std::hex << FaultStatus(f);
    EXPECT_EQ(f.hdr.drep[0], 0x10);  // the reply is in our own (little-endian) representation
    EXPECT_EQ(ResponseStub({f}), Hex("ea 03 00 00"));
}

TEST(RpcWire, ProtocolErrorsCloseTheConnection) {
    struct Case {
        const char* name;
        bool bindFirst;
        Bytes pdu;
    } cases[] = {
        {"request before bind", false, RequestPdu(1, kPing, {})},
        {"second bind", true, SimpleBind(2)},
        {"response from a client", true, Pdu(pdu::kResponse, 3, 2, Hex("00 00 00 00 00 00 00 00"))},
        {"middle fragment without first", true, RequestPdu(2, kPing, {}, pdu::PFC_LAST_FRAG)},
        {"request with authentication", true, Pdu(pdu::kRequest, 3, 2, Bytes(16, 0), 8)},
        {"short request header", true, Pdu(pdu::kRequest, 3, 2, Hex("00 00"))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawPeer peer;
        if (c.bindFirst) peer.Bind();
        peer.Send(c.pdu);
        pdu::Fragment f = peer.Receive();
        EXPECT_TRUE(f.hdr.ptype == pdu::kFault || f.hdr.ptype == pdu::kBindNak);
        EXPECT_TRUE(peer.ClosedByServer());
    }
}

TEST(RpcWire, OrphanedAndCancelAreIgnored) {
    RawPeer peer;
    peer.Bind();
    // A first fragment, then orphaned for that call: the partial call is dropped.
    peer.Send(RequestPdu(3, kText, Hex("03 00 00 00"), pdu::PFC_FIRST_FRAG));
    peer.Send(Pdu(pdu::kOrphaned, 3, 3, {}));
    peer.Send(Pdu(pdu::kCoCancel, 3, 3, {}));
    EXPECT_EQ(ResponseStub(peer.Call(4, kChar, Hex("31 00"))), Hex("31 00 00 00"));
}

}  // namespace
}  // namespace nx::rpc::test
