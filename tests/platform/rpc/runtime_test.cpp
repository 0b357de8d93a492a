// The runtime over real Unix sockets: endpoints, string bindings, the server's life cycle,
// the client's lazy connect and reconnect, concurrency, the call cap and the stop sequence.
#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "platform/rpc/Client.h"
#include "tests/platform/rpc/PipeWorld.h"

namespace nx::rpc::test {
namespace {

constexpr const char* kEndpoint = "\\pipe\\NxRpcTest";

// A server with the test interface on kEndpoint.
struct Served : Listening {
    explicit Served(std::vector<Handler> handlers = {}, unsigned maxCalls = 1234)
        : Listening(kEndpoint, std::move(handlers), maxCalls) {}
};

std::shared_ptr<Binding> Bind(const char* endpoint = kEndpoint) {
    std::string text;
    EXPECT_EQ(StringBindingCompose("", "ncacn_np", "", endpoint, "", text), RPC_S_OK);
    std::shared_ptr<Binding> b;
    EXPECT_EQ(BindingFromStringBinding(text, b), RPC_S_OK);
    return b;
}

RpcStatus CallChar(Binding& b, char16_t c, int32_t& out) {
    Args a(TestInterface().procedures[kChar]);
    a.WChar(0) = c;
    RpcStatus st = b.Call(TestInterface(), kChar, a);
    out = a.Long(1);
    return st;
}

// A gate that blocking handlers wait on.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    void Wait() {
        std::unique_lock l(m);
        cv.wait(l, [&] { return open; });
    }
    void Open() {
        std::lock_guard l(m);
        open = true;
        cv.notify_all();
    }
};

bool WaitFor(const std::function<bool()>& cond) {
    for (int i = 0; i < 1000; ++i) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

TEST(RpcEndpoints, PipeDirectoryAndSocketPaths) {
    nx::test::ScopedEnv env;
    env.Unset("NX_PIPE_DIR").Unset("XDG_RUNTIME_DIR");
    EXPECT_EQ(PipeDirectory(), "/tmp/nx-pipes-" + std::to_string(::getuid()));
    env.Set("XDG_RUNTIME_DIR", "/run/user/77");
    EXPECT_EQ(PipeDirectory(), "/run/user/77/nx-pipes");
    env.Set("NX_PIPE_DIR", "/x/pipes");
    EXPECT_EQ(PipeDirectory(), "/x/pipes");

    struct Case {
        const char* endpoint;
        RpcStatus status;
        const char* path;
    } cases[] = {
        {"\\pipe\\MapiServer64", RPC_S_OK, "/x/pipes/mapiserver64"},
        {"\\PIPE\\OutlookServer32", RPC_S_OK, "/x/pipes/outlookserver32"},
        {"\\Pipe\\a.b-c_d", RPC_S_OK, "/x/pipes/a.b-c_d"},
        {"pipe\\x", RPC_S_INVALID_ENDPOINT_FORMAT, ""},
        {"\\pipe\\", RPC_S_INVALID_ENDPOINT_FORMAT, ""},
        {"\\pipe\\..", RPC_S_INVALID_ENDPOINT_FORMAT, ""},
        {"\\pipe\\a/b", RPC_S_INVALID_ENDPOINT_FORMAT, ""},
        {"\\pipe\\a\\b", RPC_S_INVALID_ENDPOINT_FORMAT, ""},
        {"1234", RPC_S_INVALID_ENDPOINT_FORMAT, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.endpoint);
        std::string path;
        EXPECT_EQ(EndpointSocketPath(c.endpoint, path), c.status);
        if (c.status == RPC_S_OK) {
            EXPECT_EQ(path, c.path);
        }
    }
    std::string path;
    EXPECT_EQ(EndpointSocketPath("\\pipe\\" + std::string(120, 'n'), path), RPC_S_INVALID_ENDPOINT_FORMAT);
}

TEST(RpcBindingText, ComposeAndParse) {
    std::string text;
    EXPECT_EQ(StringBindingCompose("", "ncacn_np", "", "\\pipe\\OutlookServer32", "", text), RPC_S_OK);
    EXPECT_EQ(text, "ncacn_np:[\\pipe\\OutlookServer32]");
    EXPECT_EQ(StringBindingCompose("4f1d7a52-6c1e-4b8e-9d7f-0a5b3c2e1d90", "ncacn_np", "localhost",
                                   "\\pipe\\x", "security=none", text),
              RPC_S_OK);
    EXPECT_EQ(text, "4f1d7a52-6c1e-4b8e-9d7f-0a5b3c2e1d90@ncacn_np:localhost[\\pipe\\x,security=none]");
    EXPECT_EQ(StringBindingCompose("", "ncacn_np", "", "", "", text), RPC_S_OK);
    EXPECT_EQ(text, "ncacn_np:");
    EXPECT_EQ(StringBindingCompose("not-a-uuid", "ncacn_np", "", "\\pipe\\x", "", text),
              RPC_S_INVALID_STRING_UUID);

    struct Case {
        const char* text;
        RpcStatus status;
        const char* endpoint;
    } cases[] = {
        {"ncacn_np:[\\pipe\\OutlookServer32]", RPC_S_OK, "\\pipe\\OutlookServer32"},
        {"ncacn_np:.[\\pipe\\OutlookServer32]", RPC_S_OK, "\\pipe\\OutlookServer32"},
        {"ncacn_np:localhost[\\pipe\\OutlookServer32]", RPC_S_OK, "\\pipe\\OutlookServer32"},
        {"ncacn_np:\\\\.[\\pipe\\x]", RPC_S_OK, "\\pipe\\x"},
        {"NCACN_NP:[\\PIPE\\X]", RPC_S_OK, "\\PIPE\\X"},
        {"4f1d7a52-6c1e-4b8e-9d7f-0a5b3c2e1d90@ncacn_np:[\\pipe\\x]", RPC_S_OK, "\\pipe\\x"},
        {"ncacn_np:[\\pipe\\x,security=impersonation dynamic false]", RPC_S_OK, "\\pipe\\x"},
        {"ncacn_np:[endpoint=\\pipe\\y]", RPC_S_OK, "\\pipe\\y"},
        {"ncacn_np:[\\pipe\\x", RPC_S_INVALID_STRING_BINDING, ""},
        {"ncacn_np:[\\pipe\\x]tail", RPC_S_INVALID_STRING_BINDING, ""},
        {"\\pipe\\x", RPC_S_INVALID_STRING_BINDING, ""},
        {"bad@ncacn_np:[\\pipe\\x]", RPC_S_INVALID_STRING_UUID, ""},
        {"ncacn_ip_tcp:[135]", RPC_S_PROTSEQ_NOT_SUPPORTED, ""},
        {"nonsense:[\\pipe\\x]", RPC_S_INVALID_RPC_PROTSEQ, ""},
        {"ncacn_np:otherhost[\\pipe\\x]", RPC_S_INVALID_NET_ADDR, ""},
        {"ncacn_np:", RPC_S_INVALID_ENDPOINT_FORMAT, ""},
        {"ncacn_np:[1234]", RPC_S_INVALID_ENDPOINT_FORMAT, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::shared_ptr<Binding> b;
        EXPECT_EQ(BindingFromStringBinding(c.text, b), c.status);
        if (c.status == RPC_S_OK) {
            ASSERT_TRUE(b);
            EXPECT_EQ(b->Endpoint(), c.endpoint);
        }
    }
}

TEST(RpcServer, RegistrationErrors) {
    PipeWorld world;
    Server s;
    EXPECT_EQ(s.UseProtseqEp("ncalrpc", 10, kEndpoint), RPC_S_PROTSEQ_NOT_SUPPORTED);
    EXPECT_EQ(s.UseProtseqEp("nc", 10, kEndpoint), RPC_S_INVALID_RPC_PROTSEQ);
    EXPECT_EQ(s.UseProtseqEp("ncacn_np", 10, "MapiServer64"), RPC_S_INVALID_ENDPOINT_FORMAT);
    EXPECT_EQ(s.Listen(1, 10), RPC_S_NO_PROTSEQS_REGISTERED);
    EXPECT_EQ(s.StopListening(), RPC_S_NOT_LISTENING);
    EXPECT_EQ(s.RegisterIf(TestInterface(), {}), RPC_S_INVALID_ARG);
    EXPECT_EQ(s.RegisterIf(TestInterface(), TestHandlers(&s)), RPC_S_OK);
    EXPECT_EQ(s.RegisterIf(TestInterface(), TestHandlers(&s)), RPC_S_ALREADY_REGISTERED);
    Interface bad = TestInterface();
    bad.uuid.bytes[0] ^= 1;
    bad.procedures[kArray].params[0].size = 0;
    EXPECT_EQ(s.RegisterIf(bad, TestHandlers(&s)), RPC_S_INVALID_ARG);
    EXPECT_EQ(s.UnregisterIf(&bad, false), RPC_S_UNKNOWN_IF);
}

TEST(RpcServer, DuplicateAndStaleEndpoints) {
    PipeWorld world;
    {
        Served live;
        Server other;
        EXPECT_EQ(other.UseProtseqEp("ncacn_np", 10, "\\PIPE\\NXRPCTEST"), RPC_S_DUPLICATE_ENDPOINT);
        EXPECT_TRUE(EndpointIsListening(kEndpoint));
    }
    EXPECT_FALSE(EndpointIsListening(kEndpoint));
    // A socket file left behind by a server that died is replaced.
    std::string path;
    ASSERT_EQ(EndpointSocketPath(kEndpoint, path), RPC_S_OK);
    MakeStaleSocket(path);
    ASSERT_TRUE(std::filesystem::exists(path));
    Served fresh;
    int32_t v = 0;
    EXPECT_EQ(CallChar(*Bind(), u'q', v), RPC_S_OK);
    EXPECT_EQ(v, u'q');
}

TEST(RpcClient, EveryShapeOverASocket) {
    PipeWorld world;
    Served l;
    auto b = Bind();
    const Interface& i = TestInterface();

    Args text(i.procedures[kText]);
    text.Text(0) = u"h\u00e9llo \U0001F600";
    ASSERT_EQ(b->Call(i, kText, text), RPC_S_OK);
    EXPECT_EQ(text.Long(1), 8);  // a surrogate pair is two units

    Args arr(i.procedures[kArray]);
    for (std::size_t k = 0; k < 3000; ++k) arr.Array(0)[k] = static_cast<char16_t>(k % 7);
    ASSERT_EQ(b->Call(i, kArray, arr), RPC_S_OK);
    EXPECT_EQ(arr.Array(0).size(), 3000u);
    EXPECT_EQ(arr.Array(0)[0], 2999 % 7);
    EXPECT_EQ(arr.Long(1), 3000 - 429);

    Args w(i.procedures[kWrite]);
    w.Text(0) = std::u16string(399, u'I');
    ASSERT_EQ(b->Call(i, kWrite, w), RPC_S_OK);
    EXPECT_EQ(w.Text(1), std::u16string(399, u'I'));
    EXPECT_EQ(w.Text(2), u"2026/12/06 01:02:03");
    // 400 units do not fit a 400-unit buffer with its terminator; a pair is never split.
    w.Text(0) = std::u16string(398, u'I') + u"\U0001F600";
    ASSERT_EQ(b->Call(i, kWrite, w), RPC_S_OK);
    EXPECT_EQ(w.Text(1), std::u16string(398, u'I'));

    // Unpaired surrogates cross unchanged; a text ends at its first NUL, as a C handler sees it.
    const std::u16string odd{u'a', 0xD800, u'b', 0xDC00};
    w.Text(0) = odd + std::u16string(1, u'\0') + u"hidden";
    ASSERT_EQ(b->Call(i, kWrite, w), RPC_S_OK);
    EXPECT_EQ(w.Text(1), odd);

    Args two(i.procedures[kTwoTexts]);
    two.Text(0) = u"abc";
    two.Text(1) = std::u16string(20000, u'z');  // several fragments
    ASSERT_EQ(b->Call(i, kTwoTexts, two), RPC_S_OK);
    EXPECT_EQ(two.Long(2), 3 * 1000 + 20000);

    Args none(i.procedures[kThrow]);
    EXPECT_EQ(b->Call(i, kThrow, none), RPC_S_CALL_FAILED);
    EXPECT_EQ(b->Call(i, kMissing, none), NCA_S_OP_RNG_ERROR);
    EXPECT_EQ(b->Call(i, 200, none), RPC_S_PROCNUM_OUT_OF_RANGE);
    EXPECT_EQ(b->Call(i, kText, none), RPC_S_INVALID_ARG);  // Args of another procedure
    int32_t v = 0;
    EXPECT_EQ(CallChar(*b, u'\x263a', v), RPC_S_OK);
    EXPECT_EQ(v, 0x263a);
}

// A call made in two steps (Send, other work, Receive) answers what Call answers, for a reply, a
// fault and a refusal alike; the binding is its caller's until Receive, and only the sender may
// collect the answer.
TEST(RpcClient, ACallInTwoStepsAnswersAsACall) {
    PipeWorld world;
    Served l;
    auto b = Bind();
    const Interface& i = TestInterface();
    const struct {
        uint16_t opnum;
        RpcStatus status;
    } cases[] = {{kText, RPC_S_OK}, {kThrow, RPC_S_CALL_FAILED}, {kMissing, NCA_S_OP_RNG_ERROR}};
    for (const auto& c : cases) {
        Args whole(i.procedures[c.opnum]), split(i.procedures[c.opnum]);
        if (c.opnum == kText) whole.Text(0) = split.Text(0) = u"two steps";
        EXPECT_EQ(b->Call(i, c.opnum, whole), c.status) << c.opnum;
        ASSERT_EQ(b->Send(i, c.opnum, split), RPC_S_OK) << c.opnum;
        EXPECT_EQ(b->Receive(), c.status) << c.opnum;
        if (c.opnum == kText) {
            EXPECT_EQ(split.Long(1), 9);
        }
        EXPECT_EQ(b->Receive(), RPC_S_INVALID_ARG) << c.opnum;  // nothing on its way any more
    }

    // While a call is on its way, another thread's call waits for Receive, and cannot collect it.
    Args mine(i.procedures[kText]);
    mine.Text(0) = u"mine";
    ASSERT_EQ(b->Send(i, kText, mine), RPC_S_OK);
    EXPECT_EQ(std::async(std::launch::async, [&] { return b->Receive(); }).get(), RPC_S_INVALID_ARG);
    int32_t v = 0;
    auto other = std::async(std::launch::async, [&] { return CallChar(*b, u'o', v); });
    EXPECT_EQ(other.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    EXPECT_EQ(b->Receive(), RPC_S_OK);
    EXPECT_EQ(mine.Long(1), 4);
    EXPECT_EQ(other.get(), RPC_S_OK);
    EXPECT_EQ(v, u'o');

    // A request that cannot go out is its own answer: nothing is on its way, the binding is free.
    auto nobody = Bind("\\pipe\\NxRpcNobody");
    EXPECT_EQ(nobody->Send(i, kText, mine), RPC_S_SERVER_UNAVAILABLE);
    EXPECT_EQ(nobody->Receive(), RPC_S_INVALID_ARG);
    EXPECT_EQ(std::async(std::launch::async, [&] { return CallChar(*nobody, u'n', v); }).get(),
              RPC_S_SERVER_UNAVAILABLE);
}

TEST(RpcClient, BindingDoesNotConnectAndReconnectsOnce) {
    PipeWorld world;
    auto b = Bind();  // nobody listens yet
    int32_t v = 0;
    EXPECT_EQ(CallChar(*b, u'a', v), RPC_S_SERVER_UNAVAILABLE);
    {
        Served first;
        EXPECT_EQ(CallChar(*b, u'b', v), RPC_S_OK);
        EXPECT_EQ(v, u'b');
    }
    // The server went away and a new one took the endpoint: the same binding reconnects.
    Served second;
    EXPECT_EQ(CallChar(*b, u'c', v), RPC_S_OK);
    EXPECT_EQ(v, u'c');
    EXPECT_EQ(CallChar(*b, u'd', v), RPC_S_OK);
}

TEST(RpcClient, UnknownInterfaceOnTheServer) {
    PipeWorld world;
    Served l;
    Interface other = TestInterface();
    Uuid::Parse("887e407b-88c9-4e15-9435-27481418cd5b", other.uuid);
    Args a(other.procedures[kPing]);
    EXPECT_EQ(Bind()->Call(other, kPing, a), RPC_S_UNKNOWN_IF);
    // A binding can carry two interfaces (the second through alter_context).
    auto b = Bind();
    int32_t v;
    EXPECT_EQ(CallChar(*b, u'x', v), RPC_S_OK);
    EXPECT_EQ(b->Call(other, kPing, a), RPC_S_UNKNOWN_IF);
    EXPECT_EQ(CallChar(*b, u'y', v), RPC_S_OK);
}

TEST(RpcServer, ManyClientsAtOnce) {
    PipeWorld world;
    std::atomic<int> calls{0};
    Served l(TestHandlers(nullptr, &calls));
    auto shared = Bind();  // one binding used from several threads: calls are serialised
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            auto own = Bind();
            for (int k = 0; k < 25; ++k) {
                int32_t v = 0;
                char16_t c = static_cast<char16_t>(u'A' + t);
                if (CallChar(*own, c, v) != RPC_S_OK || v != c) ++failures;
                if (CallChar(*shared, c, v) != RPC_S_OK || v != c) ++failures;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(calls.load(), 8 * 25 * 2);
}

TEST(RpcServer, CallsBeyondTheCapAreRefused) {
    PipeWorld world;
    Gate gate;
    auto handlers = TestHandlers(nullptr);
    handlers[kSleep] = [&](Args& a) {
        gate.Wait();
        a.Long(1) = 7;
    };
    Served l(handlers, 2);
    auto slow = [&] {
        Args a(TestInterface().procedures[kSleep]);
        a.Text(0) = u"0";
        RpcStatus st = Bind()->Call(TestInterface(), kSleep, a);
        return st == RPC_S_OK ? a.Long(1) : -static_cast<int32_t>(st);
    };
    auto first = std::async(std::launch::async, slow);
    auto second = std::async(std::launch::async, slow);
    ASSERT_TRUE(WaitFor([&] { return ServerAccess::CallsInFlight(l.server) == 2; }));
    int32_t v;
    EXPECT_EQ(CallChar(*Bind(), u'z', v), RPC_S_SERVER_TOO_BUSY);
    gate.Open();
    EXPECT_EQ(first.get(), 7);
    EXPECT_EQ(second.get(), 7);
    EXPECT_EQ(CallChar(*Bind(), u'z', v), RPC_S_OK);
}

// The server's end of a connection whose writer, having handed a reply over whole, waits at a
// gate before it comes back: a connection thread descheduled right after its write.
class RepliesHeldAfterWriting final : public ByteStream {
public:
    RepliesHeldAfterWriting(std::unique_ptr<ByteStream> inner, Gate& gate)
        : m_inner(std::move(inner)), m_gate(gate) {}
    long Read(void* buf, std::size_t n, int timeoutMs) override { return m_inner->Read(buf, n, timeoutMs); }
    WriteResult WriteAll(const void* buf, std::size_t n, int timeoutMs) override {
        const WriteResult wr = m_inner->WriteAll(buf, n, timeoutMs);
        if (n > 2 && static_cast<const uint8_t*>(buf)[2] == pdu::kResponse) m_gate.Wait();
        return wr;
    }
    bool HasBufferedBytes() const override { return m_inner->HasBufferedBytes(); }
    bool PeerClosedOrReadable() override { return m_inner->PeerClosedOrReadable(); }
    void Shutdown() override { m_inner->Shutdown(); }

private:
    std::unique_ptr<ByteStream> m_inner;
    Gate& m_gate;
};

TEST(RpcServer, AOneCallServerTakesTheNextCallOnceTheReplyIsRead) {
    PipeWorld world;
    Gate gate;  // before the server: its connection thread may still be leaving Wait as the test ends
    Served l({}, 1);
    int32_t v;
    ASSERT_EQ(CallChar(*Bind(), u'0', v), RPC_S_OK);  // listening, with room for one call
    ASSERT_TRUE(WaitFor([&] { return ServerAccess::CallsInFlight(l.server) == 0; }));
    auto [clientEnd, serverEnd] = MakeMemoryPipe();
    ServerAccess::AttachStream(l.server,
                               std::make_unique<RepliesHeldAfterWriting>(std::move(serverEnd), gate), "");
    auto pending = std::make_shared<std::unique_ptr<ByteStream>>(std::move(clientEnd));
    auto held = MakeBinding(kEndpoint, [pending](std::unique_ptr<ByteStream>& s) {
        s = std::move(*pending);
        return s ? RPC_S_OK : RPC_S_SERVER_UNAVAILABLE;
    });
    EXPECT_EQ(CallChar(*held, u'a', v), RPC_S_OK);
    // The first call's writer has not come back yet; its slot is free all the same.
    EXPECT_EQ(CallChar(*Bind(), u'b', v), RPC_S_OK);
    EXPECT_EQ(v, u'b');
    gate.Open();
}

TEST(RpcServer, StopWaitsForCallsInFlightIncludingTheStoppingOne) {
    PipeWorld world;
    Gate gate;
    Server server;
    auto handlers = TestHandlers(&server);
    handlers[kSleep] = [&](Args& a) {
        gate.Wait();
        a.Long(1) = 42;
    };
    ASSERT_EQ(server.UseProtseqEp("ncacn_np", 1234, kEndpoint), RPC_S_OK);
    ASSERT_EQ(server.RegisterIf(TestInterface(), handlers), RPC_S_OK);
    auto listen = std::async(std::launch::async, [&] { return server.Listen(1, 1234); });
    auto blocked = std::async(std::launch::async, [&] {
        Args a(TestInterface().procedures[kSleep]);
        a.Text(0) = u"0";
        RpcStatus st = Bind()->Call(TestInterface(), kSleep, a);
        return st == RPC_S_OK ? a.Long(1) : -1;
    });
    ASSERT_TRUE(WaitFor([&] { return ServerAccess::CallsInFlight(server) == 1; }));
    auto idle = Bind();
    int32_t v;
    ASSERT_EQ(CallChar(*idle, u'i', v), RPC_S_OK);  // a connection that stays open and idle
    for (int k = 0; k < 20; ++k) {  // connections that end just before the stop are reaped by it
        std::unique_ptr<ByteStream> dropped;
        ASSERT_EQ(ConnectEndpoint(kEndpoint, dropped), RPC_S_OK);
    }
    Args stop(TestInterface().procedures[kStop]);
    EXPECT_EQ(Bind()->Call(TestInterface(), kStop, stop), RPC_S_OK);  // the stopping call gets its reply
    EXPECT_EQ(listen.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    gate.Open();
    EXPECT_EQ(blocked.get(), 42);
    EXPECT_EQ(listen.get(), RPC_S_OK);
    EXPECT_FALSE(EndpointIsListening(kEndpoint));
    EXPECT_EQ(CallChar(*idle, u'i', v), RPC_S_SERVER_UNAVAILABLE);
    EXPECT_EQ(server.UnregisterIf(nullptr, true), RPC_S_OK);
}

TEST(RpcServer, UnregisteredInterfaceRefusesNewCalls) {
    PipeWorld world;
    Served l;
    auto b = Bind();
    int32_t v;
    ASSERT_EQ(CallChar(*b, u'a', v), RPC_S_OK);
    ASSERT_EQ(l.server.UnregisterIf(&TestInterface(), true), RPC_S_OK);
    EXPECT_EQ(CallChar(*b, u'a', v), NCA_S_UNK_IF);
    EXPECT_EQ(CallChar(*Bind(), u'a', v), RPC_S_UNKNOWN_IF);
}

}  // namespace
}  // namespace nx::rpc::test
