// Listening and stopping on the system runtime: a server asked to stop the moment it starts
// listening stops (Wine's runtime hung for ever there), and nxhost, which does exactly that when
// it finds an agent already listening, ends with its refusal.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

#include "platform/system/Files.h"
#include "tests/windows/WinAgent.h"

namespace {

namespace agent = nx::agent;
using nx::test::kAgentExitSeconds;

// nxhost's way of ending its callback server (tools/nxhost/main.cpp): ask until the server took
// the request or Listen is over. Wine's runtime hung for ever when the request met its start of
// listening half-way, which a host that gives up at once (an agent already listens) hit.
TEST(WinServer, StopsWhenAskedTheMomentItStartsListening) {
    const std::string endpoint = "\\pipe\\NxStopTest" + std::to_string(nx::sys::CurrentProcessId());
    constexpr int kCycles = 100;
    auto cycles = std::async(std::launch::async, [&] {
        for (int i = 0; i < kCycles; ++i) {
            nx::rpc::Server server;
            if (server.UseProtseqEp(agent::kProtseq, agent::kMaxCalls, endpoint) != nx::rpc::RPC_S_OK)
                return i;
            std::atomic<bool> done{false};
            std::thread listener([&] {
                server.Listen(1, agent::kMaxCalls);
                done = true;
            });
            while (!done && server.StopListening() != nx::rpc::RPC_S_OK)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            listener.join();
        }
        return kCycles;
    });
    // A stop that hangs never returns: the program cannot go on, so it ends here with the reason.
    if (cycles.wait_for(std::chrono::seconds(240)) != std::future_status::ready) {
        std::fprintf(stderr, "FAILED: a server stopped as it started listening never returned\n");
        std::fflush(stderr);
        std::_Exit(1);
    }
    EXPECT_EQ(cycles.get(), kCycles) << "the endpoint could not be taken again";
}

using WinAgentListening = nx::test::WinAgent;

TEST_F(WinAgentListening, NxhostRefusesToStartASecondAgentAndEnds) {
    const std::string nxhost = nx::sys::FolderWithSeparator(nx::sys::ExecutablePath()) + "nxhost.exe";
    const auto r = nx::test::RunProcess({nxhost, "--start", nx::test::AgentProgram(), "-e", "NoOperation"},
                                        120, nx::test::JoinedOutput());
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_NE(r.out.find("an agent already listens on \\pipe\\MapiServer64"), std::string::npos) << r.out;
    Call(agent::kShutdown);
    EXPECT_EQ(m_agent.Wait(kAgentExitSeconds), 0);
}

}  // namespace
