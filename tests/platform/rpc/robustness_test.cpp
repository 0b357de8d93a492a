// Hostile peers against a real listening server: garbage, truncated PDUs, lying lengths, huge
// alloc_hint values, oversized calls and a thousand connections dropped mid-PDU, while a
// well-behaved client keeps calling. Nothing may crash, leak or stop the good client.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "tests/platform/rpc/PipeWorld.h"
#include "tests/platform/rpc/WireHelpers.h"

namespace nx::rpc::test {
namespace {

constexpr const char* kEndpoint = "\\pipe\\NxRpcRobust";

std::unique_ptr<ByteStream> Connect() {
    return ConnectTo(kEndpoint);
}

// Reads what the server says until it closes the connection; false if it stays open.
bool ServerCloses(ByteStream& s) {
    uint8_t buf[4096];
    for (;;) {
        long n = s.Read(buf, sizeof buf, 5000);
        if (n == 0) return true;
        if (n < 0) return false;
    }
}

class RobustnessTest : public ::testing::Test {
protected:
    void SetUp() override {
        good = std::thread([this] {
            std::shared_ptr<Binding> b;
            BindingFromStringBinding("ncacn_np:[\\pipe\\NxRpcRobust]", b);
            for (int i = 0; !stop; ++i) {
                Args a(TestInterface().procedures[kTwoTexts]);
                a.Text(0) = std::u16string(static_cast<std::size_t>(i % 50), u'g');
                a.Text(1) = u"ok";
                RpcStatus st = b->Call(TestInterface(), kTwoTexts, a);
                if (st == RPC_S_OK && a.Long(2) == (i % 50) * 1000 + 2)
                    ++goodCalls;
                else
                    ++badCalls;
            }
        });
    }
    void TearDown() override {
        int before = goodCalls;
        for (int i = 0; i < 400 && goodCalls < before + 5; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        stop = true;
        good.join();
        EXPECT_EQ(badCalls.load(), 0);
        EXPECT_GT(goodCalls.load(), before);
    }

    PipeWorld world;
    Listening listening{kEndpoint};
    Server& server = listening.server;
    std::thread good;
    std::atomic<bool> stop{false};
    std::atomic<int> goodCalls{0}, badCalls{0};
};

TEST_F(RobustnessTest, MalformedStreamsEndTheirConnectionOnly) {
    // A peer that stops inside a PDU is dropped once the mid-PDU timeout passes.
    ServerAccess::SetMidPduTimeout(server, 200);
    std::mt19937 rng(1234);
    Bytes garbage(3000);
    for (auto& b : garbage) b = static_cast<uint8_t>(rng());
    const Bytes bind = SimpleBind();
    Bytes lyingLength = SimpleBind();
    lyingLength[8] = 0xff;  // frag_length 0x??ff: more than will ever come
    lyingLength[9] = 0x0f;
    Bytes tinyLength = SimpleBind();
    tinyLength[8] = 8;
    tinyLength[9] = 0;
    Bytes badDrep = SimpleBind();
    badDrep[4] = 0x20;
    const std::pair<const char*, Bytes> cases[] = {
        {"random bytes", garbage},
        {"frag_length below the header", tinyLength},
        {"unknown integer representation", badDrep},
        {"lying frag_length", lyingLength},
        {"truncated bind", Bytes(bind.begin(), bind.begin() + 30)},
        {"half a header", Bytes(bind.begin(), bind.begin() + 7)},
    };
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        auto s = Connect();
        ASSERT_TRUE(SendBytes(*s, bytes));
        EXPECT_TRUE(ServerCloses(*s));
    }
}

TEST_F(RobustnessTest, HugeAllocHintIsOnlyAHint) {
    auto s = Connect();
    ASSERT_TRUE(SendBytes(*s, SimpleBind()));
    pdu::Fragment f;
    ASSERT_EQ(ReadFragment(*s, f, 5000), ReadResult::Ok);
    Bytes req = RequestPdu(2, kChar, Hex("41 00"));
    req[16] = req[17] = req[18] = req[19] = 0xff;  // alloc_hint 4 GiB
    ASSERT_TRUE(SendBytes(*s, req));
    ASSERT_EQ(ReadFragment(*s, f, 5000), ReadResult::Ok);
    EXPECT_EQ(ResponseStub({f}), Hex("41 00 00 00"));
    // A first fragment announcing 4 GiB and then silence, dropped by the client.
    req = RequestPdu(3, kText, Hex("03 00 00 00"), pdu::PFC_FIRST_FRAG);
    req[16] = req[17] = req[18] = req[19] = 0xff;
    ASSERT_TRUE(SendBytes(*s, req));
}

TEST_F(RobustnessTest, OversizedCallIsRefused) {
    auto s = Connect();
    ASSERT_TRUE(SendBytes(*s, SimpleBind()));
    pdu::Fragment f;
    ASSERT_EQ(ReadFragment(*s, f, 5000), ReadResult::Ok);
    // Fragments of 65000 stub bytes each, past the 16 MiB per-call cap.
    Bytes chunk(65000, 0x41);
    bool first = true;
    for (std::size_t sent = 0; sent <= pdu::kMaxCallStub + chunk.size(); sent += chunk.size()) {
        if (!SendBytes(*s, RequestPdu(9, kText, chunk, first ? pdu::PFC_FIRST_FRAG : 0))) break;
        first = false;
    }
    ASSERT_EQ(ReadFragment(*s, f, 5000), ReadResult::Ok);
    EXPECT_EQ(FaultStatus(f), NCA_S_FAULT_REMOTE_NO_MEMORY);
    EXPECT_TRUE(ServerCloses(*s));
}

TEST_F(RobustnessTest, AThousandConnectionsDroppedMidPdu) {
    const Bytes bind = SimpleBind();
    const std::size_t servedBefore = ServerAccess::ConnectionsServed(server);
    for (int batch = 0; batch < 10; ++batch) {
        std::vector<std::unique_ptr<ByteStream>> open;
        for (int i = 0; i < 100; ++i) {
            auto s = Connect();
            if (!s) continue;
            // Every cut of a bind, then a bound connection cut inside a request.
            std::size_t cut = static_cast<std::size_t>((batch * 100 + i) % static_cast<int>(bind.size()));
            SendBytes(*s, Bytes(bind.begin(), bind.begin() + static_cast<std::ptrdiff_t>(cut)));
            open.push_back(std::move(s));
        }
        open.clear();  // dropped mid-PDU
    }
    // The server took every one of them and reaps them: only the good client's connection is left.
    bool reaped = false;
    for (int i = 0; i < 2000 && !reaped; ++i) {
        reaped = ServerAccess::ConnectionsServed(server) >= servedBefore + 1000 &&
                 ServerAccess::Connections(server) <= 1;
        if (!reaped) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(reaped) << ServerAccess::ConnectionsServed(server) - servedBefore << " served, "
                        << ServerAccess::Connections(server) << " left";
}

}  // namespace
}  // namespace nx::rpc::test
