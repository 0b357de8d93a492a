// The agent under Wine (or Windows) on the system runtime, started as a process and called over
// "\pipe\MapiServer64" through nxhost's client stubs, for the tests of the windows_agent program.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "agent/Interfaces.h"
#include "platform/rpc/Rpc.h"
#include "platform/system/Paths.h"
#include "tests/support/Process.h"

namespace nx::test {

inline constexpr int kAgentStartSeconds = 60;
inline constexpr int kAgentExitSeconds = 30;

// The agent program beside the test program (no MAPI runtime beside it).
inline std::string AgentProgram() {
    return nx::sys::FolderWithSeparator(nx::sys::ExecutablePath()) + "NxAgentOutlook64.exe";
}

// Options of a program whose standard error joins its standard output.
inline SpawnOptions JoinedOutput() {
    SpawnOptions options;
    options.errToOut = true;
    return options;
}

// Starts the agent and waits (bounded) until a call over "\pipe\MapiServer64" goes through.
class WinAgent : public ::testing::Test {
protected:
    void SetUp() override {
        m_agent = Process({AgentProgram()});
        ASSERT_TRUE(m_agent.Running());
        std::string text;
        ASSERT_EQ(
            nx::rpc::StringBindingCompose("", nx::agent::kProtseq, "", nx::agent::kAgentEndpoint, "", text),
            nx::rpc::RPC_S_OK);
        ASSERT_EQ(nx::rpc::BindingFromStringBinding(text, m_binding), nx::rpc::RPC_S_OK);
        // Bounded: a loaded machine (and Wine's first start) may take seconds.
        for (int tries = 0; tries < kAgentStartSeconds * 5; ++tries) {
            nx::rpc::Args args(Proc(nx::agent::kNoOperation));
            if (m_binding->Call(nx::agent::AgentInterface(), nx::agent::kNoOperation, args) ==
                nx::rpc::RPC_S_OK)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        FAIL() << "the agent did not answer on \\pipe\\MapiServer64";
    }

    static const nx::rpc::Procedure& Proc(uint16_t opnum) {
        return nx::agent::AgentInterface().procedures[opnum];
    }

    // One call, expected to go through; its Args after the reply.
    nx::rpc::Args Call(uint16_t opnum, const std::function<void(nx::rpc::Args&)>& fill = {}) {
        nx::rpc::Args args(Proc(opnum));
        if (fill) fill(args);
        EXPECT_EQ(m_binding->Call(nx::agent::AgentInterface(), opnum, args), nx::rpc::RPC_S_OK)
            << Proc(opnum).name;
        return args;
    }

    Process m_agent;
    std::shared_ptr<nx::rpc::Binding> m_binding;
};

}  // namespace nx::test
