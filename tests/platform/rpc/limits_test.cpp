// The runtime's bounds against peers that take resources and stop: a full connection table,
// half-received calls, servers that never answer, and pipe directories or sockets of others.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/rpc/Client.h"
#include "platform/system/Files.h"
#include "tests/platform/rpc/PipeWorld.h"
#include "tests/platform/rpc/WireHelpers.h"

namespace nx::rpc::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr const char* kEndpoint = "\\pipe\\NxRpcLimits";

// The next fragment, or Eof / Timeout when the server closed or said nothing within waitMs.
ReadResult Next(ByteStream& s, pdu::Fragment& f, int waitMs = 5000) {
    return ReadFragment(s, f, 5000, waitMs);
}

std::unique_ptr<ByteStream> BoundConnection() {
    auto s = ConnectTo(kEndpoint);
    pdu::Fragment f;
    if (!SendBytes(*s, SimpleBind()) || Next(*s, f) != ReadResult::Ok || f.hdr.ptype != pdu::kBindAck)
        return nullptr;
    return s;
}

// Sends `bytes` stub bytes of a fragmented kText call without its last fragment.
void ParkCall(ByteStream& s, std::size_t bytes, uint32_t callId = 7) {
    const Bytes chunk(4096, 0x41);
    for (std::size_t sent = 0; sent < bytes; sent += chunk.size())
        if (!SendBytes(s, RequestPdu(callId, kText, chunk, sent == 0 ? pdu::PFC_FIRST_FRAG : 0))) return;
}

template <typename F>
bool Eventually(F done, int ms = 5000) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class LimitsTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetTraceSink([this](std::string_view t) {
            std::lock_guard lock(traceLock);
            trace += std::string(t) + "\n";
        });
    }
    void TearDown() override { SetTraceSink(nullptr); }
    std::string Trace() {
        std::lock_guard lock(traceLock);
        return trace;
    }

    PipeWorld world;
    Listening listening{kEndpoint};
    Server& server = listening.server;
    std::mutex traceLock;
    std::string trace;
};

TEST_F(LimitsTest, AFullTableEvictsTheOldestIdleConnectionAndRefusesWhenNoneIsIdle) {
    ServerAccess::SetLimits(server, 2, kMaxPartialCallBytes);
    auto oldest = BoundConnection();
    ASSERT_TRUE(oldest);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto younger = BoundConnection();
    ASSERT_TRUE(younger);
    // A third client is served; the connection idle longest made way for it.
    auto third = BoundConnection();
    ASSERT_TRUE(third);
    pdu::Fragment f;
    EXPECT_EQ(Next(*oldest, f), ReadResult::Eof);
    EXPECT_EQ(Next(*younger, f, 50), ReadResult::Timeout) << "the younger one stays";

    // Both served connections busy in a call: a newcomer is refused, its bind never answered.
    ParkCall(*younger, 8192);
    ParkCall(*third, 8192);
    ASSERT_TRUE(Eventually([&] { return ServerAccess::ReassemblyHeld(server) > 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto refused = ConnectTo(kEndpoint);
    SendBytes(*refused, SimpleBind());
    EXPECT_EQ(Next(*refused, f), ReadResult::Eof);
    EXPECT_NE(Trace().find("connection refused"), std::string::npos) << Trace();
    // A client through the runtime sees a clean failure, not a hang or a wrong answer.
    std::shared_ptr<Binding> b;
    ASSERT_EQ(BindingFromStringBinding("ncacn_np:[\\pipe\\NxRpcLimits]", b), RPC_S_OK);
    Args a(TestInterface().procedures[kPing]);
    EXPECT_EQ(b->Call(TestInterface(), kPing, a), RPC_S_CALL_FAILED_DNE);
}

TEST_F(LimitsTest, HalfReceivedCallsShareABudgetAndAreDroppedWhenTheirNextFragmentIsLate) {
    ServerAccess::SetLimits(server, kMaxConnections, 256 * 1024);
    ServerAccess::SetMidPduTimeout(server, 300);
    auto parked = BoundConnection();
    ParkCall(*parked, 160 * 1024);
    ASSERT_TRUE(Eventually([&] { return ServerAccess::ReassemblyHeld(server) >= 160 * 1024; }));
    EXPECT_LE(ServerAccess::ReassemblyHeld(server), 256u * 1024);

    // A second call that would go over the budget fails at once and loses its connection.
    auto over = BoundConnection();
    ParkCall(*over, 200 * 1024, 8);
    pdu::Fragment f;
    ASSERT_EQ(Next(*over, f), ReadResult::Ok);
    EXPECT_EQ(FaultStatus(f), NCA_S_FAULT_REMOTE_NO_MEMORY);
    EXPECT_EQ(Next(*over, f), ReadResult::Eof);

    // The parked call's next fragment never comes: its connection ends and the memory is back.
    const auto start = Clock::now();
    EXPECT_EQ(Next(*parked, f), ReadResult::Eof);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    EXPECT_TRUE(Eventually([&] { return ServerAccess::ReassemblyHeld(server) == 0; }));
    EXPECT_NE(Trace().find("next fragment did not come"), std::string::npos) << Trace();

    // A complete fragmented call still works and gives its memory back.
    auto good = BoundConnection();
    ParkCall(*good, 64 * 1024, 9);
    ASSERT_TRUE(SendBytes(*good, RequestPdu(9, kText, Bytes(8, 0), pdu::PFC_LAST_FRAG)));
    ASSERT_EQ(Next(*good, f), ReadResult::Ok);
    EXPECT_NE(f.hdr.ptype, 0);
    EXPECT_TRUE(Eventually([&] { return ServerAccess::ReassemblyHeld(server) == 0; }));

    // A call the client gives up (orphaned) gives its memory back, and keeps none of it outside
    // the budget: the connection's next call is charged for its whole buffer again.
    ParkCall(*good, 64 * 1024, 10);
    ASSERT_TRUE(Eventually([&] { return ServerAccess::ReassemblyHeld(server) >= 64 * 1024; }));
    ASSERT_TRUE(SendBytes(*good, Pdu(pdu::kOrphaned, 3, 10, {})));
    ASSERT_TRUE(Eventually([&] { return ServerAccess::ReassemblyHeld(server) == 0; }));
    ParkCall(*good, 64 * 1024, 11);
    EXPECT_TRUE(Eventually([&] { return ServerAccess::ReassemblyHeld(server) >= 64 * 1024; }));
}

TEST_F(LimitsTest, ACallToAServerThatStopsAnsweringEndsWithinItsTimeouts) {
    // Reply: the handler sleeps far longer than the binding waits.
    std::shared_ptr<Binding> b;
    ASSERT_EQ(BindingFromStringBinding("ncacn_np:[\\pipe\\NxRpcLimits]", b), RPC_S_OK);
    b->SetTimeouts({.connectMs = 1000, .bindMs = 1000, .replyMs = 200});
    Args sleepy(TestInterface().procedures[kSleep]);
    sleepy.Text(0) = u"1500";
    auto start = Clock::now();
    EXPECT_EQ(b->Call(TestInterface(), kSleep, sleepy), RPC_S_CALL_FAILED);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1200));
    EXPECT_NE(Trace().find("no answer to the request within 200 ms"), std::string::npos) << Trace();
    // The binding is usable again at once.
    Args ping(TestInterface().procedures[kPing]);
    EXPECT_EQ(b->Call(TestInterface(), kPing, ping), RPC_S_OK);

    // Bind: a peer that takes the connection and never says a word.
    auto [mine, theirs] = MakeMemoryPipe();
    std::shared_ptr<ByteStream> held(std::move(theirs));
    auto silent = MakeBinding("\\pipe\\Silent", [&mine = mine](std::unique_ptr<ByteStream>& s) {
        s = std::move(mine);
        return s ? RPC_S_OK : RPC_S_SERVER_UNAVAILABLE;
    });
    silent->SetTimeouts({.connectMs = 1000, .bindMs = 150, .replyMs = 1000});
    start = Clock::now();
    EXPECT_EQ(silent->Call(TestInterface(), kPing, ping), RPC_S_CALL_FAILED_DNE);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_NE(Trace().find("no answer to the bind within 150 ms"), std::string::npos) << Trace();
}

TEST_F(LimitsTest, ASilenceBoundEndsACallOnlyWhenTheServerShowsNoSignOfLife) {
    // The handler runs for `sleepMs`; while `ticking`, another thread reports a sign of life
    // every 10 ms (as nxhost's callback side does for each document of a read).
    struct Case {
        const char* name;
        int boundMs;
        int sleepMs;
        int tickingMs;  // how long the signs of life go on
        RpcStatus expect;
    } cases[] = {
        {"silent", 200, 1500, 0, RPC_S_CALL_CANCELLED},
        {"alive all along, for four times the bound", 400, 1600, 2000, RPC_S_OK},
        {"alive, then silent", 300, 4000, 600, RPC_S_CALL_CANCELLED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<Clock::rep> lastSign{Clock::now().time_since_epoch().count()};
        std::atomic<bool> stop{false};
        std::thread ticker([&] {
            const auto until = Clock::now() + std::chrono::milliseconds(c.tickingMs);
            while (!stop && Clock::now() < until) {
                lastSign = Clock::now().time_since_epoch().count();
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
        std::shared_ptr<Binding> b;
        ASSERT_EQ(BindingFromStringBinding("ncacn_np:[\\pipe\\NxRpcLimits]", b), RPC_S_OK);
        b->SetSilenceBound(c.boundMs, [&] { return Clock::time_point(Clock::duration(lastSign.load())); });
        Args sleepy(TestInterface().procedures[kSleep]);
        const std::string ms = std::to_string(c.sleepMs);
        sleepy.Text(0) = std::u16string(ms.begin(), ms.end());
        const auto start = Clock::now();
        EXPECT_EQ(b->Call(TestInterface(), kSleep, sleepy), c.expect);
        if (c.expect == RPC_S_CALL_CANCELLED) {
            EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(c.sleepMs)) << "ended before the reply";
            EXPECT_NE(Trace().find("no sign of life from the server for " + std::to_string(c.boundMs) +
                                   " ms during the request"),
                      std::string::npos)
                << Trace();
            // The binding is usable again at once.
            Args ping(TestInterface().procedures[kPing]);
            EXPECT_EQ(b->Call(TestInterface(), kPing, ping), RPC_S_OK);
        }
        stop = true;
        ticker.join();
    }

    // The bind of a peer that takes the connection and never says a word falls under it too.
    auto [mine, theirs] = MakeMemoryPipe();
    std::shared_ptr<ByteStream> held(std::move(theirs));
    auto silent = MakeBinding("\\pipe\\Silent", [&mine = mine](std::unique_ptr<ByteStream>& s) {
        s = std::move(mine);
        return s ? RPC_S_OK : RPC_S_SERVER_UNAVAILABLE;
    });
    silent->SetSilenceBound(150, {});
    Args ping(TestInterface().procedures[kPing]);
    EXPECT_EQ(silent->Call(TestInterface(), kPing, ping), RPC_S_CALL_CANCELLED);
    EXPECT_NE(Trace().find("no sign of life from the server for 150 ms during the bind"), std::string::npos)
        << Trace();
}

// Each read of a socket stream ends by its own bound, whatever the read before it waited for or
// found (a read that found bytes waiting goes to the system first next time, one that found none
// polls first), and a read with no bound waits for the bytes. Steps run in order on one stream.
TEST(SocketStreamWaits, EachReadEndsByItsOwnBoundWhateverTheReadBeforeSet) {
    struct Step {
        int boundMs;   // -1: no bound
        int arriveMs;  // when the peer's byte comes (-1: never)
        long expect;   // Read's result
    };
    const Step steps[] = {
        {2000, 0, 1},                    // a long bound; the byte comes at once
        {20, -1, ByteStream::kTimeout},  // shorter than the socket's timeout: lowered
        {3000, 60, 1},                   // longer: a wake-up at the old timeout is not the end
        {10, -1, ByteStream::kTimeout},  // after a long one: still ends by its own bound
        {-1, 80, 1},                     // no bound after a short one: waits for the byte
        {15, -1, ByteStream::kTimeout},
    };
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    auto stream = MakeSocketStream(fds[0]);
    nx::sys::UniqueFd peer(fds[1]);
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        const Step& step = steps[i];
        std::thread writer;
        if (step.arriveMs >= 0)
            writer = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(step.arriveMs));
                ASSERT_EQ(::send(peer.get(), "x", 1, MSG_NOSIGNAL), 1);
            });
        char byte = 0;
        const auto start = Clock::now();
        const long got = stream->Read(&byte, 1, step.boundMs);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        if (writer.joinable()) writer.join();
        EXPECT_EQ(got, step.expect) << "step " << i;
        // Generous: a bound of at most 20 ms that waited for an earlier read's bound of seconds
        // would take that long.
        if (step.expect == ByteStream::kTimeout) {
            EXPECT_LT(took, 1000) << "step " << i;
        }
    }
}

// A write to a peer that has gone says so before any byte leaves (a client then sends its
// request again on a new connection); a write that fails otherwise does not.
TEST(SocketStreamWaits, AWriteToAClosedPeerIsRefusedWhole) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    auto stream = MakeSocketStream(fds[0]);
    const char bytes[] = "request";
    EXPECT_EQ(stream->WriteAll(bytes, sizeof bytes, 100), WriteResult::Ok);
    ::close(fds[1]);
    EXPECT_EQ(stream->WriteAll(bytes, sizeof bytes, 100), WriteResult::PeerClosed);

    auto [mine, theirs] = MakeMemoryPipe();
    EXPECT_EQ(mine->WriteAll(bytes, sizeof bytes, 100), WriteResult::Ok);
    theirs->Shutdown();
    EXPECT_EQ(mine->WriteAll(bytes, sizeof bytes, 100), WriteResult::PeerClosed);
    auto [own, other] = MakeMemoryPipe();
    own->Shutdown();  // our own end closed: not the peer's doing
    EXPECT_EQ(own->WriteAll(bytes, sizeof bytes, 100), WriteResult::Failed);
}

TEST(PipeDirectory, OnlyARealDirectoryOfOursThatOthersCannotWriteIsTrusted) {
    PipeWorld world;
    const fs::path base = world.Root() / "cases";
    fs::create_directories(base);
    const bool root = ::geteuid() == 0;
    struct Case {
        const char* name;
        void (*make)(const fs::path& p);
        RpcStatus expect;
        bool needsRoot;
    } cases[] = {
        {"ours, 0700",
         [](const fs::path& p) { fs::create_directory(p), fs::permissions(p, fs::perms(0700)); }, RPC_S_OK,
         false},
        {"ours, 0755",
         [](const fs::path& p) { fs::create_directory(p), fs::permissions(p, fs::perms(0755)); }, RPC_S_OK,
         false},
        {"ours, 0777",
         [](const fs::path& p) { fs::create_directory(p), fs::permissions(p, fs::perms(0777)); },
         RPC_S_ACCESS_DENIED, false},
        {"ours, group-writable",
         [](const fs::path& p) { fs::create_directory(p), fs::permissions(p, fs::perms(0770)); },
         RPC_S_ACCESS_DENIED, false},
        {"a link to a directory of ours",
         [](const fs::path& p) {
             fs::create_directory(p.string() + "-real");
             fs::permissions(p.string() + "-real", fs::perms(0700));
             fs::create_directory_symlink(p.string() + "-real", p);
         },
         RPC_S_ACCESS_DENIED, false},
        {"a file", [](const fs::path& p) { std::ofstream(p) << "x"; }, RPC_S_ACCESS_DENIED, false},
        {"another user's",
         [](const fs::path& p) {
             fs::create_directory(p);
             fs::permissions(p, fs::perms(0700));
             ASSERT_EQ(::chown(p.c_str(), 65534, 65534), 0);
         },
         RPC_S_ACCESS_DENIED, true},
    };
    int n = 0;
    for (const auto& c : cases) {
        if (c.needsRoot && !root) {
            std::printf("skipped \"%s\": needs root to make a directory of another user\n", c.name);
            continue;
        }
        const fs::path dir = base / std::to_string(n++);
        c.make(dir);
        EXPECT_EQ(CheckPipeDirectory(dir.string()), c.expect) << c.name;
        world.SetEnv("NX_PIPE_DIR", dir.string());
        // The same answer for a server taking an endpoint there and a client connecting.
        Server s;
        EXPECT_EQ(s.UseProtseqEp("ncacn_np", 1, kEndpoint),
                  c.expect == RPC_S_OK ? RPC_S_OK : RPC_S_ACCESS_DENIED)
            << c.name;
        std::unique_ptr<ByteStream> stream;
        if (c.expect != RPC_S_OK) {
            EXPECT_EQ(ConnectEndpoint(kEndpoint, stream), RPC_S_ACCESS_DENIED) << c.name;
        }
    }
    EXPECT_EQ(CheckPipeDirectory((base / "missing").string()), RPC_S_SERVER_UNAVAILABLE);
    // A missing directory is made, parents and all, private to us.
    world.SetEnv("NX_PIPE_DIR", (base / "new/deeper").string());
    std::string made;
    ASSERT_EQ(EnsurePipeDirectory(made), RPC_S_OK);
    EXPECT_EQ(fs::status(made).permissions() & fs::perms::all, fs::perms::owner_all);
}

TEST(PipeDirectory, ASocketWeDidNotCreateIsNeverRemoved) {
    PipeWorld world;
    std::string dir;
    ASSERT_EQ(EnsurePipeDirectory(dir), RPC_S_OK);
    std::string path;
    ASSERT_EQ(EndpointSocketPath(kEndpoint, path), RPC_S_OK);
    if (::geteuid() == 0) {
        // Another user's stale socket in our directory is left where it is.
        MakeStaleSocket(path);
        ASSERT_EQ(::lchown(path.c_str(), 65534, 65534), 0);
        Server s;
        EXPECT_EQ(s.UseProtseqEp("ncacn_np", 1, kEndpoint), RPC_S_CANT_CREATE_ENDPOINT);
        EXPECT_TRUE(fs::exists(fs::symlink_status(path)));
        fs::remove(path);
    } else {
        std::printf("skipped the other user's socket: needs root\n");
    }
    // Our server's socket replaced behind its back: the replacement survives the server's end.
    {
        Server s;
        ASSERT_EQ(s.UseProtseqEp("ncacn_np", 1, kEndpoint), RPC_S_OK);
        fs::remove(path);
        MakeStaleSocket(path);
    }
    EXPECT_TRUE(fs::exists(fs::symlink_status(path)));
}

}  // namespace
}  // namespace nx::rpc::test
