// Who may be at the other end of the pipes on the system runtime (platform/rpc/PipeSecurity_win.h):
// the security callback and the client's listener check fed identities through their seam (the
// user's own, another user's, the system account's, none), the system's own identity sources
// against a real agent and a real callback, and a second agent refused while one listens.
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/rpc/PipeSecurity_win.h"
#include "tests/windows/WinAgent.h"

namespace {

namespace agent = nx::agent;
namespace win = nx::rpc::win;
using nx::rpc::Args;
using nx::rpc::RpcStatus;
using nx::rpc::UserId;
using nx::test::kAgentExitSeconds;
using nx::test::WinAgent;

// Another account of this machine: the user's own SID with another relative id (its last
// sub-authority).
UserId AnotherUser() {
    UserId other = win::ProcessUser();
    other.bytes.back() ^= 0x5A;
    return other;
}

// S-1-5-18, the system account.
UserId SystemAccount() {
    return UserId{{1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}};
}

// The lines the runtime traces while it lives.
class TraceLines {
public:
    TraceLines() {
        nx::rpc::SetTraceSink([this](std::string_view line) {
            std::lock_guard<std::mutex> guard(m_lock);
            m_lines.emplace_back(line);
        });
    }
    ~TraceLines() { nx::rpc::SetTraceSink(nullptr); }
    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> guard(m_lock);
        return std::exchange(m_lines, {});
    }
    bool Has(const std::string& line) {
        for (const std::string& l : Take())
            if (l == line) return true;
        return false;
    }

private:
    std::mutex m_lock;
    std::vector<std::string> m_lines;
};

// What the fake identity sources answer, and what they were asked.
struct Fake {
    std::optional<UserId> user;
    RpcStatus listenerStatus = nx::rpc::RPC_S_OK;
    void* askedCall = nullptr;
    std::wstring askedPipe;
    int askedWaitMs = 0;
};
Fake g_fake;

std::optional<UserId> FakeCaller(void* call) {
    g_fake.askedCall = call;
    return g_fake.user;
}

RpcStatus FakeListener(const std::wstring& pipe, int waitMs, std::optional<UserId>& user, win::PipeWitness&) {
    g_fake.askedPipe = pipe;
    g_fake.askedWaitMs = waitMs;
    user = g_fake.user;
    return g_fake.listenerStatus;
}

// The fake sources in place for a scope.
class FakeSources {
public:
    FakeSources() : m_previous(win::ExchangeIdentitySources({&FakeCaller, &FakeListener})) {
        g_fake = Fake{};
    }
    ~FakeSources() { win::ExchangeIdentitySources(m_previous); }

private:
    win::IdentitySources m_previous;
};

const char* const kCallerRefused = "rpc: connection refused: the peer runs as another user";

TEST(WinPipeSecurity, TheSecurityCallbackAdmitsOnlyCallsOfTheUser) {
    ASSERT_FALSE(win::ProcessUser().bytes.empty()) << "the process's own user could not be read";
    struct Case {
        const char* name;
        std::optional<UserId> caller;
        long expect;
    };
    const Case cases[] = {
        {"the user's own", win::ProcessUser(), 0},
        {"another user of the machine", AnotherUser(), 5},
        {"the system account", SystemAccount(), 5},
        {"a caller the system does not name", std::nullopt, 5},
    };
    FakeSources fake;
    TraceLines trace;
    int call = 0;  // stands for the runtime's binding handle of the call
    for (const Case& c : cases) {
        g_fake.user = c.caller;
        EXPECT_EQ(win::AdmitCaller(nullptr, &call), c.expect) << c.name;
        EXPECT_EQ(g_fake.askedCall, &call) << c.name << ": the callback asks about the call it judges";
        EXPECT_EQ(trace.Has(kCallerRefused), c.expect != 0) << c.name;
    }
}

TEST(WinPipeSecurity, AClientSendsNothingToAListenerOfAnotherUser) {
    struct Case {
        const char* name;
        RpcStatus found;
        std::optional<UserId> listener;
        int waitMs;
        RpcStatus expect;
    };
    const Case cases[] = {
        {"the user's own", nx::rpc::RPC_S_OK, win::ProcessUser(), -1, nx::rpc::RPC_S_OK},
        {"another user's", nx::rpc::RPC_S_OK, AnotherUser(), 250, nx::rpc::RPC_S_ACCESS_DENIED},
        {"the system account's", nx::rpc::RPC_S_OK, SystemAccount(), -1, nx::rpc::RPC_S_ACCESS_DENIED},
        {"a pipe whose user the system does not tell", nx::rpc::RPC_S_OK, std::nullopt, -1,
         nx::rpc::RPC_S_ACCESS_DENIED},
        {"nobody", nx::rpc::RPC_S_SERVER_UNAVAILABLE, std::nullopt, -1, nx::rpc::RPC_S_SERVER_UNAVAILABLE},
        {"a pipe that stays busy", nx::rpc::RPC_S_SERVER_TOO_BUSY, std::nullopt, 250,
         nx::rpc::RPC_S_SERVER_TOO_BUSY},
    };
    FakeSources fake;
    TraceLines trace;
    for (const Case& c : cases) {
        g_fake.user = c.listener;
        g_fake.listenerStatus = c.found;
        win::PipeWitness witness;
        EXPECT_EQ(win::AdmitListener(agent::kCallbackEndpoint, c.waitMs, witness), c.expect) << c.name;
        EXPECT_EQ(g_fake.askedPipe, L"\\\\.\\pipe\\OutlookServer32") << c.name;
        EXPECT_EQ(g_fake.askedWaitMs, c.waitMs < 0 ? win::kListenerWaitMs : c.waitMs) << c.name;
        EXPECT_EQ(trace.Has("rpc: \\pipe\\OutlookServer32 refused: the listener runs as another user"),
                  c.expect == nx::rpc::RPC_S_ACCESS_DENIED)
            << c.name;
    }
}

TEST(WinPipeSecurity, BindsOnlyToPipesOfThisMachine) {
    struct Case {
        const char* binding;
        RpcStatus expect;
    };
    const Case cases[] = {
        {"ncacn_np:[\\pipe\\OutlookServer32]", nx::rpc::RPC_S_OK},
        {"ncacn_np:localhost[\\pipe\\OutlookServer32]", nx::rpc::RPC_S_OK},
        {"ncacn_np:\\\\.[\\pipe\\OutlookServer32]", nx::rpc::RPC_S_OK},
        {"ncacn_np:fileserver[\\pipe\\OutlookServer32]", nx::rpc::RPC_S_INVALID_NET_ADDR},
        {"ncacn_np:\\\\fileserver[\\pipe\\OutlookServer32]", nx::rpc::RPC_S_INVALID_NET_ADDR},
    };
    for (const Case& c : cases) {
        std::shared_ptr<nx::rpc::Binding> binding;
        EXPECT_EQ(nx::rpc::BindingFromStringBinding(c.binding, binding), c.expect) << c.binding;
        EXPECT_EQ(binding != nullptr, c.expect == nx::rpc::RPC_S_OK) << c.binding;
    }
}

using WinAgentSecurity = WinAgent;

TEST_F(WinAgentSecurity, JudgesTheAgentAgainOnceTheOneJudgedHasGone) {
    // The system's own answer for the agent's pipe: this user, with the connection it judged.
    std::optional<UserId> listener;
    win::PipeWitness witness;
    EXPECT_EQ(win::SystemIdentitySources().listener(L"\\\\.\\pipe\\MapiServer64", 5000, listener, witness),
              nx::rpc::RPC_S_OK);
    EXPECT_EQ(listener, win::ProcessUser());
    EXPECT_TRUE(witness.Alive());
    witness.Release();

    FakeSources fake;
    TraceLines trace;
    g_fake.user = AnotherUser();
    // The fixture's binding judged this agent before: while it runs, nobody is asked again.
    Call(agent::kNoOperation);
    EXPECT_TRUE(g_fake.askedPipe.empty()) << "judged again while the judged agent runs";
    Call(agent::kShutdown);
    ASSERT_EQ(m_agent.Wait(kAgentExitSeconds), 0);

    // Whoever serves the pipe next is judged before anything is sent: here "another user".
    nx::test::Process next({nx::test::AgentProgram()});
    for (int tries = 0;
         tries < nx::test::kAgentStartSeconds * 5 && !nx::rpc::EndpointIsListening(agent::kAgentEndpoint);
         ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Args args(Proc(agent::kNoOperation));
    EXPECT_EQ(m_binding->Call(agent::AgentInterface(), agent::kNoOperation, args),
              nx::rpc::RPC_S_ACCESS_DENIED);
    EXPECT_TRUE(trace.Has("rpc: \\pipe\\MapiServer64 refused: the listener runs as another user"));

    // Taken for this user's again, it is served as before.
    g_fake.user = win::ProcessUser();
    Call(agent::kShutdown);
    EXPECT_EQ(next.Wait(kAgentExitSeconds), 0);
}

TEST_F(WinAgentSecurity, ASecondAgentIsRefusedWhileOneListens) {
    nx::test::Process second({nx::test::AgentProgram()}, nx::test::JoinedOutput());
    // RPC_S_DUPLICATE_ENDPOINT (1740) as an exit code: its low byte.
    EXPECT_EQ(second.Wait(kAgentExitSeconds), 204) << second.Out();
    EXPECT_NE(second.Out().find("RpcServerUseProtseqEp failed with RPC status 1740"), std::string::npos)
        << second.Out();
    Call(agent::kNoOperation);  // the first one still serves
    Call(agent::kShutdown);
    EXPECT_EQ(m_agent.Wait(kAgentExitSeconds), 0);
}

TEST_F(WinAgentSecurity, TheAgentCallsBackAHostOfTheUserWhoseIdentityTheCallShows) {
    // A host's callback server in this process: the agent's shutdown notice must reach it (the
    // agent judged this process as of its user), and the call's client must be the agent, of
    // this user.
    std::mutex lock;
    std::optional<UserId> caller;
    int notices = 0;
    std::vector<nx::rpc::Handler> handlers(agent::kCallbackProcCount);
    handlers[agent::kNotifyShutdown] = [&](Args&) {
        const std::optional<UserId> who = win::SystemIdentitySources().caller(nullptr);
        std::lock_guard<std::mutex> guard(lock);
        caller = who;
        ++notices;
    };
    nx::rpc::Server host;
    ASSERT_EQ(host.UseProtseqEp(agent::kProtseq, agent::kMaxCalls, agent::kCallbackEndpoint),
              nx::rpc::RPC_S_OK);
    ASSERT_EQ(host.RegisterIf(agent::CallbackInterface(), std::move(handlers)), nx::rpc::RPC_S_OK);
    std::atomic<bool> done{false};
    std::thread listener([&] {
        host.Listen(1, agent::kMaxCalls);
        done = true;
    });
    Call(agent::kBindCallback);
    Call(agent::kShutdown);
    EXPECT_EQ(m_agent.Wait(kAgentExitSeconds), 0);
    while (!done && host.StopListening() != nx::rpc::RPC_S_OK)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    listener.join();
    host.UnregisterIf(nullptr, false);
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(notices, 1);
    EXPECT_EQ(caller, win::ProcessUser());
}

}  // namespace
